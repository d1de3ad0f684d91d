#include "identity.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cstdint>
#include <string>

#include "die.h"
#include "files.h"
#include "fsutil.h"
#include "paths.h"
#include "qel_io/config/config.h"

namespace {

constexpr size_t kSecretBytes = 40;
constexpr size_t kSecretChars = 40;

// Fills buf from the kernel's secure random source. Returns 0 or an errno.
int fillRandom(unsigned char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::getrandom(buf + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    got += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

bool isExist(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT) return false;
  dieStatusf(255, "Can not stat: %s error: %s", path, opError("stat", path, errno));
}

void writeToFileExcl(const std::string& path, std::string_view content) {
  // Synced, and the directory with it before the run ends: a dc_uid lost to
  // a power cut would be made anew, with another DC UID.
  FileError e = createFile(path, 0644, content);
  if (!e) return;
  if (e.step != FileError::kCreate) dieStatusf(255, "Write to: %s error: %s", path, e.text);
  if (e.errnum != EEXIST) dieStatusf(255, "failed to open file %s : %v", path, e.text);
}

void maybeCreateDcUid() {
  const std::string path = joinPath({getTruvConfDir(), "dc_uid"});
  if (isExist(path)) return;
  // uuid_generate_time rather than the _safe variant: the latter reports
  // failure whenever uuidd is not running, although the UUID it made is a
  // valid version-1 UUID; refusing it would fail add-upstream on most hosts.
  uuid_t uu;
  uuid_generate_time(uu);
  if (uuid_type(uu) != UUID_TYPE_DCE_TIME)
    dieStatusf(255, "failed to generate dc_uid: %v", "unexpected uuid version " + std::to_string(uuid_type(uu)));
  char text[37];
  uuid_unparse_lower(uu, text);
  writeToFileExcl(path, std::string("dc_uid = ") + text + "\n");
}

void maybeCreateClusterSecret() {
  const std::string path = joinPath({getTruvConfDir(), "cluster.secret"});
  if (isExist(path)) return;
  unsigned char bytes[kSecretBytes];
  if (int e = fillRandom(bytes, sizeof bytes))
    dieStatusf(255, "failed to generate secret: %v", "getrandom: " + errnoText(e));
  writeToFileExcl(path, clusterSecretContent(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes)));
}

std::string encodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string clusterSecretContent(std::string_view randomBytes) {
  std::string secret = encodeBase64(randomBytes).substr(0, kSecretChars);
  return "# This is a shared secret that TRUV peers use for secure communication\ncluster.secret=" + secret + "\n";
}
