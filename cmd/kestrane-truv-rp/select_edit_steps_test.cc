// removeName stands for many changeSelectLine steps, done as one rewrite
// (changeFromAllDomainLines, which it falls back on, does them in turn).
// Here the steps are done one by one, each reading its value through the
// configuration library from the file as the steps before it left it,
// rewriting the whole file and appending its line; the tool's edit and the
// steps must leave the same bytes, on random rp select configs and on fixed
// ones that once told them apart.
//
// The tool's functions need an instance (the truv config names the root
// whose var/tmp takes the rewrite copies), so each test runs them in a child
// with a mount namespace of its own and a tmpfs at /etc/kestrane holding the
// truv config and the instance: the machine's /etc stays as it was (the
// empty mount point is made when missing, as for the end-to-end tests), and
// the syncs of thousands of rewrites cost nothing.
#include "select_edit.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "config_reader.h"
#include "fsutil.h"
#include "key_syntax.h"
#include "options.h"
#include "qel_io/config/config.h"
#include "quote.h"
#include "registry.h"
#include "test_child.h"
#include "tests/select_step_model.h"

namespace {

// ---- files -------------------------------------------------------------------

std::string readBytes(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    readAllFd(fd, &out);
    ::close(fd);
  }
  return out;
}

// Runs in the child, which a failure ends with the message as its output.
void writeBytes(const std::string& path, std::string_view data, int flags = O_TRUNC) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | flags, 0600);
  int e = fd < 0 ? errno : writeAllFd(fd, data);
  if (e != 0) {
    writeAllFd(STDOUT_FILENO, "cannot write " + path + ": " + std::strerror(e));
    _exit(1);
  }
  ::close(fd);
}

// ---- the steps, one by one ---------------------------------------------------

// The lines of a file as a rewrite reads them: each ends at "\n", which it
// does not hold, and loses one "\r" right before it; a last line without a
// line end is a line too (and loses a "\r" at its end as well).
std::vector<std::string> linesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t nl = bytes.find('\n', start);
    size_t end = nl == std::string::npos ? bytes.size() : nl;
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string withoutBlanks(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != ' ') out += c;
  return out;
}

// Rewrites the file without the lines that, blanks removed, begin with the
// prefix (blanks removed), every other line followed by "\n".
void stepRemoveLines(const std::string& path, const std::string& prefix) {
  const std::string want = withoutBlanks(prefix);
  std::string out;
  for (const std::string& line : linesOf(readBytes(path))) {
    if (withoutBlanks(line).starts_with(want)) continue;
    out += line;
    out += '\n';
  }
  writeBytes(path, out);
}

// The value of key as the library reads the file now; "" when it has none.
std::string stepLookup(const std::string& path, const std::string& key) {
  auto [cfg, err] = ParseFile(path);
  if (err) return "";
  std::string value = cfg.GetString(key).first;
  cfg.Close();
  return value;
}

// A rebuilt line holds no value: trimmed of white space, it has no "=", or
// nothing between its first "=" and the next one (or its end).
bool stepEmptyLine(std::string line) {
  const char* space = " \t\n\v\f\r";
  size_t first = line.find_first_not_of(space);
  if (first == std::string::npos) return true;
  line = line.substr(first, line.find_last_not_of(space) - first + 1);
  size_t eq = line.find('=');
  if (eq == std::string::npos) return true;
  size_t next = line.find('=', eq + 1);
  return line.substr(eq + 1, next == std::string::npos ? std::string::npos : next - eq - 1).empty();
}

void stepChangeSelectLine(const std::string& path, const std::string& name, const std::string& domain, bool remove,
                          int64_t weight) {
  const std::string line = stepRebuiltLine(selectStartText(domain), stepLookup(path, selectKey(domain)), name, remove, weight);
  stepRemoveLines(path, selectRemovalPrefix(domain));
  if (!stepEmptyLine(line)) writeBytes(path, line, O_APPEND);
}

// The domains of the file's domain select lines, in the order the library
// walks its settings (the order the tool takes them in too).
std::vector<std::string> stepDomains(const std::string& path) {
  std::vector<std::string> domains;
  auto [cfg, err] = ParseFile(path);
  if (err) return domains;
  cfg.ForEachSetting([&](SettingText s) {
    std::string_view domain;
    if (matchCertsKey(s.key, &domain)) domains.emplace_back(domain);
  });
  cfg.Close();
  return domains;
}

