// End-to-end harness: runs the shipped binary against a scratch TRUV
// instance. Each Instance is a private directory whose etc/ is bind-mounted
// at /etc/kestrane in a private mount namespace of the run, so that cases
// run in parallel and the machine's /etc stays as it was.
#ifndef KTRP_TESTS_E2E_HARNESS_H_
#define KTRP_TESTS_E2E_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The base of every end-to-end test. Each run of the binary needs a private
// mount namespace with a scratch directory bound at /etc/kestrane; where that
// cannot be made (not root, no mount namespaces), every test is skipped with
// the reason, found once per process.
class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;           // standard input (closed when empty and !keepStdinOpen)
  mode_t umask = 022;
  bool asNobody = false;       // drop to uid/gid 65534 after mounting (root bypasses modes)
  std::string cwd;             // working directory; the instance's directory by default
  std::string argv0 = "kestrane-truv-rp";
  // When set, the run makes its private mount namespace as a copy of this
  // process's one (a PrivateTmpfs holder) instead of the machine's.
  pid_t mountNamespaceOf = 0;
  // A file (such as /dev/zero) to be standard input instead of input.
  std::string stdinFile;
  // Standard streams the run starts without (closed descriptors 0, 1, 2).
  bool closeStdin = false, closeStdout = false, closeStderr = false;
  // Standard output is a pipe whose reader is gone before the run writes.
  bool stdoutWithoutReader = false;
  // RLIMIT_AS of the run, in bytes; 0 for none.
  size_t addressSpaceLimit = 0;
  // When set, the run executes this program (an absolute path) with these
  // arguments, followed by the binary's path and args: strace -f ..., say.
  std::vector<std::string> wrapper;
};

// A run started in the background (Instance::start). Its output is collected
// only by wait(), so it suits runs that print little (under 64 KiB).
class Process {
 public:
  ~Process();  // a run that was not waited for is killed and reaped
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Sends sig unless the run has been reaped already.
  void signal(int sig) const;
  // Feeds standard input, collects the output and reaps the run.
  RunResult wait();
  // The same, but a run still going killAfter after its start gets SIGKILL
  // (its status is then 128 + 9, unless it ended first).
  RunResult waitOrKill(std::chrono::microseconds killAfter);

 private:
  friend class Instance;
  Process() = default;
  RunResult collect(const std::chrono::steady_clock::time_point* killAt);

  pid_t pid_ = -1;
  int inFd_ = -1, outFd_ = -1, errFd_ = -1;
  std::string input_;
  std::chrono::steady_clock::time_point started_;
};

class Instance {
 public:
  // Makes <tmp>/etc/truv.config naming <tmp>/root as the truv root, and
  // creates root/ and root/conf.d/.
  Instance();
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const std::string& dir() const { return dir_; }        // the scratch directory
  std::string root() const { return dir_ + "/root"; }    // the truv root
  std::string confd() const { return root() + "/conf.d"; }
  std::string rpConfig() const { return confd() + "/rp"; }
  std::string rpSelectConfig() const { return confd() + "/rp.select"; }
  // A path under the truv root.
  std::string path(const std::string& rel) const { return root() + "/" + rel; }

  // Replaces the truv config file.
  void writeTruvConfig(const std::string& content) const;

  RunResult run(const std::vector<std::string>& args, const RunOptions& opts = {}) const;
  RunResult run(const std::vector<std::string>& args, const std::string& input) const;
  // Starts a run like run() and returns at once; nullptr when it could not
  // be started (the test has failed then).
  std::unique_ptr<Process> start(const std::vector<std::string>& args, const RunOptions& opts = {}) const;

 private:
  std::string dir_;
};

// A tmpfs of a given size mounted at a path in a mount namespace of its own,
// kept by a small holder process; the machine's mount table is left alone.
// Runs use it through RunOptions::mountNamespaceOf = holder(); the test
// reaches its files through at(), under /proc/<holder>/root.
class PrivateTmpfs {
 public:
  PrivateTmpfs(const std::string& mountPoint, size_t sizeBytes);
  ~PrivateTmpfs();  // ends the holder; the tmpfs goes with its last user
  PrivateTmpfs(const PrivateTmpfs&) = delete;
  PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

  pid_t holder() const { return pid_; }
  // An absolute path as the holder's namespace sees it.
  std::string at(const std::string& path) const;

 private:
  pid_t pid_ = -1;
  int holdFd_ = -1;  // the holder exits when this closes
};

// File helpers on absolute paths; they fail the current test on error.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);  // lstat
mode_t fileMode(const std::string& path);   // permission bits
void makeDirs(const std::string& path, mode_t mode = 0755);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);

// One file or directory under the truv root as a run may change it: a
// rewrite shows in the inode even when the bytes come out the same.
struct SnapshotEntry {
  bool dir = false;
  std::string content;
  ino_t ino = 0;
  mode_t mode = 0;
  bool operator==(const SnapshotEntry&) const = default;
};
// Everything under the truv root but the lock directory, by relative path.
using Snapshot = std::map<std::string, SnapshotEntry>;
Snapshot snapshot(const Instance& inst);

// The binary under test.
const char* binaryPath();
// tests/testdata of the source tree.
const char* testdataDir();

#endif  // KTRP_TESTS_E2E_HARNESS_H_
