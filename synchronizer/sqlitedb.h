#ifndef ORVIND_SQLITEDB_H
#define ORVIND_SQLITEDB_H

#include "indication.h"
#include "paths.h"

#include <chrono>
#include <cimc/cimc.h>
#include <memory>
#include <pthread.h>
#include <sqlite3.h>
#include <string>

// Serialises the statements of every SQLiteDB object of the process. The store
// never sleeps or logs while holding it.
extern pthread_mutex_t mutex;

// The 36 columns that a stored indication fills from its instance, as pairs of
// (name, kind): each name is a column of the table and the CIM property that
// supplies it; the kind "string" is written as quoted text, "int" bare.
extern const char* const members[72];

// One connection to the indication database. Each thread owns its own object.
class SQLiteDB {
public:
    // The file that the intake loop copies every delivered document into.
    static constexpr const char* kRawDataPath = paths::kTempFile;

    // Opens (or creates) the database at path and makes sure the table exists.
    // rawDataPath is the file whose text storeIndication keeps as RawData.
    // Throws std::runtime_error when the file cannot be opened or the table
    // cannot be created.
    explicit SQLiteDB(const std::string& path, const std::string& rawDataPath = kRawDataPath);

    SQLiteDB(const SQLiteDB&) = delete;
    SQLiteDB& operator=(const SQLiteDB&) = delete;

    // Stores the instance as a new row with status 0, retrying while the database
    // is busy. Returns the SQLite result code: 0 stored, 5 still busy, else failed.
    int storeIndication(CIMCInstance* inst);

    // Fills *pind from the oldest row not yet forwarded and returns true; returns
    // false, leaving *pind untouched, when there is none or it cannot be read.
    bool getIndication(Indication_t* pind);

    // Marks the row forwarded (status 1). Returns the SQLite result code.
    int updateIndication(int id);

    // Copies what the write-ahead log holds into the database file as far as no
    // reader needs it, without waiting for anyone; for idle moments. Returns the
    // SQLite result code.
    int checkpoint();

private:
    // Sets the journal, its syncs and checkpoints, and the busy wait on a freshly
    // opened connection; may reopen it on the rollback journal.
    void configure(const std::string& path);

    struct Closer {
        void operator()(sqlite3* handle) const { sqlite3_close(handle); }
    };

    std::unique_ptr<sqlite3, Closer> db;
    std::string rawDataPath;
    // When the last copy of the write-ahead log was held back by a reader.
    std::chrono::steady_clock::time_point checkpointHeldBack;
};

#endif
