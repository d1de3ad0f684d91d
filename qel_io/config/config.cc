#include "qel_io/config/config.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

extern "C" {
#include "qel_io.h"
}

// The binding reads nodes of the platform library by these offsets.
static_assert(sizeof(void*) == 8, "the library's records are laid out for 64-bit systems");
static_assert(sizeof(qel_config) == 8);
static_assert(sizeof(rb_root) == 8);
static_assert(sizeof(rb_node) == 24);
static_assert(offsetof(rb_node, rb_parent) == 0);
static_assert(offsetof(rb_node, rb_right) == 8);
static_assert(offsetof(rb_node, rb_left) == 16);
static_assert(sizeof(qel_config_node) == 56);
static_assert(offsetof(qel_config_node, rb) == 0);
static_assert(offsetof(qel_config_node, key) == 24);
static_assert(offsetof(qel_config_node, value) == 32);
static_assert(offsetof(qel_config_node, value_expanded) == 40);
static_assert(offsetof(qel_config_node, prev) == 48);

const Error errSettingNotFound("setting not found");

namespace {

// The text up to its first NUL byte, NUL-terminated for the library.
std::string cString(std::string_view s) { return std::string(s.substr(0, s.find('\0'))); }

std::string copyText(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

std::string numberText(int64_t n) { return "errno " + std::to_string(n); }

}  // namespace

std::string errnoText(int errnum) {
  // strerrordesc_np, unlike strerror, ignores the locale and gives NULL for
  // numbers without a description.
  const char* d = errnum > 0 ? strerrordesc_np(errnum) : nullptr;
  if (d == nullptr) return numberText(errnum);
  std::string s(d);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

Error mergeError(int32_t r) {
  int64_t e = -static_cast<int64_t>(r);
  int sys = static_cast<int>(e);
  return Error("invalid config file: " + (sys == e ? errnoText(sys) : numberText(e)), sys);
}

// The empty handle never reaches the library, which need not accept NULL.

Error QELConfig::MergeFile(std::string_view path) {
  if (cfg_ == nullptr) return mergeError(-EINVAL);
  int32_t r = qel_merge_config(cfg_, cString(path).c_str());
  return r == 0 ? Error() : mergeError(r);
}

std::pair<std::string, Error> QELConfig::GetString(std::string_view key) const {
  auto [value, err] = GetStringView(key);
  return {std::string(value), err};
}

std::pair<std::string_view, Error> QELConfig::GetStringView(std::string_view key) const {
  if (cfg_ == nullptr) return {std::string_view(), errSettingNotFound};
  key = key.substr(0, key.find('\0'));
  // Callers look up hundreds of thousands of keys in large rp configs; a key
  // that fits is copied onto the stack rather than into a new string.
  char small[256];
  std::string large;
  const char* ckey;
  if (key.size() < sizeof small) {
    key.copy(small, key.size());
    small[key.size()] = '\0';
    ckey = small;
  } else {
    large.assign(key);
    ckey = large.c_str();
  }
  char* out = nullptr;
  if (qel_config_getstr_expand(cfg_, ckey, &out) != 0) return {std::string_view(), errSettingNotFound};
  return {out != nullptr ? std::string_view(out) : std::string_view(), Error()};
}

std::pair<ConfigView, Error> QELConfig::GetView() const {
  ConfigView view;
  view.reserve(kConfigViewPresize);
  if (cfg_ == nullptr) return {std::move(view), Error()};
  for (qel_config_node* n = qel_config_get_first(cfg_); n != nullptr; n = qel_config_get_next(n))
    view.insert_or_assign(copyText(n->key), copyText(n->value));
  return {std::move(view), Error()};
}

void QELConfig::VisitSettings(void (*visit)(void*, SettingText), void* context) const {
  if (cfg_ == nullptr) return;
  static const char kEmpty[] = "";
  for (qel_config_node* n = qel_config_get_first(cfg_); n != nullptr; n = qel_config_get_next(n))
    visit(context, {n->key != nullptr ? n->key : kEmpty, n->value != nullptr ? n->value : kEmpty});
}

void QELConfig::Close() {
  if (cfg_ != nullptr) qel_free_config(cfg_);
  cfg_ = nullptr;
}

std::pair<QELConfig, Error> ParseFile(std::string_view path) {
  QELConfig cfg(qel_create_config());
  if (cfg.empty()) return {QELConfig(), mergeError(-ENOMEM)};
  Error err = cfg.MergeFile(path);
  if (err) {
    cfg.Close();
    return {QELConfig(), err};
  }
  return {cfg, Error()};
}

// ---- iteration order of the standard unordered containers -----------------
//
// What follows mirrors how libstdc++'s hashtable (the table of
// std::unordered_map and std::unordered_set) links its nodes, and uses its
// rehash policy; fast_paths_test checks it against the containers.
#ifndef __GLIBCXX__
#error "hashIterationOrder mirrors libstdc++'s unordered containers"
#endif

namespace {

// An element of the simulated table: its code, insertion index and bucket
// under the current bucket count.
struct Slot {
  uint64_t code;
  uint32_t id;
  uint32_t bucket;
};

constexpr uint32_t kNone = UINT32_MAX;

// The table as lists in iteration order rather than linked nodes. Its
// scratch space is kept from one rehash to the next: fresh memory costs
// more than the passes over it.
class TableSimulation {
 public:
  std::vector<uint32_t> run(const std::vector<size_t>& codes, size_t presize) {
    // The table's own rehash policy decides the bucket counts, step by step
    // as the table would (reserve, then a check before each insertion).
    std::__detail::_Prime_rehash_policy policy;
    size_t buckets = 1;
    if (presize > 0) {
      size_t wanted = static_cast<size_t>(std::ceil(static_cast<double>(presize) / policy.max_load_factor()));
      wanted = std::max(policy._M_bkt_for_elements(1), wanted);
      buckets = policy._M_next_bkt(wanted);
    }
    for (size_t i = 0; i < codes.size(); ++i) {
      auto [grow, newBuckets] = policy._M_need_rehash(buckets, i, 1);
      if (grow) {
        applyPending(buckets);
        buckets = newBuckets;
        rehash(buckets);
      }
      pending_.push_back({codes[i], static_cast<uint32_t>(i), static_cast<uint32_t>(codes[i] % buckets)});
    }
    applyPending(buckets);
    std::vector<uint32_t> order;
    order.reserve(base_.size());
    for (const Slot& e : base_) order.push_back(e.id);
    return order;
  }

 private:
  // base_ becomes the list with the insertions since the last rehash
  // (pending_, oldest first) applied. The table puts an element at the
  // front of its bucket's run, or, when its bucket is empty, at the front of
  // the whole list.
  void applyPending(size_t buckets) {
    if (pending_.empty()) return;
    if (bucket_.size() != buckets) bucket_.assign(buckets, Bucket{kNone, 0});  // no rehash yet: all empty
    for (Bucket& b : bucket_) b.first = kNone;  // from here on: newest pending element
    next_.resize(pending_.size());
    created_.clear();  // buckets that pending elements opened, oldest first
    for (size_t k = 0; k < pending_.size(); ++k) {
      Bucket& b = bucket_[pending_[k].bucket];
      if (b.count == 0) {
        b.count = 1;
        created_.push_back(pending_[k].bucket);
      }
      next_[k] = b.first;
      b.first = static_cast<uint32_t>(k);
    }
    list_.clear();
    auto emitPending = [&](uint32_t bucket) {  // newest first
      for (uint32_t k = bucket_[bucket].first; k != kNone; k = next_[k]) list_.push_back(pending_[k]);
      bucket_[bucket].first = kNone;
    };
    for (size_t j = created_.size(); j-- > 0;) emitPending(created_[j]);
    uint32_t previous = kNone;
    for (const Slot& e : base_) {
      if (e.bucket != previous) {
        emitPending(e.bucket);
        previous = e.bucket;
      }
      list_.push_back(e);
    }
    base_.swap(list_);
    pending_.clear();
  }

  // A rehash into `buckets` buckets walks the list in order and puts each
  // element at the front of its new bucket's run, or at the front of the
  // list when that bucket is still empty: the runs come out latest-opened
  // first, each in reverse walk order. Done with counting passes. Leaves
  // the count of every bucket, non-zero for the used ones.
  void rehash(size_t buckets) {
    const size_t m = base_.size();
    bucket_.assign(buckets, Bucket{kNone, 0});
    for (size_t p = 0; p < m; ++p) {
      uint32_t b = static_cast<uint32_t>(base_[p].code % buckets);
      base_[p].bucket = b;
      Bucket& bk = bucket_[b];
      if (bk.first == kNone) bk.first = static_cast<uint32_t>(p);
      ++bk.count;
    }
    // cursor: the next free place in the bucket's run, the runs laid out by
    // first visit, latest first.
    cursor_.resize(buckets);
    size_t offset = 0;
    for (size_t p = m; p-- > 0;) {
      const Bucket& bk = bucket_[base_[p].bucket];
      if (bk.first == p) {
        cursor_[base_[p].bucket] = static_cast<uint32_t>(offset);
        offset += bk.count;
      }
    }
    list_.resize(m);
    for (size_t p = m; p-- > 0;) list_[cursor_[base_[p].bucket]++] = base_[p];
    base_.swap(list_);
  }

  struct Bucket {
    uint32_t first;
    uint32_t count;
  };
  std::vector<Slot> base_, pending_, list_;
  std::vector<Bucket> bucket_;
  std::vector<uint32_t> next_, created_, cursor_;
};

}  // namespace

std::vector<uint32_t> hashIterationOrder(const std::vector<size_t>& codes, size_t presize) {
  return TableSimulation().run(codes, presize);
}
