#include "qel_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

struct FreeConfig {
  void operator()(qel_config* cfg) const { qel_free_config(cfg); }
};
using Config = std::unique_ptr<qel_config, FreeConfig>;

class QelIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "qel_io_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << tmpl;
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string writeFile(const std::string& name, std::string_view content) {
    std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return path;
  }

  std::string dir_;
};

// Every setting in the order the library walks them; a walk that goes in
// circles fails instead of hanging.
Settings walk(qel_config* cfg) {
  Settings all;
  for (qel_config_node* n = qel_config_get_first(cfg); n != nullptr; n = qel_config_get_next(n)) {
    if (all.size() == 1000000) {
      ADD_FAILURE() << "the walk does not end";
      break;
    }
    all.emplace_back(n->key, n->value);
  }
  return all;
}

std::string lookup(qel_config* cfg, const std::string& key) {
  char* out = nullptr;
  int32_t r = qel_config_getstr_expand(cfg, key.c_str(), &out);
  if (r != 0) return "<not found " + std::to_string(r) + ">";
  return out != nullptr ? out : "<null>";
}

struct LineCase {
  const char* name;
  std::string content;
  Settings want;  // in ascending byte order of the keys
};

const LineCase kLineCases[] = {
    {"blank on each side", "rp.upstreams[a].address = host:443\n", {{"rp.upstreams[a].address", "host:443"}}},
    {"blank after only", "rp.upstreams[a].cert_digest= ab:cd\n", {{"rp.upstreams[a].cert_digest", "ab:cd"}}},
    {"no blank, base64 padding",
     "cluster.secret=Zm9v+/YmFy=\n",
     {{"cluster.secret", "Zm9v+/YmFy="}}},
    {"later equals signs belong to the value", "a=b=c==\n", {{"a", "b=c=="}}},
    {"select list keeps inner blanks",
     "rp.select =  a:1  b:2 \ncerts[x.org].rp.select = c:3",
     {{"certs[x.org].rp.select", "c:3"}, {"rp.select", "a:1  b:2"}}},
    {"tabs around key and value", "\t key \t=\t value \t\n", {{"key", "value"}}},
    {"blanks inside key and value kept", "rp.upstreams [x].address = a b\n", {{"rp.upstreams [x].address", "a b"}}},
    {"brackets inside brackets", "rp.upstreams[a].b[c].d = v\n", {{"rp.upstreams[a].b[c].d", "v"}}},
    {"registration keys",
     ".type = truv.rp-registration-info v2\ntruv-address = h.example:8443\ndigest.sha256 = 0A:1B\n",
     {{".type", "truv.rp-registration-info v2"}, {"digest.sha256", "0A:1B"}, {"truv-address", "h.example:8443"}}},
    {"underscores",
     "root_dir = /srv/truv\nstat.prometheus.listen_addr = 0.0.0.0:9100\nrp.select_threshold = -5\n",
     {{"root_dir", "/srv/truv"}, {"rp.select_threshold", "-5"}, {"stat.prometheus.listen_addr", "0.0.0.0:9100"}}},
    {"comment lines",
     "# This is a shared secret that TRUV peers use for secure communication\ncluster.secret=s3\n"
     "  \t# indented = comment\n",
     {{"cluster.secret", "s3"}}},
    {"hash inside a value is no comment", "a = b # c\n", {{"a", "b # c"}}},
    {"empty and blank lines", "\n\na = 1\n  \n\t\n\nb = 2\n\n", {{"a", "1"}, {"b", "2"}}},
    {"empty file", "", {}},
    {"only line ends", "\n\r\n\n", {}},
    {"last line without line end", "a = 1\nb = 2", {{"a", "1"}, {"b", "2"}}},
    {"crlf", "a = 1\r\nb = \r\nc=3\r", {{"a", "1"}, {"b", ""}, {"c", "3"}}},
    {"carriage return inside a line kept", "a = x\ry\n", {{"a", "x\ry"}}},
    {"empty values", "a =\nb=\nc =   \t\n", {{"a", ""}, {"b", ""}, {"c", ""}}},
    {"line without equals sign skipped", "garbage\na = 1\n[section]\n", {{"a", "1"}}},
    {"line without key skipped", "= v\n  =w\nb = 2\n", {{"b", "2"}}},
    {"line with a NUL byte skipped", std::string("a = x\0y\nb = 2\n", 14), {{"b", "2"}}},
    {"key given twice: last wins, longer and shorter",
     "a = 1\nb = 0\na = 22222222\na = 3\n",
     {{"a", "3"}, {"b", "0"}}},
    {"keys in byte order", "b = 1\nB = 2\n\xc3\xa9 = 3\na = 4\n", {{"B", "2"}, {"a", "4"}, {"b", "1"}, {"\xc3\xa9", "3"}}},
};

