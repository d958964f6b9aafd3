#include "sqlitedb.h"

#include "cutter.h"
#include "files.h"
#include "ledger.h"
#include "logger.h"
#include "statement.h"
#include "transaction.h"
#include "upstream.h"
#include "values.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

// clang-format off
const char* const members[72] = {
    "IndicationIdentifier",          "string",
    "IndicationTime",                "string",
    "PerceivedSeverity",             "int",
    "Description",                   "string",
    "HWPhysicalLocation",            "string",
    "HWEncodingPhysicalLocation",    "string",
    "AlertingElementFormat",         "int",
    "AlertType",                     "int",
    "ProbableCause",                 "int",
    "ProbableCauseDescription",      "string",
    "RecommendedActions",            "string",
    "EventID",                       "string",
    "EventTime",                     "string",
    "SystemCreationClassName",       "string",
    "SystemName",                    "string",
    "ProviderName",                  "string",
    "ProviderVersion",               "string",
    "OSType",                        "int",
    "OSVersion",                     "string",
    "NetworkAddresses",              "string",
    "SystemFirmwareVersion",         "string",
    "SystemSerialNumber",            "string",
    "SystemProductID",               "string",
    "SystemModel",                   "string",
    "SystemGUID",                    "string",
    "Summary",                       "string",
    "EventCategory",                 "int",
    "BladeBay",                      "string",
    "BladeName",                     "string",
    "EnclosureName",                 "string",
    "RackName",                      "string",
    "RackUID",                       "string",
    "ImpactedDomain",                "int",
    "ComplexName",                   "string",
    "HWPartNumber",                  "string",
    "PartitionID",                   "string",
};
// clang-format on

