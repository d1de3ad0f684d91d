// Benchmark driver: builds scratch TRUV instances with rp configs of several
// sizes, times each command of the tool and the baseline program on them and
// prints the median times, their ratios and the targets.
//
// The tool reads /etc/kestrane/truv.config, so this must run where that path
// is the scratch etc/ (bench/run.sh binds it in a private mount namespace);
// the driver checks so before it writes anything there.
//
//   ktrp-bench -scratch DIR [-sizes 1000,10000,100000] [-reps N]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kDomainLines = 100;
constexpr size_t kEntriesPerDomain = 10;
constexpr double kRatioTarget = 3.0;
constexpr double kGrowthTarget = 12.0;
constexpr double kStartupTarget = 2.0;

[[noreturn]] void die(const std::string& msg) {
  std::fprintf(stderr, "ktrp-bench: %s\n", msg.c_str());
  std::exit(2);
}

std::string sysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// ---- files -----------------------------------------------------------------

void writeFile(const std::string& path, const std::string& content, mode_t mode = 0600) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) die(sysError("open", path));
  for (size_t off = 0; off < content.size();) {
    ssize_t n = ::write(fd, content.data() + off, content.size() - off);
    if (n < 0) die(sysError("write", path));
    off += static_cast<size_t>(n);
  }
  ::fchmod(fd, mode);
  // Synced here so that no write-back of the set-up falls into a timed run.
  if (::fsync(fd) != 0) die(sysError("fsync", path));
  ::close(fd);
}

std::string readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return s;
}

void makeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die(sysError("mkdir", path));
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// ---- generated content ---------------------------------------------------

uint64_t mix(uint64_t x) {  // splitmix64
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return std::string(buf, static_cast<size_t>(std::max(n, 0)));
}

// A version-1 UUID look-alike, fixed by i.
std::string uuidOf(uint64_t i) {
  uint64_t a = mix(i), b = mix(i ^ 0x5555);
  return format("%08" PRIx64 "-%04" PRIx64 "-1%03" PRIx64 "-%04" PRIx64 "-%012" PRIx64, a >> 32,
                (a >> 16) & 0xffff, a & 0xfff, (b >> 48 & 0x3fff) | 0x8000, b & UINT64_C(0xffffffffffff));
}

