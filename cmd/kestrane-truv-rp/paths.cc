#include "paths.h"

#include <errno.h>
#include <sys/stat.h>

#include <vector>

#include "config_reader.h"
#include "die.h"
#include "fsutil.h"
#include "qel_io/config/config.h"

std::string cleanPath(std::string_view path) {
  if (path.empty()) return ".";
  const bool rooted = path.front() == '/';
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    i = j + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..")
        parts.pop_back();
      else if (!rooted)
        parts.push_back(part);  // leading ".." of a relative path stays
      continue;                 // ".." just under "/" is dropped
    }
    parts.push_back(part);
  }
  // push_back rather than assigning literals: GCC 12 at -O3 takes the
  // assignments for overlapping copies (-Wrestrict) and fails the build.
  std::string out;
  if (rooted) out.push_back('/');
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out += '/';
    out += parts[k];
  }
  if (out.empty()) out.push_back('.');
  return out;
}

std::string joinPath(std::initializer_list<std::string_view> parts) {
  std::string joined;
  for (std::string_view p : parts) {
    if (p.empty()) continue;
    if (!joined.empty()) joined += '/';
    joined += p;
  }
  if (joined.empty()) return joined;
  return cleanPath(joined);
}

namespace {
std::string truvRootDir;
std::string truvTmpDir;
}  // namespace

const std::string& getTruvRootDir() {
  if (!truvRootDir.empty()) return truvRootDir;
  // The parse is kept: export-registration reads the file again.
  auto [cfg, err] = parseConfig(kTruvConfigFile);
  if (!err) truvRootDir = lookup(cfg, "root_dir");
  if (truvRootDir.empty()) dieStatusf(255, "Truv root not found int truv config file (%s)", kTruvConfigFile);
  return truvRootDir;
}

std::string getTruvConfDir() { return joinPath({getTruvRootDir(), "/conf.d"}); }
std::string getRpConfig() { return joinPath({getTruvConfDir(), "rp"}); }
std::string getRpSelectConfig() { return joinPath({getTruvConfDir(), "rp.select"}); }

const std::string& getTruvTmpDir() {
  if (!truvTmpDir.empty()) return truvTmpDir;
  truvTmpDir = joinPath({getTruvRootDir(), "var/tmp"});
  struct stat st;
  if (::stat(truvTmpDir.c_str(), &st) != 0 && errno == ENOENT) {
    if (::mkdir(truvTmpDir.c_str(), 0755) != 0)
      dieStatusf(255, "failed to create temp dir: %v", opError("mkdir", truvTmpDir, errno));
  }
  return truvTmpDir;
}