namespace {

const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS indication(\tId INTEGER PRIMARY KEY AUTOINCREMENT,Status "
    "SMALLINT,IndicationIdentifier VARCHAR(64),IndicationTime VARCHAR(64),PerceivedSeverity "
    "SMALLINT,Description VARCHAR(4096),HWPhysicalLocation VARCHAR(256),HWEncodingPhysicalLocation "
    "VARCHAR(256),AlertingElementFormat SMALLINT,AlertType SMALLINT,ProbableCause "
    "SMALLINT,ProbableCauseDescription VARCHAR(4096),RecommendedActions VARCHAR(4096),EventID "
    "VARCHAR(64),EventTime VARCHAR(64),SystemCreationClassName VARCHAR(64),SystemName "
    "VARCHAR(64),ProviderName VARCHAR(64),ProviderVersion VARCAHR(64),OSType SMALLINT,OSVersion "
    "VARCHAR(64),NetworkAddresses VARCHAR(256),SystemFirmwareVersion "
    "VARCHAR(64),SystemSerialNumber "
    "VARCHAR(64),SystemProductID VARCHAR(64),SystemModel VARCHAR(64),SystemGUID "
    "VARCHAR(64),Summary "
    "VARCHAR(4096),EventCategory INTEGER,BladeBay VARCHAR(64),BladeName VARCHAR(64),EnclosureName "
    "VARCHAR(64),RackName VARCHAR(64),RackUID VARCHAR(64),ImpactedDomain SMALLINT,ComplexName "
    "VARCHAR(64),HWPartNumber VARCHAR(64),PartitionID VARCHAR(64),RawData TEXT); ";

// Rows are never deleted, so the forwarded ones pile up; this index holds only the
// rows still to forward and keeps the fetch of the oldest one cheap however long
// the history grows.
const char* const kCreateIndex =
    "CREATE INDEX IF NOT EXISTS indication_unforwarded ON indication(Id) WHERE Status=0";

// When rows arrived, a minute at a time: the highest row id committed in each minute since
// the epoch. A row that carries no time of its own is dated by it (orvindctl's age of the
// oldest waiting row). Kept for kArrivalDays, one row a minute at most.
const char* const kCreateArrival = "CREATE TABLE IF NOT EXISTS row_arrival(Minute INTEGER "
                                   "PRIMARY KEY, LastId INTEGER NOT NULL)";
const char* const kNoteArrival =
    "INSERT INTO row_arrival(Minute, LastId) VALUES(?1, ?2) ON CONFLICT(Minute) DO UPDATE SET "
    "LastId=excluded.LastId";
const char* const kForgetArrival = "DELETE FROM row_arrival WHERE Minute < ?";
const long long kArrivalDays = 31;

const char* const kFetchQuery =
    "select Id, ProviderName, EventID, EventTime, SystemFirmwareVersion, HWPartNumber, "
    "HWEncodingPhysicalLocation, HWPhysicalLocation, NetworkAddresses from indication where "
    "status=0 order by Id limit ?";

// A lock of the process's other connection (the intake's group, the forwarder's mark:
// each a commit with its sync) or of another program that lasts no longer than this is
// waited for inside SQLite; a longer one is a busy result, retried by the caller.
const int kBusyTimeoutMs = 1000;
// The write-ahead log is copied into the database once it holds this many pages,
// by the connection whose commit passes the mark, and cut back to this size after.
const int kAutocheckpointPages = 1000;
const long long kWalSizeLimit = 8LL * 1024 * 1024;

struct SqliteFree {
    void operator()(char* text) const { sqlite3_free(text); }
};
using ErrorText = std::unique_ptr<char, SqliteFree>;

using Hold = std::unique_lock<std::mutex>;

// Runs one statement that takes no values under `lock` and hands back its result and
// error text.
int execLocked(std::mutex& lock, sqlite3* db, const std::string& sql, ErrorText& error) {
    char* message = nullptr;
    int rc;
    {
        Hold hold(lock);
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    }
    error.reset(message);
    return rc;
}

const char* errorOf(const ErrorText& error, int rc) {
    return error ? error.get() : sqlite3_errstr(rc);
}

// True for an optional minus sign followed by one or more decimal digits: the only
// text an "int" column takes.
bool isDecimalInteger(const std::string& text) {
    size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (start == text.size()) {
        return false;
    }
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// The delivered document: the lines of the file up to the trailer line (the cutter's
// rule: a property value that carries the trailer's words does not end it), joined
// without their line feeds. A file that cannot be read gives the empty text.
std::string readRawData(const std::string& path) {
    std::string text;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (is_trailer_line(line.data(), line.data() + line.size())) {
            break;
        }
        text += line;
    }
    return text;
}

const char* columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

// Copies at most size - 1 characters and always terminates the field.
void copyField(char* field, size_t size, const char* text) {
    size_t length = strnlen(text, size - 1);
    memcpy(field, text, length);
    field[length] = '\0';
}

void trimTrailingBlanks(char* text) {
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == ' ') {
        text[--length] = '\0';
    }
}

// A location column has a value unless it is missing, empty or the text that a
// null string property is stored as.
bool hasLocation(const char* text) {
    return text[0] != '\0' && strcmp(text, "NULL") != 0;
}

// The six numbers at the start of a CIM date-time (yyyymmddhhmmss), taken as
// local time; 0 when the text does not begin with those fourteen digits, since
// any other text (NULL, empty, another date format) gives no usable time.
time_t parseEventTime(const char* text) {
    for (int i = 0; i < 14; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
    }
    int year, month, day, hour, minute, second;
    if (sscanf(text, "%4d%2d%2d%2d%2d%2d", &year, &month, &day, &hour, &minute, &second) != 6) {
        return 0;
    }
    struct tm broken = {};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    broken.tm_isdst = -1;
    return mktime(&broken);
}

// A connection of its own, for a probe.
using Connection = std::unique_ptr<sqlite3, SQLiteDB::Closer>;

using sql::prepare;
using sql::Statement;

// Every column of the table in the order of the statement that creates it.
std::string columnList() {
    std::string list = "Id,Status";
    for (size_t i = 0; i < 72; i += 2) {
        list += ',';
        list += members[i];
    }
    return list + ",RawData";
}

// Runs SQL that hands back rows, under `lock`; every value as text.
int queryLocked(std::mutex& lock, sqlite3* db, const std::string& sql,
                std::vector<std::vector<std::string>>& rows) {
    Hold hold(lock);
    int rc = SQLITE_OK;
    Statement stmt(prepare(db, sql.c_str(), &rc));
    if (!stmt) {
        return rc;
    }
    sqlite3_stmt* raw = stmt.get();
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(raw);
        std::vector<std::string> row;
        row.reserve(static_cast<size_t>(columns));
        for (int i = 0; i < columns; ++i) {
            row.push_back(sqlite3_column_type(raw, i) == SQLITE_INTEGER ||
                                  sqlite3_column_type(raw, i) == SQLITE_TEXT
                              ? columnText(raw, i)
                              : "?");
        }
        rows.push_back(row);
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// A database file that SQLite reports as damaged or as no database is moved aside,
// with its journals, under a dated name; nothing is deleted. Only when a fresh
// connection still finds it damaged, holding a lock of its own on the file (the
// other connection of the process may be setting it aside as well): a file that is
// no longer the one at `path` has been set aside meanwhile. Under the store's `lock`.
// True when the path is free for a new database.
bool setAsideDamaged(std::mutex& lock, const std::string& path) {
    std::string reason;
    std::string aside;
    bool moved = false;
    {
        Hold hold(lock);
        files::Fd file = files::openOwned(path, O_RDONLY, 0);
        struct stat held = {};
        struct stat now = {};
        if (!file || flock(file.get(), LOCK_EX) != 0 || fstat(file.get(), &held) != 0 ||
            stat(path.c_str(), &now) != 0 || held.st_ino != now.st_ino ||
            held.st_dev != now.st_dev) {
            return true; // set aside meanwhile
        }
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        Connection probe(raw);
        if (rc == SQLITE_OK) {
            rc = sqlite3_exec(probe.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr,
                              nullptr);
        }
        reason = sqlite3_errstr(rc);
        probe.reset();
        if (rc != SQLITE_NOTADB && rc != SQLITE_CORRUPT) {
            return true; // sound after all
        }
        char stamp[32];
        time_t seconds = time(nullptr);
        struct tm local;
        localtime_r(&seconds, &local);
        strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        aside = path + ".damaged-" + stamp;
        moved = rename(path.c_str(), aside.c_str()) == 0;
        for (const char* suffix : {"-journal", "-wal", "-shm"}) {
            rename((path + suffix).c_str(), (aside + suffix).c_str());
        }
    }
    if (!moved) {
        logger.error("The database %s is damaged (%s) and cannot be moved aside.", path.c_str(),
                     reason.c_str());
        return false;
    }
    logger.error("The database %s is damaged (%s): moved aside to %s; a new one is made.",
                 path.c_str(), reason.c_str(), aside.c_str());
    return true;
}

const char* const kCreatePosition =
    "CREATE TABLE intake_position(Id INTEGER PRIMARY KEY CHECK (Id = 1), Format INTEGER "
    "NOT NULL, Journal INTEGER NOT NULL);INSERT INTO intake_position VALUES(1, 1, 0);";
// The format of the position table that this program writes.
const long long kPositionFormat = 1;

} // namespace

SQLiteDB::SQLiteDB(const std::string& path, const std::string& rawData) : rawDataPath(rawData) {
    open(path);

    ErrorText error;
    makeIfNew();
    int rc = execLocked(lock, db.get(), kCreateTable, error);
    if ((rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) && setAsideDamaged(lock, path)) {
        // Documents wait in the intake's journal meanwhile: nothing is lost.
        open(path);
        makeIfNew();
        rc = execLocked(lock, db.get(), kCreateTable, error);
    }
    if (rc != SQLITE_OK) {
        std::string text =
            std::string("create table failed:") + errorOf(error, rc) + sqlite3_errmsg(db.get());
        logger.error("%s", text.c_str());
        throw std::runtime_error(text);
    }
    addMissingColumns();

    // The index only speeds up the fetch: without it (a table of another shape,
    // a database busy right now) the store still works, and the next object
    // tries again.
    rc = execLocked(lock, db.get(), kCreateIndex, error);
    if (rc != SQLITE_OK) {
        logger.warn("create index failed:%s", errorOf(error, rc));
    }
    // Only an aid to the reader, like the index.
    rc = execLocked(lock, db.get(), kCreateArrival, error);
    if (rc != SQLITE_OK) {
        logger.warn("create table row_arrival failed:%s", errorOf(error, rc));
    }
}

void SQLiteDB::noteArrival() {
    const long long minute = static_cast<long long>(time(nullptr)) / 60;
    int rc = SQLITE_OK;
    Statement note(prepare(db.get(), kNoteArrival, &rc));
    Statement forget(prepare(db.get(), kForgetArrival, &rc));
    if (!note || !forget) {
        return; // no such table: the rows are stored all the same
    }
    sqlite3_bind_int64(note.get(), 1, minute);
    sqlite3_bind_int64(note.get(), 2, sqlite3_last_insert_rowid(db.get()));
    sqlite3_step(note.get());
    sqlite3_bind_int64(forget.get(), 1, minute - kArrivalDays * 24 * 60);
    sqlite3_step(forget.get());
}

// Runs one pragma and hands back the first value it answers ("" when none).
static int pragma(sqlite3* db, const char* sql, std::string* answer) {
    int rc = SQLITE_OK;
    Statement stmt(prepare(db, sql, &rc));
    if (!stmt) {
        return rc;
    }
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW && answer != nullptr) {
        const unsigned char* text = sqlite3_column_text(stmt.get(), 0);
        if (text != nullptr) {
            *answer = reinterpret_cast<const char*>(text);
        }
    }
    // The statement's outcome, as its last step left it.
    return sqlite3_finalize(stmt.release());
}

