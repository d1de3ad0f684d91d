#include "flags.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "fsutil.h"
#include "int_conversion.h"
#include "quote.h"

void FlagSet::String(std::string name, std::string* value, std::string def, std::string help) {
  *value = def;
  flags_[std::move(name)] = Flag{value, std::move(help), std::move(def)};
}

void FlagSet::Bool(std::string name, bool* value, std::string help) {
  *value = false;
  flags_[std::move(name)] = Flag{value, std::move(help), "false"};
}

void FlagSet::Int(std::string name, int64_t* value, int64_t def, std::string help) {
  *value = def;
  flags_[std::move(name)] = Flag{value, std::move(help), std::to_string(def)};
}

namespace {

bool parseBoolText(std::string_view v, bool* out) {
  static constexpr std::string_view kTrue[] = {"1", "t", "T", "TRUE", "true", "True"};
  static constexpr std::string_view kFalse[] = {"0", "f", "F", "FALSE", "false", "False"};
  if (std::find(std::begin(kTrue), std::end(kTrue), v) != std::end(kTrue)) {
    *out = true;
    return true;
  }
  if (std::find(std::begin(kFalse), std::end(kFalse), v) != std::end(kFalse)) {
    *out = false;
    return true;
  }
  return false;
}

}  // namespace

bool FlagSet::parseOne(const std::vector<std::string>& args, size_t* pos, Outcome* outcome,
                       std::string* message) {
  *outcome = Outcome::kOk;
  if (*pos == args.size()) return false;
  const std::string& s = args[*pos];
  if (s.size() < 2 || s[0] != '-') return false;  // first positional argument
  size_t minuses = 1;
  if (s[1] == '-') {
    minuses = 2;
    if (s.size() == 2) {  // "--" ends the options and is dropped
      ++*pos;
      return false;
    }
  }
  std::string name = s.substr(minuses);
  if (name[0] == '-' || name[0] == '=') {
    *outcome = Outcome::kError;
    *message = "bad flag syntax: " + s;
    return false;
  }
  ++*pos;
  bool hasValue = false;
  std::string value;
  if (size_t eq = name.find('=', 1); eq != std::string::npos) {
    value = name.substr(eq + 1);
    name.resize(eq);
    hasValue = true;
  }

  auto it = flags_.find(name);
  if (it == flags_.end()) {
    if (name == "h" || name == "help") {
      *outcome = Outcome::kHelp;
    } else {
      *outcome = Outcome::kError;
      *message = "flag provided but not defined: -" + name;
    }
    return false;
  }
  Flag& flag = it->second;

  if (bool** b = std::get_if<bool*>(&flag.value)) {
    // A boolean never takes the next argument.
    if (!hasValue) {
      **b = true;
    } else if (!parseBoolText(value, *b)) {
      *outcome = Outcome::kError;
      *message = "invalid boolean value " + quoteValue(value) + " for -" + name + ": parse error";
      return false;
    }
    return true;
  }

  if (!hasValue) {
    if (*pos == args.size()) {
      *outcome = Outcome::kError;
      *message = "flag needs an argument: -" + name;
      return false;
    }
    value = args[(*pos)++];  // whatever it holds, a leading "-" included
  }
  if (std::string** str = std::get_if<std::string*>(&flag.value)) {
    **str = std::move(value);
    return true;
  }
  int64_t n = 0;
  IntError e = parseOptionInt(value, &n);
  if (e != IntError::kNone) {
    *outcome = Outcome::kError;
    *message = "invalid value " + quoteValue(value) + " for flag -" + name + ": " +
               (e == IntError::kRange ? "value out of range" : "parse error");
    return false;
  }
  *std::get<int64_t*>(flag.value) = n;
  return true;
}

FlagSet::Outcome FlagSet::TryParse(const std::vector<std::string>& args, std::string* message) {
  size_t pos = 0;
  Outcome outcome = Outcome::kOk;
  while (parseOne(args, &pos, &outcome, message)) {
  }
  if (outcome == Outcome::kOk) positional_.assign(args.begin() + static_cast<std::ptrdiff_t>(pos), args.end());
  return outcome;
}

void FlagSet::Parse(const std::vector<std::string>& args) {
  std::string message;
  switch (TryParse(args, &message)) {
    case Outcome::kOk:
      return;
    case Outcome::kHelp:
      writeAllFd(STDERR_FILENO, Defaults());
      _exit(0);
    case Outcome::kError:
      writeAllFd(STDERR_FILENO, message + "\n" + Defaults());
      _exit(2);
  }
}

std::string FlagSet::Defaults() const {
  std::string out = "Usage of " + name_ + ":\n";
  for (const auto& [name, flag] : flags_) {
    std::string entry = "  -" + name;
    const char* zero = "false";
    if (std::holds_alternative<std::string*>(flag.value)) {
      entry += " string";
      zero = "";
    } else if (std::holds_alternative<int64_t*>(flag.value)) {
      entry += " int";
      zero = "0";
    }
    // A one-letter boolean keeps its help on the same line.
    entry += entry.size() <= 4 ? "\t" : "\n    \t";
    entry += flag.help;
    if (flag.defText != zero) entry += " (default " + flag.defText + ")";
    entry += '\n';
    out += entry;
  }
  return out;
}


namespace {
std::unique_ptr<FlagSet> globalFlags;
}

FlagSet& commandLine() {
  if (!globalFlags) globalFlags = std::make_unique<FlagSet>("kestrane-truv-rp");
  return *globalFlags;
}

void initCommandLine(const char* programName) {
  globalFlags = std::make_unique<FlagSet>(programName != nullptr ? programName : "");
}

