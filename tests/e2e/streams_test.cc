// The standard streams as callers leave them: closed, a reader that went
// away, an endless input. None may change what a run does to the files or its
// status, and no file the run opens may stand in for a stream.
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"

namespace {

class Streams : public EndToEndTest {};

using Args = std::vector<std::string>;

// An instance on which every printing command has something to print, and
// an export finds its registration.
void populate(const Instance& inst) {
  writeFile(inst.rpConfig(),
            "rp.upstreams[east].dc_uid = U1\n"
            "rp.upstreams[east].address = east.example:443\n"
            "rp.upstreams[east].secret = es\n",
            0600);
  writeFile(inst.rpSelectConfig(), "rp.select = east:100\nrp.select_threshold = 5", 0600);
  writeFile(inst.confd() + "/dc_uid", "dc_uid = 6c1f0b52-5b2e-11ee-8c99-0242ac120002\n");
  writeFile(inst.confd() + "/cluster.secret", "cluster.secret=c\n");
  makeDirs(inst.path("certs.x"));
  writeFile(inst.path("certs.x/.truv.registration-info"),
            ".type = truv.rp-registration-info\ntruv-address = rp.example:8443\n");
  writeFile(inst.path("certs.x/truv.pem.info"), "digest.sha256 = ab:cd\n");
}

// The lock files hold nothing, whatever the run wrote.
void expectLockFilesEmpty(const Instance& inst) {
  for (const std::string& lock :
       {inst.path("var/lock/-kestrane-truv-rp.lock"), inst.confd() + "/-kestrane-truv-register.lock"}) {
    struct stat st;
    if (::lstat(lock.c_str(), &st) == 0) {
      EXPECT_EQ(st.st_size, 0) << lock;
    }
  }
}

struct Command {
  Args args;
  int status;
};

// A command that prints, one that fails after taking the lock, an export
// that writes the cluster secret to standard output.
const Command kCommands[] = {
    {{"upstreams"}, 0},
    {{"get-upstream", "-dc-uid", "nobody", "-j"}, 100},
    {{"export-registration"}, 0},
    {{"import-registration", "-alias", "peer"}, 255},  // standard input holds no document
};

TEST_F(Streams, ClosedStreamsChangeNoStatusAndNoFile) {
  struct Closed {
    const char* name;
    bool in, out, err;
  } const closings[] = {
      {"stdin", true, false, false},  {"stdout", false, true, false},     {"stderr", false, false, true},
      {"stdout and stderr", false, true, true}, {"all three", true, true, true},
  };
  for (const Command& c : kCommands) {
    for (const Closed& closed : closings) {
      SCOPED_TRACE(c.args[0] + " without " + closed.name);
      Instance inst;
      populate(inst);
      RunOptions opts;
      opts.closeStdin = closed.in;
      opts.closeStdout = closed.out;
      opts.closeStderr = closed.err;
      RunResult open = inst.run(c.args);  // the same run with every stream in place
      RunResult r = inst.run(c.args, opts);
      EXPECT_EQ(open.status, c.status) << open.err;
      EXPECT_EQ(r.status, c.status) << r.err;
      if (!closed.out) {
        EXPECT_EQ(r.out, open.out);
      }
      if (!closed.err) {
        EXPECT_EQ(r.err, open.err);
      }
      expectLockFilesEmpty(inst);
    }
  }
}

TEST_F(Streams, ReaderThatWentAwayKeepsEveryStatus) {
  const Command printing[] = {
      {{"upstreams"}, 0},
      {{"upstream-uids"}, 0},
      {{"upstream-uids", "-j"}, 0},
      {{"get-upstream", "-dc-uid", "U1", "-j"}, 0},
      {{"get-upstream", "-dc-uid", "U1", "-alias", "-address"}, 0},
      {{"accounts-balancing", "-weights"}, 0},
      {{"accounts-balancing", "-weights", "-j"}, 0},
      {{"accounts-balancing", "-weight-for-name", "east"}, 0},
      {{"accounts-balancing", "-get-threshold"}, 0},
      {{"export-registration"}, 0},
      {{}, 10},                      // the usage text
      {{"upstreams", "-h"}, 0},      // help goes to standard error
      {{"get-upstream", "-x"}, 2},   // so do option errors
  };
  Instance inst;
  populate(inst);
  for (const Command& c : printing) {
    SCOPED_TRACE(c.args.empty() ? "(no command)" : c.args[0]);
    RunOptions opts;
    opts.stdoutWithoutReader = true;
    RunResult r = inst.run(c.args, opts);
    EXPECT_EQ(r.status, c.status) << r.err;
  }
  expectLockFilesEmpty(inst);
}

TEST_F(Streams, EndlessStandardInputIsRefusedWithinBoundedMemory) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit a 256 MB address space";
#endif
  Instance inst;
  RunOptions opts;
  opts.stdinFile = "/dev/zero";
  opts.addressSpaceLimit = size_t{256} << 20;
  auto started = std::chrono::steady_clock::now();
  RunResult r = inst.run({"import-registration", "-alias", "peer"}, opts);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Couldn't parse json: the document is larger than 1048576 bytes\n");
  EXPECT_FALSE(pathExists(inst.rpConfig()));

  // The same from -in, which may name a device too.
  r = inst.run({"import-registration", "-alias", "peer", "-in", "/dev/zero"}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Couldn't parse json: the document is larger than 1048576 bytes\n");
  EXPECT_FALSE(pathExists(inst.rpConfig()));

  // A document of exactly the limit is read whole (and then does not parse).
  writeFile(inst.dir() + "/doc", std::string(size_t{1} << 20, ' '));
  r = inst.run({"import-registration", "-alias", "peer", "-in", inst.dir() + "/doc"}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("Couldn't parse json: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("larger than"), std::string::npos) << r.err;
}

}  // namespace
