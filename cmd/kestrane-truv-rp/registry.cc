#include "registry.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <optional>
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

// ---- the registry in one pass over the rp config ----------------------------
//
// The commands read the registry of rp configs with 100,000 upstreams and
// more, so it comes from one walk over the settings where the library holds
// them, not from a copied ConfigView and five lookups per alias. Where the
// file leaves a choice open (an alias with several dc_uid keys, aliases that
// share a registry key) the last setting the walk meets wins.

// The record members taken from an alias's keys, in the order of their
// names (the order of UpstreamRecord), with the property each comes from.
struct Member {
  std::string_view name;
  std::string_view property;
  std::string_view UpstreamEntry::*field;
};
constexpr Member kMembers[] = {
    {"address", "address", &UpstreamEntry::address}, {"digest", "cert_digest", &UpstreamEntry::digest},
    {"redirect", "redirect", &UpstreamEntry::redirect}, {"secret", "secret", &UpstreamEntry::secret},
    {"stat", "stat", &UpstreamEntry::stat},
};

const Member* memberOfProperty(std::string_view property) {
  for (const Member& m : kMembers)
    if (m.property == property) return &m;
  return nullptr;
}

// An alias of the rp config with its raw DC UID, if it has one, and (when
// the scan is asked for them) its record members.
struct ScannedUpstream {
  UpstreamEntry entry;
  std::optional<std::string_view> dcUid;
};

std::string_view registryKey(const ScannedUpstream& u) { return u.dcUid ? *u.dcUid : u.entry.alias; }

// True for a key of exactly the form "rp.upstreams[ALIAS].PROPERTY", the
// form getUpstreamProps looks up; alias and property are its captures.
bool isLookupKey(std::string_view key, std::string_view alias, std::string_view property) {
  return key.starts_with(kUpstreamPrefix) && alias.data() == key.data() + kUpstreamPrefix.size() &&
         property.data() + property.size() == key.data() + key.size();
}

// The aliases of the rp config, in the order the walk first meets them.
// With withMembers, each record member is the expanded value of the
// alias's lookup key, taken when the walk is on that key.
std::vector<ScannedUpstream> scanUpstreams(QELConfig cfg, bool withMembers) {
  std::vector<ScannedUpstream> upstreams;
  // The library walks keys in byte order, so the aliases of most files come
  // in ascending order: one that sorts after all before it is new, and no
  // index of 100,000 aliases is needed. The index is built at the first
  // alias that does not (a prefix of another alias, say) and kept from then on.
  std::unordered_map<std::string_view, size_t> indexOf;
  bool indexed = false;
  auto indexOfAlias = [&](std::string_view alias) {
    if (!indexed && (upstreams.empty() || alias > upstreams.back().entry.alias)) {
      upstreams.push_back({.entry = {.alias = alias}, .dcUid = std::nullopt});
      return upstreams.size() - 1;
    }
    if (!indexed) {
      for (size_t i = 0; i < upstreams.size(); ++i) indexOf.emplace(upstreams[i].entry.alias, i);
      indexed = true;
    }
    auto [it, added] = indexOf.try_emplace(alias, upstreams.size());
    if (added) upstreams.push_back({.entry = {.alias = alias}, .dcUid = std::nullopt});
    return it->second;
  };
  size_t current = 0;
  cfg.ForEachSetting([&](SettingText s) {
    const std::string_view key(s.key);
    std::string_view alias, property;
    if (!matchUpstreamKeyView(key, &alias, &property)) return;
    // The keys of one alias mostly come together: look it up only when it changes.
    if (upstreams.empty() || upstreams[current].entry.alias != alias) current = indexOfAlias(alias);
    ScannedUpstream& u = upstreams[current];
    if (property == "dc_uid") {
      u.dcUid = std::string_view(s.value);
    } else if (withMembers && isLookupKey(key, alias, property)) {
      if (const Member* m = memberOfProperty(property)) u.entry.*(m->field) = cfg.GetStringView(key).first;
    }
  });
  return upstreams;
}

// The JSON object of an upstream's record, as appendJsonObject writes
// UpstreamEntry::record(), without building the map.
void appendRecordJson(std::string* out, const UpstreamEntry& e) {
  out->push_back('{');
  bool first = true;
  auto member = [&](std::string_view name, std::string_view value) {
    if (!first) out->push_back(',');
    first = false;
    appendJsonString(out, name);
    out->push_back(':');
    appendJsonString(out, value);
  };
  for (const Member& m : kMembers) {
    std::string_view value = e.*(m.field);
    if (!value.empty()) member(m.name, value);
    if (m.name == "address") member("alias", e.alias);  // "address" < "alias" < "digest"
  }
  out->push_back('}');
}

void printUpstreamUidsAsJson(QELConfig cfg) {
  std::string out = "[";
  bool first = true;
  for (std::string_view uid : getUpstreamsUidViews(cfg)) {
    if (!first) out += ',';
    first = false;
    appendJsonString(&out, uid);
  }
  out += "]\n";
  writeStdout(out);
}

void printUpstreamUidsAsStrings(QELConfig cfg) {
  std::string out;
  for (std::string_view uid : getUpstreamsUidViews(cfg)) {
    out += uid;
    out += '\n';
  }
  writeStdout(out);
}

