// Account balancing in the rp select config: the driver, the threshold and
// weight queries, and the select line editing.
//
// The rp select config holds a default select line "rp.select = a:70 b:30",
// domain select lines "certs[DOMAIN].rp.select = ..." and the threshold line
// "rp.select_threshold = N". It is read through the configuration library and
// changed as text: a changed line is removed and appended again, so it moves
// to the end of the file without a line end. Each edit is one rewrite of the
// file through a copy, so the file is never seen half changed.
#ifndef KTRP_ACCOUNT_BALANCE_H_
#define KTRP_ACCOUNT_BALANCE_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Handler of accounts-balancing; rm-upstream runs it with only
// optRemoveName set. Creates a missing rp select config (empty), then runs
// the requested steps in a fixed order: get threshold, set threshold, weight
// query, set weight, remove name. Each step parses the file afresh.
void accountBalance(const std::string& rpPath);

// One entry of the weight query: a select entry, or the zero entry of a
// registry key. name and domain view texts that outlive the table (the
// parsed select config's view, the registry keys, a literal).
struct WeightEntry {
  std::string_view name;
  std::string_view domain;  // "Default" for the default select line
  int64_t weight;
  bool operator==(const WeightEntry&) const = default;
};
// The weight table: its entries grouped by name in ascending byte order (the
// JSON object's order), each name's entries in the order they were added. A
// sorted vector of views: the table of 100,000 upstreams is built, sorted
// and printed once, and a map of string nodes cost more than all the rest.
using WeightTable = std::vector<WeightEntry>;

// ---- Queries ---------------------------------------------------------------

// Prints the expanded threshold as it stands, without a newline.
void getThreshold(const std::string& selectPath);
// Builds the weight table (zero entries from rpPath's registry keys when a
// default line was read) and prints it as the options ask.
void getWeight(const std::string& selectPath, const std::string& rpPath);
// Appends the entries of one select value under domain, in their order;
// ends the process (255) on a weight that is not a decimal integer.
void getWeightsForLine(WeightTable* table, std::string_view domain, std::string_view value);
void printWeights(const WeightTable& table);
// The first weight of optWeightForName under optDomain; ends the process
// (100) when there is none.
int64_t getWeightForDomain(const WeightTable& table);
// Prints encoded JSON and a newline; "null" (a name without entries) ends
// the process with 100 instead.
void printJson(std::string encoded);

// Pure pieces of the queries, exposed for tests.

// Matches the certs pattern "certs\\[(.+)\\].rp.select" anywhere in key; the
// domain is group 1 (greedy, so up to the last fitting "]"), a view of key.
bool matchCertsKey(std::string_view key, std::string_view* domain);
// getWeightsForLine without ending the process: "" or the conversion's
// error text of the first bad weight (entries before it are added).
std::string addWeightsForLine(WeightTable* table, std::string_view domain, std::string_view value);
// Turns entries in the order they were read into a table: a stable sort by
// name, so each name keeps its entries' order.
void groupByName(WeightTable* table);
// Appends the zero entry (Default, 0) to the list of every key whose list
// has no Default entry, creating the list when the key has none.
void addZeroEntries(WeightTable* table, const std::vector<std::string_view>& keys);
// The list of name: its run of entries, empty when it has none.
std::span<const WeightEntry> entriesOf(const WeightTable& table, std::string_view name);
// The plain lines "DOMAIN NAME WEIGHT\n": every entry when all, else the
// entries of name, only those of domain when it is not empty.
std::string formatWeightLines(const WeightTable& table, bool all, std::string_view name, std::string_view domain);
std::string weightTableJson(const WeightTable& table);
// [{"domain":weight},...] of one name's list, or "null" when it is empty
// (the name has no list).
std::string domainWeightsJson(std::span<const WeightEntry> list);

// ---- Editing ---------------------------------------------------------------

// Rebuilds the default select line (domain empty) or the line of domain:
// drops every entry of name, appends " name:weight" unless remove, replaces
// the line in the file, and leaves it out when it ends up without a value.
void changeSelectLine(const std::string& selectPath, const std::string& name, const std::string& domain,
                      bool remove, int64_t weight);
// changeSelectLine on every domain select line of the file.
void changeFromAllDomainLines(const std::string& selectPath, const std::string& name, bool remove,
                              int64_t weight);
// Whether the rp config holds a non-empty address for the alias name.
bool nameExists(const std::string& name, const std::string& rpPath);
void setThreshold(const std::string& selectPath);
void setWeight(const std::string& selectPath, const std::string& rpPath);
void removeName(const std::string& selectPath, const std::string& rpPath);

// Pure pieces of the editing, exposed for tests.

// startText, then " part" for each blank-separated part of value whose name
// (text before the first ":") is not name, then " name:weight" unless remove.
std::string rebuildSelectLine(std::string_view startText, std::string_view value, std::string_view name,
                              bool remove, int64_t weight);
// True when the line, trimmed, has no "=" or nothing between its first "="
// and the next one.
bool emptySelectLine(std::string_view line);
// The default select line that adding each of names at weight 1, one
// changeSelectLine after the other, leaves on a file without one. Built in
// one pass: between two of those steps the library reads the value back
// without the blanks and tabs at its ends, which is modelled here. names is
// not empty.
std::string defaultLineOfNames(const std::vector<std::string>& names);

#endif  // KTRP_ACCOUNT_BALANCE_H_
