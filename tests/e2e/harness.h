// End-to-end harness: runs the shipped binary against a scratch TRUV
// instance. Each Instance is a private directory whose etc/ is bind-mounted
// at /etc/kestrane in a private mount namespace of the run, so that cases
// run in parallel and the machine's /etc stays as it was.
#ifndef KTRP_TESTS_E2E_HARNESS_H_
#define KTRP_TESTS_E2E_HARNESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

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

 private:
  std::string dir_;
};

// File helpers on absolute paths; they fail the current test on error.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);  // lstat
mode_t fileMode(const std::string& path);   // permission bits
void makeDirs(const std::string& path, mode_t mode = 0755);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);

// The binary under test.
const char* binaryPath();
// ../shared/testdata of the source tree.
const char* testdataDir();

#endif  // KTRP_TESTS_E2E_HARNESS_H_
