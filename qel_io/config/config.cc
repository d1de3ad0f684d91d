#include "qel_io/config/config.h"

#include <cstring>
#include <string>

extern "C" {
#include "qel_io.h"
}

const Error errSettingNotFound("setting not found");

std::string errnoText(int errnum) {
  const char* d = strerrordesc_np(errnum);
  if (d == nullptr) return "errno " + std::to_string(errnum);
  std::string s(d);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

Error QELConfig::MergeFile(std::string_view path) {
  std::string p(path.substr(0, path.find('\0')));
  int32_t r = qel_merge_config(cfg_, p.c_str());
  if (r == 0) return Error();
  int64_t e = -static_cast<int64_t>(r);
  return Error("invalid config file: " + errnoText(static_cast<int>(e)), static_cast<int>(e));
}

std::pair<std::string, Error> QELConfig::GetString(std::string_view key) const {
  std::string k(key.substr(0, key.find('\0')));
  char* out = nullptr;
  if (qel_config_getstr_expand(cfg_, k.c_str(), &out) != 0) return {std::string(), errSettingNotFound};
  return {out ? std::string(out) : std::string(), Error()};
}

std::pair<ConfigView, Error> QELConfig::GetView() const {
  ConfigView view;
  view.reserve(100);
  for (qel_config_node* n = qel_config_get_first(cfg_); n != nullptr; n = qel_config_get_next(n))
    view.insert_or_assign(n->key ? std::string(n->key) : std::string(), n->value ? std::string(n->value) : std::string());
  return {std::move(view), Error()};
}

void QELConfig::Close() {
  qel_free_config(cfg_);
  cfg_ = nullptr;
}

std::pair<QELConfig, Error> ParseFile(std::string_view path) {
  QELConfig cfg(qel_create_config());
  Error err = cfg.MergeFile(path);
  if (err) {
    cfg.Close();
    return {QELConfig(), err};
  }
  return {cfg, Error()};
}
