#ifndef ORVIND_STATEMENT_H
#define ORVIND_STATEMENT_H

#include <sqlite3.h>

#include <memory>

namespace sql {

// Finalizes a prepared statement.
struct Finalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
// A prepared statement and its one owner.
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

// Prepares one statement; empty, with the reason in *rc, when SQLite refuses it.
inline Statement prepare(sqlite3* db, const char* sql, int* rc) {
    sqlite3_stmt* raw = nullptr;
    *rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    Statement stmt(raw);
    if (*rc != SQLITE_OK) {
        stmt.reset();
    }
    return stmt;
}

// Steps a statement that gives no row: SQLITE_OK once it is done, else SQLite's code.
inline int run(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

} // namespace sql

#endif
