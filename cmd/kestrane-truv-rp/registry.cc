#include "registry.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <functional>
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
// The registry and the DC UID list follow from the view of the rp config
// (GetView) as getAliasesAndAlias2Uid and getUpstreamProps read it: aliases
// in the view's order into a set, the last dc_uid of an alias in that order,
// and five lookups per alias. With 100,000 upstreams that means copying half
// a million settings and as many lookups. The scan below reads the settings
// where the library holds them, once, and takes each record value when the
// walk meets its key, which the library finds at once. The orders of the
// view and of the alias set, where a result depends on them, come from
// hashIterationOrder() rather than from building those containers.

constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kMany = UINT32_MAX - 1;

// The record members looked up for an alias, with the property each comes
// from, in the order of their names (the order of UpstreamRecord).
constexpr std::pair<std::string_view, std::string_view> kMembers[] = {
    {"address", "address"}, {"digest", "cert_digest"}, {"redirect", "redirect"},
    {"secret", "secret"},   {"stat", "stat"},
};
constexpr size_t kMemberCount = std::size(kMembers);

int memberOfProperty(std::string_view property) {
  for (size_t m = 0; m < kMemberCount; ++m)
    if (kMembers[m].second == property) return static_cast<int>(m);
  return -1;
}

struct DcUidSetting {
  uint32_t setting;  // index in the walk
  uint32_t alias;
  std::string_view value;  // raw
};

struct UpstreamScan {
  // Per setting, in the walk's order.
  std::vector<uint32_t> aliasOf;  // alias index, or kNone for other keys
  std::vector<size_t> keyCodes;   // std::hash of the key, when asked for
  // Per alias, in the order the walk first met them.
  std::vector<std::string_view> aliases;
  std::vector<size_t> aliasCodes;  // std::hash of the alias
  std::vector<uint32_t> uidOf;     // index into uids, kNone or kMany
  std::vector<DcUidSetting> uids;  // every dc_uid property, in walk order
  // Record members (expanded values, the library's texts), when asked for:
  // kMemberCount per alias, empty for none.
  std::vector<std::string_view> members;
};

struct ScanWants {
  bool records = false;
  bool keyCodes = false;
};

// Keys of "rp.upstreams[ALIAS].PROPERTY" form exactly: the keys that
// getUpstreamProps looks up.
bool isLookupKey(std::string_view key, std::string_view alias, std::string_view property) {
  return alias.data() == key.data() + kUpstreamPrefix.size() && key.starts_with(kUpstreamPrefix) &&
         property.data() == alias.data() + alias.size() + 2 && property.data() + property.size() == key.data() + key.size() &&
         alias.data()[alias.size()] == ']' && alias.data()[alias.size() + 1] == '.';
}

// Alias -> index in UpstreamScan::aliases: open addressing on the codes the
// scan keeps anyway; a node-based map costs an allocation per alias.
class AliasIndex {
 public:
  // The index of alias (hash code) in scan's aliases; kNone when it is not
  // there, with the place to add it kept for add().
  uint32_t find(std::string_view alias, size_t code, const UpstreamScan& scan) {
    if (2 * (scan.aliases.size() + 1) > slots_.size()) grow(scan);
    const size_t mask = slots_.size() - 1;
    for (free_ = code & mask; slots_[free_] != kNone; free_ = (free_ + 1) & mask) {
      uint32_t at = slots_[free_];
      if (scan.aliasCodes[at] == code && scan.aliases[at] == alias) return at;
    }
    return kNone;
  }
  void add(uint32_t at) { slots_[free_] = at; }

 private:
  void grow(const UpstreamScan& scan) {
    std::vector<uint32_t> slots(std::max<size_t>(64, slots_.size() * 2), kNone);
    const size_t mask = slots.size() - 1;
    for (uint32_t at = 0; at < scan.aliases.size(); ++at) {
      size_t i = scan.aliasCodes[at] & mask;
      while (slots[i] != kNone) i = (i + 1) & mask;
      slots[i] = at;
    }
    slots_.swap(slots);
  }