namespace {

// The header's user version of a database this program made, until what was kept beside
// an earlier one has been started anew; 0 (what SQLite starts with) otherwise.
const char* const kNoteMadeAnew = "PRAGMA user_version=1";
const char* const kSettleMadeAnew = "PRAGMA user_version=0";

// Whether the table is there: "1" or "0" in `answer`; the SQLite result code.
int hasTable(sqlite3* db, std::string& answer) {
    return pragma(db, "SELECT count(*) FROM sqlite_master WHERE name='indication'", &answer);
}

} // namespace

// In one transaction, so that the other connection of the process, making the same new
// database at the same moment, cannot note it a second time once it has been settled.
// A database that cannot be read is left to the create that follows, which says why.
void SQLiteDB::makeIfNew() {
    Hold hold(lock);
    std::string there;
    if (hasTable(db.get(), there) != SQLITE_OK || there != "0") {
        return;
    }
    Transaction transaction(db.get());
    if (transaction.begun() != SQLITE_OK || hasTable(db.get(), there) != SQLITE_OK ||
        there != "0") {
        return;
    }
    if (sqlite3_exec(db.get(), kCreateTable, nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_exec(db.get(), kNoteMadeAnew, nullptr, nullptr, nullptr) == SQLITE_OK) {
        transaction.commit();
    }
}

bool SQLiteDB::madeAnew() {
    Hold hold(lock);
    std::string version;
    return pragma(db.get(), "PRAGMA user_version", &version) == SQLITE_OK && version == "1";
}

int SQLiteDB::settleMadeAnew() {
    Hold hold(lock);
    return sqlite3_exec(db.get(), kSettleMadeAnew, nullptr, nullptr, nullptr);
}

// After each commit: copies the write-ahead log into the database once it holds
// kAutocheckpointPages, as SQLite's own automatic checkpoint does, but not again within
// a second of a copy that a reader held back. Every attempt sorts the whole log, so a
// reader that keeps its transaction open for minutes would make each commit pay for it.
static int checkpointAfterCommit(void* arg, sqlite3* db, const char* name, int frames) {
    auto* heldBack = static_cast<std::chrono::steady_clock::time_point*>(arg);
    const auto now = std::chrono::steady_clock::now();
    if (frames < kAutocheckpointPages || now - *heldBack < std::chrono::seconds(1)) {
        return SQLITE_OK;
    }
    int log = 0;
    int copied = 0;
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, &log, &copied);
    *heldBack = copied < log ? now : std::chrono::steady_clock::time_point{};
    return SQLITE_OK;
}

