#include "line_edit.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <random>

#include <re2/re2.h>

#include "args.h"
#include "die.h"
#include "fsutil.h"
#include "paths.h"

namespace {

constexpr size_t kReadBlock = 1 << 20;
constexpr size_t kWriteBuffer = 1 << 20;
constexpr int kTempNameAttempts = 10000;

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanksAndTabs(std::string_view s) {
  while (!s.empty() && isBlankOrTab(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlankOrTab(s.back())) s.remove_suffix(1);
  return s;
}

// Collects output and writes it in large pieces; a failed write ends the run
// with the copy's path.
class CopyWriter {
 public:
  CopyWriter(int fd, const std::string& path) : fd_(fd), path_(path) { buf_.reserve(kWriteBuffer); }

  std::string* buffer() { return &buf_; }

  // Call after each appended line.
  void maybeFlush() {
    if (buf_.size() >= kWriteBuffer) flush();
  }

  // A copy that could not be written whole is removed: on a full disk it
  // would otherwise keep holding the space that the next run needs.
  void flush() {
    if (int e = writeAllFd(fd_, buf_)) {
      ::unlink(path_.c_str());
      dieStatusf(255, "Failed to write to file %s (%s)", path_, opError("write", path_, e));
    }
    buf_.clear();
  }

 private:
  int fd_;
  const std::string& path_;
  std::string buf_;
};

// Reads inFd to its end, passing every line to onLine. A read error removes
// the copy (the file stays as it was) and ends the run.
template <typename F>
void forEachLine(int inFd, const std::string& inPath, const std::string& copyPath, F&& onLine) {
  std::unique_ptr<char[]> block(new char[kReadBlock]);
  LineSplitter splitter;
  for (;;) {
    ssize_t n = ::read(inFd, block.get(), kReadBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::unlink(copyPath.c_str());
      dieStatusf(255, "Failed to read %s (%s)", inPath, opError("read", inPath, e));
    }
    if (n == 0) break;
    splitter.feed(std::string_view(block.get(), static_cast<size_t>(n)), onLine);
  }
  splitter.finish(onLine);
}

// Syncs the copy and moves it over path; the copy is removed when the
// rename fails.
void replaceWithCopy(int copyFd, const std::string& copyPath, const std::string& path) {
  if (::fsync(copyFd) != 0) {
    int e = errno;
    ::unlink(copyPath.c_str());
    dieStatusf(255, "Failed to sync file %s (%s)", copyPath, opError("sync", copyPath, e));
  }
  if (::rename(copyPath.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(copyPath.c_str());
    dieStatusf(255, "Failed to change %s (%s)", path, renameError(copyPath, path, e));
  }
}

// Random numbers for temporary names; seeded once from the kernel, with the
// clock and pid as a fallback when getrandom is unavailable.
uint32_t nextRandom() {
  static std::mt19937 gen = [] {
    uint32_t seed[8];
    if (::getrandom(seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
      struct timespec ts;
      ::clock_gettime(CLOCK_REALTIME, &ts);
      seed[0] = static_cast<uint32_t>(ts.tv_nsec);
      seed[1] = static_cast<uint32_t>(ts.tv_sec);
      seed[2] = static_cast<uint32_t>(::getpid());
      for (int i = 3; i < 8; ++i) seed[i] = static_cast<uint32_t>(i);
    }
    std::seed_seq seq(seed, seed + 8);
    return std::mt19937(seq);
  }();
  return static_cast<uint32_t>(gen());
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates <tmp>/<base name of path><random number> exclusively, mode 0600.
int createTempCopy(const std::string& path, std::string* copyPath) {
  const std::string& tmpDir = getTruvTmpDir();
  const std::string base = baseName(path);
  int e = 0;
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    *copyPath = joinPath({tmpDir, base + std::to_string(nextRandom())});
    int fd = ::open(copyPath->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    e = errno;
    if (e != EEXIST && e != EINTR) break;
  }
  dieStatusf(255, "Failed to create %s (%s)", path, opError("open", *copyPath, e));
}

// Opens path write-only for appending, creating it with mode 0600 when it
// is missing; *created tells whether this call made it.
int openForAppend(const std::string& path, bool* created) {
  *created = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    *created = true;
    return fd;
  }
  if (errno != EEXIST) return fd;
  // A dangling symbolic link, whose target the plain create makes.
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

const RE2& certsPattern() {
  static const RE2 re("certs\\[(.+)\\].rp.select");
  return re;
}

}  // namespace

void saveLineToFile(const std::string& path, std::string_view text) {
  bool created = false;
  int fd = openForAppend(path, &created);
  if (fd < 0) dieStatusf(255, "Failed to open %s (%s)", path, opError("open", path, errno));
  if (!text.empty()) {
    // The length before the append; nothing else writes the file while the
    // run holds the global lock.
    struct stat st;
    off_t oldSize = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    // One write, finished when it comes back short. When the rest cannot be
    // written (a full disk), the file goes back to what it was: half a block
    // would leave a broken line that later appends run on from.
    if (int e = writeAllFd(fd, text)) {
      std::string error = opError("write", path, e);
      if (created) {
        ::unlink(path.c_str());
      } else if (oldSize >= 0 && ::ftruncate(fd, oldSize) != 0) {
        // The partial block stays: say so, beside the write's own error.
        error += "; " + opError("ftruncate", path, errno);
      }
      dieStatusf(255, "Failed to write to file %s (%s)", path, error);
    }
  }
  if (::fsync(fd) != 0) dieStatusf(255, "Failed to sync file %s (%s)", path, opError("sync", path, errno));
  ::close(fd);
}

void removeLines(const std::string& path, const std::vector<std::string>& prefixes) {
  replaceLines(path, prefixes, {});
}

void replaceLines(const std::string& path, const std::vector<std::string>& prefixes, std::string_view text) {
  std::string copyPath;
  int copyFd = createTempCopy(path, &copyPath);
  int inFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (inFd < 0) dieStatusf(255, "Failed to open %s (%s)", path, opError("open", path, errno));

  std::vector<std::string> prepared;
  prepared.reserve(prefixes.size());
  for (const std::string& p : prefixes) prepared.push_back(removeBlanks(p));

  CopyWriter out(copyFd, copyPath);
  forEachLine(inFd, path, copyPath, [&](std::string_view line) {
    for (const std::string& p : prepared)
      if (startsWithIgnoringBlanks(line, p)) return;
    std::string* buf = out.buffer();
    buf->append(line);
    buf->push_back('\n');
    out.maybeFlush();
  });
  out.buffer()->append(text);
  out.flush();
  replaceWithCopy(copyFd, copyPath, path);
  ::close(inFd);
  ::close(copyFd);
}

void changeRpSelectAlias(const std::string& oldAlias) {
  const std::string selectPath = getRpSelectConfig();
  struct stat st;
  if (::stat(selectPath.c_str(), &st) != 0 && errno == ENOENT) return;

  const std::string copyPath = selectPath + "~";
  int copyFd = ::open(copyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (copyFd < 0) dieStatusf(255, "Failed to create %s (%s)", copyPath, opError("open", copyPath, errno));
  int inFd = ::open(selectPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (inFd < 0) dieStatusf(255, "Failed to open %s (%s)", selectPath, opError("open", selectPath, errno));

  const std::string newAlias = optAlias;
  CopyWriter out(copyFd, copyPath);
  forEachLine(inFd, selectPath, copyPath, [&](std::string_view line) {
    std::string* buf = out.buffer();
    appendWithAliasRenamed(line, oldAlias, newAlias, buf);
    buf->push_back('\n');
    out.maybeFlush();
  });
  out.flush();
  replaceWithCopy(copyFd, copyPath, selectPath);
  ::close(inFd);
  ::close(copyFd);
}

std::string removeBlanks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != ' ') out += c;
  return out;
}

bool startsWithIgnoringBlanks(std::string_view line, std::string_view prepared) {
  size_t i = 0;
  for (char want : prepared) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size() || line[i] != want) return false;
    ++i;
  }
  return true;
}

bool isSelectLine(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view key = trimBlanksAndTabs(line.substr(0, eq));
  if (key == "rp.select") return true;
  if (key.empty() || key.front() == '#' || key.find("rp.select") == std::string_view::npos) return false;
  return RE2::PartialMatch(re2::StringPiece(key.data(), key.size()), certsPattern());
}

void appendWithAliasRenamed(std::string_view line, std::string_view oldAlias, std::string_view newAlias,
                            std::string* out) {
  if (!isSelectLine(line)) {
    out->append(line);
    return;
  }
  size_t pos = line.find('=') + 1;
  // The reader drops blanks and tabs before the value; so do the entries.
  while (pos < line.size() && isBlankOrTab(line[pos])) ++pos;
  out->append(line.substr(0, pos));
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) end = line.size();
    std::string_view part = line.substr(pos, end - pos);
    size_t colon = part.find(':');
    if (colon != std::string_view::npos && part.substr(0, colon) == oldAlias) {
      out->append(newAlias);
      out->append(part.substr(colon));
    } else {
      out->append(part);
    }
    if (end < line.size()) out->push_back(' ');
    pos = end + 1;
  }
}
