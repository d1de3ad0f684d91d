#include "registration.h"

#include "die.h"

void exportRegistration() { dieStatusf(255, "export-registration: command not available yet"); }
void importRegistration(const std::string&) { dieStatusf(255, "import-registration: command not available yet"); }
