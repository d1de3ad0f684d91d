// The weight and threshold queries of accounts-balancing, read from the rp
// select config; nothing here writes a file.
//
// The weight query reads every key that holds "rp.select": a domain select
// line "certs[DOMAIN].rp.select" under its domain, any other such key
// (the default select line, the threshold, ...) under "Default". When a key
// was read under Default, every registry key of the rp config without a
// Default entry gets the zero entry (Default, 0), after the entries read.
#ifndef KTRP_WEIGHTS_H_
#define KTRP_WEIGHTS_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

#endif  // KTRP_WEIGHTS_H_
