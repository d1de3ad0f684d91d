// The stand-in configuration library against a plain model of its syntax:
// the first input byte splits the rest into two files that are merged one
// after the other into one configuration. After each merge the walk must meet
// every setting of the model once, in strictly ascending strcmp order, the
// tree must keep its red-black shape, and every lookup must agree with the
// walk; the typed binding must see the same.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "qel_io.h"
#include "qel_io/config/config.h"

namespace {

using Model = std::map<std::string, std::string>;  // char_traits order is strcmp's

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
    (*model)[std::string(key)] = std::string(trim(body.substr(eq + 1)));
  }
}

// A file the library can open by path, rewritten for every input.
class ScratchFile {
 public:
  ScratchFile() {
    fd_ = memfd_create("qel_io_fuzz", MFD_CLOEXEC);
    if (fd_ >= 0) {
      path_ = "/proc/self/fd/" + std::to_string(fd_);
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

// The red-black rules over the records as qel_io.h lays them out (colour in
// the low bit of rb_parent, set for black): parent links agree with child
// links, the root is black, no red node has a red child, and every path down
// meets as many black nodes. Gives the black height of the subtree.
int checkTree(const rb_node* n, const rb_node* parent) {
  if (n == nullptr) return 1;
  const auto parentOf = [](const rb_node* x) {
    return reinterpret_cast<const rb_node*>(static_cast<uintptr_t>(x->rb_parent & ~uint64_t{1}));
  };
  const bool red = (n->rb_parent & 1) == 0;
  FUZZ_CHECK(parentOf(n) == parent, "a node's parent link is wrong");
  FUZZ_CHECK(!red || parent != nullptr, "the root is red");
  for (const rb_node* child : {n->rb_left, n->rb_right})
    FUZZ_CHECK(!red || child == nullptr || (child->rb_parent & 1) != 0, "a red node has a red child");
  const int left = checkTree(n->rb_left, n), right = checkTree(n->rb_right, n);
  FUZZ_CHECK(left == right, "black heights %d and %d below one node", left, right);
  return left + (red ? 0 : 1);
}

void checkConfig(qel_config* cfg, const Model& model) {
  checkTree(cfg->root.rb_node, nullptr);
  size_t count = 0;
  const char* prev = nullptr;
  auto want = model.begin();
  for (qel_config_node* n = qel_config_get_first(cfg); n != nullptr; n = qel_config_get_next(n)) {
    FUZZ_CHECK(++count <= model.size(), "the walk meets more than the %zu settings", model.size());
    FUZZ_CHECK(n->key != nullptr && n->value != nullptr && n->value_expanded != nullptr, "null text");
    FUZZ_CHECK(prev == nullptr || std::strcmp(prev, n->key) < 0, "walk out of order: \"%s\" then \"%s\"",
               fuzzShow(prev).c_str(), fuzzShow(n->key).c_str());
    prev = n->key;
    FUZZ_CHECK(want->first == n->key, "walk has key \"%s\", model \"%s\"", fuzzShow(n->key).c_str(),
               fuzzShow(want->first).c_str());
    FUZZ_CHECK(want->second == n->value, "key \"%s\": value \"%s\", model \"%s\"", fuzzShow(n->key).c_str(),
               fuzzShow(n->value).c_str(), fuzzShow(want->second).c_str());
    FUZZ_CHECK(std::strcmp(n->value, n->value_expanded) == 0, "expansion changed \"%s\"", fuzzShow(n->key).c_str());

    char* out = nullptr;
    FUZZ_CHECK(qel_config_getstr_expand(cfg, n->key, &out) == 0, "lookup misses \"%s\"", fuzzShow(n->key).c_str());
    FUZZ_CHECK(out == n->value_expanded, "lookup of \"%s\" gives another text", fuzzShow(n->key).c_str());

    // A key never ends or begins with a blank, so these are never found, and
    // a failed lookup leaves the cell alone.
    for (const std::string& absent : {std::string(n->key) + " ", "\t" + std::string(n->key)}) {
      out = nullptr;
      FUZZ_CHECK(qel_config_getstr_expand(cfg, absent.c_str(), &out) != 0 && out == nullptr,
                 "lookup finds \"%s\"", fuzzShow(absent).c_str());
    }
    // A shorter key is found exactly when the model holds it.
    std::string prefix(n->key, std::strlen(n->key) / 2);
    out = nullptr;
    const bool found = qel_config_getstr_expand(cfg, prefix.c_str(), &out) == 0;
    FUZZ_CHECK(found == (model.count(prefix) == 1), "lookup of \"%s\" gives %d", fuzzShow(prefix).c_str(), found);
    ++want;
  }
  FUZZ_CHECK(count == model.size(), "the walk meets %zu of %zu settings", count, model.size());
}

// The binding over the library: its view and lookups give the model too.
void checkBinding(const std::string& path, const Model& model) {
  auto [cfg, err] = ParseFile(path);
  FUZZ_CHECK(!err, "ParseFile: %s", err.text().c_str());
  auto [view, viewErr] = cfg.GetView();
  FUZZ_CHECK(!viewErr, "GetView failed");
  FUZZ_CHECK(Model(view.begin(), view.end()) == model, "the view differs from the model");
  for (const auto& [key, value] : model) {
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

  qel_free_config(cfg);
  return 0;
}
