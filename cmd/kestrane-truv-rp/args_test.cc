#include "args.h"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fsutil.h"

namespace {

// What a piece of code that ends the process left behind.
struct Exit {
  int status = -1;
  std::string out, err;
};

// Runs fn in a child process with stdout and stderr captured. Everything
// tested here writes far less than a pipe holds, so reading after the child
// ends cannot block it.
Exit runChild(const std::function<void()>& fn) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    fn();
    _exit(99);  // fn was expected to end the process
  }
  close(out[1]);
  close(err[1]);
  Exit e;
  readAllFd(out[0], &e.out);
  readAllFd(err[0], &e.err);
  close(out[0]);
  close(err[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  e.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return e;
}

// ---- quoteValue ------------------------------------------------------------

TEST(QuoteValueTest, EscapesLikeMessagesNeed) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {"\a\b\f\n\r\t\v", R"("\a\b\f\n\r\t\v")"},
      {std::string("a\0b", 3), R"("a\x00b")"},
      {"\x01\x1f\x7f", R"("\x01\x1f\x7f")"},
      {"\x1b[0m", R"("\x1b[0m")"},
      // Invalid UTF-8: stray continuation, truncated sequence, overlong
      // form, encoded surrogate, beyond U+10FFFF; each byte on its own.
      {"\x80", R"("\x80")"},
      {"a\xc3", R"("a\xc3")"},
      {"\xc3(", R"("\xc3(")"},
      {"\xc0\xaf", R"("\xc0\xaf")"},
      {"\xed\xa0\x80", R"("\xed\xa0\x80")"},
      {"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},
      {"\xff\xfe", R"("\xff\xfe")"},
      // Printable non-ASCII characters stay as they are.
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd\""},
      // Valid but not printable characters.
      {"\xc2\x85", R"("\u0085")"},            // C1 control
      {"\xc2\xa0", R"("\u00a0")"},            // no-break space
      {"\xc2\xad", R"("\u00ad")"},            // soft hyphen
      {"\xe2\x80\x8b", R"("\u200b")"},        // zero-width space
      {"\xe2\x80\xa8\xe2\x80\xa9", R"("\u2028\u2029")"},
      {"\xef\xbb\xbf", R"("\ufeff")"},
      {"\xef\xbf\xbf", R"("\uffff")"},
      {"\xf3\xa0\x80\x81", R"("\U000e0001")"},  // language tag
      {"\xf4\x8f\xbf\xbd", R"("\U0010fffd")"},  // private use
  };
  for (const auto& c : cases) EXPECT_EQ(quoteValue(c.in), c.want) << c.want;
}

// ---- Integer conversion ------------------------------------------------------

TEST(ParseOptionIntTest, BasesSignsAndUnderscores) {
  struct Case {
    const char* in;
    IntError err;
    int64_t want;
  } cases[] = {
      {"0", IntError::kNone, 0},
      {"42", IntError::kNone, 42},
      {"+5", IntError::kNone, 5},
      {"-7", IntError::kNone, -7},
      {"0x1F", IntError::kNone, 31},
      {"0X1f", IntError::kNone, 31},
      {"-0x10", IntError::kNone, -16},
      {"010", IntError::kNone, 8},
      {"-010", IntError::kNone, -8},
      {"0b11", IntError::kNone, 3},
      {"0B101", IntError::kNone, 5},
      {"0o17", IntError::kNone, 15},
      {"0O17", IntError::kNone, 15},
      {"00", IntError::kNone, 0},
      {"1_000", IntError::kNone, 1000},
      {"0x_1F", IntError::kNone, 31},
      {"0b_1_0", IntError::kNone, 2},
      {"0_1", IntError::kNone, 1},   // the leading 0 is a digit
      {"0_17", IntError::kNone, 15},
      {"9223372036854775807", IntError::kNone, INT64_MAX},
      {"-9223372036854775808", IntError::kNone, INT64_MIN},
      {"0x7fffffffffffffff", IntError::kNone, INT64_MAX},
      {"-0x8000000000000000", IntError::kNone, INT64_MIN},
      {"", IntError::kSyntax, 0},
      {"+", IntError::kSyntax, 0},
      {"-", IntError::kSyntax, 0},
      {"1.5", IntError::kSyntax, 0},
      {"ten", IntError::kSyntax, 0},
      {" 1", IntError::kSyntax, 0},
      {"1 ", IntError::kSyntax, 0},
      {"_1", IntError::kSyntax, 0},
      {"1_", IntError::kSyntax, 0},
      {"1__0", IntError::kSyntax, 0},
      {"-_1", IntError::kSyntax, 0},
      {"0x", IntError::kSyntax, 0},
      {"0x_", IntError::kSyntax, 0},
      {"0b", IntError::kSyntax, 0},
      {"0o", IntError::kSyntax, 0},
      {"08", IntError::kSyntax, 0},
      {"0b2", IntError::kSyntax, 0},
      {"0xg", IntError::kSyntax, 0},
      {"1f", IntError::kSyntax, 0},
      {"0_x1", IntError::kSyntax, 0},
      {"--1", IntError::kSyntax, 0},
      {"9223372036854775808", IntError::kRange, 0},
      {"-9223372036854775809", IntError::kRange, 0},
      {"0x8000000000000000", IntError::kRange, 0},
      {"99999999999999999999999", IntError::kRange, 0},
      // Malformed text is malformed, however long its number.
      {"99999999999999999999999x", IntError::kSyntax, 0},
  };
  for (const auto& c : cases) {
    int64_t got = 12345;
    EXPECT_EQ(parseOptionInt(c.in, &got), c.err) << '"' << c.in << '"';
    EXPECT_EQ(got, c.err == IntError::kNone ? c.want : 12345) << '"' << c.in << '"';
  }
}

TEST(ParseDecimalIntTest, StrictDecimal) {
  struct Case {
    const char* in;
    IntError err;
    int64_t want;
  } cases[] = {
      {"0", IntError::kNone, 0},
      {"100", IntError::kNone, 100},
      {"007", IntError::kNone, 7},  // leading zeros are decimal here
      {"+5", IntError::kNone, 5},
      {"-1", IntError::kNone, -1},
      {"-9223372036854775808", IntError::kNone, INT64_MIN},
      {"9223372036854775807", IntError::kNone, INT64_MAX},
      {"", IntError::kSyntax, 0},
      {"+", IntError::kSyntax, 0},
      {"0x10", IntError::kSyntax, 0},
      {"1_000", IntError::kSyntax, 0},
      {" 5", IntError::kSyntax, 0},
      {"5 ", IntError::kSyntax, 0},
      {"1.0", IntError::kSyntax, 0},
      {"abc", IntError::kSyntax, 0},
      {"9223372036854775808", IntError::kRange, 0},
      {"-9223372036854775809", IntError::kRange, 0},
  };
  for (const auto& c : cases) {
    int64_t got = 12345;
    EXPECT_EQ(parseDecimalInt(c.in, &got), c.err) << '"' << c.in << '"';
    EXPECT_EQ(got, c.err == IntError::kNone ? c.want : 12345) << '"' << c.in << '"';
  }
}

TEST(IntErrorTextTest, QuotesTheInput) {
  EXPECT_EQ(intErrorText("abc", IntError::kSyntax), R"(parsing "abc": invalid syntax)");
  EXPECT_EQ(intErrorText("99999999999999999999", IntError::kRange),
            R"(parsing "99999999999999999999": value out of range)");
  EXPECT_EQ(intErrorText("a\"\n", IntError::kSyntax), R"(parsing "a\"\n": invalid syntax)");
}

// ---- The option parser -------------------------------------------------------

// A set with one option of each kind plus a second string, like the tool's.
struct Opts {
  std::string dcUid = "junk", alias = "junk";
  bool j = true;
  int64_t threshold = 77;
  FlagSet set{"prog"};
  Opts() {
    set.String("dc-uid", &dcUid, "", "DC UID of the upstream");
    set.String("alias", &alias, "", "Alias for the upstream");
    set.Bool("j", &j, "Print result in json format");
    set.Int("set-threshold", &threshold, -1, "Set the current threshold");
  }
  std::vector<std::string> positional() const {
    std::vector<std::string> v;
    for (size_t i = 0; i < set.NArg(); ++i) v.push_back(set.Arg(i));
    return v;
  }
};

TEST(FlagSetTest, RegistrationStoresDefaults) {
  Opts o;
  EXPECT_EQ(o.dcUid, "");
  EXPECT_EQ(o.alias, "");
  EXPECT_FALSE(o.j);
  EXPECT_EQ(o.threshold, -1);
}

TEST(FlagSetTest, ParsesTable) {
  using V = std::vector<std::string>;
  using O = FlagSet::Outcome;
  struct Case {
    V args;
    O outcome;
    std::string message;  // for kError
    // Expected values after a successful parse.
    std::string dcUid = "", alias = "";
    bool j = false;
    int64_t threshold = -1;
    V positional = {};
  } cases[] = {
      {{}, O::kOk, ""},
      {{"-dc-uid", "U"}, O::kOk, "", "U"},
      {{"--dc-uid", "U"}, O::kOk, "", "U"},
      {{"-dc-uid=U"}, O::kOk, "", "U"},
      {{"--dc-uid=U"}, O::kOk, "", "U"},
      {{"-dc-uid="}, O::kOk, "", ""},
      {{"-dc-uid=a=b"}, O::kOk, "", "a=b"},
      // A string option takes the next argument whatever it holds.
      {{"-dc-uid", "-alias"}, O::kOk, "", "-alias"},
      {{"-dc-uid", "-alias", "A"}, O::kOk, "", "-alias", "", false, -1, {"A"}},
      {{"-dc-uid", "--"}, O::kOk, "", "--"},
      {{"-dc-uid", ""}, O::kOk, "", ""},
      {{"-dc-uid", "a", "-dc-uid", "b"}, O::kOk, "", "b"},
      {{"-dc-uid", "U", "-alias", "A"}, O::kOk, "", "U", "A"},
      // Booleans never take the next argument.
      {{"-j"}, O::kOk, "", "", "", true},
      {{"--j"}, O::kOk, "", "", "", true},
      {{"-j", "false"}, O::kOk, "", "", "", true, -1, {"false"}},
      {{"-j=false"}, O::kOk, "", "", "", false},
      {{"-j=1"}, O::kOk, "", "", "", true},
      {{"-j", "-j=false"}, O::kOk, "", "", "", false},
      {{"-j=0", "-j"}, O::kOk, "", "", "", true},
      // Integers.
      {{"--set-threshold=0x10"}, O::kOk, "", "", "", false, 16},
      {{"-set-threshold", "-5"}, O::kOk, "", "", "", false, -5},
      {{"-set-threshold", "1_0", "-set-threshold", "010"}, O::kOk, "", "", "", false, 8},
      // Where parsing stops.
      {{"word", "-j"}, O::kOk, "", "", "", false, -1, {"word", "-j"}},
      {{"-j", "word", "-dc-uid", "U"}, O::kOk, "", "", "", true, -1, {"word", "-dc-uid", "U"}},
      {{"-", "-j"}, O::kOk, "", "", "", false, -1, {"-", "-j"}},
      {{"", "-j"}, O::kOk, "", "", "", false, -1, {"", "-j"}},
      {{"--", "-j"}, O::kOk, "", "", "", false, -1, {"-j"}},
      {{"-j", "--", "--", "x"}, O::kOk, "", "", "", true, -1, {"--", "x"}},
      {{"-j", "--"}, O::kOk, "", "", "", true},
      {{"50", "-domain", "d"}, O::kOk, "", "", "", false, -1, {"50", "-domain", "d"}},
      // The five messages.
      {{"---x"}, O::kError, "bad flag syntax: ---x"},
      {{"-=x"}, O::kError, "bad flag syntax: -=x"},
      {{"--=x"}, O::kError, "bad flag syntax: --=x"},
      {{"-="}, O::kError, "bad flag syntax: -="},
      {{"---"}, O::kError, "bad flag syntax: ---"},
      {{"-x"}, O::kError, "flag provided but not defined: -x"},
      {{"-x=1"}, O::kError, "flag provided but not defined: -x"},
      {{"--no-such=a=b"}, O::kError, "flag provided but not defined: -no-such"},
      {{"-J"}, O::kError, "flag provided but not defined: -J"},
      {{"-j=yes"}, O::kError, R"(invalid boolean value "yes" for -j: parse error)"},
      {{"-j="}, O::kError, R"(invalid boolean value "" for -j: parse error)"},
      {{"-j=\t"}, O::kError, R"(invalid boolean value "\t" for -j: parse error)"},
      {{"-dc-uid"}, O::kError, "flag needs an argument: -dc-uid"},
      {{"-j", "--set-threshold"}, O::kError, "flag needs an argument: -set-threshold"},
      {{"-set-threshold="}, O::kError, R"(invalid value "" for flag -set-threshold: parse error)"},
      {{"-set-threshold", "1.5"}, O::kError, R"(invalid value "1.5" for flag -set-threshold: parse error)"},
      {{"-set-threshold", "9223372036854775808"},
       O::kError,
       R"(invalid value "9223372036854775808" for flag -set-threshold: value out of range)"},
      // The first problem decides.
      {{"-x", "-h"}, O::kError, "flag provided but not defined: -x"},
      {{"-dc-uid", "U", "---", "-x"}, O::kError, "bad flag syntax: ---"},
      // Help, when no option of that name is registered.
      {{"-h"}, O::kHelp, ""},
      {{"--h"}, O::kHelp, ""},
      {{"-help"}, O::kHelp, ""},
      {{"--help"}, O::kHelp, ""},
      {{"-h=1"}, O::kHelp, ""},
      {{"--help="}, O::kHelp, ""},
      {{"-j", "-h", "-x"}, O::kHelp, ""},
      {{"-hh"}, O::kError, "flag provided but not defined: -hh"},
  };
  for (const auto& c : cases) {
    std::string where;
    for (const auto& a : c.args) where += "[" + a + "]";
    Opts o;
    std::string message;
    ASSERT_EQ(o.set.TryParse(c.args, &message), c.outcome) << where;
    if (c.outcome == O::kError) {
      EXPECT_EQ(message, c.message) << where;
    }
    if (c.outcome != O::kOk) continue;
    EXPECT_EQ(o.dcUid, c.dcUid) << where;
    EXPECT_EQ(o.alias, c.alias) << where;
    EXPECT_EQ(o.j, c.j) << where;
    EXPECT_EQ(o.threshold, c.threshold) << where;
    EXPECT_EQ(o.positional(), c.positional) << where;
  }
}

TEST(FlagSetTest, EveryBooleanSpelling) {
  for (const char* t : {"1", "t", "T", "TRUE", "true", "True"}) {
    Opts o;
    o.j = false;
    std::string message;
    ASSERT_EQ(o.set.TryParse({std::string("-j=") + t}, &message), FlagSet::Outcome::kOk) << t;
    EXPECT_TRUE(o.j) << t;
  }
  for (const char* f : {"0", "f", "F", "FALSE", "false", "False"}) {
    Opts o;
    std::string message;
    ASSERT_EQ(o.set.TryParse({"-j", std::string("-j=") + f}, &message), FlagSet::Outcome::kOk) << f;
    EXPECT_FALSE(o.j) << f;
  }
  for (const char* bad : {"tRUE", "yes", "2", "on", " true", "fAlse"}) {
    Opts o;
    std::string message;
    EXPECT_EQ(o.set.TryParse({std::string("-j=") + bad}, &message), FlagSet::Outcome::kError) << bad;
  }
}

TEST(FlagSetTest, ArgBeyondTheEndIsEmpty) {
  Opts o;
  std::string message;
  ASSERT_EQ(o.set.TryParse({"-j", "50"}, &message), FlagSet::Outcome::kOk);
  EXPECT_EQ(o.set.Arg(0), "50");
  EXPECT_EQ(o.set.Arg(1), "");
  EXPECT_EQ(o.set.Arg(100), "");
}

const char kOptsListing[] =
    "Usage of prog:\n"
    "  -alias string\n"
    "    \tAlias for the upstream\n"
    "  -dc-uid string\n"
    "    \tDC UID of the upstream\n"
    "  -j\tPrint result in json format\n"
    "  -set-threshold int\n"
    "    \tSet the current threshold (default -1)\n";

TEST(FlagSetTest, ParseEndsTheProcess) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"-x"}, 2, std::string("flag provided but not defined: -x\n") + kOptsListing},
      {{"-dc-uid"}, 2, std::string("flag needs an argument: -dc-uid\n") + kOptsListing},
      {{"-j=no"}, 2, std::string("invalid boolean value \"no\" for -j: parse error\n") + kOptsListing},
      {{"-h"}, 0, kOptsListing},
      {{"--help=1"}, 0, kOptsListing},
  };
  for (const auto& c : cases) {
    Exit e = runChild([&] {
      Opts o;
      o.set.Parse(c.args);
    });
    EXPECT_EQ(e.status, c.status) << c.args[0];
    EXPECT_EQ(e.err, c.err) << c.args[0];
    EXPECT_EQ(e.out, "") << c.args[0];
  }
  // Success returns.
  Opts o;
  o.set.Parse({"-dc-uid", "U", "rest"});
  EXPECT_EQ(o.dcUid, "U");
  EXPECT_EQ(o.set.Arg(0), "rest");
}