  std::vector<uint32_t> slots_;
  size_t free_ = 0;
};

UpstreamScan scanUpstreams(QELConfig cfg, ScanWants wants) {
  UpstreamScan scan;
  AliasIndex index;
  std::string_view lastAlias;
  uint32_t lastId = kNone;
  std::hash<std::string_view> hash;
  uint32_t setting = 0;
  cfg.ForEachSetting([&](SettingText s) {
    const std::string_view key(s.key);
    if (wants.keyCodes) scan.keyCodes.push_back(hash(key));
    std::string_view alias, property;
    if (!matchUpstreamKeyView(key, &alias, &property)) {
      scan.aliasOf.push_back(kNone);
      ++setting;
      return;
    }
    // The keys of one alias mostly come together.
    uint32_t id = lastId;
    if (id == kNone || alias != lastAlias) {
      const size_t code = hash(alias);
      id = index.find(alias, code, scan);
      if (id == kNone) {
        id = static_cast<uint32_t>(scan.aliases.size());
        index.add(id);
        scan.aliases.push_back(alias);
        scan.aliasCodes.push_back(code);
        scan.uidOf.push_back(kNone);
        if (wants.records) scan.members.resize(scan.members.size() + kMemberCount);
      }
      lastAlias = alias;
      lastId = id;
    }
    scan.aliasOf.push_back(id);
    if (property == "dc_uid") {
      scan.uidOf[id] = scan.uidOf[id] == kNone ? static_cast<uint32_t>(scan.uids.size()) : kMany;
      scan.uids.push_back({setting, id, std::string_view(s.value)});
    } else if (wants.records && isLookupKey(key, alias, property)) {
      int m = memberOfProperty(property);
      if (m >= 0) {
        // The key the walk is on: the library finds it without a search.
        scan.members[id * kMemberCount + static_cast<size_t>(m)] = cfg.GetStringView(key).first;
      }
    }
    ++setting;
  });
  return scan;
}

// The settings in the order of the view's map.
std::vector<uint32_t> viewOrder(QELConfig cfg, UpstreamScan* scan) {
  if (scan->keyCodes.size() != scan->aliasOf.size()) {
    std::hash<std::string_view> hash;
    scan->keyCodes.clear();
    scan->keyCodes.reserve(scan->aliasOf.size());
    cfg.ForEachSetting([&](SettingText s) { scan->keyCodes.push_back(hash(std::string_view(s.key))); });
  }
  return hashIterationOrder(scan->keyCodes, kConfigViewPresize);
}

// What getAliasesAndAlias2Uid makes of the view, with the order of its alias
// set: the aliases in that order, and the dc_uid setting each maps to (kNone
// for an alias without one).
struct AliasSet {
  std::vector<uint32_t> order;  // alias indexes
  std::vector<uint32_t> uid;    // per alias: index into scan.uids, or kNone
};

AliasSet aliasSet(const UpstreamScan& scan, const std::vector<uint32_t>& view) {
  // Inserted into the set as the view meets them.
  std::vector<uint32_t> inserted;
  inserted.reserve(scan.aliases.size());
  std::vector<uint8_t> seen(scan.aliases.size(), 0);
  std::vector<uint32_t> position(scan.aliasOf.size());
  for (size_t k = 0; k < view.size(); ++k) {
    position[view[k]] = static_cast<uint32_t>(k);
    uint32_t a = scan.aliasOf[view[k]];
    if (a != kNone && !seen[a]) {
      seen[a] = 1;
      inserted.push_back(a);
    }
  }
  std::vector<size_t> codes;
  codes.reserve(inserted.size());
  for (uint32_t a : inserted) codes.push_back(scan.aliasCodes[a]);
  AliasSet set;
  set.order.reserve(inserted.size());
  for (uint32_t k : hashIterationOrder(codes, 0)) set.order.push_back(inserted[k]);
  // The dc_uid that the view meets last wins.
  set.uid = scan.uidOf;
  for (uint32_t u = 0; u < scan.uids.size(); ++u) {
    uint32_t& best = set.uid[scan.uids[u].alias];
    if (best == kMany || position[scan.uids[u].setting] > position[scan.uids[best].setting]) best = u;
  }
  return set;
}

