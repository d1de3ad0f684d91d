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

