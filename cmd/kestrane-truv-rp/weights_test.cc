#include "weights.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Readable table entries in failure messages.
void PrintTo(const WeightEntry& e, std::ostream* os) {
  *os << '{' << ::testing::PrintToString(std::string(e.name)) << ", "
      << ::testing::PrintToString(std::string(e.domain)) << ", " << e.weight << '}';
}

namespace {

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

}  // namespace
