// Handlers that change the upstream registry.
#ifndef KTRP_UPSTREAM_CHANGES_H_
#define KTRP_UPSTREAM_CHANGES_H_

#include <string>

void addUpstream(const std::string& rpPath);
void rmUpstream(const std::string& rpPath);
void changeUpstream(const std::string& rpPath);

#endif  // KTRP_UPSTREAM_CHANGES_H_