// True when a connection of its own can read the database as it is configured.
static bool readable(const std::string& path) {
    sqlite3* handle = nullptr;
    sqlite3_open(path.c_str(), &handle);
    Connection probe(handle);
    return pragma(probe.get(), "SELECT count(*) FROM sqlite_master", nullptr) == SQLITE_OK;
}

// The write-ahead log: a commit appends to "indications.db-wal" and syncs it (one sync,
// so a stored row survives a power cut), and readers such as an administrator's query
// see the last commit before theirs without ever holding up an insert. The log needs
// the shared-memory index "indications.db-shm" beside the database; a filesystem that
// cannot map it keeps the rollback journal. A database made by an older version is
// converted here, its table untouched; one left in the write-ahead log by a kill is
// recovered by SQLite when it is next read.
void SQLiteDB::configure(const std::string& path) {
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    Hold hold(lock);
    pragma(db.get(), "PRAGMA synchronous=FULL", nullptr);
    int rc = SQLITE_OK;
    {
        std::string mode;
        rc = pragma(db.get(), "PRAGMA journal_mode=WAL", &mode);
        int extended = sqlite3_extended_errcode(db.get());
        if (rc == SQLITE_OK && mode == "wal") {
            // An empty file is switched without touching the index: a first
            // transaction shows whether the filesystem can hold it.
            Transaction probe(db.get());
            rc = probe.begun();
            extended = sqlite3_extended_errcode(db.get());
            probe.commit();
        }
        if ((rc == SQLITE_OK || rc == SQLITE_BUSY) && mode == "wal") {
            sqlite3_wal_hook(db.get(), checkpointAfterCommit, &checkpointHeldBack);
            pragma(db.get(), ("PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimit)).c_str(),
                   nullptr);
            return;
        }
        bool noSharedMemory = rc == SQLITE_OK || (extended >= SQLITE_IOERR_SHMOPEN &&
                                                  extended <= SQLITE_IOERR_SHMMAP &&
                                                  (extended & 0xff) == SQLITE_IOERR);
        if (!noSharedMemory) {
            // Not a database, disk full: the next statement meets the same and reports
            // it. Busy: another program holds the file longer than the wait.
            if (rc == SQLITE_BUSY) {
                hold.unlock();
                logger.warn("write-ahead log not set up for %s now (%s): the next "
                            "connection tries again",
                            path.c_str(), sqlite3_errstr(rc));
            }
            return;
        }
        std::string reason = rc == SQLITE_OK ? "journal mode " + mode : sqlite3_errmsg(db.get());
        hold.unlock();
        logger.warn("write-ahead log not available for %s (%s): using the rollback journal",
                    path.c_str(), reason.c_str());
        hold.lock();
    }
    // On the rollback journal. A connection left half switched by a failed attempt, or
    // a database still in the write-ahead log format (from a filesystem that had the
    // index, or left by a kill), is opened afresh.
    if (rc != SQLITE_OK || !readable(path)) {
        reopenOnRollbackJournal(path);
    }
}

// Opens the database afresh under an exclusive lock, which stands in for the index,
// and turns it back to the rollback journal, taking in what the log holds. Under `lock`.
void SQLiteDB::reopenOnRollbackJournal(const std::string& path) {
    insert.reset();
    db.reset();
    sqlite3* handle = nullptr;
    sqlite3_open(path.c_str(), &handle);
    db.reset(handle);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // Before anything reads the file, or the log is opened in the shared mode.
    pragma(db.get(), "PRAGMA locking_mode=EXCLUSIVE", nullptr);
    pragma(db.get(), "PRAGMA journal_mode=DELETE", nullptr);
    pragma(db.get(), "PRAGMA locking_mode=NORMAL", nullptr);
    pragma(db.get(), "SELECT count(*) FROM sqlite_master", nullptr); // drops the lock
    pragma(db.get(), "PRAGMA synchronous=FULL", nullptr);
}

int SQLiteDB::checkpoint() {
    Hold hold(lock);
    return sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                     nullptr);
}

