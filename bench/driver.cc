// Benchmark driver: builds scratch TRUV instances of several sizes and, for
// each command, times the tool, the floor program (the least work the
// command's job takes on its files) and the shell script an operator would
// write instead, in interleaved rounds; prints the medians, their ratios, the
// peak memory of the tool against the bytes it reads and prints, the growth
// from one size to the next, and which targets are met.
//
// The tool reads /etc/kestrane/truv.config, so this must run where that path
// is the scratch etc/ (bench/run.sh binds it in a private mount namespace);
// the driver checks so before it writes anything there.
//
//   ktrp-bench -scratch DIR [-sizes 100000,1000000] [-reps N] [-compare OTHER]
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "compare.h"
#include "instance.h"

namespace {

constexpr double kReadTarget = 3.0;     // tool / floor, commands that only read
constexpr double kChangeTarget = 2.0;   // tool / floor, commands that change a file
constexpr double kScriptTarget = 2.0;   // tool / script, where the script is the rival
constexpr double kMemoryTarget = 2.0;   // peak RSS / (bytes read + bytes printed)
constexpr double kGrowthPerSize = 1.1;  // time growth / size growth
// Below this many bytes read and printed the program's own pages (some 4 MiB
// for any run of the tool) make up its RSS, and the memory target is not
// applied.
constexpr double kMemoryTargetFrom = 8.0 * 1024 * 1024;

const std::vector<std::string> kScriptEnv{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};

struct Command {
  std::string label;
  std::vector<std::string> args;    // of the tool, after its name
  std::vector<std::string> floor;   // OP:PATH arguments of the floor
  std::vector<std::string> script;  // the script's file name under bench/scripts, then its arguments
  bool changes = false;             // changes a file
  bool scriptRival = false;         // held to the script target
  bool dirSyncProbe = false;        // also times the floor without its directory sync
};

std::vector<Command> commandsFor(const Instance& in) {
  const std::string &rp = in.rp, &sel = in.select;
  const Upstream& t = in.target;
  const Upstream added{"new-edge", uuidOf(777777777)};
  const std::string secret = textOf(3, 40, kBase64), digest = textOf(4, 64, kHex);
  const std::string certs = in.root + "/certs.x";
  return {
      {"upstreams", {"upstreams"}, {"r:" + rp}, {"upstreams.sh"}},
      {"upstream-uids -j", {"upstream-uids", "-j"}, {"r:" + rp}, {"upstream-uids.sh"}},
      {"get-upstream -j", {"get-upstream", "-dc-uid", t.uid, "-j"}, {"r:" + rp}, {"get-upstream.sh", t.uid}, false,
       true},
      {"accounts-balancing -weights -j",
       {"accounts-balancing", "-weights", "-j"},
       {"r:" + sel, "r:" + rp},
       {"weights.sh"}},
      {"add-upstream",
       {"add-upstream", "-dc-uid", added.uid, "-alias", added.alias, "-address", "192.0.2.10:7443", "-secret", secret,
        "-digest", digest, "-stat", "192.0.2.10:44444"},
       {"r:" + rp, "a:" + rp},
       {"add-upstream.sh", added.uid, added.alias, "192.0.2.10:7443", secret, digest, "192.0.2.10:44444"},
       true,
       true},
      {"change-upstream -address",
       {"change-upstream", "-dc-uid", t.uid, "-address", "192.0.2.20:7443"},
       {"w:" + rp},
       {"change-address.sh", t.uid, "192.0.2.20:7443"},
       true},
      {"change-upstream -alias",
       {"change-upstream", "-dc-uid", t.uid, "-alias", "renamed-edge"},
       {"w:" + rp, "w:" + sel},
       {"change-alias.sh", t.uid, "renamed-edge"},
       true},
      {"accounts-balancing -set-weight",
       {"accounts-balancing", "-set-weight-for-name", t.alias, "42"},
       {"r:" + rp, "w:" + sel},
       {"set-weight.sh", t.alias, "42"},
       true,
       false,
       true},
      {"rm-upstream", {"rm-upstream", "-dc-uid", t.uid}, {"w:" + sel, "w:" + rp}, {"rm-upstream.sh", t.uid}, true},
      {"export-registration",
       {"export-registration"},
       {"r:" + certs + "/.truv.registration-info", "r:" + certs + "/truv.pem.info", "r:" + in.confd + "/dc_uid",
        "r:" + in.confd + "/cluster.secret", "r:/etc/kestrane/truv.config"},
       {"export-registration.sh"}},
      {"import-registration",
       {"import-registration", "-in", in.doc},
       {"r:" + in.doc, "r:" + rp, "a:" + rp},
       {"import-registration.sh", in.doc},
       true,
       true},
  };
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::vector<std::string_view> sortedLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) nl = text.size();
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(std::min(nl + 1, text.size()));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// What a run printed and left in the two configuration files.
struct Outcome {
  int status = -1;
  std::string out, err;
  bool rpChanged = false, selectChanged = false;
  std::string rp, select;  // read only when changed
};

// "" when the two texts are the same; otherwise how they differ.
std::string fileDifference(const char* name, const std::string& tool, const std::string& script) {
  if (tool == script) return "";
  if (sortedLines(tool) == sortedLines(script)) return format("%s: same lines, other order", name);
  return format("%s: DIFFERS", name);
}

struct Times {
  std::vector<double> runs;
  std::vector<double> dirSyncs;  // what the floor reports of its directory syncs
  long maxRssKb = 0;
  double median() const { return ::median(runs); }
};

struct Result {
  double tool = 0, floor = 0, script = 0, floorNoDirSync = 0, dirSync = 0;
  long toolRssKb = 0;
  size_t readBytes = 0, outBytes = 0;
  std::string check;      // how the script's outcome compares with the tool's
  bool mismatch = false;  // the script printed something else, failed, or left other lines
  double floorRatio() const { return tool / floor; }
  double scriptRatio() const { return tool / script; }
  double inOut() const { return static_cast<double>(readBytes + outBytes); }
  double memoryRatio() const { return static_cast<double>(toolRssKb) * 1024 / inOut(); }
  bool memoryTargetApplies() const { return inOut() >= kMemoryTargetFrom; }
};

class Bench {
 public:
  Bench(std::string scratch, int reps) : scratch_(std::move(scratch)), reps_(reps) {}

