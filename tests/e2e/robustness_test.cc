// Many runs at once, runs killed mid-rewrite, and a full disk.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <re2/re2.h>

#include "harness.h"

namespace {

class ManyRunsAtOnce : public EndToEndTest {};
class KilledRuns : public EndToEndTest {};
class FullDisk : public EndToEndTest {};

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using std::chrono::microseconds;
using std::chrono::milliseconds;

const char kTimedOut[] = "timed out waiting to acquire lock file\n";

// The lines add-upstream writes for an upstream whose alias is its DC UID.
std::string upstreamBlock(const std::string& alias, const std::string& address) {
  return "rp.upstreams[" + alias + "].address = " + address + "\n" +   //
         "rp.upstreams[" + alias + "].secret = s-" + alias + "\n" +    //
         "rp.upstreams[" + alias + "].cert_digest = d-" + alias + "\n";
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Removes every entry of a directory (not its subdirectories' contents).
void emptyDir(const std::string& dir) {
  for (const std::string& name : listDir(dir)) ::unlink((dir + "/" + name).c_str());
}

// ---- Many runs at once --------------------------------------------------

// 64 runs started together against one instance: adds of new aliases,
// address changes and weights of upstreams that exist, each run on an
// upstream of its own so that its outcome can be told apart. The global lock
// puts them in a row; a run that is still waiting after the lock's ten
// attempts gives up and must have touched nothing.
TEST_F(ManyRunsAtOnce, EachRunLandsWholeOrTimesOutUntouched) {
  constexpr int kRuns = 64;
  enum Kind { kAdd, kChange, kWeight };
  auto kindOf = [](int i) { return static_cast<Kind>(i % 3); };
  auto nameOf = [&](int i) {
    static const char* const kPrefix[] = {"add", "chg", "wgt"};
    return kPrefix[kindOf(i)] + std::to_string(i);
  };
  auto weightOf = [](int i) { return 1 + i % 100; };

  Instance inst;
  std::string rp = upstreamBlock("keep", "keep:443");
  for (int i = 0; i < kRuns; ++i) {
    if (kindOf(i) != kAdd) rp += upstreamBlock(nameOf(i), "old-" + nameOf(i) + ":443");
  }
  writeFile(inst.rpConfig(), rp, 0600);
  writeFile(inst.rpSelectConfig(), "rp.select_threshold = 3\nrp.select = keep:5", 0600);

  std::vector<std::unique_ptr<Process>> runs;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = nameOf(i);
    std::vector<std::string> args;
    switch (kindOf(i)) {
      case kAdd:
        args = {"add-upstream", "-dc-uid", "uid-" + n, "-alias", n,   "-address",
                "new-" + n + ":443", "-secret", "s-" + n, "-digest", "d-" + n};
        break;
      case kChange:
        args = {"change-upstream", "-dc-uid", n, "-address", "new-" + n + ":443"};
        break;
      case kWeight:
        args = {"accounts-balancing", "-set-weight-for-name", n, std::to_string(weightOf(i))};
        break;
    }
    runs.push_back(inst.start(args));
    ASSERT_NE(runs.back(), nullptr);
  }

  std::vector<bool> landed(kRuns);
  int landedCount = 0;
  for (int i = 0; i < kRuns; ++i) {
    RunResult r = runs[i]->wait();
    landed[i] = r.status == 0;
    landedCount += landed[i];
    if (!landed[i]) {
      EXPECT_EQ(r.status, 255) << nameOf(i) << ": " << r.err;
      EXPECT_EQ(r.err, kTimedOut) << nameOf(i);
    } else {
      EXPECT_EQ(r.err, "") << nameOf(i);
    }
    EXPECT_EQ(r.out, "") << nameOf(i);
  }
  EXPECT_GT(landedCount, 0);

  // Both files still parse: the tool reads them back.
  RunResult ups = inst.run({"upstreams"});
  ASSERT_EQ(ups.status, 0) << ups.err;
  json upstreams = json::parse(ups.out);
  RunResult weights = inst.run({"accounts-balancing", "-weights", "-j"});
  ASSERT_EQ(weights.status, 0) << weights.err;
  json table = json::parse(weights.out);
  RunResult threshold = inst.run({"accounts-balancing", "-get-threshold"});
  EXPECT_EQ(threshold.status, 0) << threshold.err;
  EXPECT_EQ(threshold.out, "3");

  size_t expectedUpstreams = 1;  // keep
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = nameOf(i);
    SCOPED_TRACE(n + (landed[i] ? ", which landed" : ", which timed out"));
    switch (kindOf(i)) {
      case kAdd:
        if (landed[i]) {
          ++expectedUpstreams;
          ASSERT_TRUE(upstreams.contains("uid-" + n));
          EXPECT_EQ(upstreams["uid-" + n],
                    json({{"alias", n}, {"address", "new-" + n + ":443"}, {"secret", "s-" + n}, {"digest", "d-" + n}}));
        } else {
          EXPECT_FALSE(upstreams.contains("uid-" + n));
        }
        break;
      case kChange:
        ++expectedUpstreams;
        ASSERT_TRUE(upstreams.contains(n));
        EXPECT_EQ(upstreams[n], json({{"alias", n},
                                      {"address", (landed[i] ? "new-" : "old-") + n + ":443"},
                                      {"secret", "s-" + n},
                                      {"digest", "d-" + n}}));
        break;
      case kWeight:
        ++expectedUpstreams;
        // A name without a weight shows its zero entry.
        EXPECT_EQ(table[n], json::parse("[{\"Default\":" + std::to_string(landed[i] ? weightOf(i) : 0) + "}]"));
        break;
    }
  }
  EXPECT_EQ(upstreams.size(), expectedUpstreams);
  EXPECT_EQ(table["keep"], json::parse(R"([{"Default":5}])"));

  // Whatever the order of the runs: one default line, one threshold line.
  std::string select = readFile(inst.rpSelectConfig());
  EXPECT_EQ(countOf(select, "rp.select ="), 1u) << select;
  EXPECT_EQ(countOf(select, "rp.select_threshold"), 1u) << select;
  // Every rewrite moved its copy into place.
  EXPECT_EQ(listDir(inst.path("var/tmp")), std::vector<std::string>{});
}

// ---- Runs killed mid-rewrite --------------------------------------------

// What a run does to the files of a directory, as inotify reports it.
class DirWatch {
 public:
  struct Event {
    std::string dir;
    uint32_t mask;
    std::string name;
  };

