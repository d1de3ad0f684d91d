// import-registration: a peer's registration document, from -in or stdin,
// becomes a new upstream of the rp config.
//
// The document is read whole (at most 1 MiB) and parsed before any file is
// touched; the alias (-alias, else the document's dc-uid) and the values are
// checked as the rp config can hold them. A missing rp config is created with
// "rp.enable = yes"; a registration it already holds, or a property the alias
// already has, ends the run before the one append of the new lines. The
// instance's identity files are made last, when missing.
#ifndef KTRP_REGISTRATION_IMPORT_H_
#define KTRP_REGISTRATION_IMPORT_H_

#include <string>

void importRegistration(const std::string& rpPath);

#endif  // KTRP_REGISTRATION_IMPORT_H_
