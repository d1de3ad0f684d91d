#include "registration.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "args.h"
#include "die.h"
#include "files.h"
#include "fsutil.h"
#include "identity.h"
#include "json.h"
#include "key_syntax.h"
#include "line_edit.h"
#include "lockfile.h"
#include "paths.h"
#include "qel_io/config/config.h"

namespace {

constexpr std::string_view kRegistrationInfoFile = ".truv.registration-info";
constexpr std::string_view kPemInfoFile = "truv.pem.info";
constexpr std::string_view kRegistrationType = "truv.rp-registration-info";
constexpr std::string_view kDefaultStatPort = ":44444";

// The value of key in the settings file dir/file; "" when the file does not
// parse or the key is missing.
std::string readSetting(const std::string& dir, std::string_view file, std::string_view key,
                        std::string* type = nullptr) {
  auto [cfg, err] = ParseFile(joinPath({dir, file}));
  if (err) return "";
  std::string value = cfg.GetString(key).first;
  if (type != nullptr) *type = cfg.GetString(".type").first;
  // The search may parse many files; nothing outlives this lookup.
  cfg.Close();
  return value;
}

std::string checkRpInfo(const std::string& dir, std::string_view file) {
  std::string type;
  std::string address = readSetting(dir, file, "truv-address", &type);
  if (type.compare(0, kRegistrationType.size(), kRegistrationType) != 0) return "";
  return address;
}

std::string checkValue(const std::string& dir, std::string_view file, std::string_view key) {
  return readSetting(dir, file, key);
}

// The name lstat reports for path: its last element, trailing slashes aside.
std::string_view baseName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.find_last_of('/');
  if (slash != std::string_view::npos && path.size() > 1) path.remove_prefix(slash + 1);
  return path;
}

bool isRegistrationDirName(std::string_view name) { return name.compare(0, 5, "certs") == 0; }

// The names of dir in ascending byte order, or false when it cannot be read.
bool readSortedNames(const std::string& dir, std::vector<std::string>* names) {
  // O_NOFOLLOW: a directory swapped for a link since its lstat is not entered.
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return false;
  }
  while (struct dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    names->emplace_back(n);
  }
  ::closedir(d);
  std::sort(names->begin(), names->end());
  return true;
}

