// The instance's own identity files in conf.d: dc_uid and cluster.secret.
#ifndef KTRP_IDENTITY_H_
#define KTRP_IDENTITY_H_

#include <string>
#include <string_view>

// Whether path exists (stat, following links); other failures end the run.
bool isExist(const std::string& path);
// Creates path exclusively with mode 0644 and writes content; an existing
// name (EEXIST) is left alone silently.
void writeToFileExcl(const std::string& path, std::string_view content);

void maybeCreateDcUid();
void maybeCreateClusterSecret();

#endif  // KTRP_IDENTITY_H_
