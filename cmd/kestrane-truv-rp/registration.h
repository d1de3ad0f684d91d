// Export and import of the RP registration document.
#ifndef KTRP_REGISTRATION_H_
#define KTRP_REGISTRATION_H_

#include <map>
#include <string>
#include <string_view>

// Handler of export-registration; takes the registration lock itself.
void exportRegistration();
// Handler of import-registration.
void importRegistration(const std::string& rpPath);

// Parses a registration document: exactly one JSON value, null or an object
// whose members are all strings or null (null reads as ""); a member given
// twice keeps its last value. Returns false with *err describing the fault.
bool parseRegistrationDocument(std::string_view input, std::map<std::string, std::string>* doc,
                               std::string* err);

#endif  // KTRP_REGISTRATION_H_
