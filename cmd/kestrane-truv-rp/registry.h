// The upstream registry in the rp config and its three read-only commands.
#ifndef KTRP_REGISTRY_H_
#define KTRP_REGISTRY_H_

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "qel_io/config/config.h"

// Compiles upstreamKeyRegexp, "rp.upstreams\s*\[(.+)\]\.([^ ]+)"; called once
// at start-up.
void compileUpstreamKeyRegexp();

// Matches key against upstreamKeyRegexp (unanchored, leftmost-first,
// bytes): capture 1 is the alias, capture 2 the property.
bool matchUpstreamKey(const std::string& key, std::string* alias, std::string* property);

// Member name -> value ("alias" always; "address", "redirect", "stat",
// "secret", "digest" when non-empty). Ordered as JSON wants it.
using UpstreamRecord = std::map<std::string, std::string>;

// An upstream of the registry: its alias and the expanded values of its
// members (empty for none), as views of the parsed rp config, whose handle
// the tool never closes. record() is the map getUpstreamProps gives; a
// registry of 100,000 upstreams need not build as many maps.
struct UpstreamEntry {
  std::string_view alias;
  std::string_view address, digest, redirect, secret, stat;
  UpstreamRecord record() const;
};
// Registry key (raw dc_uid value, or the alias without one) -> upstream.
using UpstreamRegistry = std::unordered_map<std::string, UpstreamEntry>;

// cfg's view; "cfg.GetView() error: %s" (255) should the binding fail.
ConfigView getView(QELConfig cfg);
// The alias set and the alias -> raw dc_uid map of a view.
void getAliasesAndAlias2Uid(const ConfigView& view, std::unordered_set<std::string>* aliases,
                            std::unordered_map<std::string, std::string>* alias2uid);

// The same, read in one walk over cfg (QELConfig::ForEachSetting) with no
// view. Where the file gives an alias several dc_uid keys, or several
// aliases one registry key, the one the walk meets last wins.

// The DC UID list: one entry per alias, repeats kept.
std::vector<std::string> getUpstreamsUid(QELConfig cfg);
// The same list as views of cfg's texts (the tool never closes a handle),
// for callers that read 100,000 of them and need no copies.
std::vector<std::string_view> getUpstreamsUidViews(QELConfig cfg);
UpstreamRecord getUpstreamProps(QELConfig cfg, const std::string& alias);
UpstreamRegistry getUpstreams(QELConfig cfg);
// The keys of getUpstreams(cfg), each once, without building its map.
std::vector<std::string> getUpstreamKeys(QELConfig cfg);

// The alias of the upstream whose DC UID is optDcUid: optDcUid itself when
// its address is non-empty, else the bracket text of a key whose raw value
// is optDcUid. Never empty: ends the process with "DC UID %s not found" and
// notFoundStatus when there is none ("Error: %s", 255, when rpPath does not
// parse).
std::string getAliasFromUid(const std::string& rpPath, int notFoundStatus);

// Handlers of upstream-uids, upstreams and get-upstream.
void allUpstreamUids(const std::string& rpPath);
void allUpstreams(const std::string& rpPath);
void getUpstream(const std::string& rpPath);

#endif  // KTRP_REGISTRY_H_