void stepChangeFromAllDomainLines(const std::string& path, const std::string& name, bool remove, int64_t weight) {
  for (const std::string& d : stepDomains(path)) stepChangeSelectLine(path, name, d, remove, weight);
}

enum class Branch { kOneDomain, kEveryLine, kNoDefaultLine };

Branch stepRemoveName(const std::string& selectPath, const std::string& rpPath, const std::string& name,
                      const std::string& domain) {
  if (!stepLookup(selectPath, kDefaultSelectKey).empty()) {
    if (!domain.empty()) {
      stepChangeSelectLine(selectPath, name, domain, true, 0);
      return Branch::kOneDomain;
    }
    stepChangeSelectLine(selectPath, name, "", true, 0);
    stepChangeFromAllDomainLines(selectPath, name, true, 0);
    return Branch::kEveryLine;
  }
  std::vector<std::string> keys;
  auto [rp, err] = ParseFile(rpPath);
  if (!err) {
    for (std::string_view k : getUpstreamKeys(rp)) keys.emplace_back(k);
    rp.Close();
  }
  for (const std::string& k : keys)
    if (k != name) stepChangeSelectLine(selectPath, k, "", false, 1);
  return Branch::kNoDefaultLine;
}

// ---- random configs ------------------------------------------------------------

class Random {
 public:
  explicit Random(uint64_t seed) : rng_(seed) {}

  bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[below(from.size())];
  }

 private:
  std::mt19937_64 rng_;
};

const std::vector<std::string> kNames = {"a", "b", "c", "ab", "A", "", "\xff", "\xc3\xa9", "#", "x=y"};
// Domains that differ only by blanks, bytes that are not UTF-8, brackets.
const std::vector<std::string> kDomains = {"d",    "e", "D",   "a b",      " ab",       "ab", "ab ",
                                           "\xff", "]", "d]x", "\xfe\xff", "\xc3\xa9x", "x.y"};

// One select entry, or a part that is none.
std::string randomPart(Random& r) {
  static const std::vector<std::string> weights = {"1", "50", "100", "0", "-3", "+7", "007", "", "x"};
  switch (r.below(8)) {
    case 0: return r.pick(kNames);  // no ":"
    case 1: return r.pick(kNames) + ":" + r.pick(weights) + ":" + r.pick(weights);
    default: return r.pick(kNames) + ":" + r.pick(weights);
  }
}

std::string randomValue(Random& r) {
  static const std::vector<std::string> seps = {" ", " ", " ", "  ", "\t", " \t "};
  std::string value;
  if (r.chance(10)) value += r.chance(50) ? " " : "\t";
  size_t n = r.below(5);
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) value += r.pick(seps);
    value += randomPart(r);
  }
  if (r.chance(15)) value += r.pick(seps);
  return value;
}

// "KEY = VALUE" spaced one way or another; some spacings hide the key from
// the removal prefix (a tab before it or before "="), or from the library (a
// blank inside it).
std::string setting(Random& r, const std::string& key, const std::string& value) {
  switch (r.below(10)) {
    case 0: return key + "=" + value;
    case 1: return "  " + key + "  =  " + value;
    case 2: return "\t" + key + " = " + value;
    case 3: return key + "\t= " + value;
    case 4: {
      std::string spaced = key;  // keys are longer than one byte
      spaced.insert(1 + r.below(spaced.size() - 1), 1, ' ');
      return spaced + " = " + value;
    }
    default: return key + " = " + value;
  }
}

std::string randomDomainKey(Random& r) {
  const std::string& d = r.pick(kDomains);
  switch (r.below(12)) {
    case 0: return "certs[" + d + "].rp.select2";  // the certs pattern, in a longer key
    case 1: return "xcerts[" + d + "].rp.select";
    case 2: return "certs[" + d + "]/rp-select";  // its dots take any byte
    case 3: return "certs[].rp.select";           // an empty domain is none
    default: return "certs[" + d + "].rp.select";
  }
}

