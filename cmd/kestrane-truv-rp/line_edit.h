// Text edits of configuration files: append, remove lines by prefix, rename
// an alias in the select entries. Every failure ends the process (255).
#ifndef KTRP_LINE_EDIT_H_
#define KTRP_LINE_EDIT_H_

#include <string>
#include <string_view>
#include <vector>

// Appends text unchanged (no line end added) in one write, then fsync;
// creates a missing file with mode 0600.
void saveLineToFile(const std::string& path, std::string_view text);

// Rewrites path without every line that, blanks removed, starts with one of
// the prefixes (blanks removed too), through a synced copy in var/tmp that is
// renamed over it.
void removeLines(const std::string& path, const std::vector<std::string>& prefixes);

// Renames oldAlias to optAlias in the select entries of the rp select config,
// through its "~" copy; nothing happens when the file does not exist.
void changeRpSelectAlias(const std::string& oldAlias);

#endif  // KTRP_LINE_EDIT_H_
