#include "account_balance.h"

#include <errno.h>
#include <sys/stat.h>

#include "die.h"
#include "files.h"
#include "key_syntax.h"
#include "options.h"
#include "paths.h"
#include "select_edit.h"
#include "weights.h"

namespace {

// A domain that an edit puts into the key of a select line, or compares with
// one, must be one that a key can hold. (A name is written only when the rp
// config already holds it as an alias.)
void refuseBadDomain() {
  bool edits = !optSetWeightForName.empty() || !optRemoveName.empty();
  if (edits && !optDomain.empty()) checkKeyPart("-domain", optDomain, KeyPart::kDomain);
}

}  // namespace

void accountBalance(const std::string& rpPath) {
  refuseBadDomain();
  std::string selectPath = getRpSelectConfig();
  struct stat st;
  if (::stat(selectPath.c_str(), &st) != 0 && errno == ENOENT) {
    if (FileError e = createFile(selectPath, 0666, ""))
      dieStatusf(255, "Failed to create rp select config file %s (%s)", selectPath, e.text);
  }

  if (optGetThreshold) getThreshold(selectPath);
  if (optSetThreshold != -1) setThreshold(selectPath);
  if (!optWeightForName.empty() || optWeights) getWeight(selectPath, rpPath);
  if (!optSetWeightForName.empty()) setWeight(selectPath, rpPath);
  if (!optRemoveName.empty()) removeName(selectPath, rpPath);
}

