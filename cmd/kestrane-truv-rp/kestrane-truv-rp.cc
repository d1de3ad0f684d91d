// kestrane-truv-rp: keeps the RP configuration of a TRUV instance.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "commands.h"
#include "die.h"
#include "files.h"
#include "flags.h"
#include "key_syntax.h"
#include "lockfile.h"
#include "paths.h"

namespace {

// Descriptors 0, 1 and 2 must be open before the run opens any file: a lock
// file that got descriptor 1 would receive the output, and one that got 2
// the messages.
void openStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor, so fd itself: the ones below are open.
    if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) _exit(255);
  }
}

}  // namespace

int main(int argc, char** argv) {
  openStandardStreams();
  // A reader that goes away early makes writes fail with EPIPE, which are not
  // reported, rather than end the run.
  ::signal(SIGPIPE, SIG_IGN);
  installFailureHandlers();
  compileKeyPatterns();
  initCommandLine(argc > 0 ? argv[0] : "kestrane-truv-rp");

  const Command& command = parseArgs(argc, argv);
  std::string rpPath = getRpConfig();
  Lockfile lock = createLockFile();
  std::string err;
  bool held = lock.TryLock(10, &err);
  if (!err.empty()) dieStatusf(255, "error during file '%s' locking %v", lock.path, err);
  if (!held) dieStatusf(255, "timed out waiting to acquire lock file");

  command.handler(rpPath);

  // The run's changes must survive a power cut once it ends with 0.
  if (FileError e = syncChangedDirectories()) dieStatusf(255, "Failed to sync a changed directory (%s)", e.text);
  lock.Close();
  // Configuration handles live until the process ends, and nothing is left
  // to run or flush (output goes straight to the descriptors): end here, as
  // every failure does, without tearing down what the run built.
  _exit(0);
}
