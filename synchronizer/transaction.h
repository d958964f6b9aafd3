#ifndef ORVIND_TRANSACTION_H
#define ORVIND_TRANSACTION_H

#include <sqlite3.h>

// One write transaction on a connection, rolled back when the object goes unless it
// was committed: every way out of a function (an early return, an exception) leaves
// the database as it was before the transaction began.
class Transaction {
public:
    // Begins the transaction at once with the write lock (BEGIN IMMEDIATE): a
    // transaction that cannot have it fails here, before any statement ran.
    explicit Transaction(sqlite3* db)
        : db_(db), result_(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) {}
    ~Transaction() {
        // SQLite may have rolled back by itself already (a full disk, an I/O error).
        if (result_ == SQLITE_OK && !committed_ && sqlite3_get_autocommit(db_) == 0) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // The result of the begin: SQLITE_OK when the transaction is open.
    int begun() const { return result_; }
    // Commits: SQLITE_OK, or the reason why not (the destructor then rolls back).
    int commit() {
        if (result_ != SQLITE_OK) {
            return result_;
        }
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        committed_ = rc == SQLITE_OK;
        return rc;
    }

private:
    sqlite3* db_;
    int result_;
    bool committed_ = false;
};

#endif
