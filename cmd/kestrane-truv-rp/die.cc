#include "die.h"

#include <unistd.h>

#include <exception>
#include <new>

#include "quote.h"
#include "files.h"
#include "fsutil.h"

std::string formatMessage(std::string_view format, std::initializer_list<MsgArg> args) {
  std::string out;
  out.reserve(format.size() + 64);
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    char verb = format[++i];
    if (verb == '%') {
      out += '%';
      continue;
    }
    if (next == args.end()) {
      out += "%!";
      out += verb;
      out += "(MISSING)";
      continue;
    }
    if (verb == 'q')
      out += quoteValue(next->text());
    else
      out += next->text();
    ++next;
  }
  return out;
}

void dieStatusfList(int status, std::string_view format, std::initializer_list<MsgArg> args) {
  std::string msg = formatMessage(format, args);
  msg += '\n';
  abandonUnfinishedFiles();
  writeAllFd(STDERR_FILENO, msg);
  _exit(status);
}

namespace {

// Allocates nothing: there may be no memory left.
[[noreturn]] void endWithoutMemory() {
  abandonUnfinishedFiles();
  static constexpr char kMessage[] = "Out of memory\n";
  (void)writeAllFd(STDERR_FILENO, std::string_view(kMessage, sizeof kMessage - 1));
  _exit(255);
}

[[noreturn]] void endOnUncaughtException() {
  try {
    if (std::exception_ptr e = std::current_exception()) std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    endWithoutMemory();
  } catch (const std::exception& e) {
    dieStatusf(255, "Unexpected failure: %s", e.what());
  } catch (...) {
  }
  dieStatusf(255, "Unexpected failure");
}

}  // namespace

void installFailureHandlers() {
  std::set_new_handler(endWithoutMemory);
  std::set_terminate(endOnUncaughtException);
}