TEST(FlagSetTest, ListingFormat) {
  FlagSet empty("/usr/bin/tool");
  EXPECT_EQ(empty.Defaults(), "Usage of /usr/bin/tool:\n");

  // Only defaults that differ from the kind's zero value are shown; a name
  // of two letters already moves the help to its own line.
  std::string s1, s2;
  bool b1, b2;
  int64_t i1, i2;
  FlagSet f("p");
  f.String("s-zero", &s1, "", "empty");
  f.String("s-set", &s2, "x y", "set");
  f.Bool("b", &b1, "one letter");
  f.Bool("bb", &b2, "two letters");
  f.Int("i-zero", &i1, 0, "zero");
  f.Int("i-set", &i2, 42, "set");
  EXPECT_EQ(f.Defaults(),
            "Usage of p:\n"
            "  -b\tone letter\n"
            "  -bb\n    \ttwo letters\n"
            "  -i-set int\n    \tset (default 42)\n"
            "  -i-zero int\n    \tzero\n"
            "  -s-set string\n    \tset (default x y)\n"
            "  -s-zero string\n    \tempty\n");
}

// ---- The command line ----------------------------------------------------------

// Runs parseArgs on "prog" followed by args, with a fresh global set.
std::string parseCommandLine(std::vector<std::string> args) {
  std::vector<std::string> store = {"prog"};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  initCommandLine("prog");
  return parseArgs(static_cast<int>(store.size()), argv.data());
}