std::string randomSelectLine(Random& r, bool valuedDefaultLine) {
  static const std::vector<std::string> others = {
      // the threshold line, and a key that begins like it
      "rp.select_threshold = 3", "rp.select_threshold=10", "rp.select_threshold2 = 1",
      // comments and blank lines
      "# rp.select = a:1", "#certs[d].rp.select = a:1", "  # note", "", " ", "\t",
      // other keys, and lines that set nothing
      "rp.enable = yes", "rp.selectx = a:1", "rp.select:a = 1", "= v", "rp.select", "certs[d].rp.select",
      "no equals sign"};
  switch (r.below(11)) {
    case 0:
    case 1:
      if (valuedDefaultLine) return setting(r, kDefaultSelectKey, randomValue(r));
      return r.chance(50) ? setting(r, kDefaultSelectKey, "") : "rp. select = a:1 b:2";
    case 2:
    case 3:
    case 4:
    case 5:
    case 6: return setting(r, randomDomainKey(r), randomValue(r));
    default: return r.pick(others);
  }
}

std::string randomLineEnd(Random& r) {
  static const std::vector<std::string> ends = {"\n", "\n", "\n", "\n", "\r\n", "\r\n", "\r\r\n", "\r\r\r\n", "\r"};
  return r.pick(ends);
}

// A select config; with valuedDefaultLine, most hold a default select line
// with a value.
std::string randomSelectConfig(Random& r, bool valuedDefaultLine) {
  std::vector<std::string> lines;
  for (size_t n = r.below(12); n > 0; --n) lines.push_back(randomSelectLine(r, valuedDefaultLine));
  if (valuedDefaultLine && r.chance(90)) {
    const size_t at = r.below(lines.size() + 1);
    lines.insert(lines.begin() + static_cast<ptrdiff_t>(at),
                 setting(r, kDefaultSelectKey, randomPart(r) + " " + randomValue(r)));
  }
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (r.chance(2)) line.insert(r.below(line.size() + 1), 1, '\0');  // a line the library skips
    out += line;
    if (i + 1 < lines.size() || r.chance(60)) {
      out += randomLineEnd(r);
    } else if (r.chance(30)) {
      out += r.chance(50) ? "\r" : "\r\r";  // no line end, a "\r" at the very end
    }
  }
  return out;
}

const std::vector<std::string> kAliases = {"a", "b", "c", "W", "k", " c", "\tt", "p q", "a:b", "\xff", "x=y", "e"};
const std::vector<std::string> kUids = {"U1", "U2", "a", "k:x", "", "b", " u", "W", "\xc3\xa9"};

std::string randomRpConfig(Random& r) {
  std::string out;
  size_t n = r.below(8);
  for (size_t i = 0; i < n; ++i) {
    const std::string& alias = r.pick(kAliases);
    switch (r.below(8)) {
      case 0:
      case 1: out += "rp.upstreams[" + alias + "].dc_uid = " + r.pick(kUids); break;
      case 2: out += "rp.upstreams [" + alias + "].secret = s"; break;
      case 3: out += r.chance(50) ? "rp.enable = yes" : "# rp.upstreams[z].address = z"; break;
      default: out += "rp.upstreams[" + alias + "].address = " + alias + ".example"; break;
    }
    out += randomLineEnd(r);
  }
  return out;
}

// ---- running both ------------------------------------------------------------

// The instance of the child: the truv config and the truv root on a tmpfs
// at /etc/kestrane, in a mount namespace of its own. Returns why it cannot
// be made, or "".
std::string enterScratchInstance() {
  auto failed = [](const char* what) { return std::string(what) + ": " + std::strerror(errno); };
  if (::geteuid() != 0) {
    // An account of its own may still make the namespaces, as root inside.
    const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER) != 0) return failed("not root, and no user namespace (unshare)");
    int fd = ::open("/proc/self/setgroups", O_WRONLY);
    if (fd >= 0) {
      writeAllFd(fd, "deny");
      ::close(fd);
    }
    for (auto [file, map] :
         {std::pair{"/proc/self/uid_map", "0 " + uid + " 1"}, {"/proc/self/gid_map", "0 " + gid + " 1"}}) {
      fd = ::open(file, O_WRONLY);
      if (fd < 0 || writeAllFd(fd, map) != 0) return failed("mapping the user namespace");
      ::close(fd);
    }
  }
  if (::mkdir("/etc/kestrane", 0755) != 0 && errno != EEXIST) return failed("creating the mount point /etc/kestrane");
  if (::unshare(CLONE_NEWNS) != 0) return failed("unshare");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return failed("mount private");
  if (::mount("tmpfs", "/etc/kestrane", "tmpfs", 0, "size=64m,mode=0755") != 0) return failed("mount tmpfs");
  for (const char* dir : {"/etc/kestrane/root", "/etc/kestrane/root/conf.d", "/etc/kestrane/root/var",
                          "/etc/kestrane/root/var/tmp", "/etc/kestrane/steps"})
    if (::mkdir(dir, 0755) != 0) return failed("mkdir");
  writeBytes("/etc/kestrane/truv.config", "root_dir = /etc/kestrane/root\n");
  return "";
}

