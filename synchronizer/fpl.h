#ifndef ORVIND_FPL_H
#define ORVIND_FPL_H

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

// The BMC library's handle and log record (tallow.h).
typedef struct BMC BMC_t;
typedef struct SEL_entry SEL_entry_t;
class BmcSession;

// Closes an open BMC handle and frees its record.
struct BmcClose {
    void operator()(BMC_t* bmc) const;
};
// The one owner of an open BMC handle.
using BmcHandle = std::unique_ptr<BMC_t, BmcClose>;

// What became of a record or command sent to the BMC.
enum class BmcResult {
    Written,           // accepted, and (for an FPL record) read back as sent
    NotKept,           // accepted, but the BMC does not hold it as sent
    Refused,           // the BMC or the library refused it for good
    NoDictionaryEntry, // the event has no entry in the event dictionaries: nothing sent
    NotReached,        // the BMC could not be reached: to be tried again
};
struct BmcOutcome {
    BmcResult result = BmcResult::NotReached;
    std::string reason;    // the BMC's answer, for NotKept and Refused
    unsigned recordId = 0; // the id the BMC gave an FPL record it accepted
};
// The name a result is counted under: "written", "not_kept", "refused",
// "no_dictionary_entry" ("" for NotReached, which is not counted).
const char* bmc_result_name(BmcResult result);

// write_fpl's result when the BMC accepted the record but did not keep it.
const int kFplNotKept = -2;

// Opens unit 0 of the BMC library with `flags`. Empty when it cannot be opened; *rc,
// when given, gets the library's code (0 when open).
BmcHandle open_bmc(int flags, int* rc = nullptr);

// The OEM record (type 0xE0) that write_fpl appends for an event: the IPMI event id's
// low 18 bits, data type 25, the alert level's low 3 bits, the entity class's low 8
// bits, the event time's low 32 bits in bytes 9 to 12 (least significant first) and
// byte 16 set to 1; everything else 0.
SEL_entry_t fpl_record(uint32_t ipmi_event_id, unsigned int alert_level,
                       unsigned int rep_ent_id_class, time_t event_time);

// Writes one indication into the management processor's FPL as an OEM record (type 0xE0),
// through the session's handle.
// The provider's event number is translated into the platform's IPMI event id through the
// BMC library's event dictionaries. On finding the event's dictionary entry, its alert
// level is stored through alert_level (also when the append then fails).
// Once appended, the record is read back under the id the BMC gave it and compared:
// a BMC may answer success and keep nothing.
// Returns 0 when the record was appended and read back, -1 when a dictionary lookup found
// nothing, kFplNotKept when the BMC accepted the record but does not hold it as sent, else
// the non-zero code of BMC_open or BMC_FPL_append_entry. A failure that may pass closes
// the session.
// When may_pass is given it tells whether a failure may pass if tried again later (see
// bmc_failure_may_pass); a refusal that will not change leaves it false. *outcome, when
// given, gets what became of the record and the BMC's answer.
int write_fpl(BmcSession& session, const char* provider_name, const unsigned int wbem_event_id,
              const time_t event_time, unsigned int* alert_level, bool* may_pass = nullptr,
              BmcOutcome* outcome = nullptr);

// The record write_fpl appends for the event into *entry, and the event's alert level
// into *alert_level (0 when it has none), looked up in the event dictionaries without a
// line in the log. False when they have no OEM record for the event.
bool fpl_planned_record(BMC_t* bmc, const char* provider_name, unsigned int wbem_event_id,
                        time_t event_time, SEL_entry_t* entry, unsigned int* alert_level);

// Why the record the BMC acknowledged with entry.ThisID is not what was sent: "" when it
// reads back as sent (record type and body), else the BMC's answer in words.
std::string fpl_not_kept(BMC_t* bmc, const SEL_entry_t& entry);

// The alert level that the event dictionaries give the event, looked up without writing
// anything to the BMC or the log, through the session's handle; 0 when the event has none
// or the library cannot be opened (then *opened, when given, is false).
unsigned int fpl_alert_level(BmcSession& session, const char* provider_name,
                             unsigned int wbem_event_id, bool* opened = nullptr);

// Whether an append that failed with this BMC library code may succeed later: the BMC did
// not answer in time, was busy, the session was lost or the link failed. A record the BMC
// refused (invalid, log full, no permission) is refused again.
bool bmc_failure_may_pass(int code);

// Whether the BMC can be opened now; opens and closes it without a log line.
bool bmc_answers();

// Logs one error line naming the event dictionary's file and why it cannot be used,
// when it cannot; nothing otherwise.
void fpl_check_dictionary();

#endif
