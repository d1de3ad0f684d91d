#include "registration_export.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config_reader.h"
#include "die.h"
#include "fsutil.h"
#include "lockfile.h"
#include "options.h"
#include "paths.h"
#include "qel_io/config/config.h"
#include "registration_doc.h"

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
  std::string value = lookup(parseOrDie(path), key);
  if (value.empty()) dieStatusf(100, "Error: could not find option \"%s\" in %s", key, path);
  return value;
}

std::string parseUid() { return parseIdentityValue("dc_uid", "dc_uid"); }
std::string parseSecret() { return parseIdentityValue("cluster.secret", "cluster.secret"); }

std::string parseStat(const std::string& address) {
  // The root lookup has parsed it already.
  return statEndpoint(address, lookup(parseOrDie(kTruvConfigFile), "stat.prometheus.listen_addr"));
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

