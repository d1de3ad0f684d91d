// export-registration and import-registration, end to end.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

class ExportRegistration : public EndToEndTest {};
class ImportRegistration : public EndToEndTest {};

const char kUid[] = "6f1c2d3e-4a5b-11ee-8c90-0242ac120002";
const char kSecret[] = "QWxhZGRpbjpvcGVuIHNlc2FtZUFsYWRkaW46b3Bl";
const char kRegType[] = "truv.rp-registration-info";

// The instance's own identity files, as add-upstream would have made them.
void writeIdentity(const Instance& inst, const std::string& uid = kUid, const std::string& secret = kSecret) {
  writeFile(inst.confd() + "/dc_uid", "dc_uid = " + uid + "\n");
  writeFile(inst.confd() + "/cluster.secret",
            "# This is a shared secret that TRUV peers use for secure communication\ncluster.secret=" + secret +
                "\n");
}

// A .truv.registration-info in dir (absolute).
void writeRegInfo(const std::string& dir, const std::string& address, const std::string& type = kRegType) {
  makeDirs(dir);
  writeFile(dir + "/.truv.registration-info", ".type = " + type + "\ntruv-address = " + address + "\n");
}

void writePemInfo(const std::string& dir, const std::string& digest) {
  makeDirs(dir);
  writeFile(dir + "/truv.pem.info", "digest.sha256 = " + digest + "\n");
}

// A complete registration directory under the truv root.
void writeRegistration(const Instance& inst, const std::string& rel, const std::string& address,
                       const std::string& digest) {
  writeRegInfo(inst.path(rel), address);
  writePemInfo(inst.path(rel), digest);
}

std::string document(const std::string& address, const std::string& digest, const std::string& stat,
                     const std::string& uid = kUid, const std::string& secret = kSecret) {
  return "{\"address\":\"" + address + "\",\"dc-uid\":\"" + uid + "\",\"digest\":\"" + digest +
         "\",\"secret\":\"" + secret + "\",\"stat\":\"" + stat + "\"}";
}

const char kMultiple[] = "Multiple valid rp registrations found, \"-reg-id\" must be specified\n";
const char kNoAddress[] = "Couldn't file a valid .truv.registration-info file that holds the truv address\n";
const char kNoDigest[] = "Couldn't file a valid truv.pem.info file that holds the digest sha\n";

// ---------------------------------------------------------------------------
// export-registration: the registration search

TEST_F(ExportRegistration, OneValidRegistrationAmongInvalidOnes) {
  Instance inst;
  writeIdentity(inst);
  writeRegInfo(inst.path("certs.a"), "wrong-type:1", "truv.something-else");
  writeRegInfo(inst.path("certs.b"), "other-case:1", "TRUV.RP-REGISTRATION-INFO");
  makeDirs(inst.path("certs.c"));  // no files at all
  writeFile(inst.path("certs.c/.truv.registration-info"), "truv-address = no-type:1\n");
  writeRegInfo(inst.path("certs.d"), "east.example:8443", std::string(kRegType) + "-v2");  // longer, passes
  writePemInfo(inst.path("certs.d"), "d1g3st");
  writeRegInfo(inst.path("certs.e"), "after:1", "");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, document("east.example:8443", "d1g3st", "east.example:44444"));
}

TEST_F(ExportRegistration, TwoValidRegistrationsNeedRegId) {
  Instance inst;
  writeIdentity(inst);
  writeRegistration(inst, "certs.one", "one.example:1", "digest-one");
  writeRegistration(inst, "deep/er/certs.two", "two.example:2", "digest-two");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kMultiple);
  EXPECT_EQ(r.out, "");

  r = inst.run({"export-registration", "-reg-id", "one"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("one.example:1", "digest-one", "one.example:44444"));
}

