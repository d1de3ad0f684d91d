#include "registry.h"

#include <cstring>
#include <optional>
#include <utility>

#include "config_reader.h"
#include "die.h"
#include "fsutil.h"
#include "json.h"
#include "key_syntax.h"
#include "options.h"
#include "text_index.h"
#include "text_order.h"

namespace {

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

// An alias of the rp config with its raw DC UID, if it has one.
struct ScannedUpstream {
  std::string_view alias;
  std::optional<std::string_view> dcUid;
};

std::string_view registryKey(const ScannedUpstream& u) { return u.dcUid ? *u.dcUid : u.alias; }

// The aliases of the rp config, in the order the walk first meets them, and
// when asked for, the record of each at the same position.
struct Scan {
  std::vector<ScannedUpstream> upstreams;
  std::vector<UpstreamEntry> records;
};

// True for a key of exactly the form "rp.upstreams[ALIAS].PROPERTY", the
// form getUpstreamProps looks up; alias and property are its captures.
bool isLookupKey(std::string_view key, std::string_view alias, std::string_view property) {
  return key.starts_with("rp.upstreams[") && alias.data() == key.data() + 13 &&
         property.data() + property.size() == key.data() + key.size();
}

// With withRecords, each record member is the expanded value of the
// alias's lookup key, taken when the walk is on that key.
Scan scanUpstreams(QELConfig cfg, bool withRecords) {
  Scan scan;
  std::vector<ScannedUpstream>& upstreams = scan.upstreams;
  TextIndex indexOf;
  const auto aliasAt = [&](size_t i) { return upstreams[i].alias; };
  size_t current = 0;
  cfg.ForEachSetting([&](SettingText s) {
    const std::string_view key(s.key);
    std::string_view alias, property;
    if (!matchUpstreamKey(key, &alias, &property)) return;
    // The keys of one alias mostly stand together: look it up only when it
    // changes.
    if (upstreams.empty() || upstreams[current].alias != alias) {
      current = indexOf.findOrAdd(alias, upstreams.size(), aliasAt);
      if (current == upstreams.size()) {
        upstreams.push_back({alias, std::nullopt});
        if (withRecords) scan.records.emplace_back().alias = alias;
      }
    }
    if (property == "dc_uid") {
      upstreams[current].dcUid = std::string_view(s.value);
    } else if (withRecords && isLookupKey(key, alias, property)) {
      if (const Member* m = memberOfProperty(property))
        scan.records[current].*(m->field) = expandedValue(cfg, key, s.value);
    }
  });
  return scan;
}

// The JSON object of an upstream's record, as appendJsonObject writes its
// UpstreamRecord, without building the map.
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

// The registry of the scanned upstreams: for each registry key, in the order
// of its first alias, the position of the upstream whose record it keeps (of
// the aliases sharing a key, the last one).
std::vector<size_t> registryOf(const std::vector<ScannedUpstream>& upstreams) {
  std::vector<size_t> kept;
  TextIndex indexOf(upstreams.size());
  const auto keyAt = [&](size_t i) { return registryKey(upstreams[kept[i]]); };
  for (size_t i = 0; i < upstreams.size(); ++i) {
    const size_t at = indexOf.findOrAdd(registryKey(upstreams[i]), kept.size(), keyAt);
    if (at == kept.size())
      kept.push_back(i);
    else
      kept[at] = i;
  }
  return kept;
}

void printUpstreamUidsAsJson(QELConfig cfg) {
  std::string out = "[";
  bool first = true;
  for (std::string_view uid : getUpstreamsUid(cfg)) {
    if (!first) out += ',';
    first = false;
    appendJsonString(&out, uid);
  }
  out += "]\n";
  writeStdout(out);
}

void printUpstreamUidsAsStrings(QELConfig cfg) {
  std::string out;
  for (std::string_view uid : getUpstreamsUid(cfg)) {
    out += uid;
    out += '\n';
  }
  writeStdout(out);
}

// The registry sorted by key for the JSON object. The keys are distinct.
void printUpstreamsAsJson(QELConfig cfg) {
  const Scan scan = scanUpstreams(cfg, true);
  const std::vector<ScannedUpstream>& upstreams = scan.upstreams;
  // Each key beside its record's position: the loop below then reads only
  // the records and their texts, out of the file's order.
  std::vector<std::pair<std::string_view, size_t>> registry;
  for (size_t at : registryOf(upstreams)) registry.emplace_back(registryKey(upstreams[at]), at);
  stableSortByText(&registry, [](const auto& entry) { return entry.first; });
  // Written out in pieces: one buffer for all of it would be as large as the
  // rp config.
  constexpr size_t kPiece = 64 << 10;
  std::string out;
  out.reserve(kPiece + 4096);
  out += '{';
  for (const auto& [key, at] : registry) {
    if (&key != &registry.front().first) out += ',';
    appendJsonString(&out, key);
    out += ':';
    appendRecordJson(&out, scan.records[at]);
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
    out += s.property == nullptr ? optAlias : lookup(cfg, upstreamKey(optAlias, s.property));
    out += '\n';
  }
  writeStdout(out);
}

}  // namespace

std::vector<std::string_view> getUpstreamsUid(QELConfig cfg) {
  const std::vector<ScannedUpstream> upstreams = scanUpstreams(cfg, false).upstreams;
  std::vector<std::string_view> uids;
  uids.reserve(upstreams.size());
  for (const ScannedUpstream& u : upstreams) uids.push_back(registryKey(u));
  return uids;
}

std::vector<RegistryEntry> getUpstreams(QELConfig cfg) {
  const Scan scan = scanUpstreams(cfg, true);
  std::vector<RegistryEntry> registry;
  for (size_t at : registryOf(scan.upstreams)) registry.push_back({registryKey(scan.upstreams[at]), scan.records[at]});
  return registry;
}

std::vector<std::string_view> getUpstreamKeys(QELConfig cfg) {
  const std::vector<ScannedUpstream> upstreams = scanUpstreams(cfg, false).upstreams;
  std::vector<std::string_view> keys;
  for (size_t at : registryOf(upstreams)) keys.push_back(registryKey(upstreams[at]));
  return keys;
}

UpstreamRecord getUpstreamProps(QELConfig cfg, const std::string& alias) {
  UpstreamRecord record;
  for (const Member& m : kMembers) {
    std::string value = lookup(cfg, upstreamKey(alias, m.property));
    if (!value.empty()) record.emplace(m.name, std::move(value));
  }
  record.emplace("alias", alias);
  return record;
}

std::string getAliasFromUid(const std::string& rpPath, int notFoundStatus) {
  QELConfig cfg = parseOrDie(rpPath);
  if (!lookup(cfg, upstreamKey(optDcUid, "address")).empty()) return optDcUid;

  // Any value may hold the DC UID, but only a key with a non-empty bracket
  // text names an upstream: an entry such as "rp.enable = yes" is passed
  // over, so that no caller goes on with an empty alias (and builds
  // "rp.upstreams[]." keys from it). The first other match in the walk wins.
  std::string_view alias;
  bool found = false;
  cfg.ForEachSetting([&](SettingText s) {
    if (!found && std::strcmp(s.value, optDcUid.c_str()) == 0) found = bracketText(s.key, &alias) && !alias.empty();
  });
  if (!found) dieStatusf(notFoundStatus, "DC UID %s not found", optDcUid);
  return std::string(alias);
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
