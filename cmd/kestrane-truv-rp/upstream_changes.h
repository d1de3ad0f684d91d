// Handlers that change the upstream registry in the rp config: add, remove
// and change an upstream. Each runs under the global lock, reads the option
// values, checks everything before its first write and ends the process on
// a failure; on success it returns and prints nothing.
#ifndef KTRP_UPSTREAM_CHANGES_H_
#define KTRP_UPSTREAM_CHANGES_H_

#include <string>

// add-upstream: appends the block of the new upstream's lines to the rp
// config, then creates the instance's missing identity files.
void addUpstream(const std::string& rpPath);

// rm-upstream: removes the alias from the select lines (account balancing),
// then the upstream's six property lines from the rp config.
void rmUpstream(const std::string& rpPath);

// change-upstream: replaces the given properties, or with -alias moves the
// whole upstream to the new alias and renames it in the select entries.
void changeUpstream(const std::string& rpPath);

// The rename step of change-upstream: fills every empty property value
// (redirect: empty or "_UNSET_") from the lines of currentAlias (the alias
// getAliasFromUid found for optDcUid), and refuses a new alias that another
// upstream already holds.
void changeWithAlias(const std::string& rpPath, const std::string& currentAlias);

#endif  // KTRP_UPSTREAM_CHANGES_H_
