// add-upstream, rm-upstream and change-upstream, run through the binary.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using Args = std::vector<std::string>;


// Select entries by key, read loosely: the value split at blanks, empty
// pieces dropped. Line order and the blanks after "=" are not compared.
std::map<std::string, std::vector<std::string>> selectEntries(const std::string& content) {
  std::map<std::string, std::vector<std::string>> out;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::vector<std::string>& entries = out[key];
    size_t p = eq + 1;
    while (p <= line.size()) {
      size_t q = line.find(' ', p);
      if (q == std::string::npos) q = line.size();
      if (q > p) entries.push_back(line.substr(p, q - p));
      p = q + 1;
    }
  }
  return out;
}

Args concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Two upstreams: east, whose DC UID U1 differs from its alias, with all six
// properties and one more; and W, kept under its DC UID.
const char kRp[] =
    "rp.enable = yes\n"
    "rp.upstreams[east].dc_uid = U1\n"
    "rp.upstreams[east].address = east.example:443\n"
    "rp.upstreams[W].address = west.example\n"
    "rp.upstreams[east].redirect = r.east.example\n"
    "rp.upstreams[east].secret = es\n"
    "rp.upstreams[W].secret = ws\n"
    "rp.upstreams[east].cert_digest = ed\n"
    "rp.upstreams[W].cert_digest = wd\n"
    "rp.upstreams[east].stat = st.east.example\n"
    "rp.upstreams[east].foo = bar\n";

// kRp without east's six properties.
const char kRpWithoutEast[] =
    "rp.enable = yes\n"
    "rp.upstreams[W].address = west.example\n"
    "rp.upstreams[W].secret = ws\n"
    "rp.upstreams[W].cert_digest = wd\n"
    "rp.upstreams[east].foo = bar\n";

// kRp without W's lines.
const char kRpWithoutW[] =
    "rp.enable = yes\n"
    "rp.upstreams[east].dc_uid = U1\n"
    "rp.upstreams[east].address = east.example:443\n"
    "rp.upstreams[east].redirect = r.east.example\n"
    "rp.upstreams[east].secret = es\n"
    "rp.upstreams[east].cert_digest = ed\n"
    "rp.upstreams[east].stat = st.east.example\n"
    "rp.upstreams[east].foo = bar\n";

const char kSelect[] =
    "rp.select_threshold = 30\n"
    "rp.select = east:50 W:50\n"
    "certs[d1].rp.select = W:10 east:90\n";

class UpstreamChangesTest : public EndToEndTest {
 protected:
  std::string rp() const { return readFile(inst_.rpConfig()); }
  std::string select() const { return readFile(inst_.rpSelectConfig()); }
  void writeRp(const std::string& content) const { writeFile(inst_.rpConfig(), content, 0600); }
  void writeSelect(const std::string& content) const { writeFile(inst_.rpSelectConfig(), content, 0600); }

  // Runs a command that must succeed silently.
  void runOk(const Args& args) const {
    RunResult r = inst_.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }

  // Runs a command that must fail with status and message before it writes.
  void runRefused(const Args& args, int status, const std::string& message) const {
    Snapshot before = snapshot(inst_);
    RunResult r = inst_.run(args);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message + "\n");
    EXPECT_TRUE(snapshot(inst_) == before) << "a refused run changed files";
  }

  Instance inst_;
};

// ---- add-upstream ----------------------------------------------------------

const Args kAddAll = {"add-upstream", "-dc-uid",   "U1",     "-alias",  "east",       "-address",
                      "a.example:443", "-redirect", "r.example", "-secret", "s3cr3t", "-digest",
                      "d1g",          "-stat",     "st.example:9000"};

TEST_F(UpstreamChangesTest, AddWritesBlockInPropertyOrderAndIdentityFiles) {
  writeRp("rp.enable = yes\n");
  runOk(kAddAll);
  EXPECT_EQ(rp(),
            "rp.enable = yes\n"
            "rp.upstreams[east].dc_uid = U1\n"
            "rp.upstreams[east].address = a.example:443\n"
            "rp.upstreams[east].redirect = r.example\n"
            "rp.upstreams[east].secret = s3cr3t\n"
            "rp.upstreams[east].cert_digest = d1g\n"
            "rp.upstreams[east].stat = st.example:9000\n");
  EXPECT_EQ(readFile(inst_.confd() + "/dc_uid").size(), 46u);
  EXPECT_EQ(readFile(inst_.confd() + "/cluster.secret").size(), 127u);
}

