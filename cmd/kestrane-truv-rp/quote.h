// Quoting a value for messages, as %q of dieStatusf and the option parser's
// messages write it.
#ifndef KTRP_QUOTE_H_
#define KTRP_QUOTE_H_

#include <string>
#include <string_view>

// s in double quotes: a backslash before a double quote and a backslash;
// \a \b \f \n \r \t \v; \xNN for other control bytes and for bytes outside
// valid UTF-8; \uNNNN or \UNNNNNNNN for other characters that are not
// printable; lower-case hexadecimal digits. Printable characters, non-ASCII
// ones included, stay as they are: those whose Unicode General Category is a
// letter, mark, number, punctuation or symbol, and U+0020 SPACE (the table in
// unicode_printable.inc, of the Unicode version its first line names).
// Unassigned code points are not printable.
std::string quoteValue(std::string_view s);

#endif  // KTRP_QUOTE_H_
