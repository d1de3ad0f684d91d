#include "quote.h"

#include <cstdio>
#include <ios>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flags.h"

namespace {

// UTF-8 of one code point, written here on its own rather than taken from
// the code under test.
std::string utf8(char32_t cp) {
  std::string s;
  auto put = [&](unsigned v) { s += static_cast<char>(v); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
  return s;
}

std::string hexEscape(const char* prefix, char32_t cp, int digits) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%s%0*x", prefix, digits, static_cast<unsigned>(cp));
  return std::string(buf, static_cast<size_t>(n));
}

// The generated table, read a second time: the test marks every code point
// from its ranges so that the lookup in quote.cc is checked against the
// data, not against itself.
struct Range {
  char32_t lo, hi;
};
constexpr Range kTable[] = {
#include "unicode_printable.inc"
};

std::vector<bool> printableMap() {
  std::vector<bool> m(0x110000, false);
  for (const Range& r : kTable)
    for (char32_t cp = r.lo; cp <= r.hi && cp < 0x110000; ++cp) m[cp] = true;
  return m;
}

TEST(QuoteValueTest, EscapesLikeMessagesNeed) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {"\a\b\f\n\r\t\v", R"("\a\b\f\n\r\t\v")"},
      {std::string("a\0b", 3), R"("a\x00b")"},
      {"\x01\x1f\x7f", R"("\x01\x1f\x7f")"},
      {"\x1b[0m", R"("\x1b[0m")"},
      // Invalid UTF-8: stray continuation, truncated sequence, overlong
      // form, encoded surrogate, beyond U+10FFFF; each byte on its own.
      {"\x80", R"("\x80")"},
      {"a\xc3", R"("a\xc3")"},
      {"\xc3(", R"("\xc3(")"},
      {"\xc0\xaf", R"("\xc0\xaf")"},
      {"\xed\xa0\x80", R"("\xed\xa0\x80")"},
      {"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},
      {"\xff\xfe", R"("\xff\xfe")"},
      // Printable non-ASCII characters stay as they are.
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd\""},
      // Valid but not printable characters.
      {"\xc2\x85", R"("\u0085")"},            // C1 control
      {"\xc2\xa0", R"("\u00a0")"},            // no-break space
      {"\xc2\xad", R"("\u00ad")"},            // soft hyphen
      {"\xe2\x80\x8b", R"("\u200b")"},        // zero-width space
      {"\xe2\x80\xa8\xe2\x80\xa9", R"("\u2028\u2029")"},
      {"\xef\xbb\xbf", R"("\ufeff")"},
      {"\xef\xbf\xbf", R"("\uffff")"},
      {"\xf3\xa0\x80\x81", R"("\U000e0001")"},  // language tag
      {"\xf4\x8f\xbf\xbd", R"("\U0010fffd")"},  // private use
  };
  for (const auto& c : cases) EXPECT_EQ(quoteValue(c.in), c.want) << c.want;
}

// Code points at the edges of what the Unicode data calls printable,
// including both ends of ranges that UnicodeData.txt gives only as
// First/Last pairs, and characters new in the table's version.
TEST(QuoteValueTest, PrintableFollowsUnicodeCategories) {
  struct Case {
    char32_t cp;
    const char* escaped;  // nullptr: printable, stays as it is
  } cases[] = {
      {0x0378, R"(\u0378)"},        // unassigned in Greek
      {0x40000, R"(\U00040000)"},   // unassigned plane 4
      {0x00A0, R"(\u00a0)"},        // no-break space, Zs
      {0x3000, R"(\u3000)"},        // ideographic space, Zs
      {0x0085, R"(\u0085)"},        // next line, Cc
      {0x009F, R"(\u009f)"},        // last C1 control
      {0x00AD, R"(\u00ad)"},        // soft hyphen, Cf
      {0x061C, R"(\u061c)"},        // Arabic letter mark, Cf
      {0xFFF9, R"(\ufff9)"},        // interlinear annotation anchor, Cf
      {0x2028, R"(\u2028)"},        // line separator, Zl
      {0x2029, R"(\u2029)"},        // paragraph separator, Zp
      {0xE000, R"(\ue000)"},        // private use, first
      {0xF8FF, R"(\uf8ff)"},        // private use, last
      {0xF0000, R"(\U000f0000)"},   // plane 15 private use
      {0x10FFFD, R"(\U0010fffd)"},  // plane 16 private use, last
      {0xFDD0, R"(\ufdd0)"},        // noncharacter
      {0x1FFFE, R"(\U0001fffe)"},   // noncharacter
      {0x10FFFF, R"(\U0010ffff)"},  // last code point
      {0xFFFD, nullptr},            // replacement character, So
      {0x00A1, nullptr},            // first printable after the C1 block
      {0x00E9, nullptr},            // e with acute, Ll
      {0x0300, nullptr},            // combining grave accent, Mn
      {0x0CF3, nullptr},            // Kannada sign, new in 15.0, Mc
      {0x1F600, nullptr},           // grinning face, So
      {0xE0100, nullptr},           // variation selector 17, Mn
      {0x3400, nullptr},            // CJK extension A, first
      {0x4DBF, nullptr},            // CJK extension A, last
      {0x4E00, nullptr},            // CJK ideographs, first
      {0x9FFF, nullptr},            // CJK ideographs, last
      {0xAC00, nullptr},            // Hangul syllables, first
      {0xD7A3, nullptr},            // Hangul syllables, last
      {0xD7A4, R"(\ud7a4)"},        // unassigned after them
      {0x17000, nullptr},           // Tangut, first
      {0x187F7, nullptr},           // Tangut, last
      {0x187F8, R"(\U000187f8)"},   // unassigned after it
      {0x20000, nullptr},           // CJK extension B, first
      {0x2A6DF, nullptr},           // CJK extension B, last
      {0x2A6E0, R"(\U0002a6e0)"},   // unassigned after it
      {0x31350, nullptr},           // CJK extension H (new in 15.0), first
      {0x323AF, nullptr},           // CJK extension H, last
      {0x323B0, R"(\U000323b0)"},   // unassigned after it
  };
  for (const auto& c : cases) {
    std::string want = c.escaped ? c.escaped : utf8(c.cp);
    EXPECT_EQ(quoteValue(utf8(c.cp)), "\"" + want + "\"") << std::hex << "U+" << static_cast<unsigned>(c.cp);
  }
  // Among other text, an escape takes exactly its own character.
  EXPECT_EQ(quoteValue("a" + utf8(0x0378) + "b" + utf8(0x4E00) + utf8(0x40000) + "c"),
            "\"a\\u0378b" + utf8(0x4E00) + "\\U00040000c\"");
}

// Every code point, quoted alone, against the table read on its own.
TEST(QuoteValueTest, EveryCodePointMatchesTable) {
  const std::vector<bool> printable = printableMap();
  int failures = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // not encodable in UTF-8
    std::string want;
    switch (cp) {
      case '"': want = "\\\""; break;
      case '\\': want = "\\\\"; break;
      case '\a': want = "\\a"; break;
      case '\b': want = "\\b"; break;
      case '\f': want = "\\f"; break;
      case '\n': want = "\\n"; break;
      case '\r': want = "\\r"; break;
      case '\t': want = "\\t"; break;
      case '\v': want = "\\v"; break;
      default:
        if (printable[cp]) want = utf8(cp);
        else if (cp < 0x80) want = hexEscape("\\x", cp, 2);
        else if (cp < 0x10000) want = hexEscape("\\u", cp, 4);
        else want = hexEscape("\\U", cp, 8);
    }
    std::string got = quoteValue(utf8(cp));
    if (got != "\"" + want + "\"" && ++failures <= 10)
      ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(cp) << ": got " << got;
  }
  EXPECT_EQ(failures, 0);
}

