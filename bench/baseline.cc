// The least work a command must do on its files, to compare the tool with:
// read each file whole and split it into lines; for a file the command
// rewrites, also write the lines into a copy, sync it and rename it over the
// file; for a file it appends to, append one line and sync it.
//
//   ktrp-bench-baseline OP:PATH...   OP is r (read), w (rewrite), a (append)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "baseline: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  _exit(1);
}

std::string readWhole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open", path);
  struct stat st;
  if (::fstat(fd, &st) != 0) fail("stat", path);
  std::string data(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t len = 0;
  for (;;) {
    if (len == data.size()) data.resize(data.size() * 2);
    ssize_t n = ::read(fd, data.data() + len, data.size() - len);
    if (n < 0) fail("read", path);
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  ::close(fd);
  data.resize(len);
  return data;
}

std::vector<std::string_view> splitLines(std::string_view data) {
  std::vector<std::string_view> lines;
  while (!data.empty()) {
    size_t nl = data.find('\n');
    if (nl == std::string_view::npos) nl = data.size();
    lines.push_back(data.substr(0, nl));
    data.remove_prefix(std::min(nl + 1, data.size()));
  }
  return lines;
}

void writeAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) fail("write", path);
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void rewrite(const std::string& path, const std::vector<std::string_view>& lines) {
  std::string out;
  size_t size = 0;
  for (std::string_view l : lines) size += l.size() + 1;
  out.reserve(size);
  for (std::string_view l : lines) {
    out += l;
    out += '\n';
  }
  const std::string copy = path + ".baseline-copy";
  int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("open", copy);
  writeAll(fd, out, copy);
  if (::fsync(fd) != 0) fail("sync", copy);
  ::close(fd);
  if (::rename(copy.c_str(), path.c_str()) != 0) fail("rename", copy);
}

void append(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) fail("open", path);
  writeAll(fd, "rp.upstreams[baseline].address = 192.0.2.1:7443\n", path);
  if (::fsync(fd) != 0) fail("sync", path);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  size_t lineCount = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.size() < 3 || arg[1] != ':') {
      std::fprintf(stderr, "baseline: bad argument %s\n", argv[i]);
      return 2;
    }
    const std::string path(arg.substr(2));
    if (arg[0] == 'a') {
      append(path);
      continue;
    }
    const std::string data = readWhole(path);
    const std::vector<std::string_view> lines = splitLines(data);
    lineCount += lines.size();
    if (arg[0] == 'w') rewrite(path, lines);
  }
  return lineCount == static_cast<size_t>(-1) ? 1 : 0;
}
