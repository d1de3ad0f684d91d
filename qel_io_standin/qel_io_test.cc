#include "qel_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

struct FreeConfig {
  void operator()(qel_config* cfg) const { qel_free_config(cfg); }
};
using Config = std::unique_ptr<qel_config, FreeConfig>;

std::string writeFileAt(const std::string& path, std::string_view content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0) << path;
  EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  return path;
}

class QelIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "qel_io_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << tmpl;
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string writeFile(const std::string& name, std::string_view content) {
    return writeFileAt(dir_ + "/" + name, content);
  }

  std::string dir_;
};

// Every setting in the order the library walks them; a walk that goes in
// circles fails instead of hanging.
Settings rawWalk(qel_config* cfg) {
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

// The stand-in walks in the order of the file, or in the reverse of it when
// built with QEL_IO_REVERSE_WALK, a C flag this test does not see: the
// direction is read off a file of two settings.
bool walksBackwards() {
  static const bool backwards = [] {
    std::string tmpl = ::testing::TempDir() + "qel_io_direction.XXXXXX";
    int fd = mkstemp(tmpl.data());
    EXPECT_GE(fd, 0) << tmpl;
    ::close(fd);
    writeFileAt(tmpl, "first = 1\nsecond = 2\n");
    Config cfg(qel_create_config());
    EXPECT_EQ(qel_merge_config(cfg.get(), tmpl.c_str()), 0);
    ::unlink(tmpl.c_str());
    Settings all = rawWalk(cfg.get());
    EXPECT_EQ(all.size(), 2u);
    return !all.empty() && all.front().first == "second";
  }();
  return backwards;
}

// The walk in file order, whichever way the library goes.
Settings walk(qel_config* cfg) {
  Settings all = rawWalk(cfg);
  if (walksBackwards()) std::reverse(all.begin(), all.end());
  return all;
}

std::string lookup(qel_config* cfg, const std::string& key) {
  char* out = nullptr;
  int32_t r = qel_config_getstr_expand(cfg, key.c_str(), &out);
  if (r != 0) return "<not found " + std::to_string(r) + ">";
  return out != nullptr ? out : "<null>";
}

// What the README's syntax makes of settings given in this order: each key
// in the place of its first line, with the value of its last.
Settings fileOrder(const Settings& lines) {
  Settings all;
  std::map<std::string, size_t> place;
  for (const auto& [key, value] : lines) {
    auto [it, added] = place.emplace(key, all.size());
    if (added)
      all.emplace_back(key, value);
    else
      all[it->second].second = value;
  }
  return all;
}

struct LineCase {
  const char* name;
  std::string content;
  Settings want;  // in the order of the file
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
     {{"rp.select", "a:1  b:2"}, {"certs[x.org].rp.select", "c:3"}}},
    {"tabs around key and value", "\t key \t=\t value \t\n", {{"key", "value"}}},
    {"blanks inside key and value kept", "rp.upstreams [x].address = a b\n", {{"rp.upstreams [x].address", "a b"}}},
    {"brackets inside brackets", "rp.upstreams[a].b[c].d = v\n", {{"rp.upstreams[a].b[c].d", "v"}}},
    {"registration keys",
     ".type = truv.rp-registration-info v2\ntruv-address = h.example:8443\ndigest.sha256 = 0A:1B\n",
     {{".type", "truv.rp-registration-info v2"}, {"truv-address", "h.example:8443"}, {"digest.sha256", "0A:1B"}}},
    {"underscores",
     "root_dir = /srv/truv\nstat.prometheus.listen_addr = 0.0.0.0:9100\nrp.select_threshold = -5\n",
     {{"root_dir", "/srv/truv"}, {"stat.prometheus.listen_addr", "0.0.0.0:9100"}, {"rp.select_threshold", "-5"}}},
    {"comment lines",
     "# This is a shared secret that TRUV peers use for secure communication\ncluster.secret=s3\n"
     "  \t# indented = comment\n",
     {{"cluster.secret", "s3"}}},
    {"hash inside a value is no comment", "a = b # c\n", {{"a", "b # c"}}},
    {"empty and blank lines", "\n\na = 1\n  \n\t\n\nb = 2\n\n", {{"a", "1"}, {"b", "2"}}},
    {"empty file", "", {}},
    {"only line ends", "\n\r\n\n", {}},
    {"only lines without a setting", "# a = 1\nb\n= c\n\n", {}},
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
    {"repeated keys keep the place of their first line",
     "c = 1\na = 2\nb = 3\nc = 4\na = 5\nd = 6\n",
     {{"c", "4"}, {"a", "5"}, {"b", "3"}, {"d", "6"}}},
    {"the same key spelt with other blanks", "k = 1\n\tk\t= 2\nk=3\n", {{"k", "3"}}},
    {"file order, not byte order", "b = 1\nB = 2\n\xc3\xa9 = 3\na = 4\n", {{"b", "1"}, {"B", "2"}, {"\xc3\xa9", "3"}, {"a", "4"}}},
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
  content += "k0 = replaced\n";  // a repeated key takes its expanded value too
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", content).c_str()), 0);
  for (qel_config_node* n = qel_config_get_first(cfg.get()); n != nullptr; n = qel_config_get_next(n)) {
    char* out = nullptr;
    ASSERT_EQ(qel_config_getstr_expand(cfg.get(), n->key, &out), 0) << n->key;
    EXPECT_STREQ(out, n->value) << n->key;
    EXPECT_STREQ(n->value_expanded, n->value) << n->key;
  }
  EXPECT_EQ(lookup(cfg.get(), "k0"), "replaced");
  EXPECT_EQ(lookup(cfg.get(), "k6"), "a:1 b:2");  // the blank after "=" is the line's, not the value's
  EXPECT_EQ(lookup(cfg.get(), "k7"), "${root_dir}");
}

