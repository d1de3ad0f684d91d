// The command line as the tool reads it: the first input byte picks a row of
// the command table, whose options are registered as the tool does, and the
// rest, cut at NUL bytes, are the arguments that follow it. The option parser must
// end in one of its outcomes with a well-formed message, and what it parsed
// must read the same when written back as "--name=value". Every argument then
// goes through the text helpers: path cleaning (against its own rules and
// against std::filesystem), value quoting (valid UTF-8 that unquotes to the
// argument) and integer conversion (against strtoll and from_chars, and
// through its own spellings of the value).
#include <algorithm>
#include <cerrno>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "flags.h"
#include "fuzz_check.h"
#include "int_conversion.h"
#include "options.h"
#include "paths.h"
#include "quote.h"

namespace {

constexpr size_t kMaxArgs = 64;

// ---- the option parser -----------------------------------------------------

// Every option value, to compare two parses.
struct Values {
  std::vector<std::string> strings;
  std::vector<bool> bools;
  int64_t threshold;
  bool operator==(const Values&) const = default;
};

Values snapshot() {
  return {{optDcUid, optAlias, optAddress, optRedirect, optSecret, optDigest, optStat, optFile, optRegId,
           optDomain, optWeightForName, optSetWeightForName, optRemoveName},
          {optGetThreshold, optWeights, optJson, optShowAlias, optShowAddress, optShowRedirect, optShowStat,
           optShowSecret, optShowDigest},
          optSetThreshold};
}

// The options the command registers, by name, with how to write each back.
std::vector<std::string> spelledBack(const Command& cmd) {
  std::vector<std::string> args;
  auto str = [&](const char* name, const std::string& v) { args.push_back(std::string("--") + name + "=" + v); };
  auto boolean = [&](const char* name, bool v) { args.push_back(std::string("-") + name + (v ? "=true" : "=0")); };
  const std::string_view w = cmd.word;
  if (w == "add-upstream" || w == "change-upstream") {
    for (auto [n, v] : {std::pair{"dc-uid", &optDcUid}, {"alias", &optAlias}, {"address", &optAddress},
                        {"redirect", &optRedirect}, {"secret", &optSecret}, {"digest", &optDigest},
                        {"stat", &optStat}})
      str(n, *v);
  } else if (w == "rm-upstream") {
    str("dc-uid", optDcUid);
    str("alias", optAlias);
  } else if (w == "get-upstream") {
    str("dc-uid", optDcUid);
    for (auto [n, v] : {std::pair{"address", optShowAddress}, {"redirect", optShowRedirect},
                        {"alias", optShowAlias}, {"secret", optShowSecret}, {"digest", optShowDigest},
                        {"stat", optShowStat}, {"j", optJson}})
      boolean(n, v);
  } else if (w == "upstream-uids") {
    boolean("j", optJson);
  } else if (w == "export-registration") {
    str("out", optFile);
    str("reg-id", optRegId);
  } else if (w == "import-registration") {
    str("alias", optAlias);
    str("in", optFile);
  } else if (w == "accounts-balancing") {
    boolean("get-threshold", optGetThreshold);
    args.push_back(std::string("-set-threshold=") + std::to_string(optSetThreshold));
    str("weight-for-name", optWeightForName);
    str("domain", optDomain);
    str("set-weight-for-name", optSetWeightForName);
    str("remove-name", optRemoveName);
    boolean("weights", optWeights);
    boolean("j", optJson);
  }
  return args;
}

void registerOptionsOf(const Command& cmd) {
  if (cmd.registerOptions != nullptr) cmd.registerOptions();
}

void checkOptionParser(const Command& cmd, const std::vector<std::string>& args) {
  initCommandLine("fuzz");
  registerOptionsOf(cmd);
  const std::string defaults = commandLine().Defaults();
  FUZZ_CHECK(defaults.starts_with("Usage of fuzz:\n") && defaults.ends_with("\n"), "listing: %s",
             fuzzShow(defaults).c_str());

  std::string message;
  const FlagSet::Outcome outcome = commandLine().TryParse(args, &message);
  if (outcome == FlagSet::Outcome::kError) {
    static constexpr std::string_view kPrefixes[] = {
        "bad flag syntax: -", "flag provided but not defined: -", "invalid boolean value \"",
        "flag needs an argument: -", "invalid value \""};
    bool known = false;
    for (std::string_view p : kPrefixes) known = known || message.starts_with(p);
    FUZZ_CHECK(known, "message: %s", fuzzShow(message).c_str());
    return;
  }
  if (outcome == FlagSet::Outcome::kHelp) return;

  const size_t n = commandLine().NArg();
  FUZZ_CHECK(n <= args.size(), "%zu positional arguments of %zu", n, args.size());
  const size_t stop = args.size() - n;
  for (size_t i = 0; i < n; ++i)
    FUZZ_CHECK(commandLine().Arg(i) == args[stop + i], "positional %zu is not the argument", i);
  FUZZ_CHECK(commandLine().Arg(n).empty(), "Arg past the end");
  // Parsing stops only at a word that is no option, or just after "--".
  if (n > 0) {
    const std::string& first = args[stop];
    FUZZ_CHECK(first.size() < 2 || first[0] != '-' || (stop > 0 && args[stop - 1] == "--"),
               "stopped at the option %s", fuzzShow(first).c_str());
  }

  // What was parsed, written back in the long "=" form, parses the same.
  const Values parsed = snapshot();
  const std::vector<std::string> again = spelledBack(cmd);
  initCommandLine("fuzz");
  registerOptionsOf(cmd);
  FUZZ_CHECK(commandLine().TryParse(again, &message) == FlagSet::Outcome::kOk, "written back, refused: %s",
             fuzzShow(message).c_str());
  FUZZ_CHECK(commandLine().NArg() == 0, "written back, positional arguments left");
  FUZZ_CHECK(snapshot() == parsed, "written back, the values differ");
}

// ---- paths -----------------------------------------------------------------

void checkCleanPath(const std::string& x) {
  const std::string c = cleanPath(x);
  FUZZ_CHECK(!c.empty(), "cleanPath(\"%s\") is empty", fuzzShow(x).c_str());
  FUZZ_CHECK(cleanPath(c) == c, "cleanPath of \"%s\" changes again", fuzzShow(c).c_str());
  FUZZ_CHECK(c.find("//") == std::string::npos, "\"%s\" keeps \"//\"", fuzzShow(c).c_str());
  FUZZ_CHECK(c == "/" || !c.ends_with("/"), "\"%s\" ends with \"/\"", fuzzShow(c).c_str());
  FUZZ_CHECK(x.empty() || (x[0] == '/') == (c[0] == '/'), "\"%s\" -> \"%s\" changes rootedness",
             fuzzShow(x).c_str(), fuzzShow(c).c_str());
  // Parts: no ".", except "." alone; ".." only at the front of a relative path.
  const bool rooted = c[0] == '/';
  bool leading = true;
  size_t i = rooted ? 1 : 0;
  while (i < c.size()) {
    size_t j = c.find('/', i);
    if (j == std::string::npos) j = c.size();
    const std::string_view part(c.data() + i, j - i);
    FUZZ_CHECK(part != "." || c == ".", "\"%s\" keeps a \".\" part", fuzzShow(c).c_str());
    if (part == "..") {
      FUZZ_CHECK(!rooted && leading, "\"%s\" keeps a \"..\" that could go", fuzzShow(c).c_str());
    } else {
      leading = false;
    }
    i = j + 1;
  }
  if (!x.empty()) {
    FUZZ_CHECK(cleanPath(x + "/") == c && cleanPath(x + "/.") == c, "trailing \"/\" or \"/.\" matters for \"%s\"",
               fuzzShow(x).c_str());
  }
  // The standard library's lexical normal form, less its trailing separator.
  std::string normal = std::filesystem::path(x).lexically_normal().string();
  while (normal.size() > 1 && normal.ends_with("/")) normal.pop_back();
  if (normal.empty()) normal.push_back('.');
  FUZZ_CHECK(normal == c, "cleanPath(\"%s\") = \"%s\", lexically_normal \"%s\"", fuzzShow(x).c_str(),
             fuzzShow(c).c_str(), fuzzShow(normal).c_str());
}

void checkJoin(const std::string& a, const std::string& b) {
  const std::string joined = joinPath({a, b});
  if (a.empty() && b.empty()) {
    FUZZ_CHECK(joined.empty(), "joinPath of two empty parts");
  } else if (a.empty() || b.empty()) {
    FUZZ_CHECK(joined == cleanPath(a + b), "joinPath with an empty part");
  } else {
    FUZZ_CHECK(joined == cleanPath(a + "/" + b), "joinPath(\"%s\", \"%s\")", fuzzShow(a).c_str(), fuzzShow(b).c_str());
    // Cleaning the first part first changes nothing.
    FUZZ_CHECK(joinPath({cleanPath(a), b}) == joined, "joinPath after cleaning \"%s\"", fuzzShow(a).c_str());
  }
}

// ---- quoting ---------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at the front of s, or 0.
size_t utf8Length(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  if (b(0) < 0x80) return 1;
  size_t len = b(0) >= 0xF0 ? 4 : b(0) >= 0xE0 ? 3 : b(0) >= 0xC0 ? 2 : 0;
  if (len == 0 || b(0) > 0xF4 || s.size() < len) return 0;
  uint32_t cp = b(0) & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i) & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool validUtf8(std::string_view s) {
  while (!s.empty()) {
    const size_t n = utf8Length(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

void appendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | cp >> 6);
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | cp >> 12);
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | cp >> 18);
    *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Undoes the quoting; false on anything a quoted value must not hold.
bool unquote(std::string_view q, std::string* out) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return false;
  q = q.substr(1, q.size() - 2);
  auto hex = [&](size_t digits, uint32_t* v) {
    if (q.size() < digits) return false;
    *v = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char c = q[i];
      if (c >= '0' && c <= '9') *v = *v * 16 + static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') *v = *v * 16 + static_cast<uint32_t>(c - 'a' + 10);
      else return false;  // the digits are lower case
    }
    q.remove_prefix(digits);
    return true;
  };
  while (!q.empty()) {
    const unsigned char c = static_cast<unsigned char>(q[0]);
    q.remove_prefix(1);
    if (c == '"' || c < 0x20 || c == 0x7F) return false;
    if (c != '\\') {
      *out += static_cast<char>(c);
      continue;
    }
    if (q.empty()) return false;
    const char e = q[0];
    q.remove_prefix(1);
    uint32_t v = 0;
    switch (e) {
      case 'a': *out += '\a'; break;
      case 'b': *out += '\b'; break;
      case 'f': *out += '\f'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case 'v': *out += '\v'; break;
      case '\\': *out += '\\'; break;
      case '"': *out += '"'; break;
      case 'x':
        if (!hex(2, &v)) return false;
        *out += static_cast<char>(v);
        break;
      case 'u':
      case 'U':
        if (!hex(e == 'u' ? 4 : 8, &v) || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
        if (e == 'U' && v < 0x10000) return false;
        appendUtf8(out, v);
        break;
      default:
        return false;
    }
  }
  return true;
}