  std::vector<std::string> toolArgv(const Command& c) const {
    std::vector<std::string> argv{KTRP_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    return argv;
  }
  std::vector<std::string> floorArgv(const Command& c, bool dirSync) const {
    std::vector<std::string> argv{KTRP_FLOOR};
    if (!dirSync) argv.push_back("-no-dir-sync");
    argv.insert(argv.end(), c.floor.begin(), c.floor.end());
    return argv;
  }
  std::vector<std::string> scriptArgv(const Command& c) const {
    std::vector<std::string> argv{"/bin/sh", std::string(KTRP_SCRIPTS) + "/" + c.script[0]};
    argv.insert(argv.end(), c.script.begin() + 1, c.script.end());
    return argv;
  }

  // One untimed run from the instance as generated.
  Outcome once(Instance& in, const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    restore(in);
    const std::string outPath = scratch_ + "/out.txt", errPath = scratch_ + "/err.txt";
    Run r = spawn(argv, env, outPath, errPath);
    Outcome o;
    o.status = r.status;
    o.out = readFile(outPath);
    o.err = readFile(errPath);
    ::unlink(outPath.c_str());  // so that none of its pages is written back during a timed run
    o.rpChanged = stampOf(in.rp) != in.rpStamp;
    o.selectChanged = stampOf(in.select) != in.selectStamp;
    if (o.rpChanged) o.rp = readFile(in.rp);
    if (o.selectChanged) o.select = readFile(in.select);
    restore(in);
    return o;
  }

  // The tool must succeed quietly and the floor must succeed; the script's
  // outcome is held against the tool's and any difference reported.
  void check(Instance& in, const Command& c, Result& res) {
    Outcome tool = once(in, toolArgv(c), {});
    if (tool.status != 0 || !tool.err.empty())
      die(format("%s at %s upstreams: status %d: %s", c.label.c_str(), thousands(in.size).c_str(), tool.status,
                 tool.err.c_str()));
    res.outBytes = tool.out.size();
    res.readBytes = 0;
    for (const std::string& op : c.floor)
      if (op[0] == 'r' || op[0] == 'w') res.readBytes += fileSize(op.substr(2));

    Outcome fl = once(in, floorArgv(c, true), {});
    if (fl.status != 0) die(format("%s: the floor failed: %s", c.label.c_str(), fl.err.c_str()));

    Outcome sc = once(in, scriptArgv(c), kScriptEnv);
    std::vector<std::string> notes;
    if (sc.status != 0) {
      notes.push_back(format("script: status %d: %s", sc.status, sc.err.c_str()));
      res.mismatch = true;
    }
    if (sc.out != tool.out) {
      if (sortedLines(sc.out) == sortedLines(tool.out) && sc.out.size() == tool.out.size()) {
        notes.push_back("output: same lines, other order");
      } else {
        notes.push_back(format("output DIFFERS (tool %zu bytes, script %zu)", tool.out.size(), sc.out.size()));
        res.mismatch = true;
      }
    }
    for (auto [name, toolChanged, scriptChanged, toolText, scriptText, generated] :
         {std::tuple{"rp", tool.rpChanged, sc.rpChanged, &tool.rp, &sc.rp, &in.rpText},
          std::tuple{"rp.select", tool.selectChanged, sc.selectChanged, &tool.select, &sc.select, &in.selectText}}) {
      if (!toolChanged && !scriptChanged) continue;
      std::string d = fileDifference(name, toolChanged ? *toolText : *generated, scriptChanged ? *scriptText : *generated);
      if (d.empty()) continue;
      notes.push_back(d);
      if (d.find("DIFFERS") != std::string::npos) res.mismatch = true;
    }
    res.check.clear();
    for (const std::string& n : notes) res.check += (res.check.empty() ? "" : "; ") + n;
    if (res.check.empty()) res.check = "same output and files";
  }

  // Interleaved rounds: each round runs every contestant once, starting with
  // another one each round, so that drift and after-effects hit all alike.
  Result measure(Instance& in, const Command& c) {
    Result res;
    check(in, c, res);
    struct Contestant {
      std::vector<std::string> argv, env;
      bool mustSucceed;
      std::string outPath;  // where the floor's report goes when it is read
      Times times;
    };
    const std::string floorOut = c.dirSyncProbe ? scratch_ + "/floor-out.txt" : "/dev/null";
    std::vector<Contestant> cs{{toolArgv(c), {}, true, "/dev/null", {}},
                               {floorArgv(c, true), {}, true, floorOut, {}},
                               {scriptArgv(c), kScriptEnv, false, "/dev/null", {}}};
    if (c.dirSyncProbe) cs.push_back({floorArgv(c, false), {}, true, floorOut, {}});
    for (int rep = 0; rep < reps_; ++rep) {
      for (size_t k = 0; k < cs.size(); ++k) {
        Contestant& x = cs[(static_cast<size_t>(rep) + k) % cs.size()];
        restore(in);
        Run r = spawn(x.argv, x.env, x.outPath, scratch_ + "/err.txt");
        if (r.status != 0 && x.mustSucceed)
          die(format("%s at %s upstreams: %s exited %d: %s", c.label.c_str(), thousands(in.size).c_str(),
                     x.argv[0].c_str(), r.status, readFile(scratch_ + "/err.txt").c_str()));
        x.times.runs.push_back(r.seconds);
        x.times.maxRssKb = std::max(x.times.maxRssKb, r.maxRssKb);
        double us = 0;
        if (x.outPath != "/dev/null" && std::sscanf(readFile(x.outPath).c_str(), "directory sync: %lf us", &us) == 1)
          x.times.dirSyncs.push_back(us * 1e-6);
      }
    }
    restore(in);
    res.tool = cs[0].times.median();
    res.toolRssKb = cs[0].times.maxRssKb;
    res.floor = cs[1].times.median();
    res.script = cs[2].times.median();
    if (c.dirSyncProbe) {
      res.floorNoDirSync = cs[3].times.median();
      if (!cs[1].times.dirSyncs.empty()) res.dirSync = ::median(cs[1].times.dirSyncs);
    }
    return res;
  }

  // Start-up: upstreams on an empty rp config against a C++ program that
  // reads one small file.
  std::pair<double, double> startup() {
    Instance empty = makeInstance(scratch_, "empty", 0);
    activate(scratch_, empty);
    Times tool, trivial;
    for (int i = 0; i < std::max(3 * reps_, 15); ++i) {
      for (auto [argv, times] : {std::pair{std::vector<std::string>{KTRP_BINARY, "upstreams"}, &tool},
                                 std::pair{std::vector<std::string>{KTRP_TRIVIAL, truvConfigPath(scratch_)}, &trivial}}) {
        Run r = spawn(argv, {}, "/dev/null", scratch_ + "/err.txt");
        if (r.status != 0) die(format("start-up: %s exited %d", argv[0].c_str(), r.status));
        times->runs.push_back(r.seconds);
      }
    }
    removeTree(empty.dir);
    return {tool.median(), trivial.median()};
  }

 private:
  std::string scratch_;
  int reps_;
};

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

std::string shortSize(size_t n) {
  if (n % 1000000 == 0) return format("%zuM", n / 1000000);
  if (n % 1000 == 0) return format("%zuk", n / 1000);
  return format("%zu", n);
}

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// A rewrite holds the file and its copy; the sed of a script the same.
void requireRoom(const std::string& scratch, size_t n) {
  const double need = static_cast<double>(n) * 460 * 3 + 512.0 * 1024 * 1024;
  struct statvfs vfs;
  if (::statvfs(scratch.c_str(), &vfs) != 0) return;
  const double avail = static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize);
  if (avail < need)
    die(format("%s has %.0f MiB free; %s upstreams need some %.0f MiB", scratch.c_str(), mib(avail),
               thousands(n).c_str(), mib(need)));
}

// The first three fields of /proc/loadavg: other work on the machine shows
// in the times.
std::string loadAverage() {
  std::string s = readFile("/proc/loadavg");
  size_t end = 0;
  for (int i = 0; i < 3 && end != std::string::npos; ++i) end = s.find(' ', end + (i > 0 ? 1 : 0));
  return s.substr(0, end);
}

const char* mark(bool met) { return met ? "PASS" : "MISS"; }

// Prints the table of one size; adds every missed target to misses.
void printTable(size_t n, const Instance& in, const std::vector<Command>& cmds, const std::vector<Result>& results,
                std::vector<std::string>& misses) {
  std::printf("\n%s upstreams (rp config %.1f MiB, rp select config %.1f MiB), median of the runs, ms\n",
              thousands(n).c_str(), mib(static_cast<double>(in.rpText.size())),
              mib(static_cast<double>(in.selectText.size())));
  std::printf("%-31s | %9s | %9s | %9s | %-14s | %-14s | %8s | %9s | %s\n", "command", "tool", "floor", "script",
              "tool/floor", "tool/script", "RSS MiB", "in+out MiB", "RSS ratio");
  std::printf("%s\n", std::string(31 + 9 * 3 + 14 * 2 + 8 + 9 + 10 + 3 * 8 + 2, '-').c_str());
  for (size_t i = 0; i < cmds.size(); ++i) {
    const Command& c = cmds[i];
    const Result& r = results[i];
    const double floorTarget = c.changes ? kChangeTarget : kReadTarget;
    const bool floorMet = r.floorRatio() <= floorTarget;
    const bool scriptMet = !c.scriptRival || r.scriptRatio() <= kScriptTarget;
    const bool memoryMet = !r.memoryTargetApplies() || r.memoryRatio() <= kMemoryTarget;
    std::string floorCell = format("%6.2f %s", r.floorRatio(), mark(floorMet));
    std::string scriptCell = c.scriptRival ? format("%6.2f %s", r.scriptRatio(), mark(scriptMet))
                                           : format("%6.2f", r.scriptRatio());
    if (r.mismatch) scriptCell += " (!)";
    std::string memoryCell = r.memoryTargetApplies() ? format("%6.2f %s", r.memoryRatio(), mark(memoryMet))
                                                     : format("%6.0f -", r.memoryRatio());
    std::printf("%-31s | %9.2f | %9.2f | %9.2f | %-14s | %-14s | %8.1f | %10.1f | %s\n", c.label.c_str(),
                r.tool * 1e3, r.floor * 1e3, r.script * 1e3, floorCell.c_str(), scriptCell.c_str(),
                static_cast<double>(r.toolRssKb) / 1024, mib(r.inOut()), memoryCell.c_str());
    const std::string where = format("%s at %s", c.label.c_str(), thousands(n).c_str());
    if (!floorMet) misses.push_back(format("%s: tool/floor %.2f > %.0f", where.c_str(), r.floorRatio(), floorTarget));
    if (!scriptMet)
      misses.push_back(format("%s: tool/script %.2f > %.0f", where.c_str(), r.scriptRatio(), kScriptTarget));
    if (!memoryMet)
      misses.push_back(format("%s: RSS %.1f MiB > %.0fx %.1f MiB", where.c_str(), static_cast<double>(r.toolRssKb) / 1024,
                              kMemoryTarget, mib(r.inOut())));
  }
  std::printf("script check (the script's output and files against the tool's, one run each):\n");
  for (size_t i = 0; i < cmds.size(); ++i)
    std::printf("  %-31s %s%s\n", cmds[i].label.c_str(), results[i].mismatch ? "MISMATCH: " : "",
                results[i].check.c_str());
  for (size_t i = 0; i < cmds.size(); ++i) {
    if (!cmds[i].dirSyncProbe) continue;
    const Result& r = results[i];
    std::printf("directory fsync: floor of %s %.2f ms with it, %.2f ms without (%+.2f ms); the sync itself "
                "%.2f ms\n",
                cmds[i].label.c_str(), r.floor * 1e3, r.floorNoDirSync * 1e3, (r.floor - r.floorNoDirSync) * 1e3,
                r.dirSync * 1e3);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string scratch;
  std::vector<size_t> sizes{100000, 1000000};
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
      die("usage: ktrp-bench -scratch DIR [-sizes 100000,1000000] [-reps N] [-compare OTHER-BINARY]");
    }
  }
  if (scratch.empty()) die("-scratch is required");

