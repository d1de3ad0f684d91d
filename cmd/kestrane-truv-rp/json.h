// The JSON output of every command: compact, with this tool's escaping.
#ifndef KTRP_JSON_H_
#define KTRP_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>

// Appends s as a JSON string: \" \\ \b \f \n \r \t, \u00xx for other
// control bytes, \u003c \u003e \u0026 for < > &, \u2028 \u2029, and \ufffd
// for each byte that is not part of valid UTF-8.
void appendJsonString(std::string* out, std::string_view s);
void appendJsonInt(std::string* out, int64_t v);

#endif  // KTRP_JSON_H_
