#include "int_conversion.h"

#include "quote.h"

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

