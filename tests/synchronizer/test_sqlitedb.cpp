#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <poll.h>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kData = std::string(ORVIND_TEST_DATA) + "/store/";

// A connection of the test's own, to look at and prepare the file behind the store.
class Sql {
public:
    explicit Sql(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            throw std::runtime_error("cannot open " + path);
        }
    }
    ~Sql() { sqlite3_close(db_); }

    void exec(const std::string& sql) {
        char* error = nullptr;
        int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
        std::string text = error ? error : "";
        sqlite3_free(error);
        if (rc != SQLITE_OK) {
            throw std::runtime_error(sql + ": " + text);
        }
    }

    // Each row of the result, every value as "type:text" ("null:" for SQL NULL).
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
        }
        std::vector<std::vector<std::string>> result;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                static const char* const types[] = {
                    "", "integer:", "real:", "text:", "blob:", "null:"};
                std::string value = types[sqlite3_column_type(stmt, i)];
                const unsigned char* text = sqlite3_column_text(stmt, i);
                if (text != nullptr) {
                    value += reinterpret_cast<const char*>(text);
                }
                row.push_back(value);
            }
            result.push_back(row);
        }
        sqlite3_finalize(stmt);
        return result;
    }

    std::string value(const std::string& sql) {
        auto result = rows(sql);
        return result.empty() ? "none" : result[0][0];
    }

private:
    sqlite3* db_ = nullptr;
};

// Log lines without their time stamp: "[info] message".
std::vector<std::string> messages() {
    std::vector<std::string> lines;
    for (const auto& line : testLogLines()) {
        lines.push_back(line.size() > 21 ? line.substr(21) : line);
    }
    return lines;
}

