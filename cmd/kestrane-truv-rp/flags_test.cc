#include "flags.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_child.h"

namespace {

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

}  // namespace
