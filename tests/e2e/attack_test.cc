// The tool against an account that can write the instance's directories
// (conf.d, var/lock, var/tmp, certs*): links and FIFOs planted where it
// writes, a copy swapped under a rewrite, and the directory syncs that make a
// finished run durable.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "harness.h"

namespace {

class PlantedFiles : public EndToEndTest {};
class SwappedCopy : public EndToEndTest {};
class DirectorySync : public EndToEndTest {};

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A run that waits on nothing ends in milliseconds; one that opened a FIFO
// or went through the lock's ten one-second attempts takes far longer.
constexpr milliseconds kPrompt(2000);

const std::string kRp =
    "rp.upstreams[a].dc_uid = U1\n"
    "rp.upstreams[a].address = a:443\n"
    "rp.upstreams[a].secret = s-a\n"
    "rp.upstreams[a].cert_digest = d-a\n"
    "rp.upstreams[b].address = b:443\n"
    "rp.upstreams[b].secret = s-b\n"
    "rp.upstreams[b].cert_digest = d-b\n";
const std::string kSelect = "rp.select_threshold = 5\nrp.select = a:10 b:20\n";
const char kDcUid[] = "dc_uid = 6f1c2d3e-4a5b-11ee-8c90-0242ac120002\n";
const char kSecret[] =
    "# This is a shared secret that TRUV peers use for secure communication\n"
    "cluster.secret=QWxhZGRpbjpvcGVuIHNlc2FtZUFsYWRkaW46b3Bl\n";
const char kImportDoc[] = R"({"dc-uid":"imp","address":"imp:443","secret":"s","digest":"d"})";
const std::vector<std::string> kAddC = {"add-upstream", "-dc-uid", "c",       "-address", "c:443",
                                        "-secret",      "s-c",     "-digest", "d-c"};
// What add-upstream (kAddC) and import-registration (kImportDoc) append.
const char kAddCBlock[] =
    "rp.upstreams[c].address = c:443\n"
    "rp.upstreams[c].secret = s-c\n"
    "rp.upstreams[c].cert_digest = d-c\n";
const char kImportBlock[] =
    "\nrp.upstreams[imp].dc_uid = imp\n"
    "rp.upstreams[imp].address = imp:443\n"
    "rp.upstreams[imp].secret = s\n"
    "rp.upstreams[imp].cert_digest= d\n";

std::string errText(int e) {
  switch (e) {
    case ELOOP: return "too many levels of symbolic links";
    case EMLINK: return "too many links";
    case ENXIO: return "no such device or address";
    case EEXIST: return "file exists";
    case ENOENT: return "no such file or directory";
    case ESTALE: return "stale file handle";
  }
  return "errno " + std::to_string(e);
}

// ---- What the attacker plants, and what the test sees -------------------

enum Plant { kLinkToFile, kDanglingLink, kHardLink, kFifo };
constexpr Plant kPlants[] = {kLinkToFile, kDanglingLink, kHardLink, kFifo};
const char* const kPlantNames[] = {"a link to an outside file", "a dangling link out of the instance",
                                   "a hard link to an outside file", "a FIFO"};

// The attacker's file, beside the truv root: a link leads the tool to it.
std::string outsidePath(const Instance& inst) { return inst.dir() + "/outside"; }
// Where a dangling link points; nothing may appear there.
std::string absentPath(const Instance& inst) { return inst.dir() + "/absent"; }

// Puts kind at the path rel under the truv root, in place of what is there.
// outside is the outside file's content, which a run reads through a link.
void plant(const Instance& inst, const std::string& rel, Plant kind, const std::string& outside) {
  const std::string path = inst.path(rel);
  ASSERT_TRUE(::unlink(path.c_str()) == 0 || errno == ENOENT) << path << ": " << strerror(errno);
  switch (kind) {
    case kLinkToFile:
      writeFile(outsidePath(inst), outside, 0640);
      ASSERT_EQ(::symlink(outsidePath(inst).c_str(), path.c_str()), 0) << strerror(errno);
      break;
    case kDanglingLink:
      ASSERT_EQ(::symlink(absentPath(inst).c_str(), path.c_str()), 0) << strerror(errno);
      break;
    case kHardLink:
      writeFile(outsidePath(inst), outside, 0640);
      ASSERT_EQ(::link(outsidePath(inst).c_str(), path.c_str()), 0) << strerror(errno);
      break;
    case kFifo:
      ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << strerror(errno);
      break;
  }
}

// An entry as lstat sees it, with a regular file's bytes and a link's target.
struct Node {
  mode_t mode = 0;  // type and permission bits
  ino_t ino = 0;
  nlink_t links = 0;
  std::string data;
  bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

std::string regularFileBytes(const std::string& path) {
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "open " << path << ": " << strerror(errno);
    return data;
  }
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
  if (n < 0) ADD_FAILURE() << "read " << path << ": " << strerror(errno);
  ::close(fd);
  return data;
}

void treeInto(const std::string& dir, const std::string& rel, Tree* out) {
  for (const std::string& name : listDir(dir)) {
    const std::string path = dir + "/" + name, key = rel + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    Node& n = (*out)[key];
    n.mode = st.st_mode;
    n.ino = st.st_ino;
    n.links = st.st_nlink;
    if (S_ISREG(st.st_mode)) {
      n.data = regularFileBytes(path);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t len = ::readlink(path.c_str(), target, sizeof target);
      if (len > 0) n.data.assign(target, static_cast<size_t>(len));
    } else if (S_ISDIR(st.st_mode)) {
      n.links = 0;  // a subdirectory made or removed shows as its own entry
      treeInto(path, key + "/", out);
    }
  }
}

// Everything in the instance's scratch directory: the truv root and the
// attacker's files beside it.
Tree tree(const Instance& inst) {
  Tree t;
  treeInto(inst.dir(), "", &t);
  return t;
}

void expectSameTree(const Tree& after, const Tree& before) {
  for (const auto& [path, node] : before) {
    auto it = after.find(path);
    if (it == after.end()) {
      ADD_FAILURE() << path << " is gone";
    } else if (!(it->second == node)) {
      ADD_FAILURE() << path << " changed: mode " << std::oct << node.mode << " -> " << it->second.mode << std::dec
                    << ", inode " << node.ino << " -> " << it->second.ino << ", links " << node.links << " -> "
                    << it->second.links << ", \"" << node.data << "\" -> \"" << it->second.data << "\"";
    }
  }
  for (const auto& [path, node] : after) {
    if (!before.contains(path)) ADD_FAILURE() << path << " appeared";
  }
}

// An instance as the runs here find it: an rp config, an rp select config,
// both identity files, the lock file and var/tmp. select "" leaves the rp
// select config out.
void seed(const Instance& inst, const std::string& select) {
  writeFile(inst.rpConfig(), kRp, 0600);
  if (!select.empty()) writeFile(inst.rpSelectConfig(), select, 0600);
  writeFile(inst.confd() + "/dc_uid", kDcUid);
  writeFile(inst.confd() + "/cluster.secret", kSecret);
  makeDirs(inst.path("var/lock"));
  writeFile(inst.path("var/lock/-kestrane-truv-rp.lock"), "", 0600);
  makeDirs(inst.path("var/tmp"));
}

struct TimedRun {
  RunResult r;
  milliseconds took{0};
};

// A run that does not end within 20 s is killed, so that a run waiting on a
// FIFO fails the test rather than hanging it.
TimedRun timedRun(const Instance& inst, const std::vector<std::string>& args, const std::string& input) {
  RunOptions o;
  o.input = input;
  Clock::time_point start = Clock::now();
  std::unique_ptr<Process> p = inst.start(args, o);
  if (p == nullptr) return {};
  TimedRun t;
  t.r = p->waitOrKill(std::chrono::seconds(20));
  t.took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  return t;
}

// ---- Plants where the tool writes ---------------------------------------

// How a run ends: status 255 with one of the tool's messages about the
// planted path and an error text, or status 0 and silence.
enum Message { kSilent, kOpen, kLock, kCreateRp, kCreateSelect, kCreateCopy, kInvalidConfig };

struct Outcome {
  Message message;
  int errnum;
};

std::string messageFor(Outcome o, const std::string& p) {
  const std::string text = errText(o.errnum);
  switch (o.message) {
    case kSilent: return "";
    case kOpen: return "Failed to open " + p + " (open " + p + ": " + text + ")\n";
    case kLock: return "error during file '" + p + "' locking open " + p + ": " + text + "\n";
    case kCreateRp: return "Failed to create rp config file " + p + " (open " + p + ": " + text + ")\n";
    case kCreateSelect: return "Failed to create rp select config file " + p + " (open " + p + ": " + text + ")\n";
    case kCreateCopy: return "Failed to create " + p + " (open " + p + ": " + text + ")\n";
    case kInvalidConfig: return "Error: invalid config file: " + text + "\n";
  }
  return "?";
}

struct Refusal {
  const char* what;
  std::string rel;  // the planted path, under the truv root
  std::vector<std::string> args;
  std::string input;
  std::string outside;  // what a link to the outside file shows the run
  std::string select;   // the instance's rp select config
  std::array<Outcome, 4> outcomes;  // by Plant
  // Files under the truv root that the run rewrites before it stops, with
  // their content after it.
  std::map<std::string, std::string> changed = {};
  std::string out = "";  // the output of a run that ends 0
};

// Each path the tool writes, with each command that writes it. A run that
// meets a plant where it would write stops at once with its message; no
// file outside the instance is read into a copy, written or created, and the
// plant itself stays as it was.
TEST_F(PlantedFiles, RunsStopAtAPlantWhereTheyWrite) {
  const std::string rpOfA = "rp.upstreams[a].address = a:443\n";  // no other upstream to put in a select line
  const std::string noDefaultLine = "rp.select_threshold = 5\n";
  const Refusal cases[] = {
      {"the global lock, taken by a reading run", "var/lock/-kestrane-truv-rp.lock", {"upstreams"}, "",
       "outside\n", kSelect,
       {{{kLock, ELOOP}, {kLock, ELOOP}, {kLock, EMLINK}, {kLock, ENXIO}}}},
      {"the global lock, taken by a rewriting run", "var/lock/-kestrane-truv-rp.lock",
       {"accounts-balancing", "-set-threshold", "7"}, "", "outside\n", kSelect,
       {{{kLock, ELOOP}, {kLock, ELOOP}, {kLock, EMLINK}, {kLock, ENXIO}}}},
      {"the registration lock", "conf.d/-kestrane-truv-register.lock", {"export-registration"}, "", "outside\n",
       kSelect, {{{kLock, ELOOP}, {kLock, ELOOP}, {kLock, EMLINK}, {kLock, ENXIO}}}},
      {"rp, appended to by add-upstream", "conf.d/rp", kAddC, "", kRp, kSelect,
       {{{kOpen, ELOOP}, {kOpen, ELOOP}, {kOpen, EMLINK}, {kOpen, ENXIO}}}},
      // A dangling link counts as missing and fails the exclusive create; a
      // FIFO exists, and fails the parse before the append.
      {"rp, appended to by import-registration", "conf.d/rp", {"import-registration"}, kImportDoc, kRp, kSelect,
       {{{kOpen, ELOOP}, {kCreateRp, EEXIST}, {kOpen, EMLINK}, {kInvalidConfig, ENXIO}}}},
      // The lookup of the DC UID reads the rp config first: through a link it
      // finds one, a dangling link or a FIFO has none to read.
      {"rp, rewritten by change-upstream", "conf.d/rp", {"change-upstream", "-dc-uid", "U1", "-address", "new:1"},
       "", kRp, kSelect,
       {{{kOpen, ELOOP}, {kInvalidConfig, ENOENT}, {kOpen, EMLINK}, {kInvalidConfig, ENXIO}}}},
      // Without a default select line and with no other upstream, the
      // select step writes nothing, and the rp config's rewrite is next.
      {"rp, rewritten by rm-upstream", "conf.d/rp", {"rm-upstream", "-alias", "a"}, "", rpOfA, noDefaultLine,
       {{{kOpen, ELOOP}, {kInvalidConfig, ENOENT}, {kOpen, EMLINK}, {kInvalidConfig, ENXIO}}}},
      {"rp.select, rewritten by -set-threshold", "conf.d/rp.select", {"accounts-balancing", "-set-threshold", "7"},
       "", kSelect, kSelect,
       {{{kOpen, ELOOP}, {kCreateSelect, EEXIST}, {kOpen, EMLINK}, {kOpen, ENXIO}}}},
      {"rp.select, rewritten by -set-weight-for-name", "conf.d/rp.select",
       {"accounts-balancing", "-set-weight-for-name", "b", "30"}, "", kSelect, kSelect,
       {{{kOpen, ELOOP}, {kCreateSelect, EEXIST}, {kOpen, EMLINK}, {kInvalidConfig, ENXIO}}}},
      {"rp.select, rewritten by -remove-name", "conf.d/rp.select", {"accounts-balancing", "-remove-name", "b"}, "",
       kSelect, kSelect,
       {{{kOpen, ELOOP}, {kCreateSelect, EEXIST}, {kOpen, EMLINK}, {kInvalidConfig, ENXIO}}}},
      // The select config comes first, so the rp config stays whole.
      {"rp.select, rewritten by rm-upstream", "conf.d/rp.select", {"rm-upstream", "-alias", "b"}, "", kSelect,
       kSelect, {{{kOpen, ELOOP}, {kCreateSelect, EEXIST}, {kOpen, EMLINK}, {kInvalidConfig, ENXIO}}}},
      // Reading follows links to regular files; only the create is refused.
      {"rp.select, created by a reading accounts-balancing run", "conf.d/rp.select",
       {"accounts-balancing", "-get-threshold"}, "", kSelect, kSelect,
       {{{kSilent, 0}, {kCreateSelect, EEXIST}, {kSilent, 0}, {kInvalidConfig, ENXIO}}},
       {}, "5"},
      // The "~" copy comes after the rp config's rewrite, which stands.
      {"rp.select~, the copy of change-upstream -alias", "conf.d/rp.select~",
       {"change-upstream", "-dc-uid", "U1", "-alias", "a2"}, "", "outside\n", kSelect,
       {{{kCreateCopy, ELOOP}, {kCreateCopy, ELOOP}, {kCreateCopy, EMLINK}, {kCreateCopy, ENXIO}}},
       {{"conf.d/rp",
         "rp.upstreams[b].address = b:443\n"
         "rp.upstreams[b].secret = s-b\n"
         "rp.upstreams[b].cert_digest = d-b\n"
         "rp.upstreams[a2].dc_uid = U1\n"
         "rp.upstreams[a2].address = a:443\n"
         "rp.upstreams[a2].secret = s-a\n"
         "rp.upstreams[a2].cert_digest = d-a\n"}}},
  };
  for (const Refusal& c : cases) {
    for (Plant kind : kPlants) {
      SCOPED_TRACE(std::string(c.what) + ", " + kPlantNames[kind]);
      Instance inst;
      seed(inst, c.select);
      plant(inst, c.rel, kind, c.outside);
      const Tree before = tree(inst);

      TimedRun t = timedRun(inst, c.args, c.input);
      const Outcome want = c.outcomes[kind];
      EXPECT_EQ(t.r.status, want.message == kSilent ? 0 : 255);
      EXPECT_EQ(t.r.err, messageFor(want, inst.path(c.rel)));
      EXPECT_EQ(t.r.out, want.message == kSilent ? c.out : "");
      EXPECT_LT(t.took, kPrompt) << "the run took " << t.took.count() << " ms";

      Tree after = tree(inst), expected = before;
      for (const auto& [rel, content] : c.changed) {
        const std::string key = "root/" + rel;
        EXPECT_EQ(after[key].data, content) << key;
        after.erase(key);
        expected.erase(key);
      }
      expectSameTree(after, expected);
    }
  }
}

// dc_uid and cluster.secret are made only when missing, by a stat that
// follows links. Whatever is planted there is left alone in silence, a
// dangling link included (its exclusive create fails with EEXIST, and
// nothing appears at its target); the run goes on to the other file.
TEST_F(PlantedFiles, IdentityFilesLeaveAnyPlantAlone) {
  const char kDcUidPattern[] = "dc_uid = [0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}\n";
  const char kSecretPattern[] =
      "# This is a shared secret that TRUV peers use for secure communication\n"
      "cluster\\.secret=[A-Za-z0-9+/]{40}\n";
  struct Case {
    const char* planted;
    const char* other;
    const char* otherPattern;
    std::vector<std::string> args;
    std::string input;
    std::string block;
  };
  const Case cases[] = {
      {"dc_uid", "cluster.secret", kSecretPattern, kAddC, "", kAddCBlock},
      {"dc_uid", "cluster.secret", kSecretPattern, {"import-registration"}, kImportDoc, kImportBlock},
      {"cluster.secret", "dc_uid", kDcUidPattern, kAddC, "", kAddCBlock},
      {"cluster.secret", "dc_uid", kDcUidPattern, {"import-registration"}, kImportDoc, kImportBlock},
  };
  for (const Case& c : cases) {
    for (Plant kind : kPlants) {
      SCOPED_TRACE(std::string(c.args[0]) + ", " + kPlantNames[kind] + " at " + c.planted);
      Instance inst;
      seed(inst, kSelect);
      ::unlink((inst.confd() + "/" + c.other).c_str());
      plant(inst, std::string("conf.d/") + c.planted, kind, "outside\n");
      const Tree before = tree(inst);

      TimedRun t = timedRun(inst, c.args, c.input);
      EXPECT_EQ(t.r.status, 0);
      EXPECT_EQ(t.r.err, "");
      EXPECT_LT(t.took, kPrompt) << "the run took " << t.took.count() << " ms";

      Tree after = tree(inst), expected = before;
      EXPECT_EQ(after["root/conf.d/rp"].data, kRp + c.block);
      const Node made = after["root/conf.d/" + std::string(c.other)];
      EXPECT_TRUE(S_ISREG(made.mode));
      EXPECT_EQ(made.mode & 07777, 0644u);
      EXPECT_TRUE(RE2::FullMatch(made.data, c.otherPattern)) << made.data;
      for (Tree* t2 : {&after, &expected}) {
        t2->erase("root/conf.d/rp");
        t2->erase("root/conf.d/" + std::string(c.other));
      }
      expectSameTree(after, expected);
    }
  }
}

// The registration search reads a file in every certs* directory it meets:
// a FIFO there, or a link to an endless device, reads as no registration,
// at once, and the search goes on to the valid one.
TEST_F(PlantedFiles, RegistrationSearchPassesOverFifosAndDevices) {
  struct Case {
    const char* what;
    Plant kind;         // kFifo, or kLinkToFile for a link to /dev/zero
    std::string regId;  // -reg-id, naming the bad directory, or none
  };
  const Case cases[] = {
      {"FIFOs", kFifo, ""},
      {"links to /dev/zero", kLinkToFile, ""},
      {"FIFOs, named by -reg-id", kFifo, "bad"},
      {"links to /dev/zero, named by -reg-id", kLinkToFile, "bad"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Instance inst;
    writeFile(inst.confd() + "/dc_uid", kDcUid);
    writeFile(inst.confd() + "/cluster.secret", kSecret);
    // certs.bad sorts first: the search meets it before the valid one.
    makeDirs(inst.path("certs.bad"));
    for (const char* name : {".truv.registration-info", "truv.pem.info"}) {
      const std::string path = inst.path(std::string("certs.bad/") + name);
      if (c.kind == kFifo)
        ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << strerror(errno);
      else
        ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0) << strerror(errno);
    }
    makeDirs(inst.path("certs.good"));
    writeFile(inst.path("certs.good/.truv.registration-info"),
              ".type = truv.rp-registration-info\ntruv-address = east.example:8443\n");
    writeFile(inst.path("certs.good/truv.pem.info"), "digest.sha256 = d1g3st\n");

    std::vector<std::string> args = {"export-registration"};
    if (!c.regId.empty()) args.insert(args.end(), {"-reg-id", c.regId});
    TimedRun t = timedRun(inst, args, "");
    EXPECT_LT(t.took, kPrompt) << "the run took " << t.took.count() << " ms";
    if (c.regId.empty()) {
      EXPECT_EQ(t.r.status, 0) << t.r.err;
      EXPECT_EQ(t.r.err, "");
      EXPECT_EQ(t.r.out,
                "{\"address\":\"east.example:8443\",\"dc-uid\":\"6f1c2d3e-4a5b-11ee-8c90-0242ac120002\","
                "\"digest\":\"d1g3st\",\"secret\":\"QWxhZGRpbjpvcGVuIHNlc2FtZUFsYWRkaW46b3Bl\","
                "\"stat\":\"east.example:44444\"}");
    } else {
      EXPECT_EQ(t.r.status, 10);
      EXPECT_EQ(t.r.err, "Valid registration bad not found (couldn't find address)\n");
      EXPECT_EQ(t.r.out, "");
    }
  }
}

// Links to directories on the way are followed: conf.d, var/lock and var/tmp
// may be links, and every kind of write goes through them.
TEST_F(PlantedFiles, LinkedDirectoriesOnTheWayAreFollowed) {
  Instance inst;
  const std::string realConf = inst.dir() + "/real-conf.d", realLock = inst.dir() + "/real-lock",
                    realTmp = inst.dir() + "/real-tmp";
  ASSERT_EQ(::rename(inst.confd().c_str(), realConf.c_str()), 0) << strerror(errno);
  makeDirs(realLock);
  makeDirs(realTmp);
  makeDirs(inst.path("var"));
  ASSERT_EQ(::symlink(realConf.c_str(), inst.confd().c_str()), 0);
  ASSERT_EQ(::symlink(realLock.c_str(), inst.path("var/lock").c_str()), 0);
  ASSERT_EQ(::symlink(realTmp.c_str(), inst.path("var/tmp").c_str()), 0);

  const std::vector<std::vector<std::string>> runs = {
      kAddC,                                                       // creates rp, dc_uid, cluster.secret
      {"change-upstream", "-dc-uid", "c", "-address", "new:1"},    // rewrites rp through var/tmp
      {"accounts-balancing", "-set-threshold", "3"},               // creates and rewrites rp.select
  };
  for (const auto& args : runs) {
    RunResult r = inst.run(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err, "") << args[0];
  }
  EXPECT_EQ(readFile(realConf + "/rp"),
            "rp.upstreams[c].secret = s-c\n"
            "rp.upstreams[c].cert_digest = d-c\n"
            "rp.upstreams[c].address = new:1\n");
  EXPECT_EQ(readFile(realConf + "/rp.select"), "rp.select_threshold = 3");
  EXPECT_EQ(listDir(realConf), (std::vector<std::string>{"cluster.secret", "dc_uid", "rp", "rp.select"}));
  EXPECT_EQ(listDir(realLock), std::vector<std::string>{"-kestrane-truv-rp.lock"});
  EXPECT_EQ(listDir(realTmp), std::vector<std::string>{});
  for (const char* rel : {"conf.d", "var/lock", "var/tmp"}) {
    struct stat st;
    ASSERT_EQ(::lstat(inst.path(rel).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << rel;
  }
}

// ---- A copy swapped under a rewrite --------------------------------------

// The first file created in a directory, as inotify reports it.
class FirstCreation {
 public:
  explicit FirstCreation(const std::string& dir) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    EXPECT_GE(fd_, 0) << strerror(errno);
    if (fd_ >= 0) {
      EXPECT_GE(::inotify_add_watch(fd_, dir.c_str(), IN_CREATE), 0) << strerror(errno);
    }
  }
  ~FirstCreation() {
    if (fd_ >= 0) ::close(fd_);
  }
  FirstCreation(const FirstCreation&) = delete;
  FirstCreation& operator=(const FirstCreation&) = delete;

  // Its name, or "" when none came within timeout.
  std::string await(milliseconds timeout) const {
    struct pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
    alignas(struct inotify_event) char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < static_cast<ssize_t>(sizeof(struct inotify_event))) return "";
    auto* e = reinterpret_cast<struct inotify_event*>(buf);
    return e->len > 0 ? std::string(e->name) : std::string();
  }

 private:
  int fd_;
};

constexpr int kSwapUpstreams = 20000;  // a rewrite long enough for the swap to land within it

std::string swapName(int i) { return "u" + std::to_string(10000 + i); }

std::string swapAddressLine(int i) {
  return "rp.upstreams[" + swapName(i) + "].address = 10.0." + std::to_string(i / 256) + "." +
         std::to_string(i % 256) + ":443\n";
}

// The rp config, without the address line of upstream `without`.
std::string swapRp(int without) {
  std::string s;
  s.reserve(kSwapUpstreams * 100);
  for (int i = 0; i < kSwapUpstreams; ++i) {
    if (i != without) s += swapAddressLine(i);
    s += "rp.upstreams[" + swapName(i) + "].secret = s" + std::to_string(i) + "\n";
  }
  return s;
}

// A watcher with write access to var/tmp acts on the rewrite's copy as soon
// as it appears: it renames its own file over it, or moves it away. The
// rewrite must then stop with the copy's error, leaving the rp config as it
// was; a watcher too late finds the new content in place. Either way the rp
// config never becomes the watcher's file.
TEST_F(SwappedCopy, OnlyTheToolsOwnCopyBecomesTheRpConfig) {
  enum Attack { kRenameOver, kMoveAway };
  struct Case {
    const char* what;
    Attack attack;
    int errnum;  // the run's error once the attack has landed
  };
  const Case cases[] = {
      {"a file renamed over the copy", kRenameOver, ESTALE},
      {"the copy moved away", kMoveAway, ENOENT},
  };
  constexpr int kRepeats = 10;
  constexpr int kChanged = 4321;
  const std::string oldRp = swapRp(-1);
  const std::string newRp = swapRp(kChanged) + "rp.upstreams[" + swapName(kChanged) + "].address = 10.9.9.9:443\n";
  const std::string plantedRp = "rp.upstreams[evil].address = attacker.example:443\n";
  const std::vector<std::string> args = {"change-upstream", "-dc-uid", swapName(kChanged), "-address",
                                         "10.9.9.9:443"};

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Instance inst;
    const std::string rp = inst.rpConfig(), tmp = inst.path("var/tmp");
    const std::string planted = inst.dir() + "/planted", moved = inst.dir() + "/moved";
    makeDirs(tmp);
    int caught = 0;
    for (int k = 0; k < kRepeats; ++k) {
      SCOPED_TRACE("run " + std::to_string(k));
      writeFile(rp, oldRp, 0600);
      for (const std::string& name : listDir(tmp)) ::unlink((tmp + "/" + name).c_str());
      ::unlink(moved.c_str());
      writeFile(planted, plantedRp, 0644);
      struct stat st;
      ASSERT_EQ(::stat(planted.c_str(), &st), 0);
      const ino_t plantedIno = st.st_ino;

      FirstCreation watch(tmp);
      std::string copyName;
      int attackErrno = -1;
      std::thread watcher([&] {
        copyName = watch.await(milliseconds(30000));
        if (copyName.empty()) return;
        const std::string copy = tmp + "/" + copyName;
        int rc = c.attack == kRenameOver ? ::rename(planted.c_str(), copy.c_str())
                                         : ::rename(copy.c_str(), moved.c_str());
        attackErrno = rc == 0 ? 0 : errno;
      });
      RunResult r = inst.run(args);
      watcher.join();
      ASSERT_FALSE(copyName.empty()) << "no copy appeared in var/tmp";

      ASSERT_EQ(::stat(rp.c_str(), &st), 0);
      EXPECT_NE(st.st_ino, plantedIno) << "the watcher's file became the rp config";
      const std::string now = readFile(rp);
      EXPECT_NE(now, plantedRp);
      if (r.status == 0) {
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(now == newRp) << "rp holds neither its old nor its new content, " << now.size() << " bytes";
      } else {
        ++caught;
        const std::string copy = tmp + "/" + copyName;
        EXPECT_EQ(attackErrno, 0) << "the run failed, but the watcher did nothing";
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Failed to change " + rp + " (rename " + copy + " " + rp + ": " + errText(c.errnum) + ")\n");
        EXPECT_TRUE(now == oldRp) << "rp holds not its old content, " << now.size() << " bytes";
      }
    }
    // Runs that all ended before the watcher acted would show nothing.
    EXPECT_GT(caught, 0) << "the watcher never acted while the copy was being written";
  }
}

