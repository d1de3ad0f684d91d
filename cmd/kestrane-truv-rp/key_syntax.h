// The syntax of the keys the tool writes. A text that goes inside a key (an
// alias in "rp.upstreams[ALIAS].address", a domain in "certs[DOMAIN].rp.select")
// must not change what the key or its line means when the file is read back.
#ifndef KTRP_KEY_SYNTAX_H_
#define KTRP_KEY_SYNTAX_H_

#include <string_view>

// What a text taken into a key names.
enum class KeyPart {
  kAlias,   // also the name of select entries "ALIAS:WEIGHT"
  kDomain,
};

// The first character of text that it cannot hold as that part of a key,
// described for a message ("a blank", "\"]\""), or "" when it has none. A key
// part holds no line break (it would end the line), no NUL byte, no "=" (the
// key would end there), no "[" or "]" (the alias or domain would end
// elsewhere), no blank or tab (the line editing compares keys with blanks
// removed, so "a b" would also match "ab"); an alias also holds no ":", which
// ends the name of a select entry.
std::string_view forbiddenInKeyPart(std::string_view text, KeyPart part);

// Ends the run with status 10 when text cannot be that part of a key: "WHAT
// "TEXT" cannot be an alias: it holds a blank". what names where the text
// comes from ("-alias", "-dc-uid", "dc-uid", "-domain").
void checkKeyPart(std::string_view what, std::string_view text, KeyPart part);

#endif  // KTRP_KEY_SYNTAX_H_
