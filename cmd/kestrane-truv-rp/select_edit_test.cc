#include "select_edit.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qel_io/config/config.h"

namespace {

TEST(RebuildSelectLine, Table) {
  struct Case {
    std::string value, name;
    bool remove;
    int64_t weight;
    std::string want;
  };
  const Case cases[] = {
      {"", "a", false, 50, "rp.select =  a:50"},  // empty value: one empty part
      {"a:50 b:30", "a", false, 70, "rp.select = b:30 a:70"},
      {"a:50", "a", false, 70, "rp.select = a:70"},
      {"a:1 b:2 a:3", "a", true, 0, "rp.select = b:2"},
      {"a:1  b:2", "c", false, -4, "rp.select = a:1  b:2 c:-4"},  // two blanks stay two
      {"a b:2 ab:3", "a", true, 0, "rp.select = b:2 ab:3"},       // "a" without ":" is named a
      {"A:1", "a", true, 0, "rp.select = A:1"},
      {"a:1", "a", true, 0, "rp.select ="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rebuildSelectLine("rp.select =", c.value, c.name, c.remove, c.weight), c.want)
        << c.value << " / " << c.name;
  }
}

TEST(EmptySelectLine, Table) {
  struct Case {
    std::string line;
    bool empty;
  };
  const Case cases[] = {
      {"rp.select =", true},
      {"rp.select =   ", true},
      {"rp.select =  \t", true},
      {"rp.select = a:1", false},
      {"certs[x=y].rp.select =", false},  // the text up to the next "=" counts
      {"certs[x].rp.select == a:1", true},
      {"no equals sign", true},
      {"", true},
  };
  for (const Case& c : cases) EXPECT_EQ(emptySelectLine(c.line), c.empty) << c.line;
}

// The line that adding each name at weight 1 in turn gives, each step
// written to a file and read back through the library, as the one-pass
// builder models it.
class DefaultLineOfNames : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ktrp-ab-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::remove((dir_ + "/rp.select").c_str());
    ::rmdir(dir_.c_str());
  }

  std::string stepByStep(const std::vector<std::string>& names) {
    std::string path = dir_ + "/rp.select", line;
    for (const std::string& name : names) {
      std::string value;
      if (!line.empty()) {
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(line.c_str(), f);
        std::fclose(f);
        auto [cfg, err] = ParseFile(path);
        EXPECT_TRUE(err.ok()) << err.text();
        value = cfg.GetString("rp.select").first;
        cfg.Close();
      }
      line = rebuildSelectLine("rp.select =", value, name, false, 1);
    }
    return line;
  }

  std::string dir_;
};

TEST_F(DefaultLineOfNames, MatchesStepByStep) {
  const std::vector<std::vector<std::string>> cases = {
      {"a"},
      {"a", "b"},
      {"a", "b", "c"},
      {"", "a"},
      {"a", ""},
      {"a b", "a"},     // a key holding a blank gives two parts
      {"a  b", "a", "c"},
      {"a:b", "a"},     // the entry a:b:1 is named a
      {"x", " y", "z"},
      {"\tx", "y"},  // read back, the first entry loses its tab
      {"\tx", "x", "y"},
      {"\tx", "\tx", "y"},
      {"\t", "y", "z"},
      {"a", "\t b", "a", "c"},
  };
  for (const auto& names : cases) {
    std::string label;
    for (const auto& n : names) label += "[" + n + "]";
    EXPECT_EQ(defaultLineOfNames(names), stepByStep(names)) << label;
  }
  EXPECT_EQ(defaultLineOfNames({"a"}), "rp.select =  a:1");
  EXPECT_EQ(defaultLineOfNames({"a", "b", "c"}), "rp.select = a:1 b:1 c:1");
}

TEST(DefaultLineOfNamesScale, Linear) {
  std::vector<std::string> names;
  std::string want = "rp.select =";
  for (int i = 0; i < 100000; ++i) {
    names.push_back("upstream-" + std::to_string(i));
    want += " upstream-" + std::to_string(i) + ":1";
  }
  EXPECT_EQ(defaultLineOfNames(names), want);
}

}  // namespace
