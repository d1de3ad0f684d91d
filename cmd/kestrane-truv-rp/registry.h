// The upstream registry of the rp config and its three read-only commands.
//
// An upstream is an alias: the bracket text of any key upstreamKeyRegexp
// matches (key_syntax.h). Its DC UID is the raw value of its dc_uid key when
// it has one, else the alias; that is also its registry key, under which
// aliases sharing one collapse into one record. Everything is read from one
// walk of the parsed rp config, whose handle the tool never closes: the views
// here stay valid for the run. Where the file leaves a choice open (an alias
// with several dc_uid keys, aliases sharing a registry key, the order of a
// listing) the setting the walk meets last wins, and lists come in the order
// the walk first meets each alias.
#ifndef KTRP_REGISTRY_H_
#define KTRP_REGISTRY_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "qel_io/config/config.h"

// Member name -> value ("alias" always; "address", "redirect", "stat",
// "secret", "digest" when non-empty). Ordered as JSON wants it.
using UpstreamRecord = std::map<std::string, std::string>;

// An upstream: its alias and the expanded values of its members (empty for
// none), as views of the parsed rp config.
struct UpstreamEntry {
  std::string_view alias;
  std::string_view address, digest, redirect, secret, stat;
};

// One entry of the registry: a registry key and the record kept under it.
struct RegistryEntry {
  std::string_view key;
  UpstreamEntry upstream;
};

// The DC UID list: one entry per alias, repeats kept.
std::vector<std::string_view> getUpstreamsUid(QELConfig cfg);
// The registry: one entry per registry key.
std::vector<RegistryEntry> getUpstreams(QELConfig cfg);
// The keys of the registry alone, each once, in the registry's order.
std::vector<std::string_view> getUpstreamKeys(QELConfig cfg);
// The record of alias, from the lookups of its five properties.
UpstreamRecord getUpstreamProps(QELConfig cfg, const std::string& alias);

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
