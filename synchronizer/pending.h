#ifndef ORVIND_PENDING_H
#define ORVIND_PENDING_H

#include <cstdint>
#include <sqlite3.h>
#include <string>
#include <vector>

// What is about to be sent to the BMC, kept in the database's table bmc_pending before it
// is sent: for each record of a group of rows, the row, the target ("fpl", "mp"), the
// record's bytes as the BMC will keep them, and the id of the newest record the BMC had
// before the group; once the BMC has answered, the id it assigned. After a kill, or a BMC
// that did not answer, the records the BMC added since tell which of them arrived
// (settle.h), so that none is sent twice.
namespace pending {

// One record about to be sent.
struct Note {
    int row = 0;
    std::string target;
    std::vector<uint8_t> record; // the record type, then its 13 body bytes
    unsigned lastId = 0;         // the BMC's newest record id before the group
    unsigned assignedId = 0;     // the id the BMC gave it; 0 until it answered
};

// Makes the table when it is missing. The SQLite result code.
int prepare(sqlite3* db);

// The notes of a new group in place of those of the last, in one transaction (one sync).
// The SQLite result code.
int replace(sqlite3* db, const std::vector<Note>& notes);

// Every note, in the order it was noted. The SQLite result code; a database without the
// table has none (SQLITE_OK).
int read(sqlite3* db, std::vector<Note>& notes);

// Keeps the id the BMC assigned to the record of `row` for `target`; run inside the
// transaction that marks the row. The SQLite result code.
int assign(sqlite3* db, int row, const std::string& target, unsigned assignedId);

} // namespace pending

#endif