void SQLiteDB::open(const std::string& path) {
    sqlite3* handle = nullptr;
    // Made private before SQLite opens it; its -wal and -shm files take its mode. An
    // in-memory database has no file.
    if (path != ":memory:") {
        files::makeFile(path, 0600);
    }
    insert.reset(); // prepared on the connection it replaces
    int rc = sqlite3_open(path.c_str(), &handle);
    db.reset(handle);
    if (rc != SQLITE_OK) {
        std::string text = std::string("open database failed:") + sqlite3_errmsg(db.get());
        logger.error("open database failed");
        throw std::runtime_error(text);
    }
    configure(path);
}

namespace {

// Binds the value of one column of `members` (`kind` "string" or "int") to parameter
// `index`. A "string" value is text; an "int" value is an integer when it is a decimal
// one (a real when it is too large for 64 bits, as SQLite reads such a number), and SQL
// NULL otherwise (a property of another type, or a text that is no number).
int bindValue(sqlite3_stmt* stmt, int index, const char* kind,
              const std::optional<std::string>& value) {
    if (!value) {
        return sqlite3_bind_null(stmt, index);
    }
    if (strcmp(kind, "string") == 0) {
        return sqlite3_bind_text(stmt, index, value->data(), static_cast<int>(value->size()),
                                 SQLITE_TRANSIENT);
    }
    if (!isDecimalInteger(*value)) {
        return sqlite3_bind_null(stmt, index);
    }
    errno = 0;
    const long long number = strtoll(value->c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return sqlite3_bind_double(stmt, index, strtod(value->c_str(), nullptr));
    }
    return sqlite3_bind_int64(stmt, index, number);
}

// The row of the instance: the rendering of each property of `members`, the text NULL
// for a "string" property in the null state and SQL NULL for an "int" one.
SQLiteDB::Row rowOf(CIMCInstance* inst) {
    SQLiteDB::Row row;
    row.values.reserve(36);
    for (size_t i = 0; i < 72; i += 2) {
        CIMCData data = inst->ft->getProperty(inst, members[i], nullptr);
        std::string value = "NULL";
        if (data.state != CIMC_nullValue) {
            value = valueText(data.type, &data.value);
        }
        if (strcmp(members[i], "ProviderName") == 0) {
            row.name = value;
        }
        const bool null = data.state == CIMC_nullValue && strcmp(members[i + 1], "int") == 0;
        row.values.push_back(null ? std::nullopt : std::optional<std::string>(value));
    }
    CIMCData context = inst->ft->getProperty(inst, "SequenceContext", nullptr);
    CIMCData number = inst->ft->getProperty(inst, "SequenceNumber", nullptr);
    const CIMCValueState absent = CIMC_nullValue | CIMC_notFound | CIMC_badValue;
    if ((context.state & absent) == 0 && (number.state & absent) == 0 && context.type != 0 &&
        number.type != 0) {
        const std::string digits = valueText(number.type, &number.value);
        char* end = nullptr;
        const long long n = strtoll(digits.c_str(), &end, 10);
        if (!digits.empty() && end != nullptr && *end == '\0') {
            row.sequenceContext = valueText(context.type, &context.value);
            row.sequenceNumber = n;
        }
    }
    return row;
}

// The broker's numbers of the rows stored (a rejected row's too: it arrived).
std::vector<upstream::Sighting> sightings(const SQLiteDB::Batch& batch,
                                          const std::vector<std::string>& rejected) {
    std::vector<upstream::Sighting> out;
    for (size_t i = 0; i < batch.rows.size() && i < rejected.size(); ++i) {
        if (batch.rows[i].sequenceContext) {
            out.push_back({*batch.rows[i].sequenceContext, batch.rows[i].sequenceNumber});
        }
    }
    return out;
}

} // namespace

