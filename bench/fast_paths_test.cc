// The shortcuts that make large rp configs fast must give what the plain
// algorithms give, orders included: the settings library built in bulk
// against a map of the same lines, hashIterationOrder() against the standard
// containers it stands for, and the registry functions against the same
// computations done over GetView() as the tool once did them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include "args.h"
#include "qel_io/config/config.h"
#include "registry.h"

extern "C" {
#include "qel_io.h"
}

namespace {

class FastPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "fast_paths_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (QELConfig& cfg : parsed_) cfg.Close();
    std::filesystem::remove_all(dir_);
  }
  std::string write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return path;
  }
  QELConfig parse(const std::string& content) {
    auto [cfg, err] = ParseFile(write("cfg", content));
    EXPECT_FALSE(err) << err.text();
    parsed_.push_back(cfg);
    return cfg;
  }

  std::string dir_;
  std::vector<QELConfig> parsed_;
};

// ---- the library's bulk build ---------------------------------------------

// Random lines in the forms the tool's files take, and the odd ones: keys
// without the common prefix, keys alike in their first 40 bytes after it,
// repeated keys, CR line ends, comments and lines that hold no setting.
std::string randomSettings(std::mt19937& rng, size_t lines) {
  const std::vector<std::string> aliases = {
      "edge-000001", "edge-000002", "edge-000010",
      "0b7a1234-5678-1abc-9def-0123456789ab", "0b7a1234-5678-1abc-9def-0123456789ac",
      "0b7a1234-5678-1abc-9def-0123456789ab-and-some-more-bytes", "x", "",
  };
  const std::vector<std::string> properties = {"address", "cert_digest", "dc_uid", "redirect", "secret", "stat"};
  std::string text;
  for (size_t i = 0; i < lines; ++i) {
    std::string key;
    switch (rng() % 8) {
      case 0: key = "rp.enable"; break;
      case 1: key = "certs[d" + std::to_string(rng() % 50) + ".example].rp.select"; break;
      case 2: key = "k" + std::to_string(rng() % 1000); break;
      default:
        key = "rp.upstreams[" + aliases[rng() % aliases.size()] + std::to_string(rng() % 300) + "]." +
              properties[rng() % properties.size()];
    }
    std::string value = "v" + std::to_string(i);
    switch (rng() % 10) {
      case 0: text += "  " + key + "\t=  " + value + " \r\n"; break;
      case 1: text += "# " + key + " = commented\n"; break;
      case 2: text += "no setting here\n"; break;
      default: text += key + " = " + value + "\n";
    }
  }
  return text;
}

// What a plain reading of the lines gives: key and value trimmed of blanks
// and tabs, comments and lines without "=" or key skipped, the last value
// of a key winning.
std::map<std::string, std::string> plainReading(const std::string& text) {
  auto trim = [](std::string s) {
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
  };
  std::map<std::string, std::string> settings;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = trim(line);
    size_t eq = line.find('=');
    if (t.empty() || t[0] == '#' || eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq));
    if (!key.empty()) settings[key] = trim(line.substr(eq + 1));
  }
  return settings;
}

std::vector<std::pair<std::string, std::string>> walk(QELConfig cfg) {
  std::vector<std::pair<std::string, std::string>> all;
  cfg.ForEachSetting([&](SettingText s) { all.emplace_back(s.key, s.value); });
  return all;
}

// Checks the red-black rules below n; the black height, or -1.
int blackHeight(const rb_node* n, const rb_node* parent) {
  if (n == nullptr) return 1;
  if (reinterpret_cast<const rb_node*>(n->rb_parent & ~uint64_t{1}) != parent) return -1;
  bool red = (n->rb_parent & 1) == 0;
  if (red && parent != nullptr && (parent->rb_parent & 1) == 0) return -1;
  int left = blackHeight(n->rb_left, n), right = blackHeight(n->rb_right, n);
  return left < 0 || left != right ? -1 : left + (red ? 0 : 1);
}

TEST_F(FastPathTest, BulkBuildHoldsWhatTheLinesSay) {
  std::mt19937 rng(7);
  const size_t sizes[] = {0, 1, 2, 15, 16, 17, 1000, 1023, 1024, 1025, 5000, 40000};
  for (size_t lines : sizes) {
    std::string text = randomSettings(rng, lines);
    std::map<std::string, std::string> want = plainReading(text);
    QELConfig cfg = parse(text);
    std::vector<std::pair<std::string, std::string>> expected(want.begin(), want.end());
    EXPECT_EQ(walk(cfg), expected) << lines << " lines";
    for (const auto& [key, value] : want) EXPECT_EQ(cfg.GetString(key).first, value) << key;
    EXPECT_EQ(cfg.GetString("rp.upstreams[none].address").second, errSettingNotFound);
  }
}