const char kUsage[] =
    "TRUV rp config management tool.\n"
    "SYNOPSIS: kestrane-truv-rp command <command options>\n"
    "\n"
    "Commands:\n"
    "  add-upstream        add a new upstream to the rp config\n"
    "  rm-upstream         remove an existing upstream from the rp config\n"
    "  change-upstream     change the configuration of an existing upstream in the rp config\n"
    "  get-upstream        get the configuration of an existing upstream form the rp config\n"
    "  upstream-uids       get uid of all upstreams found in rp config\n"
    "  upstreams           get all upstreams found in rp config\n"
    "  export-registration export the RP registration from this upstream\n"
    "  import-registration import an RP registration from a file or stdin\n"
    "  accounts-balancing manage account balancing config for RP\n";

TEST(CommandLineTest, UsageText) {
  EXPECT_EQ(usageText(), kUsage);
  Exit e = runChild([] { usage(); });
  EXPECT_EQ(e.status, 10);
  EXPECT_EQ(e.out, kUsage);
  EXPECT_EQ(e.err, "");
}

TEST(CommandLineTest, NoKnownCommandWordGivesUsage) {
  std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {"-h"},
      {"-help"},
      {"--help"},
      {"-j", "upstream-uids"},
      {"Upstreams"},
      {"ADD-UPSTREAM"},
      {"upstream"},
      {"upstreams "},
      {"help"},
  };
  for (const auto& args : cases) {
    Exit e = runChild([&] { parseCommandLine(args); });
    std::string where = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(e.status, 10) << where;
    EXPECT_EQ(e.out, kUsage) << where;
    EXPECT_EQ(e.err, "") << where;
  }
}