std::string_view registryKey(const UpstreamScan& scan, uint32_t alias, const std::vector<uint32_t>& uid) {
  return uid[alias] == kNone ? scan.aliases[alias] : scan.uids[uid[alias]].value;
}

std::string_view memberValue(const UpstreamScan& scan, uint32_t alias, size_t m) {
  return scan.members[alias * kMemberCount + m];
}

UpstreamEntry entryOf(const UpstreamScan& scan, uint32_t alias) {
  UpstreamEntry e;
  e.alias = scan.aliases[alias];
  std::string_view* members[kMemberCount] = {&e.address, &e.digest, &e.redirect, &e.secret, &e.stat};
  for (size_t m = 0; m < kMemberCount; ++m) *members[m] = memberValue(scan, alias, m);
  return e;
}

// The aliases in ascending byte order of their registry keys. The keys'
// first eight bytes go along, so that most comparisons need not reach texts
// scattered over the library's memory.
std::vector<uint32_t> sortedByKey(const UpstreamScan& scan, const std::vector<uint32_t>& uid) {
  struct Item {
    uint64_t head;  // big-endian, zero-padded: orders like the bytes
    uint32_t alias;
  };
  std::vector<Item> items(scan.aliases.size());
  for (uint32_t a = 0; a < items.size(); ++a) {
    std::string_view key = registryKey(scan, a, uid);
    unsigned char b[8] = {};
    key.copy(reinterpret_cast<char*>(b), 8);
    uint64_t head = 0;
    for (unsigned char c : b) head = head << 8 | c;
    items[a] = {head, a};
  }
  std::sort(items.begin(), items.end(), [&](const Item& x, const Item& y) {
    if (x.head != y.head) return x.head < y.head;
    // Equal heads: compare what follows (a key shorter than 8 bytes has
    // zeros there, which no key holds, so equal heads mean equal lengths
    // up to 8).
    std::string_view kx = registryKey(scan, x.alias, uid), ky = registryKey(scan, y.alias, uid);
    return kx.substr(std::min<size_t>(8, kx.size())) < ky.substr(std::min<size_t>(8, ky.size()));
  });
  std::vector<uint32_t> order(items.size());
  for (size_t k = 0; k < items.size(); ++k) order[k] = items[k].alias;
  return order;
}

