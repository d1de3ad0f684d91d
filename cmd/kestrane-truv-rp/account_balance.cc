#include "account_balance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

#include "args.h"
#include "die.h"
#include "files.h"
#include "fsutil.h"
#include "json.h"
#include "key_syntax.h"
#include "line_edit.h"
#include "paths.h"
#include "qel_io/config/config.h"
#include "registry.h"

namespace {

constexpr char kDefaultDomain[] = "Default";
constexpr char kDefaultSelectKey[] = "rp.select";
constexpr char kThresholdKey[] = "rp.select_threshold";
constexpr char kNotFound[] = "Failed to find weight in config";

QELConfig parseOrDie(const std::string& path) {
  auto [cfg, err] = ParseFile(path);
  if (err) dieStatusf(255, "Error: %s", err);
  return cfg;
}

// A failed lookup reads as the empty value.
std::string lookup(QELConfig cfg, std::string_view key) { return cfg.GetString(key).first; }

// Calls fn for each piece of s between blanks; adjacent blanks and blanks at
// either end give empty pieces, and "" gives one empty piece.
template <typename Fn>
void forEachBlankPiece(std::string_view s, Fn fn) {
  for (;;) {
    size_t blank = s.find(' ');
    fn(s.substr(0, blank));
    if (blank == std::string_view::npos) return;
    s.remove_prefix(blank + 1);
  }
}

// The name of a select entry: its text before the first ":", or all of it.
std::string_view entryName(std::string_view part) { return part.substr(0, part.find(':')); }

void appendEntry(std::string* line, std::string_view name, int64_t weight) {
  *line += ' ';
  *line += name;
  *line += ':';
  *line += std::to_string(weight);
}

// Key, start text of the written line and removal prefix of a select line.
struct SelectLineTexts {
  std::string key, startText, prefix;
};

SelectLineTexts selectLineTexts(const std::string& domain) {
  if (domain.empty()) return {kDefaultSelectKey, "rp.select =", "rp.select="};
  std::string key = "certs[" + domain + "].rp.select";
  return {key, key + " =", key + "="};
}

// Replaces the lines of prefixes by lines, leaving out those that hold no
// value; the new lines go to the end of the file. One rewrite: a reader, or
// a run killed meanwhile, sees the file as it was or as it ends up, never
// with a line removed and its replacement missing.
void replaceSelectLines(const std::string& selectPath, const std::vector<std::string>& prefixes,
                        const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (emptySelectLine(line)) continue;
    if (!text.empty()) text += '\n';
    text += line;
  }
  replaceLines(selectPath, prefixes, text);
}

// The domains of the domain select lines of cfg, in its view's order.
std::vector<std::string> domainsOf(QELConfig cfg) {
  auto [view, viewErr] = cfg.GetView();
  if (viewErr) dieStatusf(255, "Error: %s", viewErr);
  std::vector<std::string> domains;
  std::string_view domain;
  for (const auto& entry : view) {
    if (matchCertsKey(entry.first, &domain)) domains.emplace_back(domain);
  }
  return domains;
}

// Takes name out of the default select line and then out of every domain
// select line, in one rewrite. Done one line after the other, each line's
// value would be read from the file as the lines before it left it; those
// changes touch other keys only, so the values read up front are the same.
// That fails when two domains are the same once their blanks are dropped:
// the removal prefix of one then also takes the lines of the other, so the
// lines are then changed one by one.
void removeFromAllLines(const std::string& selectPath, const std::string& name, QELConfig cfg) {
  std::vector<std::string> domains = domainsOf(cfg);
  std::unordered_set<std::string> seen;
  for (const std::string& d : domains) {
    if (!seen.insert(removeBlanks(d)).second) {
      changeSelectLine(selectPath, name, "", true, 0);
      return changeFromAllDomainLines(selectPath, name, true, 0);
    }
  }
  std::vector<std::string> prefixes, lines;
  domains.insert(domains.begin(), "");  // the default select line first
  for (const std::string& d : domains) {
    SelectLineTexts texts = selectLineTexts(d);
    prefixes.push_back(texts.prefix);
    lines.push_back(rebuildSelectLine(texts.startText, lookup(cfg, texts.key), name, true, 0));
  }
  replaceSelectLines(selectPath, prefixes, lines);
}