// The table the lookup relies on: sorted, disjoint ranges inside Unicode,
// joined where they touch, with ASCII as the C locale has it, and nothing
// of the surrogates or the private use planes.
TEST(QuoteValueTest, TableIsWellFormed) {
  ASSERT_GT(std::size(kTable), 0u);
  EXPECT_EQ(kTable[0].lo, 0x20u);
  EXPECT_EQ(kTable[0].hi, 0x7Eu);
  for (size_t i = 0; i < std::size(kTable); ++i) {
    const Range& r = kTable[i];
    EXPECT_LE(r.lo, r.hi) << i;
    EXPECT_LE(r.hi, 0x10FFFFu) << i;
    if (i > 0) {
      EXPECT_GT(r.lo, kTable[i - 1].hi + 1) << i;
    }
    EXPECT_TRUE(r.hi < 0xD800 || r.lo > 0xDFFF) << i;
    EXPECT_LT(r.lo, 0xF0000u) << i;
  }
}

// The option parser quotes a rejected value the same way.
TEST(QuoteValueTest, OptionParserMessageUsesIt) {
  struct Case {
    std::string value, quoted;
  } cases[] = {
      {utf8(0x40000), R"("\U00040000")"},
      {utf8(0x0378), R"("\u0378")"},
      {utf8(0x00A0), R"("\u00a0")"},
      {utf8(0x00E9) + utf8(0x4E00), "\"" + utf8(0x00E9) + utf8(0x4E00) + "\""},
  };
  for (const auto& c : cases) {
    bool j = false;
    FlagSet set{"prog"};
    set.Bool("j", &j, "Print result in json format");
    std::string message;
    EXPECT_EQ(set.TryParse({"-j=" + c.value}, &message), FlagSet::Outcome::kError);
    EXPECT_EQ(message, "invalid boolean value " + c.quoted + " for -j: parse error");
  }
}

}  // namespace
