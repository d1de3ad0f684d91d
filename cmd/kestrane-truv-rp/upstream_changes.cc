#include "upstream_changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "account_balance.h"
#include "config_reader.h"
#include "die.h"
#include "files.h"
#include "identity.h"
#include "key_syntax.h"
#include "line_edit.h"
#include "options.h"
#include "qel_io/config/config.h"
#include "registry.h"

namespace {

// optRedirect when -redirect was not given (or given as this very text).
constexpr std::string_view kUnset = "_UNSET_";

// One line of a block: "rp.upstreams[ALIAS].PROPERTY = VALUE\n".
std::string propertyLine(const std::string& alias, std::string_view property, const std::string& value) {
  return upstreamKey(alias, property) + " = " + value + "\n";
}

std::string lookupProperty(QELConfig cfg, const std::string& alias, std::string_view property) {
  return lookup(cfg, upstreamKey(alias, property));
}

// An alias is held by an upstream once its dc_uid or address has a value.
bool aliasIsTaken(QELConfig cfg, const std::string& alias) {
  return !lookupProperty(cfg, alias, "dc_uid").empty() || !lookupProperty(cfg, alias, "address").empty();
}

[[noreturn]] void dieAlreadyExists(const std::string& alias) {
  dieStatusf(200, "Upstream \"%s\" already exists", alias);
}

void requireOption(const std::string& value, const char* name) {
  if (value.empty()) dieStatusf(10, "%s parameter is mandatory", name);
}

// The texts of the command line that go into the rp config, checked before
// anything is written. The alias goes inside every key; a line break in a
// value would end its line early and smuggle further settings in.
void refuseBadTexts() {
  const struct {
    const char* name;
    const std::string& value;
  } values[] = {
      {"-dc-uid", optDcUid},  {"-address", optAddress}, {"-redirect", optRedirect},
      {"-secret", optSecret}, {"-digest", optDigest},   {"-stat", optStat},
  };
  for (const auto& v : values) {
    if (v.value.find_first_of("\r\n") != std::string::npos)
      dieStatusf(10, "%s must not contain a line break", v.name);
  }
}

// Whether the file's last byte is something other than a line end, so that
// an appended block would run on into its last line. Looks at that one byte
// only; a file that cannot be opened has nothing to run on into.
bool lacksFinalLineEnd(const std::string& path) {
  int fd = openForReading(path);
  if (fd < 0) return false;
  bool lacks = false;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    char last = 0;
    if (::pread(fd, &last, 1, st.st_size - 1) == 1) lacks = last != '\n';
  }
  ::close(fd);
  return lacks;
}

}  // namespace

void addUpstream(const std::string& rpPath) {
  requireOption(optDcUid, "-dc-uid");
  requireOption(optAddress, "-address");
  requireOption(optSecret, "-secret");
  requireOption(optDigest, "-digest");
  // Without -alias the DC UID is the alias.
  if (optAlias.empty()) {
    checkKeyPart("-dc-uid", optDcUid, KeyPart::kAlias);
    optAlias = optDcUid;
  } else {
    checkKeyPart("-alias", optAlias, KeyPart::kAlias);
  }
  refuseBadTexts();

  // A config that does not parse (a missing one among others) gets no test.
  if (auto [cfg, err] = parseConfig(rpPath); !err && aliasIsTaken(cfg, optAlias)) dieAlreadyExists(optAlias);

  // The block must start a line of its own, also after a last line that
  // lacks its line end.
  std::string block = lacksFinalLineEnd(rpPath) ? "\n" : "";
  if (optAlias != optDcUid) block += propertyLine(optAlias, "dc_uid", optDcUid);
  block += propertyLine(optAlias, "address", optAddress);
  if (!optRedirect.empty() && optRedirect != kUnset) block += propertyLine(optAlias, "redirect", optRedirect);
  block += propertyLine(optAlias, "secret", optSecret);
  block += propertyLine(optAlias, "cert_digest", optDigest);
  if (!optStat.empty()) block += propertyLine(optAlias, "stat", optStat);

  saveLineToFile(rpPath, block);

  maybeCreateDcUid();
  maybeCreateClusterSecret();
}

void rmUpstream(const std::string& rpPath) {
  if (optAlias.empty()) {
    requireOption(optDcUid, "-dc-uid");
    optAlias = getAliasFromUid(rpPath, 0);  // an unknown DC UID ends the run with status 0
  }

  // Account balancing reads the rp config, so it runs while the upstream's
  // lines are still there.
  optRemoveName = optAlias;
  accountBalance(rpPath);
  optRemoveName.clear();

  std::vector<std::string> prefixes;
  for (std::string_view property : {"dc_uid", "address", "redirect", "secret", "cert_digest", "stat"})
    prefixes.push_back(upstreamRemovalPrefix(optAlias, property));
  removeLines(rpPath, prefixes);
}

void changeUpstream(const std::string& rpPath) {
  requireOption(optDcUid, "-dc-uid");
  if (!optAlias.empty()) checkKeyPart("-alias", optAlias, KeyPart::kAlias);
  refuseBadTexts();
  const std::string currentAlias = getAliasFromUid(rpPath, 100);

  // Old lines go under the current alias, new ones come under optAlias.
  std::string block;
  std::vector<std::string> prefixes;
  if (optAlias.empty()) {
    optAlias = currentAlias;
  } else {
    changeWithAlias(rpPath, currentAlias);
    block += propertyLine(optAlias, "dc_uid", optDcUid);
    prefixes.push_back(upstreamRemovalPrefix(currentAlias, "dc_uid"));
  }

  auto replace = [&](std::string_view property, const std::string& value) {
    if (value.empty()) return;
    block += propertyLine(optAlias, property, value);
    prefixes.push_back(upstreamRemovalPrefix(currentAlias, property));
  };
  replace("address", optAddress);
  if (optRedirect != kUnset) {
    // An empty -redirect removes the redirect and writes none.
    prefixes.push_back(upstreamRemovalPrefix(currentAlias, "redirect"));
    if (!optRedirect.empty()) block += propertyLine(optAlias, "redirect", optRedirect);
  }
  replace("secret", optSecret);
  replace("cert_digest", optDigest);
  replace("stat", optStat);

  // The old lines go and the new ones come in one rename: a run killed in
  // between must not leave the upstream without its address or secret.
  replaceLines(rpPath, prefixes, block);
  if (optAlias != currentAlias) changeRpSelectAlias(currentAlias);
}

void changeWithAlias(const std::string& rpPath, const std::string& currentAlias) {
  QELConfig cfg = parseOrDie(rpPath);

  // Moving onto another upstream's alias would merge the two.
  if (optAlias != currentAlias && aliasIsTaken(cfg, optAlias)) dieAlreadyExists(optAlias);

  auto carry = [&](std::string* value, std::string_view property) {
    if (value->empty()) *value = lookupProperty(cfg, currentAlias, property);
  };
  carry(&optAddress, "address");
  if (optRedirect == kUnset) optRedirect.clear();
  carry(&optRedirect, "redirect");
  carry(&optSecret, "secret");
  carry(&optDigest, "cert_digest");
  carry(&optStat, "stat");
}
