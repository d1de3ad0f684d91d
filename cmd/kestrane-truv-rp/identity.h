// The instance's own identity files in conf.d: dc_uid and cluster.secret.
// Each is created once, when missing, and never rewritten afterwards.
#ifndef KTRP_IDENTITY_H_
#define KTRP_IDENTITY_H_

#include <string>
#include <string_view>

// Whether path exists (stat, following links); other failures end the run.
bool isExist(const std::string& path);
// Creates path exclusively with mode 0644, writes content and syncs it; an
// existing name (EEXIST: file, directory, dangling link) is left alone
// silently. When the write fails the new file is removed before the run ends.
void writeToFileExcl(const std::string& path, std::string_view content);

// conf.d/dc_uid: "dc_uid = <version-1 UUID>\n", 46 bytes.
void maybeCreateDcUid();
// conf.d/cluster.secret: a comment line and "cluster.secret=<40 chars>\n",
// the secret being the first 40 Base64 characters of 40 random bytes.
void maybeCreateClusterSecret();

// Standard Base64 (RFC 4648) with "=" padding.
std::string encodeBase64(std::string_view bytes);
// The content of cluster.secret made from the 40 random bytes.
std::string clusterSecretContent(std::string_view randomBytes);

#endif  // KTRP_IDENTITY_H_
