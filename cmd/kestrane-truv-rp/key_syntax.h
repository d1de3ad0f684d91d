// The syntax of the keys and select lines of the rp config and the rp select
// config: how the tool recognises them when it reads, and how it forms them
// when it writes. Every pattern of the tool is compiled here, once and on
// bytes (keys need not be UTF-8), and every key it writes is formed here.
//
// rp config:         rp.upstreams[ALIAS].PROPERTY = VALUE
// rp select config:  rp.select = NAME:WEIGHT NAME:WEIGHT ...
//                    certs[DOMAIN].rp.select = NAME:WEIGHT ...
//                    rp.select_threshold = N
#ifndef KTRP_KEY_SYNTAX_H_
#define KTRP_KEY_SYNTAX_H_

#include <string>
#include <string_view>

// Compiles the patterns; called once at start-up, so that a pattern the
// library rejects fails every run at once.
void compileKeyPatterns();

// ---- rp config --------------------------------------------------------------

// Matches key against upstreamKeyRegexp, "rp.upstreams\s*\[(.+)\]\.([^ ]+)":
// unanchored, leftmost, greedy as a backtracking engine is, "." any byte but a
// newline. alias and property view key. The keys the tool writes itself are
// worked out without the regular expression.
bool matchUpstreamKey(std::string_view key, std::string_view* alias, std::string_view* property);

// The text inside the leftmost bracket pair of key that holds no bracket
// ("\[([^\[\]]*)\]"), possibly empty; false when there is none.
bool bracketText(std::string_view key, std::string_view* text);

// "rp.upstreams[ALIAS].PROPERTY".
std::string upstreamKey(std::string_view alias, std::string_view property);
// "rp.upstreams[ALIAS].PROPERTY =": removes the property's lines however
// they are spaced, but no longer key that merely begins the same way.
std::string upstreamRemovalPrefix(std::string_view alias, std::string_view property);

// ---- rp select config -------------------------------------------------------

inline constexpr char kDefaultSelectKey[] = "rp.select";
inline constexpr char kThresholdKey[] = "rp.select_threshold";

// Matches the certs pattern "certs\[(.+)\].rp.select" anywhere in key; the
// domain is group 1 (greedy: up to the last "]" that fits), a view of key.
bool matchCertsKey(std::string_view key, std::string_view* domain);

// Whether line is a select line: its key (the text before the first "=",
// without the blanks and tabs around it, as the configuration library reads
// it) is "rp.select", or holds "rp.select" and "certs[DOMAIN].rp.select" (the
// dots any byte) with a domain that may be empty. Comment lines are none.
bool isSelectLine(std::string_view line);

// The key of the select line of domain, the default select line when domain
// is empty: "rp.select" or "certs[DOMAIN].rp.select".
std::string selectKey(std::string_view domain);
// The start of that line as the tool writes it: the key and " =".
std::string selectStartText(std::string_view domain);
// Its prefix for the line editing: the key and "=".
std::string selectRemovalPrefix(std::string_view domain);

// Calls fn(part) for each part of a select line's value between blanks;
// adjacent blanks and blanks at either end give empty parts, and "" gives one
// empty part.
template <typename Fn>
void forEachSelectPart(std::string_view value, Fn fn) {
  for (;;) {
    size_t blank = value.find(' ');
    fn(value.substr(0, blank));
    if (blank == std::string_view::npos) return;
    value.remove_prefix(blank + 1);
  }
}

// The name of a select entry: its text before the first ":", or all of it.
inline std::string_view selectEntryName(std::string_view part) { return part.substr(0, part.find(':')); }

// ---- texts inside keys -------------------------------------------------------

// What a text taken into a key names.
enum class KeyPart {
  kAlias,  // also the name of select entries "ALIAS:WEIGHT"
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
