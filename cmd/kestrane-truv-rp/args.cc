#include "args.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "fsutil.h"

std::string optDcUid, optAlias, optAddress, optRedirect = "_UNSET_", optSecret, optDigest, optStat;
std::string optFile, optRegId, optDomain;
std::string optWeightForName, optSetWeightForName, optRemoveName;
bool optGetThreshold = false, optWeights = false, optJson = false;
int64_t optSetThreshold = -1;
bool optShowAlias = false, optShowAddress = false, optShowRedirect = false, optShowStat = false,
     optShowSecret = false, optShowDigest = false;

// ---- Quoting -------------------------------------------------------------

namespace {

const char kHex[] = "0123456789abcdef";

// Decodes one well-formed UTF-8 sequence at the front of s: no overlong
// forms, no surrogates, nothing above U+10FFFF. Returns its length, or 0.
size_t decodeUtf8(std::string_view s, char32_t* cp) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t len = 0;
  char32_t v = 0, min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    v = c & 0x1Fu;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    v = c & 0x0Fu;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    v = c & 0x07u;
    min = 0x10000;
  } else {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if (!cont(i)) return 0;
    v = (v << 6) | (b(i) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

// Non-ASCII code points that are not printable: C1 controls, spaces other
// than U+0020, format characters, line and paragraph separators, private
// use and noncharacters. Sorted, inclusive ranges.
struct Range {
  char32_t lo, hi;
};
constexpr Range kNonPrintable[] = {
    {0x0080, 0x00A0},    // C1 controls, no-break space
    {0x00AD, 0x00AD},    // soft hyphen
    {0x0600, 0x0605},    // Arabic number signs
    {0x061C, 0x061C},    // Arabic letter mark
    {0x06DD, 0x06DD},    // Arabic end of ayah
    {0x070F, 0x070F},    // Syriac abbreviation mark
    {0x0890, 0x0891},    // Arabic pound/piastre marks above
    {0x08E2, 0x08E2},    // Arabic disputed end of ayah
    {0x1680, 0x1680},    // Ogham space mark
    {0x180E, 0x180E},    // Mongolian vowel separator
    {0x2000, 0x200F},    // spaces, zero-width characters, direction marks
    {0x2028, 0x202F},    // line/paragraph separators, embeddings, narrow space
    {0x205F, 0x206F},    // medium space, invisible operators, isolates
    {0x3000, 0x3000},    // ideographic space
    {0xE000, 0xF8FF},    // private use
    {0xFDD0, 0xFDEF},    // noncharacters
    {0xFEFF, 0xFEFF},    // byte order mark
    {0xFFF0, 0xFFFB},    // unassigned, interlinear annotation
    {0xFFFE, 0xFFFF},    // noncharacters
    {0x110BD, 0x110BD},  // Kaithi number sign
    {0x110CD, 0x110CD},  // Kaithi number sign above
    {0x13430, 0x1343F},  // Egyptian hieroglyph format controls
    {0x1BCA0, 0x1BCA3},  // shorthand format controls
    {0x1D173, 0x1D17A},  // musical symbol format controls
    {0xE0000, 0xE007F},  // tags
    {0xF0000, 0x10FFFF}, // supplementary private use
};

bool isPrintable(char32_t cp) {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  if ((cp & 0xFFFE) == 0xFFFE) return false;  // every plane's last two
  return std::none_of(std::begin(kNonPrintable), std::end(kNonPrintable),
                      [cp](const Range& r) { return cp >= r.lo && cp <= r.hi; });
}

void appendHex(std::string* out, char32_t v, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out += kHex[(v >> shift) & 0xF];
}

}  // namespace

std::string quoteValue(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  while (!s.empty()) {
    char32_t cp = 0;
    size_t len = decodeUtf8(s, &cp);
    if (len == 0) {  // a byte outside valid UTF-8
      out += "\\x";
      appendHex(&out, static_cast<unsigned char>(s[0]), 2);
      s.remove_prefix(1);
      continue;
    }
    std::string_view raw = s.substr(0, len);
    s.remove_prefix(len);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\a': out += "\\a"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\v': out += "\\v"; continue;
      default: break;
    }
    if (isPrintable(cp)) {
      out += raw;
    } else if (cp < 0x80) {
      out += "\\x";
      appendHex(&out, cp, 2);
    } else if (cp < 0x10000) {
      out += "\\u";
      appendHex(&out, cp, 4);
    } else {
      out += "\\U";
      appendHex(&out, cp, 8);
    }
  }
  out += '"';
  return out;
}

