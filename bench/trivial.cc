// The floor of a run: a C++ program that opens one small file and reads it.
#include <fcntl.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return text.empty() ? 1 : 0;
}