  // Refuse to run unless /etc/kestrane is the scratch etc/.
  makeDir(scratch + "/etc");
  writeFile(truvConfigPath(scratch), "root_dir = /nonexistent\n", 0644);
  if (!sameFile(truvConfigPath(scratch), "/etc/kestrane/truv.config"))
    die("/etc/kestrane is not " + scratch + "/etc: run through bench/run.sh");

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!compare.empty()) {
    return compareBuilds(scratch, compare, sizes, [](const Instance& in) {
      std::vector<std::vector<std::string>> cases;
      for (const Command& c : commandsFor(in)) cases.push_back(c.args);
      return cases;
    });
  }

  Bench bench(scratch, reps);
  std::printf("kestrane-truv-rp benchmark: whole runs, spawn to exit, output to /dev/null; %d interleaved rounds of\n"
              "tool, floor and script per command, files put back before each run outside the timing\n",
              reps);
  std::printf("targets: tool/floor <= %.0f for commands that only read, <= %.0f for commands that change a file;\n"
              "tool/script <= %.0f for get-upstream, add-upstream and import-registration; tool peak RSS <= %.0fx the\n"
              "bytes read and printed, where these are %.0f MiB or more (- marks the others); time growth <= %.1fx the\n"
              "size growth\n",
              kReadTarget, kChangeTarget, kScriptTarget, kMemoryTarget, mib(kMemoryTargetFrom), kGrowthPerSize);

  std::printf("load average at the start: %s\n", loadAverage().c_str());
  auto [startTool, startTrivial] = bench.startup();
  std::printf("start-up (no target): upstreams on an empty rp config %.3f ms, a C++ program reading one small file "
              "%.3f ms\n",
              startTool * 1e3, startTrivial * 1e3);

  std::vector<std::string> misses;
  std::vector<std::string> labels;
  std::map<size_t, std::vector<Result>> bySize;
  bool mismatch = false;
  for (size_t n : sizes) {
    requireRoom(scratch, n);
    std::fprintf(stderr, "ktrp-bench: %s upstreams: building the instance...\n", thousands(n).c_str());
    Instance in = makeInstance(scratch, format("n%zu", n), n);
    activate(scratch, in);
    std::vector<Command> cmds = commandsFor(in);
    std::vector<Result> results;
    for (const Command& c : cmds) {
      std::fprintf(stderr, "ktrp-bench: %s upstreams: %s\n", thousands(n).c_str(), c.label.c_str());
      results.push_back(bench.measure(in, c));
      mismatch = mismatch || results.back().mismatch;
    }
    printTable(n, in, cmds, results, misses);
    if (labels.empty())
      for (const Command& c : cmds) labels.push_back(c.label);
    bySize[n] = std::move(results);
    removeTree(in.dir);
  }

  if (sizes.size() >= 2) {
    std::printf("\ngrowth of the tool's time\n%-31s", "command");
    for (size_t n : sizes) std::printf(" | %9s ms", shortSize(n).c_str());
    for (size_t k = 1; k < sizes.size(); ++k)
      std::printf(" | %s", format("%s->%s", shortSize(sizes[k - 1]).c_str(), shortSize(sizes[k]).c_str()).c_str());
    std::printf("\n");
    for (size_t i = 0; i < labels.size(); ++i) {
      std::printf("%-31s", labels[i].c_str());
      for (size_t n : sizes) std::printf(" | %12.2f", bySize[n][i].tool * 1e3);
      for (size_t k = 1; k < sizes.size(); ++k) {
        const double g = bySize[sizes[k]][i].tool / bySize[sizes[k - 1]][i].tool;
        const double target = kGrowthPerSize * static_cast<double>(sizes[k]) / static_cast<double>(sizes[k - 1]);
        std::printf(" | %6.2fx %s", g, mark(g <= target));
        if (g > target)
          misses.push_back(format("%s: growth %s -> %s %.2fx > %.1fx", labels[i].c_str(), thousands(sizes[k - 1]).c_str(),
                                  thousands(sizes[k]).c_str(), g, target));
      }
      std::printf("\n");
    }
  }

  std::printf("\nload average at the end: %s\n", loadAverage().c_str());
  if (misses.empty()) {
    std::printf("all targets met\n");
  } else {
    std::printf("missed targets:\n");
    for (const std::string& m : misses) std::printf("  %s\n", m.c_str());
  }
  if (mismatch) std::printf("a script's outcome differs from the tool's (marked (!) above): its times are suspect\n");
  return misses.empty() && !mismatch ? 0 : 1;
}