int SQLiteDB::insertRow(const Row& row) {
    int rc = SQLITE_OK;
    if (!insert) {
        // Columns named: a table that gained columns later holds them in another order.
        std::string sql = "INSERT INTO \"Indication\"(" + columnList() + ") VALUES(NULL,0";
        for (size_t i = 0; i < 37; ++i) {
            sql += ",?";
        }
        insert = prepare(db.get(), (sql + ")").c_str(), &rc);
        if (!insert) {
            return rc;
        }
    }
    sqlite3_stmt* stmt = insert.get();
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    for (size_t i = 0; rc == SQLITE_OK && i < row.values.size() && i < 36; ++i) {
        rc = bindValue(stmt, static_cast<int>(i) + 1, members[2 * i + 1], row.values[i]);
    }
    if (rc == SQLITE_OK) {
        rc = bindValue(stmt, 37, "string", row.rawData);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    sqlite3_reset(stmt); // lets go of the table before the lock is
    return rc;
}

int SQLiteDB::storeIndication(CIMCInstance* inst) {
    Row row = rowOf(inst);
    row.rawData = readRawData(rawDataPath);
    if (collecting != nullptr) {
        collecting->rows.push_back(std::move(row));
        return SQLITE_OK;
    }
    int rc = SQLITE_OK;
    std::string error;
    {
        Hold hold(lock);
        rc = insertRow(row);
        error = sqlite3_errmsg(db.get());
    }
    if (rc == SQLITE_OK) {
        logger.info("insert %s indication success", row.name.c_str());
    } else {
        logger.error("insert %s indication failed:%s", row.name.c_str(), error.c_str());
    }
    return rc;
}

bool SQLiteDB::getIndication(Indication_t* pind) {
    std::vector<Indication_t> rows;
    if (!peekIndications(rows, 1) || rows.empty()) {
        return false;
    }
    *pind = rows[0];
    logger.info("fetch number %d indication %s:%d from database", pind->id, pind->proName,
                pind->eventId);
    return true;
}

bool SQLiteDB::peekIndications(std::vector<Indication_t>& rows, int limit) {
    rows.clear();
    Hold hold(lock);
    int rc = SQLITE_OK;
    Statement stmt(prepare(db.get(), kFetchQuery, &rc));
    if (!stmt) {
        return false;
    }
    sqlite3_stmt* raw = stmt.get();
    sqlite3_bind_int(raw, 1, limit);
    while (sqlite3_step(raw) == SQLITE_ROW) {
        Indication_t ind;
        memset(&ind, 0, sizeof ind);
        ind.id = sqlite3_column_int(raw, 0);

        copyField(ind.proName, sizeof ind.proName, columnText(raw, 1));
        for (char* c = ind.proName; *c != '\0'; ++c) {
            if (*c == ' ') {
                *c = '_';
            }
        }

        ind.eventId = sqlite3_column_int(raw, 2);
        ind.eventTime = parseEventTime(columnText(raw, 3));
        copyField(ind.partNumber, sizeof ind.partNumber, columnText(raw, 5));

        const char* location = columnText(raw, 6);
        if (!hasLocation(location)) {
            location = columnText(raw, 7);
        }
        if (hasLocation(location)) {
            BMC_str_to_physloc(location, &ind.hw_location);
        } else {
            ind.hw_location = BMC_physloc_NULL;
        }

        copyField(ind.systemFirmwareVersion, sizeof ind.systemFirmwareVersion, columnText(raw, 4));
        trimTrailingBlanks(ind.systemFirmwareVersion);
        copyField(ind.address, sizeof ind.address, columnText(raw, 8));
        trimTrailingBlanks(ind.address);
        rows.push_back(ind);
    }
    return true;
}

int SQLiteDB::updateIndication(int id) {
    // The forwarder's mark without counts: one retry policy for both.
    return ledger::markForwarded(db.get(), id, {});
}

void SQLiteDB::addMissingColumns() {
    std::vector<std::vector<std::string>> rows;
    if (queryLocked(lock, db.get(), "PRAGMA table_info(indication)", rows) != SQLITE_OK) {
        return; // the insert reports what is wrong
    }
    std::vector<std::string> have;
    for (const auto& row : rows) {
        std::string name = row.size() > 1 ? row[1] : "";
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        have.push_back(name);
    }
    std::vector<std::pair<std::string, std::string>> wanted{{"Status", "SMALLINT"}};
    for (size_t i = 0; i < 72; i += 2) {
        wanted.emplace_back(members[i], strcmp(members[i + 1], "int") == 0 ? "INTEGER" : "TEXT");
    }
    wanted.emplace_back("RawData", "TEXT");
    std::string added;
    std::string failed;
    for (const auto& [column, type] : wanted) {
        std::string lower = column;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (std::find(have.begin(), have.end(), lower) != have.end()) {
            continue;
        }
        ErrorText error;
        int rc = execLocked(lock, db.get(),
                            "ALTER TABLE indication ADD COLUMN " + column + " " + type, error);
        std::string& list = rc == SQLITE_OK ? added : failed;
        list += (list.empty() ? "" : " ") + column;
    }
    if (!added.empty()) {
        logger.warn("The table indication lacked columns; added: %s", added.c_str());
    }
    if (!failed.empty()) {
        logger.error("The table indication lacks columns that cannot be added: %s", failed.c_str());
    }
}

bool SQLiteDB::mayPass(int rc) {
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ERROR: // a statement SQLite rejects
    case SQLITE_TOOBIG:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
        return false;
    default:
        return true;
    }
}

