// The edits of the rp select config: the threshold, the weight of a name on
// one select line, and the removal of a name from the select lines.
//
// Each edit is made of changeSelectLine steps: a line is rebuilt from the
// value the configuration library reads for its key, every line of that key
// is removed, and the rebuilt line is appended without a line end (so it
// moves to the end of the file), unless it holds no value. Where an edit
// takes many steps (a name removed from every domain line, or a default line
// written for every upstream), they are done as one rewrite that leaves
// exactly the bytes the steps one after the other would: the same values,
// the same order of the moved lines, the same line ends.
#ifndef KTRP_SELECT_EDIT_H_
#define KTRP_SELECT_EDIT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Rebuilds the default select line (domain empty) or the line of domain:
// drops every entry of name, appends " name:weight" unless remove, replaces
// the line in the file, and leaves it out when it ends up without a value.
void changeSelectLine(const std::string& selectPath, const std::string& name, const std::string& domain,
                      bool remove, int64_t weight);
// changeSelectLine on every domain select line of the file, one after the
// other, in the order the library gives the file's settings.
void changeFromAllDomainLines(const std::string& selectPath, const std::string& name, bool remove,
                              int64_t weight);
// Whether the rp config holds a non-empty address for the alias name.
bool nameExists(const std::string& name, const std::string& rpPath);
// Replaces the threshold line with optSetThreshold.
void setThreshold(const std::string& selectPath);
// Sets the weight (the first positional argument, 0 to 100) of
// optSetWeightForName on the line of optDomain, or on the default line.
void setWeight(const std::string& selectPath, const std::string& rpPath);
// Takes optRemoveName out of the select lines (out of the line of optDomain
// alone when it is given); without a default select line, writes one of
// every other registry key of the rp config at weight 1.
void removeName(const std::string& selectPath, const std::string& rpPath);

// Pure pieces of the editing, exposed for tests.

// startText, then " part" for each blank-separated part of value whose name
// (text before the first ":") is not name, then " name:weight" unless remove.
std::string rebuildSelectLine(std::string_view startText, std::string_view value, std::string_view name,
                              bool remove, int64_t weight);
// True when the line, trimmed, has no "=" or nothing between its first "="
// and the next one.
bool emptySelectLine(std::string_view line);
// The default select line that adding each of names at weight 1, one
// changeSelectLine after the other, leaves on a file without one. Built in
// one pass: between two of those steps the library reads the value back
// without the blanks and tabs at its ends, which is modelled here. names is
// not empty.
std::string defaultLineOfNames(const std::vector<std::string>& names);

#endif  // KTRP_SELECT_EDIT_H_
