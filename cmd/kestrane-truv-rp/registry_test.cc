#include "registry.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <re2/re2.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include "fsutil.h"
#include "key_syntax.h"
#include "options.h"

using namespace std::string_literals;

namespace {

// ---- the plain reading of the registry ----------------------------------------
//
// The registry as a reading of the rp config's view would give it, key by key
// and lookup by lookup: the reference the tool's one walk is held to.
namespace reference {

ConfigView getView(QELConfig cfg) {
  auto [view, err] = cfg.GetView();
  EXPECT_FALSE(err) << err.text();
  return std::move(view);
}

void getAliasesAndAlias2Uid(const ConfigView& view, std::unordered_set<std::string>* aliases,
                            std::unordered_map<std::string, std::string>* alias2uid) {
  aliases->clear();
  alias2uid->clear();
  for (const auto& [key, value] : view) {
    std::string_view alias, property;
    if (!matchUpstreamKey(key, &alias, &property)) continue;
    aliases->emplace(alias);
    if (property == "dc_uid") (*alias2uid)[std::string(alias)] = value;
  }
}

}  // namespace reference

// The record an entry of the registry stands for.
UpstreamRecord record(const UpstreamEntry& e) {
  UpstreamRecord r = {{"alias", std::string(e.alias)}};
  const std::pair<const char*, std::string_view> members[] = {
      {"address", e.address}, {"digest", e.digest}, {"redirect", e.redirect}, {"secret", e.secret}, {"stat", e.stat}};
  for (const auto& [name, value] : members) {
    if (!value.empty()) r.emplace(name, value);
  }
  return r;
}

TEST(GetAliasesAndAlias2Uid, CollectsAliasesAndRawDcUids) {
  const ConfigView view = {
      {"rp.enable", "yes"},
      {"rp.upstreams[east].address", "east.example:443"},
      {"rp.upstreams[west].dc_uid", "U-1"},
      {"rp.upstreams[west].address", "west.example"},
      {"rp.upstreams[x].foo", "bar"},
      {"rp.upstreams[empty].dc_uid", ""},
      {"rp.upstreams[a].b[c].dc_uid", "U-2"},
      {"rp.upstreams  [spaced].stat", "s"},
      {"rp.upstreams[dc].dc_uid_old", "U-3"},  // only "dc_uid" itself gives a DC UID
  };
  std::unordered_set<std::string> aliases = {"stale"};
  std::unordered_map<std::string, std::string> alias2uid = {{"stale", "x"}};
  reference::getAliasesAndAlias2Uid(view, &aliases, &alias2uid);

  EXPECT_EQ(aliases, (std::unordered_set<std::string>{"east", "west", "x", "empty", "a].b[c", "spaced", "dc"}));
  EXPECT_EQ(alias2uid, (std::unordered_map<std::string, std::string>{
                           {"west", "U-1"}, {"empty", ""}, {"a].b[c", "U-2"}}));
}

TEST(GetAliasesAndAlias2Uid, DcUidFromEitherSpellingOfTheKey) {
  const ConfigView view = {{"rp.upstreams[w].dc_uid", "U-1"}, {"rp.upstreams [w].dc_uid", "U-2"}};
  std::unordered_set<std::string> aliases;
  std::unordered_map<std::string, std::string> alias2uid;
  reference::getAliasesAndAlias2Uid(view, &aliases, &alias2uid);
  EXPECT_EQ(aliases, (std::unordered_set<std::string>{"w"}));
  ASSERT_EQ(alias2uid.size(), 1u);
  EXPECT_TRUE(alias2uid["w"] == "U-1" || alias2uid["w"] == "U-2") << alias2uid["w"];
}

// ---- the one-pass registry against the plain reading of the view ------------

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "registry_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (QELConfig& cfg : parsed_) cfg.Close();
    std::filesystem::remove_all(dir_);
    optDcUid.clear();
  }
  std::string write(const std::string& content) {
    std::string path = dir_ + "/rp";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return path;
  }
  QELConfig parse(const std::string& content) {
    auto [cfg, err] = ParseFile(write(content));
    EXPECT_FALSE(err) << err.text();
    parsed_.push_back(cfg);
    return cfg;
  }

  std::string dir_;
  std::vector<QELConfig> parsed_;
};

