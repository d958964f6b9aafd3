#ifndef ORVIND_INDICATION_H
#define ORVIND_INDICATION_H

#include <ctime>

#include <tallow.h>

// One stored indication as the forwarding side sees it: just the fields that the
// FPL record and the management-processor event need. The character fields are
// always NUL-terminated; longer column texts are cut to fit.
typedef struct {
    int id;                         // row id
    char proName[64];               // provider name, blanks replaced by '_'
    char partNumber[64];            // hardware part number
    int eventId;                    // provider's event number
    time_t eventTime;               // event time, read as local time
    physloc_t hw_location;          // physical location, BMC_physloc_NULL if none
    char systemFirmwareVersion[64]; // trailing blanks removed
    char address[1024];             // network addresses, trailing blanks removed
} Indication_t;

#endif
