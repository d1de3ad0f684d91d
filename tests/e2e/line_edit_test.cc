// Line editing as the commands use it: accounts-balancing -set-threshold
// (remove by prefix, then append), rm-upstream (remove by prefixes),
// change-upstream -alias (rename in the select entries) and add-upstream
// (append).
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "harness.h"

namespace {

class LineEdit : public EndToEndTest {
 protected:
  std::string tmpDir() const { return inst.path("var/tmp"); }
  std::string selectCopy() const { return inst.rpSelectConfig() + "~"; }

  // var/, var/lock and var/tmp open to everyone, so that a run as nobody
  // gets past the lock and can make its copies.
  void openVarToNobody() const {
    for (const char* d : {"var", "var/lock", "var/tmp"}) {
      makeDirs(inst.path(d));
      ::chmod(inst.path(d).c_str(), 0777);
    }
  }

  RunResult setThreshold(const std::string& value, const RunOptions& opts = {}) const {
    return inst.run({"accounts-balancing", "-set-threshold", value}, opts);
  }

  // An upstream "a" with DC UID U1, as add-upstream writes it.
  void writeUpstreamA() const {
    writeFile(inst.rpConfig(),
              "rp.upstreams[a].dc_uid = U1\n"
              "rp.upstreams[a].address = h1:443\n"
              "rp.upstreams[a].secret = s1\n"
              "rp.upstreams[a].cert_digest = d1\n");
  }

  Instance inst;
};

// A select line of exactly len bytes, its last name padded to fit.
std::string selectLineOfLength(const std::string& domain, size_t len) {
  std::string line = "certs[" + domain + "].rp.select =";
  for (int i = 0; line.size() + 24 < len; ++i) line += " u" + std::to_string(i) + ":1";
  line += " last";
  line += std::string(len - line.size() - 2, 'x');
  line += ":1";
  return line;
}

TEST_F(LineEdit, ThresholdRewriteRemovesByPrefixAndAppendsWithoutLineEnd) {
  writeFile(inst.rpSelectConfig(),
            "rp.select = a:1\r\n"
            "rp.select_threshold = 3\n"
            "rp.select_threshold=4\n"
            " rp.select _threshold2 = 1\n"
            "\trp.select_threshold = 9\n"
            "cr\rinside\n"
            "\n"
            "certs[d].rp.select = a:2\r",
            0644);
  RunResult r = setThreshold("7");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // Lines whose text without blanks starts with the prefix go, spaced any
  // way; a tab-led one stays; CRLF and a final CR are normalised and the
  // unterminated last line gets its line end before the append.
  EXPECT_EQ(readFile(inst.rpSelectConfig()),
            "rp.select = a:1\n"
            "\trp.select_threshold = 9\n"
            "cr\rinside\n"
            "\n"
            "certs[d].rp.select = a:2\n"
            "rp.select_threshold = 7");
  EXPECT_EQ(fileMode(inst.rpSelectConfig()), 0600u);
  EXPECT_EQ(listDir(tmpDir()), std::vector<std::string>{});

  r = setThreshold("8");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpSelectConfig()),
            "rp.select = a:1\n"
            "\trp.select_threshold = 9\n"
            "cr\rinside\n"
            "\n"
            "certs[d].rp.select = a:2\n"
            "rp.select_threshold = 8");
}

TEST_F(LineEdit, EmptyFileAndLoneLineEnd) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "rp.select_threshold = 1"},
      {"\n", "\nrp.select_threshold = 1"},
      {"\r\n\r\n", "\n\nrp.select_threshold = 1"},
  };
  for (const auto& [before, after] : cases) {
    writeFile(inst.rpSelectConfig(), before);
    RunResult r = setThreshold("1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(inst.rpSelectConfig()), after) << "from \"" << before << "\"";
  }
}

TEST_F(LineEdit, LongLinesAreCopiedWhole) {
  const std::string atOldBound = selectLineOfLength("a", 65535);
  const std::string pastOldBound = selectLineOfLength("b", 65536);
  const std::string megabytes = selectLineOfLength("c", 6 << 20);
  const std::string unterminated = selectLineOfLength("d", 100000);
  ASSERT_EQ(atOldBound.size(), 65535u);
  writeFile(inst.rpSelectConfig(), "rp.select_threshold = 1\n" + atOldBound + "\n" + pastOldBound + "\r\n" +
                                       megabytes + "\n" + unterminated);
  RunResult r = setThreshold("2");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string got = readFile(inst.rpSelectConfig());
  EXPECT_TRUE(got == atOldBound + "\n" + pastOldBound + "\n" + megabytes + "\n" + unterminated +
                         "\nrp.select_threshold = 2")
      << "size " << got.size();
}

