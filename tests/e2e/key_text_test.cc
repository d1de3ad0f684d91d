// Texts that the tool writes inside a key: an alias (from the command line, or
// a DC UID that a peer chose) and a domain. Each must leave every other
// setting as it was, so a text that could end the key, the line or a select
// entry early is refused before anything is written.
#include <string>
#include <vector>

#include "harness.h"

namespace {

class KeyText : public EndToEndTest {};

using Args = std::vector<std::string>;

const char kRp[] =
    "rp.enable = yes\n"
    "rp.upstreams[victim].dc_uid = V1\n"
    "rp.upstreams[victim].address = victim.example:443\n"
    "rp.upstreams[victim].secret = victims-own\n"
    "rp.upstreams[victim].cert_digest = vd\n"
    "rp.upstreams[victim].stat = victim.example:9100\n";
const char kSelect[] = "rp.select = victim:100\ncerts[d1].rp.select = victim:7\nrp.select_threshold = 5";
const char kVictimJson[] =
    R"({"address":"victim.example:443","alias":"victim","digest":"vd","secret":"victims-own","stat":"victim.example:9100"})"
    "\n";

// An instance with the upstream "victim", its select lines and this
// instance's identity files.
void populate(const Instance& inst) {
  writeFile(inst.rpConfig(), kRp, 0600);
  writeFile(inst.rpSelectConfig(), kSelect, 0600);
  writeFile(inst.confd() + "/dc_uid", "dc_uid = 6c1f0b52-5b2e-11ee-8c99-0242ac120002\n");
  writeFile(inst.confd() + "/cluster.secret", "cluster.secret=c\n");
}

// The message quoting of the few characters used here.
std::string quoted(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    switch (c) {
      case '\n': q += "\\n"; break;
      case '\r': q += "\\r"; break;
      case '\t': q += "\\t"; break;
      case '\0': q += "\\x00"; break;
      case '"': q += "\\\""; break;
      default: q += c;
    }
  }
  return q + "\"";
}

// s as a JSON string.
std::string json(const std::string& s) {
  std::string j = "\"";
  for (char c : s) {
    switch (c) {
      case '\n': j += "\\n"; break;
      case '\r': j += "\\r"; break;
      case '\t': j += "\\t"; break;
      case '\0': j += "\\u0000"; break;
      case '"': j += "\\\""; break;
      default: j += c;
    }
  }
  return j + "\"";
}

struct Forbidden {
  std::string c;
  const char* described;
  bool inDomain;  // a domain may hold ":"
};
const Forbidden kForbidden[] = {
    {"\n", "a line break", true}, {"\r", "a line break", true}, {"=", "\"=\"", true},  {"[", "\"[\"", true},
    {"]", "\"]\"", true},         {" ", "a blank", true},       {"\t", "a tab", true}, {":", "\":\"", false},
};

// One way of giving a command a key text: the arguments and standard input
// for the text, where the message says it came from, and what it names.
struct Way {
  const char* name;
  const char* what;
  bool domain;
  Args (*args)(const std::string& text);
  std::string (*input)(const std::string& text);
};

std::string noInput(const std::string&) { return ""; }

const Way kWays[] = {
    {"add -alias", "-alias", false,
     [](const std::string& t) -> Args {
       return {"add-upstream", "-dc-uid", "U9", "-alias", t, "-address", "a:1", "-secret", "s", "-digest", "d"};
     },
     noInput},
    {"add -dc-uid as alias", "-dc-uid", false,
     [](const std::string& t) -> Args {
       return {"add-upstream", "-dc-uid", t, "-address", "a:1", "-secret", "s", "-digest", "d"};
     },
     noInput},
    {"change -alias", "-alias", false,
     [](const std::string& t) -> Args { return {"change-upstream", "-dc-uid", "V1", "-alias", t}; }, noInput},
    {"import -alias", "-alias", false, [](const std::string& t) -> Args { return {"import-registration", "-alias", t}; },
     [](const std::string&) -> std::string { return R"({"dc-uid":"P1","secret":"s"})"; }},
    {"import dc-uid as alias", "dc-uid", false, [](const std::string&) -> Args { return {"import-registration"}; },
     [](const std::string& t) { return "{\"dc-uid\":" + json(t) + ",\"address\":\"evil:1\",\"secret\":\"s\"}"; }},
    {"set weight -domain", "-domain", true,
     [](const std::string& t) -> Args {
       return {"accounts-balancing", "-domain", t, "-set-weight-for-name", "victim", "5"};
     },
     noInput},
    {"remove name -domain", "-domain", true,
     [](const std::string& t) -> Args { return {"accounts-balancing", "-domain", t, "-remove-name", "victim"}; },
     noInput},
};

