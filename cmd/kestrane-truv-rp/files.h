// How the tool opens, creates, appends to and replaces files. It runs as root
// in directories that a less trusted account may write (conf.d, var/lock,
// var/tmp, the certs* directories), so every file goes through here and these
// rules hold everywhere:
//
// - No open waits. Files are opened non-blocking and must be regular files: a
//   FIFO, socket or device fails as the open itself, with ENXIO ("no such
//   device or address"), a directory with EISDIR.
// - No write through a planted link. The last component of a path that is
//   created, appended to or replaced must not be a symbolic link (ELOOP), and
//   a file that is appended to or replaced must have no other hard link
//   (EMLINK). Symbolic links to directories on the way are followed.
// - Only the tool's own copy is renamed. A replacement copy is created
//   exclusively with mode 0600 (or, at a fixed name, reused only when it is a
//   regular file of one link), written through its descriptor, synced, and
//   renamed only while its path still names the file written (ESTALE
//   otherwise). What remains is the moment between that check and the rename
//   itself: rename(2) cannot be made to depend on the inode it moves. Using it
//   takes an account that can already write the copy's directory (var/tmp, or
//   conf.d for the "~" copy), and it must swap the name within those few
//   microseconds, which no file event announces.
// - Durable once it says so. New files and copies are synced before they
//   count as written, and every directory that gained a file or a rename is
//   synced by syncChangedDirectories() before the run ends with status 0: one
//   fsync per directory, however many files changed in it.
// - Read anew. A file changed here is parsed again at its next read
//   (config_reader.h).
// - Nothing half-written. A new file or copy is registered as unfinished until
//   it is complete; a failure anywhere (dieStatusf, running out of memory)
//   removes every unfinished file before the process ends. An append that
//   fails is cut back to the file's old length.
//
// Failures come back as a FileError naming the failed step and the error's
// text ("open PATH: DESCRIPTION"); callers end the run with their own
// messages, where the failure is found.
#ifndef KTRP_FILES_H_
#define KTRP_FILES_H_

#include <sys/types.h>

#include <cerrno>
#include <string>
#include <string_view>

// The error of a file refused for not being a regular file.
inline constexpr int kNotRegularFile = ENXIO;

struct FileError {
  enum Step { kNone, kCreate, kOpen, kRead, kWrite, kSync, kRename };
  Step step = kNone;
  int errnum = 0;
  std::string text;  // "open PATH: DESCRIPTION", "rename OLD NEW: DESCRIPTION"

  explicit operator bool() const { return step != kNone; }
};

// Opens path for reading: links followed, regular files only. Returns the
// descriptor, or -1 with errno set.
int openForReading(const std::string& path);

// Opens a file that a copy is about to replace, for reading: not through a
// link at its last component, a regular file of one link. Returns the
// descriptor, or -1 with errno set.
int openForReplacing(const std::string& path);

// Appends data to the file at path in one write and syncs it, creating the
// file exclusively with mode when it is missing. A write or sync that fails
// cuts the file back to its old length, or removes it when this call created
// it. Steps: kOpen, kWrite, kSync.
FileError appendToFile(const std::string& path, std::string_view data, mode_t mode);

// Creates the new file path exclusively with mode, writes data and syncs it.
// A name that exists (a file, a directory, a link, dangling or not) fails
// with kCreate and EEXIST; a file that cannot be written whole is removed.
// Steps: kCreate, kWrite, kSync.
FileError createFile(const std::string& path, mode_t mode, std::string_view data);

// Opens the lock file at path for writing, creating it with mode 0600 when
// it is missing; its content is never touched. Returns the descriptor, or -1
// with errno set.
int openLockFile(const std::string& path);

// A copy that replaces a file once it is written whole. Until then it is
// unfinished: a failure, or the copy going out of scope, removes it.
class ReplacementCopy {
 public:
  ReplacementCopy() = default;
  ~ReplacementCopy();
  ReplacementCopy(const ReplacementCopy&) = delete;
  ReplacementCopy& operator=(const ReplacementCopy&) = delete;

  // A new copy in dir, named prefix and a random decimal number, created
  // exclusively with mode 0600. Step: kCreate.
  FileError create(const std::string& dir, const std::string& prefix);
  // The copy at the fixed name path: created with mode 0600 when missing,
  // else reused (with its own mode) when it is a regular file of one link,
  // and emptied. Step: kCreate.
  FileError createOrReuse(const std::string& path);
  // Step: kWrite.
  FileError write(std::string_view data);
  // Syncs the copy and renames it over target, provided its path still names
  // the file written. Steps: kSync, kRename.
  FileError replace(const std::string& target);

  const std::string& path() const { return path_; }

 private:
  FileError opened(int fd, const std::string& path);
  void discard();

  int fd_ = -1;
  std::string path_;
};

// Syncs every directory in which this run created or renamed a file, once
// each. Step: kSync (the text names the directory).
FileError syncChangedDirectories();

// Removes every unfinished file of this run. For the ways out on a failure;
// allocates nothing.
void abandonUnfinishedFiles();

#endif  // KTRP_FILES_H_