TEST_F(UpstreamChangesTest, AddWithoutDistinctAliasWritesNoDcUidLine) {
  const Args base = {"add-upstream", "-dc-uid", "U1", "-address", "a", "-secret", "s", "-digest", "d"};
  for (const Args& extra : {Args{}, Args{"-alias", "U1"}, Args{"-alias="}}) {
    Instance inst;
    RunResult r = inst.run(concat(base, extra));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(inst.rpConfig()),
              "rp.upstreams[U1].address = a\n"
              "rp.upstreams[U1].secret = s\n"
              "rp.upstreams[U1].cert_digest = d\n");
  }
}

TEST_F(UpstreamChangesTest, AddOptionalRedirectAndStat) {
  const Args base = {"add-upstream", "-dc-uid", "U1", "-address", "a", "-secret", "s", "-digest", "d"};
  const std::string core =
      "rp.upstreams[U1].address = a\n"
      "rp.upstreams[U1].secret = s\n"
      "rp.upstreams[U1].cert_digest = d\n";
  struct Case {
    Args extra;
    std::string want;
  } cases[] = {
      {{}, core},
      {{"-redirect="}, core},
      {{"-redirect", "_UNSET_"}, core},
      {{"-stat="}, core},
      {{"-redirect", "r"},
       "rp.upstreams[U1].address = a\n"
       "rp.upstreams[U1].redirect = r\n"
       "rp.upstreams[U1].secret = s\n"
       "rp.upstreams[U1].cert_digest = d\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.extra));
    Instance inst;
    RunResult r = inst.run(concat(base, c.extra));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(inst.rpConfig()), c.want);
  }
}

TEST_F(UpstreamChangesTest, AddMandatoryOptionsInOrder) {
  struct Case {
    Args args;
    std::string message;
  } cases[] = {
      {{}, "-dc-uid parameter is mandatory"},
      {{"-address", "a", "-secret", "s", "-digest", "d"}, "-dc-uid parameter is mandatory"},
      {{"-dc-uid=", "-address", "a", "-secret", "s", "-digest", "d"}, "-dc-uid parameter is mandatory"},
      {{"-dc-uid", "U", "-secret", "s", "-digest", "d"}, "-address parameter is mandatory"},
      {{"-dc-uid", "U", "-address", "a"}, "-secret parameter is mandatory"},
      {{"-dc-uid", "U", "-address", "a", "-secret", "s"}, "-digest parameter is mandatory"},
      {{"-dc-uid", "U", "-address", "a", "-secret", "s", "-digest="}, "-digest parameter is mandatory"},
  };
  writeRp("rp.enable = yes");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    runRefused(concat({"add-upstream"}, c.args), 10, c.message);
  }
  EXPECT_FALSE(pathExists(inst_.confd() + "/dc_uid"));
  EXPECT_FALSE(pathExists(inst_.confd() + "/cluster.secret"));
}

TEST_F(UpstreamChangesTest, AddTwiceIsRefused) {
  const Args base = {"add-upstream", "-dc-uid", "U1", "-address", "a", "-secret", "s", "-digest", "d"};
  struct Case {
    Args extra;
    std::string alias;
  } cases[] = {{{}, "U1"}, {{"-alias", "east"}, "east"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alias);
    Instance inst;
    ASSERT_EQ(inst.run(concat(base, c.extra)).status, 0);
    Snapshot first = snapshot(inst);
    RunResult r = inst.run(concat(base, c.extra));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.err, "Upstream \"" + c.alias + "\" already exists\n");
    EXPECT_TRUE(snapshot(inst) == first);
  }
}

