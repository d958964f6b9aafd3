#ifndef ORVIND_LEDGER_H
#define ORVIND_LEDGER_H

#include <sqlite3.h>
#include <string>
#include <vector>

// What became of the rows sent to the BMC, counted per target ("fpl", "mp") and result
// ("written", "not_kept", "refused", "no_dictionary_entry") in the database's table
// bmc_outcome, beside the rows themselves: a count is added in the same transaction that
// marks its row forwarded, so the counts survive restarts and never count a row twice.
namespace ledger {

// One outcome of a row: the target and its result's name.
struct Outcome {
    std::string target;
    std::string result;
    // The id the BMC gave the target's record, kept in its note (pending.h) with the mark;
    // 0 when none was noted or given.
    unsigned assignedId = 0;
};

// One count of the table.
struct Count {
    std::string target;
    std::string result;
    long long count = 0;
};

// Makes the table when it is missing. The SQLite result code.
int prepare(sqlite3* db);

// Marks row `id` forwarded (status 1) and adds one to the count of each outcome, in one
// transaction on the forwarding thread's own connection; a busy database is tried again as the
// store's own mark is (2, 4 and 6 s), with the same log lines ("update number %d indication
// success", ...). The SQLite result code of the last attempt.
int markForwarded(sqlite3* db, int id, const std::vector<Outcome>& outcomes);

// Every count, ordered by target and result. The SQLite result code; a database without
// the table has no counts (SQLITE_OK).
int readCounts(sqlite3* db, std::vector<Count>& counts);

} // namespace ledger

#endif