// Holds an exclusive lock on a database from a child process, as another program
// on the host would, until released or until `millis` have passed.
class LockHolder {
public:
    LockHolder(const std::string& path, int millis) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            sqlite3* db = nullptr;
            char ok =
                sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK
                    ? '1'
                    : '0';
            if (write(ready[1], &ok, 1) != 1) {
                _exit(1);
            }
            struct pollfd wait = {release[0], POLLIN, 0};
            poll(&wait, 1, millis);
            _exit(0); // the lock goes with the process
        }
        close(ready[1]);
        close(release[0]);
        releaseFd_ = release[1];
        char ok = '0';
        if (read(ready[0], &ok, 1) != 1 || ok != '1') {
            close(ready[0]);
            this->release();
            throw std::runtime_error("could not lock " + path);
        }
        close(ready[0]);
    }
    ~LockHolder() { release(); }

    void release() {
        if (pid_ > 0) {
            close(releaseFd_);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int releaseFd_ = -1;
};

// A CIMC instance of an alert indication, as the parser builds it.
class Instance {
public:
    Instance() {
        int rc = 0;
        char* msg = nullptr;
        env_ = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
        free(msg);
        if (env_ == nullptr) {
            throw std::runtime_error("no CIMC environment");
        }
        CIMCObjectPath* op =
            env_->ft->newObjectPath(env_, "root/zarn", "VEXA_AlertIndication", nullptr);
        inst_ = env_->ft->newInstance(env_, op, nullptr);
        op->ft->release(op);
    }
    ~Instance() {
        inst_->ft->release(inst_);
        ReleaseCIMCEnv(env_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    CIMCInstance* get() { return inst_; }

    Instance& text(const char* name, const std::string& value) {
        inst_->ft->setProperty(inst_, name, reinterpret_cast<const CIMCValue*>(value.c_str()),
                               CIMC_chars);
        return *this;
    }
    Instance& uint16(const char* name, CIMCUint16 number) {
        CIMCValue v{};
        v.uint16 = number;
        inst_->ft->setProperty(inst_, name, &v, CIMC_uint16);
        return *this;
    }
    Instance& sint32(const char* name, CIMCSint32 number) {
        CIMCValue v{};
        v.sint32 = number;
        inst_->ft->setProperty(inst_, name, &v, CIMC_sint32);
        return *this;
    }
    Instance& boolean(const char* name, bool flag) {
        CIMCValue v{};
        v.boolean = flag;
        inst_->ft->setProperty(inst_, name, &v, CIMC_boolean);
        return *this;
    }
    Instance& dateTime(const char* name, const char* text) {
        CIMCValue v{};
        v.dateTime = env_->ft->newDateTimeFromChars(env_, text, nullptr);
        inst_->ft->setProperty(inst_, name, &v, CIMC_dateTime);
        v.dateTime->ft->release(v.dateTime);
        return *this;
    }
    Instance& texts(const char* name, const std::vector<std::string>& values) {
        CIMCValue v{};
        v.array = env_->ft->newArray(env_, values.size(), CIMC_string, nullptr);
        for (size_t i = 0; i < values.size(); ++i) {
            CIMCValue e{};
            e.string = env_->ft->newString(env_, values[i].c_str(), nullptr);
            v.array->ft->setElementAt(v.array, i, &e, CIMC_string);
            e.string->ft->release(e.string);
        }
        inst_->ft->setProperty(inst_, name, &v, CIMC_ARRAY | CIMC_string);
        v.array->ft->release(v.array);
        return *this;
    }
    // A property that is present, with its type, but in the null state.
    Instance& null(const char* name, CIMCType type) {
        inst_->ft->setProperty(inst_, name, nullptr, type);
        return *this;
    }

private:
    CIMCEnv* env_ = nullptr;
    CIMCInstance* inst_ = nullptr;
};

// Adds a row with the given id and status; columns are given as SQL literals.
void addRow(Sql& sql, int id, int status,
            const std::vector<std::pair<std::string, std::string>>& columns) {
    std::string names = "Id,Status";
    std::string values = std::to_string(id) + "," + std::to_string(status);
    for (const auto& column : columns) {
        names += "," + column.first;
        values += "," + column.second;
    }
    sql.exec("insert into indication(" + names + ") values(" + values + ")");
}

class Store : public ::testing::Test {
protected:
    void SetUp() override { clearTestLog(); }

    // Every column of the rows, in id order, as "type:text".
    std::vector<std::vector<std::string>> stored() {
        Sql sql(path);
        return sql.rows("select * from indication order by Id");
    }

    // The value of one column of the only row.
    std::string column(const std::string& name) {
        Sql sql(path);
        auto rows = sql.rows("select " + name + " from indication");
        EXPECT_EQ(rows.size(), 1u);
        return rows.empty() ? "none" : rows[0][0];
    }

    TempDir dir;
    std::string path = dir.file("indications.db");
    std::string raw = dir.file("fifo.tmp");
};

using Insert = Store;

using Fetch = Store;

} // namespace

// ---- table and connection ---------------------------------------------------------

TEST_F(Store, NewFileGetsTheTableWithItsExactSchemaAndTheUnforwardedIndex) {
    { SQLiteDB db(path); }
    Sql sql(path);
    std::string statement = readFile(kData + "schema.sql");
    ASSERT_EQ(statement.rfind("CREATE TABLE IF NOT EXISTS ", 0), 0u);
    ASSERT_EQ(statement.substr(statement.size() - 2), "; ");
    std::string stored = "CREATE TABLE " + statement.substr(27, statement.size() - 29);
    EXPECT_EQ(sql.value("select sql from sqlite_master where name='indication'"), "text:" + stored);

    // Columns 3 to 38 are the members, in their order; ProviderVersion keeps its
    // misspelt type, which gives it NUMERIC affinity.
    auto columns = sql.rows("select name, type from pragma_table_info('indication') order by cid");
    ASSERT_EQ(columns.size(), 39u);
    EXPECT_EQ(columns[0][0], "text:Id");
    EXPECT_EQ(columns[1][0], "text:Status");
    EXPECT_EQ(columns[38][0], "text:RawData");
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(columns[i + 2][0], std::string("text:") + members[2 * i]);
        std::string type = columns[i + 2][1];
        bool intColumn = type == "text:SMALLINT" || type == "text:INTEGER";
        EXPECT_EQ(intColumn, std::string(members[2 * i + 1]) == "int") << members[2 * i];
    }
    EXPECT_EQ(sql.value("select type from pragma_table_info('indication') "
                        "where name='ProviderVersion'"),
              "text:VARCAHR(64)");

    // The fetch walks the index of unforwarded rows, not the whole history.
    auto plan = sql.rows("explain query plan select Id, ProviderName, EventID, EventTime, "
                         "SystemFirmwareVersion, HWPartNumber, HWEncodingPhysicalLocation, "
                         "HWPhysicalLocation, NetworkAddresses from indication where status=0 "
                         "order by Id");
    ASSERT_FALSE(plan.empty());
    EXPECT_NE(plan.back().back().find("indication_unforwarded"), std::string::npos)
        << plan.back().back();
    EXPECT_TRUE(testLogLines().empty());
}

TEST_F(Store, ASecondHandleOnTheSameFileKeepsEveryRow) {
    {
        SQLiteDB first(path);
        Sql sql(path);
        addRow(sql, 1, 0, {{"ProviderName", "'a'"}});
        addRow(sql, 2, 1, {{"ProviderName", "'b'"}});
    }
    SQLiteDB second(path);
    SQLiteDB third(path);
    Sql sql(path);
    EXPECT_EQ(sql.value("select group_concat(Id || ProviderName || Status) from indication"),
              "text:1a0,2b1");
}

TEST_F(Store, AForeignIndicationTableIsLeftAsItIs) {
    {
        Sql sql(path);
        sql.exec("create table indication(Note TEXT)");
        sql.exec("insert into indication values('kept')");
    }
    SQLiteDB db(path);
    Sql sql(path);
    EXPECT_EQ(sql.value("select sql from sqlite_master where name='indication'"),
              "text:CREATE TABLE indication(Note TEXT)");
    EXPECT_EQ(sql.value("select group_concat(Note) from indication"), "text:kept");
    EXPECT_EQ(sql.value("select count(*) from sqlite_master where type='index'"), "integer:0");
    auto lines = messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[warn] create index failed:", 0), 0u) << lines[0];
}

TEST_F(Store, AFileThatCannotBeOpenedThrowsWithSqlitesMessage) {
    try {
        SQLiteDB db(dir.file("missing/indications.db"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "open database failed:unable to open database file");
    }
    EXPECT_EQ(messages(), std::vector<std::string>{"[error] open database failed"});
}

TEST_F(Store, AFileThatIsNoDatabaseThrowsTheCreateFailureTwiceWorded) {
    writeFile(path, readFile(kData + "schema.sql"));
    const std::string text = "create table failed:file is not a databasefile is not a database";
    try {
        SQLiteDB db(path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
    EXPECT_EQ(messages(), std::vector<std::string>{"[error] " + text});
}

// ---- storing -----------------------------------------------------------------------

TEST_F(Insert, StoresEveryMemberByKindAndTheDeliveredDocument) {
    writeFile(raw, readFile(kData + "delivery.txt"));
    SQLiteDB db(path, raw);
    Instance inst;
    inst.text("ProviderName", "Fan Monitor Provider")
        .uint16("PerceivedSeverity", 6)
        .text("Description", "Fan 2 stopped")
        .dateTime("IndicationTime", "20140315123456.000000+060")
        .texts("NetworkAddresses", {"10.0.0.5", "fe80::5"})
        .text("EventID", "12")
        .text("EventTime", "20140315123456.000000+060")
        .text("HWPhysicalLocation", "0000000102030405")
        .sint32("EventCategory", -3)
        .text("SystemFirmwareVersion", "1.2.3  ")
        .text("IndicationFilterName", "orvind");
    ASSERT_EQ(db.storeIndication(inst.get()), 0);

    auto rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    auto& row = rows[0];
    ASSERT_EQ(row.size(), 39u);
    EXPECT_EQ(row[0], "integer:1");
    EXPECT_EQ(row[1], "integer:0");
    std::map<std::string, std::string> byName;
    for (int i = 0; i < 36; ++i) {
        byName[members[2 * i]] = row[i + 2];
    }
    EXPECT_EQ(byName["ProviderName"], "text:Fan Monitor Provider");
    EXPECT_EQ(byName["PerceivedSeverity"], "integer:6");
    EXPECT_EQ(byName["IndicationTime"], "text:20140315123456.000000+060");
    EXPECT_EQ(byName["NetworkAddresses"], "text:10.0.0.5 fe80::5 ");
    EXPECT_EQ(byName["EventCategory"], "integer:-3");
    EXPECT_EQ(byName["SystemFirmwareVersion"], "text:1.2.3  ") << "stored as rendered";
    // Properties the instance lacks: the text NULL in "string" columns, SQL NULL
    // in "int" columns.
    EXPECT_EQ(byName["Summary"], "text:NULL");
    EXPECT_EQ(byName["ProviderVersion"], "text:NULL");
    EXPECT_EQ(byName["OSType"], "null:");
    EXPECT_EQ(byName["ImpactedDomain"], "null:");
    EXPECT_EQ(row[38], "text:" + readFile(kData + "delivery.expected"))
        << "the first document of the file, without its line ends and trailer";
    EXPECT_EQ(messages(),
              std::vector<std::string>{"[info] insert Fan Monitor Provider indication success"});

    // What the forwarding side makes of it.
    Indication_t ind = {};
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_EQ(ind.id, 1);
    EXPECT_STREQ(ind.proName, "Fan_Monitor_Provider");
    EXPECT_EQ(ind.eventId, 12);
    EXPECT_STREQ(ind.address, "10.0.0.5 fe80::5");
    EXPECT_STREQ(ind.systemFirmwareVersion, "1.2.3");
    EXPECT_STREQ(ind.partNumber, "NULL");
    physloc_t location;
    BMC_str_to_physloc("0000000102030405", &location);
    EXPECT_EQ(memcmp(&ind.hw_location, &location, 8), 0);
}

TEST_F(Insert, ProviderVersionKeepsTheNumericAffinityOfItsDeclaredType) {
    SQLiteDB db(path, raw);
    Instance two, three;
    two.text("ProviderVersion", "2.10");
    three.text("ProviderVersion", "2.10.3");
    ASSERT_EQ(db.storeIndication(two.get()), 0);
    ASSERT_EQ(db.storeIndication(three.get()), 0);
    Sql sql(path);
    auto rows = sql.rows("select ProviderVersion from indication order by Id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "real:2.1");
    EXPECT_EQ(rows[1][0], "text:2.10.3");
}

TEST_F(Insert, QuotesInTextsAreKeptAndCannotEndTheStatement) {
    SQLiteDB db(path, raw);
    Instance inst;
    inst.text("Description", "it's")
        .text("Summary", "''")
        .text("RecommendedActions", "no quotes")
        .text("ProbableCauseDescription", "x'); DROP TABLE indication; --")
        .text("ProviderName", "");
    ASSERT_EQ(db.storeIndication(inst.get()), 0);
    EXPECT_EQ(column("Description"), "text:it's");
    EXPECT_EQ(column("Summary"), "text:''");
    EXPECT_EQ(column("RecommendedActions"), "text:no quotes");
    EXPECT_EQ(column("ProbableCauseDescription"), "text:x'); DROP TABLE indication; --");
    EXPECT_EQ(column("ProviderName"), "text:");
}

TEST_F(Insert, NullPropertiesAreTheTextNullOrSqlNullByKind) {
    SQLiteDB db(path, raw);
    Instance inst;
    inst.null("ProviderName", CIMC_string)
        .null("NetworkAddresses", CIMC_ARRAY | CIMC_string)
        .null("PerceivedSeverity", CIMC_uint16)
        .null("AlertType", CIMC_string);
    ASSERT_EQ(db.storeIndication(inst.get()), 0);
    EXPECT_EQ(column("ProviderName"), "text:NULL");
    EXPECT_EQ(column("NetworkAddresses"), "text:NULL");
    EXPECT_EQ(column("PerceivedSeverity"), "null:");
    EXPECT_EQ(column("AlertType"), "null:");
    EXPECT_EQ(messages(), std::vector<std::string>{"[info] insert NULL indication success"});
}

TEST_F(Insert, AnIntColumnTakesOnlyADecimalIntegerAndElseNull) {
    SQLiteDB db(path, raw);
    Instance inst;
    inst.text("PerceivedSeverity", "1); DROP TABLE indication; --")
        .text("AlertingElementFormat", "1.5")
        .text("AlertType", "")
        .text("ProbableCause", "-")
        .boolean("OSType", true)
        .dateTime("EventCategory", "20140315123456.000000+060")
        .text("ImpactedDomain", "-42");
    ASSERT_EQ(db.storeIndication(inst.get()), 0);
    auto rows = stored();
    ASSERT_EQ(rows.size(), 1u) << "the table survives with its one row";
    EXPECT_EQ(column("PerceivedSeverity"), "null:");
    EXPECT_EQ(column("AlertingElementFormat"), "null:");
    EXPECT_EQ(column("AlertType"), "null:");
    EXPECT_EQ(column("ProbableCause"), "null:");
    EXPECT_EQ(column("OSType"), "null:");
    EXPECT_EQ(column("EventCategory"), "null:");
    EXPECT_EQ(column("ImpactedDomain"), "integer:-42");
}

TEST_F(Insert, RawDataIsTheTempFileUpToItsTrailerLine) {
    SQLiteDB db(path, raw);
    Instance inst;
    auto storeWith = [&](const std::string& content) {
        writeFile(raw, content);
        EXPECT_EQ(db.storeIndication(inst.get()), 0);
    };
    storeWith(readFile(kData + "trailer.txt"));
    storeWith(readFile(kData + "no_trailer.txt"));
    storeWith("");
    storeWith(std::string("a\0b\nc", 5));
    unlink(raw.c_str());
    EXPECT_EQ(db.storeIndication(inst.get()), 0);

    Sql sql(path);
    auto rows = sql.rows("select RawData from indication order by Id");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0][0], "text:onetwo");
    EXPECT_EQ(rows[1][0], "text:<a>\rit's 'quoted'\r</a>") << "carriage returns and quotes stay";
    EXPECT_EQ(rows[2][0], "text:");
    EXPECT_EQ(rows[3][0], "text:abc") << "a NUL byte cannot travel in the statement";
    EXPECT_EQ(rows[4][0], "text:");
}

TEST_F(Insert, InstancesOfOneDeliveryShareItsDocument) {
    writeFile(raw, readFile(kData + "delivery.txt"));
    SQLiteDB db(path, raw);
    Instance first, second;
    first.text("ProviderName", "Fan");
    second.text("ProviderName", "Disk");
    ASSERT_EQ(db.storeIndication(first.get()), 0);
    ASSERT_EQ(db.storeIndication(second.get()), 0);
    Sql sql(path);
    EXPECT_EQ(sql.value("select count(distinct RawData) || ',' || count(*) from indication"),
              "text:1,2");
}

TEST_F(Insert, AFailedInsertReportsSqlitesErrorText) {
    SQLiteDB db(path, raw);
    Sql sql(path);
    sql.exec("drop table indication");
    Instance inst;
    inst.text("ProviderName", "Fan");
    EXPECT_EQ(db.storeIndication(inst.get()), SQLITE_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "[error] insert Fan indication failed:no such table: Indication"});
}

TEST_F(Insert, ABusyDatabaseIsTriedFourTimesOverTwelveSeconds) {
    SQLiteDB db(path, raw);
    Instance inst;
    inst.text("ProviderName", "Fan");
    {
        LockHolder lock(path, 30000);
        EXPECT_EQ(db.storeIndication(inst.get()), SQLITE_BUSY);
    }
    EXPECT_EQ(stored().size(), 0u);
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "[error] database is busy, insert Fan indication again in 2 seconds",
                              "[error] database is busy, insert Fan indication again in 4 seconds",
                              "[error] database is busy, insert Fan indication again in 6 seconds",
                              "[error] insert Fan indication failed:database is locked",
                          }));
}

