#include "die.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "qel_io/config/config.h"

namespace {

TEST(FormatMessageTest, Conversions) {
  EXPECT_EQ(formatMessage("plain", {}), "plain");
  EXPECT_EQ(formatMessage("Upstream \"%s\" already exists", {"up1"}), "Upstream \"up1\" already exists");
  EXPECT_EQ(formatMessage("error during file '%s' locking %v", {"/r/var/lock/x.lock", "resource busy"}),
            "error during file '/r/var/lock/x.lock' locking resource busy");
  EXPECT_EQ(formatMessage("%s:%v", {"a", 42}), "a:42");
  EXPECT_EQ(formatMessage("%v", {-9223372036854775807LL - 1}), "-9223372036854775808");
  EXPECT_EQ(formatMessage("100%% done", {}), "100% done");
  EXPECT_EQ(formatMessage("%%s", {"unused"}), "%s");
  // Arguments are written as they are: no conversion inside them.
  EXPECT_EQ(formatMessage("%s", {"50% %s"}), "50% %s");
  EXPECT_EQ(formatMessage("a%", {}), "a%");
}

TEST(FormatMessageTest, QuotesLikeTheOptionParser) {
  EXPECT_EQ(formatMessage("Invalid weight %q", {"x\"y\n"}), "Invalid weight \"x\\\"y\\n\"");
  EXPECT_EQ(formatMessage("%q", {""}), "\"\"");
  EXPECT_EQ(formatMessage("%q", {"\xff"}), "\"\\xff\"");
  EXPECT_EQ(formatMessage("%q and %s", {"a b", "a b"}), "\"a b\" and a b");
}

TEST(FormatMessageTest, ErrorsGiveTheirText) {
  Error e("open /r/conf.d/rp: no such file or directory", 2);
  EXPECT_EQ(formatMessage("failed: %v", {e}), "failed: open /r/conf.d/rp: no such file or directory");
  EXPECT_EQ(formatMessage("%s", {errSettingNotFound}), "setting not found");
}

TEST(FormatMessageTest, MissingAndExtraArguments) {
  EXPECT_EQ(formatMessage("%s and %v", {"one"}), "one and %!v(MISSING)");
  EXPECT_EQ(formatMessage("%s", {"one", "two"}), "one");
}

TEST(DieStatusfTest, WritesMessageAndOneNewlineThenExits) {
  EXPECT_EXIT(dieStatusf(200, "Upstream \"%s\" already exists", "up1"), testing::ExitedWithCode(200),
              "^Upstream \"up1\" already exists\n$");
  EXPECT_EXIT(dieStatusf(255, "timed out waiting to acquire lock file"), testing::ExitedWithCode(255),
              "^timed out waiting to acquire lock file\n$");
  EXPECT_EXIT(dieStatusf(0, "DC UID %s not found", std::string("U1")), testing::ExitedWithCode(0),
              "^DC UID U1 not found\n$");
  EXPECT_EXIT(dieStatusf(10, "Invalid weight format, expected int (%s)", std::string_view("x")),
              testing::ExitedWithCode(10), "^Invalid weight format, expected int \\(x\\)\n$");
}

// Running out of memory, or an exception nothing catches, ends the run with
// status 255 and a message, never with an abort.
TEST(FailureHandlersTest, EndWithStatus255AndAMessage) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocator reports a huge allocation itself";
#else
  EXPECT_EXIT(
      {
        installFailureHandlers();
        void* p = ::operator new(size_t{1} << 50);  // a petabyte: no machine has it
        ::operator delete(p);
      },
      testing::ExitedWithCode(255), "^Out of memory\n$");
  EXPECT_EXIT(
      {
        installFailureHandlers();
        try {
          throw std::runtime_error("boom");
        } catch (...) {
          std::terminate();  // what an exception that nothing catches comes to
        }
      },
      testing::ExitedWithCode(255), "^Unexpected failure: boom\n$");
#endif
}

}  // namespace