// The duplicate test looks at the alias's own dc_uid and address only.
TEST_F(UpstreamChangesTest, AddDuplicateTestLooksAtDcUidAndAddress) {
  const Args add = {"add-upstream", "-dc-uid", "U2", "-alias", "east",
                    "-address",     "a",       "-secret", "s",  "-digest", "d"};
  const std::string block =
      "rp.upstreams[east].dc_uid = U2\n"
      "rp.upstreams[east].address = a\n"
      "rp.upstreams[east].secret = s\n"
      "rp.upstreams[east].cert_digest = d\n";
  struct Case {
    std::string rp;
    bool refused;
  } cases[] = {
      {"rp.upstreams[east].address = x\n", true},
      {"rp.upstreams[east].dc_uid = U9\n", true},
      {"rp.upstreams[east].secret = s\nrp.upstreams[east].stat = t\n", false},
      {"rp.upstreams[other].dc_uid = U2\nrp.upstreams[other].address = o\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rp);
    Instance inst;
    writeFile(inst.rpConfig(), c.rp, 0600);
    RunResult r = inst.run(add);
    if (c.refused) {
      EXPECT_EQ(r.status, 200);
      EXPECT_EQ(r.err, "Upstream \"east\" already exists\n");
      EXPECT_EQ(readFile(inst.rpConfig()), c.rp);
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(readFile(inst.rpConfig()), c.rp + block);
    }
  }
}

TEST_F(UpstreamChangesTest, AddCreatesMissingRpConfigPrivate) {
  runOk({"add-upstream", "-dc-uid", "U1", "-address", "a", "-secret", "s", "-digest", "d"});
  EXPECT_EQ(rp(),
            "rp.upstreams[U1].address = a\n"
            "rp.upstreams[U1].secret = s\n"
            "rp.upstreams[U1].cert_digest = d\n");
  EXPECT_EQ(fileMode(inst_.rpConfig()), 0600u);
  EXPECT_TRUE(pathExists(inst_.confd() + "/dc_uid"));
  EXPECT_TRUE(pathExists(inst_.confd() + "/cluster.secret"));
}

TEST_F(UpstreamChangesTest, AddStartsBlockOnLineOfItsOwn) {
  const Args add = {"add-upstream", "-dc-uid", "U1", "-address", "a", "-secret", "s", "-digest", "d"};
  const std::string block =
      "rp.upstreams[U1].address = a\n"
      "rp.upstreams[U1].secret = s\n"
      "rp.upstreams[U1].cert_digest = d\n";
  struct Case {
    std::string before, after;
  } cases[] = {
      {"", block},
      {"rp.enable = yes", "rp.enable = yes\n" + block},
      {"rp.enable = yes\n", "rp.enable = yes\n" + block},
      {"\n", "\n" + block},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    Instance inst;
    writeFile(inst.rpConfig(), c.before, 0600);
    RunResult r = inst.run(add);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(inst.rpConfig()), c.after);
  }
}

// ---- line breaks in values (add-upstream and change-upstream) ---------------

TEST_F(UpstreamChangesTest, LineBreaksInValuesAreRefused) {
  writeRp(kRp);
  writeSelect(kSelect);
  const Args add = {"add-upstream", "-dc-uid", "U9", "-alias", "north",
                    "-address",     "n",       "-secret", "s",  "-digest", "d"};
  const Args change = {"change-upstream", "-dc-uid", "U1"};
  // (The alias is a text of a key: tests/e2e/key_text_test.cc.)
  for (const char* option : {"dc-uid", "address", "redirect", "secret", "digest", "stat"}) {
    for (const char* value : {"x\ny", "x\r", "\nrp.upstreams[evil].address = e"}) {
      for (const Args& base : {add, change}) {
        SCOPED_TRACE(base[0] + " -" + option + " " + ::testing::PrintToString(std::string(value)));
        // The last occurrence of an option wins.
        runRefused(concat(base, {std::string("-") + option, value}), 10,
                   std::string("-") + option + " must not contain a line break");
      }
    }
  }
}

// ---- rm-upstream -------------------------------------------------------------

