// The registration document: one compact JSON object with the five string
// members "address", "dc-uid", "digest", "secret" and "stat", written by
// export-registration and read by import-registration.
#ifndef KTRP_REGISTRATION_DOC_H_
#define KTRP_REGISTRATION_DOC_H_

#include <map>
#include <string>
#include <string_view>

// The document's text: the five members in name order, no white space, no
// line end.
std::string registrationDocument(std::string_view address, std::string_view dcUid, std::string_view digest,
                                 std::string_view secret, std::string_view stat);

// Parses a registration document: exactly one JSON value, null or an object
// whose members are all strings or null (null reads as ""); a member given
// twice keeps its last value. Returns false with *err describing the fault.
bool parseRegistrationDocument(std::string_view input, std::map<std::string, std::string>* doc,
                               std::string* err);

#endif  // KTRP_REGISTRATION_DOC_H_