// The sort compares keys by their first bytes after the common prefix, kept
// with each line; keys alike in all of those must still come in byte order,
// also when one ends right where the kept bytes do.
TEST_F(FastPathTest, KeysAlikeInTheirFirstBytes) {
  for (size_t length = 30; length <= 60; ++length) {
    const std::string stem(length, 'k');
    std::string text = "0 = first\n";
    for (const char* tail : {"]", "", "\x01", "\xff", "]]", "a", ""})
      text += stem + tail + " = " + std::to_string(text.size()) + "\n";
    QELConfig cfg = parse(text);
    std::map<std::string, std::string> want = plainReading(text);
    std::vector<std::pair<std::string, std::string>> expected(want.begin(), want.end());
    EXPECT_EQ(walk(cfg), expected) << length;
  }
}

TEST_F(FastPathTest, BulkBuildMakesAValidRedBlackTree) {
  const size_t sizes[] = {1, 2, 3, 4, 7, 8, 100, 1023, 1024, 4095};
  for (size_t n : sizes) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += "key" + std::to_string(i * 7919 % 100003) + " = x\n";
    qel_config* cfg = qel_create_config();
    ASSERT_EQ(qel_merge_config(cfg, write("tree", text).c_str()), 0);
    ASSERT_NE(cfg->root.rb_node, nullptr);
    EXPECT_EQ(cfg->root.rb_node->rb_parent & 1, 1u) << n;
    EXPECT_GT(blackHeight(cfg->root.rb_node, nullptr), 0) << n;
    qel_free_config(cfg);
  }
}

TEST_F(FastPathTest, LookupsOfLongKeys) {
  std::string longKey = "rp.upstreams[" + std::string(300, 'a') + "].address";
  QELConfig cfg = parse(longKey + " = far\nshort = near\n");
  EXPECT_EQ(cfg.GetString(longKey).first, "far");
  EXPECT_EQ(cfg.GetStringView(longKey).first, "far");
  EXPECT_EQ(cfg.GetString(longKey + "x").second, errSettingNotFound);
  EXPECT_EQ(cfg.GetStringView(std::string("short\0tail", 10)).first, "near");  // cut at the NUL
}

// ---- hashIterationOrder ----------------------------------------------------

std::vector<std::string> randomKeys(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> keys;
  std::unordered_set<std::string> seen;
  while (keys.size() < n) {
    std::string k = "rp.upstreams[" + std::to_string(rng() % (4 * n + 10)) + "].address";
    if (seen.insert(k).second) keys.push_back(k);
  }
  return keys;
}

std::vector<size_t> codesOf(const std::vector<std::string>& keys) {
  std::vector<size_t> codes;
  for (const std::string& k : keys) codes.push_back(std::hash<std::string>{}(k));
  return codes;
}

std::vector<std::string> simulated(const std::vector<std::string>& keys, size_t presize) {
  std::vector<std::string> out;
  for (uint32_t i : hashIterationOrder(codesOf(keys), presize)) out.push_back(keys[i]);
  return out;
}

TEST(HashIterationOrder, MatchesTheStandardContainers) {
  const size_t sizes[] = {0, 1, 2, 3, 5, 13, 14, 29, 99, 100, 101, 103, 104, 211, 212, 1000, 5000, 70000};
  for (size_t n : sizes) {
    std::vector<std::string> keys = randomKeys(n, n + 1);
    for (size_t presize : {size_t{0}, size_t{1}, size_t{13}, kConfigViewPresize, n + 1, 2 * n + 3}) {
      std::unordered_map<std::string, std::string> map;
      if (presize > 0) map.reserve(presize);
      for (const std::string& k : keys) map.insert_or_assign(k, k);
      std::vector<std::string> real;
      for (const auto& entry : map) real.push_back(entry.first);
      EXPECT_EQ(simulated(keys, presize), real) << n << " keys, reserved for " << presize;
    }
    // A set filled one by one, as the registry fills its alias set.
    std::unordered_set<std::string> oneByOne;
    for (const std::string& k : keys) oneByOne.insert(k);
    EXPECT_EQ(simulated(keys, 0), std::vector<std::string>(oneByOne.begin(), oneByOne.end())) << n;
  }
}

TEST(HashIterationOrder, GetViewIteratesInTheSimulatedOrder) {
  char tmpl[] = "/tmp/fast_paths_view.XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  std::string text;
  for (const std::string& k : randomKeys(3000, 99)) text += k + " = v\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  auto [cfg, err] = ParseFile(tmpl);
  ASSERT_FALSE(err);
  std::vector<std::string> walked;
  cfg.ForEachSetting([&](SettingText s) { walked.emplace_back(s.key); });
  std::vector<std::string> viewed;
  ConfigView view = cfg.GetView().first;
  for (const auto& entry : view) viewed.push_back(entry.first);
  EXPECT_EQ(simulated(walked, kConfigViewPresize), viewed);
  cfg.Close();
  ::unlink(tmpl);
}

// ---- the registry ------------------------------------------------------------

