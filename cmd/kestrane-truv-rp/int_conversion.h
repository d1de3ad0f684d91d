// Text to signed 64-bit integers, in the two syntaxes the tool reads: integer
// options, and decimal weights.
#ifndef KTRP_INT_CONVERSION_H_
#define KTRP_INT_CONVERSION_H_

#include <cstdint>
#include <string>
#include <string_view>

enum class IntError { kNone, kSyntax, kRange };

// Integer option syntax: optional sign, base prefix 0x/0b/0o/0 (else decimal),
// underscores between digits or after the prefix.
IntError parseOptionInt(std::string_view s, int64_t* out);
// Strict decimal: optional sign, then one or more of 0-9, signed 64-bit.
IntError parseDecimalInt(std::string_view s, int64_t* out);
// The text of a failed conversion: "parsing \"S\": invalid syntax" or
// "parsing \"S\": value out of range".
std::string intErrorText(std::string_view s, IntError e);

#endif  // KTRP_INT_CONVERSION_H_
