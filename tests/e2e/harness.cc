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
#include <sys/resource.h>
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

// Why runs cannot be made on this machine, or "" when they can: the mount
// point /etc/kestrane must exist (an empty directory is all that is ever left
// in the real /etc), and a child must be able to bind a directory over it in a
// mount namespace of its own.
std::string whyRunsCannotBeMade() {
  if (::geteuid() != 0)
    return "end-to-end runs need root: each binds a scratch /etc/kestrane in a private mount namespace";
  if (::mkdir("/etc/kestrane", 0755) != 0 && errno != EEXIST)
    return std::string("cannot create the mount point /etc/kestrane: ") + strerror(errno);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  char scratch[] = "/tmp/ktrp-e2e-probe-XXXXXX";
  if (::mkdtemp(scratch) == nullptr) {
    ::close(report[0]);
    ::close(report[1]);
    return std::string("mkdtemp: ") + strerror(errno);
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    const char* failed = nullptr;
    if (::unshare(CLONE_NEWNS) != 0)
      failed = "unshare";
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      failed = "mount private";
    else if (::mount(scratch, "/etc/kestrane", nullptr, MS_BIND, nullptr) != 0)
      failed = "bind mount";
    if (failed != nullptr) dprintf(report[1], "cannot make a private mount namespace: %s: %s", failed, strerror(errno));
    _exit(failed == nullptr ? 0 : 1);
  }
  ::close(report[1]);
  std::string reason;
  char buf[256];
  ssize_t n;
  while ((n = ::read(report[0], buf, sizeof buf)) > 0) reason.append(buf, static_cast<size_t>(n));
  ::close(report[0]);
  if (pid < 0) {
    reason = std::string("fork: ") + strerror(errno);
  } else {
    int ws = 0;
    while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    if (reason.empty() && !(WIFEXITED(ws) && WEXITSTATUS(ws) == 0)) reason = "the mount namespace probe failed";
  }
  ::rmdir(scratch);
  return reason;
}

int removeEntry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }

[[noreturn]] void childFail(const char* what) {
  dprintf(2, "harness: %s: %s\n", what, strerror(errno));
  _exit(127);
}

}  // namespace

void EndToEndTest::SetUp() {
  static const std::string reason = whyRunsCannotBeMade();
  if (!reason.empty()) GTEST_SKIP() << reason;
}

const char* binaryPath() { return KTRP_BINARY; }
const char* testdataDir() { return KTRP_TESTDATA_DIR; }

Instance::Instance() {
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
  std::unique_ptr<Process> p = start(args, opts);
  return p ? p->wait() : RunResult{};
}

std::unique_ptr<Process> Instance::start(const std::vector<std::string>& args, const RunOptions& opts) const {
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return nullptr;
  }
  std::string etc = dir_ + "/etc";
  std::string cwd = opts.cwd.empty() ? dir_ : opts.cwd;
  std::vector<std::string> argvStore = opts.wrapper;
  argvStore.push_back(opts.wrapper.empty() ? opts.argv0 : std::string(binaryPath()));
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  const char* program = opts.wrapper.empty() ? binaryPath() : argvStore.front().c_str();
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Opened before the fork: the child may only make system calls.
  int nsFd = -1;
  if (opts.mountNamespaceOf > 0) {
    std::string ns = "/proc/" + std::to_string(opts.mountNamespaceOf) + "/ns/mnt";
    nsFd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) {
      ADD_FAILURE() << "open " << ns << ": " << strerror(errno);
      for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
      return nullptr;
    }
  }

  if (opts.stdoutWithoutReader) {
    // Gone before the fork: every write of the run fails with EPIPE (or
    // SIGPIPE, unless the run ignores it).
    ::close(outPipe[0]);
    outPipe[0] = -1;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (nsFd >= 0 && ::setns(nsFd, CLONE_NEWNS) != 0) childFail("setns");
    if (::unshare(CLONE_NEWNS) != 0) childFail("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) childFail("mount private");
    if (::mount(etc.c_str(), "/etc/kestrane", nullptr, MS_BIND, nullptr) != 0) childFail("bind mount");
    if (::chdir(cwd.c_str()) != 0) childFail("chdir");
    ::umask(opts.umask);
    if (opts.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      childFail("drop privileges");
    if (!opts.stdinFile.empty()) {
      int fd = ::open(opts.stdinFile.c_str(), O_RDONLY);
      if (fd < 0 || ::dup2(fd, 0) != 0) childFail("stdin file");
    }
    if (opts.addressSpaceLimit > 0) {
      struct rlimit limit = {opts.addressSpaceLimit, opts.addressSpaceLimit};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) childFail("setrlimit");
    }
    // Closed last, so that the harness's own failures above still reach stderr.
    if (opts.closeStdin) ::close(0);
    if (opts.closeStdout) ::close(1);
    if (opts.closeStderr) ::close(2);
    char* envp[] = {nullptr};
    ::execve(program, argv.data(), envp);
    childFail("execve");
  }
  if (nsFd >= 0) ::close(nsFd);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    for (int fd : {inPipe[1], outPipe[0], errPipe[0]}) ::close(fd);
    return nullptr;
  }
  std::unique_ptr<Process> p(new Process);
  p->pid_ = pid;
  p->started_ = std::chrono::steady_clock::now();
  p->input_ = opts.input;
  p->inFd_ = inPipe[1];
  p->outFd_ = outPipe[0];
  p->errFd_ = errPipe[0];
  return p;
}

