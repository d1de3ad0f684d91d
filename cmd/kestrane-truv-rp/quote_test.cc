#include "quote.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

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

}  // namespace