TEST_F(KeyText, EveryForbiddenCharacterIsRefusedBeforeAnyWrite) {
  Instance inst;
  populate(inst);
  const Snapshot before = snapshot(inst);
  for (const Way& way : kWays) {
    for (const Forbidden& f : kForbidden) {
      if (way.domain && f.inDomain == false) continue;
      for (const std::string& text : {f.c + "ab", "a" + f.c + "b", "ab" + f.c}) {
        SCOPED_TRACE(std::string(way.name) + " " + quoted(text));
        RunResult r = inst.run(way.args(text), way.input(text));
        EXPECT_EQ(r.status, 10);
        EXPECT_EQ(r.err, std::string(way.what) + " " + quoted(text) + " cannot be " +
                             (way.domain ? "a domain" : "an alias") + ": it holds " + f.described + "\n");
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(snapshot(inst), before);
      }
    }
  }
}

TEST_F(KeyText, NulFromAPeersDocumentIsRefused) {
  Instance inst;
  populate(inst);
  const Snapshot before = snapshot(inst);
  for (const std::string& text : {std::string("\0ab", 3), std::string("a\0b", 3), std::string("ab\0", 3)}) {
    SCOPED_TRACE(quoted(text));
    RunResult r = inst.run({"import-registration"}, "{\"dc-uid\":" + json(text) + "}");
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(r.err, "dc-uid " + quoted(text) + " cannot be an alias: it holds a NUL byte\n");
    ASSERT_EQ(snapshot(inst), before);
  }
}

// The attacks themselves: a peer, or a caller that passes on what a peer
// chose, cannot reach the settings of another upstream.
TEST_F(KeyText, InjectedAliasesLeaveTheVictimAsItWas) {
  Instance inst;
  populate(inst);
  const Snapshot before = snapshot(inst);
  for (const char* injected : {"victim].secret = chosen", "victim].address = evil.example:1",
                               "victim].cert_digest = chosen", "victim].stat = evil.example:2", "vic tim",
                               "victim ", "a=b"}) {
    SCOPED_TRACE(injected);
    RunResult r = inst.run({"import-registration"},
                           "{\"dc-uid\":" + json(injected) + R"(,"address":"evil:1","secret":"chosen","digest":"x"})");
    EXPECT_EQ(r.status, 10) << r.err;
    r = inst.run({"add-upstream", "-dc-uid", injected, "-address", "evil:1", "-secret", "chosen", "-digest", "x"});
    EXPECT_EQ(r.status, 10) << r.err;
    r = inst.run({"import-registration", "-alias", injected}, R"({"secret":"chosen"})");
    EXPECT_EQ(r.status, 10) << r.err;
    r = inst.run({"get-upstream", "-dc-uid", "V1", "-j"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kVictimJson);
  }
  EXPECT_EQ(snapshot(inst), before);
}

TEST_F(KeyText, DomainWithABlankTouchesNoOtherDomain) {
  Instance inst;
  populate(inst);
  RunResult r = inst.run({"accounts-balancing", "-set-weight-for-name", "victim", "-domain", "d1 ", "4"});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.err, "-domain \"d1 \" cannot be a domain: it holds a blank\n");
  EXPECT_EQ(readFile(inst.rpSelectConfig()), kSelect);
}

// What a key can hold still goes in: a domain with ":" and an alias with
// dots, hyphens and non-ASCII letters.
TEST_F(KeyText, OrdinaryTextsAreAccepted) {
  Instance inst;
  populate(inst);
  RunResult r = inst.run({"accounts-balancing", "-domain", "a:b.example", "-set-weight-for-name", "victim", "4"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = inst.run({"add-upstream", "-dc-uid", "U2", "-alias", "caf\xC3\xA9-1.example_x", "-address", "a:1", "-secret",
                "s", "-digest", "d"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = inst.run({"import-registration"}, R"({"dc-uid":"0b6c1f52-peer","secret":"s"})");
  EXPECT_EQ(r.status, 0) << r.err;
  r = inst.run({"upstream-uids"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("U2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0b6c1f52-peer\n"), std::string::npos) << r.out;
  EXPECT_NE(readFile(inst.rpSelectConfig()).find("certs[a:b.example].rp.select =  victim:4"), std::string::npos);
}

}  // namespace
