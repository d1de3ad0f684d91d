#include "line_edit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

using Lines = std::vector<std::string>;

// Feeds text in chunks of chunkSize bytes (0: all at once).
Lines split(std::string_view text, size_t chunkSize = 0) {
  Lines lines;
  auto collect = [&](std::string_view l) { lines.emplace_back(l); };
  LineSplitter s;
  if (chunkSize == 0) chunkSize = text.size() + 1;
  for (size_t i = 0; i < text.size(); i += chunkSize) s.feed(text.substr(i, chunkSize), collect);
  s.finish(collect);
  return lines;
}

struct SplitCase {
  const char* name;
  std::string in;
  Lines want;
};

const SplitCase kSplitCases[] = {
    {"empty file has no lines", "", {}},
    {"lone line end is one empty line", "\n", {""}},
    {"empty lines kept", "a\n\n\nb\n", {"a", "", "", "b"}},
    {"last line without line end", "a\nb", {"a", "b"}},
    {"crlf", "a\r\nb\r\n", {"a", "b"}},
    {"cr at the very end", "a\nb\r", {"a", "b"}},
    {"lone cr is an empty last line", "a\n\r", {"a", ""}},
    {"only one cr dropped", "a\r\r\n", {"a\r"}},
    {"cr inside a line stays", "a\rb\n", {"a\rb"}},
    {"tabs and blanks untouched", "\t x \n", {"\t x "}},
    {"nul bytes are data", "a\0b\n"s, {"a\0b"s}},
};

TEST(LineSplitter, RulesHoldAtEveryChunkBoundary) {
  for (const SplitCase& c : kSplitCases) {
    EXPECT_EQ(split(c.in), c.want) << c.name;
    EXPECT_EQ(split(c.in, 1), c.want) << c.name << ", byte by byte";
    // Every split into two chunks, e.g. "\r" | "\n".
    for (size_t cut = 1; cut < c.in.size(); ++cut) {
      Lines got;
      auto collect = [&](std::string_view l) { got.emplace_back(l); };
      LineSplitter s;
      s.feed(std::string_view(c.in).substr(0, cut), collect);
      s.feed(std::string_view(c.in).substr(cut), collect);
      s.finish(collect);
      EXPECT_EQ(got, c.want) << c.name << ", cut at " << cut;
    }
  }
}

TEST(LineSplitter, LinesOfAnyLengthComeWhole) {
  const std::string atBound(65535, 'x');
  const std::string past(65536, 'y');
  const std::string huge(5 << 20, 'z');
  const std::string text = atBound + "\n" + past + "\r\n" + huge + "\nend";
  const Lines want = {atBound, past, huge, "end"};
  EXPECT_EQ(split(text), want);
  EXPECT_EQ(split(text, 4096), want);
  EXPECT_EQ(split(text, 1 << 20), want);
}

TEST(RemoveBlanks, OnlySpacesGo) {
  EXPECT_EQ(removeBlanks(" rp.upstreams[ a ].address = "), "rp.upstreams[a].address=");
  EXPECT_EQ(removeBlanks("a\tb\r\n"), "a\tb\r\n");
  EXPECT_EQ(removeBlanks("   "), "");
}

struct PrefixCase {
  const char* prefix;  // as the caller gives it, blanks included
  const char* line;
  bool matches;
};

const PrefixCase kPrefixCases[] = {
    {"rp.upstreams[a].address =", "rp.upstreams[a].address = x", true},
    {"rp.upstreams[a].address =", "rp.upstreams[a].address=x", true},
    {"rp.upstreams[a].address =", "rp.upstreams[ a ].address = x", true},
    {"rp.upstreams[a].address =", "  rp.upstreams[a].address  =x", true},
    {"rp.upstreams[a].address =", "rp.upstreams[ab].address = x", false},
    {"rp.upstreams[a].address =", "\trp.upstreams[a].address = x", false},
    {"rp.upstreams[a].address =", "rp.upstreams[a].address", false},
    {"rp.upstreams[a].address =", "rp.upstreams[a].address_x = 1", false},
    {"rp.upstreams[a].address =", "", false},
    {"rp.select=", "rp.select =  a:50", true},
    {"rp.select=", "rp.select_threshold = 5", false},
    {"rp.select_threshold", "rp.select_threshold2 = 1", true},
    {"rp.select_threshold", "rp.select_threshold", true},
    {"certs[d].rp.select=", "certs[d] .rp.select = a:1", true},
    {"certs[d].rp.select=", "certs[dd].rp.select = a:1", false},
    {"", "anything", true},
    {"", "", true},
    {"   ", "\tanything", true},
};

