#include "key_syntax.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "test_child.h"

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
    std::string_view alias = "unset", property = "unset";
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

    std::string wantAlias, wantProperty;
    std::string_view alias, property;
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

struct SelectLineCase {
  const char* line;
  bool select;
};

const SelectLineCase kSelectLineCases[] = {
    {"rp.select = a:1", true},
    {"rp.select=a:1", true},
    {"  rp.select  = a:1", true},
    {"\trp.select\t= a:1", true},  // the reader trims tabs around keys too
    {"rp.select =", true},
    {"certs[x].rp.select = a:5", true},
    {"certs[a.b].rp.select=a:5", true},
    {"xcerts[d].rp.selecty = a:1", true},  // the certs pattern is searched, as the reads do
    {"certs[].rp.select = a:1", true},  // an empty domain, read under Default by the weights
    {"certs[]xrpyselect = a:1", false},  // no "rp.select" in it: the weights skip it
    {"certs[\xe9].rp.select = a:1", true},
    {"certs[caf\xc3\xa9].rp.select = a:1", true},
    {"rp.select_threshold = 5", false},
    {"rp.selectx = a:1", false},
    {"x.rp.select = a:1", false},
    {"rp.select", false},
    {"# rp.select = a:1", false},
    {"#certs[x].rp.select = a:1", false},
    {"rp.upstreams[a].address = a:1", false},
    {"", false},
};

TEST(IsSelectLine, KeyTable) {
  for (const SelectLineCase& c : kSelectLineCases) EXPECT_EQ(isSelectLine(c.line), c.select) << c.line;
}

TEST(KeyBuilders, FormTheKeysTheToolWrites) {
  EXPECT_EQ(upstreamKey("east", "cert_digest"), "rp.upstreams[east].cert_digest");
  EXPECT_EQ(upstreamRemovalPrefix("east", "address"), "rp.upstreams[east].address =");
  EXPECT_EQ(selectKey(""), "rp.select");
  EXPECT_EQ(selectKey("d1"), "certs[d1].rp.select");
  EXPECT_EQ(selectStartText(""), "rp.select =");
  EXPECT_EQ(selectStartText("d1"), "certs[d1].rp.select =");
  EXPECT_EQ(selectRemovalPrefix(""), "rp.select=");
  EXPECT_EQ(selectRemovalPrefix("d1"), "certs[d1].rp.select=");
}

TEST(SelectParts, SplitAtEveryBlank) {
  auto parts = [](std::string_view value) {
    std::vector<std::string> out;
    forEachSelectPart(value, [&](std::string_view p) { out.emplace_back(p); });
    return out;
  };
  EXPECT_EQ(parts(""), (std::vector<std::string>{""}));
  EXPECT_EQ(parts("a:1 b:2"), (std::vector<std::string>{"a:1", "b:2"}));
  EXPECT_EQ(parts(" a:1  b:2 "), (std::vector<std::string>{"", "a:1", "", "b:2", ""}));
  EXPECT_EQ(parts("a:1\tb:2"), (std::vector<std::string>{"a:1\tb:2"}));  // a tab is no blank
  EXPECT_EQ(selectEntryName("a:5:7"), "a");
  EXPECT_EQ(selectEntryName("a"), "a");
  EXPECT_EQ(selectEntryName(":5"), "");
}

TEST(KeyParts, WhatAnAliasAndADomainCannotHold) {
  struct Case {
    std::string text;
    const char* alias;   // what forbiddenInKeyPart says as an alias
    const char* domain;  // and as a domain
  };
  const Case cases[] = {
      {"east", "", ""},
      {"0b6c1f52-5b2e-11ee-8c99-0242ac120002", "", ""},
      {"caf\xc3\xa9.example_1", "", ""},
      {"\xff", "", ""},
      {"a:b", "\":\"", ""},
      {"a\nb", "a line break", "a line break"},
      {"ab\r", "a line break", "a line break"},
      {std::string("a\0b", 3), "a NUL byte", "a NUL byte"},
      {"=ab", "\"=\"", "\"=\""},
      {"a[b", "\"[\"", "\"[\""},
      {"ab]", "\"]\"", "\"]\""},
      {"a b", "a blank", "a blank"},
      {"a\tb", "a tab", "a tab"},
      {"a:b c", "\":\"", "a blank"},  // the first that counts
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(forbiddenInKeyPart(c.text, KeyPart::kAlias), c.alias) << c.text;
    EXPECT_EQ(forbiddenInKeyPart(c.text, KeyPart::kDomain), c.domain) << c.text;
  }
  Exit e = runChild([] { checkKeyPart("dc-uid", "victim].secret = x", KeyPart::kAlias); });
  EXPECT_EQ(e.status, 10);
  EXPECT_EQ(e.err, "dc-uid \"victim].secret = x\" cannot be an alias: it holds \"]\"\n");
  e = runChild([] {
    checkKeyPart("-domain", "d1", KeyPart::kDomain);
    _exit(0);
  });
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.err, "");
}

}  // namespace
