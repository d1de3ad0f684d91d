// accounts-balancing run through the binary: the driver and its step order,
// the threshold and weight queries, and the select line editing.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "../select_step_model.h"
#include "harness.h"

namespace {

class AccountBalanceDriver : public EndToEndTest {};
class AccountBalanceSetWeight : public EndToEndTest {};

using Args = std::vector<std::string>;

const char kNotFound[] = "Failed to find weight in config\n";
const char kMissingRp[] = "Error: invalid config file: no such file or directory\n";

Args concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}


// ---- Output in an unspecified order ----------------------------------------

// The lines of a plain weight listing grouped by name, each group in output
// order. Lines are "DOMAIN NAME WEIGHT"; the domains used here hold no blank,
// the name may be empty.
std::map<std::string, std::vector<std::string>> linesByName(const std::string& out) {
  std::map<std::string, std::vector<std::string>> groups;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    if (nl == std::string::npos) {
      ADD_FAILURE() << "last line without line end: " << out.substr(pos);
      break;
    }
    std::string line = out.substr(pos, nl - pos);
    pos = nl + 1;
    size_t first = line.find(' '), last = line.rfind(' ');
    if (first == std::string::npos || first == last) {
      ADD_FAILURE() << "not a weight line: " << line;
      continue;
    }
    groups[line.substr(first + 1, last - first - 1)].push_back(line);
  }
  return groups;
}

// For each name, the orders its lines may come in.
using PlainTable = std::map<std::string, std::vector<std::vector<std::string>>>;

void expectPlainTable(const std::string& out, const PlainTable& want) {
  auto got = linesByName(out);
  std::set<std::string> gotNames, wantNames;
  for (const auto& g : got) gotNames.insert(g.first);
  for (const auto& w : want) wantNames.insert(w.first);
  EXPECT_EQ(gotNames, wantNames) << out;
  for (const auto& [name, orders] : want) {
    auto it = got.find(name);
    if (it == got.end()) continue;
    EXPECT_NE(std::find(orders.begin(), orders.end(), it->second), orders.end())
        << "lines of \"" << name << "\" in an order not allowed:\n"
        << out;
  }
}

// Every JSON text of a whole table: members in the given (byte) order, each
// name's array one of its alternatives.
std::vector<std::string> jsonTables(const std::vector<std::pair<std::string, std::vector<std::string>>>& members) {
  std::vector<std::string> texts = {"{"};
  for (size_t i = 0; i < members.size(); ++i) {
    std::vector<std::string> next;
    for (const std::string& prefix : texts) {
      for (const std::string& array : members[i].second) {
        next.push_back(prefix + (i ? "," : "") + "\"" + members[i].first + "\":" + array);
      }
    }
    texts = next;
  }
  for (std::string& t : texts) t += "}\n";
  return texts;
}

void expectAnyOf(const std::string& got, const std::vector<std::string>& allowed) {
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), got), allowed.end()) << "unexpected: " << got;
}

// ---- Instance set-up ------------------------------------------------------

// Two upstreams: east, kept under its DC UID U1, and W, kept under its
// alias. Both have an address, so both aliases take weights.
const char kRp[] =
    "rp.enable = yes\n"
    "rp.upstreams[east].dc_uid = U1\n"
    "rp.upstreams[east].address = east.example:443\n"
    "rp.upstreams[east].secret = es\n"
    "rp.upstreams[W].address = west.example\n"
    "rp.upstreams[W].secret = ws\n";

class AccountBalanceTest : public EndToEndTest {
 protected:
  std::string select() const { return readFile(inst_.rpSelectConfig()); }
  void writeRp(const std::string& content) const { writeFile(inst_.rpConfig(), content, 0600); }
  void writeSelect(const std::string& content) const { writeFile(inst_.rpSelectConfig(), content, 0644); }

  RunResult balance(const Args& args, const RunOptions& opts = {}) const {
    return inst_.run(concat({"accounts-balancing"}, args), opts);
  }

  // A run that must succeed without output.
  void balanceOk(const Args& args) const {
    RunResult r = balance(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }

  // A run that must fail with status and message and leave every file as it
  // was, the rp select config's inode included.
  void balanceRefused(const Args& args, int status, const std::string& message) const {
    Snapshot before = snapshot(inst_);
    RunResult r = balance(args);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message + "\n");
    EXPECT_TRUE(snapshot(inst_) == before) << "a refused run changed files";
  }

  Instance inst_;
};

// ---- The driver: creation and step order ---------------------------------

TEST_F(AccountBalanceDriver, CreatesMissingSelectConfigEmptyUnderTheUmask) {
  const Args optionSets[] = {{}, {"-domain", "d"}, {"-j"}, {"--domain=d", "-j=true"}, {"-set-threshold", "-1"}};
  const mode_t umasks[] = {022, 077, 0};
  for (const Args& args : optionSets) {
    for (mode_t mask : umasks) {
      SCOPED_TRACE(::testing::PrintToString(args) + " umask " + std::to_string(mask));
      Instance inst;  // no rp config: nothing here may read it
      RunOptions o;
      o.umask = mask;
      RunResult r = inst.run(concat({"accounts-balancing"}, args), o);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "");
      ASSERT_TRUE(pathExists(inst.rpSelectConfig()));
      EXPECT_EQ(readFile(inst.rpSelectConfig()), "");
      EXPECT_EQ(fileMode(inst.rpSelectConfig()), 0666 & ~mask);
      EXPECT_FALSE(pathExists(inst.rpConfig()));
    }
  }
}

