#include "quote.h"

#include <algorithm>
#include <iterator>

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

// Printable code points as the Unicode Character Database defines them:
// letters, marks, numbers, punctuation, symbols and U+0020 SPACE. Other
// spaces, controls, format characters, surrogates, private use and
// unassigned code points are not, so a message never shows them raw.
struct Range {
  char32_t lo, hi;
};
constexpr Range kPrintable[] = {
#include "unicode_printable.inc"
};

// The lookup below relies on this; a hand edit of the table that breaks it
// fails the build.
constexpr bool sortedAndDisjoint() {
  for (size_t i = 0; i < std::size(kPrintable); ++i) {
    if (kPrintable[i].lo > kPrintable[i].hi || kPrintable[i].hi > 0x10FFFF) return false;
    if (i > 0 && kPrintable[i].lo <= kPrintable[i - 1].hi) return false;
  }
  return true;
}
static_assert(sortedAndDisjoint());
// isPrintable answers for ASCII without the table.
static_assert(kPrintable[0].lo == 0x20 && kPrintable[0].hi == 0x7E && kPrintable[1].lo >= 0x80);

bool isPrintable(char32_t cp) {
  // Most text is ASCII; the table's first range says the same.
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  // The first range that starts after cp; the one before it is the only
  // one that can hold cp.
  const Range* r = std::upper_bound(std::begin(kPrintable), std::end(kPrintable), cp,
                                    [](char32_t v, const Range& x) { return v < x.lo; });
  return r != std::begin(kPrintable) && cp <= std::prev(r)->hi;
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

