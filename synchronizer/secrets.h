#ifndef ORVIND_SECRETS_H
#define ORVIND_SECRETS_H

#include "files.h"

// The BMC's LAN password never stays in the daemon's environment, where every child
// (rpm) would inherit it and /proc/PID/environ would show it. The BMC library takes it
// from the service's credential "bmc-password" or from a root-only file named by
// ORVIND_BMC_PASSWORD_FILE; ORVIND_BMC_PASSWORD is accepted for tests only.
namespace secrets {

// Called once at start-up, before any other thread or child exists. When
// ORVIND_BMC_PASSWORD is set, it is removed from the environment and its bytes in the
// environment the process started with are overwritten; unless a credential or a file
// gives the password, one warning says how to give it instead, and the password goes
// into an anonymous file of this process (mode 0600, closed on exec) that
// ORVIND_BMC_PASSWORD_FILE names as /proc/self/fd/N. The caller keeps the returned
// descriptor open for the life of the process (none when there is nothing to keep).
files::Fd takeBmcPassword();

} // namespace secrets

#endif