std::string textOf(uint64_t i, size_t len, const char* alphabet) {
  size_t n = std::strlen(alphabet);
  std::string s;
  for (uint64_t k = 0; s.size() < len; ++k) {
    uint64_t r = mix(i * 131 + k);
    for (int j = 0; j < 8 && s.size() < len; ++j, r >>= 8) s += alphabet[r % n];
  }
  return s;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHex[] = "0123456789abcdef";

// Even upstreams have an alias of their own and a dc_uid line; odd ones go
// by their DC UID.
struct Upstream {
  std::string alias, uid;
};

Upstream upstreamOf(size_t i) {
  std::string uid = uuidOf(i);
  return {i % 2 == 0 ? format("edge-%06zu", i) : uid, uid};
}

std::string rpConfigText(size_t n) {
  std::string s = "rp.enable = yes\n";
  s.reserve(n * 420);
  auto line = [&](const std::string& alias, const char* property, const std::string& value) {
    s += "rp.upstreams[";
    s += alias;
    s += "].";
    s += property;
    s += " = ";
    s += value;
    s += '\n';
  };
  for (size_t i = 0; i < n; ++i) {
    Upstream u = upstreamOf(i);
    if (u.alias != u.uid) line(u.alias, "dc_uid", u.uid);
    line(u.alias, "address", format("10.%zu.%zu.%zu:7443", i >> 16 & 255, i >> 8 & 255, i & 255));
    line(u.alias, "redirect", format("https://edge%zu.truv.example.net", i));
    line(u.alias, "secret", textOf(i, 40, kBase64));
    line(u.alias, "cert_digest", textOf(i + 7, 64, kHex));
    line(u.alias, "stat", format("10.%zu.%zu.%zu:44444", i >> 16 & 255, i >> 8 & 255, i & 255));
  }
  return s;
}

// The default line names every upstream; each domain line names a few, the
// target among them on every tenth; the threshold comes last, without a
// line end, as the tool leaves its last append.
std::string rpSelectText(size_t n, size_t target) {
  std::string s = "rp.select =";
  s.reserve(n * 24 + kDomainLines * kEntriesPerDomain * 24);
  auto entry = [&](size_t i, size_t weight) {
    s += ' ';
    s += upstreamOf(i).alias;
    s += format(":%zu", weight);
  };
  for (size_t i = 0; i < n; ++i) entry(i, i * 7 % 101);
  s += "\n";
  for (size_t d = 0; d < kDomainLines; ++d) {
    s += format("certs[domain%zu.example.com].rp.select =", d);
    for (size_t k = 0; k < kEntriesPerDomain; ++k) {
      size_t i = (d % 10 == 0 && k == 0) ? target : (d * 37 + k * 1013) % n;
      entry(i, (d + k) * 13 % 101);
    }
    s += "\n";
  }
  s += "rp.select_threshold = 70";
  return s;
}

// ---- instances -------------------------------------------------------------

struct Instance {
  size_t size = 0;
  std::string dir, root, confd, rp, select, doc;
  std::string rpText, selectText;
  Upstream target;
};

std::string truvConfigPath(const std::string& scratch) { return scratch + "/etc/truv.config"; }

// Points the truv config at the instance's root.
void activate(const std::string& scratch, const Instance& in) {
  writeFile(truvConfigPath(scratch), "root_dir = " + in.root + "\nstat.prometheus.listen_addr = 0.0.0.0:9100\n",
            0644);
}

// An instance with the given rp config and rp select config ("" for none),
// its identity files and a registration to export.
Instance makeInstanceWith(const std::string& scratch, const std::string& name, size_t n, std::string rpText,
                          std::string selectText) {
  Instance in;
  in.size = n;
  in.dir = scratch + "/" + name;
  in.root = in.dir + "/root";
  in.confd = in.root + "/conf.d";
  in.rp = in.confd + "/rp";
  in.select = in.confd + "/rp.select";
  in.doc = in.dir + "/registration.json";
  for (const std::string& d : {in.dir, in.root, in.confd, in.root + "/certs.x"}) makeDir(d);
  in.rpText = std::move(rpText);
  in.selectText = std::move(selectText);
  writeFile(in.rp, in.rpText);
  if (!in.selectText.empty()) writeFile(in.select, in.selectText);
  writeFile(in.confd + "/dc_uid", "dc_uid = " + uuidOf(999999999) + "\n", 0644);
  writeFile(in.confd + "/cluster.secret",
            "# This is a shared secret that TRUV peers use for secure communication\ncluster.secret=" +
                textOf(5, 40, kBase64) + "\n",
            0644);
  writeFile(in.root + "/certs.x/.truv.registration-info",
            ".type = truv.rp-registration-info.v1\ntruv-address = node1.truv.example.net:7443\n", 0644);
  writeFile(in.root + "/certs.x/truv.pem.info", "digest.sha256 = " + textOf(77, 64, kHex) + "\n", 0644);
  writeFile(in.doc,
            "{\"address\":\"peer.truv.example.net:7443\",\"dc-uid\":\"" + uuidOf(888888888) +
                "\",\"digest\":\"" + textOf(88, 64, kHex) + "\",\"secret\":\"" + textOf(89, 40, kBase64) +
                "\",\"stat\":\"peer.truv.example.net:44444\"}",
            0644);
  return in;
}

Instance makeInstance(const std::string& scratch, const std::string& name, size_t n) {
  if (n == 0) return makeInstanceWith(scratch, name, 0, "", "");
  const size_t target = n / 2 - n / 2 % 2;  // an even one: found by the value search
  Instance in = makeInstanceWith(scratch, name, n, rpConfigText(n), rpSelectText(n, target));
  in.target = upstreamOf(target);
  return in;
}

// Puts the rp config and the rp select config back as generated.
void restore(const Instance& in) {
  writeFile(in.rp, in.rpText);
  if (in.selectText.empty())
    ::unlink(in.select.c_str());
  else
    writeFile(in.select, in.selectText);
  ::unlink((in.select + "~").c_str());
}

// ---- runs ------------------------------------------------------------------

double now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Run {
  double seconds = 0;
  int status = -1;
};

// Runs argv with no environment, standard output to outPath and standard
// error to errPath. The time covers the spawn and the wait.
Run spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  char* envp[] = {nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Run r;
  double start = now();
  pid_t pid;
  int e = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp);
  if (e != 0) die("spawn " + argv[0] + ": " + std::strerror(e));
  int ws = 0;
  while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  r.seconds = now() - start;
  posix_spawn_file_actions_destroy(&fa);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

struct Command {
  std::string label;
  std::vector<std::string> args;  // after the program name
  bool changesFiles = false;
  std::vector<std::string> baseline;  // OP:PATH arguments of the baseline
};

std::vector<Command> commandsFor(const Instance& in) {
  const std::string& rp = in.rp;
  const std::string& sel = in.select;
  const Upstream& t = in.target;
  const Upstream added{"new-edge", uuidOf(777777777)};
  return {
      {"upstreams", {"upstreams"}, false, {"r:" + rp}},
      {"upstream-uids -j", {"upstream-uids", "-j"}, false, {"r:" + rp}},
      {"get-upstream -j", {"get-upstream", "-dc-uid", t.uid, "-j"}, false, {"r:" + rp}},
      {"accounts-balancing -weights -j", {"accounts-balancing", "-weights", "-j"}, false, {"r:" + sel, "r:" + rp}},
      {"add-upstream",
       {"add-upstream", "-dc-uid", added.uid, "-alias", added.alias, "-address", "192.0.2.10:7443", "-secret",
        textOf(3, 40, kBase64), "-digest", textOf(4, 64, kHex), "-stat", "192.0.2.10:44444"},
       true,
       {"r:" + rp, "a:" + rp}},
      {"change-upstream -address",
       {"change-upstream", "-dc-uid", t.uid, "-address", "192.0.2.20:7443"},
       true,
       {"r:" + rp, "w:" + rp, "a:" + rp}},
      {"change-upstream -alias",
       {"change-upstream", "-dc-uid", t.uid, "-alias", "renamed-edge"},
       true,
       {"r:" + rp, "w:" + rp, "a:" + rp, "w:" + sel}},
      {"accounts-balancing -set-weight",
       {"accounts-balancing", "-set-weight-for-name", t.alias, "42"},
       true,
       {"r:" + rp, "w:" + sel, "a:" + sel}},
      {"export-registration",
       {"export-registration"},
       false,
       {"r:" + in.root + "/certs.x/.truv.registration-info", "r:" + in.root + "/certs.x/truv.pem.info",
        "r:" + in.confd + "/dc_uid", "r:" + in.confd + "/cluster.secret", "r:/etc/kestrane/truv.config"}},
      {"import-registration", {"import-registration", "-in", in.doc}, true, {"r:" + in.doc, "r:" + rp, "a:" + rp}},
  };
}

// rm-upstream rebuilds each select line with its own removal and append: the
// default line and every domain line, then the rp config once.
size_t rmSelectRewrites() { return 1 + kDomainLines; }

Command rmCommand(const Instance& in) {
  return {"rm-upstream", {"rm-upstream", "-dc-uid", in.target.uid}, true, {"r:" + in.rp, "w:" + in.select, "w:" + in.rp}};
}

// The baseline doing as many rewrites and appends as rm-upstream does.
std::vector<std::string> rmSameWorkBaseline(const Instance& in) {
  std::vector<std::string> ops{"r:" + in.rp};
  for (size_t i = 0; i < rmSelectRewrites(); ++i) {
    ops.push_back("w:" + in.select);
    ops.push_back("a:" + in.select);
  }
  ops.push_back("w:" + in.rp);
  return ops;
}

class Bench {
 public:
  explicit Bench(std::string scratch) : scratch_(std::move(scratch)) {}

  // Runs the tool once, untimed, and checks that it succeeds quietly.
  void check(const Instance& in, const std::vector<std::string>& args, const std::string& label) {
    std::vector<std::string> argv{KTRP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    Run r = spawn(argv, scratch_ + "/out.txt", scratch_ + "/err.txt");
    std::string err = readFile(scratch_ + "/err.txt");
    if (r.status != 0 || !err.empty())
      die(format("%s at %zu upstreams: status %d: %s", label.c_str(), in.size, r.status, err.c_str()));
  }

  // Median seconds of reps timed runs of argv; files restored before each
  // run when restoreFirst.
  double time(const Instance& in, const std::vector<std::string>& argv, int reps, bool restoreFirst,
              const std::string& label) {
    std::vector<double> t;
    for (int i = 0; i < reps; ++i) {
      if (restoreFirst) restore(in);
      Run r = spawn(argv, "/dev/null", scratch_ + "/err.txt");
      if (r.status != 0) {
        die(format("%s at %zu upstreams: %s exited %d: %s", label.c_str(), in.size, argv[0].c_str(), r.status,
                   readFile(scratch_ + "/err.txt").c_str()));
      }
      t.push_back(r.seconds);
    }
    if (restoreFirst) restore(in);
    return median(t);
  }

  std::vector<std::string> toolArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KTRP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  std::vector<std::string> baselineArgv(const std::vector<std::string>& ops) {
    std::vector<std::string> argv{KTRP_BASELINE};
    argv.insert(argv.end(), ops.begin(), ops.end());
    return argv;
  }

  // Times tool and baseline in alternating rounds so that drift hits both.
  std::pair<double, double> timePair(const Instance& in, const Command& c, int reps,
                                     const std::vector<std::string>& baselineOps) {
    if (c.changesFiles) restore(in);
    check(in, c.args, c.label);
    if (c.changesFiles) restore(in);
    std::vector<double> tool, base;
    for (int i = 0; i < reps; ++i) {
      tool.push_back(time(in, toolArgv(c.args), 1, c.changesFiles, c.label));
      base.push_back(time(in, baselineArgv(baselineOps), 1, c.changesFiles, c.label + " (baseline)"));
    }
    return {median(tool), median(base)};
  }

 private:
  std::string scratch_;
};

// ---- comparison with another build ---------------------------------------
//
// -compare OTHER runs every command with both binaries on the same files and
// checks that standard output, standard error, exit status and the rp config
// and rp select config left behind are the same, byte for byte: for the
// benchmark's instances and for small ones made to reach the corners (aliases
// sharing a registry key, two dc_uid settings for one alias, keys that only
// the pattern matches, DC UIDs found under several keys, bytes that JSON
// escapes, an rp select config without a default line).

std::string trickyRpConfig(size_t extra) {
  std::string s = "rp.enable = yes\n";
  auto add = [&](const std::string& line) { s += line + "\n"; };
  add("rp.upstreams[alpha].address = alpha.example:1");
  add("rp.upstreams[beta].dc_uid = alpha");  // beta's registry key is alpha's
  add("rp.upstreams[beta].address = beta.example:1");
  add("rp.upstreams[beta].stat = beta.example:2");
  add("rp.upstreams[gamma].dc_uid = G1");
  add("rp.upstreams [gamma].dc_uid = G2");  // a second dc_uid for gamma
  add("rp.upstreams[gamma].address = gamma.example:1");
  add("rp.upstreams [delta].address = delta.example:1");  // only the pattern finds delta
  add("rp.upstreams[eps].x[1].address = eps.example:1");
  add("rp.upstreams[p].dc_uid = Z");
  add("rp.upstreams[p].address = p.example:1");
  add("rp.upstreams[q].note = Z");  // Z again, under another alias
  add("misc = Z");
  add("rp.upstreams[h<&>\"\\].address = a<b>&\"c\\d\x80\xff\xe2\x80\xa8");
  s += "rp.upstreams[crlf].address = crlf.example:1\r\n";
  add("rp.upstreams[empty].address =");
  add("rp.upstreams[empty].secret = s3cr3t");
  add("rp.upstreams[twice].address = first.example:1");
  for (size_t i = 0; i < extra; ++i) {
    uint64_t r = mix(i + 12345);
    std::string alias = r % 3 == 0 ? format("up%zu", i) : uuidOf(i + 777);
    if (r % 3 == 0) add("rp.upstreams[" + alias + "].dc_uid = " + (r % 7 == 0 ? uuidOf(i + 776) : uuidOf(i + 999999)));
    add("rp.upstreams[" + alias + "].address = " + format("10.1.%zu.%zu:7443", i / 256 % 256, i % 256));
    if (r % 2) add("rp.upstreams[" + alias + "].redirect = " + format("r%zu.example", i));
    add("rp.upstreams[" + alias + "].secret = " + textOf(i, 40, kBase64));
    add("rp.upstreams[" + alias + "].cert_digest = " + textOf(i + 1, 64, kHex));
  }
  add("rp.upstreams[twice].address = second.example:1");  // the later line wins
  return s;
}

std::string trickySelectConfig(size_t extra, bool withDefault) {
  std::string s;
  if (withDefault) s += "rp.select = alpha:10 beta:20 p:30 Z:5 gamma:0\n";
  for (size_t d = 0; d < 12; ++d) {
    s += format("certs[d%zu.example].rp.select =", d);
    s += d % 3 == 0 ? " p:40 alpha:60" : " beta:50";
    for (size_t k = 0; k < 3 && extra > 0; ++k) s += format(" up%zu:%zu", (d * 31 + k * 7) % extra, k * 10);
    s += "\n";
  }
  s += "rp.select_threshold = 55";
  return s;
}

struct Outcome {
  int status = -1;
  std::string out, err, rp, select;
};

Outcome runCase(const std::string& scratch, const Instance& in, const std::string& binary,
                const std::vector<std::string>& args) {
  restore(in);
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  Run r = spawn(argv, scratch + "/out.txt", scratch + "/err.txt");
  Outcome o;
  o.status = r.status;
  o.out = readFile(scratch + "/out.txt");
  o.err = readFile(scratch + "/err.txt");
  o.rp = readFile(in.rp);
  o.select = ::access(in.select.c_str(), F_OK) == 0 ? readFile(in.select) : "<none>";
  return o;
}

std::string joinArgs(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += (s.empty() ? "" : " ") + a;
  return s;
}

// Runs each case with both binaries; prints the differences. The number of
// cases that differ.
int compareCases(const std::string& scratch, const Instance& in, const std::string& other,
                 const std::vector<std::vector<std::string>>& cases) {
  int differing = 0;
  for (const auto& args : cases) {
    Outcome mine = runCase(scratch, in, KTRP_BINARY, args);
    Outcome theirs = runCase(scratch, in, other, args);
    std::string what;
    if (mine.status != theirs.status) what += format(" status %d vs %d;", mine.status, theirs.status);
    if (mine.out != theirs.out) what += " standard output;";
    if (mine.err != theirs.err) what += " standard error;";
    if (mine.rp != theirs.rp) what += " rp config;";
    if (mine.select != theirs.select) what += " rp select config;";
    std::printf("  %-4s %s: %s\n", what.empty() ? "same" : "DIFF", in.dir.c_str(), joinArgs(args).c_str());
    if (!what.empty()) {
      std::printf("       differs in:%s\n", what.c_str());
      ++differing;
    }
  }
  restore(in);
  return differing;
}

int compareBuilds(const std::string& scratch, const std::string& other, const std::vector<size_t>& sizes) {
  int differing = 0;
  std::printf("comparing %s with %s\n", KTRP_BINARY, other.c_str());
  for (size_t extra : {size_t{0}, size_t{40}, size_t{3000}}) {
    for (bool withDefault : {true, false}) {
      Instance in = makeInstanceWith(scratch, format("tricky%zu%s", extra, withDefault ? "" : "-nodefault"), extra,
                                     trickyRpConfig(extra), trickySelectConfig(extra, withDefault));
      activate(scratch, in);
      std::vector<std::vector<std::string>> cases = {
          {"upstreams"},
          {"upstream-uids"},
          {"upstream-uids", "-j"},
          {"get-upstream", "-dc-uid", "Z", "-j"},
          {"get-upstream", "-dc-uid", "Z", "-alias", "-address", "-redirect", "-stat", "-secret", "-digest"},
          {"get-upstream", "-dc-uid", "G1", "-j"},
          {"get-upstream", "-dc-uid", "G2", "-j"},
          {"get-upstream", "-dc-uid", "alpha", "-j"},
          {"get-upstream", "-dc-uid", "empty", "-j"},
          {"get-upstream", "-dc-uid", "nobody", "-j"},
          {"accounts-balancing", "-weights"},
          {"accounts-balancing", "-weights", "-j"},
          {"accounts-balancing", "-weight-for-name", "alpha", "-j"},
          {"rm-upstream", "-dc-uid", "G2"},
          {"rm-upstream", "-dc-uid", "Z"},
          {"rm-upstream", "-dc-uid", "alpha"},
          {"rm-upstream", "-alias", "delta"},
          {"change-upstream", "-dc-uid", "Z", "-alias", "zed"},
          {"change-upstream", "-dc-uid", "G1", "-address", "g.example:2"},
          {"accounts-balancing", "-set-weight-for-name", "alpha", "7"},
          {"add-upstream", "-dc-uid", "NEW", "-alias", "new", "-address", "n:1", "-secret", "s", "-digest", "d"},
          {"add-upstream", "-dc-uid", "alpha", "-address", "n:1", "-secret", "s", "-digest", "d"},
          {"import-registration", "-in", in.doc},
          {"export-registration"},
      };
      differing += compareCases(scratch, in, other, cases);
    }
  }
  for (size_t n : sizes) {
    Instance in = makeInstance(scratch, format("n%zu", n), n);
    activate(scratch, in);
    std::vector<std::vector<std::string>> cases;
    for (const Command& c : commandsFor(in)) cases.push_back(c.args);
    cases.push_back({"upstream-uids"});
    cases.push_back(rmCommand(in).args);
    differing += compareCases(scratch, in, other, cases);
  }
  std::printf("%d case(s) differ\n", differing);
  return differing == 0 ? 0 : 1;
}

struct Cell {
  double tool = 0, base = 0;
  double ratio() const { return tool / base; }
};

std::string thousands(size_t n) {
  const std::string digits = std::to_string(n);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) s.push_back(',');
    s.push_back(digits[i]);
  }
  return s;
}

