#include "paths.h"

#include <gtest/gtest.h>

TEST(CleanPath, Table) {
  struct Case {
    const char* in;
    const char* want;
  };
  const Case cases[] = {
      {"", "."},
      {"/", "/"},
      {"/srv/inst/", "/srv/inst"},
      {"/srv//inst", "/srv/inst"},
      {"/srv/./inst/.", "/srv/inst"},
      {"/srv/a/../inst", "/srv/inst"},
      {"/..", "/"},
      {"/../a", "/a"},
      {"a/link/..", "a"},
      {"inst", "inst"},
      {"../inst", "../inst"},
      {"../../a/../b", "../../b"},
      {"a/../..", ".."},
      {"a/..", "."},
      {"./", "."},
  };
  for (const Case& c : cases) EXPECT_EQ(cleanPath(c.in), c.want) << c.in;
}

TEST(JoinPath, JoinsWithOneSeparatorAndCleans) {
  EXPECT_EQ(joinPath({"/srv/inst/", "/conf.d"}), "/srv/inst/conf.d");
  EXPECT_EQ(joinPath({"/srv/inst", "var/tmp"}), "/srv/inst/var/tmp");
  EXPECT_EQ(joinPath({"/srv/inst", "var", "lock"}), "/srv/inst/var/lock");
  EXPECT_EQ(joinPath({"inst", "/conf.d", "rp"}), "inst/conf.d/rp");
  EXPECT_EQ(joinPath({"/srv/inst", "certs.a/../b"}), "/srv/inst/b");
  EXPECT_EQ(joinPath({"/", "conf.d"}), "/conf.d");
  EXPECT_EQ(joinPath({"", "x"}), "x");
  EXPECT_EQ(joinPath({"", ""}), "");
}
