#include "upstream_changes.h"

#include "die.h"

void addUpstream(const std::string&) { dieStatusf(255, "add-upstream: command not available yet"); }
void rmUpstream(const std::string&) { dieStatusf(255, "rm-upstream: command not available yet"); }
void changeUpstream(const std::string&) { dieStatusf(255, "change-upstream: command not available yet"); }
