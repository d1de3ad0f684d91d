// Reading the tool's configuration files through the binding: each file is
// parsed once per run, and again only when it may have changed since, with
// the failures every command treats alike.
//
// A parse is kept, with the identity and stamp of the file it came from
// (device, inode, size, modification time), for as long as the process runs;
// the tool never closes a handle. It is used again while the file at that
// path still has that identity and stamp and this run has not changed the
// file (files.h tells, through forgetParse). So every step of a command sees
// the file as the steps before it left it, as if it had parsed it anew.
#ifndef KTRP_CONFIG_READER_H_
#define KTRP_CONFIG_READER_H_

#include <string>
#include <string_view>

#include "qel_io/config/config.h"

// The parse of the file at path, or the binding's error.
std::pair<QELConfig, Error> parseConfig(const std::string& path);

// The parse of the file at path; a file that does not parse ends the run with
// "Error: %s" (255).
QELConfig parseOrDie(const std::string& path);

// Drops the kept parse of path: the file has changed.
void forgetParse(const std::string& path);

// The expanded value of key; a failed lookup counts as the empty value.
std::string lookup(QELConfig cfg, std::string_view key);

// The expanded value of the setting key that a walk met with rawValue, for
// as long as cfg lives: rawValue itself when it is made only of characters
// of the texts this tool writes (letters, digits and "-._:+/="), which the
// library leaves as they are; else the lookup of key. Spares the scans of
// large files a lookup for nearly every setting.
std::string_view expandedValue(QELConfig cfg, std::string_view key, std::string_view rawValue);

#endif  // KTRP_CONFIG_READER_H_