TEST_F(ExportRegistration, RegIdReadsOnlyItsDirectory) {
  Instance inst;
  writeIdentity(inst);
  writeRegistration(inst, "certs.x", "x.example:1", "digest-x");
  writeRegistration(inst, "certs.y", "y.example:1", "digest-y");
  writeRegistration(inst, "deep/certs.z", "z.example:1", "digest-z");
  // certs.x/certs.y is a registration directory of the search, not of -reg-id.
  writeRegistration(inst, "certs.x/certs.y", "nested:1", "digest-nested");

  RunResult r = inst.run({"export-registration", "--reg-id=y"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("y.example:1", "digest-y", "y.example:44444"));
}

TEST_F(ExportRegistration, DigestMayComeFromAnotherDirectory) {
  Instance inst;
  writeIdentity(inst);
  writeRegInfo(inst.path("certs.addr"), "addr.example:7");
  writePemInfo(inst.path("certs.pem"), "digest-elsewhere");  // no registration info here

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("addr.example:7", "digest-elsewhere", "addr.example:44444"));
}

TEST_F(ExportRegistration, DigestSearchCountsDirectoriesWithoutRegistration) {
  Instance inst;
  writeIdentity(inst);
  writeRegistration(inst, "certs.a", "a.example:1", "digest-a");
  writePemInfo(inst.path("certs.b"), "digest-b");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kMultiple);
  EXPECT_EQ(r.out, "");
}

TEST_F(ExportRegistration, NestedRegistrationDirectoriesAreSearched) {
  Instance inst;
  writeIdentity(inst);
  // Neither certs nor certs/a holds anything; the one below them does.
  makeDirs(inst.path("certs/a"));
  writeRegistration(inst, "certs/a/certsXYZ", "nested.example:1", "digest-nested");
  writeRegInfo(inst.path("certs/a/certsXYZ/deeper/certs.bad"), "bad:1", "no");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("nested.example:1", "digest-nested", "nested.example:44444"));

  // A valid registration inside another valid one is a second one.
  writeRegInfo(inst.path("certs"), "outer.example:1");
  r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kMultiple);
}

TEST_F(ExportRegistration, TruvRootNamedCertsIsARegistrationDirectory) {
  Instance inst;
  std::string root = inst.dir() + "/certs.root";
  makeDirs(root + "/conf.d");
  inst.writeTruvConfig("root_dir = " + root + "\n");
  writeFile(root + "/conf.d/dc_uid", std::string("dc_uid = ") + kUid + "\n");
  writeFile(root + "/conf.d/cluster.secret", std::string("cluster.secret=") + kSecret + "\n");
  writeRegInfo(root, "self.example:1");
  writePemInfo(root, "digest-self");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("self.example:1", "digest-self", "self.example:44444"));
}

TEST_F(ExportRegistration, SymbolicLinksAreNeverEntered) {
  Instance inst;
  writeIdentity(inst);
  // The only registration lies outside the root, reached through links: one
  // named like a registration directory, one to a directory above it.
  writeRegistration(inst, "../outside/certs.real", "linked.example:1", "digest-linked");
  ASSERT_EQ(::symlink((inst.dir() + "/outside/certs.real").c_str(), inst.path("certs.link").c_str()), 0);
  ASSERT_EQ(::symlink((inst.dir() + "/outside").c_str(), inst.path("outside-link").c_str()), 0);

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, kNoAddress);
  EXPECT_EQ(r.out, "");

  // -reg-id does follow the link.
  r = inst.run({"export-registration", "-reg-id", "link"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("linked.example:1", "digest-linked", "linked.example:44444"));
}

TEST_F(ExportRegistration, OnlyDirectoriesNamedCertsCount) {
  Instance inst;
  writeIdentity(inst);
  // A file named certs... holding a registration's text, and a directory
  // whose name begins with the letters in another case.
  writeFile(inst.path("certs.file"), std::string(".type = ") + kRegType + "\ntruv-address = file:1\n");
  writeRegistration(inst, "CERTS.upper", "upper.example:1", "digest-upper");
  writeRegistration(inst, "Certs", "capital.example:1", "digest-capital");
  writeRegistration(inst, "x-certs", "infix.example:1", "digest-infix");
  writeRegistration(inst, "certs.ok", "ok.example:1", "digest-ok");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("ok.example:1", "digest-ok", "ok.example:44444"));
}

TEST_F(ExportRegistration, ManyDirectoriesAndDeepNesting) {
  Instance inst;
  writeIdentity(inst);
  for (int i = 0; i < 300; ++i) makeDirs(inst.path("wide/d" + std::to_string(i) + "/certs." + std::to_string(i)));
  std::string deep = "deep";
  for (int i = 0; i < 200; ++i) deep += "/n";
  writeRegistration(inst, deep + "/certs.bottom", "bottom.example:1", "digest-bottom");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, document("bottom.example:1", "digest-bottom", "bottom.example:44444"));
}

