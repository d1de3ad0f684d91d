// The upstream registry read from the rp config: upstream-uids, upstreams and
// get-upstream.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace std::string_literals;

namespace {

class RegistryListing : public EndToEndTest {};
class GetUpstream : public EndToEndTest {};
class RegistryScale : public EndToEndTest {};

const char kMissingRp[] = "Error: invalid config file: no such file or directory\n";

std::vector<std::string> sortedLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start) + "<no newline>");
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The entries of a one-line JSON array of plain strings (no escapes, no
// commas inside), sorted.
std::vector<std::string> sortedJsonStrings(const std::string& line) {
  std::vector<std::string> items;
  if (line.size() < 3 || line.front() != '[' || line.substr(line.size() - 2) != "]\n") {
    ADD_FAILURE() << "not a JSON array line: " << line;
    return items;
  }
  std::string body = line.substr(1, line.size() - 3);
  size_t start = 0;
  while (!body.empty() && start <= body.size()) {
    size_t comma = body.find(',', start);
    std::string item = body.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    EXPECT_TRUE(item.size() >= 2 && item.front() == '"' && item.back() == '"') << line;
    items.push_back(item.substr(1, item.size() - 2));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::sort(items.begin(), items.end());
  return items;
}

struct ListingCase {
  const char* name;
  std::string rp;
  std::vector<std::string> uids;           // sorted; repeats stay
  std::vector<std::string> upstreamsAnyOf;  // the output of upstreams, one of these
};

const ListingCase kListingCases[] = {
    {"no upstream keys", "rp.enable = yes\n", {}, {"{}\n"}},
    {"empty file", "", {}, {"{}\n"}},
    {"without dc_uid, keyed by its alias",
     "rp.upstreams[U1].address = a1.example:443\n"
     "rp.upstreams[U1].secret = s1\n"
     "rp.upstreams[U1].cert_digest = d1\n",
     {"U1"},
     {R"({"U1":{"address":"a1.example:443","alias":"U1","digest":"d1","secret":"s1"}})"
      "\n"}},
    {"with dc_uid, keyed by the DC UID, every member",
     "rp.upstreams[east].stat = st.east:9100\n"
     "rp.upstreams[east].dc_uid = U2\n"
     "rp.upstreams[east].secret = s2\n"
     "rp.upstreams[east].address = east.example\n"
     "rp.upstreams[east].cert_digest = d2\n"
     "rp.upstreams[east].redirect = r.east\n",
     {"U2"},
     {R"({"U2":{"address":"east.example","alias":"east","digest":"d2","redirect":"r.east","secret":"s2","stat":"st.east:9100"}})"
      "\n"}},
    {"two aliases sharing a DC UID",
     "rp.upstreams[east].dc_uid = U3\n"
     "rp.upstreams[east].address = e\n"
     "rp.upstreams[west].dc_uid = U3\n"
     "rp.upstreams[west].address = w\n",
     {"U3", "U3"},
     {R"({"U3":{"address":"e","alias":"east"}})"
      "\n",
      R"({"U3":{"address":"w","alias":"west"}})"
      "\n"}},
    {"an alias named like another's DC UID",
     "rp.upstreams[U5].address = plain\n"
     "rp.upstreams[w].dc_uid = U5\n",
     {"U5", "U5"},
     {R"({"U5":{"address":"plain","alias":"U5"}})"
      "\n",
      R"({"U5":{"alias":"w"}})"
      "\n"}},
    {"a property outside the six, empty values left out",
     "rp.upstreams[x].foo = bar\n"
     "rp.upstreams[x].redirect =\n",
     {"x"},
     {R"({"x":{"alias":"x"}})"
      "\n"}},
    {"an alias holding brackets",
     "rp.upstreams[a].b[c].address = ab.example\n",
     {"a].b[c"},
     {R"({"a].b[c":{"address":"ab.example","alias":"a].b[c"}})"
      "\n"}},
    {"blanks before the bracket",
     "rp.upstreams  [sp].address = not looked up\n"
     "rp.upstreams\t[tb].dc_uid = T1\n",
     {"T1", "sp"},
     {R"({"T1":{"alias":"tb"},"sp":{"alias":"sp"}})"
      "\n"}},
    {"an empty dc_uid value",
     "rp.upstreams[e].dc_uid =\n"
     "rp.upstreams[e].address = e.example\n",
     {""},
     {R"({"":{"address":"e.example","alias":"e"}})"
      "\n"}},
    {"members sorted by bytes at both levels",
     "rp.upstreams[z].address = 1\n"
     "rp.upstreams[Z].address = 2\n"
     "rp.upstreams[a-1].dc_uid = \xc3\xa9\n"
     "rp.upstreams[10].address = 3\n"
     "rp.upstreams[9].address = 4\n",
     {"10", "9", "Z", "z", "\xc3\xa9"},
     {R"({"10":{"address":"3","alias":"10"},"9":{"address":"4","alias":"9"},)"
      R"("Z":{"address":"2","alias":"Z"},"z":{"address":"1","alias":"z"},)"
      "\"\xc3\xa9\":{\"alias\":\"a-1\"}}"
      "\n"}},
};

TEST_F(RegistryListing, UpstreamUidsAndUpstreams) {
  for (const ListingCase& c : kListingCases) {
    SCOPED_TRACE(c.name);
    Instance inst;
    writeFile(inst.rpConfig(), c.rp, 0600);

    RunResult plain = inst.run({"upstream-uids"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(sortedLines(plain.out), c.uids);
    if (c.uids.empty()) {
      EXPECT_EQ(plain.out, "");
    }

    RunResult json = inst.run({"upstream-uids", "-j"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.err, "");
    EXPECT_EQ(sortedJsonStrings(json.out), c.uids);
    if (c.uids.empty()) {
      EXPECT_EQ(json.out, "[]\n");
    }

    RunResult all = inst.run({"upstreams"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.err, "");
    EXPECT_NE(std::find(c.upstreamsAnyOf.begin(), c.upstreamsAnyOf.end(), all.out), c.upstreamsAnyOf.end())
        << all.out;
  }
}

TEST_F(RegistryListing, JsonEscapesNamesAndValues) {
  Instance inst;
  writeFile(inst.rpConfig(),
            "rp.upstreams[<t&a>].address = \"q\\\x01\x1f\b\f\tx\xff\xc3(\xe2\x80\xa8/ end\n"
            "rp.upstreams[<t&a>].dc_uid = <u>\x7f\xe2\x82\n",
            0600);

  RunResult all = inst.run({"upstreams"});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out,
            R"({"\u003cu\u003e)"
            "\x7f"
            R"(\ufffd\ufffd":{"address":"\"q\\\u0001\u001f\b\f\tx\ufffd\ufffd(\u2028/ end","alias":"\u003ct\u0026a\u003e"}})"
            "\n");

  RunResult uids = inst.run({"upstream-uids", "-j"});
  EXPECT_EQ(uids.status, 0);
  EXPECT_EQ(uids.out, R"(["\u003cu\u003e)"
                      "\x7f"
                      R"(\ufffd\ufffd"])"
                      "\n");
}

