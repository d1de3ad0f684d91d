#include "int_conversion.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(ParseOptionIntTest, BasesSignsAndUnderscores) {
  struct Case {
    const char* in;
    IntError err;
    int64_t want;
  } cases[] = {
      {"0", IntError::kNone, 0},
      {"42", IntError::kNone, 42},
      {"+5", IntError::kNone, 5},
      {"-7", IntError::kNone, -7},
      {"0x1F", IntError::kNone, 31},
      {"0X1f", IntError::kNone, 31},
      {"-0x10", IntError::kNone, -16},
      {"010", IntError::kNone, 8},
      {"-010", IntError::kNone, -8},
      {"0b11", IntError::kNone, 3},
      {"0B101", IntError::kNone, 5},
      {"0o17", IntError::kNone, 15},
      {"0O17", IntError::kNone, 15},
      {"00", IntError::kNone, 0},
      {"1_000", IntError::kNone, 1000},
      {"0x_1F", IntError::kNone, 31},
      {"0b_1_0", IntError::kNone, 2},
      {"0_1", IntError::kNone, 1},   // the leading 0 is a digit
      {"0_17", IntError::kNone, 15},
      {"9223372036854775807", IntError::kNone, INT64_MAX},
      {"-9223372036854775808", IntError::kNone, INT64_MIN},
      {"0x7fffffffffffffff", IntError::kNone, INT64_MAX},
      {"-0x8000000000000000", IntError::kNone, INT64_MIN},
      {"", IntError::kSyntax, 0},
      {"+", IntError::kSyntax, 0},
      {"-", IntError::kSyntax, 0},
      {"1.5", IntError::kSyntax, 0},
      {"ten", IntError::kSyntax, 0},
      {" 1", IntError::kSyntax, 0},
      {"1 ", IntError::kSyntax, 0},
      {"_1", IntError::kSyntax, 0},
      {"1_", IntError::kSyntax, 0},
      {"1__0", IntError::kSyntax, 0},
      {"-_1", IntError::kSyntax, 0},
      {"0x", IntError::kSyntax, 0},
      {"0x_", IntError::kSyntax, 0},
      {"0b", IntError::kSyntax, 0},
      {"0o", IntError::kSyntax, 0},
      {"08", IntError::kSyntax, 0},
      {"0b2", IntError::kSyntax, 0},
      {"0xg", IntError::kSyntax, 0},
      {"1f", IntError::kSyntax, 0},
      {"0_x1", IntError::kSyntax, 0},
      {"--1", IntError::kSyntax, 0},
      {"9223372036854775808", IntError::kRange, 0},
      {"-9223372036854775809", IntError::kRange, 0},
      {"0x8000000000000000", IntError::kRange, 0},
      {"99999999999999999999999", IntError::kRange, 0},
      // Malformed text is malformed, however long its number.
      {"99999999999999999999999x", IntError::kSyntax, 0},
  };
  for (const auto& c : cases) {
    int64_t got = 12345;
    EXPECT_EQ(parseOptionInt(c.in, &got), c.err) << '"' << c.in << '"';
    EXPECT_EQ(got, c.err == IntError::kNone ? c.want : 12345) << '"' << c.in << '"';
  }
}

TEST(ParseDecimalIntTest, StrictDecimal) {
  struct Case {
    const char* in;
    IntError err;
    int64_t want;
  } cases[] = {
      {"0", IntError::kNone, 0},
      {"100", IntError::kNone, 100},
      {"007", IntError::kNone, 7},  // leading zeros are decimal here
      {"+5", IntError::kNone, 5},
      {"-1", IntError::kNone, -1},
      {"-9223372036854775808", IntError::kNone, INT64_MIN},
      {"9223372036854775807", IntError::kNone, INT64_MAX},
      {"", IntError::kSyntax, 0},
      {"+", IntError::kSyntax, 0},
      {"0x10", IntError::kSyntax, 0},
      {"1_000", IntError::kSyntax, 0},
      {" 5", IntError::kSyntax, 0},
      {"5 ", IntError::kSyntax, 0},
      {"1.0", IntError::kSyntax, 0},
      {"abc", IntError::kSyntax, 0},
      {"9223372036854775808", IntError::kRange, 0},
      {"-9223372036854775809", IntError::kRange, 0},
  };
  for (const auto& c : cases) {
    int64_t got = 12345;
    EXPECT_EQ(parseDecimalInt(c.in, &got), c.err) << '"' << c.in << '"';
    EXPECT_EQ(got, c.err == IntError::kNone ? c.want : 12345) << '"' << c.in << '"';
  }
}

TEST(IntErrorTextTest, QuotesTheInput) {
  EXPECT_EQ(intErrorText("abc", IntError::kSyntax), R"(parsing "abc": invalid syntax)");
  EXPECT_EQ(intErrorText("99999999999999999999", IntError::kRange),
            R"(parsing "99999999999999999999": value out of range)");
  EXPECT_EQ(intErrorText("a\"\n", IntError::kSyntax), R"(parsing "a\"\n": invalid syntax)");
}

}  // namespace