// A domain that an edit puts into the key of a select line, or compares with
// one, must be one that a key can hold. (A name is written only when the rp
// config already holds it as an alias.)
void refuseBadDomain() {
  bool edits = !optSetWeightForName.empty() || !optRemoveName.empty();
  if (edits && !optDomain.empty()) checkKeyPart("-domain", optDomain, KeyPart::kDomain);
}

// Pieces of the weight query.

bool byName(const WeightEntry& a, const WeightEntry& b) { return a.name < b.name; }

// The first eight bytes of s as a number that orders like them (a shorter
// text is padded with zero bytes, which orders it first among equal heads).
uint64_t headOf(std::string_view s) {
  unsigned char bytes[8] = {};
  s.copy(reinterpret_cast<char*>(bytes), sizeof bytes);
  uint64_t head = 0;
  for (unsigned char b : bytes) head = head << 8 | b;
  return head;
}

// keys in ascending order, each once. They are views of texts scattered
// over the library's memory: sorted with their heads beside them, most
// comparisons need not reach them.
std::vector<std::string_view> sortedUnique(const std::vector<std::string_view>& keys) {
  struct Headed {
    uint64_t head;
    std::string_view key;
    bool operator<(const Headed& o) const { return head != o.head ? head < o.head : key < o.key; }
  };
  std::vector<Headed> headed;
  headed.reserve(keys.size());
  for (std::string_view key : keys) headed.push_back({headOf(key), key});
  std::sort(headed.begin(), headed.end());
  std::vector<std::string_view> sorted;
  sorted.reserve(headed.size());
  for (const Headed& h : headed) {
    if (sorted.empty() || sorted.back() != h.key) sorted.push_back(h.key);
  }
  return sorted;
}

void appendDecimal(std::string* out, int64_t v) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
  out->append(digits, end);
}

// Appends [{"domain":weight},...] of a non-empty list.
void appendListJson(std::string* out, std::span<const WeightEntry> list) {
  out->push_back('[');
  for (const WeightEntry& e : list) {
    if (&e != list.data()) out->push_back(',');
    out->push_back('{');
    appendJsonString(out, e.domain);
    out->push_back(':');
    appendDecimal(out, e.weight);
    out->push_back('}');
  }
  out->push_back(']');
}

}  // namespace

// ---- Driver ----------------------------------------------------------------

void accountBalance(const std::string& rpPath) {
  refuseBadDomain();
  std::string selectPath = getRpSelectConfig();
  struct stat st;
  if (::stat(selectPath.c_str(), &st) != 0 && errno == ENOENT) {
    if (FileError e = createFile(selectPath, 0666, ""))
      dieStatusf(255, "Failed to create rp select config file %s (%s)", selectPath, e.text);
  }

  if (optGetThreshold) getThreshold(selectPath);
  if (optSetThreshold != -1) setThreshold(selectPath);
  if (!optWeightForName.empty() || optWeights) getWeight(selectPath, rpPath);
  if (!optSetWeightForName.empty()) setWeight(selectPath, rpPath);
  if (!optRemoveName.empty()) removeName(selectPath, rpPath);
}

// ---- Queries ---------------------------------------------------------------

void getThreshold(const std::string& selectPath) {
  QELConfig cfg = parseOrDie(selectPath);
  std::string value = lookup(cfg, kThresholdKey);
  if (value.empty()) dieStatusf(255, "\"rp.select_threshold\" not found in %s", selectPath);
  writeStdout(value);
}