const std::string kToolSelect = "/etc/kestrane/root/conf.d/rp.select";
const std::string kRp = "/etc/kestrane/root/conf.d/rp";
const std::string kStepsSelect = "/etc/kestrane/steps/rp.select";

// One case: the files before, and the edit made on them by the tool and by
// the steps. steps tells whether the case took the path the test aims at.
struct Case {
  std::string select, rp;
  std::string label;  // the edit and its arguments, for the failure message
  std::function<void(const std::string& path)> tool;
  std::function<bool(const std::string& path)> steps;
  std::optional<std::string> want;  // the bytes both must leave, when known
};

// Runs both on the case; "" when the bytes agree, else the failure message.
std::string compare(const Case& c, uint64_t seed, bool* aimed) {
  writeBytes(kRp, c.rp);
  writeBytes(kToolSelect, c.select);
  writeBytes(kStepsSelect, c.select);
  // Written here, not by the tool: its kept parses of the last case must go,
  // for the new content may have the old one's size and time stamp.
  forgetParse(kRp);
  forgetParse(kToolSelect);
  c.tool(kToolSelect);
  *aimed = c.steps(kStepsSelect);
  const std::string tool = readBytes(kToolSelect), steps = readBytes(kStepsSelect);
  if (tool == steps && (!c.want || tool == *c.want)) return "";
  return "case " + std::to_string(seed) + ", " + c.label + "\nrp select config before: " + quoteValue(c.select) +
         "\nrp config:               " + quoteValue(c.rp) + "\nafter the tool's edit:   " + quoteValue(tool) +
         "\nafter the steps:         " + quoteValue(steps) +
         (c.want ? "\nwanted:                  " + quoteValue(*c.want) : "") + "\n";
}

// The case of a seed (or index), made from it alone.
using CaseMaker = std::function<Case(uint64_t seed)>;

// Runs the cases first .. first + count - 1 in a scratch instance of a
// child; fails the test with the first case whose bytes differ. At least
// half the cases must take the path aimed at, or the generator misses it.
void runCases(uint64_t first, size_t count, const CaseMaker& make) {
  // The case running, for a child that the tool ends.
  auto* current = static_cast<uint64_t*>(
      ::mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(current, MAP_FAILED);
  *current = UINT64_MAX;
  Exit e = runChild([&] {
    if (std::string why = enterScratchInstance(); !why.empty()) {
      writeAllFd(STDOUT_FILENO, "cannot make a scratch instance: " + why);
      _exit(77);
    }
    size_t aimedCount = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
      *current = seed;
      bool aimed = false;
      if (std::string failure = compare(make(seed), seed, &aimed); !failure.empty()) {
        writeAllFd(STDOUT_FILENO, failure);
        _exit(1);
      }
      aimedCount += aimed;
    }
    if (aimedCount * 2 < count) {
      writeAllFd(STDOUT_FILENO, "only " + std::to_string(aimedCount) + " of " + std::to_string(count) +
                                    " cases took the path under test");
      _exit(1);
    }
    _exit(0);
  });
  const uint64_t last = *current;
  ::munmap(current, sizeof(uint64_t));
  if (e.status == 77) GTEST_SKIP() << e.out;
  if (e.status == 0) return;
  if (!e.out.empty()) {
    ADD_FAILURE() << e.out;
  } else if (last != UINT64_MAX) {
    Case c = make(last);
    ADD_FAILURE() << "the run ended with status " << e.status << " (" << e.err << ") in case " << last << ", "
                  << c.label << "\nrp select config: " << quoteValue(c.select) << "\nrp config: " << quoteValue(c.rp);
  } else {
    ADD_FAILURE() << "the child ended with status " << e.status << ": " << e.err;
  }
}