TEST_F(QelIoTest, LineForms) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.name);
    Config cfg(qel_create_config());
    ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", c.content).c_str()), 0);
    EXPECT_EQ(walk(cfg.get()), c.want);
    for (const auto& [key, value] : c.want) EXPECT_EQ(lookup(cfg.get(), key), value) << key;
  }
}

TEST_F(QelIoTest, ExpandedValueIsRawValueForWhatTheToolWrites) {
  const std::string values[] = {"0f6d3c1a-5b2e-11ee-8c99-0242ac120002", "alias_1", "host.example:8443",
                                "QUJD+/9=", "100", "-1", " a:1 b:2", "${root_dir}", "$HOME/x"};
  std::string content = "root_dir = /srv\n";
  for (size_t i = 0; i < std::size(values); i++)
    content.append("k").append(std::to_string(i)).append(" =").append(values[i]).append("\n");
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", content).c_str()), 0);
  for (qel_config_node* n = qel_config_get_first(cfg.get()); n != nullptr; n = qel_config_get_next(n)) {
    char* out = nullptr;
    ASSERT_EQ(qel_config_getstr_expand(cfg.get(), n->key, &out), 0) << n->key;
    EXPECT_STREQ(out, n->value) << n->key;
    EXPECT_STREQ(n->value_expanded, n->value) << n->key;
  }
  EXPECT_EQ(lookup(cfg.get(), "k6"), "a:1 b:2");  // the blank after "=" is the line's, not the value's
  EXPECT_EQ(lookup(cfg.get(), "k7"), "${root_dir}");
}

TEST_F(QelIoTest, LookupMisses) {
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", "a = 1\nab = 2\n").c_str()), 0);
  for (const char* key : {"", "b", "A", "a ", " a", "a\t", "aa", "ab."}) {
    char* out = nullptr;
    EXPECT_NE(qel_config_getstr_expand(cfg.get(), key, &out), 0) << '"' << key << '"';
    EXPECT_EQ(out, nullptr) << '"' << key << '"';
  }
}

TEST_F(QelIoTest, EmptyConfiguration) {
  Config cfg(qel_create_config());
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(qel_config_get_first(cfg.get()), nullptr);
  EXPECT_EQ(qel_config_get_next(nullptr), nullptr);
  EXPECT_NE(lookup(cfg.get(), "a"), "");
  qel_free_config(nullptr);
}

TEST_F(QelIoTest, MergeIntoFilledConfiguration) {
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("one", "a = 1\nb = 2\n").c_str()), 0);
  qel_config_node* b = qel_config_get_next(qel_config_get_first(cfg.get()));
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("two", "b = 3 and more\nc = 4\n").c_str()), 0);
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}, {"b", "3 and more"}, {"c", "4"}}));
  EXPECT_EQ(qel_config_get_next(qel_config_get_first(cfg.get())), b);  // replaced in place
}