// The first eight bytes of s as a number that orders like them (keys hold no
// NUL byte, so the zero padding of a shorter key orders like its end).
uint64_t headOf(std::string_view s) {
  unsigned char bytes[8] = {};
  s.copy(reinterpret_cast<char*>(bytes), sizeof bytes);
  uint64_t head = 0;
  for (unsigned char b : bytes) head = head << 8 | b;
  return head;
}

// The registry as getUpstreams() gives it, sorted by key for the JSON
// object, without building its map of strings.
void printUpstreamsAsJson(QELConfig cfg) {
  const std::vector<ScannedUpstream> upstreams = scanUpstreams(cfg, true);
  // Each key's head goes along, so that most comparisons need not reach
  // texts scattered over the library's memory: that took a tenth of the
  // run with 100,000 upstreams. Stable, so that of the aliases sharing a
  // key the last one in the walk's order ends each run: getUpstreams()
  // keeps that one.
  struct ByKey {
    uint64_t head;
    std::string_view key;
    const UpstreamEntry* entry;
  };
  std::vector<ByKey> byKey;
  byKey.reserve(upstreams.size());
  for (const ScannedUpstream& u : upstreams) byKey.push_back({headOf(registryKey(u)), registryKey(u), &u.entry});
  std::stable_sort(byKey.begin(), byKey.end(), [](const ByKey& a, const ByKey& b) {
    return a.head != b.head ? a.head < b.head : a.key < b.key;
  });

  // Written out in pieces: one buffer for all of it would be as large as the
  // rp config.
  constexpr size_t kPiece = 64 << 10;
  std::string out;
  out.reserve(kPiece + 4096);
  out += '{';
  bool first = true;
  for (size_t k = 0; k < byKey.size(); ++k) {
    // Entries and member texts lie all over memory: ask for them ahead, the
    // entry first and its texts once it has come, while this one is written.
    constexpr size_t kAhead = 8;
    if (k + 2 * kAhead < byKey.size()) __builtin_prefetch(byKey[k + 2 * kAhead].entry);
    if (k + kAhead < byKey.size()) {
      for (const Member& m : kMembers) __builtin_prefetch((byKey[k + kAhead].entry->*(m.field)).data());
    }
    const auto& [head, key, entry] = byKey[k];
    if (k + 1 < byKey.size() && byKey[k + 1].key == key) continue;
    if (!first) out += ',';
    first = false;
    appendJsonString(&out, key);
    out += ':';
    appendRecordJson(&out, *entry);
    if (out.size() >= kPiece) {
      writeStdout(out);
      out.clear();
    }
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
  std::vector<std::string_view> views = getUpstreamsUidViews(cfg);
  return {views.begin(), views.end()};
}

std::vector<std::string_view> getUpstreamsUidViews(QELConfig cfg) {
  const std::vector<ScannedUpstream> upstreams = scanUpstreams(cfg, false);
  std::vector<std::string_view> uids;
  uids.reserve(upstreams.size());
  for (const ScannedUpstream& u : upstreams) uids.push_back(registryKey(u));
  return uids;
}

UpstreamRecord getUpstreamProps(QELConfig cfg, const std::string& alias) {
  UpstreamRecord record;
  for (const Member& m : kMembers) {
    std::string value = expanded(cfg, alias, m.property);
    if (!value.empty()) record.emplace(m.name, std::move(value));
  }
  record.emplace("alias", alias);
  return record;
}

UpstreamRecord UpstreamEntry::record() const {
  UpstreamRecord r;
  for (const Member& m : kMembers) {
    std::string_view value = this->*(m.field);
    if (!value.empty()) r.emplace(m.name, value);
  }
  r.emplace("alias", alias);
  return r;
}

UpstreamRegistry getUpstreams(QELConfig cfg) {
  std::vector<ScannedUpstream> upstreams = scanUpstreams(cfg, true);
  UpstreamRegistry registry;
  registry.reserve(upstreams.size());
  for (const ScannedUpstream& u : upstreams) registry.insert_or_assign(std::string(registryKey(u)), u.entry);
  return registry;
}

std::vector<std::string> getUpstreamKeys(QELConfig cfg) {
  std::vector<ScannedUpstream> upstreams = scanUpstreams(cfg, false);
  std::unordered_set<std::string_view> seen;
  seen.reserve(upstreams.size());
  std::vector<std::string> keys;
  for (const ScannedUpstream& u : upstreams) {
    if (seen.insert(registryKey(u)).second) keys.emplace_back(registryKey(u));
  }
  return keys;
}

std::string getAliasFromUid(const std::string& rpPath, int notFoundStatus) {
  QELConfig cfg = parseOrDie(rpPath);
  if (!expanded(cfg, optDcUid, "address").empty()) return optDcUid;

  // Any value may hold the DC UID, but only a key with a non-empty bracket
  // text names an upstream: an entry such as "rp.enable = yes" is passed
  // over, so that no caller goes on with an empty alias (and builds
  // "rp.upstreams[]." keys from it). The first other match in the walk wins.
  std::string alias;
  bool found = false;
  cfg.ForEachSetting([&](SettingText s) {
    if (!found && std::strcmp(s.value, optDcUid.c_str()) == 0) found = bracketText(s.key, &alias) && !alias.empty();
  });
  if (!found) dieStatusf(notFoundStatus, "DC UID %s not found", optDcUid);
  return alias;
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
