#include "qel_io/config/config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "config_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << tmpl;
    dir_ = tmpl;
  }
  void TearDown() override {
    for (QELConfig& cfg : parsed_) cfg.Close();
    std::filesystem::remove_all(dir_);
  }

  // A handle on the file at path that the fixture closes at the end.
  QELConfig parse(const std::string& path) {
    auto [cfg, err] = ParseFile(path);
    EXPECT_FALSE(err) << path << ": " << err.text();
    parsed_.push_back(cfg);
    return cfg;
  }

  std::string writeFile(const std::string& name, std::string_view content) {
    std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return path;
  }

  std::string dir_;
  std::vector<QELConfig> parsed_;
};

TEST(ErrnoTextTest, DescriptionsAndNumbers) {
  struct {
    int errnum;
    const char* want;
  } cases[] = {
      {ENOENT, "no such file or directory"},
      {EACCES, "permission denied"},
      {EBUSY, "device or resource busy"},
      {ENOTDIR, "not a directory"},
      {EIO, "input/output error"},
      {4095, "errno 4095"},
      {0, "errno 0"},
      {-2, "errno -2"},
      {INT_MIN, "errno -2147483648"},
  };
  for (const auto& c : cases) EXPECT_EQ(errnoText(c.errnum), c.want) << c.errnum;
}

TEST(MergeErrorTest, WrapsTheNegatedResult) {
  Error e = mergeError(-ENOENT);
  EXPECT_EQ(e.text(), "invalid config file: no such file or directory");
  EXPECT_EQ(e.sysErrno(), ENOENT);
  EXPECT_TRUE(e);

  // A positive result has no description: its negation is shown as a number.
  e = mergeError(5);
  EXPECT_EQ(e.text(), "invalid config file: errno -5");
  EXPECT_EQ(e.sysErrno(), -5);

  EXPECT_EQ(mergeError(-4095).text(), "invalid config file: errno 4095");
  EXPECT_EQ(mergeError(INT32_MIN).text(), "invalid config file: errno 2147483648");
}

TEST_F(ConfigTest, MissingFile) {
  auto [cfg, err] = ParseFile(dir_ + "/missing");
  EXPECT_TRUE(cfg.empty());
  EXPECT_EQ(err.text(), "invalid config file: no such file or directory");
  EXPECT_EQ(err.sysErrno(), ENOENT);
}

TEST_F(ConfigTest, UnreadablePaths) {
  writeFile("file", "a = 1\n");
  struct {
    std::string path;
    int errnum;
    const char* text;
  } cases[] = {
      {dir_, EISDIR, "invalid config file: is a directory"},
      {dir_ + "/file/x", ENOTDIR, "invalid config file: not a directory"},
      {"", ENOENT, "invalid config file: no such file or directory"},
  };
  for (const auto& c : cases) {
    auto [cfg, err] = ParseFile(c.path);
    EXPECT_TRUE(cfg.empty()) << c.path;
    EXPECT_EQ(err.text(), c.text) << c.path;
    EXPECT_EQ(err.sysErrno(), c.errnum) << c.path;
  }
}