// ---------------------------------------------------------------------------
// export-registration: failures, in the order of a run

TEST_F(ExportRegistration, Failures) {
  struct Case {
    const char* name;
    void (*setup)(const Instance&);
    std::vector<std::string> args;
    int status;
    std::string err;  // "%c" stands for conf.d
  };
  const Case cases[] = {
      {"no registration at all", [](const Instance& i) { writeIdentity(i); }, {}, 255, kNoAddress},
      {"registration without digest",
       [](const Instance& i) {
         writeIdentity(i);
         writeRegInfo(i.path("certs.a"), "a:1");
       },
       {}, 255, kNoDigest},
      {"reg-id directory missing",
       [](const Instance& i) {
         writeIdentity(i);
         writeRegistration(i, "certs.other", "o:1", "d");
       },
       {"-reg-id", "gone"}, 10, "Valid registration gone not found (couldn't find address)\n"},
      {"reg-id without valid type",
       [](const Instance& i) {
         writeIdentity(i);
         writeRegInfo(i.path("certs.t"), "t:1", "truv.rp-registration");
         writePemInfo(i.path("certs.t"), "d");
       },
       {"-reg-id", "t"}, 10, "Valid registration t not found (couldn't find address)\n"},
      {"reg-id without digest",
       [](const Instance& i) {
         writeIdentity(i);
         writeRegInfo(i.path("certs.t"), "t:1");
         writePemInfo(i.path("certs.other"), "d");
       },
       {"-reg-id", "t"}, 10, "Valid registration t not found (no valid digest)\n"},
      {"dc_uid missing, before the digest",
       [](const Instance& i) { writeRegInfo(i.path("certs.a"), "a:1"); },
       {}, 255, "Error: invalid config file: no such file or directory\n"},
      {"dc_uid empty",
       [](const Instance& i) {
         writeIdentity(i);
         writeFile(i.confd() + "/dc_uid", "dc_uid =\n");
         writeRegistration(i, "certs.a", "a:1", "d");
       },
       {}, 100, "Error: could not find option \"dc_uid\" in %c/dc_uid\n"},
      {"cluster.secret missing",
       [](const Instance& i) {
         writeIdentity(i);
         ::unlink((i.confd() + "/cluster.secret").c_str());
         writeRegistration(i, "certs.a", "a:1", "d");
       },
       {}, 255, "Error: invalid config file: no such file or directory\n"},
      {"cluster.secret without the key",
       [](const Instance& i) {
         writeIdentity(i);
         writeFile(i.confd() + "/cluster.secret", "# nothing\n");
         writeRegInfo(i.path("certs.a"), "a:1");  // the secret fails before the digest
       },
       {}, 100, "Error: could not find option \"cluster.secret\" in %c/cluster.secret\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Instance inst;
    c.setup(inst);
    std::string out = inst.dir() + "/out.json";
    writeFile(out, "previous export", 0640);
    std::vector<std::string> args = {"export-registration", "-out", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = inst.run(args);
    std::string err = c.err;
    if (size_t p = err.find("%c"); p != std::string::npos) err.replace(p, 2, inst.confd());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
    // The output file is not touched before all five values are known.
    EXPECT_EQ(readFile(out), "previous export");
    EXPECT_EQ(fileMode(out), 0640u);
  }
}

TEST_F(ExportRegistration, StatEndpoint) {
  struct Case {
    const char* address;
    const char* listen;  // nullptr: no stat.prometheus.listen_addr
    const char* stat;
  };
  const Case cases[] = {
      {"east.example:8443", "0.0.0.0:9100", "east.example:9100"},
      {"east.example:8443", nullptr, "east.example:44444"},
      {"east.example:8443", "9100", "east.example:44444"},  // no ":", the port is not taken
      {"east.example:8443", "10.0.0.1:", "east.example:"},
      {"east.example", ":9100", "east.example:9100"},  // no ":" in the address: all of it
      {"[2001:db8::1]:8443", "[::]:9100", "[2001:db8::1]:9100"},
      {"2001:db8::1", ":9100", "2001:db8::9100"},  // textual split
      {"a:b:c", "x:y:z", "a:b:z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " / " + (c.listen ? c.listen : "(none)"));
    Instance inst;
    writeIdentity(inst);
    writeRegistration(inst, "certs.s", c.address, "d");
    std::string conf = "root_dir = " + inst.root() + "\n";
    if (c.listen != nullptr) conf += std::string("stat.prometheus.listen_addr = ") + c.listen + "\n";
    inst.writeTruvConfig(conf);
    RunResult r = inst.run({"export-registration"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, document(c.address, "d", c.stat));
  }
}

TEST_F(ExportRegistration, DocumentEscapesHtmlCharacters) {
  Instance inst;
  writeIdentity(inst, "uid<1>&2", "sec/ret&");
  writeRegistration(inst, "certs.h", "<east>&co:1", "dig>est");

  RunResult r = inst.run({"export-registration"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"address\":\"\\u003ceast\\u003e\\u0026co:1\",\"dc-uid\":\"uid\\u003c1\\u003e\\u00262\","
            "\"digest\":\"dig\\u003eest\",\"secret\":\"sec/ret\\u0026\","
            "\"stat\":\"\\u003ceast\\u003e\\u0026co:44444\"}");
}

// ---------------------------------------------------------------------------
// export-registration: output file and lock

TEST_F(ExportRegistration, OutFileIsTruncatedAndKeepsItsMode) {
  Instance inst;
  writeIdentity(inst);
  writeRegistration(inst, "certs.a", "a.example:1", "d");
  std::string want = document("a.example:1", "d", "a.example:44444");

  std::string existing = inst.dir() + "/existing.json";
  writeFile(existing, std::string(4096, 'x'), 0604);
  RunResult r = inst.run({"export-registration", "-out", existing});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(readFile(existing), want);
  EXPECT_EQ(fileMode(existing), 0604u);

  // A new file, relative to the working directory, takes 0666 less the umask.
  RunOptions o;
  o.umask = 002;
  r = inst.run({"export-registration", "-out=new.json"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.dir() + "/new.json"), want);
  EXPECT_EQ(fileMode(inst.dir() + "/new.json"), 0664u);
}

TEST_F(ExportRegistration, OutFileFailures) {
  Instance inst;
  writeIdentity(inst);
  writeRegistration(inst, "certs.a", "a.example:1", "d");

  RunResult r = inst.run({"export-registration", "-out", inst.dir()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Failed to creat " + inst.dir() + " (open " + inst.dir() + ": is a directory)\n");

  // A document that cannot be written is no export.
  r = inst.run({"export-registration", "-out", "/dev/full"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Failed to write to file /dev/full (write /dev/full: no space left on device)\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(ExportRegistration, RegistrationLockFileIsCreated) {
  Instance inst;
  writeIdentity(inst);
  RunOptions o;
  o.umask = 0;
  // Created even by a run that fails later, with 0600 whatever the umask.
  RunResult r = inst.run({"export-registration"}, o);
  EXPECT_EQ(r.status, 255);
  std::string lock = inst.confd() + "/-kestrane-truv-register.lock";
  ASSERT_TRUE(pathExists(lock));
  EXPECT_EQ(fileMode(lock), 0600u);
  EXPECT_EQ(readFile(lock), "");
}

TEST_F(ExportRegistration, MissingConfDirFailsAtTheLock) {
  Instance inst;
  writeRegistration(inst, "certs.a", "a.example:1", "d");
  ASSERT_EQ(::rmdir(inst.confd().c_str()), 0);
  RunResult r = inst.run({"export-registration"});
  std::string lock = inst.confd() + "/-kestrane-truv-register.lock";
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "error during file '" + lock + "' locking open " + lock + ": no such file or directory\n");
  EXPECT_FALSE(pathExists(inst.confd()));
}

// ---------------------------------------------------------------------------
// import-registration

const char kFullDoc[] =
    "{\"address\":\"east.example:8443\",\"dc-uid\":\"U-1\",\"digest\":\"ab:cd\",\"secret\":\"s3cret\","
    "\"stat\":\"east.example:9100\"}";
const char kFullBlock[] =
    "\nrp.upstreams[U-1].dc_uid = U-1\n"
    "rp.upstreams[U-1].address = east.example:8443\n"
    "rp.upstreams[U-1].stat = east.example:9100\n"
    "rp.upstreams[U-1].secret = s3cret\n"
    "rp.upstreams[U-1].cert_digest= ab:cd\n";

bool identityFilesExist(const Instance& inst) {
  return pathExists(inst.confd() + "/dc_uid") && pathExists(inst.confd() + "/cluster.secret");
}

TEST_F(ImportRegistration, IntoMissingRpConfigThenAgain) {
  Instance inst;
  RunResult r = inst.run({"import-registration"}, kFullDoc);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(readFile(inst.rpConfig()), std::string("rp.enable = yes\n") + kFullBlock);
  EXPECT_EQ(fileMode(inst.rpConfig()), 0644u);  // 0666 less the umask 022
  EXPECT_TRUE(identityFilesExist(inst));

  // The new upstream reads back as imported.
  r = inst.run({"get-upstream", "-dc-uid", "U-1", "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"address\":\"east.example:8443\",\"alias\":\"U-1\",\"digest\":\"ab:cd\",\"secret\":\"s3cret\","
            "\"stat\":\"east.example:9100\"}\n");

  r = inst.run({"import-registration"}, kFullDoc);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.err, "Registration exists\n");
  EXPECT_EQ(readFile(inst.rpConfig()), std::string("rp.enable = yes\n") + kFullBlock);
}

TEST_F(ImportRegistration, FromInFileWithAliasAfterUnterminatedLine) {
  Instance inst;
  writeFile(inst.rpConfig(), "rp.enable = yes", 0600);
  std::string in = inst.dir() + "/reg.json";
  writeFile(in, kFullDoc);
  RunResult r = inst.run({"import-registration", "-alias", "east", "-in", in});
  EXPECT_EQ(r.status, 0) << r.err;
  // The block's first newline ends the last line; the dc_uid line is kept.
  EXPECT_EQ(readFile(inst.rpConfig()),
            "rp.enable = yes\n"
            "rp.upstreams[east].dc_uid = U-1\n"
            "rp.upstreams[east].address = east.example:8443\n"
            "rp.upstreams[east].stat = east.example:9100\n"
            "rp.upstreams[east].secret = s3cret\n"
            "rp.upstreams[east].cert_digest= ab:cd\n");
  EXPECT_EQ(fileMode(inst.rpConfig()), 0600u);
}

TEST_F(ImportRegistration, ExistingRegistration) {
  struct Case {
    const char* name;
    std::string rp;
    std::vector<std::string> args;
    std::string doc;
  };
  const Case cases[] = {
      {"yes of rp.enable", "rp.enable = yes\n", {}, "{\"dc-uid\":\"yes\"}"},
      {"dc-uid held by another alias", "rp.upstreams[west].dc_uid = U-1\n", {"-alias", "new"}, kFullDoc},
      {"dc-uid as any raw value", "something.else = U-1\n", {"-alias", "new"}, kFullDoc},
      {"dc-uid as alias with an address", "rp.upstreams[U-1].address = x:1\n", {"-alias", "new"}, kFullDoc},
      {"alias without dc-uid", "rp.upstreams[only].address = x:1\n", {"-alias", "only"}, "{\"address\":\"y:2\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Instance inst;
    writeFile(inst.rpConfig(), c.rp, 0600);
    std::vector<std::string> args = {"import-registration"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = inst.run(args, c.doc);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.err, "Registration exists\n");
    EXPECT_EQ(readFile(inst.rpConfig()), c.rp);
    EXPECT_FALSE(pathExists(inst.confd() + "/dc_uid"));
  }
}

TEST_F(ImportRegistration, ConflictWithThePropertiesOfTheAlias) {
  struct Case {
    const char* existing;
    const char* property;
  };
  const Case cases[] = {
      {"rp.upstreams[east].dc_uid = other\n", "dc_uid"},
      {"rp.upstreams[east].address = old.example:1\n", "address"},
      {"rp.upstreams[east].stat = old.example:2\n", "stat"},
      {"rp.upstreams[east].cert_digest = old\n", "cert_digest"},
      // The first conflict in the order of the lines is named.
      {"rp.upstreams[east].cert_digest = old\nrp.upstreams[east].stat = s\n", "stat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.existing);
    Instance inst;
    std::string rp = std::string("rp.enable = yes\n") + c.existing;
    writeFile(inst.rpConfig(), rp, 0600);
    RunResult r = inst.run({"import-registration", "-alias", "east"}, kFullDoc);
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(r.err, std::string(c.property) + " already exists in rp config\n");
    EXPECT_EQ(readFile(inst.rpConfig()), rp);
    EXPECT_FALSE(pathExists(inst.confd() + "/dc_uid"));
  }
}

TEST_F(ImportRegistration, OnlyPropertiesTheDocumentBringsConflict) {
  Instance inst;
  // east has a secret and a stat; the document brings neither a stat nor a
  // dc-uid, so nothing conflicts and east gets a second secret line.
  std::string rp = "rp.upstreams[east].secret = one\nrp.upstreams[east].stat = s:1\n";
  writeFile(inst.rpConfig(), rp, 0600);
  RunResult r = inst.run({"import-registration", "-alias", "east"}, "{\"address\":\"e:1\",\"secret\":\"two\"}");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpConfig()),
            rp + "\nrp.upstreams[east].address = e:1\nrp.upstreams[east].secret = two\n");
}

TEST_F(ImportRegistration, EmptyDocuments) {
  for (const char* doc : {"null", "{}", " {\"dc-uid\":null,\"address\":\"\"} "}) {
    SCOPED_TRACE(doc);
    {
      Instance inst;
      RunResult r = inst.run({"import-registration", "-alias", "bare"}, doc);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(readFile(inst.rpConfig()), "rp.enable = yes\n\nrp.upstreams[bare].secret = \n");
      EXPECT_TRUE(identityFilesExist(inst));
    }
    {
      Instance inst;
      RunResult r = inst.run({"import-registration"}, doc);
      EXPECT_EQ(r.status, 10);
      EXPECT_EQ(r.err, "Either a dc-uid should be specified in the input or -alias set\n");
      EXPECT_FALSE(pathExists(inst.rpConfig()));
      EXPECT_EQ(listDir(inst.confd()), std::vector<std::string>{});
    }
  }
}

TEST_F(ImportRegistration, UnknownAndDifferentlyCasedMembersAreIgnored) {
  Instance inst;
  RunResult r = inst.run({"import-registration"},
                         "{\"DC-UID\":\"X\",\"Address\":\"a:1\",\"dc-uid\":\"U\",\"note\":\"hi\","
                         "\"digest\":\"first\",\"digest\":\"last\",\"stat\":null}");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpConfig()),
            "rp.enable = yes\n\nrp.upstreams[U].dc_uid = U\nrp.upstreams[U].secret = \n"
            "rp.upstreams[U].cert_digest= last\n");
}

TEST_F(ImportRegistration, RejectedDocuments) {
  const char* docs[] = {
      "",                                           // empty standard input
      "{\"dc-uid\":\"U\",\"port\":1}",              // a number, in a member not read
      "{\"dc-uid\":1}",                             // a number, in a member read
      "{\"dc-uid\":\"U\"} {\"dc-uid\":\"V\"}",      // two documents
      "{\"dc-uid\":\"U\"} x",                       // text after the value
      "[{\"dc-uid\":\"U\"}]",                       // not an object
      "\"U\"",
      "{\"dc-uid\":\"U\",\"extra\":{}}",
      "{\"dc-uid\":\"U\",\"extra\":true}",
  };
  for (const char* doc : docs) {
    SCOPED_TRACE(doc);
    Instance inst;
    RunResult r = inst.run({"import-registration", "-alias", "a"}, doc);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.rfind("Couldn't parse json: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_FALSE(pathExists(inst.rpConfig()));
  }
}

TEST_F(ImportRegistration, TrailingWhiteSpaceIsAccepted) {
  Instance inst;
  RunResult r = inst.run({"import-registration"}, std::string(" \n") + kFullDoc + "\r\n\t \n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inst.rpConfig()), std::string("rp.enable = yes\n") + kFullBlock);
}

TEST_F(ImportRegistration, InFileFailures) {
  Instance inst;
  RunResult r = inst.run({"import-registration", "-in", "missing.json"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Failed to read input file missing.json (open missing.json: no such file or directory)\n");

  r = inst.run({"import-registration", "-in", inst.root()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Failed to read input file " + inst.root() + " (read " + inst.root() + ": is a directory)\n");
  EXPECT_FALSE(pathExists(inst.rpConfig()));
}

TEST_F(ImportRegistration, LineBreaksAndNulAreRefusedBeforeAnyWrite) {
  struct Case {
    std::vector<std::string> args;
    std::string doc;
    std::string message;
  };
  auto value = [](const std::string& what) {
    return "Invalid value for \"" + what + "\": line breaks and NUL bytes are not allowed";
  };
  const Case cases[] = {
      {{}, "{\"dc-uid\":\"U\\nrp.enable = no\"}",
       "dc-uid \"U\\nrp.enable = no\" cannot be an alias: it holds a line break"},
      {{"-alias", "a"}, "{\"dc-uid\":\"U\\r\"}", value("dc-uid")},
      {{"-alias", "a"}, "{\"address\":\"x:1\\r\"}", value("address")},
      {{"-alias", "a"}, "{\"stat\":\"s\\u0000t\"}", value("stat")},
      {{"-alias", "a"}, "{\"secret\":\"\\nrp.upstreams[evil].address = x\"}", value("secret")},
      {{"-alias", "a"}, "{\"digest\":\"d\\r\\n\"}", value("digest")},
      {{"-alias", "a\nb"}, "{\"dc-uid\":\"U\"}", "-alias \"a\\nb\" cannot be an alias: it holds a line break"},
      {{"-alias", "a\rb"}, "null", "-alias \"a\\rb\" cannot be an alias: it holds a line break"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc);
    Instance inst;
    std::vector<std::string> args = {"import-registration"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = inst.run(args, c.doc);
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(r.err, c.message + "\n");
    EXPECT_FALSE(pathExists(inst.rpConfig()));
    EXPECT_EQ(listDir(inst.confd()), std::vector<std::string>{});
  }
}

TEST_F(ImportRegistration, ExportedDocumentImportsOnAnotherInstance) {
  Instance east;
  writeIdentity(east);
  writeRegistration(east, "certs.east", "east.example:8443", "sha256:0f:1e");
  east.writeTruvConfig("root_dir = " + east.root() + "\nstat.prometheus.listen_addr = 0.0.0.0:9100\n");
  std::string file = east.dir() + "/east.json";
  RunResult r = east.run({"export-registration", "-out", file});
  ASSERT_EQ(r.status, 0) << r.err;

  Instance west;
  r = west.run({"import-registration", "-in", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(west.rpConfig()), std::string("rp.enable = yes\n\n") +
                                           "rp.upstreams[" + kUid + "].dc_uid = " + kUid + "\n" +
                                           "rp.upstreams[" + kUid + "].address = east.example:8443\n" +
                                           "rp.upstreams[" + kUid + "].stat = east.example:9100\n" +
                                           "rp.upstreams[" + kUid + "].secret = " + kSecret + "\n" +
                                           "rp.upstreams[" + kUid + "].cert_digest= sha256:0f:1e\n");
  // west made its own identity, not east's.
  EXPECT_NE(readFile(west.confd() + "/dc_uid"), readFile(east.confd() + "/dc_uid"));
}

// Every document that a JSON parser must reject is refused, and nothing is
// written for it.
TEST_F(ImportRegistration, JsonTestSuiteRejections) {
  std::string dir = std::string(testdataDir()) + "/JSONTestSuite/test_parsing";
  std::vector<std::string> rejected;
  for (const std::string& name : listDir(dir))
    if (name.rfind("n_", 0) == 0) rejected.push_back(name);
  ASSERT_GT(rejected.size(), 100u);
  Instance inst;
  for (const std::string& name : rejected) {
    SCOPED_TRACE(name);
    RunResult r = inst.run({"import-registration", "-alias", "a", "-in", dir + "/" + name});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.err.rfind("Couldn't parse json: ", 0), 0u) << r.err;
    ASSERT_FALSE(pathExists(inst.rpConfig()));
  }
}

}  // namespace