TEST_F(QelIoTest, FailedMerges) {
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", "a = 1\n").c_str()), 0);
  EXPECT_EQ(qel_merge_config(cfg.get(), (dir_ + "/missing").c_str()), -ENOENT);
  EXPECT_EQ(qel_merge_config(cfg.get(), ""), -ENOENT);
  EXPECT_EQ(qel_merge_config(cfg.get(), dir_.c_str()), -EISDIR);
  EXPECT_EQ(qel_merge_config(cfg.get(), (dir_ + "/cfg/x").c_str()), -ENOTDIR);
  EXPECT_EQ(qel_merge_config(nullptr, (dir_ + "/cfg").c_str()), -EINVAL);
  EXPECT_EQ(qel_merge_config(cfg.get(), nullptr), -EINVAL);
  if (geteuid() != 0) {
    std::string locked = writeFile("locked", "b = 2\n");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(qel_merge_config(cfg.get(), locked.c_str()), -EACCES);
  }
  // A failed merge leaves what was there.
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}}));
}

TEST_F(QelIoTest, SpecialFilesAreRefusedWithoutWaiting) {
  // A FIFO with no writer would block the open, one whose writer never
  // writes would block the read, and /dev/zero never ends.
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string linkToZero = dir_ + "/zero";
  ASSERT_EQ(::symlink("/dev/zero", linkToZero.c_str()), 0);
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("kept", "a = 1\n").c_str()), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null"), linkToZero}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(qel_merge_config(cfg.get(), path.c_str()), -ENXIO);
  }
  int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // a writer that never writes
  ASSERT_GE(writer, 0);
  EXPECT_EQ(qel_merge_config(cfg.get(), fifo.c_str()), -ENXIO);
  ::close(writer);
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}}));
}

// Checks the red-black rules and the parent links below n; gives the black
// height, or -1 on a fault.
int checkTree(const rb_node* n, const rb_node* parent) {
  if (n == nullptr) return 1;
  const rb_node* up = reinterpret_cast<const rb_node*>(n->rb_parent & ~uint64_t{1});
  if (up != parent) return -1;
  bool red = (n->rb_parent & 1) == 0;
  if (red && parent != nullptr && (parent->rb_parent & 1) == 0) return -1;
  int left = checkTree(n->rb_left, n);
  int right = checkTree(n->rb_right, n);
  if (left < 0 || left != right) return -1;
  return left + (red ? 0 : 1);
}

TEST_F(QelIoTest, ManySettingsInAnyOrder) {
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; i++) keys.push_back("rp.upstreams[u" + std::to_string(i * 7919 % 10007) + "].address");
  std::vector<std::string> lines = keys;
  for (int i = 0; i < 500; i++) lines.push_back(keys[static_cast<size_t>(i * 3)]);  // repeats
  std::shuffle(lines.begin(), lines.end(), std::mt19937(42));
  std::string content;
  for (const std::string& k : lines) content += k + " = " + k + "\n";
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", content).c_str()), 0);

  const rb_node* root = cfg->root.rb_node;
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->rb_parent & 1, 1u) << "root is black";
  EXPECT_GT(checkTree(root, nullptr), 0);

  std::sort(keys.begin(), keys.end());
  Settings all = walk(cfg.get());
  ASSERT_EQ(all.size(), keys.size());
  for (size_t i = 0; i < keys.size(); i++) {
    EXPECT_EQ(all[i].first, keys[i]);
    EXPECT_EQ(all[i].second, keys[i]);
  }
}

TEST_F(QelIoTest, LargeFileParsesInLinearTime) {
  const int n = 200000;
  std::string content;
  for (int i = 0; i < n; i++)
    content += "rp.upstreams[" + std::to_string(i) + "].address = host" + std::to_string(i) + ":443\n";
  content += "big = " + std::string(4 << 20, 'x');  // one long last line
  std::string path = writeFile("cfg", content);

  auto start = std::chrono::steady_clock::now();
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), path.c_str()), 0);
  auto took = std::chrono::steady_clock::now() - start;
  // Well beyond what a linear parse needs even under sanitizers; a quadratic
  // one takes minutes.
  EXPECT_LT(took, std::chrono::seconds(10));

  EXPECT_EQ(lookup(cfg.get(), "rp.upstreams[123456].address"), "host123456:443");
  EXPECT_EQ(lookup(cfg.get(), "big").size(), size_t{4} << 20);
  EXPECT_EQ(walk(cfg.get()).size(), static_cast<size_t>(n) + 1);
}

}  // namespace