  DirWatch() : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) { EXPECT_GE(fd_, 0) << strerror(errno); }
  ~DirWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  void add(const std::string& dir, uint32_t mask) {
    int wd = ::inotify_add_watch(fd_, dir.c_str(), mask);
    EXPECT_GE(wd, 0) << dir << ": " << strerror(errno);
    dirs_[wd] = dir;
  }

  // The events queued, after waiting up to timeout for the first one.
  std::vector<Event> read(milliseconds timeout) {
    std::vector<Event> events;
    struct pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return events;
    alignas(struct inotify_event) char buf[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      for (char* at = buf; at < buf + n;) {
        auto* e = reinterpret_cast<struct inotify_event*>(at);
        events.push_back({dirs_[e->wd], e->mask, e->len > 0 ? std::string(e->name) : std::string()});
        at += sizeof(struct inotify_event) + e->len;
      }
    }
    return events;
  }

 private:
  int fd_;
  std::map<int, std::string> dirs_;
};

// A file in conf.d changes as a reader sees it through a rename onto its
// name, a write to it, or its creation.
bool changesFile(const DirWatch::Event& e, const std::string& name) {
  return e.name == name && (e.mask & (IN_MOVED_TO | IN_MODIFY | IN_CREATE)) != 0;
}

// A reader, or a run killed at any moment, sees a file either as it was or
// as the run leaves it only when the run changes it in one step: a rename of
// a complete copy, or one append. A removal followed by an append is two
// steps, and a run killed between them leaves the lines removed and their
// replacement missing. The steps are counted as they happen, so this holds
// whatever the timing.
struct OneStepCase {
  const char* what;
  std::string select;  // the rp select config before the run
  std::vector<std::string> args;
  std::string input;
  bool rpChanges, selectChanges;
};

