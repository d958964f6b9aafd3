#include "ledger.h"

#include "logger.h"
#include "pending.h"
#include "statement.h"
#include "transaction.h"

#include <unistd.h>

namespace {

const int kAttempts = 4;

const char* const kCreate = "CREATE TABLE IF NOT EXISTS bmc_outcome(Target TEXT, Result TEXT, "
                            "Count INTEGER, PRIMARY KEY(Target, Result))";
const char* const kMark = "UPDATE indication SET Status=1 WHERE Id=?";
const char* const kCount = "INSERT INTO bmc_outcome(Target, Result, Count) VALUES(?, ?, 1) "
                           "ON CONFLICT(Target, Result) DO UPDATE SET Count=Count+1";
const char* const kRead = "SELECT Target, Result, Count FROM bmc_outcome ORDER BY Target, Result";

using sql::run;

// The mark and the counts in one transaction; rolled back unless all of it is in.
int markOnce(sqlite3* db, int id, const std::vector<ledger::Outcome>& outcomes) {
    Transaction transaction(db);
    int rc = transaction.begun();
    if (rc != SQLITE_OK) {
        return rc;
    }
    sql::Statement mark(sql::prepare(db, kMark, &rc));
    if (rc == SQLITE_OK) {
        sqlite3_bind_int(mark.get(), 1, id);
        rc = run(mark.get());
    }
    if (rc == SQLITE_OK && !outcomes.empty()) {
        sql::Statement count(sql::prepare(db, kCount, &rc));
        for (size_t i = 0; rc == SQLITE_OK && i < outcomes.size(); ++i) {
            sqlite3_reset(count.get());
            sqlite3_bind_text(count.get(), 1, outcomes[i].target.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(count.get(), 2, outcomes[i].result.c_str(), -1, SQLITE_TRANSIENT);
            rc = run(count.get());
        }
    }
    for (size_t i = 0; rc == SQLITE_OK && i < outcomes.size(); ++i) {
        if (outcomes[i].assignedId != 0) {
            rc = pending::assign(db, id, outcomes[i].target, outcomes[i].assignedId);
        }
    }
    return rc == SQLITE_OK ? transaction.commit() : rc;
}

} // namespace

namespace ledger {

int prepare(sqlite3* db) {
    return sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
}

int markForwarded(sqlite3* db, int id, const std::vector<Outcome>& outcomes) {
    int rc = SQLITE_OK;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        rc = markOnce(db, id, outcomes);
        if (rc == SQLITE_OK) {
            logger.info("update number %d indication success", id);
            break;
        }
        if (rc != SQLITE_BUSY || attempt == kAttempts - 1) {
            logger.error("update number %d indication failed", id);
            break;
        }
        int seconds = 2 * (attempt + 1);
        // sleep() is safe on glibc's threads; the tests stand in for it to take the pauses.
        sleep(static_cast<unsigned>(seconds)); // NOLINT(concurrency-mt-unsafe)
        logger.info("database is busy, update %d indication again in %d seconds", id, seconds);
    }
    return rc;
}

int readCounts(sqlite3* db, std::vector<Count>& counts) {
    counts.clear();
    int rc = SQLITE_OK;
    sql::Statement read(sql::prepare(db, kRead, &rc));
    if (rc != SQLITE_OK) {
        // A database the forwarding has not worked on yet has no table: no counts.
        return sqlite3_errcode(db) == SQLITE_ERROR ? SQLITE_OK : rc;
    }
    while ((rc = sqlite3_step(read.get())) == SQLITE_ROW) {
        Count count;
        const unsigned char* target = sqlite3_column_text(read.get(), 0);
        const unsigned char* result = sqlite3_column_text(read.get(), 1);
        count.target = target != nullptr ? reinterpret_cast<const char*>(target) : "";
        count.result = result != nullptr ? reinterpret_cast<const char*>(result) : "";
        count.count = sqlite3_column_int64(read.get(), 2);
        counts.push_back(count);
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

} // namespace ledger