// ---- fetching and marking ----------------------------------------------------------

TEST_F(Fetch, NothingToForwardGivesFalseAndLeavesTheRecordAlone) {
    SQLiteDB db(path);
    Indication_t ind;
    memset(&ind, 0x5a, sizeof ind);
    Indication_t before = ind;
    EXPECT_FALSE(db.getIndication(&ind));

    Sql sql(path);
    addRow(sql, 3, 1, {{"ProviderName", "'done'"}});
    EXPECT_FALSE(db.getIndication(&ind));
    EXPECT_EQ(memcmp(&ind, &before, sizeof ind), 0);
    EXPECT_TRUE(testLogLines().empty());
}

TEST_F(Fetch, GivesTheOldestUnforwardedRowAndMarkingMovesToTheNext) {
    SQLiteDB db(path);
    Sql sql(path);
    addRow(sql, 5, 1, {{"ProviderName", "'Old Provider'"}, {"EventID", "'1'"}});
    addRow(sql, 7, 0, {{"ProviderName", "'Fan Monitor Provider'"}, {"EventID", "'12'"}});
    addRow(sql, 9, 0, {{"ProviderName", "'Disk'"}, {"EventID", "'NULL'"}});

    Indication_t ind = {};
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_EQ(ind.id, 7);
    EXPECT_STREQ(ind.proName, "Fan_Monitor_Provider");
    EXPECT_EQ(ind.eventId, 12);
    EXPECT_EQ(db.updateIndication(7), 0);

    ind = {};
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_EQ(ind.id, 9);
    EXPECT_EQ(ind.eventId, 0) << "the text NULL reads as 0";
    EXPECT_EQ(db.updateIndication(9), 0);
    EXPECT_FALSE(db.getIndication(&ind));

    EXPECT_EQ(sql.value("select group_concat(Status) from indication order by Id"), "text:1,1,1");
    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  "[info] fetch number 7 indication Fan_Monitor_Provider:12 from database",
                  "[info] update number 7 indication success",
                  "[info] fetch number 9 indication Disk:0 from database",
                  "[info] update number 9 indication success",
              }));
}

