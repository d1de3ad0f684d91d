// The command line as the shipped binary answers it: the usage text, option
// errors and help, all decided before any file is read or written.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

class CommandLine : public EndToEndTest {};

const char kUsage[] =
    "TRUV rp config management tool.\n"
    "SYNOPSIS: kestrane-truv-rp command <command options>\n"
    "\n"
    "Commands:\n"
    "  add-upstream        add a new upstream to the rp config\n"
    "  rm-upstream         remove an existing upstream from the rp config\n"
    "  change-upstream     change the configuration of an existing upstream in the rp config\n"
    "  get-upstream        get the configuration of an existing upstream form the rp config\n"
    "  upstream-uids       get uid of all upstreams found in rp config\n"
    "  upstreams           get all upstreams found in rp config\n"
    "  export-registration export the RP registration from this upstream\n"
    "  import-registration import an RP registration from a file or stdin\n"
    "  accounts-balancing manage account balancing config for RP\n";

const char kBalanceListing[] =
    "Usage of kestrane-truv-rp:\n"
    "  -domain string\n    \tSpecify the domain\n"
    "  -get-threshold\n    \tGet the current threshold\n"
    "  -j\tPrint result in json format\n"
    "  -remove-name string\n    \tRemoves all occurrence of the specified name in the config\n"
    "  -set-threshold int\n    \tSet the current threshold (default -1)\n"
    "  -set-weight-for-name string\n    \tSet the weight for specific alias\n"
    "  -weight-for-name string\n    \tGet the weight for specific alias\n"
    "  -weights\n    \tShow the weights for all upstreams and domains\n";

const char kAddListing[] =
    "Usage of kestrane-truv-rp:\n"
    "  -address string\n    \tFQDN[:PORT] of the upstream used by RP connection\n"
    "  -alias string\n    \tAlias for the upstream\n"
    "  -dc-uid string\n    \tDC UID of the upstream\n"
    "  -digest string\n    \tDigest of the upstream\n"
    "  -redirect string\n    \tFQDN[:PORT] of the upstream to redirect clients to. Optional\n"
    "  -secret string\n    \tSecret of the upstream\n"
    "  -stat string\n    \tFQDN[:PORT] of the upstream for stats\n";

// The command line ends the run before the truv root is even looked up, so
// the instance stays exactly as it was made: no var/, nothing in conf.d/.
void expectUntouched(const Instance& inst, const std::string& where) {
  EXPECT_EQ(listDir(inst.root()), std::vector<std::string>{"conf.d"}) << where;
  EXPECT_TRUE(listDir(inst.confd()).empty()) << where;
}

std::string joined(const std::vector<std::string>& args) {
  std::string s;
  for (const auto& a : args) s += "[" + a + "]";
  return s.empty() ? "(no argument)" : s;
}

TEST_F(CommandLine, NoKnownCommandWordPrintsUsage) {
  std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {"-h"},
      {"-help"},
      {"--help"},
      {"Upstreams"},
      {"-j", "upstream-uids"},
      {"add_upstream", "-dc-uid", "U"},
  };
  for (const auto& args : cases) {
    Instance inst;
    RunResult r = inst.run(args);
    EXPECT_EQ(r.status, 10) << joined(args);
    EXPECT_EQ(r.out, kUsage) << joined(args);
    EXPECT_EQ(r.err, "") << joined(args);
    expectUntouched(inst, joined(args));
  }
}

TEST_F(CommandLine, HelpAfterCommandWord) {
  struct Case {
    std::vector<std::string> args;
    const char* listing;
  } cases[] = {
      {{"accounts-balancing", "-h"}, kBalanceListing},
      {{"accounts-balancing", "-j", "--help"}, kBalanceListing},
      {{"add-upstream", "-h=yes"}, kAddListing},
      {{"upstreams", "-help"}, "Usage of kestrane-truv-rp:\n"},
  };
  for (const auto& c : cases) {
    Instance inst;
    RunResult r = inst.run(c.args);
    EXPECT_EQ(r.status, 0) << joined(c.args);
    EXPECT_EQ(r.out, "") << joined(c.args);
    EXPECT_EQ(r.err, c.listing) << joined(c.args);
    expectUntouched(inst, joined(c.args));
  }
}

TEST_F(CommandLine, ListingIsNamedAfterTheInvokedName) {
  Instance inst;
  RunOptions opts;
  opts.argv0 = "/opt/tools/ktrp";
  RunResult r = inst.run({"upstream-uids", "-h"}, opts);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Usage of /opt/tools/ktrp:\n  -j\tPrint result in json format\n");
}

TEST_F(CommandLine, OptionErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"upstreams", "-j"}, "flag provided but not defined: -j\nUsage of kestrane-truv-rp:\n"},
      {{"add-upstream", "-address"}, std::string("flag needs an argument: -address\n") + kAddListing},
      {{"add-upstream", "-dc-uid", "U", "---secret"}, std::string("bad flag syntax: ---secret\n") + kAddListing},
      {{"accounts-balancing", "-weights=yes"},
       std::string("invalid boolean value \"yes\" for -weights: parse error\n") + kBalanceListing},
      {{"accounts-balancing", "--set-threshold="},
       std::string("invalid value \"\" for flag -set-threshold: parse error\n") + kBalanceListing},
      {{"accounts-balancing", "-set-threshold", "9223372036854775808"},
       std::string("invalid value \"9223372036854775808\" for flag -set-threshold: value out of range\n") +
           kBalanceListing},
  };
  for (const auto& c : cases) {
    Instance inst;
    RunResult r = inst.run(c.args);
    EXPECT_EQ(r.status, 2) << joined(c.args);
    EXPECT_EQ(r.out, "") << joined(c.args);
    EXPECT_EQ(r.err, c.err) << joined(c.args);
    expectUntouched(inst, joined(c.args));
  }
}

TEST_F(CommandLine, OptionOfAnotherCommandIsAnError) {
  Instance inst;
  RunResult r = inst.run({"export-registration", "-in", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "flag provided but not defined: -in\n"
            "Usage of kestrane-truv-rp:\n"
            "  -out string\n    \tFilename to export the upstream config to\n"
            "  -reg-id string\n    \tRegistration id\n");
  expectUntouched(inst, "export-registration -in");
  EXPECT_FALSE(pathExists(inst.dir() + "/x"));
}

// Help and option errors come before the truv config is read: a broken one
// does not change them.
TEST_F(CommandLine, DecidedBeforeTheTruvConfigIsRead) {
  Instance inst;
  inst.writeTruvConfig("");
  RunResult help = inst.run({"accounts-balancing", "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, kBalanceListing);
  RunResult bad = inst.run({"upstreams", "-j"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "flag provided but not defined: -j\nUsage of kestrane-truv-rp:\n");
  RunResult none = inst.run({});
  EXPECT_EQ(none.status, 10);
  EXPECT_EQ(none.out, kUsage);
}

}  // namespace