// The help listing of each command word, exactly.
std::string listingOf(const std::string& command) {
  Exit e = runChild([&] { parseCommandLine({command, "-h"}); });
  EXPECT_EQ(e.status, 0) << command;
  EXPECT_EQ(e.out, "") << command;
  return e.err;
}

const char kAddOrChangeListing[] =
    "Usage of prog:\n"
    "  -address string\n    \tFQDN[:PORT] of the upstream used by RP connection\n"
    "  -alias string\n    \tAlias for the upstream\n"
    "  -dc-uid string\n    \tDC UID of the upstream\n"
    "  -digest string\n    \tDigest of the upstream\n"
    "  -redirect string\n    \tFQDN[:PORT] of the upstream to redirect clients to. Optional\n"
    "  -secret string\n    \tSecret of the upstream\n"
    "  -stat string\n    \tFQDN[:PORT] of the upstream for stats\n";

TEST(CommandLineTest, ListingOfEveryCommandWord) {
  EXPECT_EQ(listingOf("add-upstream"), kAddOrChangeListing);
  EXPECT_EQ(listingOf("change-upstream"), kAddOrChangeListing);
  EXPECT_EQ(listingOf("rm-upstream"),
            "Usage of prog:\n"
            "  -alias string\n    \tAlias for the upstream\n"
            "  -dc-uid string\n    \tDC UID of the upstream\n");
  EXPECT_EQ(listingOf("get-upstream"),
            "Usage of prog:\n"
            "  -address\n    \tFQDN[:PORT] of the upstream used by RP connection\n"
            "  -alias\n    \tAlias for the upstream\n"
            "  -dc-uid string\n    \tDC UID of the upstream\n"
            "  -digest\n    \tDigest of the upstream\n"
            "  -j\tPrint result in json format\n"
            "  -redirect\n    \tFQDN[:PORT] of the upstream to redirect clients to\n"
            "  -secret\n    \tSecret of the upstream\n"
            "  -stat\n    \tFQDN[:PORT] of the upstream for stats\n");
  EXPECT_EQ(listingOf("upstream-uids"),
            "Usage of prog:\n"
            "  -j\tPrint result in json format\n");
  EXPECT_EQ(listingOf("upstreams"), "Usage of prog:\n");
  EXPECT_EQ(listingOf("export-registration"),
            "Usage of prog:\n"
            "  -out string\n    \tFilename to export the upstream config to\n"
            "  -reg-id string\n    \tRegistration id\n");
  EXPECT_EQ(listingOf("import-registration"),
            "Usage of prog:\n"
            "  -alias string\n    \tAlias for the upstream\n"
            "  -in string\n    \tFilename to import the upstream config from\n");
  EXPECT_EQ(listingOf("accounts-balancing"),
            "Usage of prog:\n"
            "  -domain string\n    \tSpecify the domain\n"
            "  -get-threshold\n    \tGet the current threshold\n"
            "  -j\tPrint result in json format\n"
            "  -remove-name string\n    \tRemoves all occurrence of the specified name in the config\n"
            "  -set-threshold int\n    \tSet the current threshold (default -1)\n"
            "  -set-weight-for-name string\n    \tSet the weight for specific alias\n"
            "  -weight-for-name string\n    \tGet the weight for specific alias\n"
            "  -weights\n    \tShow the weights for all upstreams and domains\n");
}

