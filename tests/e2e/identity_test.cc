// The instance's identity files, created by add-upstream when missing.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "harness.h"

namespace {

class IdentityFiles : public EndToEndTest {};

const char kComment[] = "# This is a shared secret that TRUV peers use for secure communication\n";

RunResult addUpstream(const Instance& inst, const std::string& alias, const RunOptions& opts = {}) {
  return inst.run({"add-upstream", "-dc-uid", "U-" + alias, "-alias", alias, "-address", "h:443", "-secret", "S",
                   "-digest", "D"},
                  opts);
}

std::string dcUidPath(const Instance& inst) { return inst.confd() + "/dc_uid"; }
std::string secretPath(const Instance& inst) { return inst.confd() + "/cluster.secret"; }

void expectWellFormedDcUid(const std::string& content) {
  // Version digit 1, RFC 4122 variant.
  static const RE2 re("dc_uid = [0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\n");
  EXPECT_EQ(content.size(), 46u);
  EXPECT_TRUE(RE2::FullMatch(content, re)) << content;
}

void expectWellFormedSecret(const std::string& content) {
  static const RE2 re("cluster\\.secret=[A-Za-z0-9+/]{40}\n");
  EXPECT_EQ(content.size(), 127u);
  ASSERT_EQ(content.substr(0, sizeof kComment - 1), kComment);
  EXPECT_TRUE(RE2::FullMatch(content.substr(sizeof kComment - 1), re)) << content;
}

TEST_F(IdentityFiles, CreatedWithTheirFormatAndModeLessUmask) {
  Instance inst;
  RunOptions opts;
  opts.umask = 027;
  RunResult r = addUpstream(inst, "a", opts);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  expectWellFormedDcUid(readFile(dcUidPath(inst)));
  expectWellFormedSecret(readFile(secretPath(inst)));
  EXPECT_EQ(fileMode(dcUidPath(inst)), 0640u);
  EXPECT_EQ(fileMode(secretPath(inst)), 0640u);
}

TEST_F(IdentityFiles, NeverRewrittenOnceThere) {
  Instance inst;
  ASSERT_EQ(addUpstream(inst, "a").status, 0);
  const std::string uid = readFile(dcUidPath(inst)), secret = readFile(secretPath(inst));
  RunResult r = addUpstream(inst, "b");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dcUidPath(inst)), uid);
  EXPECT_EQ(readFile(secretPath(inst)), secret);
}

TEST_F(IdentityFiles, TwoCreationsDiffer) {
  Instance one, two;
  ASSERT_EQ(addUpstream(one, "a").status, 0);
  ASSERT_EQ(addUpstream(two, "a").status, 0);
  EXPECT_NE(readFile(dcUidPath(one)), readFile(dcUidPath(two)));
  EXPECT_NE(readFile(secretPath(one)), readFile(secretPath(two)));
}

// Whatever stands at either name counts as existing and is left alone;
// only the other file is made.
TEST_F(IdentityFiles, ExistingEntriesAreLeftAlone) {
  enum Kind { kContent, kEmpty, kDirectory, kDanglingLink };
  for (bool atDcUid : {true, false}) {
    for (Kind kind : {kContent, kEmpty, kDirectory, kDanglingLink}) {
      SCOPED_TRACE(std::string(atDcUid ? "dc_uid" : "cluster.secret") + " kind " + std::to_string(kind));
      Instance inst;
      const std::string taken = atDcUid ? dcUidPath(inst) : secretPath(inst);
      const std::string other = atDcUid ? secretPath(inst) : dcUidPath(inst);
      const std::string target = inst.dir() + "/nowhere";
      switch (kind) {
        case kContent: writeFile(taken, "broken", 0600); break;
        case kEmpty: writeFile(taken, "", 0600); break;
        case kDirectory: makeDirs(taken); break;
        case kDanglingLink: ASSERT_EQ(::symlink(target.c_str(), taken.c_str()), 0); break;
      }
      RunResult r = addUpstream(inst, "a");
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      switch (kind) {
        case kContent: EXPECT_EQ(readFile(taken), "broken"); break;
        case kEmpty: EXPECT_EQ(readFile(taken), ""); break;
        case kDirectory: EXPECT_EQ(listDir(taken), std::vector<std::string>{}); break;
        case kDanglingLink: EXPECT_FALSE(pathExists(target)); break;
      }
      if (atDcUid)
        expectWellFormedSecret(readFile(other));
      else
        expectWellFormedDcUid(readFile(other));
    }
  }
}

TEST_F(IdentityFiles, StatFailureEndsTheRun) {
  Instance inst;
  const std::string p = dcUidPath(inst);
  ASSERT_EQ(::symlink(p.c_str(), p.c_str()), 0);  // a loop: stat fails with ELOOP
  RunResult r = addUpstream(inst, "a");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Can not stat: " + p + " error: stat " + p + ": too many levels of symbolic links\n");
  EXPECT_FALSE(pathExists(secretPath(inst)));
  // The block was appended before; nothing undoes it.
  EXPECT_NE(readFile(inst.rpConfig()), "");
}

TEST_F(IdentityFiles, CreateFailureEndsTheRun) {
  Instance inst;
  for (const char* d : {"var", "var/lock", "var/tmp"}) {
    makeDirs(inst.path(d));
    ::chmod(inst.path(d).c_str(), 0777);
  }
  writeFile(inst.rpConfig(), "", 0666);  // appendable; conf.d itself stays root's
  RunOptions asNobody;
  asNobody.asNobody = true;
  RunResult r = addUpstream(inst, "a", asNobody);
  EXPECT_EQ(r.status, 255);
  const std::string p = dcUidPath(inst);
  EXPECT_EQ(r.err, "failed to open file " + p + " : open " + p + ": permission denied\n");
  EXPECT_FALSE(pathExists(p));
}

}  // namespace