const std::string kStepRp =
    "rp.upstreams[a].dc_uid = U1\n" + upstreamBlock("a", "a:443") + upstreamBlock("b", "b:443");
const std::string kStepSelect = "rp.select_threshold = 5\nrp.select = a:10 b:20";

void expectOneStepPerFile(const OneStepCase& c) {
  SCOPED_TRACE(c.what);
  Instance inst;
  writeFile(inst.rpConfig(), kStepRp, 0600);
  writeFile(inst.rpSelectConfig(), c.select, 0600);
  makeDirs(inst.path("var/tmp"));
  DirWatch watch;
  watch.add(inst.confd(), IN_MOVED_TO | IN_MODIFY | IN_CREATE);
  RunResult r = inst.run(c.args, c.input);
  ASSERT_EQ(r.status, 0) << r.err;

  int rpSteps = 0, selectSteps = 0;
  for (const DirWatch::Event& e : watch.read(milliseconds(0))) {
    rpSteps += changesFile(e, "rp");
    selectSteps += changesFile(e, "rp.select");
  }
  EXPECT_EQ(readFile(inst.rpConfig()) != kStepRp, c.rpChanges);
  EXPECT_EQ(readFile(inst.rpSelectConfig()) != c.select, c.selectChanges);
  EXPECT_EQ(rpSteps, c.rpChanges ? 1 : 0) << "steps that changed rp";
  EXPECT_EQ(selectSteps, c.selectChanges ? 1 : 0) << "steps that changed rp.select";
}

TEST_F(KilledRuns, UpstreamEditsChangeEachFileInOneStep) {
  const OneStepCase cases[] = {
      {"add-upstream", kStepSelect,
       {"add-upstream", "-dc-uid", "c", "-address", "c:1", "-secret", "s", "-digest", "d"}, "", true, false},
      {"import-registration", kStepSelect, {"import-registration"},
       R"({"dc-uid":"imp","address":"imp:1","secret":"s","digest":"d"})", true, false},
      {"change-upstream -address", kStepSelect, {"change-upstream", "-dc-uid", "U1", "-address", "new:1"}, "",
       true, false},
      {"change-upstream -secret -redirect", kStepSelect,
       {"change-upstream", "-dc-uid", "b", "-secret", "s2", "-redirect", "r:1"}, "", true, false},
      {"change-upstream -alias", kStepSelect, {"change-upstream", "-dc-uid", "U1", "-alias", "a2"}, "", true,
       true},
  };
  for (const OneStepCase& c : cases) expectOneStepPerFile(c);
}

TEST_F(KilledRuns, SelectEditsChangeEachFileInOneStep) {
  const std::string withDomain = kStepSelect + "\ncerts[x].rp.select = a:1 b:2";
  const std::string noDefault = "rp.select_threshold = 5";
  const OneStepCase cases[] = {
      {"rm-upstream", kStepSelect, {"rm-upstream", "-alias", "b"}, "", true, true},
      {"rm-upstream, with a domain line", withDomain, {"rm-upstream", "-alias", "b"}, "", true, true},
      {"rm-upstream, no default line yet", noDefault, {"rm-upstream", "-alias", "b"}, "", true, true},
      {"-set-weight-for-name", kStepSelect, {"accounts-balancing", "-set-weight-for-name", "b", "30"}, "", false,
       true},
      {"-set-weight-for-name -domain", withDomain,
       {"accounts-balancing", "-set-weight-for-name", "b", "-domain", "x", "30"}, "", false, true},
      {"-set-threshold", kStepSelect, {"accounts-balancing", "-set-threshold", "9"}, "", false, true},
  };
  for (const OneStepCase& c : cases) expectOneStepPerFile(c);
}

