#include "fsutil.h"

#include <errno.h>
#include <unistd.h>

#include "qel_io/config/config.h"

std::string opError(std::string_view op, std::string_view path, int errnum) {
  std::string s(op);
  s += ' ';
  s += path;
  s += ": ";
  s += errnoText(errnum);
  return s;
}

std::string renameError(std::string_view oldPath, std::string_view newPath, int errnum) {
  std::string s = "rename ";
  s += oldPath;
  s += ' ';
  s += newPath;
  s += ": ";
  s += errnoText(errnum);
  return s;
}

int writeAllFd(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

void writeStdout(std::string_view data) { (void)writeAllFd(STDOUT_FILENO, data); }

int readAllFd(int fd, std::string* out, size_t limit) {
  char buf[1 << 16];
  while (out->size() <= limit) {
    // One byte past the limit tells a longer input from one that fits.
    size_t room = limit - out->size();
    ssize_t n = ::read(fd, buf, room < sizeof buf ? room + 1 : sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    out->append(buf, static_cast<size_t>(n));
  }
  return 0;
}
