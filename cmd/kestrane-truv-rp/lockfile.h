// Process locks: a POSIX write record lock over a whole lock file.
#ifndef KTRP_LOCKFILE_H_
#define KTRP_LOCKFILE_H_

#include <string>

struct Lockfile {
  std::string path;
  int f = -1;  // the open file that carries the lock, once held

  // At most attempts tries, each failed one followed by a pause of 1 s.
  // Returns whether the lock is held; *err receives the error of opening
  // the lock file (the lock is then not held).
  bool TryLock(int attempts, std::string* err);
  // Closes f, which releases the lock.
  void Close();
};

// The global lock <root>/var/lock/-kestrane-truv-rp.lock, not yet held, after
// checking the truv root and creating var/lock.
Lockfile createLockFile();

#endif  // KTRP_LOCKFILE_H_
