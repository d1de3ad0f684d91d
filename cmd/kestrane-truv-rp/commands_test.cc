#include "commands.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flags.h"
#include "options.h"
#include "test_child.h"

namespace {

// Runs parseArgs on "prog" followed by args, with a fresh global set.
std::string parseCommandLine(std::vector<std::string> args) {
  std::vector<std::string> store = {"prog"};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  initCommandLine("prog");
  return parseArgs(static_cast<int>(store.size()), argv.data()).word;
}

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

TEST(CommandLineTest, UsageText) {
  EXPECT_EQ(usageText(), kUsage);
  Exit e = runChild([] { usage(); });
  EXPECT_EQ(e.status, 10);
  EXPECT_EQ(e.out, kUsage);
  EXPECT_EQ(e.err, "");
}

TEST(CommandLineTest, NoKnownCommandWordGivesUsage) {
  std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {"-h"},
      {"-help"},
      {"--help"},
      {"-j", "upstream-uids"},
      {"Upstreams"},
      {"ADD-UPSTREAM"},
      {"upstream"},
      {"upstreams "},
      {"help"},
  };
  for (const auto& args : cases) {
    Exit e = runChild([&] { parseCommandLine(args); });
    std::string where = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(e.status, 10) << where;
    EXPECT_EQ(e.out, kUsage) << where;
    EXPECT_EQ(e.err, "") << where;
  }
}

// The help listing of each command word, exactly.
std::string listingOf(const std::string& command) {
  Exit e = runChild([&] { parseCommandLine({command, "-h"}); });
  EXPECT_EQ(e.status, 0) << command;
  EXPECT_EQ(e.out, "") << command;
  return e.err;
}

const char kAddOrChangeListing[] =
    "Usage of prog:\n"
    "  -address string\n    \tFQDN[:PORT] of the upstream used by RP connection\n"
    "  -alias string\n    \tAlias for the upstream\n"
    "  -dc-uid string\n    \tDC UID of the upstream\n"
    "  -digest string\n    \tDigest of the upstream\n"
    "  -redirect string\n    \tFQDN[:PORT] of the upstream to redirect clients to. Optional\n"
    "  -secret string\n    \tSecret of the upstream\n"
    "  -stat string\n    \tFQDN[:PORT] of the upstream for stats\n";

TEST(CommandLineTest, ListingOfEveryCommandWord) {
  EXPECT_EQ(listingOf("add-upstream"), kAddOrChangeListing);
  EXPECT_EQ(listingOf("change-upstream"), kAddOrChangeListing);
  EXPECT_EQ(listingOf("rm-upstream"),
            "Usage of prog:\n"
            "  -alias string\n    \tAlias for the upstream\n"
            "  -dc-uid string\n    \tDC UID of the upstream\n");
  EXPECT_EQ(listingOf("get-upstream"),
            "Usage of prog:\n"
            "  -address\n    \tFQDN[:PORT] of the upstream used by RP connection\n"
            "  -alias\n    \tAlias for the upstream\n"
            "  -dc-uid string\n    \tDC UID of the upstream\n"
            "  -digest\n    \tDigest of the upstream\n"
            "  -j\tPrint result in json format\n"
            "  -redirect\n    \tFQDN[:PORT] of the upstream to redirect clients to\n"
            "  -secret\n    \tSecret of the upstream\n"
            "  -stat\n    \tFQDN[:PORT] of the upstream for stats\n");
  EXPECT_EQ(listingOf("upstream-uids"),
            "Usage of prog:\n"
            "  -j\tPrint result in json format\n");
  EXPECT_EQ(listingOf("upstreams"), "Usage of prog:\n");
  EXPECT_EQ(listingOf("export-registration"),
            "Usage of prog:\n"
            "  -out string\n    \tFilename to export the upstream config to\n"
            "  -reg-id string\n    \tRegistration id\n");
  EXPECT_EQ(listingOf("import-registration"),
            "Usage of prog:\n"
            "  -alias string\n    \tAlias for the upstream\n"
            "  -in string\n    \tFilename to import the upstream config from\n");
  EXPECT_EQ(listingOf("accounts-balancing"),
            "Usage of prog:\n"
            "  -domain string\n    \tSpecify the domain\n"
            "  -get-threshold\n    \tGet the current threshold\n"
            "  -j\tPrint result in json format\n"
            "  -remove-name string\n    \tRemoves all occurrence of the specified name in the config\n"
            "  -set-threshold int\n    \tSet the current threshold (default -1)\n"
            "  -set-weight-for-name string\n    \tSet the weight for specific alias\n"
            "  -weight-for-name string\n    \tGet the weight for specific alias\n"
            "  -weights\n    \tShow the weights for all upstreams and domains\n");
}