Process::~Process() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  collect(nullptr);
}

void Process::signal(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

RunResult Process::wait() { return collect(nullptr); }

RunResult Process::waitOrKill(std::chrono::microseconds killAfter) {
  auto killAt = started_ + killAfter;
  return collect(&killAt);
}

RunResult Process::collect(const std::chrono::steady_clock::time_point* killAt) {
  RunResult r;
  if (pid_ <= 0) return r;
  bool killed = false;
  // Feed stdin and drain stdout/stderr together so neither side blocks.
  size_t fed = 0;
  int inFd = inFd_;
  if (input_.empty()) {
    ::close(inFd);
    inFd = -1;
  } else {
    ::fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  int outFd = outFd_, errFd = errFd_;
  inFd_ = outFd_ = errFd_ = -1;
  char buf[65536];
  while (outFd >= 0 || errFd >= 0) {
    struct pollfd fds[3];
    int n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    int timeout = -1;
    if (killAt != nullptr && !killed) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*killAt - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ::kill(pid_, SIGKILL);
        killed = true;
      } else {
        timeout = static_cast<int>(left.count());
      }
    }
    if (::poll(fds, static_cast<nfds_t>(n), timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (fd == inFd) {
        ssize_t w = ::write(inFd, input_.data() + fed, input_.size() - fed);
        if (w > 0) fed += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) fed = input_.size();
        if (fed == input_.size()) {
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
  while (::waitpid(pid_, &ws, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return r;
}

PrivateTmpfs::PrivateTmpfs(const std::string& mountPoint, size_t sizeBytes) {
  // Small pages only, so that a test can count what fits.
  std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755,huge=never";
  int ready[2], hold[2];
  if (::pipe2(ready, O_CLOEXEC) || ::pipe2(hold, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    ::close(hold[1]);
    int result = 0;  // 0, or the errno of the step that failed
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0)
      result = errno;
    if (::write(ready[1], &result, sizeof result) != static_cast<ssize_t>(sizeof result) || result != 0) _exit(1);
    char c;
    while (::read(hold[0], &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  ::close(ready[1]);
  ::close(hold[0]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    ::close(ready[0]);
    ::close(hold[1]);
    return;
  }
  pid_ = pid;
  holdFd_ = hold[1];
  int result = -1;
  ssize_t got = ::read(ready[0], &result, sizeof result);
  ::close(ready[0]);
  if (got != static_cast<ssize_t>(sizeof result) || result != 0)
    ADD_FAILURE() << "mount tmpfs at " << mountPoint << ": " << (result > 0 ? strerror(result) : "no answer");
}

PrivateTmpfs::~PrivateTmpfs() {
  if (pid_ <= 0) return;
  ::close(holdFd_);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string PrivateTmpfs::at(const std::string& path) const {
  return "/proc/" + std::to_string(pid_) + "/root" + path;
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

namespace {

void snapshotInto(const std::string& dir, const std::string& rel, Snapshot* out) {
  for (const std::string& name : listDir(dir)) {
    std::string path = dir + "/" + name, key = rel + name;
    if (key == "var/lock") continue;  // every run takes its lock there
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    SnapshotEntry e;
    e.ino = st.st_ino;
    e.mode = st.st_mode & 07777;
    e.dir = S_ISDIR(st.st_mode);
    if (e.dir)
      snapshotInto(path, key + "/", out);
    else
      e.content = readFile(path);
    if (key != "var") (*out)[key] = e;  // made with the lock directory
  }
}

}  // namespace

Snapshot snapshot(const Instance& inst) {
  Snapshot s;
  snapshotInto(inst.root(), "", &s);
  return s;
}