TEST(CommandLineTest, OptionErrorsOfCommandWords) {
  struct Case {
    std::vector<std::string> args;
    std::string firstLine;
  } cases[] = {
      {{"upstreams", "-j"}, "flag provided but not defined: -j"},
      {{"export-registration", "-in", "x"}, "flag provided but not defined: -in"},
      {{"import-registration", "-out", "x"}, "flag provided but not defined: -out"},
      {{"add-upstream", "-address"}, "flag needs an argument: -address"},
      {{"rm-upstream", "-j"}, "flag provided but not defined: -j"},
      {{"get-upstream", "-alias=x"}, R"(invalid boolean value "x" for -alias: parse error)"},
      {{"accounts-balancing", "-set-threshold=ten"},
       R"(invalid value "ten" for flag -set-threshold: parse error)"},
  };
  for (const auto& c : cases) {
    Exit e = runChild([&] { parseCommandLine(c.args); });
    EXPECT_EQ(e.status, 2) << c.args[0];
    EXPECT_EQ(e.out, "") << c.args[0];
    EXPECT_EQ(e.err.substr(0, e.err.find('\n') + 1), c.firstLine + "\n") << c.args[0];
    EXPECT_NE(e.err.find("\nUsage of prog:\n"), std::string::npos) << c.args[0];
  }
  Exit e = runChild([] { parseCommandLine({"upstreams", "-j"}); });
  EXPECT_EQ(e.err, "flag provided but not defined: -j\nUsage of prog:\n");
}

