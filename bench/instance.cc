#include "instance.h"

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHex[] = "0123456789abcdef";

void die(const std::string& msg) {
  std::fprintf(stderr, "ktrp-bench: %s\n", msg.c_str());
  std::exit(2);
}

namespace {

std::string sysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Appenders: the instances of a million upstreams hold some 450 MB, so they
// are built without a formatted print per line.
void putDec(std::string& s, uint64_t v, int width = 1) {
  char b[24];
  int n = 0;
  do {
    b[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 || n < width);
  while (n > 0) s += b[--n];
}

void putHex(std::string& s, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) s += kHex[(v >> (4 * i)) & 15];
}

// A version-1 UUID look-alike, fixed by i.
void putUuid(std::string& s, uint64_t i) {
  const uint64_t a = mix(i), b = mix(i ^ 0x5555);
  putHex(s, a >> 32, 8);
  s += '-';
  putHex(s, (a >> 16) & 0xffff, 4);
  s += "-1";
  putHex(s, a & 0xfff, 3);
  s += '-';
  putHex(s, ((b >> 48) & 0x3fff) | 0x8000, 4);
  s += '-';
  putHex(s, b & UINT64_C(0xffffffffffff), 12);
}

void putText(std::string& s, uint64_t i, size_t len, const char* alphabet) {
  const size_t n = std::strlen(alphabet);
  for (uint64_t k = 0; len > 0; ++k) {
    uint64_t r = mix(i * 131 + k);
    for (int j = 0; j < 8 && len > 0; ++j, r >>= 8, --len) s += alphabet[r % n];
  }
}

void putAlias(std::string& s, size_t i) {
  if (i % 2 == 0) {
    s += "edge-";
    putDec(s, i, 6);
  } else {
    putUuid(s, i);
  }
}

// "A.B.C" of the upstream's 10.A.B.C addresses.
void putHostPart(std::string& s, size_t i) {
  putDec(s, i >> 16 & 255);
  s += '.';
  putDec(s, i >> 8 & 255);
  s += '.';
  putDec(s, i & 255);
}

std::string rpConfigText(size_t n) {
  std::string s = "rp.enable = yes\n";
  s.reserve(n * 440);
  std::string key;
  for (size_t i = 0; i < n; ++i) {
    key = "rp.upstreams[";
    putAlias(key, i);
    key += "].";
    if (i % 2 == 0) {
      s += key;
      s += "dc_uid = ";
      putUuid(s, i);
      s += '\n';
    }
    s += key;
    s += "address = 10.";
    putHostPart(s, i);
    s += ":7443\n";
    s += key;
    s += "redirect = https://edge";
    putDec(s, i);
    s += ".truv.example.net\n";
    s += key;
    s += "secret = ";
    putText(s, i, 40, kBase64);
    s += '\n';
    s += key;
    s += "cert_digest = ";
    putText(s, i + 7, 64, kHex);
    s += '\n';
    s += key;
    s += "stat = 10.";
    putHostPart(s, i);
    s += ":44444\n";
  }
  return s;
}

// The default line names every upstream; each domain line names a few, the
// target among them on every tenth; the threshold comes last, without a
// line end, as the tool leaves its last append.
std::string rpSelectText(size_t n, size_t target) {
  std::string s = "rp.select =";
  s.reserve(n * 24 + kDomainLines * kEntriesPerDomain * 48);
  auto entry = [&](size_t i, size_t weight) {
    s += ' ';
    putAlias(s, i);
    s += ':';
    putDec(s, weight);
  };
  for (size_t i = 0; i < n; ++i) entry(i, i * 7 % 101);
  s += "\n";
  for (size_t d = 0; d < kDomainLines; ++d) {
    s += "certs[domain";
    putDec(s, d);
    s += ".example.com].rp.select =";
    for (size_t k = 0; k < kEntriesPerDomain; ++k) {
      size_t i = (d % 10 == 0 && k == 0) ? target : (d * 37 + k * 1013) % n;
      entry(i, (d + k) * 13 % 101);
    }
    s += "\n";
  }
  s += "rp.select_threshold = 70";
  return s;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

uint64_t mix(uint64_t x) {  // splitmix64
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return std::string(buf, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
}

std::string thousands(size_t n) {
  const std::string digits = std::to_string(n);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) s.push_back(',');
    s.push_back(digits[i]);
  }
  return s;
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) die(sysError("open", path));
  for (size_t off = 0; off < content.size();) {
    ssize_t n = ::write(fd, content.data() + off, content.size() - off);
    if (n < 0) die(sysError("write", path));
    off += static_cast<size_t>(n);
  }
  ::fchmod(fd, mode);
  if (::fsync(fd) != 0) die(sysError("fsync", path));
  ::close(fd);
}

std::string readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  std::string s;
  if (::fstat(fd, &st) == 0) s.reserve(static_cast<size_t>(st.st_size));
  char buf[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return s;
}

void makeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die(sysError("mkdir", path));
}

void removeTree(const std::string& path) { ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

size_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string uuidOf(uint64_t i) {
  std::string s;
  putUuid(s, i);
  return s;
}

std::string textOf(uint64_t i, size_t len, const char* alphabet) {
  std::string s;
  putText(s, i, len, alphabet);
  return s;
}

Upstream upstreamOf(size_t i) {
  Upstream u;
  putAlias(u.alias, i);
  u.uid = uuidOf(i);
  return u;
}

FileStamp stampOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_ino, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string truvConfigPath(const std::string& scratch) { return scratch + "/etc/truv.config"; }

void activate(const std::string& scratch, const Instance& in) {
  writeFile(truvConfigPath(scratch), "root_dir = " + in.root + "\nstat.prometheus.listen_addr = 0.0.0.0:9100\n",
            0644);
}

Instance makeInstanceWith(const std::string& scratch, const std::string& name, size_t n, std::string rpText,
                          std::string selectText) {
  Instance in;
  in.size = n;
  in.dir = scratch + "/" + name;
  in.root = in.dir + "/root";
  in.confd = in.root + "/conf.d";
  in.rp = in.confd + "/rp";
  in.select = in.confd + "/rp.select";
  in.doc = in.dir + "/registration.json";
  for (const std::string& d : {in.dir, in.root, in.confd, in.root + "/certs.x"}) makeDir(d);
  in.rpText = std::move(rpText);
  in.selectText = std::move(selectText);
  writeFile(in.rp, in.rpText);
  in.rpStamp = stampOf(in.rp);
  if (!in.selectText.empty()) {
    writeFile(in.select, in.selectText);
    in.selectStamp = stampOf(in.select);
  }
  writeFile(in.confd + "/dc_uid", "dc_uid = " + uuidOf(999999999) + "\n", 0644);
  writeFile(in.confd + "/cluster.secret",
            "# This is a shared secret that TRUV peers use for secure communication\ncluster.secret=" +
                textOf(5, 40, kBase64) + "\n",
            0644);
  writeFile(in.root + "/certs.x/.truv.registration-info",
            ".type = truv.rp-registration-info.v1\ntruv-address = node1.truv.example.net:7443\n", 0644);
  writeFile(in.root + "/certs.x/truv.pem.info", "digest.sha256 = " + textOf(77, 64, kHex) + "\n", 0644);
  writeFile(in.doc,
            "{\"address\":\"peer.truv.example.net:7443\",\"dc-uid\":\"" + uuidOf(888888888) +
                "\",\"digest\":\"" + textOf(88, 64, kHex) + "\",\"secret\":\"" + textOf(89, 40, kBase64) +
                "\",\"stat\":\"peer.truv.example.net:44444\"}",
            0644);
  return in;
}

Instance makeInstance(const std::string& scratch, const std::string& name, size_t n) {
  if (n == 0) return makeInstanceWith(scratch, name, 0, "", "");
  const size_t target = n / 2 - n / 2 % 2;  // an even one: found by the value search
  Instance in = makeInstanceWith(scratch, name, n, rpConfigText(n), rpSelectText(n, target));
  in.target = upstreamOf(target);
  return in;
}

namespace {

void putBack(const std::string& path, const std::string& text, FileStamp& stamp) {
  const FileStamp now = stampOf(path);
  if (now == stamp) return;
  if (!stamp.exists) {
    ::unlink(path.c_str());
    return;
  }
  // Every program that replaces a file renames a new one over it, so a file
  // of the same inode that grew was only appended to.
  if (now.exists && now.ino == stamp.ino && now.size > stamp.size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, stamp.size) != 0 || ::fsync(fd) != 0) die(sysError("truncate", path));
    ::close(fd);
  } else {
    writeFile(path, text);
  }
  stamp = stampOf(path);
}

}  // namespace

void restore(Instance& in) {
  putBack(in.rp, in.rpText, in.rpStamp);
  putBack(in.select, in.selectText, in.selectStamp);
  for (const std::string& stray : {in.select + "~", in.rp + ".floor-copy", in.select + ".floor-copy"})
    ::unlink(stray.c_str());
}

Run spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& outPath,
          const std::string& errPath) {
  const std::string report = errPath + ".run";
  std::vector<char*> args{const_cast<char*>(KTRP_RUN), const_cast<char*>(report.c_str())}, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::unlink(report.c_str());
  pid_t pid;
  int e = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  if (e != 0) die(std::string("spawn ") + KTRP_RUN + ": " + std::strerror(e));
  posix_spawn_file_actions_destroy(&fa);
  int ws = 0;
  while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  Run r;
  const std::string text = readFile(report);
  if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0 ||
      std::sscanf(text.c_str(), "%d %ld %lf", &r.status, &r.maxRssKb, &r.seconds) != 3)
    die("could not run " + argv[0] + ": " + readFile(errPath));
  return r;
}
