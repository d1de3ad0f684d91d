#include "registration_import.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <string_view>

#include "config_reader.h"
#include "die.h"
#include "files.h"
#include "fsutil.h"
#include "identity.h"
#include "key_syntax.h"
#include "line_edit.h"
#include "options.h"
#include "qel_io/config/config.h"
#include "registration_doc.h"

namespace {

// A registration document is a few hundred bytes; reading stops a little
// after this, so that neither time nor memory depends on what the input holds.
constexpr size_t kMaxDocument = 1 << 20;

// The document, up to one byte more than kMaxDocument. -in may name a pipe or
// a device: it is the caller's choice, and read as given.
std::string getInput() {
  std::string input;
  if (!optFile.empty()) {
    int fd = ::open(optFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) dieStatusf(255, "Failed to read input file %s (%s)", optFile, opError("open", optFile, errno));
    int e = readAllFd(fd, &input, kMaxDocument);
    ::close(fd);
    if (e != 0) dieStatusf(255, "Failed to read input file %s (%s)", optFile, opError("read", optFile, e));
    return input;
  }
  if (int e = readAllFd(STDIN_FILENO, &input, kMaxDocument); e != 0)
    dieStatusf(255, "Failed to read input from stdin (%s)", opError("read", "/dev/stdin", e));
  return input;
}

// The rp config holds one setting per line: a line break or NUL in an alias
// or value would end its line early and let the rest pass as settings of
// their own.
bool fitsOnOneLine(std::string_view s) { return s.find_first_of(std::string_view("\n\r\0", 3)) == s.npos; }

void dieUnlessOneLine(std::string_view what, std::string_view value) {
  if (!fitsOnOneLine(value))
    dieStatusf(10, "Invalid value for \"%s\": line breaks and NUL bytes are not allowed", what);
}

// Creates a missing rp config with its one line, so that it parses. An empty
// or cut rp config made here would stay without its first line (later imports
// find it present and only append to it), so one that is not written whole is
// removed again.
void maybeCreateRpConfig(const std::string& rpPath) {
  struct stat st;
  if (::stat(rpPath.c_str(), &st) == 0 || errno != ENOENT) return;
  if (FileError e = createFile(rpPath, 0666, "rp.enable = yes\n")) {
    if (e.step == FileError::kCreate) dieStatusf(255, "Failed to create rp config file %s (%s)", rpPath, e.text);
    dieStatusf(255, "Write to: %s error: %s", rpPath, e.text);
  }
}

bool regExists(const std::string& identifier, const QELConfig& cfg) {
  if (!lookup(cfg, upstreamKey(identifier, "address")).empty()) return true;
  // Any setting will do, so the order does not matter; copying every
  // setting into a view would cost more than the rest of the import.
  bool found = false;
  cfg.ForEachSetting([&](SettingText s) { found = found || identifier == s.value; });
  return found;
}

void dieIfUpstreamValueExists(std::string_view property, const QELConfig& cfg) {
  if (!lookup(cfg, upstreamKey(optAlias, property)).empty()) dieStatusf(10, "%s already exists in rp config", property);
}

}  // namespace

void importRegistration(const std::string& rpPath) {
  std::string input = getInput();
  if (input.size() > kMaxDocument)
    dieStatusf(255, "Couldn't parse json: %s", "the document is larger than " + std::to_string(kMaxDocument) + " bytes");
  std::map<std::string, std::string> doc;
  std::string parseErr;
  if (!parseRegistrationDocument(input, &doc, &parseErr)) dieStatusf(255, "Couldn't parse json: %s", parseErr);
  auto member = [&doc](const char* name) {
    auto it = doc.find(name);
    return it == doc.end() ? std::string() : it->second;
  };
  const std::string dcUid = member("dc-uid"), address = member("address"), stat = member("stat"),
                    secret = member("secret"), digest = member("digest");

  // The alias goes inside every key the import writes; a peer chooses the
  // document's dc-uid.
  if (optAlias.empty()) {
    if (dcUid.empty()) dieStatusf(10, "Either a dc-uid should be specified in the input or -alias set");
    checkKeyPart("dc-uid", dcUid, KeyPart::kAlias);
  } else {
    checkKeyPart("-alias", optAlias, KeyPart::kAlias);
  }
  dieUnlessOneLine("dc-uid", dcUid);
  dieUnlessOneLine("address", address);
  dieUnlessOneLine("stat", stat);
  dieUnlessOneLine("secret", secret);
  dieUnlessOneLine("digest", digest);
  if (optAlias.empty()) optAlias = dcUid;

  maybeCreateRpConfig(rpPath);
  QELConfig cfg = parseOrDie(rpPath);
  if (regExists(dcUid.empty() ? optAlias : dcUid, cfg)) dieStatusf(200, "Registration exists");

  struct Row {
    std::string_view property;  // also the conflict check, but for secret
    std::string_view assign;
    const std::string& value;
  };
  const Row rows[] = {
      {"dc_uid", " = ", dcUid},
      {"address", " = ", address},
      {"stat", " = ", stat},
      {"secret", " = ", secret},  // always written, also when empty
      {"cert_digest", "= ", digest},
  };
  std::string block;
  for (const Row& row : rows) {
    if (row.property != "secret") {
      if (row.value.empty()) continue;
      dieIfUpstreamValueExists(row.property, cfg);
    }
    block += '\n';
    block += upstreamKey(optAlias, row.property);
    block += row.assign;
    block += row.value;
  }
  block += '\n';
  saveLineToFile(rpPath, block);

  maybeCreateDcUid();
  maybeCreateClusterSecret();
}

