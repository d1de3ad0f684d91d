// Each configuration file is parsed once per run, and again only after the
// run changed it: counted as the opens for reading that strace sees (a parse
// opens its file once; a rewrite opens the file it replaces without following
// a link, which tells the two apart).
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "harness.h"

namespace {

class ParseCount : public EndToEndTest {};

const char kStrace[] = "/usr/bin/strace";

// Opens for reading by path, a rewrite's open (O_NOFOLLOW) left out.
std::map<std::string, int> readsByPath(const std::string& trace) {
  static const RE2 open(R"re(open(?:at)?\((?:AT_FDCWD, )?"([^"]*)", (O_RDONLY[A-Z_|]*)[,)])re");
  std::map<std::string, int> reads;
  re2::StringPiece in(trace);
  std::string path, flags;
  while (RE2::FindAndConsume(&in, open, &path, &flags)) {
    if (flags.find("O_NOFOLLOW") == std::string::npos && flags.find("O_DIRECTORY") == std::string::npos)
      ++reads[path];
  }
  return reads;
}

TEST_F(ParseCount, EachFileIsParsedOncePerChange) {
  if (::access(kStrace, X_OK) != 0) GTEST_SKIP() << kStrace << " is missing (scripts/install-deps.sh installs it)";
  struct Case {
    std::vector<std::string> args;
    int rp, select, truvConfig;  // expected parses
  };
  const Case cases[] = {
      {{"upstreams"}, 1, 0, 1},
      {{"get-upstream", "-dc-uid", "U1", "-j"}, 1, 0, 1},
      {{"change-upstream", "-dc-uid", "U1", "-alias", "north"}, 1, 0, 1},
      {{"rm-upstream", "-dc-uid", "U1"}, 1, 1, 1},
      {{"accounts-balancing", "-get-threshold", "-weights"}, 1, 1, 1},
      // The weight query reads the threshold that the same run has written.
      {{"accounts-balancing", "-get-threshold", "-set-threshold", "5", "-weights"}, 1, 2, 1},
      {{"export-registration"}, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    Instance inst;
    writeFile(inst.rpConfig(),
              "rp.upstreams[east].dc_uid = U1\n"
              "rp.upstreams[east].address = east.example:443\n"
              "rp.upstreams[W].address = w.example\n",
              0600);
    writeFile(inst.rpSelectConfig(), "rp.select = east:1 W:2\ncerts[d].rp.select = east:3\nrp.select_threshold = 4",
              0600);
    writeFile(inst.confd() + "/dc_uid", "dc_uid = 6c1f0b52-5b2e-11ee-8c99-0242ac120002\n");
    writeFile(inst.confd() + "/cluster.secret", "cluster.secret=c\n");
    makeDirs(inst.path("certs.x"));
    writeFile(inst.path("certs.x/.truv.registration-info"), ".type = truv.rp-registration-info\ntruv-address = a:1\n");
    writeFile(inst.path("certs.x/truv.pem.info"), "digest.sha256 = d\n");
    const std::string traceFile = inst.dir() + "/trace";
    RunOptions o;
    o.wrapper = {kStrace, "-f", "-qq", "-o", traceFile, "-e", "trace=open,openat"};
    RunResult r = inst.run(c.args, o);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> reads = readsByPath(readFile(traceFile));
    EXPECT_EQ(reads[inst.rpConfig()], c.rp);
    EXPECT_EQ(reads[inst.rpSelectConfig()], c.select);
    EXPECT_EQ(reads["/etc/kestrane/truv.config"], c.truvConfig);
    if (c.args[0] == "export-registration") {
      EXPECT_EQ(reads[inst.confd() + "/dc_uid"], 1);
      EXPECT_EQ(reads[inst.confd() + "/cluster.secret"], 1);
    }
  }
}

}  // namespace