TEST_F(QelIoTest, LookupMisses) {
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", "a = 1\nab = 2\n").c_str()), 0);
  for (const char* key : {"", "b", "A", "a ", " a", "a\t", "aa", "ab."}) {
    char* out = nullptr;
    EXPECT_EQ(qel_config_getstr_expand(cfg.get(), key, &out), -ENOENT) << '"' << key << '"';
    EXPECT_EQ(out, nullptr) << '"' << key << '"';
  }
  char* out = nullptr;
  EXPECT_EQ(qel_config_getstr_expand(nullptr, "a", &out), -EINVAL);
  EXPECT_EQ(qel_config_getstr_expand(cfg.get(), nullptr, &out), -EINVAL);
  EXPECT_EQ(qel_config_getstr_expand(cfg.get(), "a", nullptr), -EINVAL);
  EXPECT_EQ(out, nullptr);
}

// Keys alike in all but one byte, at every place of keys of many lengths,
// and keys that begin with other keys: each is found with its own value.
TEST_F(QelIoTest, KeysAlikeButForOneByte) {
  Settings lines;
  for (size_t length = 1; length <= 40; length++) {
    std::string stem = "rp.upstreams[" + std::string(length, 'k');
    lines.emplace_back(stem, "stem " + std::to_string(length));
    lines.emplace_back(stem + "]", "closed " + std::to_string(length));
    for (size_t at = 0; at < stem.size(); at++) {
      std::string key = stem;
      key[at] = static_cast<char>(key[at] + 1);
      lines.emplace_back(key, std::to_string(length) + "/" + std::to_string(at));
    }
  }
  std::string content;
  for (const auto& [key, value] : lines) content += key + " = " + value + "\n";
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", content).c_str()), 0);
  Settings want = fileOrder(lines);
  EXPECT_EQ(walk(cfg.get()), want);
  for (const auto& [key, value] : want) EXPECT_EQ(lookup(cfg.get(), key), value) << key;
}

TEST_F(QelIoTest, EmptyConfiguration) {
  Config cfg(qel_create_config());
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(qel_config_get_first(cfg.get()), nullptr);
  EXPECT_EQ(qel_config_get_first(nullptr), nullptr);
  EXPECT_EQ(qel_config_get_next(nullptr), nullptr);
  EXPECT_EQ(lookup(cfg.get(), "a"), "<not found " + std::to_string(-ENOENT) + ">");
  qel_free_config(nullptr);
}

TEST_F(QelIoTest, MergeIntoFilledConfiguration) {
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("one", "a = 1\nb = 2\n").c_str()), 0);
  // New keys go after those held; held keys keep their place and take the
  // new value, longer or shorter.
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("two", "c = 4\nb = 3 and more\nd = 5\na =\n").c_str()), 0);
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", ""}, {"b", "3 and more"}, {"c", "4"}, {"d", "5"}}));
  EXPECT_EQ(lookup(cfg.get(), "b"), "3 and more");
  EXPECT_EQ(lookup(cfg.get(), "a"), "");

  // A file without settings changes nothing.
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("three", "# nothing\n\n").c_str()), 0);
  EXPECT_EQ(walk(cfg.get()).size(), 4u);

  // A file far larger than what is held, which repeats held keys and its own.
  Settings lines = {{"a", "1"}, {"b", "2"}, {"c", "4"}, {"b", "3 and more"}, {"d", "5"}, {"a", ""}};
  std::string content;
  for (int i = 0; i < 5000; i++) {
    std::string key = i % 7 == 0 ? std::string(1, static_cast<char>('a' + i % 4))
                                 : std::string("k").append(std::to_string(i % 3000));
    std::string value = std::string("v").append(std::to_string(i));
    lines.emplace_back(key, value);
    content += key + " = " + value + "\n";
  }
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("four", content).c_str()), 0);
  Settings want = fileOrder(lines);
  EXPECT_EQ(walk(cfg.get()), want);
  for (const auto& [key, value] : want) EXPECT_EQ(lookup(cfg.get(), key), value) << key;
  for (qel_config_node* n = qel_config_get_first(cfg.get()); n != nullptr; n = qel_config_get_next(n))
    EXPECT_EQ(n->value_expanded, n->value) << n->key;
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
  ASSERT_EQ(::symlink(dir_.c_str(), (dir_ + "/to-dir").c_str()), 0);
  EXPECT_EQ(qel_merge_config(cfg.get(), (dir_ + "/to-dir").c_str()), -EISDIR);
  if (geteuid() != 0) {
    std::string locked = writeFile("locked", "b = 2\n");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(qel_merge_config(cfg.get(), locked.c_str()), -EACCES);
  }
  // A failed merge leaves what was there.
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}}));
  EXPECT_EQ(lookup(cfg.get(), "a"), "1");
}

