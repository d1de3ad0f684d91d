// Sorting large sequences by a text of each element, in byte order, stably.
// The listings of a large rp config sort a million names that point into
// the parsed file: comparing their texts reads memory all over the file, so
// the sort compares an 8-byte prefix of each, taken once, and reads the
// texts only where the prefixes are equal.
#ifndef KTRP_TEXT_ORDER_H_
#define KTRP_TEXT_ORDER_H_

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

// The first eight bytes of text as a big-endian number, zero-padded: in the
// order of the texts wherever the two numbers differ.
inline uint64_t orderPrefix(std::string_view text) {
  uint64_t prefix = 0;
  for (size_t i = 0; i < 8; ++i) prefix = prefix << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  return prefix;
}

// Sorts *v by textOf(element) in byte order; elements with equal texts keep
// their order.
template <typename T, typename TextOf>
void stableSortByText(std::vector<T>* v, TextOf&& textOf) {
  struct Item {
    uint64_t prefix;
    std::string_view text;
    size_t at;
  };
  std::vector<Item> items;
  items.reserve(v->size());
  for (size_t i = 0; i < v->size(); ++i) {
    const std::string_view text = textOf((*v)[i]);
    items.push_back({orderPrefix(text), text, i});
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (const int c = a.text.compare(b.text); c != 0) return c < 0;
    return a.at < b.at;
  });
  std::vector<T> sorted;
  sorted.reserve(v->size());
  for (const Item& item : items) sorted.push_back(std::move((*v)[item.at]));
  v->swap(sorted);
}

#endif  // KTRP_TEXT_ORDER_H_
