#include "files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "config_reader.h"
#include "fsutil.h"

namespace {

constexpr int kCopyNameAttempts = 10000;

// O_NONBLOCK: opening a FIFO must not wait for its other end. O_NOCTTY: a
// terminal device must not become the controlling terminal before it is
// refused.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

FileError failure(FileError::Step step, std::string_view op, const std::string& path, int errnum) {
  return {step, errnum, opError(op, path, errnum)};
}

// Files being written and not yet complete, removed when the run fails. At
// most one is open at a time; the room is fixed, so that removing them needs
// no memory.
std::array<std::string, 4> unfinished;

void markUnfinished(const std::string& path) {
  for (std::string& slot : unfinished) {
    if (slot.empty()) {
      slot = path;
      return;
    }
  }
}

void markFinished(const std::string& path) {
  for (std::string& slot : unfinished) {
    if (slot == path) slot.clear();
  }
}

// The directories whose entries this run changed, each once.
std::vector<std::string> changedDirectories;

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void markDirectoryChanged(const std::string& path) {
  std::string dir = directoryOf(path);
  for (const std::string& d : changedDirectories) {
    if (d == dir) return;
  }
  changedDirectories.push_back(std::move(dir));
}

// 0 when fd is a regular file with at most maxLinks links (0: any number),
// else the errno the open counts as failing with.
int checkRegular(int fd, nlink_t maxLinks) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return kNotRegularFile;
  if (maxLinks != 0 && st.st_nlink > maxLinks) return EMLINK;
  return 0;
}

// open(2) and then checkRegular; -1 with errno set when either fails.
int openChecked(const std::string& path, int flags, mode_t mode, nlink_t maxLinks) {
  int fd = ::open(path.c_str(), flags | kOpenFlags, mode);
  if (fd < 0) return -1;
  if (int e = checkRegular(fd, maxLinks)) {
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// Opens path with flags (O_WRONLY, O_RDWR, O_APPEND...), not through a link,
// creating it exclusively with mode when it is missing; *created tells
// whether this call made it. A file that exists must be regular and have one
// link. -1 with errno set on failure.
int openOrCreate(const std::string& path, int flags, mode_t mode, bool* created) {
  *created = false;
  // A name that someone else keeps making and removing meanwhile ends the
  // tries; a dangling link fails the first open with ELOOP.
  for (int attempt = 0; attempt < 10; ++attempt) {
    int fd = openChecked(path, flags | O_NOFOLLOW, 0, 1);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = openChecked(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode, 1);
    if (fd >= 0 || errno != EEXIST) {
      *created = fd >= 0;
      return fd;
    }
  }
  return -1;  // errno is EEXIST
}

// Random numbers for copy names; seeded once from the kernel, with the
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

}  // namespace

int openForReading(const std::string& path) { return openChecked(path, O_RDONLY, 0, 0); }

int openForReplacing(const std::string& path) { return openChecked(path, O_RDONLY | O_NOFOLLOW, 0, 1); }

FileError appendToFile(const std::string& path, std::string_view data, mode_t mode) {
  bool created = false;
  int fd = openOrCreate(path, O_WRONLY | O_APPEND, mode, &created);
  if (fd < 0) return failure(FileError::kOpen, "open", path, errno);
  if (created) markUnfinished(path);
  // The length before the append: nothing else writes the file while the
  // run holds the global lock.
  struct stat st;
  off_t oldSize = ::fstat(fd, &st) == 0 ? st.st_size : -1;
  FileError err;
  // One write, finished when it comes back short. Half a block would leave a
  // broken line that later appends run on from, so a failure takes it back.
  if (int e = writeAllFd(fd, data)) {
    err = failure(FileError::kWrite, "write", path, e);
  } else if (::fsync(fd) != 0) {
    err = failure(FileError::kSync, "sync", path, errno);
  }
  if (err && created) {
    ::unlink(path.c_str());
  } else if (err && oldSize >= 0 && ::ftruncate(fd, oldSize) != 0) {
    err.text += "; " + opError("truncate", path, errno);  // the partial block stays: say so
  }
  ::close(fd);
  markFinished(path);
  forgetParse(path);
  if (!err && created) markDirectoryChanged(path);
  return err;
}

FileError createFile(const std::string& path, mode_t mode, std::string_view data) {
  int fd = openChecked(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode, 0);
  if (fd < 0) return failure(FileError::kCreate, "open", path, errno);
  markUnfinished(path);
  FileError err;
  if (int e = writeAllFd(fd, data)) {
    err = failure(FileError::kWrite, "write", path, e);
  } else if (::fsync(fd) != 0) {
    err = failure(FileError::kSync, "sync", path, errno);
  }
  // A file left incomplete here would never be repaired: a later run finds
  // it present and leaves it alone.
  if (err) ::unlink(path.c_str());
  ::close(fd);
  markFinished(path);
  forgetParse(path);
  if (!err) markDirectoryChanged(path);
  return err;
}

int openLockFile(const std::string& path) {
  bool created = false;
  int fd = openOrCreate(path, O_WRONLY, 0600, &created);
  if (created) markDirectoryChanged(path);
  return fd;
}

ReplacementCopy::~ReplacementCopy() { discard(); }

FileError ReplacementCopy::opened(int fd, const std::string& path) {
  fd_ = fd;
  path_ = path;
  markUnfinished(path_);
  return {};
}

FileError ReplacementCopy::create(const std::string& dir, const std::string& prefix) {
  std::string path;
  int e = 0;
  for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
    path = dir + "/" + prefix + std::to_string(nextRandom());
    int fd = openChecked(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, 0);
    if (fd >= 0) return opened(fd, path);
    e = errno;
    if (e != EEXIST) break;
  }
  return failure(FileError::kCreate, "open", path, e);
}

