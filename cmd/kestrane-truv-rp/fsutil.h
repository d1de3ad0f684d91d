// Small file-system helpers shared by the tool's units.
#ifndef KTRP_FSUTIL_H_
#define KTRP_FSUTIL_H_

#include <cstdint>
#include <string>
#include <string_view>

// "OP PATH: DESCRIPTION", the text of a failed file operation, e.g.
// "open /srv/inst/conf.d/rp: no such file or directory".
std::string opError(std::string_view op, std::string_view path, int errnum);
// "rename OLD NEW: DESCRIPTION".
std::string renameError(std::string_view oldPath, std::string_view newPath, int errnum);

// Writes all of data to fd, retrying short writes and EINTR. Returns 0 or the
// errno of the failed write.
int writeAllFd(int fd, std::string_view data);

// Writes a result to standard output; failures are not reported.
void writeStdout(std::string_view data);

// Reads fd from its current offset to its end, or until out holds more than
// limit bytes. Returns 0 or an errno.
int readAllFd(int fd, std::string* out, size_t limit = SIZE_MAX);

#endif  // KTRP_FSUTIL_H_
