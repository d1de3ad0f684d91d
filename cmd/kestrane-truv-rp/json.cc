#include "json.h"

#include <cstring>

namespace {

// Escape text for the ASCII bytes that cannot be copied as they stand; null
// for the bytes that can.
struct AsciiEscapes {
  const char* text[0x80] = {};

  constexpr AsciiEscapes() {
    for (int c = 0; c < 0x20; ++c) text[c] = kControl[c];
    text[static_cast<unsigned char>('"')] = "\\\"";
    text[static_cast<unsigned char>('\\')] = "\\\\";
    text[static_cast<unsigned char>('\b')] = "\\b";
    text[static_cast<unsigned char>('\f')] = "\\f";
    text[static_cast<unsigned char>('\n')] = "\\n";
    text[static_cast<unsigned char>('\r')] = "\\r";
    text[static_cast<unsigned char>('\t')] = "\\t";
    text[static_cast<unsigned char>('<')] = "\\u003c";
    text[static_cast<unsigned char>('>')] = "\\u003e";
    text[static_cast<unsigned char>('&')] = "\\u0026";
  }

  static constexpr const char* kControl[0x20] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\u0008", "\\u0009", "\\u000a", "\\u000b", "\\u000c", "\\u000d", "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
};

constexpr AsciiEscapes kAscii;

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Whether all 8 bytes of w are copied as they stand: no control byte, no
// '"', '\\', '<', '>' or '&', nothing at or above 0x80. Word-wide tests that
// are exact for "any byte" (not for which one); the upstreams listing of a
// large rp config is tens of megabytes of mostly such bytes.
bool plainWord(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  const auto hasZero = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  uint64_t bad = w & kHighs;
  bad |= (w - kOnes * 0x20) & ~w & kHighs;  // a byte below 0x20
  bad |= hasZero(w ^ (kOnes * '"')) | hasZero(w ^ (kOnes * '\\')) | hasZero(w ^ (kOnes * '<')) |
         hasZero(w ^ (kOnes * '>')) | hasZero(w ^ (kOnes * '&'));
  return bad == 0;
}

// Length of the well-formed UTF-8 sequence that starts with the non-ASCII
// byte at s[i], or 0 when that byte does not start one. The ranges of the
// second byte rule out overlong forms, surrogates and values above U+10FFFF.
size_t utf8SequenceLength(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = at(i);
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;  // a continuation byte, C0, C1 or F5..FF
  }
  if (s.size() - i < len) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (!isContinuation(at(i + k))) return 0;
  }
  return len;
}

}  // namespace

void appendJsonString(std::string* out, std::string_view s) {
  // Most texts need no escape at all: one append.
  size_t plain = 0;
  while (s.size() - plain >= 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + plain, 8);
    if (!plainWord(w)) break;
    plain += 8;
  }
  while (plain < s.size() && static_cast<unsigned char>(s[plain]) < 0x80 &&
         kAscii.text[static_cast<unsigned char>(s[plain])] == nullptr)
    ++plain;
  if (plain == s.size()) {
    out->reserve(out->size() + s.size() + 2);
    out->push_back('"');
    out->append(s);
    out->push_back('"');
    return;
  }
  out->push_back('"');
  // Bytes from runStart to i are copied unchanged in one append.
  size_t runStart = 0;
  size_t i = 0;
  const auto flush = [&] { out->append(s.data() + runStart, i - runStart); };
  while (i < s.size()) {
    while (s.size() - i >= 8) {
      uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if (!plainWord(w)) break;
      i += 8;
    }
    if (i == s.size()) break;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (kAscii.text[c] == nullptr) {
        ++i;
        continue;
      }
      flush();
      out->append(kAscii.text[c]);
      runStart = ++i;
      continue;
    }
    const size_t len = utf8SequenceLength(s, i);
    if (len == 0) {
      flush();
      out->append("\\ufffd");
      runStart = ++i;
      continue;
    }
    // U+2028 and U+2029 (E2 80 A8, E2 80 A9) end lines in JavaScript.
    if (c == 0xE2 && s[i + 1] == '\x80' && (s[i + 2] == '\xA8' || s[i + 2] == '\xA9')) {
      flush();
      out->append(s[i + 2] == '\xA8' ? "\\u2028" : "\\u2029");
      i += 3;
      runStart = i;
      continue;
    }
    i += len;
  }
  flush();
  out->push_back('"');
}

void appendJsonInt(std::string* out, int64_t v) { out->append(std::to_string(v)); }

void appendJsonObject(std::string* out, const std::map<std::string, std::string>& members) {
  out->push_back('{');
  bool first = true;
  for (const auto& [name, value] : members) {
    if (!first) out->push_back(',');
    first = false;
    appendJsonString(out, name);
    out->push_back(':');
    appendJsonString(out, value);
  }
  out->push_back('}');
}
