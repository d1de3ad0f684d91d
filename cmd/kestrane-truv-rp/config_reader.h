// Reading the tool's configuration files through the binding, with the
// failures every command treats alike.
#ifndef KTRP_CONFIG_READER_H_
#define KTRP_CONFIG_READER_H_

#include <string>
#include <string_view>

#include "qel_io/config/config.h"

// The parsed file at path; a file that does not parse ends the run with
// "Error: %s" (255). The handle lives as long as the process.
QELConfig parseOrDie(const std::string& path);

// The expanded value of key; a failed lookup counts as the empty value.
std::string lookup(QELConfig cfg, std::string_view key);

#endif  // KTRP_CONFIG_READER_H_