TEST_F(AccountBalanceTest, RunWithoutRequestLeavesAnExistingFileAlone) {
  writeFile(inst_.rpSelectConfig(), "rp.select = W:1\r\nrp.select_threshold = 3", 0640);
  Snapshot before = snapshot(inst_);
  for (const Args& args : {Args{}, Args{"-domain", "d", "-j"}, Args{"-set-threshold=-1"}}) {
    balanceOk(args);
  }
  EXPECT_TRUE(snapshot(inst_) == before);
}

TEST_F(AccountBalanceDriver, SelectConfigThatCannotBeCreated) {
  Instance inst;
  ASSERT_EQ(::rmdir(inst.confd().c_str()), 0);
  RunResult r = inst.run({"accounts-balancing"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Failed to create rp select config file " + inst.rpSelectConfig() + " (open " +
                       inst.rpSelectConfig() + ": no such file or directory)\n");
}

TEST_F(AccountBalanceDriver, StatusQueryFailingOtherwiseLeavesTheWorkToTheSteps) {
  // conf.d is a file: the status query fails with "not a directory", so
  // nothing is created and only a step that reads the file fails.
  Instance inst;
  ASSERT_EQ(::rmdir(inst.confd().c_str()), 0);
  writeFile(inst.confd(), "not a directory\n");
  RunResult quiet = inst.run({"accounts-balancing", "-domain", "d"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");

  RunResult query = inst.run({"accounts-balancing", "-weights"});
  EXPECT_EQ(query.status, 255);
  EXPECT_EQ(query.out, "");
  EXPECT_EQ(query.err, "Error: invalid config file: not a directory\n");
  EXPECT_EQ(readFile(inst.confd()), "not a directory\n");
}

TEST_F(AccountBalanceTest, GetThresholdPrintsTheOldValueThenSetWritesTheNewOne) {
  writeRp(kRp);
  writeSelect("rp.select = W:1\nrp.select_threshold = 30\ncerts[d].rp.select = W:2");
  for (const Args& extra : {Args{}, Args{"-j"}}) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    RunResult r = balance(concat({"-get-threshold"}, extra));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "30");  // no line end, -j or not
    EXPECT_EQ(r.err, "");
  }

  RunResult r = balance({"-set-threshold", "40", "-get-threshold"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "30");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(select(), "rp.select = W:1\ncerts[d].rp.select = W:2\nrp.select_threshold = 40");

  // The value is printed as read, without any check that it is a number.
  writeSelect("rp.select_threshold =  not a number  \n");
  r = balance({"-get-threshold"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "not a number");
}

TEST_F(AccountBalanceTest, GetThresholdWithoutThresholdEndsTheRunBeforeLaterSteps) {
  writeRp(kRp);
  const std::string message = "\"rp.select_threshold\" not found in " + inst_.rpSelectConfig();
  for (const char* content : {"", "rp.select = W:1\n", "rp.select_threshold =\nrp.select = W:1",
                              "rp.select_threshold2 = 4\n"}) {
    SCOPED_TRACE(content);
    writeSelect(content);
    // Neither the threshold, nor the weights, nor the weight is written,
    // and no weight is printed.
    balanceRefused({"-get-threshold", "-set-threshold", "5", "-weights", "-set-weight-for-name", "W", "9"}, 255,
                   message);
  }
}

TEST_F(AccountBalanceTest, GetThresholdIsFollowedAtOnceByTheWeights) {
  writeRp(kRp);
  writeSelect("rp.select_threshold = 30\n");
  RunResult r = balance({"-get-threshold", "-weights"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.substr(0, 2), "30");
  expectPlainTable(r.out.substr(2), {{"U1", {{"Default U1 0"}}}, {"W", {{"Default W 0"}}}});

  r = balance({"-get-threshold", "-weights", "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "30{\"U1\":[{\"Default\":0}],\"W\":[{\"Default\":0}]}\n");
}

TEST_F(AccountBalanceTest, WeightQuerySeesThresholdOfTheRunButNotItsEdits) {
  writeRp(kRp);
  writeSelect("");
  // Without a default select line or threshold line there are no zero
  // entries; the threshold written first makes them, while the weight set
  // after the query is not in its output.
  RunResult r = balance({"-set-threshold", "5", "-weights", "-set-weight-for-name", "east", "40"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  expectPlainTable(r.out, {{"U1", {{"Default U1 0"}}}, {"W", {{"Default W 0"}}}});
  EXPECT_EQ(select(), "rp.select_threshold = 5\nrp.select =  east:40");
}

TEST_F(AccountBalanceTest, AllStepsInOneRunInTheirOrder) {
  writeRp(kRp);
  writeSelect("rp.select_threshold = 30\nrp.select = east:10 W:20\n");
  RunResult r = balance({"-get-threshold", "-set-threshold", "40", "-weights", "-set-weight-for-name", "east",
                         "-remove-name", "W", "60"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.out.substr(0, 2), "30");
  expectPlainTable(r.out.substr(2), {{"east", {{"Default east 10"}}},
                                     {"W", {{"Default W 20"}}},
                                     {"U1", {{"Default U1 0"}}}});
  // Threshold rewritten, then east set (line moved to the end), then W
  // taken out of that line.
  EXPECT_EQ(select(), "rp.select_threshold = 40\nrp.select = east:60");
  EXPECT_EQ(fileMode(inst_.rpSelectConfig()), 0600u);
  EXPECT_EQ(listDir(inst_.path("var/tmp")), std::vector<std::string>{});
}

// ---- The weight query --------------------------------------------------------

// east stands under its alias in the default line and twice in d1's line;
// W in the default line and in d2's; c only in d1's and in no registry.
const char kTableSelect[] =
    "rp.select = east:1 W:2\n"
    "certs[d1].rp.select = east:5 east:6 c:7\n"
    "certs[d2].rp.select = W:9\n";

TEST_F(AccountBalanceTest, PrintWeightsEveryRow) {
  writeRp(kRp);
  writeSelect(kTableSelect);

  // Entries of one line keep their order; lines come in any order; the zero
  // entry of U1 (east's DC UID) is there because a default line was read.
  const PlainTable whole = {
      {"east", {{"Default east 1", "d1 east 5", "d1 east 6"}, {"d1 east 5", "d1 east 6", "Default east 1"}}},
      {"W", {{"Default W 2", "d2 W 9"}, {"d2 W 9", "Default W 2"}}},
      {"c", {{"d1 c 7"}}},
      {"U1", {{"Default U1 0"}}},
  };
  const std::vector<std::string> wholeJson = jsonTables({
      {"U1", {R"([{"Default":0}])"}},
      {"W", {R"([{"Default":2},{"d2":9}])", R"([{"d2":9},{"Default":2}])"}},
      {"c", {R"([{"d1":7}])"}},
      {"east", {R"([{"Default":1},{"d1":5},{"d1":6}])", R"([{"d1":5},{"d1":6},{"Default":1}])"}},
  });

  struct Case {
    Args args;
    int status;
    PlainTable plain;                // plain output, when the status is 0
    std::vector<std::string> json;   // -j output, one of these, when the status is 0
  } cases[] = {
      // -weights: the whole table, whatever the name and domain.
      {{"-weights"}, 0, whole, {}},
      {{"-weights", "-weight-for-name", "nobody", "-domain", "d9"}, 0, whole, {}},
      {{"-weights", "-j"}, 0, {}, wholeJson},
      {{"-j", "-weight-for-name", "nobody", "-domain", "d9", "-weights"}, 0, {}, wholeJson},
      // One name, every domain.
      {{"-weight-for-name", "east"}, 0, {{"east", whole.at("east")}}, {}},
      {{"-weight-for-name", "U1"}, 0, {{"U1", {{"Default U1 0"}}}}, {}},
      {{"-weight-for-name", "nobody"}, 100, {}, {}},
      {{"-weight-for-name", "east", "-j"},
       0,
       {},
       {"[{\"Default\":1},{\"d1\":5},{\"d1\":6}]\n", "[{\"d1\":5},{\"d1\":6},{\"Default\":1}]\n"}},
      {{"-weight-for-name", "c", "-j"}, 0, {}, {"[{\"d1\":7}]\n"}},
      {{"-weight-for-name", "U1", "-j"}, 0, {}, {"[{\"Default\":0}]\n"}},
      {{"-weight-for-name", "nobody", "-j"}, 100, {}, {}},
      // One name in one domain: plain lists every entry, JSON the first.
      {{"-weight-for-name", "east", "-domain", "d1"}, 0, {{"east", {{"d1 east 5", "d1 east 6"}}}}, {}},
      {{"-weight-for-name", "east", "-domain", "Default"}, 0, {{"east", {{"Default east 1"}}}}, {}},
      {{"-weight-for-name", "U1", "-domain", "Default"}, 0, {{"U1", {{"Default U1 0"}}}}, {}},
      {{"-weight-for-name", "east", "-domain", "d2"}, 100, {}, {}},
      {{"-weight-for-name", "c", "-domain", "Default"}, 100, {}, {}},  // not a registry key: no zero entry
      {{"-weight-for-name", "nobody", "-domain", "d1"}, 100, {}, {}},
      {{"-weight-for-name", "east", "-domain", "d1", "-j"}, 0, {}, {"5\n"}},
      {{"-weight-for-name", "W", "-domain", "d2", "-j"}, 0, {}, {"9\n"}},
      {{"-weight-for-name", "U1", "-domain", "Default", "-j"}, 0, {}, {"0\n"}},
      {{"-weight-for-name", "east", "-domain", "d2", "-j"}, 100, {}, {}},
      {{"-weight-for-name", "c", "-domain", "Default", "-j"}, 100, {}, {}},
      {{"-weight-for-name", "nobody", "-domain", "d1", "-j"}, 100, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = balance(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, kNotFound);
      continue;
    }
    EXPECT_EQ(r.err, "");
    if (c.json.empty()) {
      expectPlainTable(r.out, c.plain);
    } else {
      expectAnyOf(r.out, c.json);
    }
  }
  EXPECT_EQ(select(), kTableSelect);
}

TEST_F(AccountBalanceTest, TwoEntriesOfTheDefaultLine) {
  writeRp("rp.enable = yes\n");
  writeSelect("rp.select = a:1 b:2");
  RunResult plain = balance({"-weight-for-name", "a"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, "Default a 1\n");
  RunResult json = balance({"-weight-for-name", "a", "-j"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, "[{\"Default\":1}]\n");
}

TEST_F(AccountBalanceTest, WeightsWithoutDefaultLineDoNotReadTheRpConfig) {
  // No rp config at all: only a default or threshold line makes the query
  // read it.
  struct Case {
    std::string select;
    std::string plain, json;
  } cases[] = {
      {"", "", "{}\n"},
      {"# comment only\nrp.enable = yes\nother = a:1\n", "", "{}\n"},
      {"certs[d].rp.select = a:3 b:-4", "d a 3\nd b -4\n", "{\"a\":[{\"d\":3}],\"b\":[{\"d\":-4}]}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.select);
    writeSelect(c.select);
    RunResult plain = balance({"-weights"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, c.plain);
    EXPECT_EQ(plain.err, "");
    RunResult json = balance({"-weights", "-j"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out, c.json);
    EXPECT_EQ(json.err, "");
  }
  EXPECT_FALSE(pathExists(inst_.rpConfig()));

  // A missing select config is created empty first and reads the same.
  ASSERT_EQ(::unlink(inst_.rpSelectConfig().c_str()), 0);
  RunResult r = balance({"-weights", "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{}\n");
  EXPECT_EQ(select(), "");
}

TEST_F(AccountBalanceTest, ZeroEntriesGoByRegistryKey) {
  writeRp(kRp);
  struct Case {
    std::string select;
    PlainTable plain;
    std::vector<std::string> json;
  } cases[] = {
      // A threshold line alone counts as a default line read.
      {"rp.select_threshold = 30",
       {{"U1", {{"Default U1 0"}}}, {"W", {{"Default W 0"}}}},
       {"{\"U1\":[{\"Default\":0}],\"W\":[{\"Default\":0}]}\n"}},
      // east under its alias keeps its weight; its DC UID gets a zero entry.
      {"rp.select = east:70",
       {{"U1", {{"Default U1 0"}}}, {"W", {{"Default W 0"}}}, {"east", {{"Default east 70"}}}},
       {"{\"U1\":[{\"Default\":0}],\"W\":[{\"Default\":0}],\"east\":[{\"Default\":70}]}\n"}},
      // A registry key with entries of other domains only gets its zero
      // entry after them; one with a Default entry gets none.
      {"rp.select = U1:3\ncerts[d].rp.select = W:4 W:5",
       {{"U1", {{"Default U1 3"}}}, {"W", {{"d W 4", "d W 5", "Default W 0"}}}},
       {"{\"U1\":[{\"Default\":3}],\"W\":[{\"d\":4},{\"d\":5},{\"Default\":0}]}\n"}},
      // Entries of a domain named Default count as Default entries.
      {"rp.select_threshold = 1\ncerts[Default].rp.select = W:5",
       {{"U1", {{"Default U1 0"}}}, {"W", {{"Default W 5"}}}},
       {"{\"U1\":[{\"Default\":0}],\"W\":[{\"Default\":5}]}\n"}},
      // Any other key holding rp.select reads as a default line.
      {"my.rp.selection = x:2",
       {{"U1", {{"Default U1 0"}}}, {"W", {{"Default W 0"}}}, {"x", {{"Default x 2"}}}},
       {"{\"U1\":[{\"Default\":0}],\"W\":[{\"Default\":0}],\"x\":[{\"Default\":2}]}\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.select);
    writeSelect(c.select);
    RunResult plain = balance({"-weights"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err, "");
    expectPlainTable(plain.out, c.plain);
    RunResult json = balance({"-weights", "-j"});
    EXPECT_EQ(json.status, 0) << json.err;
    expectAnyOf(json.out, c.json);
  }
}

TEST_F(AccountBalanceTest, DefaultOrThresholdLineNeedsAnRpConfigThatParses) {
  for (const char* content : {"rp.select = W:1", "rp.select_threshold = 2\ncerts[d].rp.select = W:3", "rp.select ="}) {
    for (const Args& args : {Args{"-weights"}, Args{"-weights", "-j"}, Args{"-weight-for-name", "W"},
                             Args{"-weight-for-name", "W", "-domain", "d", "-j"}}) {
      SCOPED_TRACE(std::string(content) + " " + ::testing::PrintToString(args));
      Instance inst;
      writeFile(inst.rpSelectConfig(), content);
      RunResult r = inst.run(concat({"accounts-balancing"}, args));
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, kMissingRp);
    }
  }
  // A directory in its place does not parse either.
  Instance inst;
  makeDirs(inst.rpConfig());
  writeFile(inst.rpSelectConfig(), "rp.select = W:1\n");
  RunResult r = inst.run({"accounts-balancing", "-weights"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error: invalid config file: is a directory\n");
}

TEST_F(AccountBalanceTest, SelectEntriesAsRead) {
  writeRp("rp.enable = yes\n");
  // Signs, leading zeros, parts after the second colon, pieces without a
  // colon, runs of blanks and an empty name.
  writeSelect("rp.select =   a:-5  b:+7 c:007 d:5:9 bare 12 :3  \ncerts[x].rp.select = a:0\n");
  RunResult plain = balance({"-weights"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  expectPlainTable(plain.out, {{"a", {{"Default a -5", "x a 0"}, {"x a 0", "Default a -5"}}},
                               {"b", {{"Default b 7"}}},
                               {"c", {{"Default c 7"}}},
                               {"d", {{"Default d 5"}}},
                               {"", {{"Default  3"}}}});
  RunResult json = balance({"-weights", "-j"});
  EXPECT_EQ(json.status, 0) << json.err;
  expectAnyOf(json.out, jsonTables({{"", {R"([{"Default":3}])"}},
                                    {"a", {R"([{"Default":-5},{"x":0}])", R"([{"x":0},{"Default":-5}])"}},
                                    {"b", {R"([{"Default":7}])"}},
                                    {"c", {R"([{"Default":7}])"}},
                                    {"d", {R"([{"Default":5}])"}}}));
}

TEST_F(AccountBalanceTest, JsonEscapesNamesAndDomainsAndOrdersByBytes) {
  writeRp("rp.enable = yes\n");
  writeSelect("rp.select = <x>:1 q\"y:2 \xc3\xa9:3 Z:4\ncerts[a&b].rp.select = z:5\n");
  RunResult json = balance({"-weights", "-j"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            R"({"\u003cx\u003e":[{"Default":1}],"Z":[{"Default":4}],"q\"y":[{"Default":2}],)"
            R"("z":[{"a\u0026b":5}],)"
            "\"\xc3\xa9\":[{\"Default\":3}]}\n");
  RunResult plain = balance({"-weight-for-name", "z"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, "a&b z 5\n");
}

TEST_F(AccountBalanceTest, InvalidWeightInTheFileEndsTheQuery) {
  // No rp config: the bad weight is met before it would be read.
  struct Case {
    std::string select;
    std::string quoted;  // the weight text as the message quotes it, a regex
    std::string ending;
  } cases[] = {
      {"rp.select = a:", R"("")", "invalid syntax"},
      {"rp.select = a:1 b:x1", R"("x1")", "invalid syntax"},
      {"rp.select = a:1.5", R"("1\.5")", "invalid syntax"},
      {"rp.select = a:0x10", R"("0x10")", "invalid syntax"},
      {"rp.select = a:+-1", R"("\+-1")", "invalid syntax"},
      {"rp.select = a: 5", R"("")", "invalid syntax"},
      {"rp.select = a:1\tb:2", R"("1(\t|\\t)b")", "invalid syntax"},  // a tab does not separate
      {"certs[d].rp.select = a:1 b:z", R"("z")", "invalid syntax"},
      {"rp.select = a:99999999999999999999", R"("99999999999999999999")", "value out of range"},
      {"rp.select = a:-9223372036854775809", R"("-9223372036854775809")", "value out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.select);
    writeSelect(c.select);
    for (const Args& args : {Args{"-weights"}, Args{"-weights", "-j"}, Args{"-weight-for-name", "a"}}) {
      RunResult r = balance(args);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(RE2::FullMatch(r.err, "Invalid weight format .*" + c.quoted + ".*" + c.ending + "\n")) << r.err;
    }
  }
  // The extremes of the 64-bit range are still weights.
  writeSelect("certs[d].rp.select = a:9223372036854775807 b:-9223372036854775808");
  RunResult r = balance({"-weights", "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"a\":[{\"d\":9223372036854775807}],\"b\":[{\"d\":-9223372036854775808}]}\n");
}

// ---- setWeight ---------------------------------------------------------------

TEST_F(AccountBalanceTest, SetWeightAcceptsDecimalsFrom0To100) {
  writeRp(kRp);
  struct Case {
    Args weight;  // what follows the options
    std::string written;
  } cases[] = {
      {{"0"}, "0"},     {{"100"}, "100"},      {{"+7"}, "7"},        {{"007"}, "7"},
      {{"--", "-0"}, "0"}, {{"50", "-domain", "d"}, "50"},  // parsing stopped at the weight
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.weight));
    writeSelect("rp.select_threshold = 5");
    balanceOk(concat({"-set-weight-for-name", "W"}, c.weight));
    EXPECT_EQ(select(), "rp.select_threshold = 5\nrp.select =  W:" + c.written);
  }
}

TEST_F(AccountBalanceTest, SetWeightRefusesBeforeWriting) {
  writeRp(kRp +
          std::string("rp.upstreams[noaddr].secret = s\n"
                      "rp.upstreams[emptyaddr].address =\n"));
  writeSelect("rp.select = W:1\ncerts[d].rp.select = east:2");
  const std::string range = "Weight must be between 0 and 100";
  const std::string missing = "Weight must be specified as last argument";
  auto syntax = [](const std::string& text) {
    return "Invalid weight format, expected int (parsing \"" + text + "\": invalid syntax)";
  };
  struct Case {
    Args args;
    int status;
    std::string message;
  } cases[] = {
      {{"-set-weight-for-name", "W", "--", "-1"}, 10, range},
      {{"-set-weight-for-name", "W", "101"}, 10, range},
      {{"-set-weight-for-name", "W", "--", "-9223372036854775808"}, 10, range},
      {{"-set-weight-for-name", "W", "7.5"}, 10, syntax("7.5")},
      {{"-set-weight-for-name", "W", "0x10"}, 10, syntax("0x10")},
      {{"-set-weight-for-name", "W", "1_0"}, 10, syntax("1_0")},
      {{"-set-weight-for-name", "W", "1 0"}, 10, syntax("1 0")},
      {{"-set-weight-for-name", "W", " 7"}, 10, syntax(" 7")},
      {{"-set-weight-for-name", "W", "7 "}, 10, syntax("7 ")},
      {{"-set-weight-for-name", "W", "+"}, 10, syntax("+")},
      {{"-set-weight-for-name", "W", "9223372036854775808"}, 10,
       "Invalid weight format, expected int (parsing \"9223372036854775808\": value out of range)"},
      {{"-set-weight-for-name", "W"}, 10, missing},
      {{"-set-weight-for-name", "W", ""}, 10, missing},
      {{"-set-weight-for-name", "W", "--"}, 10, missing},
      {{"-domain", "d", "-set-weight-for-name", "W"}, 10, missing},
      // The weight is tested before the name.
      {{"-set-weight-for-name", "nobody", "101"}, 10, range},
      {{"-set-weight-for-name", "nobody"}, 10, missing},
      // The name must be an alias with an address.
      {{"-set-weight-for-name", "nobody", "50"}, 100, "Failed to find name nobody in rp config " + inst_.rpConfig()},
      {{"-set-weight-for-name", "U1", "50"}, 100, "Failed to find name U1 in rp config " + inst_.rpConfig()},
      {{"-set-weight-for-name", "noaddr", "50"}, 100, "Failed to find name noaddr in rp config " + inst_.rpConfig()},
      {{"-set-weight-for-name", "emptyaddr", "50"}, 100,
       "Failed to find name emptyaddr in rp config " + inst_.rpConfig()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    balanceRefused(c.args, c.status, c.message);
  }
  EXPECT_FALSE(pathExists(inst_.path("var/tmp")));
}

TEST_F(AccountBalanceSetWeight, MissingRpConfigDoesNotParse) {
  Instance inst;
  writeFile(inst.rpSelectConfig(), "rp.select = W:1\n");
  RunResult r = inst.run({"accounts-balancing", "-set-weight-for-name", "W", "5"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kMissingRp);
  EXPECT_EQ(readFile(inst.rpSelectConfig()), "rp.select = W:1\n");
}

TEST_F(AccountBalanceTest, SetWeightRebuildsTheLineAtTheEndOfTheFile) {
  writeRp(kRp +
          std::string("rp.upstreams[a].address = a.example\n"
                      "rp.upstreams[b].address = b.example\n"));
  struct Case {
    std::string before;
    Args args;
    std::string after;
  } cases[] = {
      // An empty value gives two blanks after "=".
      {"", {"-set-weight-for-name", "a", "50"}, "rp.select =  a:50"},
      {"rp.select =\n", {"-set-weight-for-name", "a", "50"}, "rp.select =  a:50"},
      // The only entry: one blank.
      {"rp.select = a:50", {"-set-weight-for-name", "a", "20"}, "rp.select = a:20"},
      {"rp.select =  a:50", {"-set-weight-for-name", "b", "30"}, "rp.select = a:50 b:30"},
      // The entry moves to the end of its line, the line to the end of the
      // file, and every earlier line gets its line end.
      {"rp.select = a:50 b:30", {"-set-weight-for-name", "a", "70"}, "rp.select = b:30 a:70"},
      {"rp.select_threshold = 9\r\nrp.select = a:50 b:30\ncerts[d].rp.select = a:1",
       {"-set-weight-for-name", "a", "70"},
       "rp.select_threshold = 9\ncerts[d].rp.select = a:1\nrp.select = b:30 a:70"},
      // Rewritten even when nothing else changes.
      {"rp.select = b:30 a:70\nx = 1", {"-set-weight-for-name", "a", "70"}, "x = 1\nrp.select = b:30 a:70"},
      // Every entry named a goes, also one without a colon or with a second
      // one; names are compared whole; double blanks stay.
      {"rp.select = a b:1  ab:2 a:1:2 A:3", {"-set-weight-for-name", "a", "9"}, "rp.select = b:1  ab:2 A:3 a:9"},
      // Every line of the key goes, however spaced; the value is the last one.
      {"rp.select = a:1\nfoo = 1\n  rp.select=b:2\nrp.selectx = 3\nrp.select_threshold = 4\n",
       {"-set-weight-for-name", "a", "5"},
       "foo = 1\nrp.selectx = 3\nrp.select_threshold = 4\nrp.select = b:2 a:5"},
      // A domain line of its own, created when missing; the default line stays.
      {"rp.select = a:50\n", {"-domain", "d", "-set-weight-for-name", "a", "70"},
       "rp.select = a:50\ncerts[d].rp.select =  a:70"},
      {"certs[d].rp.select=a:1 b:2\ncerts[e].rp.select = a:3\nrp.select = a:50",
       {"-domain", "d", "-set-weight-for-name", "a", "70"},
       "certs[e].rp.select = a:3\nrp.select = a:50\ncerts[d].rp.select = b:2 a:70"},
      // The weight is the first positional argument: options after it are
      // not parsed, so this sets the default line.
      {"rp.select = b:30\n", {"-set-weight-for-name", "a", "50", "-domain", "d"}, "rp.select = b:30 a:50"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before + " " + ::testing::PrintToString(c.args));
    writeSelect(c.before);
    balanceOk(c.args);
    EXPECT_EQ(select(), c.after);
    EXPECT_EQ(fileMode(inst_.rpSelectConfig()), 0600u);
    EXPECT_EQ(listDir(inst_.path("var/tmp")), std::vector<std::string>{});
  }
}

TEST_F(AccountBalanceTest, SetWeightOnAFreshInstanceTakesTheModeOfTheCopy) {
  writeRp(kRp);
  RunOptions o;
  o.umask = 0;  // the file is created 0666, the rewrite leaves it 0600
  RunResult r = balance({"-set-weight-for-name", "east", "50"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(select(), "rp.select =  east:50");
  EXPECT_EQ(fileMode(inst_.rpSelectConfig()), 0600u);
  r = balance({"-domain", "d", "-set-weight-for-name", "W", "100"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(select(), "rp.select =  east:50\ncerts[d].rp.select =  W:100");
}

// ---- Line breaks in the domain -------------------------------------------------

TEST_F(AccountBalanceTest, DomainWithLineBreakIsRefusedForEdits) {
  writeRp(kRp);
  writeSelect("rp.select = W:1\ncerts[d].rp.select = east:2");
  auto message = [](const std::string& domain) {
    return "-domain " + ::testing::PrintToString(domain) + " cannot be a domain: it holds a line break";
  };
  for (const char* domain : {"d\nrp.select = east:100", "d\r", "\rd", "d\r\nx", "\n"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(domain)));
    balanceRefused({"-domain", domain, "-set-weight-for-name", "east", "50"}, 10, message(domain));
    balanceRefused({"-domain", domain, "-remove-name", "W"}, 10, message(domain));
    // Refused before any step: no threshold is written either.
    balanceRefused({"-domain", domain, "-set-threshold", "3", "-set-weight-for-name", "east", "50"}, 10,
                   message(domain));
  }
  EXPECT_EQ(select(), "rp.select = W:1\ncerts[d].rp.select = east:2");

  // A name with a line break names no upstream, so it is not found.
  balanceRefused({"-set-weight-for-name", "east\nrp.select = W:100", "50"}, 100,
                 "Failed to find name east\nrp.select = W:100 in rp config " + inst_.rpConfig());

  // Not even a missing select config is created.
  ASSERT_EQ(::unlink(inst_.rpSelectConfig().c_str()), 0);
  RunResult r = balance({"-domain", "x\ny", "-set-weight-for-name", "east", "50"});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.err, message("x\ny") + "\n");
  EXPECT_FALSE(pathExists(inst_.rpSelectConfig()));
}

// ---- setThreshold --------------------------------------------------------------

TEST_F(AccountBalanceTest, SetThresholdWritesTheDecimalValueInPlaceOfEveryThresholdLine) {
  struct Case {
    Args args;
    std::string written;
  } cases[] = {
      {{"-set-threshold", "0x10"}, "16"},
      {{"-set-threshold", "-5"}, "-5"},
      {{"-set-threshold=-5"}, "-5"},
      {{"-set-threshold", "0"}, "0"},
      {{"--set-threshold", "+12"}, "12"},
      {{"-set-threshold", "9223372036854775807"}, "9223372036854775807"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    writeSelect(
        "rp.select_threshold = 3\n"
        "rp.select = a:1\n"
        "rp.select_threshold=4\n"
        "  rp.select_threshold  =  8\r\n"
        "rp.select_threshold2 = 1\n"
        "certs[d].rp.select = a:2");
    balanceOk(c.args);
    EXPECT_EQ(select(), "rp.select = a:1\ncerts[d].rp.select = a:2\nrp.select_threshold = " + c.written);
    EXPECT_EQ(fileMode(inst_.rpSelectConfig()), 0600u);
  }
}

// ---- removeName ------------------------------------------------------------------

// The default select line that adding keys one by one at weight 1 leaves,
// each step reading back the value as the configuration library gives it
// (without the blanks and tabs at its ends).
std::string defaultLineStepByStep(const std::vector<std::string>& keys) {
  std::string value, line;
  for (const std::string& key : keys) {
    line = stepRebuiltLine("rp.select =", value, key, false, 1);
    value = line.substr(line.find('=') + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t") + 1);
  }
  return line;
}

// Every default line that some order of keys gives.
std::vector<std::string> defaultLinesOfAnyOrder(std::vector<std::string> keys) {
  std::vector<std::string> lines;
  std::sort(keys.begin(), keys.end());
  do {
    lines.push_back(defaultLineStepByStep(keys));
  } while (std::next_permutation(keys.begin(), keys.end()));
  return lines;
}

TEST_F(AccountBalanceTest, RemovingTheLastEntryDropsTheDefaultLineThenNextRemovalWritesOne) {
  writeRp(kRp + std::string("rp.upstreams[z].address = z.example\n"));
  writeSelect("rp.select_threshold = 3\nrp.select = east:5");
  balanceOk({"-remove-name", "east"});
  EXPECT_EQ(select(), "rp.select_threshold = 3\n");

  // No default line: every other registry key at weight 1. The comparison
  // is on the key, so removing W leaves U1 (east's DC UID) and z.
  balanceOk({"-remove-name", "W"});
  expectAnyOf(select(), {"rp.select_threshold = 3\nrp.select = U1:1 z:1", "rp.select_threshold = 3\nrp.select = z:1 U1:1"});
}

TEST_F(AccountBalanceTest, RemovalWithoutDefaultLineListsRegistryKeys) {
  writeRp(kRp);
  struct Case {
    std::string before;
    Args args;
    std::vector<std::string> anyOf;
  } cases[] = {
      // east is no registry key (its DC UID U1 is), so both keys are written.
      {"rp.select_threshold = 3",
       {"-remove-name", "east"},
       {"rp.select_threshold = 3\nrp.select = U1:1 W:1", "rp.select_threshold = 3\nrp.select = W:1 U1:1"}},
      // One other key: two blanks after "=".
      {"rp.select_threshold = 3", {"-remove-name", "W"}, {"rp.select_threshold = 3\nrp.select =  U1:1"}},
      // A default line without value counts as none; -domain plays no
      // part and domain lines are left as they are.
      {"rp.select =\ncerts[d].rp.select = a:1 W:2\n",
       {"-domain", "d", "-remove-name", "W"},
       {"certs[d].rp.select = a:1 W:2\nrp.select =  U1:1"}},
      {"certs[d].rp.select = W:2\r\ncerts[e].rp.select = W:3",
       {"-domain", "e", "-remove-name", "U1"},
       {"certs[d].rp.select = W:2\ncerts[e].rp.select = W:3\nrp.select =  W:1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before + " " + ::testing::PrintToString(c.args));
    writeSelect(c.before);
    balanceOk(c.args);
    expectAnyOf(select(), c.anyOf);
  }
}

TEST_F(AccountBalanceTest, RemovalWithoutDefaultLineWhenOnlyTheNameIsRegistered) {
  for (const char* rp : {"rp.upstreams[W].address = w\n", "rp.enable = yes\n", ""}) {
    SCOPED_TRACE(rp);
    writeRp(rp);
    writeSelect("certs[d].rp.select = W:2\r\nrp.select_threshold = 3");
    Snapshot before = snapshot(inst_);
    balanceOk({"-remove-name", "W"});
    EXPECT_TRUE(snapshot(inst_) == before) << "the file was rewritten";
  }
}

TEST_F(AccountBalanceTest, RemovalWithoutDefaultLineMatchesAddingTheKeysOneByOne) {
  // Keys holding a blank or led by a blank or a tab read back differently
  // after each step: the written line is what the steps one by one would
  // leave, in some order of the registry. With every key led by a blank or
  // a tab, the first one always loses it.
  struct Case {
    std::string rp;
    std::vector<std::string> keys;
  } cases[] = {
      {"rp.upstreams[\ta].address = x\n"
       "rp.upstreams[ c].address = x\n"
       "rp.upstreams[\tp q].address = x\n"
       "rp.upstreams[r].address = x\n",
       {"\ta", " c", "\tp q"}},
      {"rp.upstreams[p q].address = x\n"
       "rp.upstreams[p].address = x\n"
       "rp.upstreams[\tt].address = x\n"
       "rp.upstreams[t].address = x\n"
       "rp.upstreams[r].address = x\n",
       {"p q", "p", "\tt", "t"}},
      // An empty dc_uid value is an empty key, whose entry ":1" also drops
      // the empty part of an empty value; a key holding a colon is named by
      // its text before it.
      {"rp.upstreams[e].dc_uid =\n"
       "rp.upstreams[e].address = x\n"
       "rp.upstreams[kx].dc_uid = k:x\n"
       "rp.upstreams[k].address = x\n"
       "rp.upstreams[r].address = x\n",
       {"", "k:x", "k"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rp);
    writeRp(c.rp);
    writeSelect("rp.select_threshold = 3\n");
    balanceOk({"-remove-name", "r"});
    std::string content = select();
    const std::string head = "rp.select_threshold = 3\n";
    ASSERT_EQ(content.substr(0, head.size()), head);
    expectAnyOf(content.substr(head.size()), defaultLinesOfAnyOrder(c.keys));
  }
}

const char kDomainsSelect[] =
    "certs[d1].rp.select = a:1 b:2\n"
    "rp.select = a:5 b:6\n"
    "certs[d2].rp.select = c:3\n"
    "certs[d3].rp.select = a:4\n"
    "rp.select_threshold = 7\n";

TEST_F(AccountBalanceTest, RemovalFromDefaultAndEveryDomainLine) {
  writeRp(kRp);
  writeSelect(kDomainsSelect);
  balanceOk({"-remove-name", "a"});
  // The default line first, then every domain line moved to the end in an
  // unspecified order; d3 left without entries is gone. Each line moved is
  // appended without a line end and gets one when a later step rewrites the
  // file, so the last line lacks it unless d3's step came last.
  std::vector<std::string> allowed;
  std::vector<std::string> order = {"d1", "d2", "d3"};
  const std::map<std::string, std::string> rebuilt = {
      {"d1", "certs[d1].rp.select = b:2"}, {"d2", "certs[d2].rp.select = c:3"}, {"d3", ""}};
  do {
    std::string tail;
    for (const std::string& d : order) {
      if (!tail.empty() && tail.back() != '\n') tail += '\n';  // the rewrite of this step
      tail += rebuilt.at(d);
    }
    allowed.push_back("rp.select_threshold = 7\nrp.select = b:6\n" + tail);
  } while (std::next_permutation(order.begin(), order.end()));
  expectAnyOf(select(), allowed);
}

TEST_F(AccountBalanceTest, RemovalWhereDomainLinesShareTheirRemovalPrefix) {
  writeRp(kRp);
  struct Case {
    const char* what;
    std::string before, after;
  } cases[] = {
      // "a b" and "ab" are one prefix once blanks are dropped: whichever
      // domain comes first, its rebuilt line is taken out again by the
      // removal for the other, whose own line is gone by then.
      {"domains equal but for blanks",
       "rp.select = n:1 k:2\ncerts[a b].rp.select = n:3 k:4\ncerts[ab].rp.select = n:5 k:6\nrp.select_threshold = 1",
       "rp.select_threshold = 1\nrp.select = k:2\n"},
      // Two keys naming the domain d: its line is rebuilt twice, reading
      // back the first rebuild (double blanks and all) the second time.
      {"one domain from two keys",
       "rp.select = n:0 k:0\ncerts[d].rp.select = n:1  k:1\nxcerts[d].rp.select.y = n:2",
       "xcerts[d].rp.select.y = n:2\nrp.select = k:0\ncerts[d].rp.select = k:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeSelect(c.before);
    balanceOk({"-remove-name", "n"});
    EXPECT_EQ(select(), c.after);
  }
}

TEST_F(AccountBalanceTest, RemovalWithDomainTouchesOnlyThatDomainLine) {
  writeRp(kRp);
  struct Case {
    std::string domain;
    std::string after;
  } cases[] = {
      {"d1",
       "rp.select = a:5 b:6\ncerts[d2].rp.select = c:3\ncerts[d3].rp.select = a:4\nrp.select_threshold = 7\n"
       "certs[d1].rp.select = b:2"},
      {"d3", "certs[d1].rp.select = a:1 b:2\nrp.select = a:5 b:6\ncerts[d2].rp.select = c:3\nrp.select_threshold = 7\n"},
      // A domain without a line: the file is rewritten, nothing appended.
      {"d9", kDomainsSelect},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.domain);
    writeSelect(kDomainsSelect);
    balanceOk({"-domain", c.domain, "-remove-name", "a"});
    EXPECT_EQ(select(), c.after);
    EXPECT_EQ(fileMode(inst_.rpSelectConfig()), 0600u);
  }
}

TEST_F(AccountBalanceTest, RemovalNeedsBothFilesToParse) {
  writeSelect(kDomainsSelect);
  for (const Args& args : {Args{"-remove-name", "a"}, Args{"-domain", "d1", "-remove-name", "a"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    balanceRefused(args, 255, "Error: invalid config file: no such file or directory");
  }
  writeSelect("rp.select_threshold = 7\n");
  balanceRefused({"-remove-name", "a"}, 255, "Error: invalid config file: no such file or directory");
}

}  // namespace
