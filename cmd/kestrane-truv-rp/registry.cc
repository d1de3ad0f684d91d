#include "registry.h"

#include <re2/re2.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "args.h"
#include "die.h"
#include "fsutil.h"
#include "json.h"

namespace {

constexpr std::string_view kUpstreamPrefix = "rp.upstreams[";

// Byte semantics throughout: keys and values are not necessarily UTF-8, and
// "." must match any byte but a newline.
RE2::Options latin1Options() {
  RE2::Options o;
  o.set_encoding(RE2::Options::EncodingLatin1);
  o.set_case_sensitive(true);
  o.set_longest_match(false);
  o.set_log_errors(false);
  return o;
}

const RE2& compiled(const RE2& re) {
  if (!re.ok()) dieStatusf(255, "regexp %s: %s", re.pattern(), re.error());
  return re;
}

const RE2& upstreamKeyRegexp() {
  static const RE2& re = compiled(*new RE2(R"(rp.upstreams\s*\[(.+)\]\.([^ ]+))", latin1Options()));
  return re;
}

// The leftmost bracket pair that holds no bracket.
const RE2& bracketRegexp() {
  static const RE2& re = compiled(*new RE2(R"(\[([^\[\]]*)\])", latin1Options()));
  return re;
}

re2::StringPiece piece(std::string_view s) { return re2::StringPiece(s.data(), s.size()); }
std::string_view view(re2::StringPiece p) { return std::string_view(p.data(), p.size()); }

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

bool matchUpstreamKeyView(std::string_view key, std::string_view* alias, std::string_view* property) {
  if (key.starts_with(kUpstreamPrefix) && matchAtPrefix(key, alias, property)) return true;
  // Every match holds "upstreams" and "].": keys without them skip RE2.
  if (key.find("upstreams") == std::string_view::npos || key.find("].") == std::string_view::npos) {
    return false;
  }
  re2::StringPiece groups[3];
  if (!upstreamKeyRegexp().Match(piece(key), 0, key.size(), RE2::UNANCHORED, groups, 3)) return false;
  *alias = view(groups[1]);
  *property = view(groups[2]);
  return true;
}

// The text inside the key's leftmost bracket pair that holds no bracket.
bool bracketText(std::string_view key, std::string* text) {
  re2::StringPiece groups[2];
  if (!bracketRegexp().Match(piece(key), 0, key.size(), RE2::UNANCHORED, groups, 2)) return false;
  text->assign(groups[1].data(), groups[1].size());
  return true;
}

std::string upstreamKey(std::string_view alias, std::string_view property) {
  std::string key;
  key.reserve(kUpstreamPrefix.size() + alias.size() + 2 + property.size());
  key.append(kUpstreamPrefix).append(alias).append("].").append(property);
  return key;
}

// A failed lookup counts as the empty value.
std::string expanded(QELConfig cfg, std::string_view alias, std::string_view property) {
  return cfg.GetString(upstreamKey(alias, property)).first;
}

QELConfig parseOrDie(const std::string& rpPath) {
  auto [cfg, err] = ParseFile(rpPath);
  if (err) dieStatusf(255, "Error: %s", err);
  return cfg;
}

void printUpstreamUidsAsJson(QELConfig cfg) {
  std::string out = "[";
  bool first = true;
  for (const std::string& uid : getUpstreamsUid(cfg)) {
    if (!first) out += ',';
    first = false;
    appendJsonString(&out, uid);
  }
  out += "]\n";
  writeStdout(out);
}

void printUpstreamUidsAsStrings(QELConfig cfg) {
  std::string out;
  for (const std::string& uid : getUpstreamsUid(cfg)) {
    out += uid;
    out += '\n';
  }
  writeStdout(out);
}

void printUpstreamsAsJson(QELConfig cfg) {
  const UpstreamRegistry registry = getUpstreams(cfg);
  std::vector<const UpstreamRegistry::value_type*> entries;
  entries.reserve(registry.size());
  for (const auto& entry : registry) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

  std::string out = "{";
  bool first = true;
  for (const auto* entry : entries) {
    if (!first) out += ',';
    first = false;
    appendJsonString(&out, entry->first);
    out += ':';
    appendJsonObject(&out, entry->second);
  }
  out += "}\n";
  writeStdout(out);
}

void getUpstreamJson(QELConfig cfg) {
  std::string out;
  appendJsonObject(&out, getUpstreamProps(cfg, optAlias));
  out += '\n';
  writeStdout(out);
}

void getUpstreamPlain(QELConfig cfg) {
  struct Selector {
    const bool* set;
    const char* label;
    const char* property;  // null: the alias itself
  };
  const Selector selectors[] = {
      {&optShowAlias, "alias", nullptr},         {&optShowAddress, "address", "address"},
      {&optShowRedirect, "redirect", "redirect"}, {&optShowStat, "stat", "stat"},
      {&optShowSecret, "secret", "secret"},       {&optShowDigest, "digest", "cert_digest"},
  };
  std::string out;
  for (const Selector& s : selectors) {
    if (!*s.set) continue;
    out += s.label;
    out += ":\t";
    out += s.property == nullptr ? optAlias : expanded(cfg, optAlias, s.property);
    out += '\n';
  }
  writeStdout(out);
}

}  // namespace