// Only regular files are read. A FIFO, a socket or a device could keep the
// merge waiting for ever, or feed it without end; each is refused before
// any read. A library that waits hangs this test.
TEST_F(QelIoTest, SpecialFilesAreNotRead) {
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", "a = 1\nb = 2\n").c_str()), 0);

  std::string lonely = dir_ + "/fifo-without-writer";
  ASSERT_EQ(::mkfifo(lonely.c_str(), 0600), 0);
  // A writer that holds the FIFO open and never writes.
  std::string silent = dir_ + "/fifo-with-silent-writer";
  ASSERT_EQ(::mkfifo(silent.c_str(), 0600), 0);
  int writer = ::open(silent.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  std::string socketPath = dir_ + "/socket";
  int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(sock, 1), 0);
  std::string toZero = dir_ + "/to-zero";
  ASSERT_EQ(::symlink("/dev/zero", toZero.c_str()), 0);

  for (const std::string& path : {lonely, silent, socketPath, std::string("/dev/zero"), std::string("/dev/null"), toZero}) {
    EXPECT_EQ(qel_merge_config(cfg.get(), path.c_str()), -ENXIO) << path;
    EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}, {"b", "2"}})) << path;
    EXPECT_EQ(lookup(cfg.get(), "b"), "2") << path;
  }
  ::close(writer);
  ::close(sock);

  // A symbolic link to a regular file is followed and read.
  writeFile("real", "b = 3\nc = 4\n");
  ASSERT_EQ(::symlink("real", (dir_ + "/to-real").c_str()), 0);
  ASSERT_EQ(qel_merge_config(cfg.get(), (dir_ + "/to-real").c_str()), 0);
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}, {"b", "3"}, {"c", "4"}}));
}

TEST_F(QelIoTest, ManySettingsInFileOrder) {
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; i++) keys.push_back("rp.upstreams[u" + std::to_string(i * 7919 % 10007) + "].address");
  Settings lines;
  for (const std::string& k : keys) lines.emplace_back(k, k);
  for (int i = 0; i < 500; i++) lines.emplace_back(keys[static_cast<size_t>(i * 3)], "again " + std::to_string(i));
  std::shuffle(lines.begin(), lines.end(), std::mt19937(42));
  std::string content;
  for (const auto& [key, value] : lines) content += key + " = " + value + "\n";
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", content).c_str()), 0);

  Settings want = fileOrder(lines);
  ASSERT_EQ(want.size(), keys.size());
  EXPECT_EQ(walk(cfg.get()), want);
  for (const auto& [key, value] : want) EXPECT_EQ(lookup(cfg.get(), key), value) << key;
}

// Room is made for a setting on every line; lines without one must leave
// neither holes in the walk nor stale settings.
TEST_F(QelIoTest, FewSettingsAmongManyLines) {
  std::string content;
  for (int i = 0; i < 100000; i++) content += i % 2 == 0 ? "# k" + std::to_string(i) + " = old\n" : "\n";
  content += "a = 1\n";
  content += std::string(50000, '\n');
  content += "b = 2";
  Config cfg(qel_create_config());
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("cfg", content).c_str()), 0);
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(lookup(cfg.get(), "k0"), "<not found " + std::to_string(-ENOENT) + ">");
  ASSERT_EQ(qel_merge_config(cfg.get(), writeFile("more", "c = 3\n" + content).c_str()), 0);
  EXPECT_EQ(walk(cfg.get()), (Settings{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
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
  Settings all = walk(cfg.get());
  ASSERT_EQ(all.size(), static_cast<size_t>(n) + 1);
  EXPECT_EQ(all.front().first, "rp.upstreams[0].address");
  EXPECT_EQ(all.back().first, "big");
}

}  // namespace
