#ifndef ORVIND_SQLITEDB_H
#define ORVIND_SQLITEDB_H

#include "indication.h"
#include "paths.h"
#include "statement.h"

#include <chrono>
#include <cimc/cimc.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <vector>

// The 36 columns that a stored indication fills from its instance, as pairs of
// (name, kind): each name is a column of the table and the CIM property that
// supplies it; the kind "string" is stored as text, "int" as an integer.
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

    // Stores the instance as a new row with status 0 (or adds it to the batch set with
    // collectInto). Returns the SQLite result code: 0 stored, 5 busy, else failed.
    int storeIndication(CIMCInstance* inst);

    // Fills *pind from the oldest row not yet forwarded and returns true; returns
    // false, leaving *pind untouched, when there is none or it cannot be read.
    bool getIndication(Indication_t* pind);

    // The oldest rows not yet forwarded, at most `limit` of them, as getIndication reads
    // each, without a line in the log. False when they cannot be read.
    bool peekIndications(std::vector<Indication_t>& rows, int limit);

    // Marks the row forwarded (status 1). Returns the SQLite result code.
    int updateIndication(int id);

    // Copies what the write-ahead log holds into the database file as far as no
    // reader needs it, without waiting for anyone; for idle moments. Returns the
    // SQLite result code.
    int checkpoint();

    // Whether the database was made anew by this program (there was none, or a damaged
    // one was moved aside) and nothing has been started anew for it since
    // (settleMadeAnew). What was kept beside an earlier database (the forwarding marks)
    // names rows of that one. False when it cannot be read.
    bool madeAnew();
    // What madeAnew() says is settled, durably. Returns the SQLite result code.
    int settleMadeAnew();

    // The highest row id of the table, 0 when it is empty or cannot be read.
    int highestId();

    // The connection, for pieces that keep tables of their own in the same database;
    // used only by the thread that owns this object, never beside its other calls.
    sqlite3* connection() { return db.get(); }

    // One row to insert: the value of each column of `members`, in their order (none: SQL
    // NULL), the delivered document and the provider's name for the log.
    struct Row {
        std::vector<std::optional<std::string>> values;
        std::string rawData;
        std::string name;
        // The broker's numbering of its deliveries, when the document carries it.
        std::optional<std::string> sequenceContext;
        long long sequenceNumber = 0;
    };
    // Rows of one or more documents, stored together with the intake's position.
    struct Batch {
        std::vector<Row> rows;
        size_t size() const { return rows.size(); }
    };
    // While a batch is set (nullptr: none), storeIndication adds its row to it and
    // returns 0 instead of storing it.
    void collectInto(Batch* batch) { collecting = batch; }
    // Runs the batch and records `position` as the intake's position, and the broker's
    // numbering of the rows (upstream.h), in one transaction. A row that SQLite rejects for good is
    // logged and passed over. Returns SQLITE_OK once committed; otherwise everything is rolled back
    // and the result code tells why.
    int commitBatch(const Batch& batch, unsigned long long position);
    // The intake position last committed (0 in a new database). Throws
    // std::runtime_error, touching nothing, when the position table is of a newer
    // format or damaged.
    unsigned long long intakePosition();
    // Failures that may pass by themselves (full disk, I/O error, locked, damaged
    // file that will be set aside), as opposed to a statement SQLite rejects.
    static bool mayPass(int rc);

    // Closes a connection.
    struct Closer {
        void operator()(sqlite3* handle) const { sqlite3_close(handle); }
    };

private:
    // Within commitBatch's transaction: the last row inserted arrived in this minute.
    void noteArrival();
    // Sets the journal, its syncs and checkpoints, and the busy wait on a freshly
    // opened connection; may reopen it on the rollback journal.
    void configure(const std::string& path);
    void reopenOnRollbackJournal(const std::string& path);

    void open(const std::string& path);
    // Makes the table in a database that has none, noting that the database is new.
    void makeIfNew();
    void addMissingColumns();
    // Inserts one row through the prepared insert, under `lock`; the SQLite result code.
    int insertRow(const Row& row);

    // Serialises the statements of this connection. The store never sleeps or logs
    // while holding it.
    std::mutex lock;
    std::unique_ptr<sqlite3, Closer> db;
    // The insert of every column, prepared on first use and kept for the connection.
    sql::Statement insert;
    std::string rawDataPath;
    // When the last copy of the write-ahead log was held back by a reader.
    std::chrono::steady_clock::time_point checkpointHeldBack;

    Batch* collecting = nullptr;
};

#endif