TEST(StartsWithIgnoringBlanks, PrefixTable) {
  for (const PrefixCase& c : kPrefixCases) {
    EXPECT_EQ(startsWithIgnoringBlanks(c.line, removeBlanks(c.prefix)), c.matches)
        << "prefix \"" << c.prefix << "\" line \"" << c.line << "\"";
  }
}

// Every short line and prefix over a few bytes, blanks at every place: the
// line matches exactly when it starts with the prefix once its blanks are
// gone.
TEST(StartsWithIgnoringBlanks, AsTheLineWithoutBlanks) {
  const std::string alphabet = " a=";
  const auto text = [&](size_t code, size_t len) {
    std::string t;
    for (; len > 0; --len, code /= alphabet.size()) t += alphabet[code % alphabet.size()];
    return t;
  };
  for (size_t lineLen = 0; lineLen <= 6; ++lineLen) {
    for (size_t lineCode = 0; lineCode < 729; ++lineCode) {
      const std::string line = text(lineCode, lineLen);
      for (size_t prefixLen = 0; prefixLen <= 4; ++prefixLen) {
        for (size_t prefixCode = 0; prefixCode < 81; ++prefixCode) {
          const std::string prefix = removeBlanks(text(prefixCode, prefixLen));
          ASSERT_EQ(startsWithIgnoringBlanks(line, prefix), removeBlanks(line).starts_with(prefix))
              << "line \"" << line << "\" prefix \"" << prefix << "\"";
        }
      }
    }
  }
}

std::string renamed(std::string_view line, std::string_view from, std::string_view to) {
  std::string out = "prior|";  // appends, never replaces
  appendWithAliasRenamed(line, from, to, &out);
  EXPECT_EQ(out.substr(0, 6), "prior|");
  return out.substr(6);
}

struct RenameCase {
  const char* line;
  const char* want;  // renaming a to b
};

const RenameCase kRenameCases[] = {
    {"rp.select = a:10 c:20", "rp.select = b:10 c:20"},
    {"certs[x].rp.select = a:5", "certs[x].rp.select = b:5"},
    {"rp.select =  a:50", "rp.select =  b:50"},
    {"rp.select=a:1", "rp.select=b:1"},
    {"rp.select = c:1 a:2 a:3", "rp.select = c:1 b:2 b:3"},
    {"rp.select = xa:5 ax:6 a:1", "rp.select = xa:5 ax:6 b:1"},
    {"rp.select = a:5:7", "rp.select = b:5:7"},
    {"rp.select = a:", "rp.select = b:"},
    {"rp.select = a c:a a", "rp.select = a c:a a"},
    {"rp.select = c:1  a:2 ", "rp.select = c:1  b:2 "},
    {"rp.select =\ta:1", "rp.select =\tb:1"},
    {"certs[a:1].rp.select = a:2", "certs[a:1].rp.select = b:2"},
    {"certs[caf\xe9].rp.select = a:5", "certs[caf\xe9].rp.select = b:5"},  // bytes, not UTF-8
    {"certs[].rp.select = a:1", "certs[].rp.select = b:1"},  // the weights read it under Default
    {"rp.select_threshold = 5", "rp.select_threshold = 5"},
    {"rp.upstreams[a].address = a:443", "rp.upstreams[a].address = a:443"},
    {"# rp.select = a:1", "# rp.select = a:1"},
    {"", ""},
};

TEST(AppendWithAliasRenamed, RenamesOnlyEntryNames) {
  for (const RenameCase& c : kRenameCases) EXPECT_EQ(renamed(c.line, "a", "b"), c.want) << c.line;
}

TEST(AppendWithAliasRenamed, NamesOfOtherLengths) {
  EXPECT_EQ(renamed("rp.select = alpha:1 beta:2", "alpha", "a"), "rp.select = a:1 beta:2");
  EXPECT_EQ(renamed("rp.select = a:1 beta:2", "a", "alpha"), "rp.select = alpha:1 beta:2");
  EXPECT_EQ(renamed("rp.select = a:1", "a", "a"), "rp.select = a:1");
}

TEST(AppendWithAliasRenamed, LongSelectLine) {
  std::string line = "rp.select =", want = "rp.select =";
  for (int i = 0; i < 200000; ++i) {
    std::string name = i % 2 == 0 ? "old" : std::string("u").append(std::to_string(i));
    line.append(" ").append(name).append(":1");
    want.append(" ").append(i % 2 == 0 ? "new" : name).append(":1");
  }
  EXPECT_EQ(renamed(line, "old", "new"), want);
}

}  // namespace