// The JSON object of an alias's record, as appendJsonObject writes it.
void appendRecordJson(std::string* out, const UpstreamScan& scan, uint32_t alias) {
  out->push_back('{');
  bool first = true;
  auto member = [&](std::string_view name, std::string_view value) {
    if (!first) out->push_back(',');
    first = false;
    appendJsonString(out, name);
    out->push_back(':');
    appendJsonString(out, value);
  };
  // "address" < "alias" < "digest" < ...: alias goes second.
  for (size_t m = 0; m < kMemberCount; ++m) {
    std::string_view v = memberValue(scan, alias, m);
    if (!v.empty()) member(kMembers[m].first, v);
    if (m == 0) member("alias", scan.aliases[alias]);
  }
  out->push_back('}');
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

// The registry maps each registry key to the record of the alias that the
// alias set holds last among those with that key. Only when two aliases
// share a key, or an alias has two dc_uid settings, do the orders of the
// view and the set matter; otherwise the printout needs neither.
void printUpstreamsAsJson(QELConfig cfg) {
  UpstreamScan scan = scanUpstreams(cfg, {.records = true, .keyCodes = false});
  const size_t n = scan.aliases.size();
  bool manyUids = std::find(scan.uidOf.begin(), scan.uidOf.end(), kMany) != scan.uidOf.end();
  AliasSet set;
  if (manyUids) set = aliasSet(scan, viewOrder(cfg, &scan));
  const std::vector<uint32_t>& uid = manyUids ? set.uid : scan.uidOf;

  std::vector<uint32_t> byKey = sortedByKey(scan, uid);
  bool shared = false;
  for (size_t k = 1; k < n && !shared; ++k)
    shared = registryKey(scan, byKey[k - 1], uid) == registryKey(scan, byKey[k], uid);
  if (shared) {
    if (!manyUids) set = aliasSet(scan, viewOrder(cfg, &scan));
    std::vector<uint32_t> rank(n);
    for (uint32_t k = 0; k < set.order.size(); ++k) rank[set.order[k]] = k;
    // Within a run of one key, the alias the set holds last.
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k) {
      if (kept > 0 && registryKey(scan, byKey[kept - 1], uid) == registryKey(scan, byKey[k], uid)) {
        if (rank[byKey[k]] > rank[byKey[kept - 1]]) byKey[kept - 1] = byKey[k];
      } else {
        byKey[kept++] = byKey[k];
      }
    }
    byKey.resize(kept);
  }

  // Written out in pieces: a buffer for the whole of it would be as large
  // as the rp config, and fresh memory is dear.
  constexpr size_t kPiece = 64 << 10;
  constexpr size_t kAhead = 8;  // the texts lie all over the library's memory
  std::string out;
  out.reserve(kPiece + 4096);
  out += '{';
  bool first = true;
  for (size_t k = 0; k < byKey.size(); ++k) {
    // Two steps ahead: an upstream's views, then what they point to.
    if (k + 2 * kAhead < byKey.size()) __builtin_prefetch(&scan.members[byKey[k + 2 * kAhead] * kMemberCount]);
    if (k + kAhead < byKey.size()) {
      for (size_t m = 0; m < kMemberCount; ++m) __builtin_prefetch(memberValue(scan, byKey[k + kAhead], m).data());
    }
    const uint32_t a = byKey[k];
    if (!first) out += ',';
    first = false;
    appendJsonString(&out, registryKey(scan, a, uid));
    out += ':';
    appendRecordJson(&out, scan, a);
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
  UpstreamScan scan = scanUpstreams(cfg, {.records = false, .keyCodes = true});
  AliasSet set = aliasSet(scan, viewOrder(cfg, &scan));
  std::vector<std::string> uids;
  uids.reserve(set.order.size());
  for (uint32_t a : set.order) uids.emplace_back(registryKey(scan, a, set.uid));
  return uids;
}

UpstreamRecord getUpstreamProps(QELConfig cfg, const std::string& alias) {
  UpstreamRecord record;
  for (const auto& [member, property] : kMembers) {
    std::string value = expanded(cfg, alias, property);
    if (!value.empty()) record.emplace(member, std::move(value));
  }
  record.emplace("alias", alias);
  return record;
}

UpstreamRecord UpstreamEntry::record() const {
  UpstreamRecord r;
  const std::pair<const char*, std::string_view> members[] = {
      {"address", address}, {"digest", digest}, {"redirect", redirect}, {"secret", secret}, {"stat", stat}};
  for (const auto& [name, value] : members)
    if (!value.empty()) r.emplace(name, value);
  r.emplace("alias", alias);
  return r;
}

UpstreamRegistry getUpstreams(QELConfig cfg) {
  UpstreamScan scan = scanUpstreams(cfg, {.records = true, .keyCodes = true});
  AliasSet set = aliasSet(scan, viewOrder(cfg, &scan));
  // Filled as the alias set is walked, so that it iterates in the same order.
  UpstreamRegistry registry;
  registry.reserve(set.order.size());
  for (uint32_t a : set.order) registry.insert_or_assign(std::string(registryKey(scan, a, set.uid)), entryOf(scan, a));
  return registry;
}

std::vector<std::string> getUpstreamKeys(QELConfig cfg) {
  UpstreamScan scan = scanUpstreams(cfg, {.records = false, .keyCodes = true});
  AliasSet set = aliasSet(scan, viewOrder(cfg, &scan));
  if (set.order.empty()) return {};
  // getUpstreams reserves its map for every alias and inserts each key
  // when its first alias comes; later ones only replace the value.
  std::unordered_set<std::string_view> seen;
  seen.reserve(set.order.size());
  std::vector<std::string_view> keys;
  std::vector<size_t> codes;
  std::hash<std::string_view> hash;
  for (uint32_t a : set.order) {
    std::string_view key = registryKey(scan, a, set.uid);
    if (!seen.insert(key).second) continue;
    keys.push_back(key);
    codes.push_back(hash(key));
  }
  std::vector<std::string> ordered;
  ordered.reserve(keys.size());
  for (uint32_t k : hashIterationOrder(codes, set.order.size())) ordered.emplace_back(keys[k]);
  return ordered;
}

std::vector<std::string> getUpstreamKeySet(QELConfig cfg) {
  UpstreamScan scan = scanUpstreams(cfg, {.records = false, .keyCodes = false});
  // Which dc_uid is an alias's registry key depends on the view's order
  // only when the alias has several.
  const bool manyUids = std::find(scan.uidOf.begin(), scan.uidOf.end(), kMany) != scan.uidOf.end();
  AliasSet set;
  if (manyUids) set = aliasSet(scan, viewOrder(cfg, &scan));
  const std::vector<uint32_t>& uid = manyUids ? set.uid : scan.uidOf;
  std::unordered_set<std::string_view> seen;
  seen.reserve(scan.aliases.size());
  std::vector<std::string> keys;
  for (uint32_t a = 0; a < scan.aliases.size(); ++a) {
    std::string_view key = registryKey(scan, a, uid);
    if (seen.insert(key).second) keys.emplace_back(key);
  }
  return keys;
}

std::string getAliasFromUid(const std::string& rpPath, int notFoundStatus) {
  QELConfig cfg = parseOrDie(rpPath);
  if (!expanded(cfg, optDcUid, "address").empty()) return optDcUid;

  // Any value may hold the DC UID, but only a key with a non-empty bracket
  // text names an upstream: an entry such as "rp.enable = yes" is passed
  // over, so that no caller goes on with an empty alias (and builds
  // "rp.upstreams[]." keys from it). Among the others the first met in the
  // view's order wins; skipping rather than stopping keeps the result from
  // hanging on where such an entry falls in that order.
  struct Candidate {
    uint32_t setting;
    std::string alias;
  };
  std::vector<Candidate> candidates;
  uint32_t setting = 0;
  std::string alias;
  cfg.ForEachSetting([&](SettingText s) {
    if (std::strcmp(s.value, optDcUid.c_str()) == 0 && bracketText(s.key, &alias) && !alias.empty())
      candidates.push_back({setting, alias});
    ++setting;
  });
  if (candidates.empty()) dieStatusf(notFoundStatus, "DC UID %s not found", optDcUid);
  bool oneAlias = std::all_of(candidates.begin(), candidates.end(),
                              [&](const Candidate& c) { return c.alias == candidates.front().alias; });
  if (oneAlias) return candidates.front().alias;

  UpstreamScan scan;
  scan.aliasOf.resize(setting);
  std::vector<uint32_t> candidateAt(setting, kNone);
  for (uint32_t c = 0; c < candidates.size(); ++c) candidateAt[candidates[c].setting] = c;
  for (uint32_t view : viewOrder(cfg, &scan))
    if (candidateAt[view] != kNone) return candidates[candidateAt[view]].alias;
  return candidates.front().alias;  // not reached: every candidate is in the view
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
