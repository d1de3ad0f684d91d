#include "select_edit.h"

#include <unordered_map>
#include <unordered_set>

#include "config_reader.h"
#include "die.h"
#include "flags.h"
#include "int_conversion.h"
#include "key_syntax.h"
#include "line_edit.h"
#include "options.h"
#include "registry.h"

namespace {

void appendEntry(std::string* line, std::string_view name, int64_t weight) {
  *line += ' ';
  *line += name;
  *line += ':';
  *line += std::to_string(weight);
}

// The domains of the domain select lines of cfg, in the order the library
// gives its settings. An order that follows the file, or the keys, is the
// same before and after the default select line is rewritten, which is what
// lets one rewrite stand for the steps of removeFromAllLines.
std::vector<std::string> domainsOf(QELConfig cfg) {
  std::vector<std::string> domains;
  cfg.ForEachSetting([&](SettingText s) {
    std::string_view domain;
    if (matchCertsKey(s.key, &domain)) domains.emplace_back(domain);
  });
  return domains;
}

// Takes name out of the default select line and then out of every domain
// select line: the steps of changeSelectLine and changeFromAllDomainLines,
// in one rewrite. Each step would read its line's value from the file as the
// steps before it left it. Those remove the lines of other keys only, but
// each of them rewrites the whole file, giving every line appended before it
// its line end and taking one "\r" before each line end: a value read up
// front is the one its step would read unless it ends in "\r" (the library
// may then read it without). So the lines are changed one step after the
// other when a domain's value ends in "\r", and when two domains are the
// same once their blanks are dropped (or one domain stands in two keys): the
// removal prefix of one then takes the lines of the other too.
void removeFromAllLines(const std::string& selectPath, const std::string& name, QELConfig cfg) {
  std::vector<std::string> domains = domainsOf(cfg);
  domains.insert(domains.begin(), "");  // the default select line first
  std::vector<std::string_view> values;
  values.reserve(domains.size());
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < domains.size(); ++i) {
    values.push_back(cfg.GetStringView(selectKey(domains[i])).first);
    if (i > 0 && (!seen.insert(removeBlanks(domains[i])).second || values.back().ends_with('\r'))) {
      changeSelectLine(selectPath, name, "", true, 0);
      return changeFromAllDomainLines(selectPath, name, true, 0);
    }
  }
  std::vector<std::string> prefixes;
  std::string text;
  for (size_t i = 0; i < domains.size(); ++i) {
    prefixes.push_back(selectRemovalPrefix(domains[i]));
    std::string line = rebuildSelectLine(selectStartText(domains[i]), values[i], name, true, 0);
    if (!emptySelectLine(line)) text += afterRewrites(line, domains.size() - 1 - i);
  }
  replaceLines(selectPath, prefixes, text, domains.size());
}

}  // namespace

std::string rebuildSelectLine(std::string_view startText, std::string_view value, std::string_view name,
                              bool remove, int64_t weight) {
  std::string line;
  line.reserve(startText.size() + value.size() + name.size() + 24);
  line += startText;
  forEachSelectPart(value, [&](std::string_view part) {
    if (selectEntryName(part) == name) return;
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
      for (size_t idx : it->second) alive[idx] = alive[idx] && selectEntryName(parts[idx]) != name;
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
    forEachSelectPart(entry, [&](std::string_view part) {
      byName[std::string(selectEntryName(part))].push_back(parts.size());
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
        byName[std::string(selectEntryName(part))].push_back(front);
      }
      break;
    }
  }
  return line;
}

void changeSelectLine(const std::string& selectPath, const std::string& name, const std::string& domain,
                      bool remove, int64_t weight) {
  QELConfig cfg = parseOrDie(selectPath);
  std::string line = rebuildSelectLine(selectStartText(domain), lookup(cfg, selectKey(domain)), name, remove, weight);
  replaceLines(selectPath, {selectRemovalPrefix(domain)}, emptySelectLine(line) ? std::string() : line);
}

void changeFromAllDomainLines(const std::string& selectPath, const std::string& name, bool remove,
                              int64_t weight) {
  for (const std::string& d : domainsOf(parseOrDie(selectPath)))
    changeSelectLine(selectPath, name, d, remove, weight);
}

bool nameExists(const std::string& name, const std::string& rpPath) {
  return !lookup(parseOrDie(rpPath), upstreamKey(name, "address")).empty();
}

void setThreshold(const std::string& selectPath) {
  replaceLines(selectPath, {kThresholdKey}, std::string(kThresholdKey) + " = " + std::to_string(optSetThreshold));
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

  // No default line: one of every other upstream at weight 1. Added one by
  // one, each step would remove the line the one before it appended; the
  // line they leave is built in one pass and written once, the file having
  // been rewritten once per name.
  std::vector<std::string> others;
  for (std::string_view key : getUpstreamKeys(rpCfg)) {
    if (key != name) others.emplace_back(key);
  }
  if (others.empty()) return;
  replaceLines(selectPath, {selectRemovalPrefix("")}, defaultLineOfNames(others), others.size());
}
