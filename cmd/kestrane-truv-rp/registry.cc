#include "registry.h"

#include "die.h"

void compileUpstreamKeyRegexp() {}

void allUpstreamUids(const std::string&) { dieStatusf(255, "upstream-uids: command not available yet"); }
void allUpstreams(const std::string&) { dieStatusf(255, "upstreams: command not available yet"); }
void getUpstream(const std::string&) { dieStatusf(255, "get-upstream: command not available yet"); }