TEST_F(Fetch, EventTimeIsTheLocalTimeOfItsSixNumbers) {
    // Central European time, spelt out so that no zone database is needed.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    SQLiteDB db(path);
    Sql sql(path);
    addRow(sql, 1, 0, {{"EventTime", "'20140315123456.000000+060'"}});
    addRow(sql, 2, 0, {{"EventTime", "'20140701120000.000000-300'"}});
    addRow(sql, 3, 0, {{"EventTime", "'NULL'"}});
    addRow(sql, 4, 0, {{"EventTime", "''"}});
    addRow(sql, 5, 0, {{"EventTime", "'2014-03-15 12:34:56'"}});
    addRow(sql, 6, 0, {{"EventTime", "NULL"}});

    std::vector<time_t> times;
    Indication_t ind = {};
    while (db.getIndication(&ind)) {
        times.push_back(ind.eventTime);
        db.updateIndication(ind.id);
        ind = {};
    }
    // 11:34:56 UTC in winter time, 10:00 UTC in summer time; the offset in the
    // text plays no part. Anything that does not begin with the six numbers gives 0.
    EXPECT_EQ(times, (std::vector<time_t>{1394883296, 1404208800, 0, 0, 0, 0}));
}

TEST_F(Fetch, LocationFallsBackToThePhysicalColumnAndElseIsTheNullLocation) {
    SQLiteDB db(path);
    Sql sql(path);
    const std::string enc = "'1122334455667788'";
    const std::string phys = "'0102030405060708'";
    addRow(sql, 1, 0, {{"HWEncodingPhysicalLocation", enc}, {"HWPhysicalLocation", phys}});
    addRow(sql, 2, 0, {{"HWEncodingPhysicalLocation", "'NULL'"}, {"HWPhysicalLocation", phys}});
    addRow(sql, 3, 0, {{"HWEncodingPhysicalLocation", "''"}, {"HWPhysicalLocation", phys}});
    addRow(sql, 4, 0, {{"HWEncodingPhysicalLocation", "NULL"}, {"HWPhysicalLocation", phys}});
    addRow(sql, 5, 0, {{"HWEncodingPhysicalLocation", "'NULL'"}, {"HWPhysicalLocation", "''"}});
    addRow(sql, 6, 0, {{"HWEncodingPhysicalLocation", "NULL"}, {"HWPhysicalLocation", "'NULL'"}});
    addRow(sql, 7, 0, {{"HWEncodingPhysicalLocation", "'NULLS'"}, {"HWPhysicalLocation", phys}});

    physloc_t fromEnc, fromPhys;
    ASSERT_EQ(BMC_str_to_physloc("1122334455667788", &fromEnc), 0);
    ASSERT_EQ(BMC_str_to_physloc("0102030405060708", &fromPhys), 0);
    EXPECT_EQ(fromPhys.cab, 0x01);
    EXPECT_EQ(fromPhys.subslot, 0x07);

    std::vector<physloc_t> got;
    Indication_t ind = {};
    while (db.getIndication(&ind)) {
        got.push_back(ind.hw_location);
        db.updateIndication(ind.id);
        ind = {};
    }
    ASSERT_EQ(got.size(), 7u);
    auto same = [](const physloc_t& a, const physloc_t& b) { return memcmp(&a, &b, 8) == 0; };
    EXPECT_TRUE(same(got[0], fromEnc));
    EXPECT_TRUE(same(got[1], fromPhys));
    EXPECT_TRUE(same(got[2], fromPhys));
    EXPECT_TRUE(same(got[3], fromPhys));
    EXPECT_TRUE(same(got[4], BMC_physloc_NULL));
    EXPECT_TRUE(same(got[5], BMC_physloc_NULL));
    EXPECT_FALSE(same(got[6], fromPhys)) << "NULLS is a location text of its own";
}

