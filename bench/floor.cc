// The floor of a command: the least work its job takes on its files, to
// hold the tool against. Each file is streamed through a small buffer and
// split into trimmed key/value pairs (the "key = value" lines); no line is
// kept beyond the one being split. A file the command rewrites is also
// written line by line into a copy beside it, synced and renamed over it;
// a file it appends to gets one line in one write, synced. At the end the
// directories of the renamed files are synced once each, unless -no-dir-sync,
// and the time those syncs took is printed ("directory sync: N us").
//
//   ktrp-bench-floor [-no-dir-sync] OP:PATH...
//     r:PATH  read and split
//     w:PATH  read and split, write a copy, sync it, rename it over PATH
//     a:PATH  append one line and sync
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kBufferSize = 64 * 1024;

[[noreturn]] void fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "ktrp-bench-floor: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  _exit(1);
}

void writeAll(int fd, const char* data, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write", path);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Buffered writes to the copy.
class Output {
 public:
  Output(int fd, std::string path) : fd_(fd), path_(std::move(path)) { buf_.reserve(kBufferSize); }
  void put(std::string_view s) {
    if (buf_.size() + s.size() > kBufferSize) flush();
    if (s.size() >= kBufferSize) {
      writeAll(fd_, s.data(), s.size(), path_);
      return;
    }
    buf_.append(s);
  }
  void flush() {
    writeAll(fd_, buf_.data(), buf_.size(), path_);
    buf_.clear();
  }

 private:
  int fd_;
  std::string path_;
  std::string buf_;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// What the pairs add up to, so that the split cannot be left out.
uint64_t digest = 0;

void splitLine(std::string_view line) {
  const void* eq = std::memchr(line.data(), '=', line.size());
  if (eq == nullptr) return;
  const size_t at = static_cast<size_t>(static_cast<const char*>(eq) - line.data());
  std::string_view key = trim(line.substr(0, at));
  std::string_view value = trim(line.substr(at + 1));
  if (key.empty() || key.front() == '#') return;
  digest = digest * 31 + key.size() * 7 + value.size() + static_cast<unsigned char>(key.back());
}

// Streams the file at path, splitting each line; each line also goes to out
// when given. Only a line that spans two reads is copied aside.
void scan(const std::string& path, Output* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open", path);
  std::vector<char> buf(kBufferSize);
  std::string carry;
  auto line = [&](std::string_view l) {
    splitLine(l);
    if (out != nullptr) {
      out->put(l);
      out->put("\n");
    }
  };
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read", path);
    }
    if (n == 0) break;
    std::string_view data(buf.data(), static_cast<size_t>(n));
    while (!data.empty()) {
      const void* nl = std::memchr(data.data(), '\n', data.size());
      if (nl == nullptr) {
        carry.append(data);
        break;
      }
      const size_t len = static_cast<size_t>(static_cast<const char*>(nl) - data.data());
      if (carry.empty()) {
        line(data.substr(0, len));
      } else {
        carry.append(data.substr(0, len));
        line(carry);
        carry.clear();
      }
      data.remove_prefix(len + 1);
    }
  }
  if (!carry.empty()) line(carry);
  ::close(fd);
}

std::string dirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void rewrite(const std::string& path) {
  const std::string copy = path + ".floor-copy";
  int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("open", copy);
  Output out(fd, copy);
  scan(path, &out);
  out.flush();
  if (::fsync(fd) != 0) fail("fsync", copy);
  ::close(fd);
  if (::rename(copy.c_str(), path.c_str()) != 0) fail("rename", copy);
}

void append(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) fail("open", path);
  const std::string_view line = "rp.upstreams[floor].address = 192.0.2.1:7443\n";
  writeAll(fd, line.data(), line.size(), path);
  if (::fsync(fd) != 0) fail("fsync", path);
  ::close(fd);
}

double now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void syncDir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("open", dir);
  if (::fsync(fd) != 0) fail("fsync", dir);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  bool dirSync = true;
  std::vector<std::string> renamedDirs;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-no-dir-sync") {
      dirSync = false;
      continue;
    }
    if (arg.size() < 3 || arg[1] != ':' || std::string_view("rwa").find(arg[0]) == std::string_view::npos) {
      std::fprintf(stderr, "ktrp-bench-floor: bad argument %s\n", argv[i]);
      return 2;
    }
    const std::string path(arg.substr(2));
    switch (arg[0]) {
      case 'r':
        scan(path, nullptr);
        break;
      case 'w': {
        rewrite(path);
        std::string dir = dirOf(path);
        bool seen = false;
        for (const std::string& d : renamedDirs) seen = seen || d == dir;
        if (!seen) renamedDirs.push_back(dir);
        break;
      }
      case 'a':
        append(path);
        break;
    }
  }
  const double start = now();
  if (dirSync)
    for (const std::string& d : renamedDirs) syncDir(d);
  std::printf("directory sync: %.0f us\n", (now() - start) * 1e6);
  return digest == UINT64_MAX ? 3 : 0;
}