TEST_F(UpstreamChangesTest, RmRemovesLinesAndSelectEntries) {
  struct Case {
    Args args;
    std::string rpAfter;
    std::map<std::string, std::vector<std::string>> selectAfter;
  } cases[] = {
      {{"-alias", "east"},
       kRpWithoutEast,
       {{"rp.select_threshold", {"30"}}, {"rp.select", {"W:50"}}, {"certs[d1].rp.select", {"W:10"}}}},
      {{"-dc-uid", "U1"},
       kRpWithoutEast,
       {{"rp.select_threshold", {"30"}}, {"rp.select", {"W:50"}}, {"certs[d1].rp.select", {"W:10"}}}},
      {{"-dc-uid", "W"},  // an alias with an address stands for itself
       kRpWithoutW,
       {{"rp.select_threshold", {"30"}}, {"rp.select", {"east:50"}}, {"certs[d1].rp.select", {"east:90"}}}},
      {{"-alias", "W", "-dc-uid", "U1"},  // the alias wins; the DC UID is not read
       kRpWithoutW,
       {{"rp.select_threshold", {"30"}}, {"rp.select", {"east:50"}}, {"certs[d1].rp.select", {"east:90"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Instance inst;
    writeFile(inst.rpConfig(), kRp, 0600);
    writeFile(inst.rpSelectConfig(), kSelect, 0600);
    RunResult r = inst.run(concat({"rm-upstream"}, c.args));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(readFile(inst.rpConfig()), c.rpAfter);
    std::string sel = readFile(inst.rpSelectConfig());
    EXPECT_EQ(selectEntries(sel), c.selectAfter) << sel;
    EXPECT_NE(sel.find("rp.select_threshold = 30\n"), std::string::npos) << sel;
  }
}

TEST_F(UpstreamChangesTest, RmMatchesKeysWrittenWithOtherSpacing) {
  writeRp(
      "rp.upstreams[east].address=a\n"
      "rp.upstreams[east].cert_digest= d\n"
      "rp.upstreams[ east ].secret = s\n"
      "rp.upstreams[eastern].address = e\n"
      "rp.upstreams[east].address_v6 = v6\n"
      "\trp.upstreams[east].stat = t\n");
  runOk({"rm-upstream", "-alias", "east"});
  EXPECT_EQ(rp(),
            "rp.upstreams[eastern].address = e\n"
            "rp.upstreams[east].address_v6 = v6\n"
            "\trp.upstreams[east].stat = t\n");
}

// Without a default select line the removal writes one of the other registry
// keys, an upstream with a dc_uid under its DC UID. It reads the rp config
// before the upstream's lines go, so removing east still lists U1.
TEST_F(UpstreamChangesTest, RmWritesDefaultSelectLineOfOtherUpstreams) {
  const std::string north = "rp.upstreams[N1].address = north.example\n";
  struct Case {
    std::string alias;
    bool selectExists;
    std::string selectBefore;
    std::map<std::string, std::vector<std::string>> selectAfter;
    std::string rpAfter;
  } cases[] = {
      {"W", false, "", {{"rp.select", {"N1:1", "U1:1"}}}, kRpWithoutW + north},
      {"W",
       true,
       "rp.select_threshold = 30\ncerts[d1].rp.select = W:10\n",
       {{"rp.select_threshold", {"30"}}, {"certs[d1].rp.select", {"W:10"}}, {"rp.select", {"N1:1", "U1:1"}}},
       kRpWithoutW + north},
      {"east", false, "", {{"rp.select", {"N1:1", "U1:1", "W:1"}}}, kRpWithoutEast + north},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alias + " " + c.selectBefore);
    Instance inst;
    writeFile(inst.rpConfig(), kRp + north, 0600);
    if (c.selectExists) writeFile(inst.rpSelectConfig(), c.selectBefore, 0600);
    RunResult r = inst.run({"rm-upstream", "-alias", c.alias});
    EXPECT_EQ(r.status, 0) << r.err;
    auto entries = selectEntries(readFile(inst.rpSelectConfig()));
    std::sort(entries["rp.select"].begin(), entries["rp.select"].end());  // registry order is open
    EXPECT_EQ(entries, c.selectAfter);
    EXPECT_EQ(readFile(inst.rpConfig()), c.rpAfter);
  }
}

TEST_F(UpstreamChangesTest, RmUnknownDcUidEndsWithStatusZero) {
  writeRp(kRp);
  runRefused({"rm-upstream", "-dc-uid", "nope"}, 0, "DC UID nope not found");
  EXPECT_FALSE(pathExists(inst_.rpSelectConfig()));
}

TEST_F(UpstreamChangesTest, RmWithoutOptionIsRefused) {
  writeRp(kRp);
  runRefused({"rm-upstream"}, 10, "-dc-uid parameter is mandatory");
  runRefused({"rm-upstream", "-alias=", "-dc-uid="}, 10, "-dc-uid parameter is mandatory");
  EXPECT_FALSE(pathExists(inst_.rpSelectConfig()));
}

// A DC UID that only a key without brackets holds ("rp.enable = yes") names
// no upstream.
TEST_F(UpstreamChangesTest, DcUidMatchingKeyWithoutBracketsIsNotFound) {
  writeRp(kRp);
  writeSelect(kSelect);
  runRefused({"rm-upstream", "-dc-uid", "yes"}, 0, "DC UID yes not found");
  runRefused({"change-upstream", "-dc-uid", "yes", "-address", "x"}, 100, "DC UID yes not found");
  runRefused({"change-upstream", "-dc-uid", "yes", "-alias", "z"}, 100, "DC UID yes not found");
}

// ---- change-upstream ----------------------------------------------------------

TEST_F(UpstreamChangesTest, ChangeWithOnlyDcUidChangesNoContent) {
  std::string unterminated = kRp;
  unterminated.pop_back();
  writeRp(unterminated);
  writeSelect(kSelect);
  Snapshot before = snapshot(inst_);
  runOk({"change-upstream", "-dc-uid", "U1"});
  EXPECT_EQ(rp(), kRp);  // rewritten, every line with its line end
  Snapshot after = snapshot(inst_);
  EXPECT_TRUE(after["conf.d/rp.select"] == before["conf.d/rp.select"]);
}

TEST_F(UpstreamChangesTest, ChangeReplacesGivenPropertiesAtTheEnd) {
  auto without = [](std::initializer_list<const char*> lines) {
    std::string s = kRp;
    for (const char* l : lines) {
      size_t at = s.find(std::string(l) + "\n");
      EXPECT_NE(at, std::string::npos) << l;
      if (at != std::string::npos) s.erase(at, std::string(l).size() + 1);
    }
    return s;
  };
  struct Case {
    Args args;
    std::string want;
  } cases[] = {
      {{"-dc-uid", "U1", "-address", "new.example"},
       without({"rp.upstreams[east].address = east.example:443"}) + "rp.upstreams[east].address = new.example\n"},
      {{"-dc-uid", "east", "-address", "new.example"},  // the alias as its own DC UID
       without({"rp.upstreams[east].address = east.example:443"}) + "rp.upstreams[east].address = new.example\n"},
      {{"-dc-uid", "U1", "-stat", "s2", "-secret", "s3"},  // property order, not command-line order
       without({"rp.upstreams[east].secret = es", "rp.upstreams[east].stat = st.east.example"}) +
           "rp.upstreams[east].secret = s3\nrp.upstreams[east].stat = s2\n"},
      {{"-dc-uid", "U1", "-address=", "-secret=", "-digest=", "-stat="}, kRp},
      {{"-dc-uid", "U1", "-redirect="}, without({"rp.upstreams[east].redirect = r.east.example"})},
      {{"-dc-uid", "U1", "-redirect", "r2"},
       without({"rp.upstreams[east].redirect = r.east.example"}) + "rp.upstreams[east].redirect = r2\n"},
      {{"-dc-uid", "U1", "-redirect", "_UNSET_"}, kRp},
      {{"-dc-uid", "W", "-digest", "wd2"},
       without({"rp.upstreams[W].cert_digest = wd"}) + "rp.upstreams[W].cert_digest = wd2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Instance inst;
    writeFile(inst.rpConfig(), kRp, 0600);
    writeFile(inst.rpSelectConfig(), kSelect, 0600);
    RunResult r = inst.run(concat({"change-upstream"}, c.args));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(readFile(inst.rpConfig()), c.want);
    EXPECT_EQ(readFile(inst.rpSelectConfig()), kSelect);
  }
}

TEST_F(UpstreamChangesTest, ChangeRenameMovesUpstreamAndSelectEntries) {
  const std::string moved =
      "rp.upstreams[south].dc_uid = U1\n"
      "rp.upstreams[south].address = east.example:443\n"
      "rp.upstreams[south].redirect = r.east.example\n"
      "rp.upstreams[south].secret = es\n"
      "rp.upstreams[south].cert_digest = ed\n"
      "rp.upstreams[south].stat = st.east.example\n";
  struct Case {
    Args extra;
    std::string block;
  } cases[] = {
      {{}, moved},
      {{"-redirect="}, moved},  // a rename cannot clear a property
      {{"-address", "new.example", "-stat="},
       "rp.upstreams[south].dc_uid = U1\n"
       "rp.upstreams[south].address = new.example\n"
       "rp.upstreams[south].redirect = r.east.example\n"
       "rp.upstreams[south].secret = es\n"
       "rp.upstreams[south].cert_digest = ed\n"
       "rp.upstreams[south].stat = st.east.example\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.extra));
    Instance inst;
    writeFile(inst.rpConfig(), kRp, 0600);
    writeFile(inst.rpSelectConfig(), kSelect, 0600);
    RunResult r = inst.run(concat({"change-upstream", "-dc-uid", "U1", "-alias", "south"}, c.extra));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(readFile(inst.rpConfig()), kRpWithoutEast + c.block);
    EXPECT_EQ(readFile(inst.rpSelectConfig()),
              "rp.select_threshold = 30\n"
              "rp.select = south:50 W:50\n"
              "certs[d1].rp.select = W:10 south:90\n");
  }
}

// Every line that the weight query reads entries from is renamed: a domain
// that is not UTF-8, and the line of an empty domain that the weights count
// under Default.
TEST_F(UpstreamChangesTest, ChangeRenameReachesEveryLineTheWeightsRead) {
  writeRp(kRp);
  writeSelect("certs[caf\xe9].rp.select = east:5\ncerts[].rp.select = east:1\nrp.select = east:3");
  runOk({"change-upstream", "-dc-uid", "U1", "-alias", "south"});
  EXPECT_EQ(select(), "certs[caf\xe9].rp.select = south:5\ncerts[].rp.select = south:1\nrp.select = south:3\n");
  RunResult r = inst_.run({"accounts-balancing", "-weight-for-name", "south", "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), std::string(R"([{"caf\ufffd":5},{"Default":1},{"Default":3}])" "\n").size()) << r.out;
  for (const char* entry : {R"({"caf\ufffd":5})", R"({"Default":1})", R"({"Default":3})"})
    EXPECT_NE(r.out.find(entry), std::string::npos) << r.out;
}

TEST_F(UpstreamChangesTest, ChangeRenameOfUpstreamKeptUnderItsDcUid) {
  writeRp(kRp);
  runOk({"change-upstream", "-dc-uid", "W", "-alias", "west"});
  EXPECT_EQ(rp(),
            std::string(kRpWithoutW) +
                "rp.upstreams[west].dc_uid = W\n"
                "rp.upstreams[west].address = west.example\n"
                "rp.upstreams[west].secret = ws\n"
                "rp.upstreams[west].cert_digest = wd\n");
  EXPECT_FALSE(pathExists(inst_.rpSelectConfig()));  // no select config, none made
}

TEST_F(UpstreamChangesTest, ChangeRenameToSameAliasRewritesLinesOnly) {
  writeRp(kRp);
  writeSelect(kSelect);
  Snapshot before = snapshot(inst_);
  runOk({"change-upstream", "-dc-uid", "U1", "-alias", "east"});
  EXPECT_EQ(rp(), std::string(kRpWithoutEast) +
                      "rp.upstreams[east].dc_uid = U1\n"
                      "rp.upstreams[east].address = east.example:443\n"
                      "rp.upstreams[east].redirect = r.east.example\n"
                      "rp.upstreams[east].secret = es\n"
                      "rp.upstreams[east].cert_digest = ed\n"
                      "rp.upstreams[east].stat = st.east.example\n");
  Snapshot after = snapshot(inst_);
  EXPECT_TRUE(after["conf.d/rp.select"] == before["conf.d/rp.select"]);
  EXPECT_FALSE(pathExists(inst_.rpSelectConfig() + "~"));
}

TEST_F(UpstreamChangesTest, ChangeRenameOntoAnotherUpstreamIsRefused) {
  writeRp(std::string(kRp) + "rp.upstreams[ghost].dc_uid = G1\nrp.upstreams[idle].stat = i\n");
  writeSelect(kSelect);
  runRefused({"change-upstream", "-dc-uid", "U1", "-alias", "W"}, 200, "Upstream \"W\" already exists");
  runRefused({"change-upstream", "-dc-uid", "U1", "-alias", "ghost"}, 200, "Upstream \"ghost\" already exists");
  runRefused({"change-upstream", "-dc-uid", "W", "-alias", "east"}, 200, "Upstream \"east\" already exists");
  // An alias with neither dc_uid nor address holds no upstream.
  runOk({"change-upstream", "-dc-uid", "U1", "-alias", "idle"});
  EXPECT_NE(rp().find("rp.upstreams[idle].dc_uid = U1\n"), std::string::npos);
}

TEST_F(UpstreamChangesTest, ChangeRefusals) {
  writeRp(kRp);
  writeSelect(kSelect);
  runRefused({"change-upstream", "-address", "x"}, 10, "-dc-uid parameter is mandatory");
  runRefused({"change-upstream", "-dc-uid=", "-alias", "south"}, 10, "-dc-uid parameter is mandatory");
  runRefused({"change-upstream", "-dc-uid", "nope", "-address", "x"}, 100, "DC UID nope not found");
  runRefused({"change-upstream", "-dc-uid", "nope", "-alias", "south"}, 100, "DC UID nope not found");
}

}  // namespace
