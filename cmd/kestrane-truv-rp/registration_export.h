// export-registration: this instance's registration as the registration
// document, on stdout or in the -out file.
//
// The address and the digest come from a registration directory: certs.REG-ID
// under the truv root with -reg-id, else the one directory of the tree whose
// name begins with "certs" and that gives a value (two such end the run); each
// is searched on its own. The DC UID and the cluster secret come from the
// identity files in conf.d, the stat endpoint from the address and the truv
// config's listen address. The registration lock is held while the files are
// read; nothing but the -out file and the lock file is written.
#ifndef KTRP_REGISTRATION_EXPORT_H_
#define KTRP_REGISTRATION_EXPORT_H_

// The handler of export-registration; takes the registration lock itself.
void exportRegistration();

#endif  // KTRP_REGISTRATION_EXPORT_H_