TEST(CommandLineTest, OptionErrorsOfCommandWords) {
  struct Case {
    std::vector<std::string> args;
    std::string firstLine;
  } cases[] = {
      {{"upstreams", "-j"}, "flag provided but not defined: -j"},
      {{"export-registration", "-in", "x"}, "flag provided but not defined: -in"},
      {{"import-registration", "-out", "x"}, "flag provided but not defined: -out"},
      {{"add-upstream", "-address"}, "flag needs an argument: -address"},
      {{"rm-upstream", "-j"}, "flag provided but not defined: -j"},
      {{"get-upstream", "-alias=x"}, R"(invalid boolean value "x" for -alias: parse error)"},
      {{"accounts-balancing", "-set-threshold=ten"},
       R"(invalid value "ten" for flag -set-threshold: parse error)"},
  };
  for (const auto& c : cases) {
    Exit e = runChild([&] { parseCommandLine(c.args); });
    EXPECT_EQ(e.status, 2) << c.args[0];
    EXPECT_EQ(e.out, "") << c.args[0];
    EXPECT_EQ(e.err.substr(0, e.err.find('\n') + 1), c.firstLine + "\n") << c.args[0];
    EXPECT_NE(e.err.find("\nUsage of prog:\n"), std::string::npos) << c.args[0];
  }
  Exit e = runChild([] { parseCommandLine({"upstreams", "-j"}); });
  EXPECT_EQ(e.err, "flag provided but not defined: -j\nUsage of prog:\n");
}

TEST(CommandLineTest, CommandWordsAndTheirValues) {
  EXPECT_EQ(parseCommandLine({"upstreams", "word"}), "upstreams");
  EXPECT_EQ(commandLine().Arg(0), "word");

  EXPECT_EQ(parseCommandLine({"upstream-uids", "-j"}), "upstream-uids");
  EXPECT_TRUE(optJson);

  // The redirect value tells "not given" from "given empty".
  EXPECT_EQ(parseCommandLine({"add-upstream", "-dc-uid", "U"}), "add-upstream");
  EXPECT_EQ(optDcUid, "U");
  EXPECT_EQ(optRedirect, "_UNSET_");
  EXPECT_EQ(parseCommandLine({"change-upstream", "-redirect="}), "change-upstream");
  EXPECT_EQ(optRedirect, "");
  EXPECT_EQ(parseCommandLine({"change-upstream", "-redirect", "r.example:443"}), "change-upstream");
  EXPECT_EQ(optRedirect, "r.example:443");

  // A string option takes "-address" itself.
  parseCommandLine({"add-upstream", "-dc-uid", "-address", "word"});
  EXPECT_EQ(optDcUid, "-address");
  EXPECT_EQ(optAddress, "");
  EXPECT_EQ(commandLine().Arg(0), "word");

  // -alias is a boolean selector in get-upstream: parsing stops at the word.
  parseCommandLine({"get-upstream", "-alias", "word", "-dc-uid", "U"});
  EXPECT_TRUE(optShowAlias);
  EXPECT_EQ(optDcUid, "");

  // The weight is the first positional argument; later options are not parsed.
  EXPECT_EQ(parseCommandLine({"accounts-balancing", "-set-weight-for-name", "up1", "50", "-domain", "d"}),
            "accounts-balancing");
  EXPECT_EQ(optSetWeightForName, "up1");
  EXPECT_EQ(commandLine().Arg(0), "50");
  EXPECT_EQ(optDomain, "");
  EXPECT_EQ(optSetThreshold, -1);
  parseCommandLine({"accounts-balancing", "--set-threshold=0x10", "-weights", "-j"});
  EXPECT_EQ(optSetThreshold, 16);
  EXPECT_TRUE(optWeights);
  EXPECT_TRUE(optJson);

  // -out and -in share one value.
  parseCommandLine({"export-registration", "-out", "f.json", "-reg-id", "r1"});
  EXPECT_EQ(optFile, "f.json");
  EXPECT_EQ(optRegId, "r1");
  parseCommandLine({"import-registration", "-in=g.json", "-alias", "A"});
  EXPECT_EQ(optFile, "g.json");
  EXPECT_EQ(optAlias, "A");
}

}  // namespace