std::string searchRegistration(const std::string& root,
                               const std::function<std::string(const std::string&)>& candidate) {
  std::string found;
  // Visits a directory entry; aborts the run on a second registration.
  auto visit = [&](const std::string& path, std::string_view name) {
    if (!isRegistrationDirName(name)) return;
    std::string value = candidate(path);
    if (value.empty()) return;
    if (!found.empty())
      dieStatusf(255, "Multiple valid rp registrations found, \"-reg-id\" must be specified");
    found = std::move(value);
  };

  // Depth first without recursion: one frame per open directory, holding its
  // names, so that the walk's memory is bounded by the entries of the
  // directories on the current path, and deep trees cannot exhaust the stack.
  struct Frame {
    std::string dir;  // cleaned, so a child's path is dir + "/" + name
    std::vector<std::string> names;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  auto enter = [&](const std::string& dir) {
    Frame f;
    f.dir = cleanPath(dir);
    if (f.dir == "/") f.dir.clear();  // children of "/" are "/name"
    // An unreadable directory is visited but not entered, silently.
    if (readSortedNames(dir, &f.names)) stack.push_back(std::move(f));
  };

  struct stat st;
  if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return found;
  visit(root, baseName(root));
  enter(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.names.size()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = top.names[top.next++];
    std::string path = top.dir + "/" + name;
    // lstat: a symbolic link is never a directory here, so never entered.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    visit(path, name);
    enter(path);  // may reallocate the stack; top is not used after this
  }
  return found;
}

std::string statEndpoint(std::string_view address, std::string_view listenAddr) {
  std::string_view host = address.substr(0, address.rfind(':'));
  size_t colon = listenAddr.rfind(':');
  std::string_view port = colon == std::string_view::npos ? kDefaultStatPort : listenAddr.substr(colon);
  std::string s(host);
  s += port;
  return s;
}

std::string registrationDir() { return joinPath({getTruvRootDir(), "certs." + optRegId}); }

std::string parseAddress() {
  if (!optRegId.empty()) {
    optAddress = checkRpInfo(registrationDir(), kRegistrationInfoFile);
    if (optAddress.empty())
      dieStatusf(10, "Valid registration %s not found (couldn't find address)", optRegId);
    return optAddress;
  }
  optAddress = searchRegistration(getTruvRootDir(),
                                  [](const std::string& d) { return checkRpInfo(d, kRegistrationInfoFile); });
  if (optAddress.empty())
    dieStatusf(255, "Couldn't file a valid .truv.registration-info file that holds the truv address");
  return optAddress;
}

std::string parseDigest() {
  if (!optRegId.empty()) {
    optDigest = checkValue(registrationDir(), kPemInfoFile, "digest.sha256");
    if (optDigest.empty()) dieStatusf(10, "Valid registration %s not found (no valid digest)", optRegId);
    return optDigest;
  }
  optDigest = searchRegistration(
      getTruvRootDir(), [](const std::string& d) { return checkValue(d, kPemInfoFile, "digest.sha256"); });
  if (optDigest.empty()) dieStatusf(255, "Couldn't file a valid truv.pem.info file that holds the digest sha");
  return optDigest;
}

// The value of key in the identity file conf.d/file; ends the run when the
// file does not parse (255) or holds no value (100).
std::string parseIdentityValue(std::string_view file, std::string_view key) {
  std::string path = joinPath({getTruvConfDir(), file});
  auto [cfg, err] = ParseFile(path);
  if (err) dieStatusf(255, "Error: %s", err);
  std::string value = cfg.GetString(key).first;
  if (value.empty()) dieStatusf(100, "Error: could not find option \"%s\" in %s", key, path);
  return value;
}

std::string parseUid() { return parseIdentityValue("dc_uid", "dc_uid"); }
std::string parseSecret() { return parseIdentityValue("cluster.secret", "cluster.secret"); }

std::string parseStat(const std::string& address) {
  // A handle of its own: the root lookup has closed the one it used.
  auto [cfg, err] = ParseFile(kTruvConfigFile);
  if (err) dieStatusf(255, "Error: %s", err);
  return statEndpoint(address, cfg.GetString("stat.prometheus.listen_addr").first);
}

// Writes the document to the -out file. Unlike standard output, a file that
// is not written completely must not pass for an export.
void writeOutFile(const std::string& doc) {
  int fd = ::open(optFile.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) dieStatusf(255, "Failed to creat %s (%s)", optFile, opError("open", optFile, errno));
  if (int e = writeAllFd(fd, doc); e != 0)
    dieStatusf(255, "Failed to write to file %s (%s)", optFile, opError("write", optFile, e));
  if (::close(fd) != 0)
    dieStatusf(255, "Failed to write to file %s (%s)", optFile, opError("close", optFile, errno));
}

// The document's text: the five members in name order, no white space.
std::string registrationDocument(std::string_view address, std::string_view dcUid, std::string_view digest,
                                 std::string_view secret, std::string_view stat) {
  const std::pair<std::string_view, std::string_view> members[] = {
      {"address", address}, {"dc-uid", dcUid}, {"digest", digest}, {"secret", secret}, {"stat", stat}};
  std::string doc = "{";
  for (const auto& [name, value] : members) {
    if (doc.size() > 1) doc += ',';
    appendJsonString(&doc, name);
    doc += ':';
    appendJsonString(&doc, value);
  }
  doc += '}';
  return doc;
}

}  // namespace

void exportRegistration() {
  Lockfile lock;
  lock.path = joinPath({getTruvConfDir(), "-kestrane-truv-register.lock"});
  std::string err;
  bool held = lock.TryLock(10, &err);
  if (!err.empty()) dieStatusf(255, "error during file '%s' locking %v", lock.path, err);
  if (!held) dieStatusf(255, "timed out waiting to acquire lock file");

  std::string address = parseAddress();
  std::string dcUid = parseUid();
  std::string stat = parseStat(address);
  std::string secret = parseSecret();
  std::string digest = parseDigest();
  std::string doc = registrationDocument(address, dcUid, digest, secret, stat);

  if (optFile.empty())
    writeStdout(doc);
  else
    writeOutFile(doc);
  lock.Close();
}

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

std::string getValue(const QELConfig& cfg, const std::string& key) { return cfg.GetString(key).first; }

std::string upstreamKey(std::string_view property) {
  std::string key = "rp.upstreams[";
  key += optAlias;
  key += "].";
  key += property;
  return key;
}

bool regExists(const std::string& identifier, const QELConfig& cfg) {
  if (!getValue(cfg, "rp.upstreams[" + identifier + "].address").empty()) return true;
  // Any setting will do, so the order does not matter; copying every
  // setting into a view would cost more than the rest of the import.
  bool found = false;
  cfg.ForEachSetting([&](SettingText s) { found = found || identifier == s.value; });
  return found;
}

void dieIfUpstreamValueExists(std::string_view property, const QELConfig& cfg) {
  if (!getValue(cfg, upstreamKey(property)).empty()) dieStatusf(10, "%s already exists in rp config", property);
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
  auto [cfg, err] = ParseFile(rpPath);
  if (err) dieStatusf(255, "Error: %s", err);
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
    block += upstreamKey(row.property);
    block += row.assign;
    block += row.value;
  }
  block += '\n';
  saveLineToFile(rpPath, block);

  maybeCreateDcUid();
  maybeCreateClusterSecret();
}
