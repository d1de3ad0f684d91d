// The stand-in configuration library against a plain model of its syntax:
// the first input byte splits the rest into two files that are merged one
// after the other into one configuration. After each merge the walk must meet
// every setting of the model exactly once, in the model's file order (each
// key in the place of its first line), and every lookup must agree with the
// model; the typed binding must see the same.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "qel_io.h"
#include "qel_io/config/config.h"

namespace {

// The settings in file order, each key in the place of its first line with
// the value of its last, and where each key is.
struct Model {
  std::vector<std::pair<std::string, std::string>> settings;
  std::unordered_map<std::string, size_t> place;

  void set(std::string key, std::string value) {
    auto [it, added] = place.emplace(key, settings.size());
    if (added)
      settings.emplace_back(std::move(key), std::move(value));
    else
      settings[it->second].second = std::move(value);
  }
};

// The README's syntax, written line by line without the library's tricks.
void applyModel(std::string_view data, Model* model) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  auto trim = [&](std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
  };
  while (!data.empty()) {
    size_t nl = data.find('\n');
    std::string_view line = data.substr(0, nl);
    data.remove_prefix(nl == std::string_view::npos ? data.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\0') != std::string_view::npos) continue;
    std::string_view body = trim(line);
    if (body.empty() || body.front() == '#') continue;
    size_t eq = body.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim(body.substr(0, eq));
    if (key.empty()) continue;
    model->set(std::string(key), std::string(trim(body.substr(eq + 1))));
  }
}

// A file the library can open by path, rewritten for every input.
class ScratchFile {
 public:
  ScratchFile() {
    fd_ = memfd_create("qel_io_fuzz", MFD_CLOEXEC);
    if (fd_ >= 0) {
      path_ = std::string("/proc/self/fd/") + std::to_string(fd_);
    } else {
      char tmpl[] = "/tmp/qel_io_fuzz.XXXXXX";
      fd_ = mkstemp(tmpl);
      FUZZ_CHECK(fd_ >= 0, "no scratch file");
      path_ = tmpl;
      unlinkAtExit_ = true;
    }
  }
  ~ScratchFile() {
    if (unlinkAtExit_) unlink(path_.c_str());
  }
  const std::string& write(std::string_view data) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0, "ftruncate");
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0, "pwrite");
      done += static_cast<size_t>(n);
    }
    return path_;
  }

 private:
  int fd_ = -1;
  std::string path_;
  bool unlinkAtExit_ = false;
};

// The stand-in walks in file order, or in its reverse when built with
// QEL_IO_REVERSE_WALK, a C flag this file does not see: the direction is read
// off a file of two settings.
bool walksBackwards() {
  static const bool backwards = [] {
    ScratchFile probe;
    qel_config* cfg = qel_create_config();
    FUZZ_CHECK(cfg != nullptr && qel_merge_config(cfg, probe.write("first = 1\nsecond = 2\n").c_str()) == 0,
               "the direction probe cannot be merged");
    qel_config_node* n = qel_config_get_first(cfg);
    FUZZ_CHECK(n != nullptr, "the direction probe holds no setting");
    const bool second = std::strcmp(n->key, "second") == 0;
    qel_free_config(cfg);
    return second;
  }();
  return backwards;
}

// The model's settings in the order the library walks them.
std::vector<std::pair<std::string, std::string>> walkOrder(const Model& model) {
  std::vector<std::pair<std::string, std::string>> order = model.settings;
  if (walksBackwards()) std::reverse(order.begin(), order.end());
  return order;
}

bool lookupFinds(qel_config* cfg, const std::string& key, char** out) {
  return qel_config_getstr_expand(cfg, key.c_str(), out) == 0;
}

