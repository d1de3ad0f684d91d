// Typed access to the platform's configuration files: parse a file into a
// handle, read one expanded value by key, list every key with its raw value.
// Nothing here prints or ends the process; failures come back as Error.
#ifndef QEL_IO_CONFIG_CONFIG_H_
#define QEL_IO_CONFIG_CONFIG_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

struct qel_config;

// An error value; the default one means success.
class Error {
 public:
  Error() = default;
  explicit Error(std::string text, int sys_errno = 0)
      : text_(std::move(text)), sys_errno_(sys_errno) {}

  bool ok() const { return text_.empty(); }
  explicit operator bool() const { return !ok(); }  // true on failure
  const std::string& text() const { return text_; }
  // The system error number the error wraps, or 0.
  int sysErrno() const { return sys_errno_; }

  bool operator==(const Error& o) const { return text_ == o.text_ && sys_errno_ == o.sys_errno_; }

 private:
  std::string text_;
  int sys_errno_ = 0;
};

// The error of every failed lookup: "setting not found".
extern const Error errSettingNotFound;

// The lower-case standard description of a system error number
// ("no such file or directory"), or "errno N" when it has none; 0 and
// negative numbers have none, so no error text ever reads "success".
std::string errnoText(int errnum);

// The merge error for a nonzero library result r: "invalid config file: "
// and the text of the number -r, which the error wraps. (-r of INT32_MIN does
// not fit an int: the text shows it right, sysErrno() holds it wrapped.)
Error mergeError(int32_t r);

// Full key -> raw value; unordered.
using ConfigView = std::unordered_map<std::string, std::string>;

// One setting as the library holds it: its key and raw value, NUL-terminated
// and owned by the configuration, valid until the handle is closed.
struct SettingText {
  const char* key;
  const char* value;
};

// A handle on one parsed configuration; copies share it. The empty handle
// finds nothing, has an empty view and cannot be merged into.
class QELConfig {
 public:
  QELConfig() = default;
  explicit QELConfig(qel_config* cfg) : cfg_(cfg) {}

  // Merges the settings of the file at path (cut at a NUL byte); a key it
  // holds again takes its new value. The error is mergeError(r) for a
  // library result r != 0.
  Error MergeFile(std::string_view path);
  // A copy of the expanded value of the full key (cut at a NUL byte), or ""
  // and errSettingNotFound.
  std::pair<std::string, Error> GetString(std::string_view key) const;
  // The same value as GetString, not copied: the library's text, valid until
  // the handle is closed. For callers that read hundreds of thousands.
  std::pair<std::string_view, Error> GetStringView(std::string_view key) const;
  // Copies of every setting with its raw value; they outlive the handle.
  // The error is always empty.
  std::pair<ConfigView, Error> GetView() const;
  // Calls fn(SettingText) for every setting, in the library's order, without
  // copying anything: for callers that read every setting of large files.
  template <typename Fn>
  void ForEachSetting(Fn&& fn) const {
    using F = std::remove_reference_t<Fn>;
    VisitSettings([](void* f, SettingText s) { (*static_cast<F*>(f))(s); },
                  const_cast<void*>(static_cast<const void*>(&fn)));
  }
  // Frees the configuration; no other copy of the handle may be used
  // afterwards. This one becomes empty.
  void Close();

  bool empty() const { return cfg_ == nullptr; }

 private:
  // ForEachSetting's walk, kept out of the header that way.
  void VisitSettings(void (*visit)(void*, SettingText), void* context) const;

  qel_config* cfg_ = nullptr;
};

// A new handle on the file at path, or the empty handle and the merge error
// (also when no configuration can be made: "cannot allocate memory").
std::pair<QELConfig, Error> ParseFile(std::string_view path);

#endif  // QEL_IO_CONFIG_CONFIG_H_