// Runs a command handler on the rp config at path and returns its standard
// output. The handlers' handles stay open until the process ends, as in the
// tool.
std::string runHandler(const std::function<void(const std::string&)>& handler, const std::string& path) {
  std::string outPath = path + ".out";
  int out = ::open(outPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(out, 0);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(out, STDOUT_FILENO);
  {
#ifdef __SANITIZE_ADDRESS__
    __lsan::ScopedDisabler handlesStayOpen;
#endif
    handler(path);
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text;
  ::lseek(out, 0, SEEK_SET);
  EXPECT_EQ(readAllFd(out, &text), 0);
  ::close(out);
  return text;
}

// An rp config with the registry's corners: aliases that share a registry
// key (dc_uid values repeat, and every "rp.upstreams [" spelling holds Z),
// keys only the pattern matches, members under keys other than the looked-up
// form, empty values, bytes JSON escapes. No alias gets dc_uid keys of two
// spellings, so that each alias's DC UID is fixed (that case has its own test).
std::string randomRegistry(std::mt19937& rng, size_t upstreams) {
  std::string s = "rp.enable = yes\nmisc = Z\n";
  for (size_t i = 0; i < upstreams; ++i) {
    std::string alias(1, rng() % 3 == 0 ? 'a' : 'u');
    alias += std::to_string(alias == "a" ? i : rng() % (upstreams + 1));
    std::string p = "rp.upstreams[" + alias + "].";
    switch (rng() % 6) {
      case 0:
        if (alias.back() % 2 == 0) {
          s += p + "dc_uid = U" + std::to_string(rng() % (upstreams / 2 + 1)) + "\n";
        } else {
          s += "rp.upstreams [" + alias + "].dc_uid = Z\n";
        }
        break;
      case 1: s += "xrp.upstreams[" + alias + "].address = odd" + std::to_string(i) + "\n"; break;
      default: break;
    }
    s += p + "address = h" + std::to_string(i) + ":1\n";
    if (rng() % 2) s += p + "redirect = r" + std::to_string(i) + "\n";
    if (rng() % 4) s.append(p).append("secret = ").append(rng() % 5 ? std::string("s").append(std::to_string(i)) : "").append("\n");
    if (rng() % 3) s += p + "cert_digest = d" + std::to_string(i) + "\n";
    if (rng() % 3 == 0) s += p + "stat = <&>\"" + std::to_string(i) + "\n";
    if (rng() % 7 == 0) s += p + "note = Z\n";
  }
  return s;
}

// The registry as the view of the rp config gives it: each registry key with
// the records of the aliases that have it (any one of which the registry may
// hold), and the DC UID list, sorted.
struct PlainRegistry {
  std::map<std::string, std::vector<UpstreamRecord>> candidates;
  std::vector<std::string> uids;
};

PlainRegistry plainRegistry(QELConfig cfg) {
  std::unordered_set<std::string> aliases;
  std::unordered_map<std::string, std::string> alias2uid;
  reference::getAliasesAndAlias2Uid(reference::getView(cfg), &aliases, &alias2uid);
  PlainRegistry r;
  for (const std::string& alias : aliases) {
    auto it = alias2uid.find(alias);
    const std::string& key = it != alias2uid.end() ? it->second : alias;
    r.candidates[key].push_back(getUpstreamProps(cfg, alias));
    r.uids.push_back(key);
  }
  std::sort(r.uids.begin(), r.uids.end());
  return r;
}

bool isCandidate(const PlainRegistry& plain, const std::string& key, const UpstreamRecord& record) {
  auto it = plain.candidates.find(key);
  return it != plain.candidates.end() && std::count(it->second.begin(), it->second.end(), record) > 0;
}

TEST_F(RegistryTest, AgreesWithThePlainReadingOfTheView) {
  std::mt19937 rng(11);
  for (size_t upstreams : {0, 1, 2, 10, 300, 3000}) {
    SCOPED_TRACE(std::to_string(upstreams) + " upstreams");
    QELConfig cfg = parse(randomRegistry(rng, upstreams));
    const PlainRegistry plain = plainRegistry(cfg);

    std::vector<std::string_view> views = getUpstreamsUid(cfg);
    std::vector<std::string> uids(views.begin(), views.end());
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(uids, plain.uids);

    std::vector<std::string> keys;
    for (const RegistryEntry& e : getUpstreams(cfg)) {
      keys.emplace_back(e.key);
      EXPECT_TRUE(isCandidate(plain, keys.back(), record(e.upstream))) << e.key;
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> wantKeys;
    for (const auto& [key, records] : plain.candidates) wantKeys.push_back(key);
    EXPECT_EQ(keys, wantKeys);  // each key once
  }
}

// upstreams prints the registry: keys in ascending byte order, each with one
// of its aliases' records, whose members are in byte order too.
TEST_F(RegistryTest, UpstreamsPrintsThePlainRegistry) {
  std::mt19937 rng(3);
  for (size_t upstreams : {0, 10, 3000}) {
    SCOPED_TRACE(std::to_string(upstreams) + " upstreams");
    const std::string text = randomRegistry(rng, upstreams);
    const PlainRegistry plain = plainRegistry(parse(text));
    const std::string out = runHandler(allUpstreams, write(text));
    ASSERT_TRUE(out.ends_with("}\n"));
    const nlohmann::ordered_json printed = nlohmann::ordered_json::parse(out);
    ASSERT_TRUE(printed.is_object());
    EXPECT_EQ(printed.size(), plain.candidates.size());
    bool firstKey = true;
    std::string previousKey;
    for (const auto& [key, members] : printed.items()) {
      if (!firstKey) {
        EXPECT_LT(previousKey, key);
      }
      firstKey = false;
      previousKey = key;
      UpstreamRecord record;
      std::string previousName;
      for (const auto& [name, value] : members.items()) {
        EXPECT_LT(previousName, name) << key;
        previousName = name;
        record[name] = value.get<std::string>();
      }
      EXPECT_TRUE(isCandidate(plain, key, record)) << key;
    }
  }
}

// Two spellings of one alias's dc_uid key: either value may be its DC UID,
// but every view of the registry must make the same choice.
TEST_F(RegistryTest, AnAliasWithTwoDcUidKeysHasOneDcUid) {
  QELConfig cfg = parse(
      "rp.upstreams[w].dc_uid = U-1\n"
      "rp.upstreams [w].dc_uid = U-2\n"
      "rp.upstreams[w].address = w.example\n"
      "rp.upstreams[v].dc_uid = U-2\n"
      "rp.upstreams[v].address = v.example\n");
  const std::vector<std::string_view> uids = getUpstreamsUid(cfg);
  ASSERT_EQ(uids.size(), 2u);
  const std::set<std::string> uidSet(uids.begin(), uids.end());
  EXPECT_TRUE(uidSet == std::set<std::string>({"U-1", "U-2"}) || uidSet == std::set<std::string>({"U-2"}));

  std::vector<std::string> keys;
  for (const RegistryEntry& e : getUpstreams(cfg)) keys.emplace_back(e.key);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), uidSet);
  EXPECT_EQ(keys.size(), uidSet.size());  // each key once
}

// The alias of a DC UID comes from the bracket text of any key that holds it
// as its value; a key without a bracket text names no upstream.
TEST_F(RegistryTest, AliasFromUidIsTheBracketTextOfAKeyHoldingIt) {
  std::mt19937 rng(5);
  const RE2 bracket(R"(\[([^\[\]]*)\])");
  for (size_t upstreams : {10, 300, 3000}) {
    const std::string text = randomRegistry(rng, upstreams);
    QELConfig cfg = parse(text);
    const std::string path = write(text);
    for (std::string uid : {"Z", "U0", "U1", "U3", "a0", "yes"}) {
      std::set<std::string> allowed;
      if (!cfg.GetString("rp.upstreams[" + uid + "].address").first.empty()) {
        allowed.insert(uid);
      } else {
        cfg.ForEachSetting([&](SettingText s) {
          std::string alias;
          if (s.value == uid && RE2::PartialMatch(s.key, bracket, &alias) && !alias.empty()) allowed.insert(alias);
        });
      }
      if (allowed.empty()) continue;  // not found ends the process
      optDcUid = uid;
      std::string alias;
      {
#ifdef __SANITIZE_ADDRESS__
        __lsan::ScopedDisabler handlesStayOpen;
#endif
        alias = getAliasFromUid(path, 100);
      }
      EXPECT_EQ(allowed.count(alias), 1u) << uid << " in " << upstreams << " upstreams gave " << alias;
    }
  }
}

}  // namespace
