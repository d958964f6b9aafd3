#ifndef ORVIND_UPSTREAM_H
#define ORVIND_UPSTREAM_H

#include <ctime>
#include <set>
#include <sqlite3.h>
#include <string>
#include <vector>

// Loss before the daemon, made visible. With delivery retries on, the broker numbers what
// it delivers to the pipe (SequenceNumber) within one run of its own (SequenceContext).
// A number still missing kGapSeconds after a later one arrived was lost upstream (the
// broker delivers out of order, so a hole may still fill); a number seen again is a
// repeat (its row is stored all the same). A new context is a new run of the broker and
// starts a count of its own. The last numbers of each context are kept in the database
// table upstream_sequence, in the transaction that stores their rows.
namespace upstream {

constexpr time_t kGapSeconds = 60;

// What is known of one context.
struct Context {
    // Every number below this one has arrived or been counted missing.
    long long below = 0;
    // Numbers at or above `below` that have arrived.
    std::set<long long> seen;
    // When a number above the first hole arrived (0: no hole).
    time_t holeSince = 0;
    long long missing = 0;
    long long repeated = 0;
};

// Numbers that never arrived: first to last.
struct Gap {
    std::string context;
    long long first = 0;
    long long last = 0;
};

// One number of a context arrives. The first number of a context starts it.
void see(Context& c, long long number, time_t now, bool first);
// Counts the first hole missing once it is kGapSeconds old; false when there is none due.
bool expire(Context& c, time_t now, Gap* gap);

struct Sighting {
    std::string context;
    long long number = 0;
};

// Records the numbers of one commit and counts the holes that are due, in the caller's
// transaction on `db`; the gaps counted are added to *gaps, for the log once committed.
// The SQLite result code.
int record(sqlite3* db, const std::vector<Sighting>& sightings, time_t now, std::vector<Gap>* gaps);

} // namespace upstream

#endif
