#ifndef ORVIND_HALCYON_H
#define ORVIND_HALCYON_H

#include <tallow.h>

#include <cstddef>
#include <ctime>

// Sizes of the callers' buffers for the host facts, terminating NUL included.
const size_t kProviderVersionSize = 10;
const size_t kOSVersionSize = 20;

// Sends one indication to the management processor as the command "MPEventGen", its
// parameter text carrying the indication's data and facts about the host. event_time is
// accepted and not used. Returns 0 when the command was accepted; 1 when the library could
// not be opened, a buffer could not be allocated, the provider name is missing or the
// command came back with a non-zero status; else the interface code of ZU_CLI_Exec.
// When may_pass is given it tells whether a failure may pass if tried again later: the
// library could not be opened, or the command timed out before it was answered.
int mp_event_gen(const char* provider_name, const char* hw_partnumber,
                 const unsigned int wbem_event_id, const time_t event_time, physloc_t hw_location,
                 const char* system_FirmwareVersion, const char* system_address,
                 bool* may_pass = nullptr);

// Version of the installed provider package (the third '-'-separated piece of what
// "rpm -qf /opt/vexa/vexa-qrx" prints) into version, kProviderVersionSize bytes; a longer
// piece is cut. 0 found, 1 not.
int GetProviderVersion(char* version);

// OS type code from "rpm -qf /etc/issue": 84 when the text holds "sles", else 79 when it
// holds "redhat", else *type is left alone. 0 when the command ran, 1 when it could not.
int GetOSType(int* type);

// Kernel release up to its first '-' into version, kOSVersionSize bytes. 0 found, 1 not.
int GetOSVersion(char* version);

// The kernel version part of a release text: up to, not including, the first '-', cut to
// fit size bytes with its NUL. Used by GetOSVersion.
void CutKernelRelease(const char* release, char* version, size_t size);

#endif
