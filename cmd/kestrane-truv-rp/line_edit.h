// Text edits of configuration files: append, remove lines by prefix, rename
// an alias in the select entries. Every failure ends the process (255).
//
// Both rewrites read lines of any length: a line ends at "\n" (not part of
// it), a "\r" right before that "\n" is dropped, and a last line without a
// line end is a line too (a "\r" at its very end is dropped as well). Every
// line is written back followed by "\n" alone. A read error leaves the file
// as it was; so does a copy that cannot be written or synced, which is then
// removed again.
#ifndef KTRP_LINE_EDIT_H_
#define KTRP_LINE_EDIT_H_

#include <string>
#include <string_view>
#include <vector>

// Appends text unchanged (no line end added) in one write, then fsync;
// creates a missing file with mode 0600. A write that fails partway (a full
// disk) is taken back: the file is cut to its old length, or removed when
// this call created it.
void saveLineToFile(const std::string& path, std::string_view text);

// Rewrites path without every line that, blanks removed, starts with one of
// the prefixes (blanks removed too), through a synced copy in var/tmp that is
// renamed over it. An empty prepared prefix matches every line.
void removeLines(const std::string& path, const std::vector<std::string>& prefixes);

// removeLines followed by saveLineToFile of text, as one change: text goes at
// the end of the copy before the rename, so that the file never shows the
// lines removed without their replacement, not even to a run killed between
// the two steps.
//
// A change that stands for several such steps in a row passes their number
// as rewrites: each rewrite drops one "\r" before a line end, so every kept
// line loses up to that many. Their appended texts, which the later steps
// rewrite too, come settled in text (afterRewrites).
void replaceLines(const std::string& path, const std::vector<std::string>& prefixes, std::string_view text,
                  size_t rewrites = 1);

// What an appended text becomes when the file is rewritten laterRewrites
// more times: unchanged when none, else each of its lines with up to that
// many "\r" dropped from its end, and a line end.
std::string afterRewrites(std::string_view appended, size_t laterRewrites);

// Renames oldAlias to optAlias in the select entries of the rp select config,
// through its "~" copy; nothing happens when the file does not exist.
void changeRpSelectAlias(const std::string& oldAlias);

// The pieces of the rewrites that do not touch files.

// Cuts a byte stream into lines by the rules above, in chunks of any size.
// Each byte is copied at most once (only a line split across chunks is).
class LineSplitter {
 public:
  // Calls onLine(std::string_view) for each line that data completes.
  template <typename F>
  void feed(std::string_view data, F&& onLine) {
    while (!data.empty()) {
      size_t nl = data.find('\n');
      if (nl == std::string_view::npos) {
        partial_.append(data);
        return;
      }
      if (partial_.empty()) {
        onLine(dropCr(data.substr(0, nl)));
      } else {
        partial_.append(data.substr(0, nl));
        onLine(dropCr(partial_));
        partial_.clear();
      }
      data.remove_prefix(nl + 1);
    }
  }

  // The end of the input: emits a last line that had no line end.
  template <typename F>
  void finish(F&& onLine) {
    if (partial_.empty()) return;
    onLine(dropCr(partial_));
    partial_.clear();
  }

 private:
  static std::string_view dropCr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }
  std::string partial_;
};

// s without its blanks (space characters; tabs stay).
std::string removeBlanks(std::string_view s);

// Whether line, read without its blanks, begins with prepared (a prefix that
// holds no blanks). The line itself is not copied.
bool startsWithIgnoringBlanks(std::string_view line, std::string_view prepared);

// Appends line to out with every select entry named oldAlias renamed to
// newAlias: entries are the blank-separated parts of the value after the
// first "=" of a select line (key_syntax.h), an entry's name its text before
// the first ":". Other lines, and the rest of a select line, are appended
// unchanged.
void appendWithAliasRenamed(std::string_view line, std::string_view oldAlias, std::string_view newAlias,
                            std::string* out);

#endif  // KTRP_LINE_EDIT_H_