std::vector<size_t> parseSizes(const std::string& text) {
  std::vector<size_t> sizes;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    long long v = std::atoll(text.substr(pos, comma - pos).c_str());
    if (v < 2) die("bad size list " + text);
    sizes.push_back(static_cast<size_t>(v));
    pos = comma + 1;
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scratch;
  std::vector<size_t> sizes{1000, 10000, 100000};
  int reps = 7;
  std::string compare;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-scratch" && i + 1 < argc) {
      scratch = argv[++i];
    } else if (a == "-sizes" && i + 1 < argc) {
      sizes = parseSizes(argv[++i]);
    } else if (a == "-reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "-compare" && i + 1 < argc) {
      compare = argv[++i];
    } else {
      die("usage: ktrp-bench -scratch DIR [-sizes 1000,10000,100000] [-reps N] [-compare OTHER-BINARY]");
    }
  }
  if (scratch.empty()) die("-scratch is required");

  // Refuse to run unless /etc/kestrane is the scratch etc/.
  makeDir(scratch + "/etc");
  writeFile(truvConfigPath(scratch), "root_dir = /nonexistent\n", 0644);
  if (!sameFile(truvConfigPath(scratch), "/etc/kestrane/truv.config"))
    die("/etc/kestrane is not " + scratch + "/etc: run through bench/run.sh");

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!compare.empty()) return compareBuilds(scratch, compare, sizes);
  Bench bench(scratch);

  // Start-up: upstreams on an empty rp config against the trivial program.
  Instance empty = makeInstance(scratch, "empty", 0);
  activate(scratch, empty);
  const int startupReps = std::max(reps * 3, 15);
  bench.check(empty, {"upstreams"}, "upstreams (empty)");
  std::vector<double> emptyTool, trivial;
  for (int i = 0; i < startupReps; ++i) {
    emptyTool.push_back(bench.time(empty, bench.toolArgv({"upstreams"}), 1, false, "upstreams (empty)"));
    trivial.push_back(bench.time(empty, {KTRP_TRIVIAL, truvConfigPath(scratch)}, 1, false, "trivial"));
  }
  const Cell startup{median(emptyTool), median(trivial)};

  std::vector<std::string> labels;
  std::map<std::string, std::map<size_t, Cell>> cells;
  std::map<size_t, Cell> rmCells, rmSameCells;
  for (size_t n : sizes) {
    std::fprintf(stderr, "ktrp-bench: %s upstreams...\n", thousands(n).c_str());
    Instance in = makeInstance(scratch, format("n%zu", n), n);
    activate(scratch, in);
    // The largest size gets fewer rounds; its runs are the longest.
    const int r = n >= 100000 ? std::max(3, reps - 2) : reps;
    for (const Command& c : commandsFor(in)) {
      if (cells.find(c.label) == cells.end()) labels.push_back(c.label);
      auto [tool, base] = bench.timePair(in, c, r, c.baseline);
      cells[c.label][n] = {tool, base};
    }
    Command rm = rmCommand(in);
    auto [tool, base] = bench.timePair(in, rm, std::min(r, 5), rm.baseline);
    rmCells[n] = {tool, base};
    rmSameCells[n] = {tool, bench.time(in, bench.baselineArgv(rmSameWorkBaseline(in)), std::min(r, 5), true,
                                       "rm-upstream (baseline)")};
  }

  // ---- the table ----
  auto shortSize = [](size_t n) { return n % 1000 == 0 ? format("%zuk", n / 1000) : format("%zu", n); };
  const bool growth = sizes.size() >= 2;
  const size_t from = growth ? sizes[sizes.size() - 2] : 0, to = sizes.back();
  std::printf("\nkestrane-truv-rp benchmark: median wall time of a whole run (ms), ratio = tool / baseline,\n"
              "growth = tool time at %s upstreams / at %s; ! marks a missed target\n",
              thousands(to).c_str(), thousands(from).c_str());
  std::printf("baseline: read each file and split its lines; for a rewritten file also write a copy, fsync and\n"
              "rename it over; for an appended file append a line and fsync (as the tool must)\n\n");
  std::printf("%-32s", "command");
  for (size_t n : sizes) std::printf(" | %16s upstreams", thousands(n).c_str());
  if (growth) std::printf(" | %9s", "growth");
  std::printf("\n%-32s", "");
  for (size_t i = 0; i < sizes.size(); ++i) std::printf(" | %9s %9s %6s", "tool", "baseline", "ratio");
  if (growth) std::printf(" | %9s", format("%s-%s", shortSize(from).c_str(), shortSize(to).c_str()).c_str());
  std::printf("\n");

  std::vector<std::string> ratioMisses, growthMisses;
  for (const std::string& label : labels) {
    std::printf("%-32s", label.c_str());
    for (size_t n : sizes) {
      const Cell& c = cells[label][n];
      bool miss = n >= 10000 && c.ratio() > kRatioTarget;
      std::printf(" | %9.2f %9.2f %5.2f%s", c.tool * 1e3, c.base * 1e3, c.ratio(), miss ? "!" : " ");
      if (miss) ratioMisses.push_back(format("%s at %s (%.2f)", label.c_str(), thousands(n).c_str(), c.ratio()));
    }
    if (growth) {
      double g = cells[label][to].tool / cells[label][from].tool;
      bool miss = g > kGrowthTarget;
      std::printf(" | %8.2fx%s", g, miss ? "!" : "");
      if (miss) growthMisses.push_back(format("%s (%.2fx)", label.c_str(), g));
    }
    std::printf("\n");
  }

  std::printf("\nrm-upstream: the tool rewrites the rp select config once (the name leaves the default line and\n"
              "all %zu domain lines in one rewrite) and the rp config once; \"baseline 1+1\" does those two\n"
              "rewrites and is held to the ratio target; \"same work\" is the baseline doing the %zu rewrites of\n"
              "a line-by-line edit (each line removed and appended again), for comparison\n",
              kDomainLines, rmSelectRewrites() + 1);
  std::printf("%-12s %10s %16s %6s %16s %6s %9s\n", "upstreams", "tool", "baseline 1+1", "ratio",
              "same work", "ratio", "growth");
  for (size_t k = 0; k < sizes.size(); ++k) {
    size_t n = sizes[k];
    const Cell& one = rmCells[n];
    const Cell& same = rmSameCells[n];
    std::string g = k == 0 ? "" : format("%.2fx", one.tool / rmCells[sizes[k - 1]].tool);
    if (n >= 10000 && one.ratio() > kRatioTarget)
      ratioMisses.push_back(format("rm-upstream at %s (%.2f)", thousands(n).c_str(), one.ratio()));
    std::printf("%-12s %10.2f %16.2f %6.2f %16.2f %6.2f %9s\n", thousands(n).c_str(), one.tool * 1e3,
                one.base * 1e3, one.ratio(), same.base * 1e3, same.ratio(), g.c_str());
  }

  const bool startupMet = startup.ratio() <= kStartupTarget;
  std::printf("\nstart-up: upstreams on an empty rp config %.3f ms, trivial C++ program reading one small file "
              "%.3f ms: %.2fx\n",
              startup.tool * 1e3, startup.base * 1e3, startup.ratio());

  auto list = [](const std::vector<std::string>& misses) {
    std::string s;
    for (const std::string& m : misses) {
      s += "\n    ";
      s += m;
    }
    return s;
  };
  const bool ratioMet = ratioMisses.empty(), growthMet = growthMisses.empty();
  std::printf("\ntargets:\n");
  std::printf("  ratio <= %.0f at 10,000 upstreams and more: %s%s\n", kRatioTarget, ratioMet ? "met" : "MISSED by",
              list(ratioMisses).c_str());
  if (growth) {
    std::printf("  growth %s -> %s upstreams <= %.0fx: %s%s\n", thousands(from).c_str(), thousands(to).c_str(),
                kGrowthTarget, growthMet ? "met" : "MISSED by", list(growthMisses).c_str());
  }
  std::printf("  upstreams on an empty rp config <= %.0fx the trivial program: %s (%.2fx)\n", kStartupTarget,
              startupMet ? "met" : "MISSED", startup.ratio());
  return ratioMet && growthMet && startupMet ? 0 : 1;
}