void checkConfig(qel_config* cfg, const Model& model) {
  const auto order = walkOrder(model);
  size_t count = 0;
  for (qel_config_node* n = qel_config_get_first(cfg); n != nullptr; n = qel_config_get_next(n)) {
    FUZZ_CHECK(count < order.size(), "the walk meets more than the %zu settings", order.size());
    const auto& want = order[count++];
    FUZZ_CHECK(n->key != nullptr && n->value != nullptr && n->value_expanded != nullptr, "null text");
    FUZZ_CHECK(want.first == n->key, "walk step %zu has key \"%s\", model \"%s\"", count,
               fuzzShow(n->key).c_str(), fuzzShow(want.first).c_str());
    FUZZ_CHECK(want.second == n->value, "key \"%s\": value \"%s\", model \"%s\"", fuzzShow(n->key).c_str(),
               fuzzShow(n->value).c_str(), fuzzShow(want.second).c_str());
    FUZZ_CHECK(std::strcmp(n->value, n->value_expanded) == 0, "expansion changed \"%s\"", fuzzShow(n->key).c_str());

    char* out = nullptr;
    FUZZ_CHECK(lookupFinds(cfg, n->key, &out), "lookup misses \"%s\"", fuzzShow(n->key).c_str());
    FUZZ_CHECK(out == n->value_expanded, "lookup of \"%s\" gives another text", fuzzShow(n->key).c_str());

    // A key never ends or begins with a blank, so these are never found, and
    // a failed lookup leaves the cell alone.
    for (const std::string& absent : {std::string(n->key) + " ", std::string("\t") + n->key}) {
      out = nullptr;
      FUZZ_CHECK(!lookupFinds(cfg, absent, &out) && out == nullptr, "lookup finds \"%s\"", fuzzShow(absent).c_str());
    }
    // Keys alike but shorter, or for their last byte, are found exactly when
    // the model holds them, with the model's value.
    std::string key(n->key);
    std::string other = key;
    other.back() = other.back() == 'a' ? 'b' : 'a';
    for (const std::string& alike : {key.substr(0, key.size() / 2), key.substr(0, key.size() - 1), other}) {
      out = nullptr;
      const auto at = model.place.find(alike);
      const bool found = lookupFinds(cfg, alike, &out);
      FUZZ_CHECK(found == (at != model.place.end()), "lookup of \"%s\" gives %d", fuzzShow(alike).c_str(), found);
      FUZZ_CHECK(!found || model.settings[at->second].second == out, "lookup of \"%s\" gives \"%s\"",
                 fuzzShow(alike).c_str(), fuzzShow(out).c_str());
    }
  }
  FUZZ_CHECK(count == order.size(), "the walk meets %zu of %zu settings", count, order.size());
}

// The binding over the library: its walk, view and lookups give the model
// too.
void checkBinding(const std::string& path, const Model& model) {
  auto [cfg, err] = ParseFile(path);
  FUZZ_CHECK(!err, "ParseFile: %s", err.text().c_str());
  std::vector<std::pair<std::string, std::string>> walked;
  cfg.ForEachSetting([&](SettingText s) { walked.emplace_back(s.key, s.value); });
  FUZZ_CHECK(walked == walkOrder(model), "the binding's walk differs from the model");
  auto [view, viewErr] = cfg.GetView();
  FUZZ_CHECK(!viewErr, "GetView failed");
  FUZZ_CHECK(view.size() == model.settings.size(), "the view holds %zu of %zu settings", view.size(),
             model.settings.size());
  for (const auto& [key, value] : model.settings) {
    const auto it = view.find(key);
    FUZZ_CHECK(it != view.end() && it->second == value, "the view of \"%s\"", fuzzShow(key).c_str());
    auto [got, getErr] = cfg.GetString(key);
    FUZZ_CHECK(!getErr && got == value, "GetString(\"%s\")", fuzzShow(key).c_str());
  }
  cfg.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile first, second;
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = rest.size() * data[0] / 255;
  const std::string_view a = rest.substr(0, split), b = rest.substr(split);

  qel_config* cfg = qel_create_config();
  FUZZ_CHECK(cfg != nullptr, "qel_create_config");
  Model model;
  const std::string& pathA = first.write(a);
  FUZZ_CHECK(qel_merge_config(cfg, pathA.c_str()) == 0, "merge of the first file failed");
  applyModel(a, &model);
  checkConfig(cfg, model);
  checkBinding(pathA, model);

  // A second file over the first: keys met again take their new values,
  // longer or shorter than before.
  const std::string& pathB = second.write(b);
  FUZZ_CHECK(qel_merge_config(cfg, pathB.c_str()) == 0, "merge of the second file failed");
  applyModel(b, &model);
  checkConfig(cfg, model);

  // A merge that cannot open its file leaves the configuration as it was.
  FUZZ_CHECK(qel_merge_config(cfg, "/proc/self/fd/-1/none") < 0, "merge of a missing file succeeded");
  checkConfig(cfg, model);
  // Nor does one of a file that is not regular, which is never read.
  FUZZ_CHECK(qel_merge_config(cfg, "/dev/null") == -ENXIO, "merge of /dev/null did not give ENXIO");
  checkConfig(cfg, model);

  qel_free_config(cfg);
  return 0;
}
