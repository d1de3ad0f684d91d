#include "commands.h"

#include <unistd.h>

#include <string_view>
#include <vector>

#include "account_balance.h"
#include "flags.h"
#include "fsutil.h"
#include "options.h"
#include "registration_export.h"
#include "registration_import.h"
#include "registry.h"
#include "upstream_changes.h"

namespace {

void parseJsonOnly() { commandLine().Bool("j", &optJson, "Print result in json format"); }

void runExportRegistration(const std::string&) { exportRegistration(); }

// The descriptions start in the 23rd column; accounts-balancing, one letter
// shorter than the longest words, is followed by a single blank all the same.
constexpr Command kCommands[] = {
    {"add-upstream", "  add-upstream        add a new upstream to the rp config", parseAddOrChangeUpstream, addUpstream},
    {"rm-upstream", "  rm-upstream         remove an existing upstream from the rp config", parseRmUpstream,
     rmUpstream},
    {"change-upstream",
     "  change-upstream     change the configuration of an existing upstream in the rp config",
     parseAddOrChangeUpstream, changeUpstream},
    {"get-upstream", "  get-upstream        get the configuration of an existing upstream form the rp config",
     parseGetUpstream, getUpstream},
    {"upstream-uids", "  upstream-uids       get uid of all upstreams found in rp config", parseJsonOnly,
     allUpstreamUids},
    // No options: the listing is always JSON.
    {"upstreams", "  upstreams           get all upstreams found in rp config", nullptr, allUpstreams},
    {"export-registration", "  export-registration export the RP registration from this upstream", parseExport,
     runExportRegistration},
    {"import-registration", "  import-registration import an RP registration from a file or stdin", parseImport,
     importRegistration},
    {"accounts-balancing", "  accounts-balancing manage account balancing config for RP", parseBalance,
     accountBalance},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

std::string usageText() {
  std::string text =
      "TRUV rp config management tool.\n"
      "SYNOPSIS: kestrane-truv-rp command <command options>\n"
      "\n"
      "Commands:\n";
  for (const Command& c : kCommands) {
    text += c.usageLine;
    text += '\n';
  }
  return text;
}

void usage() {
  writeStdout(usageText());
  _exit(10);
}

void parseAddOrChangeUpstream() {
  FlagSet& f = commandLine();
  f.String("dc-uid", &optDcUid, "", "DC UID of the upstream");
  f.String("alias", &optAlias, "", "Alias for the upstream");
  f.String("address", &optAddress, "", "FQDN[:PORT] of the upstream used by RP connection");
  f.String("redirect", &optRedirect, "", "FQDN[:PORT] of the upstream to redirect clients to. Optional");
  // Not given and given empty differ for change-upstream; the listing still
  // shows no default.
  optRedirect = "_UNSET_";
  f.String("secret", &optSecret, "", "Secret of the upstream");
  f.String("digest", &optDigest, "", "Digest of the upstream");
  f.String("stat", &optStat, "", "FQDN[:PORT] of the upstream for stats");
}

void parseRmUpstream() {
  FlagSet& f = commandLine();
  f.String("dc-uid", &optDcUid, "", "DC UID of the upstream");
  f.String("alias", &optAlias, "", "Alias for the upstream");
}

void parseGetUpstream() {
  FlagSet& f = commandLine();
  f.String("dc-uid", &optDcUid, "", "DC UID of the upstream");
  f.Bool("address", &optShowAddress, "FQDN[:PORT] of the upstream used by RP connection");
  f.Bool("redirect", &optShowRedirect, "FQDN[:PORT] of the upstream to redirect clients to");
  f.Bool("alias", &optShowAlias, "Alias for the upstream");
  f.Bool("secret", &optShowSecret, "Secret of the upstream");
  f.Bool("digest", &optShowDigest, "Digest of the upstream");
  f.Bool("stat", &optShowStat, "FQDN[:PORT] of the upstream for stats");
  f.Bool("j", &optJson, "Print result in json format");
}

void parseExport() {
  FlagSet& f = commandLine();
  f.String("out", &optFile, "", "Filename to export the upstream config to");
  f.String("reg-id", &optRegId, "", "Registration id");
}

void parseImport() {
  FlagSet& f = commandLine();
  f.String("alias", &optAlias, "", "Alias for the upstream");
  f.String("in", &optFile, "", "Filename to import the upstream config from");
}

void parseBalance() {
  FlagSet& f = commandLine();
  f.Bool("get-threshold", &optGetThreshold, "Get the current threshold");
  f.Int("set-threshold", &optSetThreshold, -1, "Set the current threshold");
  f.String("weight-for-name", &optWeightForName, "", "Get the weight for specific alias");
  f.String("domain", &optDomain, "", "Specify the domain");
  f.String("set-weight-for-name", &optSetWeightForName, "", "Set the weight for specific alias");
  f.String("remove-name", &optRemoveName, "", "Removes all occurrence of the specified name in the config");
  f.Bool("weights", &optWeights, "Show the weights for all upstreams and domains");
  f.Bool("j", &optJson, "Print result in json format");
}

const Command& parseArgs(int argc, char** argv) {
  if (argc < 2) usage();
  const std::string_view word = argv[1];
  for (const Command& c : kCommands) {
    if (word != c.word) continue;
    if (c.registerOptions != nullptr) c.registerOptions();
    commandLine().Parse(std::vector<std::string>(argv + 2, argv + argc));
    return c;
  }
  usage();
}
