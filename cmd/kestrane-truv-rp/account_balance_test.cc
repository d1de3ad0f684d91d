#include "account_balance.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "qel_io/config/config.h"

using namespace std::string_literals;

// Readable table entries in failure messages.
void PrintTo(const WeightEntry& e, std::ostream* os) {
  *os << '{' << ::testing::PrintToString(std::string(e.name)) << ", "
      << ::testing::PrintToString(std::string(e.domain)) << ", " << e.weight << '}';
}

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
    std::string_view domain;
    EXPECT_EQ(matchCertsKey(c.key, &domain), c.match) << c.key;
    if (c.match) {
      EXPECT_EQ(domain, c.domain) << c.key;
    }
  }
}

// An entry in test tables: the views of string literals live on.
WeightEntry entry(std::string_view name, std::string_view domain, int64_t weight) { return {name, domain, weight}; }

TEST(WeightsForLine, Table) {
  struct Case {
    std::string value;
    WeightTable want;  // in the order of the line
  };
  const Case cases[] = {
      {"a:70 b:30", {entry("a", "D", 70), entry("b", "D", 30)}},
      {"", {}},
      {"  a:1   b:2  ", {entry("a", "D", 1), entry("b", "D", 2)}},
      {"5 x a:1", {entry("a", "D", 1)}},  // pieces without ":" are skipped
      {"a:5:7", {entry("a", "D", 5)}},
      {":3", {entry("", "D", 3)}},
      {"a:-2 b:+4 c:007", {entry("a", "D", -2), entry("b", "D", 4), entry("c", "D", 7)}},
      {"b:1 a:2 b:3", {entry("b", "D", 1), entry("a", "D", 2), entry("b", "D", 3)}},
  };
  for (const Case& c : cases) {
    WeightTable table = {entry("first", "E", 9)};  // entries are appended after it
    EXPECT_EQ(addWeightsForLine(&table, "D", c.value), "") << c.value;
    WeightTable want = {entry("first", "E", 9)};
    want.insert(want.end(), c.want.begin(), c.want.end());
    EXPECT_EQ(table, want) << c.value;
  }
}

TEST(WeightsForLine, BadWeights) {
  struct Case {
    std::string value, error;
    WeightTable added;  // the entries before the bad one
  };
  const Case cases[] = {
      {"a:", "parsing \"\": invalid syntax", {}},
      {"a:ten", "parsing \"ten\": invalid syntax", {}},
      {"a:1\tb:2", "parsing \"1\\tb\": invalid syntax", {}},  // a tab separates nothing
      {"a:0x10", "parsing \"0x10\": invalid syntax", {}},
      {"a:1_0", "parsing \"1_0\": invalid syntax", {}},
      {"a:9223372036854775808", "parsing \"9223372036854775808\": value out of range", {}},
      {"ok:1 a:x b:y", "parsing \"x\": invalid syntax", {entry("ok", "D", 1)}},  // the first bad one
  };
  for (const Case& c : cases) {
    WeightTable table;
    EXPECT_EQ(addWeightsForLine(&table, "D", c.value), c.error) << c.value;
    EXPECT_EQ(table, c.added) << c.value;
  }
  WeightTable edge;
  EXPECT_EQ(addWeightsForLine(&edge, "D", "a:-9223372036854775808 b:9223372036854775807"), "");
  EXPECT_EQ(edge, (WeightTable{entry("a", "D", INT64_MIN), entry("b", "D", INT64_MAX)}));
}

TEST(WeightTable, GroupByNameKeepsEachNamesOrder) {
  WeightTable table = {entry("b", "D", 1), entry("a", "D", 2), entry("b", "d1", 3),
                       entry("", "d1", 4), entry("a", "d2", 5), entry("B", "D", 6)};
  groupByName(&table);
  EXPECT_EQ(table, (WeightTable{entry("", "d1", 4), entry("B", "D", 6), entry("a", "D", 2), entry("a", "d2", 5),
                                entry("b", "D", 1), entry("b", "d1", 3)}));
}

