#ifndef ORVIND_FPL_H
#define ORVIND_FPL_H

#include <ctime>

// Writes one indication into the management processor's FPL as an OEM record (type 0xE0).
// The provider's event number is translated into the platform's IPMI event id through the
// BMC library's event dictionaries. On finding the event's dictionary entry, its alert
// level is stored through alert_level (also when the append then fails).
// Returns 0 when the record was appended, -1 when a dictionary lookup found nothing, else
// the non-zero code of BMC_open or BMC_FPL_append_entry.
int write_fpl(const char* provider_name, const unsigned int wbem_event_id, const time_t event_time,
              unsigned int* alert_level);

// The alert level that the event dictionaries give the event, looked up without writing
// anything to the BMC or the log; 0 when the event has none or the library cannot be opened.
unsigned int fpl_alert_level(const char* provider_name, unsigned int wbem_event_id);

// Logs one error line naming the event dictionary's file and why it cannot be used,
// when it cannot; nothing otherwise.
void fpl_check_dictionary();

#endif