TEST(CommandLineTest, CommandWordsAndTheirValues) {
  EXPECT_EQ(parseCommandLine({"upstreams", "word"}), "upstreams");
  EXPECT_EQ(commandLine().Arg(0), "word");

  EXPECT_EQ(parseCommandLine({"upstream-uids", "-j"}), "upstream-uids");
  EXPECT_TRUE(optJson);

  // The redirect value tells "not given" from "given empty".
  EXPECT_EQ(parseCommandLine({"add-upstream", "-dc-uid", "U"}), "add-upstream");
  EXPECT_EQ(optDcUid, "U");
  EXPECT_EQ(optRedirect, "_UNSET_");
  EXPECT_EQ(parseCommandLine({"change-upstream", "-redirect="}), "change-upstream");
  EXPECT_EQ(optRedirect, "");
  EXPECT_EQ(parseCommandLine({"change-upstream", "-redirect", "r.example:443"}), "change-upstream");
  EXPECT_EQ(optRedirect, "r.example:443");

  // A string option takes "-address" itself.
  parseCommandLine({"add-upstream", "-dc-uid", "-address", "word"});
  EXPECT_EQ(optDcUid, "-address");
  EXPECT_EQ(optAddress, "");
  EXPECT_EQ(commandLine().Arg(0), "word");

  // -alias is a boolean selector in get-upstream: parsing stops at the word.
  parseCommandLine({"get-upstream", "-alias", "word", "-dc-uid", "U"});
  EXPECT_TRUE(optShowAlias);
  EXPECT_EQ(optDcUid, "");

  // The weight is the first positional argument; later options are not parsed.
  EXPECT_EQ(parseCommandLine({"accounts-balancing", "-set-weight-for-name", "up1", "50", "-domain", "d"}),
            "accounts-balancing");
  EXPECT_EQ(optSetWeightForName, "up1");
  EXPECT_EQ(commandLine().Arg(0), "50");
  EXPECT_EQ(optDomain, "");
  EXPECT_EQ(optSetThreshold, -1);
  parseCommandLine({"accounts-balancing", "--set-threshold=0x10", "-weights", "-j"});
  EXPECT_EQ(optSetThreshold, 16);
  EXPECT_TRUE(optWeights);
  EXPECT_TRUE(optJson);

  // -out and -in share one value.
  parseCommandLine({"export-registration", "-out", "f.json", "-reg-id", "r1"});
  EXPECT_EQ(optFile, "f.json");
  EXPECT_EQ(optRegId, "r1");
  parseCommandLine({"import-registration", "-in=g.json", "-alias", "A"});
  EXPECT_EQ(optFile, "g.json");
  EXPECT_EQ(optAlias, "A");
}

}  // namespace