TEST_F(Fetch, TextFieldsLoseTrailingBlanksAndAreCutToTheirSize) {
    SQLiteDB db(path);
    Sql sql(path);
    addRow(sql, 1, 0,
           {{"ProviderName", "' lead and trail '"},
            {"SystemFirmwareVersion", "'1.2.3   '"},
            {"NetworkAddresses", "'10.0.0.1 fe80::1 '"},
            {"HWPartNumber", "' P 1 '"}});
    addRow(sql, 2, 0, {{"SystemFirmwareVersion", "'   '"}, {"NetworkAddresses", "' '"}});
    addRow(sql, 3, 0,
           {{"ProviderName", "'" + std::string(100, 'p') + "'"},
            {"HWPartNumber", "'" + std::string(64, 'n') + "'"},
            {"SystemFirmwareVersion", "'" + std::string(62, 'f') + "   x'"},
            {"NetworkAddresses", "'" + std::string(3000, 'a') + "'"}});
    // Rows not written by the store may hold SQL NULL in the text columns.
    addRow(sql, 4, 0, {});

    Indication_t ind = {};
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_STREQ(ind.proName, "_lead_and_trail_");
    EXPECT_STREQ(ind.systemFirmwareVersion, "1.2.3");
    EXPECT_STREQ(ind.address, "10.0.0.1 fe80::1");
    EXPECT_STREQ(ind.partNumber, " P 1 ") << "the part number is kept as stored";
    db.updateIndication(1);

    ind = {};
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_STREQ(ind.systemFirmwareVersion, "");
    EXPECT_STREQ(ind.address, "");
    db.updateIndication(2);

    memset(&ind, 0x5a, sizeof ind);
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_EQ(std::string(ind.proName), std::string(63, 'p'));
    EXPECT_EQ(std::string(ind.partNumber), std::string(63, 'n'));
    EXPECT_EQ(std::string(ind.systemFirmwareVersion), std::string(62, 'f'))
        << "cut to 63, then the blank left at the end goes";
    EXPECT_EQ(std::string(ind.address), std::string(1023, 'a'));
    EXPECT_EQ(ind.eventId, 0);
    db.updateIndication(3);

    memset(&ind, 0x5a, sizeof ind);
    ASSERT_TRUE(db.getIndication(&ind));
    EXPECT_EQ(ind.id, 4);
    EXPECT_STREQ(ind.proName, "");
    EXPECT_STREQ(ind.partNumber, "");
    EXPECT_STREQ(ind.systemFirmwareVersion, "");
    EXPECT_STREQ(ind.address, "");
    EXPECT_EQ(ind.eventId, 0);
    EXPECT_EQ(ind.eventTime, 0);
    EXPECT_EQ(memcmp(&ind.hw_location, &BMC_physloc_NULL, 8), 0);
}