// A large instance: 20,000 upstreams, and a default select line that names
// every one of them, so that a rewrite takes long enough to be hit.
constexpr int kBigUpstreams = 20000;

std::string bigName(int i) {
  char name[16];
  snprintf(name, sizeof name, "u%05d", i);
  return name;
}

const std::string& bigRpConfig() {
  static const std::string text = [] {
    std::string s;
    s.reserve(kBigUpstreams * 160);
    for (int i = 0; i < kBigUpstreams; ++i)
      s += upstreamBlock(bigName(i), "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ":443");
    return s;
  }();
  return text;
}

const std::string& bigSelectConfig() {
  static const std::string text = [] {
    std::string s = "rp.select_threshold = 5\nrp.select =";
    for (int i = 0; i < kBigUpstreams; ++i) s.append(" ").append(bigName(i)).append(":").append(std::to_string(1 + i % 100));
    return s;
  }();
  return text;
}

// Runs args once to its end, to learn the new content of both files and how
// long the run goes on after its first copy appears; then, kills times, runs
// it again from the old content and kills it with SIGKILL a random time
// after that moment. After each kill, each file must hold its old or its new
// content, whole. Returns how many runs were killed before they ended.
int killDuringRewrites(const std::vector<std::string>& args, int kills, uint32_t seed) {
  std::string what;
  for (const std::string& a : args) what += a + " ";
  SCOPED_TRACE(what + "(seed " + std::to_string(seed) + ")");
  Instance inst;
  makeDirs(inst.path("var/tmp"));
  const std::string rp = inst.rpConfig(), select = inst.rpSelectConfig();
  auto restore = [&] {
    writeFile(rp, bigRpConfig(), 0600);
    writeFile(select, bigSelectConfig(), 0600);
    emptyDir(inst.path("var/tmp"));  // copies left by killed runs
    ::unlink((select + "~").c_str());
  };
  // The rewriting starts with its first copy: in var/tmp, or the "~" copy
  // beside the rp select config.
  DirWatch watch;
  watch.add(inst.path("var/tmp"), IN_CREATE);
  watch.add(inst.confd(), IN_CREATE);
  auto startAndAwaitCopy = [&]() -> std::unique_ptr<Process> {
    watch.read(milliseconds(0));
    std::unique_ptr<Process> p = inst.start(args);
    if (p == nullptr) return p;
    if (watch.read(milliseconds(30000)).empty()) ADD_FAILURE() << "no copy appeared";
    return p;
  };

  restore();
  std::unique_ptr<Process> p = startAndAwaitCopy();
  if (p == nullptr) return 0;
  Clock::time_point copyMade = Clock::now();
  RunResult r = p->wait();
  auto rewriteTime = std::chrono::duration_cast<microseconds>(Clock::now() - copyMade);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string newRp = readFile(rp), newSelect = readFile(select);
  EXPECT_TRUE(newRp != bigRpConfig() || newSelect != bigSelectConfig()) << "the run changed nothing";

  std::mt19937 random(seed);
  std::uniform_int_distribution<int64_t> delayUs(0, rewriteTime.count());
  int killed = 0;
  for (int k = 0; k < kills; ++k) {
    restore();
    p = startAndAwaitCopy();
    if (p == nullptr) return killed;
    microseconds delay(delayUs(random));
    std::this_thread::sleep_for(delay);
    p->signal(SIGKILL);
    r = p->wait();
    SCOPED_TRACE("killed " + std::to_string(delay.count()) + " us after the first copy, of " +
                 std::to_string(rewriteTime.count()) + " us");
    EXPECT_TRUE(r.status == 128 + SIGKILL || r.status == 0) << r.status << " " << r.err;
    killed += r.status == 128 + SIGKILL;
    std::string nowRp = readFile(rp), nowSelect = readFile(select);
    EXPECT_TRUE(nowRp == bigRpConfig() || nowRp == newRp) << "rp is neither old nor new, " << nowRp.size()
                                                          << " bytes";
    EXPECT_TRUE(nowSelect == bigSelectConfig() || nowSelect == newSelect)
        << "rp.select is neither old nor new, " << nowSelect.size() << " bytes";
  }
  return killed;
}

TEST_F(KilledRuns, FilesHoldTheirOldOrTheirNewContent) {
  const std::vector<std::vector<std::string>> rewrites = {
      {"change-upstream", "-dc-uid", bigName(12345), "-address", "10.9.9.9:443"},  // rp
      {"change-upstream", "-dc-uid", bigName(777), "-alias", "moved"},             // rp, then rp.select's "~" copy
      {"accounts-balancing", "-set-weight-for-name", bigName(4242), "77"},         // rp.select
      {"rm-upstream", "-alias", bigName(9999)},                                    // rp.select, then rp
  };
  constexpr int kKills = 30;
  const uint32_t seed = std::random_device{}();
  // Each on an instance of its own, side by side, to keep the test short.
  std::vector<int> killed(rewrites.size());
  std::vector<std::thread> workers;
  for (size_t i = 0; i < rewrites.size(); ++i) {
    workers.emplace_back([&, i] {
      killed[i] = killDuringRewrites(rewrites[i], kKills, seed + static_cast<uint32_t>(i));
    });
  }
  for (std::thread& t : workers) t.join();
  for (size_t i = 0; i < rewrites.size(); ++i) EXPECT_GT(killed[i], 0) << rewrites[i][0] << " was never killed";
}

// ---- A full disk ----------------------------------------------------------

size_t pageSize() { return static_cast<size_t>(::sysconf(_SC_PAGESIZE)); }

// content with a comment line in front, so that its last page has exactly
// slack bytes left free.
std::string withSlack(const std::string& content, size_t slack) {
  const size_t page = pageSize();
  size_t total = (content.size() + 2 + slack + page - 1) / page * page - slack;
  return "#" + std::string(total - content.size() - 2, '.') + "\n" + content;
}

// An instance whose truv root is a small tmpfs that only its runs see.
class SmallDisk {
 public:
  explicit SmallDisk(size_t size) : fs_(inst.root(), size) {
    for (const char* d : {"conf.d", "var/lock", "var/tmp"}) makeDirs(at(inst.path(d)));
    writeFile(at(inst.path("var/lock/-kestrane-truv-rp.lock")), "", 0600);
  }

  // Path under the truv root, as the test reaches it.
  std::string at(const std::string& path) const { return fs_.at(path); }
  std::string file(const std::string& rel) const { return at(inst.path(rel)); }

  // Writes files until the disk is full to the last byte.
  void fill() const {
    int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << strerror(errno);
    std::string block(1 << 16, 'f');
    for (size_t chunk : {block.size(), pageSize(), size_t{1}}) {
      while (::write(fd, block.data(), chunk) > 0) {
      }
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
  }
  // Gives back pages of the filler.
  void freePages(size_t pages) const {
    struct stat st;
    ASSERT_EQ(::stat(filler().c_str(), &st), 0);
    size_t used = (static_cast<size_t>(st.st_size) + pageSize() - 1) / pageSize();
    ASSERT_GE(used, pages);
    ASSERT_EQ(::truncate(filler().c_str(), static_cast<off_t>((used - pages) * pageSize())), 0);
  }
  void removeFiller() const { ::unlink(filler().c_str()); }

  // Every file and directory under the truv root but the filler, with the
  // content of each file.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> all;
    walk(at(inst.root()), "", &all);
    return all;
  }

  RunResult run(const std::vector<std::string>& args, const std::string& input = "") const {
    RunOptions o;
    o.input = input;
    o.mountNamespaceOf = fs_.holder();
    return inst.run(args, o);
  }

  Instance inst;

 private:
  std::string filler() const { return at(inst.path("filler")); }

  static void walk(const std::string& dir, const std::string& rel, std::map<std::string, std::string>* all) {
    for (const std::string& name : listDir(dir)) {
      if (rel.empty() && name == "filler") continue;
      std::string path = dir + "/" + name;
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        (*all)[rel + name + "/"] = "";
        walk(path, rel + name + "/", all);
      } else {
        (*all)[rel + name] = readFile(path);
      }
    }
  }

  PrivateTmpfs fs_;
};

