// The truv paths, all derived from the truv root.
#ifndef KTRP_PATHS_H_
#define KTRP_PATHS_H_

#include <initializer_list>
#include <string>
#include <string_view>

inline constexpr char kTruvConfigFile[] = "/etc/kestrane/truv.config";

// Cleans a path as text: one separator at a time, no "." parts, ".." removes
// the part before it, no trailing separator. "" gives ".".
std::string cleanPath(std::string_view path);
// Joins the non-empty parts with "/" and cleans the result.
std::string joinPath(std::initializer_list<std::string_view> parts);

// "root_dir" of the truv config file, read once; ends the process when absent.
const std::string& getTruvRootDir();
std::string getTruvConfDir();
std::string getRpConfig();
std::string getRpSelectConfig();
// <root>/var/tmp, created (0755) at the first call when missing.
const std::string& getTruvTmpDir();

#endif  // KTRP_PATHS_H_