TEST_F(RegistryListing, MissingRpConfig) {
  const std::vector<std::vector<std::string>> commands = {
      {"upstream-uids"}, {"upstream-uids", "-j"}, {"upstreams"}, {"get-upstream", "-dc-uid", "U1", "-alias"}};
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    Instance inst;
    RunResult r = inst.run(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kMissingRp);
    EXPECT_EQ(r.out, "");
  }
}

// The rp config for the lookups: U1 kept under its DC UID, east under an
// alias with every property, noaddr with a secret only, and values of keys
// that name no upstream.
const char kLookupRp[] =
    "rp.enable = yes\n"
    "rp.upstreams[U1].address = a1.example:443\n"
    "rp.upstreams[U1].secret = s1\n"
    "rp.upstreams[U1].cert_digest = d1\n"
    "rp.upstreams[east].dc_uid = U2\n"
    "rp.upstreams[east].address = east.example\n"
    "rp.upstreams[east].redirect = r.east\n"
    "rp.upstreams[east].stat = st.east:9100\n"
    "rp.upstreams[east].secret = s2\n"
    "rp.upstreams[east].cert_digest = d2\n"
    "rp.upstreams[noaddr].dc_uid = U4\n"
    "rp.upstreams[noaddr].secret = s4\n"
    "odd[].key = E\n";

struct LookupCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;  // plain output is compared line by line, in any order
  std::string err;
};

const LookupCase kLookupCases[] = {
    {"address test", {"-dc-uid", "U1", "-alias"}, 0, "alias:\tU1\n", ""},
    {"value search", {"-dc-uid", "U2", "-alias", "-address"}, 0, "alias:\teast\naddress:\teast.example\n", ""},
    {"an alias with an address", {"-dc-uid", "east", "-stat"}, 0, "stat:\tst.east:9100\n", ""},
    {"the value of another property", {"-dc-uid", "r.east", "-alias"}, 0, "alias:\teast\n", ""},
    {"no address: value search, empty values printed",
     {"-dc-uid", "U4", "-alias", "-address", "-redirect", "-stat", "-secret", "-digest"},
     0,
     "alias:\tnoaddr\naddress:\t\nredirect:\t\nstat:\t\nsecret:\ts4\ndigest:\t\n",
     ""},
    {"every selector", {"--dc-uid=U2", "-digest", "-secret", "-redirect", "-stat", "-address", "-alias"}, 0,
     "alias:\teast\naddress:\teast.example\nredirect:\tr.east\nstat:\tst.east:9100\nsecret:\ts2\ndigest:\td2\n",
     ""},
    {"no selector prints nothing", {"-dc-uid", "U2"}, 0, "", ""},
    {"-j prints the whole record", {"-dc-uid", "U2", "-j"}, 0,
     R"({"address":"east.example","alias":"east","digest":"d2","redirect":"r.east","secret":"s2","stat":"st.east:9100"})"
     "\n",
     ""},
    {"-j ignores the selectors", {"-dc-uid", "U1", "-alias", "-stat", "-j"}, 0,
     R"({"address":"a1.example:443","alias":"U1","digest":"d1","secret":"s1"})"
     "\n",
     ""},
    {"-j without an address", {"-dc-uid", "U4", "-j"}, 0, R"({"alias":"noaddr","secret":"s4"})" "\n", ""},
    {"unknown DC UID", {"-dc-uid", "nobody", "-alias"}, 100, "", "DC UID nobody not found\n"},
    {"an alias without an address is no DC UID", {"-dc-uid", "noaddr", "-alias"}, 100, "",
     "DC UID noaddr not found\n"},
    {"values match whole", {"-dc-uid", "U", "-alias"}, 100, "", "DC UID U not found\n"},
    // Keys without a bracket text name no upstream; the lookup must not
    // hand an empty alias to its caller.
    {"only a key without brackets holds it", {"-dc-uid", "yes", "-alias", "-j"}, 100, "",
     "DC UID yes not found\n"},
    {"only an empty bracket pair holds it", {"-dc-uid", "E", "-alias"}, 100, "", "DC UID E not found\n"},
    {"no -dc-uid", {"-alias"}, 10, "", "dc-uid not specified\n"},
    {"empty -dc-uid", {"-dc-uid=", "-alias"}, 10, "", "dc-uid not specified\n"},
};