const char kDcUidFile[] = "dc_uid = 00000000-0000-1000-8000-000000000000\n";
const char kSecretFile[] =
    "# This is a shared secret that TRUV peers use for secure communication\n"
    "cluster.secret=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n";
const char kImportDoc[] = R"({"dc-uid":"imp","address":"imp:443","secret":"s","digest":"d"})";

std::string quoted(const std::string& s) { return RE2::QuoteMeta(s); }

// Every command that writes, on a disk without a free byte: each ends with
// status 255 and its message, and leaves every file (and var/tmp) as it
// was. An append that could write only part of its block has to take that
// part back; a rewrite whose copy did not fit has to remove the copy.
TEST_F(FullDisk, EveryEditFailsAndLeavesTheFilesAsTheyWere) {
  constexpr size_t kNoRpConfig = static_cast<size_t>(-1);
  const std::vector<std::string> add = {"add-upstream", "-dc-uid", "new", "-address", "new:443",
                                        "-secret",      "s",       "-digest", "d"};
  enum Failure { kAppend, kRpCopy, kSelectCopy, kCreate };
  struct Case {
    const char* what;
    size_t rpSlack;  // bytes left free in the last page of the rp config
    std::vector<std::string> args;
    std::string input;
    Failure failure;
  };
  const Case cases[] = {
      {"add-upstream, no room in the last page", 0, add, "", kAppend},
      {"add-upstream, room for part of the block", 10, add, "", kAppend},
      {"add-upstream, no rp config yet", kNoRpConfig, add, "", kAppend},
      {"import-registration, room for part of the block", 10, {"import-registration"}, kImportDoc, kAppend},
      {"import-registration, no rp config yet", kNoRpConfig, {"import-registration"}, kImportDoc, kCreate},
      {"change-upstream -address", 10, {"change-upstream", "-dc-uid", "U1", "-address", "x:1"}, "", kRpCopy},
      {"change-upstream -alias", 10, {"change-upstream", "-dc-uid", "U1", "-alias", "a2"}, "", kRpCopy},
      {"rm-upstream", 10, {"rm-upstream", "-alias", "b"}, "", kSelectCopy},
      {"-set-weight-for-name", 10, {"accounts-balancing", "-set-weight-for-name", "b", "50"}, "", kSelectCopy},
      {"-set-threshold", 10, {"accounts-balancing", "-set-threshold", "7"}, "", kSelectCopy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmallDisk disk(64 * 1024);
    const std::string rp = disk.inst.rpConfig(), tmp = disk.inst.path("var/tmp");
    if (c.rpSlack != kNoRpConfig) {
      writeFile(disk.at(rp),
                withSlack("rp.upstreams[a].dc_uid = U1\n" + upstreamBlock("a", "a:443") + upstreamBlock("b", "b:443"),
                          c.rpSlack),
                0600);
    }
    writeFile(disk.at(disk.inst.rpSelectConfig()), "rp.select_threshold = 5\nrp.select = a:10 b:20", 0600);
    writeFile(disk.file("conf.d/dc_uid"), kDcUidFile);
    writeFile(disk.file("conf.d/cluster.secret"), kSecretFile);
    disk.fill();
    const auto before = disk.snapshot();

    RunResult r = disk.run(c.args, c.input);
    EXPECT_EQ(r.status, 255) << r.err;
    std::string pattern;
    switch (c.failure) {
      case kAppend:
        pattern = quoted("Failed to write to file " + rp + " (write " + rp + ": no space left on device)");
        break;
      case kRpCopy:
      case kSelectCopy: {
        std::string copy = quoted(tmp + (c.failure == kRpCopy ? "/rp" : "/rp.select")) + "[0-9]+";
        pattern = "Failed to write to file " + copy + " \\(write " + copy + ": no space left on device\\)";
        break;
      }
      case kCreate:
        pattern = quoted("Write to: " + rp + " error: write " + rp + ": no space left on device");
        break;
    }
    EXPECT_TRUE(RE2::FullMatch(r.err, pattern + "\n")) << r.err;
    EXPECT_EQ(disk.snapshot(), before);
  }
}

// The identity files come after the rp config's block. When one of them
// does not fit, the block stays (nothing is rolled back), but the file is
// not left behind empty: an existing file is never rewritten, so it would
// stay broken for good. Once there is room, the next run makes it whole.
TEST_F(FullDisk, IdentityFileThatDoesNotFitIsNotLeftBehind) {
  struct Case {
    const char* missing;
    const char* present;
    const char* presentContent;
    size_t size;
  };
  const Case cases[] = {
      {"dc_uid", "cluster.secret", kSecretFile, 46},
      {"cluster.secret", "dc_uid", kDcUidFile, 127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    SmallDisk disk(64 * 1024);
    const std::string rp = disk.inst.rpConfig(), missing = disk.inst.path(std::string("conf.d/") + c.missing);
    const std::string oldRp = withSlack(upstreamBlock("a", "a:443"), 1000);  // room for the block
    writeFile(disk.at(rp), oldRp, 0600);
    writeFile(disk.file(std::string("conf.d/") + c.present), c.presentContent);
    disk.fill();

    RunResult r = disk.run({"add-upstream", "-dc-uid", "b", "-address", "b:443", "-secret", "s-b", "-digest", "d-b"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Write to: " + missing + " error: write " + missing + ": no space left on device\n");
    EXPECT_FALSE(pathExists(disk.at(missing)));
    EXPECT_EQ(readFile(disk.at(rp)), oldRp + upstreamBlock("b", "b:443"));
    EXPECT_EQ(readFile(disk.file(std::string("conf.d/") + c.present)), c.presentContent);

    disk.removeFiller();
    r = disk.run({"add-upstream", "-dc-uid", "c", "-address", "c:443", "-secret", "s-c", "-digest", "d-c"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(disk.at(missing)).size(), c.size);
  }
}

// The alias rename writes the rp select config's "~" copy last, after the
// rp config has been rewritten. When that copy does not fit, the rp select
// config stays as it was and the partial copy goes, giving its space back.
TEST_F(FullDisk, AliasCopyThatDoesNotFitIsRemoved) {
  SmallDisk disk(128 * 1024);
  const std::string rp = disk.inst.rpConfig(), select = disk.inst.rpSelectConfig();
  writeFile(disk.at(rp), "rp.upstreams[a].dc_uid = U1\n" + upstreamBlock("a", "a:443"), 0600);
  std::string selectText = "rp.select_threshold = 5\nrp.select = a:1";
  for (int i = 0; selectText.size() < 5 * pageSize(); ++i) selectText += " other" + std::to_string(i) + ":1";
  writeFile(disk.at(select), selectText, 0600);
  disk.fill();
  disk.freePages(1);  // room for the rp config's copy, not for the "~" copy

  RunResult r = disk.run({"change-upstream", "-dc-uid", "U1", "-alias", "a2"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Failed to write to file " + select + "~ (write " + select + "~: no space left on device)\n");
  EXPECT_EQ(readFile(disk.at(select)), selectText);
  EXPECT_FALSE(pathExists(disk.at(select + "~")));
  EXPECT_EQ(readFile(disk.at(rp)),
            "rp.upstreams[a2].dc_uid = U1\n"
            "rp.upstreams[a2].address = a:443\n"
            "rp.upstreams[a2].secret = s-a\n"
            "rp.upstreams[a2].cert_digest = d-a\n");
}

}  // namespace