TEST(WeightTable, ZeroEntries) {
  const WeightTable grouped = {entry("a", "d1", 1), entry("a", "Default", 2), entry("c", "d1", 3),
                               entry("c", "d1", 4), entry("e", "Default", 5)};
  struct Case {
    std::vector<std::string_view> keys;
    WeightTable want;
  } cases[] = {
      {{}, grouped},
      // A key with a Default entry gets none; one with other domains only
      // gets its zero entry after them; a new key gets a list of its own.
      {{"e", "c", "a", "b", "f", "0"},
       {entry("0", "Default", 0), entry("a", "d1", 1), entry("a", "Default", 2), entry("b", "Default", 0),
        entry("c", "d1", 3), entry("c", "d1", 4), entry("c", "Default", 0), entry("e", "Default", 5),
        entry("f", "Default", 0)}},
      {{"c", "c"}, {entry("a", "d1", 1), entry("a", "Default", 2), entry("c", "d1", 3), entry("c", "d1", 4),
                    entry("c", "Default", 0), entry("e", "Default", 5)}},  // at most one zero entry
      // Keys alike in their first eight bytes, or shorter, still sort by bytes.
      {{"edge-0002", "edge-0001x", "edge-0001", "edge-000", "edge-0001"},
       {entry("a", "d1", 1), entry("a", "Default", 2), entry("c", "d1", 3), entry("c", "d1", 4),
        entry("e", "Default", 5), entry("edge-000", "Default", 0), entry("edge-0001", "Default", 0),
        entry("edge-0001x", "Default", 0), entry("edge-0002", "Default", 0)}},
  };
  for (const Case& c : cases) {
    WeightTable table = grouped;
    addZeroEntries(&table, c.keys);
    EXPECT_EQ(table, c.want) << ::testing::PrintToString(c.keys);
  }
  WeightTable empty;
  addZeroEntries(&empty, {"k"});
  EXPECT_EQ(empty, WeightTable{entry("k", "Default", 0)});
}

// Grouped by name in byte order.
const WeightTable kTable = {
    entry("<&>", "x\"y", -1), entry("a", "Default", 70), entry("b", "Default", 30),
    entry("b", "d1", 5),       entry("b", "d1", 6),
};

TEST(WeightOutput, Plain) {
  EXPECT_EQ(formatWeightLines(kTable, true, "", ""),
            "x\"y <&> -1\nDefault a 70\nDefault b 30\nd1 b 5\nd1 b 6\n");
  EXPECT_EQ(formatWeightLines(kTable, true, "a", "d1"), formatWeightLines(kTable, true, "", ""));
  EXPECT_EQ(formatWeightLines(kTable, false, "b", ""), "Default b 30\nd1 b 5\nd1 b 6\n");
  EXPECT_EQ(formatWeightLines(kTable, false, "b", "d1"), "d1 b 5\nd1 b 6\n");
  EXPECT_EQ(formatWeightLines(kTable, false, "b", "d2"), "");
  EXPECT_EQ(formatWeightLines(kTable, false, "c", ""), "");
  EXPECT_EQ(formatWeightLines(kTable, false, "<&>", ""), "x\"y <&> -1\n");
  EXPECT_EQ(formatWeightLines({}, true, "", ""), "");
}

TEST(WeightOutput, Json) {
  EXPECT_EQ(weightTableJson(kTable),
            "{\"\\u003c\\u0026\\u003e\":[{\"x\\\"y\":-1}],\"a\":[{\"Default\":70}],"
            "\"b\":[{\"Default\":30},{\"d1\":5},{\"d1\":6}]}");
  EXPECT_EQ(weightTableJson({}), "{}");
  EXPECT_EQ(domainWeightsJson(entriesOf(kTable, "a")), "[{\"Default\":70}]");
  EXPECT_EQ(domainWeightsJson(entriesOf(kTable, "b")), "[{\"Default\":30},{\"d1\":5},{\"d1\":6}]");
  EXPECT_EQ(domainWeightsJson(entriesOf(kTable, "c")), "null");
  EXPECT_EQ(domainWeightsJson(entriesOf(kTable, "")), "null");
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