void compileUpstreamKeyRegexp() {
  upstreamKeyRegexp();
  bracketRegexp();
}

bool matchUpstreamKey(const std::string& key, std::string* alias, std::string* property) {
  std::string_view a, p;
  if (!matchUpstreamKeyView(key, &a, &p)) return false;
  alias->assign(a);
  property->assign(p);
  return true;
}

ConfigView getView(QELConfig cfg) {
  auto [view, err] = cfg.GetView();
  if (err) dieStatusf(255, "cfg.GetView() error: %s", err);
  return std::move(view);
}

void getAliasesAndAlias2Uid(const ConfigView& view, std::unordered_set<std::string>* aliases,
                            std::unordered_map<std::string, std::string>* alias2uid) {
  aliases->clear();
  alias2uid->clear();
  std::string_view alias, property;
  std::string scratch;  // reused, so that aliases met again cost no allocation
  for (const auto& [key, value] : view) {
    if (!matchUpstreamKeyView(key, &alias, &property)) continue;
    scratch.assign(alias);
    auto it = aliases->find(scratch);
    if (it == aliases->end()) it = aliases->insert(scratch).first;
    if (property == "dc_uid") (*alias2uid)[*it] = value;
  }
}

std::vector<std::string> getUpstreamsUid(QELConfig cfg) {
  std::unordered_set<std::string> aliases;
  std::unordered_map<std::string, std::string> alias2uid;
  getAliasesAndAlias2Uid(getView(cfg), &aliases, &alias2uid);
  std::vector<std::string> uids;
  uids.reserve(aliases.size());
  for (const std::string& alias : aliases) {
    auto it = alias2uid.find(alias);
    uids.push_back(it != alias2uid.end() ? it->second : alias);
  }
  return uids;
}

UpstreamRecord getUpstreamProps(QELConfig cfg, const std::string& alias) {
  static constexpr std::pair<const char*, const char*> kMembers[] = {
      {"address", "address"}, {"redirect", "redirect"},   {"stat", "stat"},
      {"secret", "secret"},   {"cert_digest", "digest"},
  };
  UpstreamRecord record;
  for (const auto& [property, member] : kMembers) {
    std::string value = expanded(cfg, alias, property);
    if (!value.empty()) record.emplace(member, std::move(value));
  }
  record.emplace("alias", alias);
  return record;
}

UpstreamRegistry getUpstreams(QELConfig cfg) {
  std::unordered_set<std::string> aliases;
  std::unordered_map<std::string, std::string> alias2uid;
  getAliasesAndAlias2Uid(getView(cfg), &aliases, &alias2uid);
  UpstreamRegistry registry;
  registry.reserve(aliases.size());
  for (const std::string& alias : aliases) {
    auto it = alias2uid.find(alias);
    registry.insert_or_assign(it != alias2uid.end() ? it->second : alias, getUpstreamProps(cfg, alias));
  }
  return registry;
}

std::string getAliasFromUid(const std::string& rpPath, int notFoundStatus) {
  QELConfig cfg = parseOrDie(rpPath);
  if (!expanded(cfg, optDcUid, "address").empty()) return optDcUid;

  auto [entries, err] = cfg.GetView();
  if (err) dieStatusf(255, "Error: %s", err);
  // Any value may hold the DC UID, but only a key with a non-empty bracket
  // text names an upstream: an entry such as "rp.enable = yes" is passed
  // over, so that no caller goes on with an empty alias (and builds
  // "rp.upstreams[]." keys from it). Among the others the first met in the
  // view's order wins; skipping rather than stopping keeps the result from
  // hanging on where such an entry falls in that order.
  std::string alias;
  for (const auto& [key, value] : entries) {
    if (value == optDcUid && bracketText(key, &alias) && !alias.empty()) return alias;
  }
  dieStatusf(notFoundStatus, "DC UID %s not found", optDcUid);
}

void allUpstreamUids(const std::string& rpPath) {
  QELConfig cfg = parseOrDie(rpPath);
  if (optJson) {
    printUpstreamUidsAsJson(cfg);
  } else {
    printUpstreamUidsAsStrings(cfg);
  }
}

void allUpstreams(const std::string& rpPath) { printUpstreamsAsJson(parseOrDie(rpPath)); }

void getUpstream(const std::string& rpPath) {
  if (optDcUid.empty()) dieStatusf(10, "dc-uid not specified");
  optAlias = getAliasFromUid(rpPath, 100);
  QELConfig cfg = parseOrDie(rpPath);
  if (optJson) {
    getUpstreamJson(cfg);
  } else {
    getUpstreamPlain(cfg);
  }
}