// removeName, with the option values it reads set for the case. It aims at
// the branch want, and at the default and every domain line only when the
// file holds a domain line.
Case removeNameCase(std::string select, std::string rp, const std::string& name, const std::string& domain,
                    Branch want) {
  Case c;
  c.select = std::move(select);
  c.rp = std::move(rp);
  c.label = "-remove-name " + quoteValue(name) + " -domain " + quoteValue(domain);
  c.tool = [=](const std::string& path) {
    optRemoveName = name;
    optDomain = domain;
    removeName(path, kRp);
  };
  c.steps = [=](const std::string& path) {
    const bool anyDomain = !stepDomains(path).empty();
    return stepRemoveName(path, kRp, name, domain) == want && (want != Branch::kEveryLine || anyDomain);
  };
  return c;
}

const std::string kOneUpstream = "rp.upstreams[a].address = x\n";
constexpr size_t kCases = 5000;

TEST(StepByStep, RemoveNameFromTheDefaultAndEveryDomainLine) {
  runCases(1'000'000, kCases, [](uint64_t seed) {
    Random r(seed);
    std::string select = randomSelectConfig(r, true);
    return removeNameCase(select, kOneUpstream, r.pick(kNames), "", Branch::kEveryLine);
  });
}

// Values ending in "\r" that read otherwise once a step before theirs has
// rewritten the file: the "\r" before a line end goes with each rewrite.
TEST(StepByStep, RemoveNameFromLinesWhoseValueEndsInCarriageReturns) {
  struct Fixed {
    std::string select, name, want;
  };
  static const Fixed cases[] = {
      {"rp.select = a:1 c:3\ncerts[d].rp.select = a:1 b:2\r\r\n", "a", "rp.select = c:3\ncerts[d].rp.select = b:2"},
      // Read after the rewrite, the value has no blank at its end.
      {"rp.select = a:1 c:3\ncerts[d].rp.select = b:2 a:1 \r\r\n", "a", "rp.select = c:3\ncerts[d].rp.select = b:2"},
      // A default line whose value is "\r" ends up without value.
      {"certs[d].rp.select = b:1\r\r\r\nrp.select = \r\r", "k", "certs[d].rp.select = b:1\r"},
  };
  runCases(0, std::size(cases), [](uint64_t i) {
    Case c = removeNameCase(cases[i].select, kOneUpstream, cases[i].name, "", Branch::kEveryLine);
    c.want = cases[i].want;
    return c;
  });
}

TEST(StepByStep, RemoveNameFromTheLineOfOneDomain) {
  runCases(2'000'000, kCases, [](uint64_t seed) {
    Random r(seed);
    std::string select = randomSelectConfig(r, true);
    std::string name = r.pick(kNames);
    return removeNameCase(select, kOneUpstream, name, r.pick(kDomains), Branch::kOneDomain);
  });
}

TEST(StepByStep, RemoveNameWithoutDefaultLineWritesOneOfEveryOtherUpstream) {
  runCases(3'000'000, kCases, [](uint64_t seed) {
    Random r(seed);
    std::string select = randomSelectConfig(r, false);
    std::string rp = randomRpConfig(r);
    std::string name = r.chance(50) ? r.pick(kAliases) : r.pick(kUids);
    std::string domain = r.chance(30) ? r.pick(kDomains) : "";  // plays no part here
    return removeNameCase(select, rp, name, domain, Branch::kNoDefaultLine);
  });
}

TEST(StepByStep, ChangeFromAllDomainLines) {
  runCases(4'000'000, kCases, [](uint64_t seed) {
    static const std::vector<int64_t> weights = {0, 1, 50, 100, -5, INT64_MIN};
    Random r(seed);
    Case c;
    c.select = randomSelectConfig(r, r.chance(50));
    c.rp = kOneUpstream;
    const std::string name = r.pick(kNames);
    const bool remove = r.chance(50);
    const int64_t weight = r.pick(weights);
    c.label =
        "changeFromAllDomainLines " + quoteValue(name) + (remove ? " remove" : " weight " + std::to_string(weight));
    c.tool = [=](const std::string& path) { changeFromAllDomainLines(path, name, remove, weight); };
    c.steps = [=](const std::string& path) {
      const bool anyDomain = !stepDomains(path).empty();
      stepChangeFromAllDomainLines(path, name, remove, weight);
      return anyDomain;
    };
    return c;
  });
}

}  // namespace
