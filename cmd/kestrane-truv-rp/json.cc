#include "json.h"

void appendJsonString(std::string* out, std::string_view s) {
  out->push_back('"');
  out->append(s);
  out->push_back('"');
}

void appendJsonInt(std::string* out, int64_t v) { out->append(std::to_string(v)); }
