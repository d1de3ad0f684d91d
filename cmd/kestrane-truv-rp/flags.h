// The general option parser: a set of named options bound to process-wide
// values, parsed from the arguments after the command word. Parse ends the
// process on an error (status 2, the message and the help listing on stderr)
// or a request for help (status 0); it never writes to stdout.
#ifndef KTRP_FLAGS_H_
#define KTRP_FLAGS_H_

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

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

#endif  // KTRP_FLAGS_H_
