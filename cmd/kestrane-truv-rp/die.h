// The one way a checked failure ends the process.
#ifndef KTRP_DIE_H_
#define KTRP_DIE_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "qel_io/config/config.h"

// One argument of a message: a text, an error (its text) or an integer.
class MsgArg {
 public:
  MsgArg(std::string_view s) : text_(s) {}
  MsgArg(const std::string& s) : text_(s) {}
  MsgArg(const char* s) : text_(s) {}
  MsgArg(const Error& e) : text_(e.text()) {}
  MsgArg(int v) : owned_(std::to_string(v)), text_(owned_) {}
  MsgArg(long v) : owned_(std::to_string(v)), text_(owned_) {}
  MsgArg(long long v) : owned_(std::to_string(v)), text_(owned_) {}
  MsgArg(const MsgArg&) = delete;
  MsgArg& operator=(const MsgArg&) = delete;

  std::string_view text() const { return text_; }

 private:
  std::string owned_;
  std::string_view text_;
};

// printf-style: %s and %v write an argument unchanged, %q writes it quoted as
// the option parser quotes values, %% writes "%". A missing argument gives
// "%!v(MISSING)"; extra arguments are ignored.
std::string formatMessage(std::string_view format, std::initializer_list<MsgArg> args);

// Writes the message and one newline to standard error, then ends the process
// with status. Nothing is closed or synced on the way out; the files this run
// had not finished writing are removed (see files.h).
[[noreturn]] void dieStatusfList(int status, std::string_view format, std::initializer_list<MsgArg> args);

template <typename... A>
[[noreturn]] void dieStatusf(int status, std::string_view format, const A&... args) {
  dieStatusfList(status, format, {MsgArg(args)...});
}

// From here on, running out of memory anywhere ends the run with status 255
// and "Out of memory", removing the files it had not finished, and so does an
// exception that nothing catches ("Unexpected failure: WHAT"): never an abort.
void installFailureHandlers();

#endif  // KTRP_DIE_H_