TEST_F(LineEdit, DirectoryInPlaceOfTheFileIsRefusedAtItsOpen) {
  makeDirs(inst.rpSelectConfig());
  RunResult r = setThreshold("5");
  EXPECT_EQ(r.status, 255);
  const std::string p = inst.rpSelectConfig();
  EXPECT_EQ(r.err, "Failed to open " + p + " (open " + p + ": is a directory)\n");
  struct stat st;
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(listDir(tmpDir()), std::vector<std::string>{});
}

TEST_F(LineEdit, FailedOpenRemovesTheCopy) {
  openVarToNobody();
  writeFile(inst.rpSelectConfig(), "rp.select = a:1\n", 0200);  // root's, unreadable to nobody
  RunOptions asNobody;
  asNobody.asNobody = true;
  RunResult r = setThreshold("5", asNobody);
  EXPECT_EQ(r.status, 255);
  const std::string p = inst.rpSelectConfig();
  EXPECT_EQ(r.err, "Failed to open " + p + " (open " + p + ": permission denied)\n");
  EXPECT_EQ(listDir(tmpDir()), std::vector<std::string>{});
  EXPECT_EQ(readFile(p), "rp.select = a:1\n");
}

TEST_F(LineEdit, FailedRenameDeletesTheCopyAndKeepsTheFile) {
  openVarToNobody();  // conf.d stays root's: the copy cannot be moved into it
  writeFile(inst.rpSelectConfig(), "rp.select_threshold = 1\r\nrp.select = a:1", 0644);
  RunOptions asNobody;
  asNobody.asNobody = true;
  RunResult r = setThreshold("5", asNobody);
  EXPECT_EQ(r.status, 255);
  const std::string p = inst.rpSelectConfig();
  std::string named, dir, target;
  ASSERT_TRUE(RE2::FullMatch(r.err, "Failed to change (.*) \\(rename (.*)/rp\\.select[0-9]+ (.*): permission denied\\)\n",
                             &named, &dir, &target))
      << r.err;
  EXPECT_EQ(named, p);
  EXPECT_EQ(dir, tmpDir());
  EXPECT_EQ(target, p);
  EXPECT_EQ(listDir(tmpDir()), std::vector<std::string>{});
  EXPECT_EQ(readFile(p), "rp.select_threshold = 1\r\nrp.select = a:1");
}

TEST_F(LineEdit, RmUpstreamRemovesTheAliasLinesHoweverSpaced) {
  writeFile(inst.rpConfig(),
            "rp.upstreams[a].dc_uid = U1\r\n"
            "rp.upstreams[a].address = h1:443\n"
            "rp.upstreams[a].address=h2:443\n"
            "rp.upstreams[ a ].secret = s\n"
            "rp.upstreams[a].cert_digest= d\n"
            "rp.upstreams[a].redirect = r\n"
            "rp.upstreams[a].stat = st\n"
            "rp.upstreams[ab].address = other:443\n"
            "\trp.upstreams[a].stat = tab-led\n"
            "rp.upstreams[a].redirectx = kept\n"
            "rp.upstreams[a].weight = kept\n"
            "rp.upstreams[b].address = b:443",
            0644);
  writeFile(inst.rpSelectConfig(), "rp.select = a:1 b:2\n");
  RunResult r = inst.run({"rm-upstream", "-alias", "a"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpConfig()),
            "rp.upstreams[ab].address = other:443\n"
            "\trp.upstreams[a].stat = tab-led\n"
            "rp.upstreams[a].redirectx = kept\n"
            "rp.upstreams[a].weight = kept\n"
            "rp.upstreams[b].address = b:443\n");
  EXPECT_EQ(fileMode(inst.rpConfig()), 0600u);
  EXPECT_EQ(listDir(tmpDir()), std::vector<std::string>{});
}

