#include "text_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// Texts that tie on their first eight bytes, are shorter than eight, or end
// in NUL bytes where a shorter text's prefix is padded with zeros; each
// paired with its place, to see that equal texts keep their order.
TEST(StableSortByText, SortsAsStableSortDoes) {
  std::mt19937 rng(11);
  const std::vector<std::string> stems = {"", "a", std::string("a\0", 2), std::string("a\0\0", 3), "edge-000",
                                          "edge-0001", "edge-00010", "\xff\xfe", "0f3c5a2e-", "0f3c5a2e"};
  std::vector<std::pair<std::string, int>> items;
  for (int i = 0; i < 20000; ++i) {
    std::string text = stems[rng() % stems.size()];
    for (size_t n = rng() % 4; n > 0; --n) text += "09\xff\0"[rng() % 4];
    items.emplace_back(text, i);
  }
  auto want = items;
  std::stable_sort(want.begin(), want.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  stableSortByText(&items, [](const auto& item) { return std::string_view(item.first); });
  EXPECT_EQ(items, want);
}

TEST(StableSortByText, PrefixOrdersAsTheTexts) {
  const std::vector<std::string> texts = {"", std::string("\0", 1), "a", "ab", "abcdefgh", "abcdefgi", "b", "\x80"};
  for (size_t i = 0; i + 1 < texts.size(); ++i)
    EXPECT_LE(orderPrefix(texts[i]), orderPrefix(texts[i + 1])) << i;
  EXPECT_EQ(orderPrefix("abcdefgh"), orderPrefix("abcdefghZ"));
}

}  // namespace
