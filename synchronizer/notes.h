#ifndef ORVIND_NOTES_H
#define ORVIND_NOTES_H

#include <string>
#include <vector>

class BmcSession;
class SQLiteDB;

// The forwarder's side of delivering each record once: before the rows of a group are
// sent, the record each target is to get is noted in the store (pending.h), in one
// transaction for the whole group; after a kill, or an outage that left a record without
// an answer, the notes are settled by reading back what the BMC added since (settle.h).
namespace notes {

// The most rows one note covers: one sync for so many rows.
const int kGroupRows = 64;

// Where the marks of the two targets are.
struct Marks {
    std::string fpl;
    std::string halcyon;
};

// Notes the records of the next rows not yet forwarded, from `first` on (at most
// kGroupRows of them), for the targets whose marks they are beyond: the FPL record of
// each row the dictionaries know, and the event record of each row selected for halcyon
// where the BMC keeps such records in its log; with them the id of the BMC's newest
// record. *through gets the last row covered. Anything but Yes: nothing is to be sent.
enum class Noted {
    Yes,
    NotOpened,  // the BMC cannot be opened
    NotRead,    // the BMC did not answer (its session is closed)
    NotWritten, // the store refused the note
};
Noted noteGroup(SQLiteDB& store, BmcSession& session, const Marks& marks, int first, int* through);

// A noted record found in the BMC's log: its row, target ("fpl", "mp") and record id.
struct Found {
    int row = 0;
    std::string target;
    unsigned id = 0;
};

// The noted records beyond their target's mark that the BMC holds, in the order they
// were sent, read back from the BMC's log after the id noted with them; each is to be
// marked without sending it again. A note the BMC does not hold is left to be sent.
// False when the BMC cannot be opened or read (to be tried again); true, with nothing
// found, when no note lies beyond its mark.
bool settleNotes(SQLiteDB& store, BmcSession& session, const Marks& marks,
                 std::vector<Found>& found);

} // namespace notes

#endif
