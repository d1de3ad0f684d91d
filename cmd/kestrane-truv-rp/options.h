// The option values: process-wide, set by the option parser and read by the
// handlers, some of which keep working values in them. Only the options of
// the run's command word are registered; the others keep these values for the
// whole run.
#ifndef KTRP_OPTIONS_H_
#define KTRP_OPTIONS_H_

#include <cstdint>
#include <string>

extern std::string optDcUid, optAlias, optAddress, optRedirect, optSecret, optDigest, optStat;
extern std::string optFile, optRegId, optDomain;
extern std::string optWeightForName, optSetWeightForName, optRemoveName;
extern bool optGetThreshold, optWeights, optJson;
extern int64_t optSetThreshold;  // -1: not requested
extern bool optShowAlias, optShowAddress, optShowRedirect, optShowStat, optShowSecret, optShowDigest;

#endif  // KTRP_OPTIONS_H_
