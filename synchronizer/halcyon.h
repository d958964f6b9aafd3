#ifndef ORVIND_HALCYON_H
#define ORVIND_HALCYON_H

#include "fpl.h"

#include <tallow.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

// Sizes of the callers' buffers for the host facts, terminating NUL included.
const size_t kProviderVersionSize = 10;
const size_t kOSVersionSize = 20;

// The fields of one indication that its parameter text carries.
struct EventFields {
    const char* providerName = nullptr; // never null or empty here
    const char* hwPartNumber = nullptr;
    unsigned int wbemEventId = 0;
    physloc_t hwLocation = {};
    const char* systemFirmwareVersion = nullptr;
    const char* systemAddress = nullptr;
};

// Facts about the host that the parameter text carries; each item is left out when its
// fact is not known (an empty system UUID counts as not known).
struct HostFacts {
    bool providerVersionKnown = false;
    std::string providerVersion;
    int osType = 36;
    bool osVersionKnown = false;
    std::string osVersion;
    std::string systemUuid;
    bool hostNameKnown = false;
    std::string hostName;
    bool instanceIdKnown = false;
    std::string instanceId;
};

// Writes the parameter text of "MPEventGen" for the event and the host into `text`
// (`size` bytes, NUL-terminated, cut at its end): "--PNAM name", then " --HPART",
// " --EID", " --PVER", " --OSTYP", " --OSVER", " --EVTTYP", " --IMD", " --SGUID",
// " --HPHYL", " --SFWVER", " --NWADD" (blanks as "___"), " --SNAM" and " --IID", each
// item only when it has a value.
void BuildParameterText(char* text, size_t size, const EventFields& event, const HostFacts& host);

// Sends one indication to the management processor as the command "MPEventGen" through
// the session's handle (closed when the command timed out), its
// parameter text carrying the indication's data and facts about the host. event_time is
// accepted and not used. Returns 0 when the command was accepted; 1 when the library could
// not be opened, a buffer could not be allocated, the provider name is missing or the
// command came back with a non-zero status; else the interface code of ZU_CLI_Exec.
// When may_pass is given it tells whether a failure may pass if tried again later: the
// library could not be opened, or the command timed out before it was answered.
// *outcome, when given, gets what became of the command (Written, Refused with the
// answer's text, or NotReached).
int mp_event_gen(BmcSession& session, const char* provider_name, const char* hw_partnumber,
                 const unsigned int wbem_event_id, const time_t event_time, physloc_t hw_location,
                 const char* system_FirmwareVersion, const char* system_address,
                 bool* may_pass = nullptr, BmcOutcome* outcome = nullptr);

// The record that "MPEventGen" for the event leaves in the BMC's log once accepted, into
// *entry (see ZU_CLI_record); false when it leaves none there.
bool mp_planned_record(BMC_t* bmc, const char* provider_name, unsigned int wbem_event_id,
                       SEL_entry_t* entry);

// Version of the installed provider package (the third '-'-separated piece of what
// "rpm -qf /opt/vexa/vexa-qrx" prints) into version, kProviderVersionSize bytes; a longer
// piece is cut. 0 found, 1 not.
int GetProviderVersion(char* version);

// OS type code from "rpm -qf /etc/issue": 84 when the text holds "sles", else 79 when it
// holds "redhat", else *type is left alone. 0 when the command ran, 1 when it could not.
int GetOSType(int* type);

// The folders of the package database whose change (a package installed, upgraded or
// removed) makes GetProviderVersion and GetOSType ask rpm again; until then they give
// its last answer. By default rpm's own; tests point them elsewhere.
void WatchPackageDatabases(const std::vector<std::string>& folders);

// Whether rpm can be run: an executable "rpm" in a folder of PATH. Without it the
// provider version is not known (GetProviderVersion answers 1 without a line) and the OS
// type stays as preset.
bool RpmInstalled();

// At start-up: one line when rpm is not installed, instead of one for every event.
void CheckHostFacts();

// Kernel release up to its first '-' into version, kOSVersionSize bytes. 0 found, 1 not.
int GetOSVersion(char* version);

// The kernel version part of a release text: up to, not including, the first '-', cut to
// fit size bytes with its NUL. Used by GetOSVersion.
void CutKernelRelease(const char* release, char* version, size_t size);

#endif