TEST_F(Fetch, MarkingAMissingIdSucceedsAndAMissingTableFails) {
    SQLiteDB db(path);
    EXPECT_EQ(db.updateIndication(42), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{"[info] update number 42 indication success"});

    clearTestLog();
    Sql sql(path);
    sql.exec("drop table indication");
    Indication_t ind = {};
    EXPECT_FALSE(db.getIndication(&ind));
    EXPECT_EQ(db.updateIndication(42), SQLITE_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{"[error] update number 42 indication failed"});
}

TEST_F(Fetch, TheTwoThreadsOfTheDaemonNeverFindTheDatabaseBusy) {
    // The intake thread stores while the forwarding thread fetches and marks, each
    // through its own connection; the process-wide lock keeps their statements
    // apart, so neither ever waits for the other.
    SQLiteDB intake(path, dir.file("fifo.tmp"));
    SQLiteDB forwarding(path);
    const int count = 40;
    std::vector<int> results;
    std::atomic<bool> done{false};
    std::thread storing([&] {
        Instance inst;
        inst.text("ProviderName", "Fan").text("EventID", "12");
        for (int i = 0; i < count; ++i) {
            results.push_back(intake.storeIndication(inst.get()));
        }
        done = true;
    });
    std::vector<int> marked;
    while (static_cast<int>(marked.size()) < count) {
        bool finished = done; // read before the fetch, so a miss after it is final
        Indication_t ind = {};
        if (forwarding.getIndication(&ind)) {
            EXPECT_EQ(forwarding.updateIndication(ind.id), 0);
            marked.push_back(ind.id);
        } else if (finished) {
            break; // nothing left, though not all were marked
        } else {
            std::this_thread::yield();
        }
    }
    storing.join();
    ASSERT_EQ(marked.size(), static_cast<size_t>(count));
    EXPECT_EQ(results, std::vector<int>(count, 0));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(marked[i], i + 1) << "oldest first";
    }
    for (const auto& line : messages()) {
        EXPECT_EQ(line.find("busy"), std::string::npos) << line;
    }
}

