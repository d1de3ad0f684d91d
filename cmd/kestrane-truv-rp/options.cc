#include "options.h"

#include "fsutil.h"

std::string optDcUid, optAlias, optAddress, optRedirect = "_UNSET_", optSecret, optDigest, optStat;
std::string optFile, optRegId, optDomain;
std::string optWeightForName, optSetWeightForName, optRemoveName;
bool optGetThreshold = false, optWeights = false, optJson = false;
int64_t optSetThreshold = -1;
bool optShowAlias = false, optShowAddress = false, optShowRedirect = false, optShowStat = false,
     optShowSecret = false, optShowDigest = false;