unsigned long long SQLiteDB::intakePosition() {
    const std::string select = "SELECT Format, Journal FROM intake_position WHERE Id = 1";
    std::vector<std::vector<std::string>> rows;
    int rc = queryLocked(lock, db.get(), select, rows);
    if (rc != SQLITE_OK && std::string(sqlite3_errmsg(db.get())).find("no such table") == 0) {
        {
            Hold hold(lock);
            Transaction transaction(db.get());
            rc = transaction.begun();
            if (rc == SQLITE_OK) {
                rc = sqlite3_exec(db.get(), kCreatePosition, nullptr, nullptr, nullptr);
            }
            if (rc == SQLITE_OK) {
                rc = transaction.commit();
            }
        }
        if (rc != SQLITE_OK) {
            throw std::runtime_error(std::string("the intake position cannot be recorded: ") +
                                     sqlite3_errstr(rc));
        }
        rows.clear();
        rc = queryLocked(lock, db.get(), select, rows);
    }
    if (rc != SQLITE_OK) {
        throw std::runtime_error(std::string("the intake position cannot be read: ") +
                                 sqlite3_errmsg(db.get()));
    }
    if (rows.size() != 1 || !isDecimalInteger(rows[0][0]) || !isDecimalInteger(rows[0][1]) ||
        rows[0][1][0] == '-') {
        throw std::runtime_error("the intake position table is damaged; it is left as it is");
    }
    long long format = std::stoll(rows[0][0]);
    if (format != kPositionFormat) {
        throw std::runtime_error("the intake position table is of format " + rows[0][0] +
                                 " (this program knows " + std::to_string(kPositionFormat) +
                                 "); it is left as it is");
    }
    return std::stoull(rows[0][1]);
}