TEST_F(GetUpstream, Lookups) {
  Instance inst;
  writeFile(inst.rpConfig(), kLookupRp, 0600);
  for (const LookupCase& c : kLookupCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"get-upstream"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = inst.run(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (!c.out.empty() && c.out[0] == '{') {
      EXPECT_EQ(r.out, c.out);
    } else {
      EXPECT_EQ(sortedLines(r.out), sortedLines(c.out));
    }
  }
  EXPECT_EQ(readFile(inst.rpConfig()), kLookupRp);  // nothing here writes
}

// A DC UID held both by keys that name no upstream and by an upstream's
// dc_uid: the upstream is found wherever the others fall in the view's order.
TEST_F(GetUpstream, ValueSearchPassesOverKeysWithoutAlias) {
  Instance inst;
  std::string rp = "rp.enable = yes\n";
  for (int i = 0; i < 50; ++i) rp += "rp.flag" + std::to_string(i) + " = yes\n";
  rp += "rp.upstreams[y].dc_uid = yes\nrp.upstreams[y].address = y.example\n";
  writeFile(inst.rpConfig(), rp, 0600);

  RunResult r = inst.run({"get-upstream", "-dc-uid", "yes", "-alias", "-address"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(sortedLines(r.out), sortedLines("alias:\ty\naddress:\ty.example\n"));
}

TEST_F(GetUpstream, SharedDcUidResolvesToOneOfItsAliases) {
  Instance inst;
  writeFile(inst.rpConfig(),
            "rp.upstreams[east].dc_uid = U3\nrp.upstreams[east].address = e\n"
            "rp.upstreams[west].dc_uid = U3\nrp.upstreams[west].address = w\n",
            0600);
  RunResult r = inst.run({"get-upstream", "-dc-uid", "U3", "-j"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == "{\"address\":\"e\",\"alias\":\"east\"}\n" || r.out == "{\"address\":\"w\",\"alias\":\"west\"}\n")
      << r.out;
}

// 100,000 upstreams of six lines each: every view is built in one pass.
TEST_F(RegistryScale, HundredThousandUpstreams) {
  constexpr int kUpstreams = 100000;
  Instance inst;
  std::string rp;
  rp.reserve(kUpstreams * 200);
  for (int i = 0; i < kUpstreams; ++i) {
    const std::string alias = "up-" + std::to_string(i);
    const std::string prefix = "rp.upstreams[" + alias + "].";
    rp += prefix + "dc_uid = uid-" + std::to_string(i) + "\n";
    rp += prefix + "address = " + alias + ".example:443\n";
    rp += prefix + "redirect = r." + alias + ".example\n";
    rp += prefix + "stat = " + alias + ".example:9100\n";
    rp += prefix + "secret = c2VjcmV0IG9mIGFuIHVwc3RyZWFtIG9mIGZvcnR5\n";
    rp += prefix + "cert_digest = 5f2b8c1d9e0a7f3b6c4d2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b\n";
  }
  writeFile(inst.rpConfig(), rp, 0600);

  const auto start = std::chrono::steady_clock::now();
  RunResult uids = inst.run({"upstream-uids"});
  RunResult all = inst.run({"upstreams"});
  RunResult one = inst.run({"get-upstream", "-dc-uid", "uid-76543", "-alias", "-stat"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  EXPECT_EQ(uids.status, 0);
  EXPECT_EQ(std::count(uids.out.begin(), uids.out.end(), '\n'), kUpstreams);
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out.substr(0, 16), R"({"uid-0":{"addre)");
  EXPECT_NE(all.out.find(R"("uid-99999":{"address":"up-99999.example:443","alias":"up-99999",)"), std::string::npos);
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(sortedLines(one.out), sortedLines("alias:\tup-76543\nstat:\tup-76543.example:9100\n"));
  // Quadratic work over 100,000 upstreams would take minutes.
  EXPECT_LT(seconds, 30.0);
}

}  // namespace