// ---- Directory syncs -------------------------------------------------------

const char kStrace[] = "/usr/bin/strace";

// The system calls of a traced run that matter here, in their order.
struct Call {
  enum Kind { kOpen, kRename, kSync, kExit } kind = kOpen;
  std::string path;  // opened, or renamed onto
  bool directory = false, created = false;
  long result = 0;
};

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::vector<Call> parseTrace(const std::string& text) {
  static const RE2 line(R"(^\d+ +(\w+)\((.*)\) += (-?\d+|\?))");
  static const RE2 quoted(R"re("((?:[^"\\]|\\.)*)")re");
  std::vector<Call> calls;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string l = text.substr(at, end - at);
    at = end + 1;
    std::string name, args, result;
    if (!RE2::PartialMatch(l, line, &name, &args, &result)) continue;
    Call c;
    c.result = result == "?" ? 0 : std::stol(result);
    re2::StringPiece rest(args);
    std::vector<std::string> paths;
    for (std::string p; RE2::FindAndConsume(&rest, quoted, &p);) paths.push_back(p);
    if (name == "openat" || name == "open" || name == "creat") {
      if (paths.empty()) continue;
      c.kind = Call::kOpen;
      c.path = paths[0];
      c.directory = args.find("O_DIRECTORY") != std::string::npos;
      c.created = name == "creat" || args.find("O_CREAT") != std::string::npos;
    } else if (name == "rename" || name == "renameat" || name == "renameat2") {
      if (paths.size() < 2) continue;
      c.kind = Call::kRename;
      c.path = paths[1];
    } else if (name == "fsync" || name == "fdatasync") {
      c.kind = Call::kSync;
      c.path = args;  // the descriptor, resolved below
    } else if (name == "exit_group") {
      c.kind = Call::kExit;
    } else {
      continue;
    }
    calls.push_back(c);
  }
  // A descriptor names what its latest successful open returned it for.
  std::map<long, const Call*> openFds;
  for (Call& c : calls) {
    if (c.kind == Call::kOpen && c.result >= 0) openFds[c.result] = &c;
    if (c.kind == Call::kSync) {
      auto it = openFds.find(std::stol(c.path));
      c.path = it == openFds.end() ? "?" : it->second->path;
      c.directory = it != openFds.end() && it->second->directory;
    }
  }
  return calls;
}

// A run that ends 0 has synced, once, every directory that gained a file or
// a rename, after the last such change in it and before it exits: conf.d for
// the configuration files, var/lock for a new lock file.
TEST_F(DirectorySync, EachChangedDirectoryIsSyncedOnceBeforeExit) {
  if (::access(kStrace, X_OK) != 0) GTEST_SKIP() << kStrace << " is missing (scripts/install-deps.sh installs it)";
  struct Case {
    const char* what;
    bool fresh;          // a new instance: no lock directory, no files
    std::string select;  // the rp select config of a seeded instance, "" for none
    std::vector<std::string> args;
    int createdInConfd, renamedIntoConfd;
  };
  const Case cases[] = {
      {"add-upstream into a missing rp config", true, "", kAddC, 3, 0},
      {"change-upstream -address", false, kSelect, {"change-upstream", "-dc-uid", "U1", "-address", "new:1"}, 0, 1},
      {"rm-upstream, rewriting rp.select and rp", false, kSelect, {"rm-upstream", "-alias", "b"}, 0, 2},
      {"-set-threshold into a missing rp.select", false, "", {"accounts-balancing", "-set-threshold", "7"}, 1, 1},
  };
  // A lambda per case, so that a failed assertion ends that case alone.
  auto check = [](const Case& c) {
    SCOPED_TRACE(c.what);
    Instance inst;
    if (!c.fresh) seed(inst, c.select);
    const std::string traceFile = inst.dir() + "/trace";
    RunOptions o;
    o.wrapper = {kStrace, "-f", "-qq", "-o", traceFile, "-e",
                 "trace=open,openat,creat,rename,renameat,renameat2,fsync,fdatasync,exit_group"};
    RunResult r = inst.run(c.args, o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<Call> calls = parseTrace(readFile(traceFile));

    std::map<std::string, std::vector<size_t>> syncsOf;  // directory -> indexes of its syncs
    std::map<std::string, size_t> lastChangeIn;           // directory -> index of its last change
    size_t exitAt = calls.size();
    int created = 0, renamed = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
      const Call& call = calls[i];
      if (call.kind == Call::kSync && call.directory) {
        EXPECT_EQ(call.result, 0) << "fsync of " << call.path;
        syncsOf[call.path].push_back(i);
      }
      bool changes = call.result >= 0 && ((call.kind == Call::kOpen && call.created) || call.kind == Call::kRename);
      if (changes) lastChangeIn[directoryOf(call.path)] = i;
      if (changes && directoryOf(call.path) == inst.confd()) (call.kind == Call::kOpen ? created : renamed)++;
      if (call.kind == Call::kExit && exitAt == calls.size()) exitAt = i;
    }
    EXPECT_EQ(created, c.createdInConfd) << "files created in conf.d";
    EXPECT_EQ(renamed, c.renamedIntoConfd) << "renames into conf.d";
    ASSERT_LT(exitAt, calls.size()) << "no exit in the trace";

    std::vector<std::string> changed = {inst.confd()};
    if (c.fresh) changed.push_back(inst.path("var/lock"));  // the lock file is new
    for (const std::string& dir : changed) {
      SCOPED_TRACE(dir);
      ASSERT_TRUE(lastChangeIn.contains(dir)) << "the trace shows no change there";
      ASSERT_EQ(syncsOf[dir].size(), 1u) << "syncs of the directory";
      EXPECT_GT(syncsOf[dir][0], lastChangeIn[dir]) << "synced before its last change";
      EXPECT_LT(syncsOf[dir][0], exitAt) << "synced after the exit";
    }
    if (!c.fresh) {
      EXPECT_FALSE(syncsOf.contains(inst.path("var/lock"))) << "var/lock did not change";
    }
    for (const auto& [dir, at] : syncsOf) EXPECT_EQ(at.size(), 1u) << dir << " synced more than once";
  };
  for (const Case& c : cases) check(c);
}

}  // namespace