// The values the tool itself writes. The library does no expansion, so the
// expanded value (GetString) is the raw one (GetView) for every setting.
TEST_F(ConfigTest, GetStringAndGetView) {
  std::string path = writeFile("rp",
                               "# comment\n"
                               "rp.enable = yes\n"
                               "rp.upstreams[dc1].dc_uid = 0f6d3c1a-5b2e-11ee-8c99-0242ac120002\n"
                               "rp.upstreams[dc1].address = host.example:8443\n"
                               "rp.upstreams[dc1].cert_digest= AB:CD:EF\n"
                               "cluster.secret=QUJD+/9=\n"
                               "rp.select =  dc1:70 dc2:30\n"
                               "rp.select_threshold = 100\n"
                               "empty =\n");
  QELConfig cfg = parse(path);
  ConfigView want = {
      {"rp.enable", "yes"},
      {"rp.upstreams[dc1].dc_uid", "0f6d3c1a-5b2e-11ee-8c99-0242ac120002"},
      {"rp.upstreams[dc1].address", "host.example:8443"},
      {"rp.upstreams[dc1].cert_digest", "AB:CD:EF"},
      {"cluster.secret", "QUJD+/9="},
      {"rp.select", "dc1:70 dc2:30"},
      {"rp.select_threshold", "100"},
      {"empty", ""},
  };
  auto [view, viewErr] = cfg.GetView();
  EXPECT_FALSE(viewErr);
  EXPECT_EQ(view, want);
  for (const auto& [key, value] : want) {
    auto [got, getErr] = cfg.GetString(key);
    EXPECT_FALSE(getErr) << key;
    EXPECT_EQ(got, value) << key;
  }
}

TEST_F(ConfigTest, SettingNotFound) {
  QELConfig cfg = parse(writeFile("cfg", "root_dir = /srv\n"));
  for (std::string_view key : {"root", "root_dir ", "", "ROOT_DIR"}) {
    auto [value, getErr] = cfg.GetString(key);
    EXPECT_EQ(value, "");
    EXPECT_EQ(getErr, errSettingNotFound);
    EXPECT_EQ(getErr.text(), "setting not found");
  }
}

TEST_F(ConfigTest, TextsAreCutAtNulByte) {
  std::string path = writeFile("cfg", "root_dir = /srv\n");
  QELConfig cfg = parse(path + "\0/elsewhere"s);
  EXPECT_EQ(cfg.GetString("root_dir\0junk"s).first, "/srv");
  EXPECT_EQ(cfg.GetString("\0root_dir"s).second, errSettingNotFound);
}

TEST_F(ConfigTest, ResultsOutliveTheHandle) {
  auto [cfg, err] = ParseFile(writeFile("cfg", "a = first value\nb = second value\n"));
  ASSERT_FALSE(err);
  QELConfig copy = cfg;
  std::string a = cfg.GetString("a").first;
  ConfigView view = copy.GetView().first;
  cfg.Close();
  EXPECT_TRUE(cfg.empty());
  EXPECT_EQ(a, "first value");
  EXPECT_EQ(view, (ConfigView{{"a", "first value"}, {"b", "second value"}}));
}

TEST_F(ConfigTest, EmptyFile) {
  QELConfig cfg = parse(writeFile("rp.select", ""));
  EXPECT_FALSE(cfg.empty());
  auto [view, viewErr] = cfg.GetView();
  EXPECT_FALSE(viewErr);
  EXPECT_TRUE(view.empty());
  EXPECT_EQ(cfg.GetString("rp.select").second, errSettingNotFound);
}

TEST_F(ConfigTest, MergeFileAddsAndReplaces) {
  QELConfig cfg = parse(writeFile("one", "a = 1\nb = 2\n"));
  EXPECT_FALSE(cfg.MergeFile(writeFile("two", "b = 3\nc = 4\n")));
  EXPECT_EQ(cfg.GetView().first, (ConfigView{{"a", "1"}, {"b", "3"}, {"c", "4"}}));
  Error missing = cfg.MergeFile(dir_ + "/missing");
  EXPECT_EQ(missing.sysErrno(), ENOENT);
  EXPECT_EQ(cfg.GetString("a").first, "1");  // a failed merge keeps what was there
}

TEST(EmptyHandleTest, FindsNothing) {
  QELConfig cfg;
  EXPECT_EQ(cfg.GetString("a").second, errSettingNotFound);
  EXPECT_TRUE(cfg.GetView().first.empty());
  EXPECT_EQ(cfg.MergeFile("/nonexistent").sysErrno(), EINVAL);
  cfg.Close();
  EXPECT_TRUE(cfg.empty());
}

}  // namespace