FileError ReplacementCopy::createOrReuse(const std::string& path) {
  bool created = false;
  // Emptied only once it is known to be a copy of its own: truncating at the
  // open would cut a file that shares the name's inode.
  int fd = openOrCreate(path, O_WRONLY, 0600, &created);
  if (fd < 0) return failure(FileError::kCreate, "open", path, errno);
  if (!created && ::ftruncate(fd, 0) != 0) {
    int e = errno;
    ::close(fd);
    return failure(FileError::kCreate, "truncate", path, e);
  }
  return opened(fd, path);
}

FileError ReplacementCopy::write(std::string_view data) {
  if (int e = writeAllFd(fd_, data)) return failure(FileError::kWrite, "write", path_, e);
  return {};
}

FileError ReplacementCopy::replace(const std::string& target) {
  if (::fsync(fd_) != 0) return failure(FileError::kSync, "sync", path_, errno);
  // Whoever can write the copy's directory may have put another file at its
  // name; only the file written here may become the target.
  struct stat mine, named;
  int e = 0;
  if (::fstat(fd_, &mine) != 0 || ::lstat(path_.c_str(), &named) != 0)
    e = errno;
  else if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino)
    e = ESTALE;
  if (e == 0 && ::rename(path_.c_str(), target.c_str()) != 0) e = errno;
  if (e != 0) {
    FileError err{FileError::kRename, e, renameError(path_, target, e)};
    discard();
    return err;
  }
  markFinished(path_);
  markDirectoryChanged(target);
  forgetParse(target);
  ::close(fd_);
  fd_ = -1;
  path_.clear();
  return {};
}

void ReplacementCopy::discard() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  markFinished(path_);
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

FileError syncChangedDirectories() {
  for (const std::string& dir : changedDirectories) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failure(FileError::kSync, "open", dir, errno);
    int e = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (e != 0) return failure(FileError::kSync, "sync", dir, e);
  }
  changedDirectories.clear();
  return {};
}

void abandonUnfinishedFiles() {
  for (std::string& slot : unfinished) {
    if (!slot.empty()) ::unlink(slot.c_str());
  }
}