// ---- Integer conversion --------------------------------------------------

namespace {

constexpr uint64_t kMaxMagnitude = uint64_t{1} << 63;  // |INT64_MIN|

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Accumulates digits of base into a magnitude of at most limit. The whole
// text is checked for syntax first, so malformed text is never reported as
// out of range. afterPrefix allows an underscore before the first digit.
IntError accumulate(std::string_view digits, int base, bool afterPrefix, bool allowUnderscore,
                    bool negative, int64_t* out) {
  if (digits.empty()) return IntError::kSyntax;
  const uint64_t limit = negative ? kMaxMagnitude : kMaxMagnitude - 1;
  const uint64_t ubase = static_cast<uint64_t>(base);
  uint64_t n = 0;
  bool overflow = false, anyDigit = false;
  bool prevDigit = afterPrefix, prevUnderscore = false;
  for (char c : digits) {
    if (c == '_' && allowUnderscore) {
      if (!prevDigit) return IntError::kSyntax;
      prevDigit = false, prevUnderscore = true;
      continue;
    }
    int d = digitValue(c);
    if (d < 0 || d >= base) return IntError::kSyntax;
    prevDigit = true, prevUnderscore = false, anyDigit = true;
    uint64_t ud = static_cast<uint64_t>(d);
    if (overflow || n > (limit - ud) / ubase)
      overflow = true;
    else
      n = n * ubase + ud;
  }
  if (!anyDigit || prevUnderscore) return IntError::kSyntax;
  if (overflow) return IntError::kRange;
  if (negative)
    *out = n == kMaxMagnitude ? INT64_MIN : -static_cast<int64_t>(n);
  else
    *out = static_cast<int64_t>(n);
  return IntError::kNone;
}

bool takeSign(std::string_view* s) {
  if (s->empty() || ((*s)[0] != '+' && (*s)[0] != '-')) return false;
  bool negative = (*s)[0] == '-';
  s->remove_prefix(1);
  return negative;
}

}  // namespace

IntError parseOptionInt(std::string_view s, int64_t* out) {
  bool negative = takeSign(&s);
  if (s.size() >= 2 && s[0] == '0') {
    int base = 0;
    switch (s[1]) {
      case 'x': case 'X': base = 16; break;
      case 'b': case 'B': base = 2; break;
      case 'o': case 'O': base = 8; break;
      default: break;
    }
    if (base != 0) return accumulate(s.substr(2), base, true, true, negative, out);
  }
  // A leading 0 means octal; the 0 itself is a digit, so "0_7" is fine.
  int base = !s.empty() && s[0] == '0' ? 8 : 10;
  return accumulate(s, base, false, true, negative, out);
}

IntError parseDecimalInt(std::string_view s, int64_t* out) {
  bool negative = takeSign(&s);
  return accumulate(s, 10, false, false, negative, out);
}

std::string intErrorText(std::string_view s, IntError e) {
  std::string text = "parsing " + quoteValue(s) + ": ";
  text += e == IntError::kRange ? "value out of range" : "invalid syntax";
  return text;
}

// ---- The option parser ---------------------------------------------------

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

// ---- The command line ----------------------------------------------------

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

std::string usageText() {
  return "TRUV rp config management tool.\n"
         "SYNOPSIS: kestrane-truv-rp command <command options>\n"
         "\n"
         "Commands:\n"
         "  add-upstream        add a new upstream to the rp config\n"
         "  rm-upstream         remove an existing upstream from the rp config\n"
         "  change-upstream     change the configuration of an existing upstream in the rp config\n"
         "  get-upstream        get the configuration of an existing upstream form the rp config\n"
         "  upstream-uids       get uid of all upstreams found in rp config\n"
         "  upstreams           get all upstreams found in rp config\n"
         "  export-registration export the RP registration from this upstream\n"
         "  import-registration import an RP registration from a file or stdin\n"
         "  accounts-balancing manage account balancing config for RP\n";
}