TEST_F(LineEdit, AliasRenameTouchesOnlySelectEntryNames) {
  writeUpstreamA();
  writeFile(inst.rpSelectConfig(),
            "rp.select = a:10 xa:5 ax:3 c:20 a:1\r\n"
            "certs[x].rp.select = a:5\n"
            "certs[a:1].rp.select=c:1\n"
            "rp.select_threshold = 5\n"
            "# rp.select = a:1\n"
            "rp.selectx = a:1\n"
            "\n"
            "certs[y].rp.select =  c:1 a:2",
            0644);
  RunResult r = inst.run({"change-upstream", "-dc-uid", "U1", "-alias", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpSelectConfig()),
            "rp.select = b:10 xa:5 ax:3 c:20 b:1\n"
            "certs[x].rp.select = b:5\n"
            "certs[a:1].rp.select=c:1\n"
            "rp.select_threshold = 5\n"
            "# rp.select = a:1\n"
            "rp.selectx = a:1\n"
            "\n"
            "certs[y].rp.select =  c:1 b:2\n");
  EXPECT_EQ(fileMode(inst.rpSelectConfig()), 0600u);
  EXPECT_FALSE(pathExists(selectCopy()));
}

TEST_F(LineEdit, AliasRenameCopiesLongSelectLinesWhole) {
  writeUpstreamA();
  std::string before = "rp.select =", after = "rp.select =";
  for (int i = 0; before.size() < (4 << 20); ++i) {
    std::string entry = i % 1000 == 0 ? "a:" : "upstream-" + std::to_string(i) + ":";
    before.append(" ").append(entry).append("1");
    after.append(" ").append(i % 1000 == 0 ? "b:" : entry).append("1");
  }
  const std::string atOldBound = selectLineOfLength("a", 65535);
  writeFile(inst.rpSelectConfig(), atOldBound + "\n" + before + "\n" + atOldBound);
  RunResult r = inst.run({"change-upstream", "-dc-uid", "U1", "-alias", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string got = readFile(inst.rpSelectConfig());
  EXPECT_TRUE(got == atOldBound + "\n" + after + "\n" + atOldBound + "\n") << "size " << got.size();
}

TEST_F(LineEdit, StaleAliasCopyIsTruncatedAndReusedWithItsMode) {
  writeUpstreamA();
  writeFile(inst.rpSelectConfig(), "rp.select = a:1\n", 0644);
  writeFile(selectCopy(), std::string(10000, 'j') + "\n", 0640);
  RunResult r = inst.run({"change-upstream", "-dc-uid", "U1", "-alias", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpSelectConfig()), "rp.select = b:1\n");
  EXPECT_EQ(fileMode(inst.rpSelectConfig()), 0640u);
  EXPECT_FALSE(pathExists(selectCopy()));
}

TEST_F(LineEdit, AliasRenameWithoutSelectFileCreatesNothing) {
  writeUpstreamA();
  RunResult r = inst.run({"change-upstream", "-dc-uid", "U1", "-alias", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(pathExists(inst.rpSelectConfig()));
  EXPECT_FALSE(pathExists(selectCopy()));
}

TEST_F(LineEdit, AliasCopyThatCannotBeOpened) {
  writeUpstreamA();
  writeFile(inst.rpSelectConfig(), "rp.select = a:1", 0644);
  makeDirs(selectCopy());
  RunResult r = inst.run({"change-upstream", "-dc-uid", "U1", "-alias", "b"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Failed to create " + selectCopy() + " (open " + selectCopy() + ": is a directory)\n");
  EXPECT_EQ(readFile(inst.rpSelectConfig()), "rp.select = a:1");
}

TEST_F(LineEdit, AppendKeepsTheModeOfAnExistingFile) {
  writeFile(inst.rpConfig(), "rp.enable = yes\n", 0644);
  RunResult r = inst.run({"add-upstream", "-dc-uid", "U", "-address", "A", "-secret", "S", "-digest", "D"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpConfig()),
            "rp.enable = yes\n"
            "rp.upstreams[U].address = A\n"
            "rp.upstreams[U].secret = S\n"
            "rp.upstreams[U].cert_digest = D\n");
  EXPECT_EQ(fileMode(inst.rpConfig()), 0644u);
}

TEST_F(LineEdit, AppendCreatesAMissingFileWithMode0600) {
  RunResult r = inst.run({"add-upstream", "-dc-uid", "U", "-address", "A", "-secret", "S", "-digest", "D"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fileMode(inst.rpConfig()), 0600u);
}

TEST_F(LineEdit, AppendToAFileThatCannotBeOpened) {
  makeDirs(inst.rpConfig());
  RunResult r = inst.run({"add-upstream", "-dc-uid", "U", "-address", "A", "-secret", "S", "-digest", "D"});
  EXPECT_EQ(r.status, 255);
  const std::string p = inst.rpConfig();
  EXPECT_EQ(r.err, "Failed to open " + p + " (open " + p + ": is a directory)\n");
}

}  // namespace
