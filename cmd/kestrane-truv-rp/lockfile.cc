#include "lockfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "die.h"
#include "files.h"
#include "fsutil.h"
#include "paths.h"

namespace {

// Creates dir and its missing parents with mode 0770. Returns 0 or the errno,
// with *failed naming the directory that could not be made.
int mkdirAll(const std::string& dir, std::string* failed) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    *failed = dir;
    return ENOTDIR;
  }
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    int e = mkdirAll(dir.substr(0, slash), failed);
    if (e != 0) return e;
  }
  if (::mkdir(dir.c_str(), 0770) != 0) {
    int e = errno;
    // Another run may have made it meanwhile.
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    *failed = dir;
    return e;
  }
  return 0;
}

}  // namespace

Lockfile createLockFile() {
  const std::string& root = getTruvRootDir();
  std::string lockDir = joinPath({root, "var", "lock"});
  struct stat st;
  if (::stat(root.c_str(), &st) != 0) dieStatusf(255, "truv_root '%s': %v", root, opError("stat", root, errno));
  std::string failed;
  if (int e = mkdirAll(lockDir, &failed); e != 0)
    dieStatusf(255, "failed to create lock directory '%s': %v", lockDir, opError("mkdir", failed, e));
  Lockfile lf;
  lf.path = joinPath({lockDir, "-kestrane-truv-rp.lock"});
  return lf;
}

bool Lockfile::TryLock(int attempts, std::string* err) {
  for (; attempts > 0; --attempts) {
    int fd = openLockFile(path);
    if (fd < 0) {
      if (errno != EBUSY) {
        *err = opError("open", path, errno);
        return false;
      }
    } else {
      struct flock fl = {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      if (::fcntl(fd, F_SETLK, &fl) == 0) {
        f = fd;
        return true;
      }
      int e = errno;
      ::close(fd);
      // EAGAIN (or EACCES on some systems): another process holds it. Any
      // other failure, such as a file system without locks, will not go
      // away by waiting and is reported at once.
      if (e != EAGAIN && e != EACCES && e != EINTR) {
        *err = opError("fcntl", path, e);
        return false;
      }
    }
    ::sleep(1);
  }
  return false;
}

void Lockfile::Close() {
  if (f >= 0) ::close(f);
  f = -1;
}