int SQLiteDB::commitBatch(const Batch& batch, unsigned long long position) {
    std::vector<std::string> rejected(batch.rows.size());
    std::vector<upstream::Gap> gaps;
    int rc = SQLITE_OK;
    {
        Hold hold(lock);
        Transaction transaction(db.get());
        rc = transaction.begun();
        for (size_t i = 0; rc == SQLITE_OK && i < batch.rows.size(); ++i) {
            const int one = insertRow(batch.rows[i]);
            if (one == SQLITE_OK) {
                continue;
            }
            if (mayPass(one) || sqlite3_get_autocommit(db.get())) {
                rc = one;
            } else {
                rejected[i] = sqlite3_errmsg(db.get()); // this row only; the rest go on
            }
        }
        if (rc == SQLITE_OK) {
            Statement update(
                prepare(db.get(), "UPDATE intake_position SET Journal=? WHERE Id=1", &rc));
            if (update) {
                sqlite3_bind_int64(update.get(), 1, static_cast<sqlite3_int64>(position));
                rc = sqlite3_step(update.get());
                rc = rc == SQLITE_DONE ? SQLITE_OK : sqlite3_reset(update.get());
            }
            if (rc == SQLITE_OK && sqlite3_changes(db.get()) != 1) {
                rc = SQLITE_NOTFOUND;
            }
        }
        if (rc == SQLITE_OK && !batch.rows.empty()) {
            noteArrival();
        }
        if (rc == SQLITE_OK) {
            rc = upstream::record(db.get(), sightings(batch, rejected), time(nullptr), &gaps);
        }
        if (rc == SQLITE_OK) {
            rc = transaction.commit();
        }
    }
    if (rc != SQLITE_OK) {
        return rc;
    }
    for (const upstream::Gap& gap : gaps) {
        logger.warn("Lost before the daemon: the broker's deliveries %lld to %lld of %s never "
                    "arrived (%lld).",
                    gap.first, gap.last, gap.context.c_str(), gap.last - gap.first + 1);
    }
    for (size_t i = 0; i < batch.rows.size(); ++i) {
        if (rejected[i].empty()) {
            logger.info("insert %s indication success", batch.rows[i].name.c_str());
        } else {
            logger.error("insert %s indication failed:%s", batch.rows[i].name.c_str(),
                         rejected[i].c_str());
        }
    }
    return SQLITE_OK;
}

int SQLiteDB::highestId() {
    std::vector<std::vector<std::string>> rows;
    if (queryLocked(lock, db.get(), "SELECT ifnull(max(Id), 0) FROM indication", rows) !=
            SQLITE_OK ||
        rows.empty() || !isDecimalInteger(rows[0][0])) {
        return 0;
    }
    return std::stoi(rows[0][0]);
}