void checkQuote(const std::string& s) {
  const std::string q = quoteValue(s);
  FUZZ_CHECK(validUtf8(q), "quoteValue(\"%s\") is not UTF-8", fuzzShow(s).c_str());
  std::string back;
  FUZZ_CHECK(unquote(q, &back), "quoteValue(\"%s\") = \"%s\" is malformed", fuzzShow(s).c_str(), fuzzShow(q).c_str());
  FUZZ_CHECK(back == s, "quoteValue(\"%s\") = \"%s\" unquotes to \"%s\"", fuzzShow(s).c_str(), fuzzShow(q).c_str(),
             fuzzShow(back).c_str());
  // Valid UTF-8 that needs no escape is kept as it is.
  if (validUtf8(s) && s.find_first_of("\"\\") == std::string::npos) {
    bool plain = true;
    for (unsigned char c : s) plain = plain && c >= 0x20 && c < 0x7F;
    if (plain) FUZZ_CHECK(q == "\"" + s + "\"", "printable ASCII \"%s\" escaped", fuzzShow(s).c_str());
  }
}

// ---- integers --------------------------------------------------------------

std::string inBase(uint64_t magnitude, unsigned base, bool upper) {
  const char* digitOf = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string digits;
  do {
    digits += digitOf[magnitude % base];
    magnitude /= base;
  } while (magnitude > 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

std::string withUnderscores(const std::string& digits) {
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0) out += '_';
    out += digits[i];
  }
  return out;
}

