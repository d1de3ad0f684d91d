#include "weights.h"

#include <algorithm>

#include "config_reader.h"
#include "die.h"
#include "fsutil.h"
#include "int_conversion.h"
#include "json.h"
#include "key_syntax.h"
#include "options.h"
#include "registry.h"
#include "text_index.h"
#include "text_order.h"

namespace {

constexpr char kDefaultDomain[] = "Default";
constexpr char kNotFound[] = "Failed to find weight in config";

bool byName(const WeightEntry& a, const WeightEntry& b) { return a.name < b.name; }

// Appends [{"domain":weight},...] of a non-empty list.
void appendListJson(std::string* out, std::span<const WeightEntry> list) {
  out->push_back('[');
  for (const WeightEntry& e : list) {
    if (&e != list.data()) out->push_back(',');
    out->push_back('{');
    appendJsonString(out, e.domain);
    out->push_back(':');
    appendJsonInt(out, e.weight);
    out->push_back('}');
  }
  out->push_back(']');
}

}  // namespace

void getThreshold(const std::string& selectPath) {
  QELConfig cfg = parseOrDie(selectPath);
  std::string value = lookup(cfg, kThresholdKey);
  if (value.empty()) dieStatusf(255, "\"rp.select_threshold\" not found in %s", selectPath);
  writeStdout(value);
}

std::string addWeightsForLine(WeightTable* table, std::string_view domain, std::string_view value) {
  std::string error;
  forEachSelectPart(value, [&](std::string_view piece) {
    size_t colon = piece.find(':');
    if (!error.empty() || colon == std::string_view::npos) return;
    std::string_view rest = piece.substr(colon + 1);
    std::string_view weightText = rest.substr(0, rest.find(':'));
    int64_t weight = 0;
    IntError e = parseDecimalInt(weightText, &weight);
    if (e != IntError::kNone) {
      error = intErrorText(weightText, e);
      return;
    }
    table->push_back({piece.substr(0, colon), domain, weight});
  });
  return error;
}

void getWeightsForLine(WeightTable* table, std::string_view domain, std::string_view value) {
  std::string error = addWeightsForLine(table, domain, value);
  if (!error.empty()) dieStatusf(255, "Invalid weight format %s", error);
}

void groupByName(WeightTable* table) {
  stableSortByText(table, [](const WeightEntry& e) { return e.name; });
}

void addZeroEntries(WeightTable* table, const std::vector<std::string_view>& keys) {
  // The names met so far, indexed: those with a Default entry, then each key
  // as it gets its zero entry. Only the zero entries need sorting, and a
  // default line mostly names every key.
  std::vector<std::string_view> seen;
  TextIndex index;
  const auto seenAt = [&](size_t i) { return seen[i]; };
  const auto firstTime = [&](std::string_view name) {
    if (index.findOrAdd(name, seen.size(), seenAt) != seen.size()) return false;
    seen.push_back(name);
    return true;
  };
  for (const WeightEntry& e : *table)
    if (e.domain == kDefaultDomain) firstTime(e.name);
  WeightTable zeros;
  for (std::string_view key : keys)
    if (firstTime(key)) zeros.push_back({key, kDefaultDomain, 0});
  stableSortByText(&zeros, [](const WeightEntry& e) { return e.name; });
  // A stable merge: each zero entry ends up after the entries of its name.
  auto middle = static_cast<WeightTable::difference_type>(table->size());
  table->insert(table->end(), zeros.begin(), zeros.end());
  std::inplace_merge(table->begin(), table->begin() + middle, table->end(), byName);
}

void getWeight(const std::string& selectPath, const std::string& rpPath) {
  // The table views the texts of the parsed files, which the tool never
  // closes; the settings come in the library's order.
  WeightTable table;
  bool readDefault = false;
  parseOrDie(selectPath).ForEachSetting([&](SettingText s) {
    const std::string_view key = s.key;
    if (key.find(kDefaultSelectKey) == std::string_view::npos) return;
    std::string_view domain;
    if (!matchCertsKey(key, &domain)) {
      // The default line, but also the threshold and any other such key.
      domain = kDefaultDomain;
      readDefault = true;
    }
    getWeightsForLine(&table, domain, s.value);
  });
  groupByName(&table);

  // The registry keys view the rp config's texts: its handle is never closed.
  if (readDefault) addZeroEntries(&table, getUpstreamKeys(parseOrDie(rpPath)));
  printWeights(table);
}

std::span<const WeightEntry> entriesOf(const WeightTable& table, std::string_view name) {
  auto [first, last] = std::equal_range(table.begin(), table.end(), WeightEntry{name, {}, 0}, byName);
  return {first, last};
}

std::string formatWeightLines(const WeightTable& table, bool all, std::string_view name, std::string_view domain) {
  std::span<const WeightEntry> entries = all ? std::span<const WeightEntry>(table) : entriesOf(table, name);
  bool anyDomain = all || domain.empty();
  std::string out;
  for (const WeightEntry& e : entries) {
    if (!anyDomain && e.domain != domain) continue;
    out += e.domain;
    out += ' ';
    out += e.name;
    out += ' ';
    appendJsonInt(&out, e.weight);
    out += '\n';
  }
  return out;
}

std::string domainWeightsJson(std::span<const WeightEntry> list) {
  if (list.empty()) return "null";
  std::string out;
  appendListJson(&out, list);
  return out;
}

std::string weightTableJson(const WeightTable& table) {
  std::string out = "{";
  out.reserve(table.size() * 32);  // about a name and one entry each
  for (auto first = table.begin(); first != table.end();) {
    auto last = std::find_if(first, table.end(), [&](const WeightEntry& e) { return e.name != first->name; });
    if (first != table.begin()) out += ',';
    appendJsonString(&out, first->name);
    out += ':';
    appendListJson(&out, {first, last});
    first = last;
  }
  out += '}';
  return out;
}

void printJson(std::string encoded) {
  if (encoded == "null") dieStatusf(100, kNotFound);
  encoded += '\n';
  writeStdout(encoded);
}

int64_t getWeightForDomain(const WeightTable& table) {
  for (const WeightEntry& e : entriesOf(table, optWeightForName)) {
    if (e.domain == optDomain) return e.weight;
  }
  dieStatusf(100, kNotFound);
}

void printWeights(const WeightTable& table) {
  if (optJson) {
    if (optWeights) return printJson(weightTableJson(table));
    if (optDomain.empty()) return printJson(domainWeightsJson(entriesOf(table, optWeightForName)));
    std::string number;
    appendJsonInt(&number, getWeightForDomain(table));
    return printJson(number);
  }
  std::string lines = formatWeightLines(table, optWeights, optWeightForName, optDomain);
  if (lines.empty() && !optWeights) dieStatusf(100, kNotFound);
  writeStdout(lines);
}

