#include "json.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

using namespace std::string_literals;

namespace {

std::string jsonString(std::string_view s) {
  std::string out;
  appendJsonString(&out, s);
  return out;
}

struct EscapeCase {
  const char* name;
  std::string in;
  std::string want;  // without the surrounding quotes
};
// Listings and failures show the case by its name, not its bytes.
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

const EscapeCase kEscapeCases[] = {
    {"empty", "", ""},
    {"plain ascii", "rp-1.example.com:443", "rp-1.example.com:443"},
    {"slash unchanged", "a/b", "a/b"},
    {"del unchanged", "\x7f", "\x7f"},
    {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
    {"short escapes", "\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
    {"nul", "a\0b"s, "a\\u0000b"},
    {"other control bytes", "\x01\x0b\x0e\x1b\x1f", "\\u0001\\u000b\\u000e\\u001b\\u001f"},
    {"space is plain", " ", " "},
    {"html characters", "<a href='x'>&amp;</a>", "\\u003ca href='x'\\u003e\\u0026amp;\\u003c/a\\u003e"},
    {"line separator", "a\xE2\x80\xA8z", "a\\u2028z"},
    {"paragraph separator", "\xE2\x80\xA9", "\\u2029"},
    {"neighbours of the separators", "\xE2\x80\xA7\xE2\x80\xAA", "\xE2\x80\xA7\xE2\x80\xAA"},
    {"valid 2-byte", "caf\xC3\xA9", "caf\xC3\xA9"},
    {"valid 3-byte", "\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},
    {"valid 4-byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {"range edges", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
     "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
    {"lone continuation byte", "a\x80z", "a\\ufffdz"},
    {"two continuation bytes", "\xBF\x80", "\\ufffd\\ufffd"},
    {"overlong 2-byte", "\xC0\x80", "\\ufffd\\ufffd"},
    {"overlong 2-byte C1", "\xC1\xBF", "\\ufffd\\ufffd"},
    {"overlong 3-byte", "\xE0\x80\xAF", "\\ufffd\\ufffd\\ufffd"},
    {"overlong 4-byte", "\xF0\x8F\xBF\xBF", "\\ufffd\\ufffd\\ufffd\\ufffd"},
    {"high surrogate", "\xED\xA0\x80", "\\ufffd\\ufffd\\ufffd"},
    {"low surrogate", "\xED\xBF\xBF", "\\ufffd\\ufffd\\ufffd"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
    {"F5 lead", "\xF5\x80\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
    {"FE and FF", "\xFE\xFF", "\\ufffd\\ufffd"},
    {"truncated 2-byte at end", "a\xC3", "a\\ufffd"},
    {"truncated 3-byte at end", "a\xE2\x82", "a\\ufffd\\ufffd"},
    {"truncated 4-byte at end", "\xF0\x9F\x98", "\\ufffd\\ufffd\\ufffd"},
    {"truncated 3-byte mid-string", "\xE2\x82" "A", "\\ufffd\\ufffdA"},
    {"truncated 4-byte mid-string", "\xF0\x9F\x98" "A", "\\ufffd\\ufffd\\ufffdA"},
    {"truncated before a valid sequence", "\xE2\xC3\xA9", "\\ufffd\xC3\xA9"},
    {"truncated before an escape", "\xC3<", "\\ufffd\\u003c"},
    {"truncated separator", "\xE2\x80", "\\ufffd\\ufffd"},
};

class EscapeTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, WritesExactBytes) {
  const EscapeCase& c = GetParam();
  EXPECT_EQ(jsonString(c.in), "\"" + c.want + "\"");
}

INSTANTIATE_TEST_SUITE_P(Table, EscapeTest, testing::ValuesIn(kEscapeCases),
                         [](const testing::TestParamInfo<EscapeCase>& param) {
                           std::string n;
                           for (const char* p = param.param.name; *p; ++p) n += std::isalnum(*p) ? *p : '_';
                           return n;
                         });

TEST(AppendJsonString, AppendsToWhatIsThere) {
  std::string out = "[";
  appendJsonString(&out, "a<b");
  out += ',';
  appendJsonString(&out, "");
  EXPECT_EQ(out, "[\"a\\u003cb\",\"\"");
}

// Encodes code point cp as UTF-8.
void appendUtf8(std::string* s, uint32_t cp) {
  if (cp < 0x80) {
    s->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    s->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    s->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// What a reader must see: valid text comes back unchanged, and the output
// never carries a raw control byte, "<", ">", "&" or a separator.
void expectSafeAndFaithful(const std::string& in, bool validUtf8) {
  const std::string out = jsonString(in);
  for (unsigned char c : out) {
    ASSERT_GE(c, 0x20) << "raw control byte in " << testing::PrintToString(out);
    ASSERT_TRUE(c != '<' && c != '>' && c != '&') << testing::PrintToString(out);
  }
  ASSERT_EQ(out.find("\xE2\x80\xA8"), std::string::npos);
  ASSERT_EQ(out.find("\xE2\x80\xA9"), std::string::npos);
  // The parser refuses invalid UTF-8 inside strings, so a successful parse
  // shows that no invalid byte got through.
  nlohmann::json parsed;
  ASSERT_NO_THROW(parsed = nlohmann::json::parse(out)) << testing::PrintToString(in);
  if (validUtf8) {
    EXPECT_EQ(parsed.get<std::string>(), in);
  }
}

TEST(AppendJsonString, RandomValidTextRoundTrips) {
  std::mt19937 engine(20240611);
  const auto rng = [&] { return static_cast<uint32_t>(engine()); };
  // Weighted towards ASCII (escapes included) and the separators.
  for (int round = 0; round < 2000; ++round) {
    std::string in;
    const int len = static_cast<int>(rng() % 24);
    for (int k = 0; k < len; ++k) {
      uint32_t cp;
      switch (rng() % 6) {
        case 0: cp = rng() % 0x80; break;
        case 1: cp = 0x80 + rng() % 0x780; break;
        case 2: cp = 0x2028 + rng() % 2; break;
        case 3: cp = 0x800 + rng() % (0xD800 - 0x800); break;
        case 4: cp = 0xE000 + rng() % 0x2000; break;
        default: cp = 0x10000 + rng() % 0x100000; break;
      }
      appendUtf8(&in, cp);
    }
    expectSafeAndFaithful(in, true);
  }
}

TEST(AppendJsonString, RandomBytesGiveValidJson) {
  std::mt19937 engine(7);
  const auto rng = [&] { return static_cast<uint32_t>(engine()); };
  for (int round = 0; round < 5000; ++round) {
    std::string in;
    const int len = static_cast<int>(rng() % 16);
    for (int k = 0; k < len; ++k) {
      // Mostly bytes from the multi-byte range, where the faults hide.
      const uint32_t r = rng();
      in.push_back(static_cast<char>(r % 4 == 0 ? r % 0x80 : 0x80 + (r >> 8) % 0x80));
    }
    expectSafeAndFaithful(in, false);
  }
}

TEST(AppendJsonObject, MembersInByteOrder) {
  const std::map<std::string, std::string> members = {
      {"b", "1"}, {"a", "<2>"}, {"\xC3\xA9t\xC3\xA9", "x"}, {"Z", ""}, {"a-b", "y"}};
  std::string out = "x";
  appendJsonObject(&out, members);
  EXPECT_EQ(out, "x{\"Z\":\"\",\"a\":\"\\u003c2\\u003e\",\"a-b\":\"y\",\"b\":\"1\",\"\xC3\xA9t\xC3\xA9\":\"x\"}");
}

TEST(AppendJsonObject, Empty) {
  std::string out;
  appendJsonObject(&out, {});
  EXPECT_EQ(out, "{}");
}

TEST(AppendJsonInt, Values) {
  std::string out;
  appendJsonInt(&out, 0);
  out += ',';
  appendJsonInt(&out, -1);
  out += ',';
  appendJsonInt(&out, INT64_MIN);
  out += ',';
  appendJsonInt(&out, INT64_MAX);
  EXPECT_EQ(out, "0,-1,-9223372036854775808,9223372036854775807");
}

}  // namespace
