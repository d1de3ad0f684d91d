#include "key_syntax.h"

#include "die.h"

std::string_view forbiddenInKeyPart(std::string_view text, KeyPart part) {
  for (char c : text) {
    switch (c) {
      case '\n':
      case '\r': return "a line break";
      case '\0': return "a NUL byte";
      case ' ': return "a blank";
      case '\t': return "a tab";
      case '=': return "\"=\"";
      case '[': return "\"[\"";
      case ']': return "\"]\"";
      case ':':
        if (part == KeyPart::kAlias) return "\":\"";
        break;
      default: break;
    }
  }
  return {};
}

void checkKeyPart(std::string_view what, std::string_view text, KeyPart part) {
  std::string_view forbidden = forbiddenInKeyPart(text, part);
  if (forbidden.empty()) return;
  dieStatusf(10, "%s %q cannot be %s: it holds %s", what, text, part == KeyPart::kAlias ? "an alias" : "a domain",
             forbidden);
}
