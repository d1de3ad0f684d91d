// The truv root lookup, the lock directory and the global lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

class TruvRoot : public EndToEndTest {};
class LockDirectory : public EndToEndTest {};
class GlobalLock : public EndToEndTest {};

using Clock = std::chrono::steady_clock;

const char kRootNotFound[] = "Truv root not found int truv config file (/etc/kestrane/truv.config)\n";

std::string lockPath(const Instance& inst) { return inst.path("var/lock/-kestrane-truv-rp.lock"); }

// Holds a write record lock on path from this (other) process.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) {
    makeDirs(path.substr(0, path.rfind('/')));
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_GE(fd_, 0);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    EXPECT_EQ(::fcntl(fd_, F_SETLK, &fl), 0);
  }
  ~HeldLock() { release(); }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

TEST_F(TruvRoot, MissingOrEmptyRootEndsTheRun) {
  for (const char* config : {"", "other = 1\n", "root_dir =\n", "root_dir = \n"}) {
    Instance inst;
    inst.writeTruvConfig(config);
    RunResult r = inst.run({"upstreams"});
    EXPECT_EQ(r.status, 255) << config;
    EXPECT_EQ(r.err, kRootNotFound) << config;
    EXPECT_EQ(r.out, "");
  }
  Instance inst;
  ::unlink((inst.dir() + "/etc/truv.config").c_str());
  RunResult r = inst.run({"upstreams"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kRootNotFound);
}

TEST_F(TruvRoot, RootThatDoesNotExist) {
  Instance inst;
  inst.writeTruvConfig("root_dir = " + inst.dir() + "/nowhere\n");
  RunResult r = inst.run({"upstreams"});
  EXPECT_EQ(r.status, 255);
  std::string root = inst.dir() + "/nowhere";
  EXPECT_EQ(r.err, "truv_root '" + root + "': stat " + root + ": no such file or directory\n");
}

TEST_F(TruvRoot, RootThatIsAFile) {
  Instance inst;
  std::string root = inst.dir() + "/file";
  writeFile(root, "x");
  inst.writeTruvConfig("root_dir = " + root + "\n");
  RunResult r = inst.run({"upstreams"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "failed to create lock directory '" + root + "/var/lock': mkdir " + root + ": not a directory\n");
}

// Paths are cleaned as text: a trailing separator, ".." parts and a relative
// root all show in the path of the lock file.
TEST_F(TruvRoot, PathsAreCleanedAsText) {
  struct Case {
    std::string rootDir;  // as written in the truv config; {d} = scratch dir
    std::string lockFile;
  };
  Instance probe;
  std::string d = probe.dir();
  const Case cases[] = {
      {d + "/root/", d + "/root/var/lock/-kestrane-truv-rp.lock"},
      {d + "/x/../root", d + "/root/var/lock/-kestrane-truv-rp.lock"},
      {d + "//root/./", d + "/root/var/lock/-kestrane-truv-rp.lock"},
      {"root", "root/var/lock/-kestrane-truv-rp.lock"},  // from the working directory
  };
  for (const Case& c : cases) {
    Instance inst;
    std::string rootDir = c.rootDir, lock = c.lockFile;
    if (rootDir.rfind(d, 0) == 0) rootDir = inst.dir() + rootDir.substr(d.size());
    if (lock.rfind(d, 0) == 0) lock = inst.dir() + lock.substr(d.size());
    inst.writeTruvConfig("root_dir = " + rootDir + "\n");
    // var/lock exists but belongs to root with mode 0755: nobody cannot
    // create the lock file, and the error names its path.
    makeDirs(inst.path("var/lock"));
    makeDirs(inst.dir() + "/x");  // the kernel resolves x/.. in the stat of the root
    RunOptions o;
    o.asNobody = true;
    RunResult r = inst.run({"upstreams"}, o);
    EXPECT_EQ(r.status, 255) << rootDir;
    EXPECT_EQ(r.err, "error during file '" + lock + "' locking open " + lock + ": permission denied\n") << rootDir;
  }
}

TEST_F(LockDirectory, CreatedWithParentsUnderTheUmask) {
  for (mode_t um : {mode_t{0}, mode_t{022}}) {
    Instance inst;
    RunOptions o;
    o.umask = um;
    inst.run({"upstreams"}, o);
    EXPECT_EQ(fileMode(inst.path("var")), 0770 & ~um);
    EXPECT_EQ(fileMode(inst.path("var/lock")), 0770 & ~um);
    EXPECT_EQ(fileMode(lockPath(inst)), 0600 & ~um);
    EXPECT_EQ(readFile(lockPath(inst)), "");
  }
}

TEST_F(LockDirectory, ExistingOneAndLockFileKeepWhatTheyHave) {
  Instance inst;
  makeDirs(inst.path("var/lock"), 0700);
  writeFile(lockPath(inst), "some bytes", 0640);
  inst.run({"upstreams"});
  EXPECT_EQ(fileMode(inst.path("var/lock")), 0700);
  EXPECT_EQ(fileMode(lockPath(inst)), 0640);
  EXPECT_EQ(readFile(lockPath(inst)), "some bytes");
}

TEST_F(GlobalLock, PermissionErrorComesBackAtOnce) {
  Instance inst;
  makeDirs(inst.path("var/lock"));
  RunOptions o;
  o.asNobody = true;
  auto start = Clock::now();
  RunResult r = inst.run({"upstreams"}, o);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(pathExists(lockPath(inst)));
}

TEST_F(GlobalLock, HeldForTheWholeWaitTimesOut) {
  Instance inst;
  writeFile(inst.rpConfig(), "rp.enable = yes\n");
  HeldLock held(lockPath(inst));
  auto start = Clock::now();
  RunResult r = inst.run({"upstreams"});
  auto waited = Clock::now() - start;
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "timed out waiting to acquire lock file\n");
  EXPECT_EQ(r.out, "");
  // Ten attempts, each failed one followed by a pause of one second.
  EXPECT_GE(waited, std::chrono::milliseconds(9900));
  EXPECT_LT(waited, std::chrono::seconds(14));
}

TEST_F(GlobalLock, ReleasedDuringTheWaitIsTaken) {
  Instance inst;
  writeFile(inst.rpConfig(), "rp.enable = yes\n");
  HeldLock held(lockPath(inst));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    held.release();
  });
  auto start = Clock::now();
  RunResult r = inst.run({"upstreams"});
  auto waited = Clock::now() - start;
  releaser.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{}\n");
  EXPECT_GE(waited, std::chrono::milliseconds(2500));
  EXPECT_LT(waited, std::chrono::seconds(6));
}

TEST_F(GlobalLock, LeftInPlaceAfterAFailedHandler) {
  Instance inst;  // no rp config: the handler fails after taking the lock
  RunResult r = inst.run({"upstreams"});
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(pathExists(lockPath(inst)));
  auto start = Clock::now();
  inst.run({"upstreams"});
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
}

}  // namespace
