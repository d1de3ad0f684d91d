#include "qel_io/config/config.h"

#include <errno.h>
#include <string.h>

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
