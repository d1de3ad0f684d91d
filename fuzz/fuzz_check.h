// What the fuzz targets share: a check that stops the run with a message, so
// that libFuzzer keeps the input that broke an invariant.
#ifndef KTRP_FUZZ_CHECK_H_
#define KTRP_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond, ...)                                                     \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                          \
      std::fputc('\n', stderr);                                                   \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

// A text shown in a failure message: printable ASCII kept, the rest as \xNN.
// Use as fuzzShow(s).c_str() within the one call.
inline std::string fuzzShow(std::string_view s) {
  std::string out;
  for (unsigned char c : s.substr(0, 400)) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (s.size() > 400) out += "...";
  return out;
}

#endif  // KTRP_FUZZ_CHECK_H_
