#include "account_balance.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qel_io/config/config.h"

using namespace std::string_literals;

namespace {

TEST(CertsPattern, Table) {
  struct Case {
    std::string key;
    bool match;
    std::string domain;
  };
  const Case cases[] = {
      {"certs[dom1].rp.select", true, "dom1"},
      {"xcerts[dom1].rp.select.more", true, "dom1"},  // unanchored
      {"certs[a]].rp.select", true, "a]"},
      {"certs[a].rp.select].rp.select", true, "a].rp.select"},  // greedy: the last fitting "]"
      {"certs[a]Xrp_select", true, "a"},                       // the dots match any character
      {"certs[\xff\xfe].rp.select", true, "\xff\xfe"},          // bytes, not UTF-8
      {"certs[].rp.select", false, ""},
      {"certs[a\nb].rp.select", false, ""},  // "." stops at a newline
      {"rp.select", false, ""},
      {"certs[a].rp.selec", false, ""},
  };
  for (const Case& c : cases) {
    std::string domain;
    EXPECT_EQ(matchCertsKey(c.key, &domain), c.match) << c.key;
    if (c.match) {
      EXPECT_EQ(domain, c.domain) << c.key;
    }
  }
}

TEST(WeightsForLine, Table) {
  struct Case {
    std::string value;
    WeightTable want;
  };
  const Case cases[] = {
      {"a:70 b:30", {{"a", {{"D", 70}}}, {"b", {{"D", 30}}}}},
      {"", {}},
      {"  a:1   b:2  ", {{"a", {{"D", 1}}}, {"b", {{"D", 2}}}}},
      {"5 x a:1", {{"a", {{"D", 1}}}}},  // pieces without ":" are skipped
      {"a:5:7", {{"a", {{"D", 5}}}}},
      {":3", {{"", {{"D", 3}}}}},
      {"a:-2 b:+4 c:007", {{"a", {{"D", -2}}}, {"b", {{"D", 4}}}, {"c", {{"D", 7}}}}},
      {"a:1 a:2", {{"a", {{"D", 1}, {"D", 2}}}}},
  };
  for (const Case& c : cases) {
    WeightTable table;
    EXPECT_EQ(addWeightsForLine(&table, "D", c.value), "") << c.value;
    ASSERT_EQ(table.size(), c.want.size()) << c.value;
    for (const auto& [name, list] : c.want) {
      ASSERT_EQ(table[name].size(), list.size()) << c.value << " " << name;
      for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(table[name][i].domain, list[i].domain);
        EXPECT_EQ(table[name][i].weight, list[i].weight);
      }
    }
  }
}

TEST(WeightsForLine, BadWeights) {
  struct Case {
    std::string value, error;
  };
  const Case cases[] = {
      {"a:", "parsing \"\": invalid syntax"},
      {"a:ten", "parsing \"ten\": invalid syntax"},
      {"a:1\tb:2", "parsing \"1\\tb\": invalid syntax"},  // a tab separates nothing
      {"a:0x10", "parsing \"0x10\": invalid syntax"},
      {"a:1_0", "parsing \"1_0\": invalid syntax"},
      {"a:9223372036854775808", "parsing \"9223372036854775808\": value out of range"},
      {"ok:1 a:x", "parsing \"x\": invalid syntax"},
  };
  for (const Case& c : cases) {
    WeightTable table;
    EXPECT_EQ(addWeightsForLine(&table, "D", c.value), c.error) << c.value;
  }
  WeightTable edge;
  EXPECT_EQ(addWeightsForLine(&edge, "D", "a:-9223372036854775808"), "");
  EXPECT_EQ(edge["a"][0].weight, INT64_MIN);
}

const WeightTable kTable = {
    {"b", {{"Default", 30}, {"d1", 5}, {"d1", 6}}},
    {"a", {{"Default", 70}}},
    {"<&>", {{"x\"y", -1}}},
};

TEST(WeightOutput, Plain) {
  EXPECT_EQ(formatWeightLines(kTable, true, "", ""),
            "x\"y <&> -1\nDefault a 70\nDefault b 30\nd1 b 5\nd1 b 6\n");
  EXPECT_EQ(formatWeightLines(kTable, true, "a", "d1"), formatWeightLines(kTable, true, "", ""));
  EXPECT_EQ(formatWeightLines(kTable, false, "b", ""), "Default b 30\nd1 b 5\nd1 b 6\n");
  EXPECT_EQ(formatWeightLines(kTable, false, "b", "d1"), "d1 b 5\nd1 b 6\n");
  EXPECT_EQ(formatWeightLines(kTable, false, "b", "d2"), "");
  EXPECT_EQ(formatWeightLines(kTable, false, "c", ""), "");
  EXPECT_EQ(formatWeightLines({}, true, "", ""), "");
}

TEST(WeightOutput, Json) {
  EXPECT_EQ(weightTableJson(kTable),
            "{\"\\u003c\\u0026\\u003e\":[{\"x\\\"y\":-1}],\"a\":[{\"Default\":70}],"
            "\"b\":[{\"Default\":30},{\"d1\":5},{\"d1\":6}]}");
  EXPECT_EQ(weightTableJson({}), "{}");
  EXPECT_EQ(domainWeightsJson(&kTable.at("a")), "[{\"Default\":70}]");
  EXPECT_EQ(domainWeightsJson(nullptr), "null");
}

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