void checkInt(const std::string& s) {
  int64_t n = 0;
  const IntError e = parseOptionInt(s, &n);
  FUZZ_CHECK(!intErrorText(s, e == IntError::kNone ? IntError::kSyntax : e).empty(), "no error text");

  // strtoll with base 0 reads the same language, less underscores and the
  // 0b and 0o prefixes, and after leading white space.
  const bool comparable = !s.empty() && !std::isspace(static_cast<unsigned char>(s[0])) &&
                          s.find_first_of("_bBoO") == std::string::npos;
  if (comparable) {
    errno = 0;
    char* end = nullptr;
    const long long ref = std::strtoll(s.c_str(), &end, 0);
    const bool whole = end == s.c_str() + s.size() && end != s.c_str();
    const IntError want = !whole ? IntError::kSyntax : errno == ERANGE ? IntError::kRange : IntError::kNone;
    FUZZ_CHECK(e == want, "parseOptionInt(\"%s\") gives %d, strtoll %d", fuzzShow(s).c_str(), static_cast<int>(e),
               static_cast<int>(want));
    if (want == IntError::kNone) FUZZ_CHECK(n == ref, "parseOptionInt(\"%s\") = %lld, strtoll %lld", fuzzShow(s).c_str(),
                                            static_cast<long long>(n), ref);
  }

  // Strict decimal against from_chars, which takes "-" but not "+".
  int64_t d = 0;
  const IntError de = parseDecimalInt(s, &d);
  std::string_view rest = s;
  if (rest.starts_with("+") && !rest.substr(1).starts_with("-")) rest.remove_prefix(1);
  int64_t ref = 0;
  const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), ref);
  const bool whole = ptr == rest.data() + rest.size() && !rest.empty() && !rest.starts_with("+");
  const IntError want = !whole || (ec != std::errc() && ec != std::errc::result_out_of_range) ? IntError::kSyntax
                        : ec == std::errc::result_out_of_range                            ? IntError::kRange
                                                                                          : IntError::kNone;
  FUZZ_CHECK(de == want, "parseDecimalInt(\"%s\") gives %d, from_chars %d", fuzzShow(s).c_str(),
             static_cast<int>(de), static_cast<int>(want));
  if (want == IntError::kNone) FUZZ_CHECK(d == ref, "parseDecimalInt(\"%s\")", fuzzShow(s).c_str());

  if (e != IntError::kNone) return;
  // Every spelling of the value reads back as the value.
  const bool negative = n < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  const std::string sign = negative ? "-" : "";
  const std::string dec = inBase(magnitude, 10, false), oct = inBase(magnitude, 8, false);
  for (const std::string& spelled :
       {std::to_string(n), sign + dec, (negative ? "-" : "+") + dec, sign + "0x" + inBase(magnitude, 16, false),
        sign + "0X" + inBase(magnitude, 16, true), sign + "0b" + inBase(magnitude, 2, false),
        sign + "0o" + oct, sign + "0" + oct, sign + "0" + withUnderscores(oct),
        sign + "0x_" + withUnderscores(inBase(magnitude, 16, false)), sign + withUnderscores(dec)}) {
    int64_t back = 0;
    const IntError be = parseOptionInt(spelled, &back);
    FUZZ_CHECK(be == IntError::kNone && back == n, "%lld spelled \"%s\" reads back as %lld (error %d)",
               static_cast<long long>(n), spelled.c_str(), static_cast<long long>(back), static_cast<int>(be));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Command& cmd = commands()[data[0] % commands().size()];
  std::vector<std::string> args;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t i = 0; i <= rest.size() && args.size() < kMaxArgs;) {
    size_t j = rest.find('\0', i);
    if (j == std::string_view::npos) j = rest.size();
    args.emplace_back(rest.substr(i, j - i));
    i = j + 1;
  }
  if (rest.empty()) args.clear();

  checkOptionParser(cmd, args);
  for (size_t i = 0; i < args.size(); ++i) {
    checkCleanPath(args[i]);
    checkQuote(args[i]);
    checkInt(args[i]);
    if (i + 1 < args.size()) checkJoin(args[i], args[i + 1]);
  }
  return 0;
}
