// The JSON output of every command: compact, with this tool's escaping.
#ifndef KTRP_JSON_H_
#define KTRP_JSON_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Appends s as a JSON string: \" \\ \b \f \n \r \t, \u00xx for other
// control bytes, \u003c \u003e \u0026 for < > &, \u2028 \u2029, and \ufffd
// for each byte that is not part of valid UTF-8 (overlong forms, surrogates,
// values above U+10FFFF and truncated sequences included). Everything else,
// "/" and DEL included, is copied unchanged. Linear in the size of s.
void appendJsonString(std::string* out, std::string_view s);
void appendJsonInt(std::string* out, int64_t v);

// Appends {"name":"value",...} with the members in ascending byte order of
// their names (std::map's order) and no white space.
void appendJsonObject(std::string* out, const std::map<std::string, std::string>& members);

#endif  // KTRP_JSON_H_
