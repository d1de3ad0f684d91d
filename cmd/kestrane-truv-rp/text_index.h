// An index from texts to positions in a sequence the caller keeps, for the
// scans of large configuration files: one flat table of 64-bit slots (part
// of the text's hash above the position), so that finding a text costs one
// probe of a table a fraction of the file's size, and a text is read only
// when its hash matches. std::unordered_map would allocate a node for every
// text and chase two pointers for each probe.
//
// The texts are not copied: the caller's keyOf(position) gives the text it
// stored at that position, for as long as the index is used.
#ifndef KTRP_TEXT_INDEX_H_
#define KTRP_TEXT_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

class TextIndex {
 public:
  // Room for about expected texts before the table grows.
  explicit TextIndex(size_t expected = 0) { resize(expected); }

  // The position stored for text; when it has none, stores next for it and
  // returns next. Positions are below 2^32 - 1. keyOf(position) is asked
  // only for positions stored before, so the caller stores next's text
  // afterwards.
  template <typename KeyOf>
  size_t findOrAdd(std::string_view text, size_t next, KeyOf&& keyOf) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    const uint64_t tag = hashOf(text) & kTagBits;
    for (size_t i = homeOf(tag);; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        slots_[i] = tag | (next + 1);
        ++count_;
        return next;
      }
      if ((slot & kTagBits) == tag && keyOf(positionOf(slot)) == text) return positionOf(slot);
    }
  }

 private:
  static constexpr uint64_t kTagBits = ~uint64_t{0} << 32;

  // The tag is the high half of the hash; it also gives the home slot, so
  // that the table grows without reading any text again.
  static uint64_t hashOf(std::string_view text) {
    uint64_t h = std::hash<std::string_view>{}(text);
    h ^= h >> 31;
    h *= 0x9e3779b97f4a7c15u;
    return h ^ (h >> 29);
  }
  size_t homeOf(uint64_t tag) const { return static_cast<size_t>(tag >> 32) & mask_; }
  static size_t positionOf(uint64_t slot) { return static_cast<size_t>((slot & ~kTagBits) - 1); }

  void resize(size_t expected) {
    size_t size = 16;
    while (size < expected * 2) size *= 2;
    slots_.assign(size, 0);
    mask_ = size - 1;
  }

  void grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    resize(old.size());  // twice the slots
    for (uint64_t slot : old) {
      if (slot == 0) continue;
      size_t i = homeOf(slot & kTagBits);
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

#endif  // KTRP_TEXT_INDEX_H_