void usage() {
  writeStdout(usageText());
  _exit(10);
}

void parseAddOrChangeUpstream() {
  FlagSet& f = commandLine();
  f.String("dc-uid", &optDcUid, "", "DC UID of the upstream");
  f.String("alias", &optAlias, "", "Alias for the upstream");
  f.String("address", &optAddress, "", "FQDN[:PORT] of the upstream used by RP connection");
  f.String("redirect", &optRedirect, "", "FQDN[:PORT] of the upstream to redirect clients to. Optional");
  // Not given and given empty differ for change-upstream; the listing still
  // shows no default.
  optRedirect = "_UNSET_";
  f.String("secret", &optSecret, "", "Secret of the upstream");
  f.String("digest", &optDigest, "", "Digest of the upstream");
  f.String("stat", &optStat, "", "FQDN[:PORT] of the upstream for stats");
}

void parseRmUpstream() {
  FlagSet& f = commandLine();
  f.String("dc-uid", &optDcUid, "", "DC UID of the upstream");
  f.String("alias", &optAlias, "", "Alias for the upstream");
}

void parseGetUpstream() {
  FlagSet& f = commandLine();
  f.String("dc-uid", &optDcUid, "", "DC UID of the upstream");
  f.Bool("address", &optShowAddress, "FQDN[:PORT] of the upstream used by RP connection");
  f.Bool("redirect", &optShowRedirect, "FQDN[:PORT] of the upstream to redirect clients to");
  f.Bool("alias", &optShowAlias, "Alias for the upstream");
  f.Bool("secret", &optShowSecret, "Secret of the upstream");
  f.Bool("digest", &optShowDigest, "Digest of the upstream");
  f.Bool("stat", &optShowStat, "FQDN[:PORT] of the upstream for stats");
  f.Bool("j", &optJson, "Print result in json format");
}

void parseExport() {
  FlagSet& f = commandLine();
  f.String("out", &optFile, "", "Filename to export the upstream config to");
  f.String("reg-id", &optRegId, "", "Registration id");
}

void parseImport() {
  FlagSet& f = commandLine();
  f.String("alias", &optAlias, "", "Alias for the upstream");
  f.String("in", &optFile, "", "Filename to import the upstream config from");
}

void parseBalance() {
  FlagSet& f = commandLine();
  f.Bool("get-threshold", &optGetThreshold, "Get the current threshold");
  f.Int("set-threshold", &optSetThreshold, -1, "Set the current threshold");
  f.String("weight-for-name", &optWeightForName, "", "Get the weight for specific alias");
  f.String("domain", &optDomain, "", "Specify the domain");
  f.String("set-weight-for-name", &optSetWeightForName, "", "Set the weight for specific alias");
  f.String("remove-name", &optRemoveName, "", "Removes all occurrence of the specified name in the config");
  f.Bool("weights", &optWeights, "Show the weights for all upstreams and domains");
  f.Bool("j", &optJson, "Print result in json format");
}

std::string parseArgs(int argc, char** argv) {
  if (argc < 2) usage();
  std::string command = argv[1];
  if (command == "add-upstream" || command == "change-upstream") {
    parseAddOrChangeUpstream();
  } else if (command == "rm-upstream") {
    parseRmUpstream();
  } else if (command == "get-upstream") {
    parseGetUpstream();
  } else if (command == "upstream-uids") {
    commandLine().Bool("j", &optJson, "Print result in json format");
  } else if (command == "upstreams") {
    // no options; the listing is always JSON
  } else if (command == "export-registration") {
    parseExport();
  } else if (command == "import-registration") {
    parseImport();
  } else if (command == "accounts-balancing") {
    parseBalance();
  } else {
    usage();
  }
  commandLine().Parse(std::vector<std::string>(argv + 2, argv + argc));
  return command;
}
