#include "account_balance.h"

#include "die.h"

void accountBalance(const std::string&) { dieStatusf(255, "accounts-balancing: command not available yet"); }
