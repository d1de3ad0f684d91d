#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

// The mount point must exist before a run can bind over it; an empty
// directory is all that is ever left in the real /etc.
void ensureMountPoint() {
  static bool done = [] {
    if (::mkdir("/etc/kestrane", 0755) != 0 && errno != EEXIST) {
      ADD_FAILURE() << "cannot create /etc/kestrane: " << strerror(errno);
    }
    return true;
  }();
  (void)done;
}

int removeEntry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }

[[noreturn]] void childFail(const char* what) {
  dprintf(2, "harness: %s: %s\n", what, strerror(errno));
  _exit(127);
}

}  // namespace

const char* binaryPath() { return KTRP_BINARY; }
const char* testdataDir() { return KTRP_TESTDATA_DIR; }

Instance::Instance() {
  ensureMountPoint();
  char tmpl[] = "/tmp/ktrp-e2e-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  dir_ = tmpl;
  ::chmod(dir_.c_str(), 0755);  // reachable when a run drops to nobody
  makeDirs(dir_ + "/etc");
  makeDirs(confd());
  writeTruvConfig("root_dir = " + root() + "\n");
}

Instance::~Instance() {
  if (!dir_.empty()) ::nftw(dir_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void Instance::writeTruvConfig(const std::string& content) const { writeFile(dir_ + "/etc/truv.config", content); }

RunResult Instance::run(const std::vector<std::string>& args, const std::string& input) const {
  RunOptions o;
  o.input = input;
  return run(args, o);
}

RunResult Instance::run(const std::vector<std::string>& args, const RunOptions& opts) const {
  RunResult r;
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return r;
  }
  std::string etc = dir_ + "/etc";
  std::string cwd = opts.cwd.empty() ? dir_ : opts.cwd;
  std::vector<std::string> argvStore;
  argvStore.push_back(opts.argv0);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (::unshare(CLONE_NEWNS) != 0) childFail("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) childFail("mount private");
    if (::mount(etc.c_str(), "/etc/kestrane", nullptr, MS_BIND, nullptr) != 0) childFail("bind mount");
    if (::chdir(cwd.c_str()) != 0) childFail("chdir");
    ::umask(opts.umask);
    if (opts.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      childFail("drop privileges");
    char* envp[] = {nullptr};
    ::execve(binaryPath(), argv.data(), envp);
    childFail("execve");
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return r;
  }

  // Feed stdin and drain stdout/stderr together so neither side blocks.
  size_t fed = 0;
  int inFd = inPipe[1];
  if (opts.input.empty()) {
    ::close(inFd);
    inFd = -1;
  } else {
    ::fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  int outFd = outPipe[0], errFd = errPipe[0];
  char buf[65536];
  while (outFd >= 0 || errFd >= 0) {
    struct pollfd fds[3];
    int n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (fd == inFd) {
        ssize_t w = ::write(inFd, opts.input.data() + fed, opts.input.size() - fed);
        if (w > 0) fed += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) fed = opts.input.size();
        if (fed == opts.input.size()) {
          ::close(inFd);
          inFd = -1;
        }
        continue;
      }
      ssize_t got = ::read(fd, buf, sizeof buf);
      if (got > 0) {
        (fd == outFd ? r.out : r.err).append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fd);
        (fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  if (inFd >= 0) ::close(inFd);
  int ws = 0;
  while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return r;
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    ADD_FAILURE() << "open " << path << ": " << strerror(errno);
    return;
  }
  size_t off = 0;
  while (off < content.size()) {
    ssize_t w = ::write(fd, content.data() + off, content.size() - off);
    if (w < 0) {
      ADD_FAILURE() << "write " << path << ": " << strerror(errno);
      break;
    }
    off += static_cast<size_t>(w);
  }
  ::fchmod(fd, mode);
  ::close(fd);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool pathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t fileMode(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "lstat " << path << ": " << strerror(errno);
    return 0;
  }
  return st.st_mode & 07777;
}

void makeDirs(const std::string& path, mode_t mode) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string p = path.substr(0, i);
      if (::mkdir(p.c_str(), mode) != 0 && errno != EEXIST) {
        ADD_FAILURE() << "mkdir " << p << ": " << strerror(errno);
        return;
      }
    }
  }
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}
