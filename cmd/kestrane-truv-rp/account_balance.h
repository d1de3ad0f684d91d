// Account balancing in the rp select config: the driver, the threshold and
// weight queries, and the select line editing.
#ifndef KTRP_ACCOUNT_BALANCE_H_
#define KTRP_ACCOUNT_BALANCE_H_

#include <string>

// Handler of accounts-balancing; rm-upstream runs it with only
// optRemoveName set.
void accountBalance(const std::string& rpPath);

#endif  // KTRP_ACCOUNT_BALANCE_H_
