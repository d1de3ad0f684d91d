// The command words: one table holds, for each, its line of the usage text,
// the registration of its options and its handler. Dispatch, option
// registration and the usage text all read it.
#ifndef KTRP_COMMANDS_H_
#define KTRP_COMMANDS_H_

#include <span>
#include <string>

struct Command {
  const char* word;
  // Its line of the usage text, without the line end.
  const char* usageLine;
  // Registers its options on the global option set; null for none.
  void (*registerOptions)();
  // Runs it under the global lock, given the rp config's path.
  void (*handler)(const std::string& rpPath);
};

// The nine commands, in the order of the usage text.
std::span<const Command> commands();

// The thirteen lines of the usage text.
std::string usageText();
// Writes the usage text to stdout and ends the process with status 10.
[[noreturn]] void usage();

// Takes the command word from argv (compared byte for byte), registers its
// options and parses the rest. Ends the process with the usage text, an
// option error or help.
const Command& parseArgs(int argc, char** argv);

// The option registrations the table uses.
void parseAddOrChangeUpstream();
void parseRmUpstream();
void parseGetUpstream();
void parseExport();
void parseImport();
void parseBalance();

#endif  // KTRP_COMMANDS_H_
