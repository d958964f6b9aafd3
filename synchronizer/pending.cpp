#include "pending.h"

#include "statement.h"
#include "transaction.h"

namespace {

const char* const kCreate = "CREATE TABLE IF NOT EXISTS bmc_pending(row INTEGER, target TEXT, "
                            "record BLOB, last_id INTEGER, assigned_id INTEGER)";
const char* const kClear = "DELETE FROM bmc_pending";
const char* const kInsert = "INSERT INTO bmc_pending(row, target, record, last_id, assigned_id) "
                            "VALUES(?, ?, ?, ?, 0)";
const char* const kRead = "SELECT row, target, record, last_id, assigned_id FROM bmc_pending "
                          "ORDER BY rowid";
const char* const kAssign = "UPDATE bmc_pending SET assigned_id=? WHERE row=? AND target=?";

using sql::run;
using sql::Statement;

} // namespace

namespace pending {

int prepare(sqlite3* db) {
    return sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
}

int replace(sqlite3* db, const std::vector<Note>& notes) {
    Transaction transaction(db);
    int rc = transaction.begun();
    if (rc != SQLITE_OK) {
        return rc;
    }
    rc = sqlite3_exec(db, kClear, nullptr, nullptr, nullptr);
    Statement insert;
    if (rc == SQLITE_OK && !notes.empty()) {
        insert = sql::prepare(db, kInsert, &rc);
    }
    for (size_t i = 0; rc == SQLITE_OK && i < notes.size(); ++i) {
        const Note& note = notes[i];
        sqlite3_reset(insert.get());
        sqlite3_bind_int(insert.get(), 1, note.row);
        sqlite3_bind_text(insert.get(), 2, note.target.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert.get(), 3, note.record.data(), static_cast<int>(note.record.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert.get(), 4, note.lastId);
        rc = run(insert.get());
    }
    return rc == SQLITE_OK ? transaction.commit() : rc;
}

int read(sqlite3* db, std::vector<Note>& notes) {
    notes.clear();
    int rc = SQLITE_OK;
    Statement select(sql::prepare(db, kRead, &rc));
    if (rc != SQLITE_OK) {
        // A database the forwarding has not noted anything in yet has no table.
        return sqlite3_errcode(db) == SQLITE_ERROR ? SQLITE_OK : rc;
    }
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        Note note;
        note.row = sqlite3_column_int(select.get(), 0);
        const unsigned char* target = sqlite3_column_text(select.get(), 1);
        note.target = target != nullptr ? reinterpret_cast<const char*>(target) : "";
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(select.get(), 2));
        const int size = sqlite3_column_bytes(select.get(), 2);
        if (bytes != nullptr && size > 0) {
            note.record.assign(bytes, bytes + size);
        }
        note.lastId = static_cast<unsigned>(sqlite3_column_int64(select.get(), 3));
        note.assignedId = static_cast<unsigned>(sqlite3_column_int64(select.get(), 4));
        notes.push_back(note);
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int assign(sqlite3* db, int row, const std::string& target, unsigned assignedId) {
    int rc = SQLITE_OK;
    Statement update(sql::prepare(db, kAssign, &rc));
    if (rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_bind_int64(update.get(), 1, assignedId);
    sqlite3_bind_int(update.get(), 2, row);
    sqlite3_bind_text(update.get(), 3, target.c_str(), -1, SQLITE_TRANSIENT);
    return run(update.get());
}

} // namespace pending