TEST_F(Store, OpeningAHandleWhileTheOtherThreadStoresNeverFails) {
    // The forwarding thread opens its store while the intake stores: its table and
    // index statements must not find the database locked by the intake's insert.
    SQLiteDB intake(path, dir.file("fifo.tmp"));
    std::atomic<bool> done{false};
    std::thread storing([&] {
        Instance inst;
        inst.text("ProviderName", "Fan");
        for (int i = 0; i < 60; ++i) {
            intake.storeIndication(inst.get());
        }
        done = true;
    });
    int opened = 0;
    while (!done) {
        EXPECT_NO_THROW(SQLiteDB another(path));
        ++opened;
    }
    storing.join();
    EXPECT_GT(opened, 0);
    for (const auto& line : messages()) {
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
}

TEST_F(Fetch, MarkingWaitsWhileAnotherProgramHoldsTheDatabase) {
    SQLiteDB db(path);
    Sql sql(path);
    addRow(sql, 7, 0, {{"ProviderName", "'Fan'"}});
    {
        // Held for one second: the first attempt is refused, the one after the
        // two-second wait goes through.
        LockHolder lock(path, 1000);
        Indication_t ind = {};
        EXPECT_FALSE(db.getIndication(&ind)) << "a busy fetch gives up at once";
        EXPECT_EQ(db.updateIndication(7), 0);
    }
    EXPECT_EQ(sql.value("select Status from indication where Id=7"), "integer:1");
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "[info] database is busy, update 7 indication again in 2 seconds",
                              "[info] update number 7 indication success",
                          }));
}
