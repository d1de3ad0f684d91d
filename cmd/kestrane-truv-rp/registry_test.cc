#include "registry.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <random>
#include <string>

using namespace std::string_literals;

namespace {

struct KeyCase {
  std::string key;
  bool match;
  std::string alias, property;
};

const KeyCase kKeyCases[] = {
    {"rp.upstreams[east].address", true, "east", "address"},
    {"rp.upstreams[east].dc_uid", true, "east", "dc_uid"},
    // The greedy alias runs to the last "]." followed by a non-blank.
    {"rp.upstreams[a].b[c].d", true, "a].b[c", "d"},
    {"rp.upstreams[a].b]. c", true, "a", "b]."},
    {"rp.upstreams[[x]].y", true, "[x]", "y"},
    {"rp.upstreams \t\r\f\n[x].y", true, "x", "y"},
    {"rp.upstreams[x].y z", true, "x", "y"},
    {"rp.upstreams[x].y\nz w", true, "x", "y\nz"},  // [^ ] takes a newline
    {"rp.upstreams[x]. y", false, "", ""},
    {"rp.upstreams[x].", false, "", ""},
    {"rp.upstreams[].x", false, "", ""},
    {"rp.upstreams[a\nb].c", false, "", ""},  // "." stops at a newline
    {"rp.upstreams[a\nrp.upstreams[b].c", true, "b", "c"},
    {"rp.upstreams[a\n].b].c", false, "", ""},
    {"xx rp-upstreams[a].b", true, "a", "b"},  // unanchored, "." is any byte
    {"rp\nupstreams[a].b", false, "", ""},
    {"rp.upstreams[\xff\xfe].\xc3", true, "\xff\xfe", "\xc3"},  // bytes, not UTF-8
    {"RP.UPSTREAMS[a].b", false, "", ""},
    {"rp.enable", false, "", ""},
    {"certs[x].rp.select", false, "", ""},
    {"", false, "", ""},
};

TEST(MatchUpstreamKey, Table) {
  for (const KeyCase& c : kKeyCases) {
    std::string alias = "unset", property = "unset";
    EXPECT_EQ(matchUpstreamKey(c.key, &alias, &property), c.match) << c.key;
    if (c.match) {
      EXPECT_EQ(alias, c.alias) << c.key;
      EXPECT_EQ(property, c.property) << c.key;
    }
  }
}

// The shortcuts before RE2 must give what the pattern alone gives.
TEST(MatchUpstreamKey, AgreesWithPlainRe2) {
  RE2::Options o;
  o.set_encoding(RE2::Options::EncodingLatin1);
  o.set_longest_match(false);
  const RE2 reference(R"(rp.upstreams\s*\[(.+)\]\.([^ ]+))", o);
  ASSERT_TRUE(reference.ok());

  const std::string pieces[] = {"rp.upstreams[", "rp.upstreams", "upstreams", "rp", ".", "[", "]", "].",
                                " ", "\n", "\t", "a", "b", "\xff", "x.y", "]. "};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1), length(0, 12);
  int matches = 0;
  for (int n = 0; n < 200000; ++n) {
    std::string key = (n % 2 == 0) ? "rp.upstreams[" : "";
    for (size_t k = length(rng); k > 0; --k) key += pieces[pick(rng)];

    std::string wantAlias, wantProperty, alias, property;
    const bool want = RE2::PartialMatch(key, reference, &wantAlias, &wantProperty);
    ASSERT_EQ(matchUpstreamKey(key, &alias, &property), want) << '"' << key << '"';
    if (want) {
      ++matches;
      ASSERT_EQ(alias, wantAlias) << '"' << key << '"';
      ASSERT_EQ(property, wantProperty) << '"' << key << '"';
    }
  }
  EXPECT_GT(matches, 20000);  // both outcomes well represented
  EXPECT_LT(matches, 180000);
}

TEST(GetAliasesAndAlias2Uid, CollectsAliasesAndRawDcUids) {
  const ConfigView view = {
      {"rp.enable", "yes"},
      {"rp.upstreams[east].address", "east.example:443"},
      {"rp.upstreams[west].dc_uid", "U-1"},
      {"rp.upstreams[west].address", "west.example"},
      {"rp.upstreams[x].foo", "bar"},
      {"rp.upstreams[empty].dc_uid", ""},
      {"rp.upstreams[a].b[c].dc_uid", "U-2"},
      {"rp.upstreams  [spaced].stat", "s"},
      {"rp.upstreams[dc].dc_uid_old", "U-3"},  // only "dc_uid" itself gives a DC UID
  };
  std::unordered_set<std::string> aliases = {"stale"};
  std::unordered_map<std::string, std::string> alias2uid = {{"stale", "x"}};
  getAliasesAndAlias2Uid(view, &aliases, &alias2uid);

  EXPECT_EQ(aliases, (std::unordered_set<std::string>{"east", "west", "x", "empty", "a].b[c", "spaced", "dc"}));
  EXPECT_EQ(alias2uid, (std::unordered_map<std::string, std::string>{
                           {"west", "U-1"}, {"empty", ""}, {"a].b[c", "U-2"}}));
}

TEST(GetAliasesAndAlias2Uid, DcUidFromEitherSpellingOfTheKey) {
  const ConfigView view = {{"rp.upstreams[w].dc_uid", "U-1"}, {"rp.upstreams [w].dc_uid", "U-2"}};
  std::unordered_set<std::string> aliases;
  std::unordered_map<std::string, std::string> alias2uid;
  getAliasesAndAlias2Uid(view, &aliases, &alias2uid);
  EXPECT_EQ(aliases, (std::unordered_set<std::string>{"w"}));
  ASSERT_EQ(alias2uid.size(), 1u);
  EXPECT_TRUE(alias2uid["w"] == "U-1" || alias2uid["w"] == "U-2") << alias2uid["w"];
}

}  // namespace
