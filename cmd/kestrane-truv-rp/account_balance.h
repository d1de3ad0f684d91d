// accounts-balancing: the driver of the account-balancing steps on the rp
// select config, <root>/conf.d/rp.select. The queries are in weights.h, the
// edits in select_edit.h.
#ifndef KTRP_ACCOUNT_BALANCE_H_
#define KTRP_ACCOUNT_BALANCE_H_

#include <string>

// Handler of accounts-balancing; rm-upstream runs it with only
// optRemoveName set. Creates a missing rp select config (empty), then runs
// the requested steps in a fixed order: get threshold, set threshold, weight
// query, set weight, remove name. Each step reads the file as the steps
// before it left it.
void accountBalance(const std::string& rpPath);

#endif  // KTRP_ACCOUNT_BALANCE_H_