// An rp config with the registry's corners: aliases that share a registry
// key, two dc_uid settings for one alias, keys only the pattern matches,
// members under keys that are not the looked-up form, empty values.
std::string trickyRegistry(std::mt19937& rng, size_t upstreams) {
  std::string s = "rp.enable = yes\nmisc = Z\n";
  for (size_t i = 0; i < upstreams; ++i) {
    std::string alias = rng() % 3 == 0 ? "a" + std::to_string(i) : "u" + std::to_string(rng() % (upstreams + 1));
    std::string p = "rp.upstreams[" + alias + "].";
    switch (rng() % 6) {
      case 0: s += p + "dc_uid = U" + std::to_string(rng() % (upstreams / 2 + 1)) + "\n"; break;
      case 1: s += "rp.upstreams [" + alias + "].dc_uid = Z\n"; break;
      case 2: s += "xrp.upstreams[" + alias + "].address = odd" + std::to_string(i) + "\n"; break;
      default: break;
    }
    s += p + "address = h" + std::to_string(i) + ":1\n";
    if (rng() % 2) s += p + "redirect = r" + std::to_string(i) + "\n";
    if (rng() % 4) s += p + "secret = " + (rng() % 5 ? "s" + std::to_string(i) : "") + "\n";
    if (rng() % 3) s += p + "cert_digest = d" + std::to_string(i) + "\n";
    if (rng() % 3 == 0) s += p + "stat = <&>\"" + std::to_string(i) + "\n";
    if (rng() % 7 == 0) s += p + "note = Z\n";
  }
  return s;
}

// The registry as getAliasesAndAlias2Uid and getUpstreamProps give it.
struct Reference {
  std::unordered_set<std::string> aliases;
  std::unordered_map<std::string, std::string> alias2uid;
  std::string keyOf(const std::string& alias) const {
    auto it = alias2uid.find(alias);
    return it != alias2uid.end() ? it->second : alias;
  }
};

Reference reference(QELConfig cfg) {
  Reference r;
  getAliasesAndAlias2Uid(getView(cfg), &r.aliases, &r.alias2uid);
  return r;
}

TEST_F(FastPathTest, RegistryAgreesWithTheViewOfTheConfig) {
  std::mt19937 rng(11);
  const size_t sizes[] = {0, 1, 2, 10, 300, 3000};
  for (size_t upstreams : sizes) {
    QELConfig cfg = parse(trickyRegistry(rng, upstreams));
    Reference ref = reference(cfg);

    std::vector<std::string> wantUids;
    for (const std::string& alias : ref.aliases) wantUids.push_back(ref.keyOf(alias));
    EXPECT_EQ(getUpstreamsUid(cfg), wantUids) << upstreams;

    std::unordered_map<std::string, UpstreamRecord> want;
    want.reserve(ref.aliases.size());
    for (const std::string& alias : ref.aliases) want.insert_or_assign(ref.keyOf(alias), getUpstreamProps(cfg, alias));
    std::vector<std::pair<std::string, UpstreamRecord>> wantInOrder(want.begin(), want.end());
    std::vector<std::pair<std::string, UpstreamRecord>> got;
    std::vector<std::string> gotKeys;
    for (const auto& [key, entry] : getUpstreams(cfg)) {
      got.emplace_back(key, entry.record());
      gotKeys.push_back(key);
    }
    EXPECT_EQ(got, wantInOrder) << upstreams;
    EXPECT_EQ(getUpstreamKeys(cfg), gotKeys) << upstreams;
    std::vector<std::string> keySet = getUpstreamKeySet(cfg);
    std::sort(keySet.begin(), keySet.end());
    std::sort(gotKeys.begin(), gotKeys.end());
    EXPECT_EQ(keySet, gotKeys) << upstreams;
  }
}

TEST_F(FastPathTest, AliasFromUidIsTheFirstInTheViewsOrder) {
  std::mt19937 rng(5);
  const RE2 bracket(R"(\[([^\[\]]*)\])");
  const size_t sizes[] = {10, 300, 3000};
  for (size_t upstreams : sizes) {
    std::string text = trickyRegistry(rng, upstreams);
    std::string path = write("rp" + std::to_string(upstreams), text);
    QELConfig cfg = parse(text);
    for (std::string uid : {"Z", "U0", "U1", "U3", "a0"}) {
      std::string want;
      if (!cfg.GetString("rp.upstreams[" + uid + "].address").first.empty()) {
        want = uid;
      } else {
        ConfigView view = cfg.GetView().first;
        for (const auto& [key, value] : view) {
          std::string alias;
          if (value == uid && RE2::PartialMatch(key, bracket, &alias) && !alias.empty()) {
            want = alias;
            break;
          }
        }
      }
      if (want.empty()) continue;  // not found ends the process
      optDcUid = uid;
      {
#ifdef __SANITIZE_ADDRESS__
        // Like every handle of the tool's, getAliasFromUid's lives until the
        // process ends.
        __lsan::ScopedDisabler handlesStayOpen;
#endif
        EXPECT_EQ(getAliasFromUid(path, 100), want) << uid << " in " << upstreams;
      }
    }
  }
  optDcUid.clear();
}

}  // namespace