bool matchCertsKey(std::string_view key, std::string_view* domain) {
  static const RE2 certsPattern("certs\\[(.+)\\].rp.select", [] {
    RE2::Options o;
    o.set_encoding(RE2::Options::EncodingLatin1);  // keys are bytes, not UTF-8
    o.set_log_errors(false);
    return o;
  }());
  re2::StringPiece groups[2];
  if (!certsPattern.Match(re2::StringPiece(key.data(), key.size()), 0, key.size(), RE2::UNANCHORED, groups, 2))
    return false;
  *domain = std::string_view(groups[1].data(), groups[1].size());
  return true;
}

std::string addWeightsForLine(WeightTable* table, std::string_view domain, std::string_view value) {
  std::string error;
  forEachBlankPiece(value, [&](std::string_view piece) {
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

void groupByName(WeightTable* table) { std::stable_sort(table->begin(), table->end(), byName); }

void addZeroEntries(WeightTable* table, const std::vector<std::string_view>& keys) {
  // One walk over the table beside the sorted keys.
  WeightTable zeros;
  auto it = table->cbegin();
  for (std::string_view key : sortedUnique(keys)) {
    while (it != table->cend() && it->name < key) ++it;
    bool hasDefault = false;
    for (; it != table->cend() && it->name == key; ++it) hasDefault = hasDefault || it->domain == kDefaultDomain;
    if (!hasDefault) zeros.push_back({key, kDefaultDomain, 0});
  }
  // A stable merge: each zero entry ends up after the entries of its name.
  auto middle = static_cast<WeightTable::difference_type>(table->size());
  table->insert(table->end(), zeros.begin(), zeros.end());
  std::inplace_merge(table->begin(), table->begin() + middle, table->end(), byName);
}

void getWeight(const std::string& selectPath, const std::string& rpPath) {
  QELConfig cfg = parseOrDie(selectPath);
  auto [view, viewErr] = cfg.GetView();
  if (viewErr) dieStatusf(255, "Error: %s", viewErr);

  // The table views the view's texts, which live on until it is printed.
  WeightTable table;
  bool readDefault = false;
  for (const auto& [key, value] : view) {
    if (key.find(kDefaultSelectKey) == std::string::npos) continue;
    std::string_view domain;
    if (!matchCertsKey(key, &domain)) {
      // The default line, but also the threshold and any other such key.
      domain = kDefaultDomain;
      readDefault = true;
    }
    getWeightsForLine(&table, domain, value);
  }
  groupByName(&table);

  // The registry keys view the rp config's texts: its handle is never closed.
  if (readDefault) addZeroEntries(&table, getUpstreamsUidViews(parseOrDie(rpPath)));
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
    appendDecimal(&out, e.weight);
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

// ---- Editing ---------------------------------------------------------------

std::string rebuildSelectLine(std::string_view startText, std::string_view value, std::string_view name,
                              bool remove, int64_t weight) {
  std::string line;
  line.reserve(startText.size() + value.size() + name.size() + 24);
  line += startText;
  forEachBlankPiece(value, [&](std::string_view part) {
    if (entryName(part) == name) return;
    line += ' ';
    line += part;
  });
  if (!remove) appendEntry(&line, name, weight);
  return line;
}

bool emptySelectLine(std::string_view line) {
  constexpr char kSpace[] = " \t\n\v\f\r";
  size_t first = line.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return true;
  line = line.substr(first, line.find_last_not_of(kSpace) - first + 1);
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return true;
  size_t next = line.find('=', eq + 1);
  return (next == std::string_view::npos ? line.size() : next) == eq + 1;
}

std::string defaultLineOfNames(const std::vector<std::string>& names) {
  // The value as read back between two steps, as its blank-separated parts;
  // dropped parts stay in place, marked dead. It starts as the empty value.
  // byName may list a part under a name it has lost; dropping checks.
  std::vector<std::string> parts{""};
  std::vector<bool> alive{true};
  std::unordered_map<std::string, std::vector<size_t>> byName{{"", {0}}};
  size_t front = 0;  // parts before it are dead

  std::string line = "rp.select =";
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (auto it = byName.find(name); it != byName.end()) {
      for (size_t idx : it->second) alive[idx] = alive[idx] && entryName(parts[idx]) != name;
      byName.erase(it);
    }
    std::string entry = name + ":1";
    if (i + 1 == names.size()) {
      size_t size = line.size() + entry.size() + 1;
      for (size_t k = front; k < parts.size(); ++k) size += alive[k] ? parts[k].size() + 1 : 0;
      line.reserve(size);
      for (size_t k = front; k < parts.size(); ++k) {
        if (!alive[k]) continue;
        line += ' ';
        line += parts[k];
      }
      line += ' ';
      line += entry;
      break;
    }
    forEachBlankPiece(entry, [&](std::string_view part) {
      byName[std::string(entryName(part))].push_back(parts.size());
      parts.emplace_back(part);
      alive.push_back(true);
    });
    // The library reads the value without the blanks and tabs at its start:
    // leading empty parts go, and the first part left may lose its tabs (and
    // with them its old name). The entry's last part ends in a digit, so the
    // end of the value stays as it is.
    for (;; alive[front++] = false) {
      if (!alive[front]) continue;
      std::string& part = parts[front];
      size_t tabs = part.find_first_not_of('\t');
      if (tabs == std::string::npos) continue;
      if (tabs > 0) {
        part.erase(0, tabs);
        byName[std::string(entryName(part))].push_back(front);
      }
      break;
    }
  }
  return line;
}

void changeSelectLine(const std::string& selectPath, const std::string& name, const std::string& domain,
                      bool remove, int64_t weight) {
  QELConfig cfg = parseOrDie(selectPath);
  SelectLineTexts texts = selectLineTexts(domain);
  std::string value = lookup(cfg, texts.key);
  replaceSelectLines(selectPath, {texts.prefix}, {rebuildSelectLine(texts.startText, value, name, remove, weight)});
}

void changeFromAllDomainLines(const std::string& selectPath, const std::string& name, bool remove,
                              int64_t weight) {
  for (const std::string& d : domainsOf(parseOrDie(selectPath)))
    changeSelectLine(selectPath, name, d, remove, weight);
}

bool nameExists(const std::string& name, const std::string& rpPath) {
  QELConfig cfg = parseOrDie(rpPath);
  return !lookup(cfg, "rp.upstreams[" + name + "].address").empty();
}

void setThreshold(const std::string& selectPath) {
  replaceLines(selectPath, {kThresholdKey}, "rp.select_threshold = " + std::to_string(optSetThreshold));
}

void setWeight(const std::string& selectPath, const std::string& rpPath) {
  std::string text = commandLine().Arg(0);
  if (text.empty()) dieStatusf(10, "Weight must be specified as last argument");
  int64_t weight = 0;
  if (IntError e = parseDecimalInt(text, &weight); e != IntError::kNone)
    dieStatusf(10, "Invalid weight format, expected int (%s)", intErrorText(text, e));
  if (weight < 0 || weight > 100) dieStatusf(10, "Weight must be between 0 and 100");
  if (!nameExists(optSetWeightForName, rpPath))
    dieStatusf(100, "Failed to find name %s in rp config %s", optSetWeightForName, rpPath);
  changeSelectLine(selectPath, optSetWeightForName, optDomain, false, weight);
}

void removeName(const std::string& selectPath, const std::string& rpPath) {
  const std::string& name = optRemoveName;
  QELConfig selectCfg = parseOrDie(selectPath);
  QELConfig rpCfg = parseOrDie(rpPath);
  if (!lookup(selectCfg, kDefaultSelectKey).empty()) {
    if (!optDomain.empty()) return changeSelectLine(selectPath, name, optDomain, true, 0);
    return removeFromAllLines(selectPath, name, selectCfg);
  }

  // No default line: write one of every other upstream at weight 1. Adding
  // them one by one would rewrite the file once per upstream; the line is
  // built in one pass instead and written once.
  std::vector<std::string> others;
  for (std::string& key : getUpstreamKeys(rpCfg)) {
    if (key != name) others.push_back(std::move(key));
  }
  if (others.empty()) return;
  replaceSelectLines(selectPath, {selectLineTexts("").prefix}, {defaultLineOfNames(others)});
}
