#include "text_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Texts drawn from a small alphabet, so that many repeat and many share
// their first bytes; an empty text and one with a NUL among them.
std::vector<std::string> someTexts(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> texts = {"", std::string("a\0b", 3), std::string("a\0c", 3)};
  while (texts.size() < n) {
    std::string t(rng() % 12, 'x');
    for (char& c : t) c = "ab-]."[rng() % 5];
    texts.push_back(t);
  }
  std::shuffle(texts.begin(), texts.end(), rng);
  return texts;
}

TEST(TextIndex, FindsWhatWasStoredAcrossGrowth) {
  for (size_t expected : {size_t{0}, size_t{5}, size_t{100000}}) {
    std::vector<std::string> stored;
    std::unordered_map<std::string, size_t> reference;
    TextIndex index(expected);
    const auto keyOf = [&](size_t i) -> std::string_view {
      // Only positions stored before may be asked for.
      EXPECT_LT(i, stored.size());
      return i < stored.size() ? std::string_view(stored[i]) : std::string_view();
    };
    for (const std::string& t : someTexts(50000, 7)) {
      const size_t got = index.findOrAdd(t, stored.size(), keyOf);
      auto [it, added] = reference.try_emplace(t, stored.size());
      ASSERT_EQ(got, it->second) << "text \"" << t << "\", expected room " << expected;
      if (added) stored.push_back(t);
    }
    // Every text is found again at its own position.
    for (size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(index.findOrAdd(stored[i], stored.size(), keyOf), i);
  }
}

}  // namespace
