#include "key_syntax.h"

#include <re2/re2.h>

#include <algorithm>

#include "die.h"

namespace {

constexpr std::string_view kUpstreamPrefix = "rp.upstreams[";

// Byte semantics throughout: keys and values are not necessarily UTF-8, and
// "." must match any byte but a newline.
RE2::Options byteOptions() {
  RE2::Options o;
  o.set_encoding(RE2::Options::EncodingLatin1);
  o.set_case_sensitive(true);
  o.set_longest_match(false);
  o.set_log_errors(false);
  return o;
}

const RE2& compiled(const char* pattern) {
  const RE2* re = new RE2(pattern, byteOptions());  // lives as long as the process
  if (!re->ok()) dieStatusf(255, "regexp %s: %s", re->pattern(), re->error());
  return *re;
}

const RE2& upstreamKeyRegexp() {
  static const RE2& re = compiled(R"(rp.upstreams\s*\[(.+)\]\.([^ ]+))");
  return re;
}

// The leftmost bracket pair that holds no bracket.
const RE2& bracketRegexp() {
  static const RE2& re = compiled(R"(\[([^\[\]]*)\])");
  return re;
}

const RE2& certsPattern() {
  static const RE2& re = compiled(R"(certs\[(.+)\].rp.select)");
  return re;
}

re2::StringPiece piece(std::string_view s) { return re2::StringPiece(s.data(), s.size()); }
std::string_view view(re2::StringPiece p) { return std::string_view(p.data(), p.size()); }

// Group 1 of re's leftmost match in s.
bool firstGroup(const RE2& re, std::string_view s, std::string_view* group) {
  re2::StringPiece groups[2];
  if (!re.Match(piece(s), 0, s.size(), RE2::UNANCHORED, groups, 2)) return false;
  *group = view(groups[1]);
  return true;
}

// What upstreamKeyRegexp finds in a key that begins with "rp.upstreams[",
// worked out directly: a match at offset 0 is the leftmost one, and the
// greedy alias then ends at the last "]." that is followed by a non-blank
// and has no newline before it. False when there is no match at offset 0.
// The tool's own keys all take this path; RE2 costs about 2us a key, too
// much for rp configs of 100,000 upstreams.
bool matchAtPrefix(std::string_view key, std::string_view* alias, std::string_view* property) {
  std::string_view rest = key.substr(kUpstreamPrefix.size());
  const size_t aliasLimit = std::min(rest.find('\n'), rest.size());  // "." stops at a newline
  for (size_t i = aliasLimit; i >= 1; --i) {
    if (i + 2 >= rest.size() || rest[i] != ']' || rest[i + 1] != '.' || rest[i + 2] == ' ') continue;
    *alias = rest.substr(0, i);
    std::string_view tail = rest.substr(i + 2);
    *property = tail.substr(0, std::min(tail.find(' '), tail.size()));
    return true;
  }
  return false;
}

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanksAndTabs(std::string_view s) {
  while (!s.empty() && isBlankOrTab(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlankOrTab(s.back())) s.remove_suffix(1);
  return s;
}

// Whether key holds "certs[]", any byte but a newline, "rp", another such
// byte and "select": the certs pattern with an empty domain.
bool holdsEmptyDomain(std::string_view key) {
  for (size_t at = key.find("certs[]"); at != std::string_view::npos; at = key.find("certs[]", at + 1)) {
    std::string_view rest = key.substr(at + 7);
    if (rest.size() >= 10 && rest[0] != '\n' && rest.substr(1, 2) == "rp" && rest[3] != '\n' &&
        rest.substr(4, 6) == "select")
      return true;
  }
  return false;
}

}  // namespace

void compileKeyPatterns() {
  upstreamKeyRegexp();
  bracketRegexp();
  certsPattern();
}

bool matchUpstreamKey(std::string_view key, std::string_view* alias, std::string_view* property) {
  if (key.starts_with(kUpstreamPrefix) && matchAtPrefix(key, alias, property)) return true;
  // Every match holds "upstreams" and "].": keys without them skip RE2.
  if (key.find("upstreams") == std::string_view::npos || key.find("].") == std::string_view::npos) return false;
  re2::StringPiece groups[3];
  if (!upstreamKeyRegexp().Match(piece(key), 0, key.size(), RE2::UNANCHORED, groups, 3)) return false;
  *alias = view(groups[1]);
  *property = view(groups[2]);
  return true;
}

bool bracketText(std::string_view key, std::string_view* text) { return firstGroup(bracketRegexp(), key, text); }

std::string upstreamKey(std::string_view alias, std::string_view property) {
  std::string key;
  key.reserve(kUpstreamPrefix.size() + alias.size() + 2 + property.size());
  key.append(kUpstreamPrefix).append(alias).append("].").append(property);
  return key;
}

std::string upstreamRemovalPrefix(std::string_view alias, std::string_view property) {
  return upstreamKey(alias, property) + " =";
}

bool matchCertsKey(std::string_view key, std::string_view* domain) { return firstGroup(certsPattern(), key, domain); }

bool isSelectLine(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view key = trimBlanksAndTabs(line.substr(0, eq));
  if (key == kDefaultSelectKey) return true;
  if (key.empty() || key.front() == '#' || key.find(kDefaultSelectKey) == std::string_view::npos) return false;
  std::string_view domain;
  return matchCertsKey(key, &domain) || holdsEmptyDomain(key);
}

std::string selectKey(std::string_view domain) {
  if (domain.empty()) return kDefaultSelectKey;
  std::string key = "certs[";
  key.append(domain).append("].rp.select");
  return key;
}

std::string selectStartText(std::string_view domain) { return selectKey(domain) + " ="; }

std::string selectRemovalPrefix(std::string_view domain) { return selectKey(domain) + "="; }

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
