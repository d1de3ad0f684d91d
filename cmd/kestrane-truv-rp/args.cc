#include "args.h"

#include <unistd.h>

#include <cstdlib>

#include "die.h"
#include "fsutil.h"

std::string optDcUid, optAlias, optAddress, optRedirect = "_UNSET_", optSecret, optDigest, optStat;
std::string optFile, optRegId, optDomain;
std::string optWeightForName, optSetWeightForName, optRemoveName;
bool optGetThreshold = false, optWeights = false, optJson = false;
int64_t optSetThreshold = -1;
bool optShowAlias = false, optShowAddress = false, optShowRedirect = false, optShowStat = false,
     optShowSecret = false, optShowDigest = false;

std::string quoteValue(std::string_view s) { return "\"" + std::string(s) + "\""; }

namespace {
FlagSet* globalFlags = nullptr;
}

FlagSet& commandLine() { return *globalFlags; }
void initCommandLine(const char* programName) { globalFlags = new FlagSet(programName); }

void usage() {
  writeStdout("TRUV rp config management tool.\n");
  _exit(10);
}

std::string parseArgs(int argc, char** argv) {
  if (argc < 2) usage();
  return argv[1];
}
