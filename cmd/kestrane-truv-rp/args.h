// The command line: the process-wide option values, the general option
// parser, the usage text and the command word.
#ifndef KTRP_ARGS_H_
#define KTRP_ARGS_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Option values, set by the option parser and read by the handlers. Only the
// options of the run's command word are registered; the others keep these
// values for the whole run.
extern std::string optDcUid, optAlias, optAddress, optRedirect, optSecret, optDigest, optStat;
extern std::string optFile, optRegId, optDomain;
extern std::string optWeightForName, optSetWeightForName, optRemoveName;
extern bool optGetThreshold, optWeights, optJson;
extern int64_t optSetThreshold;  // -1: not requested
extern bool optShowAlias, optShowAddress, optShowRedirect, optShowStat, optShowSecret, optShowDigest;

// Quotes a value for messages: double quotes, backslash escapes for quote,
// backslash and control bytes, \xNN for other control or invalid UTF-8 bytes,
// \uNNNN or \UNNNNNNNN for other non-printable characters. Printability of
// non-ASCII characters comes from a small table (C1 controls, non-ASCII
// spaces, format characters, line/paragraph separators, private use and
// noncharacters); other code points, unassigned ones included, stay as they are.
std::string quoteValue(std::string_view s);

enum class IntError { kNone, kSyntax, kRange };

// Integer option syntax: optional sign, base prefix 0x/0b/0o/0 (else decimal),
// underscores between digits or after the prefix.
IntError parseOptionInt(std::string_view s, int64_t* out);
// Strict decimal: optional sign, then one or more of 0-9, signed 64-bit.
IntError parseDecimalInt(std::string_view s, int64_t* out);
// The text of a failed conversion: "parsing \"S\": invalid syntax" or
// "parsing \"S\": value out of range".
std::string intErrorText(std::string_view s, IntError e);

// The general option parser. Parse ends the process on an error (status 2)
// or a request for help (status 0); everything it prints goes to stderr.
class FlagSet {
 public:
  explicit FlagSet(std::string name) : name_(std::move(name)) {}

  void String(std::string name, std::string* value, std::string def, std::string help);
  void Bool(std::string name, bool* value, std::string help);
  void Int(std::string name, int64_t* value, int64_t def, std::string help);

  enum class Outcome { kOk, kError, kHelp };
  // Parses args without ending the process; on kError *message holds the
  // error line (without newline). Testable core of Parse.
  Outcome TryParse(const std::vector<std::string>& args, std::string* message);
  void Parse(const std::vector<std::string>& args);

  // The i-th positional argument, or "".
  std::string Arg(size_t i) const { return i < positional_.size() ? positional_[i] : std::string(); }
  size_t NArg() const { return positional_.size(); }
  // The help listing: "Usage of NAME:" and one entry per option, by name.
  std::string Defaults() const;

 private:
  struct Flag {
    std::variant<std::string*, bool*, int64_t*> value;
    std::string help;
    std::string defText;
  };
  // Applies one option (or stops): false when parsing ends, with *outcome set.
  bool parseOne(const std::vector<std::string>& args, size_t* pos, Outcome* outcome,
                std::string* message);
  std::string name_;
  std::map<std::string, Flag> flags_;  // ordered by name for the listing
  std::vector<std::string> positional_;
};

// The global option set, named after argv[0] by initCommandLine. Calling
// initCommandLine again replaces the set (tests build one per case).
FlagSet& commandLine();
void initCommandLine(const char* programName);

// The thirteen lines of the usage text.
std::string usageText();
// Writes the usage text to stdout and ends the process with status 10.
[[noreturn]] void usage();

// Takes the command word from argv, registers its options and parses the
// rest. Ends the process with the usage text, an option error or help.
std::string parseArgs(int argc, char** argv);

void parseAddOrChangeUpstream();
void parseRmUpstream();
void parseGetUpstream();
void parseExport();
void parseImport();
void parseBalance();

#endif  // KTRP_ARGS_H_
