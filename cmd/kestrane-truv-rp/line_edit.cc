#include "line_edit.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "die.h"
#include "files.h"
#include "fsutil.h"
#include "key_syntax.h"
#include "options.h"
#include "paths.h"

namespace {

constexpr size_t kReadBlock = 1 << 20;
constexpr size_t kWriteBuffer = 1 << 20;

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Collects a copy's lines and writes them in large pieces; a failed write
// ends the run (which removes the copy).
class CopyWriter {
 public:
  explicit CopyWriter(ReplacementCopy* copy) : copy_(copy) { buf_.reserve(kWriteBuffer); }

  std::string* buffer() { return &buf_; }

  // Call after each appended line.
  void maybeFlush() {
    if (buf_.size() >= kWriteBuffer) flush();
  }

  void flush() {
    if (FileError e = copy_->write(buf_)) dieStatusf(255, "Failed to write to file %s (%s)", copy_->path(), e.text);
    buf_.clear();
  }

 private:
  ReplacementCopy* copy_;
  std::string buf_;
};

// Reads inFd to its end, passing every line to onLine. A read error ends the
// run; the file stays as it was.
template <typename F>
void forEachLine(int inFd, const std::string& inPath, F&& onLine) {
  std::unique_ptr<char[]> block(new char[kReadBlock]);
  LineSplitter splitter;
  for (;;) {
    ssize_t n = ::read(inFd, block.get(), kReadBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      dieStatusf(255, "Failed to read %s (%s)", inPath, opError("read", inPath, errno));
    }
    if (n == 0) break;
    splitter.feed(std::string_view(block.get(), static_cast<size_t>(n)), onLine);
  }
  splitter.finish(onLine);
}

// Syncs the copy and moves it over path.
void replaceWithCopy(ReplacementCopy* copy, const std::string& path) {
  const std::string copyPath = copy->path();
  if (FileError e = copy->replace(path)) {
    if (e.step == FileError::kSync) dieStatusf(255, "Failed to sync file %s (%s)", copyPath, e.text);
    dieStatusf(255, "Failed to change %s (%s)", path, e.text);
  }
}

// The file that a copy replaces, opened for reading.
int openToReplace(const std::string& path) {
  int fd = openForReplacing(path);
  if (fd < 0) dieStatusf(255, "Failed to open %s (%s)", path, opError("open", path, errno));
  return fd;
}

// line without up to count "\r" at its end.
std::string_view dropCarriageReturns(std::string_view line, size_t count) {
  for (; count > 0 && !line.empty() && line.back() == '\r'; --count) line.remove_suffix(1);
  return line;
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void saveLineToFile(const std::string& path, std::string_view text) {
  FileError e = appendToFile(path, text, 0600);
  if (!e) return;
  if (e.step == FileError::kOpen) dieStatusf(255, "Failed to open %s (%s)", path, e.text);
  if (e.step == FileError::kWrite) dieStatusf(255, "Failed to write to file %s (%s)", path, e.text);
  dieStatusf(255, "Failed to sync file %s (%s)", path, e.text);
}

void removeLines(const std::string& path, const std::vector<std::string>& prefixes) {
  replaceLines(path, prefixes, {});
}

void replaceLines(const std::string& path, const std::vector<std::string>& prefixes, std::string_view text,
                  size_t rewrites) {
  ReplacementCopy copy;
  if (FileError e = copy.create(getTruvTmpDir(), baseName(path)))
    dieStatusf(255, "Failed to create %s (%s)", path, e.text);
  int inFd = openToReplace(path);

  std::vector<std::string> prepared;
  prepared.reserve(prefixes.size());
  for (const std::string& p : prefixes) prepared.push_back(removeBlanks(p));

  CopyWriter out(&copy);
  forEachLine(inFd, path, [&](std::string_view line) {
    for (const std::string& p : prepared)
      if (startsWithIgnoringBlanks(line, p)) return;
    std::string* buf = out.buffer();
    buf->append(dropCarriageReturns(line, rewrites - 1));
    buf->push_back('\n');
    out.maybeFlush();
  });
  out.buffer()->append(text);
  out.flush();
  replaceWithCopy(&copy, path);
  ::close(inFd);
}

std::string afterRewrites(std::string_view appended, size_t laterRewrites) {
  if (laterRewrites == 0) return std::string(appended);
  std::string out;
  LineSplitter splitter;
  auto onLine = [&](std::string_view line) {
    out.append(dropCarriageReturns(line, laterRewrites - 1));
    out.push_back('\n');
  };
  splitter.feed(appended, onLine);
  splitter.finish(onLine);
  return out;
}

void changeRpSelectAlias(const std::string& oldAlias) {
  const std::string selectPath = getRpSelectConfig();
  struct stat st;
  if (::stat(selectPath.c_str(), &st) != 0 && errno == ENOENT) return;

  ReplacementCopy copy;
  const std::string copyPath = selectPath + "~";
  if (FileError e = copy.createOrReuse(copyPath)) dieStatusf(255, "Failed to create %s (%s)", copyPath, e.text);
  int inFd = openToReplace(selectPath);

  const std::string newAlias = optAlias;
  CopyWriter out(&copy);
  forEachLine(inFd, selectPath, [&](std::string_view line) {
    std::string* buf = out.buffer();
    appendWithAliasRenamed(line, oldAlias, newAlias, buf);
    buf->push_back('\n');
    out.maybeFlush();
  });
  out.flush();
  replaceWithCopy(&copy, selectPath);
  ::close(inFd);
}

std::string removeBlanks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != ' ') out += c;
  return out;
}

bool startsWithIgnoringBlanks(std::string_view line, std::string_view prepared) {
  // Up to the line's first blank both are compared as they stand, in one
  // go: most lines of a large file differ from the prefix there.
  const size_t n = std::min(line.size(), prepared.size());
  const size_t head = std::min(line.substr(0, n).find(' '), n);
  if (line.substr(0, head) != prepared.substr(0, head)) return false;
  size_t i = head;
  for (char want : prepared.substr(head)) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size() || line[i] != want) return false;
    ++i;
  }
  return true;
}

void appendWithAliasRenamed(std::string_view line, std::string_view oldAlias, std::string_view newAlias,
                            std::string* out) {
  if (!isSelectLine(line)) {
    out->append(line);
    return;
  }
  size_t pos = line.find('=') + 1;
  // The reader drops blanks and tabs before the value; so do the entries.
  while (pos < line.size() && isBlankOrTab(line[pos])) ++pos;
  out->append(line.substr(0, pos));
  bool first = true;
  forEachSelectPart(line.substr(pos), [&](std::string_view part) {
    if (!first) out->push_back(' ');
    first = false;
    if (part.find(':') != std::string_view::npos && selectEntryName(part) == oldAlias) {
      out->append(newAlias);
      out->append(part.substr(oldAlias.size()));
    } else {
      out->append(part);
    }
  });
}
