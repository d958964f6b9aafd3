#include "sqlitedb.h"
#include "testlog.h"
#include "testsql.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

// The store's pauses while the database is busy, taken without waiting: this test
// stands in for the C library's sleep. Each pause is noted, and whatever the test
// set to happen meanwhile (another program letting go of the database) happens.
namespace {
std::mutex pausesLock;
std::vector<unsigned> pausesTaken;
std::function<void()> duringPause;
} // namespace

extern "C" unsigned int sleep(unsigned int seconds) {
    std::lock_guard<std::mutex> hold(pausesLock);
    pausesTaken.push_back(seconds);
    if (duringPause) {
        duringPause();
        duringPause = nullptr;
    }
    return 0;
}

namespace {

const std::string kData = std::string(ORVIND_TEST_DATA) + "/store/";

// A CIMC instance of an alert indication, as the parser builds it.
class Instance {
public:
    Instance() {
        int rc = 0;
        char* msg = nullptr;
        env_ = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
        free(msg);
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

    // Values reach the store as the texts the parser renders them to.
    Instance& text(const char* name, const std::string& value) {
        inst_->ft->setProperty(inst_, name,
                               reinterpret_cast<CIMCValue*>(const_cast<char*>(value.c_str())),
                               CIMC_chars);
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

// Fetches and marks every row still to forward, oldest first. Each record is filled
// with 0x5a first, so a text field left without its end shows.
std::vector<Indication_t> drain(SQLiteDB& db) {
    std::vector<Indication_t> fetched;
    Indication_t ind;
    for (memset(&ind, 0x5a, sizeof ind); db.getIndication(&ind); memset(&ind, 0x5a, sizeof ind)) {
        fetched.push_back(ind);
        db.updateIndication(ind.id);
    }
    return fetched;
}

bool sameLocation(const physloc_t& a, const physloc_t& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

// A property's name, the text the parser rendered it to (nullptr when the instance
// lacks it, kNullState when it is there in the null state) and the column it gives.
const char* const kNullState = "null state";
struct Property {
    const char* name;
    const char* text;
    const char* stored;
};

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        clearTestLog();
        pausesTaken.clear();
    }

    // The value of one column of the only row.
    std::string column(const std::string& name) {
        auto rows = TestDb(path, true).rows("select " + name + " from indication");
        EXPECT_EQ(rows.size(), 1u);
        return rows.empty() ? "none" : rows[0][0];
    }

    // Stores one instance of the properties and checks the column each one gives.
    void expectStored(SQLiteDB& db, const std::vector<Property>& properties) {
        Instance inst;
        for (const Property& property : properties) {
            if (property.text == kNullState) {
                inst.null(property.name, CIMC_string);
            } else if (property.text != nullptr) {
                inst.text(property.name, property.text);
            }
        }
        ASSERT_EQ(db.storeIndication(inst.get()), 0);
        for (const Property& property : properties) {
            EXPECT_EQ(column(property.name), property.stored) << property.name;
        }
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
    TestDb sql(path, true);
    std::string statement = readFile(kData + "schema.sql");
    ASSERT_EQ(statement.rfind("CREATE TABLE IF NOT EXISTS ", 0), 0u);
    ASSERT_EQ(statement.substr(statement.size() - 2), "; ");
    std::string stored = "CREATE TABLE " + statement.substr(27, statement.size() - 29);
    EXPECT_EQ(sql.value("select sql from sqlite_master where name='indication'"), "text:" + stored);

    // Columns 3 to 38 are the members, in their order and of their kind.
    auto columns = sql.rows("select name, type from pragma_table_info('indication') order by cid");
    ASSERT_EQ(columns.size(), 39u);
    EXPECT_EQ(columns[0][0] + columns[1][0] + columns[38][0], "text:Idtext:Statustext:RawData");
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(columns[i + 2][0], std::string("text:") + members[2 * i]);
        std::string type = columns[i + 2][1];
        bool intColumn = type == "text:SMALLINT" || type == "text:INTEGER";
        EXPECT_EQ(intColumn, std::string(members[2 * i + 1]) == "int") << members[2 * i];
    }

    // The fetch walks the index of unforwarded rows, not the whole history.
    auto plan = sql.rows("explain query plan select Id, ProviderName, EventID, EventTime, "
                         "SystemFirmwareVersion, HWPartNumber, HWEncodingPhysicalLocation, "
                         "HWPhysicalLocation, NetworkAddresses from indication where status=0 "
                         "order by Id");
    ASSERT_FALSE(plan.empty());
    EXPECT_NE(plan.back().back().find("indication_unforwarded"), std::string::npos);
    EXPECT_TRUE(testLogLines().empty());
}

TEST_F(Store, AnExistingTableIsNeverReplaced) {
    {
        SQLiteDB first(path);
        TestDb sql(path, true);
        sql.addRow(1, 0, {{"ProviderName", "'a'"}});
        sql.addRow(2, 1, {{"ProviderName", "'b'"}});
    }
    SQLiteDB second(path);
    EXPECT_EQ(TestDb(path, true)
                  .value("select group_concat(Id || ProviderName || Status) from indication"),
              "text:1a0,2b1");

    // A table of an older shape gains the columns it lacks, its rows kept; nothing is
    // dropped.
    std::string older = dir.file("older.db");
    TestDb(older, true)
        .exec("create table indication(Id INTEGER PRIMARY KEY AUTOINCREMENT, Status "
              "SMALLINT, ProviderName VARCHAR(64)); insert into indication "
              "values(1, 1, 'kept')");
    clearTestLog();
    SQLiteDB db(older, raw);
    auto lines = logEntries();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[warn] The table indication lacked columns; added: "
                             "IndicationIdentifier IndicationTime",
                             0),
              0u)
        << lines[0];
    Instance inst;
    inst.text("ProviderName", "Fan");
    inst.text("EventID", "7");
    EXPECT_EQ(db.storeIndication(inst.get()), 0);
    EXPECT_EQ(TestDb(older, true)
                  .value("select group_concat(Id || ProviderName || Status || "
                         "ifnull(EventID, '-')) from indication"),
              "text:1kept1-,2Fan07");
}

TEST_F(Store, AFileThatCannotServeThrowsWithSqlitesMessage) {
    clearTestLog();
    try {
        SQLiteDB db(dir.file("missing/indications.db"));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "open database failed:unable to open database file");
    }
    EXPECT_EQ(logEntries(), std::vector<std::string>{"[error] open database failed"});
}

TEST_F(Store, AFileThatIsNoDatabaseIsMovedAsideAndANewOneMade) {
    const std::string text = readFile(kData + "schema.sql"); // text, no database
    writeFile(path, text);
    clearTestLog();
    SQLiteDB db(path, raw);
    auto lines = logEntries();
    ASSERT_EQ(lines.size(), 1u);
    const std::string start = "[error] The database " + path +
                              " is damaged (file is not a database): moved aside to " + path +
                              ".damaged-";
    ASSERT_EQ(lines[0].rfind(start, 0), 0u) << lines[0];
    const size_t from = lines[0].find(" to ") + 4;
    const std::string aside = lines[0].substr(from, lines[0].find("; a new") - from);
    EXPECT_EQ(readFile(aside), text) << "nothing deleted";
    Instance inst;
    inst.text("ProviderName", "Fan");
    EXPECT_EQ(db.storeIndication(inst.get()), 0);
}

TEST_F(Store, AMissingTableFailsEachStatementWithItsLogLine) {
    SQLiteDB db(path, raw);
    EXPECT_EQ(db.updateIndication(42), 0) << "marking a missing id is no failure";
    TestDb(path, true).exec("drop table indication");
    clearTestLog();
    Instance inst;
    inst.text("ProviderName", "Fan");
    EXPECT_EQ(db.storeIndication(inst.get()), SQLITE_ERROR);
    Indication_t ind = {};
    EXPECT_FALSE(db.getIndication(&ind));
    EXPECT_EQ(db.updateIndication(42), SQLITE_ERROR);
    EXPECT_EQ(logEntries(), (std::vector<std::string>{
                                "[error] insert Fan indication failed:no such table: Indication",
                                "[error] update number 42 indication failed"}));
}

// ---- storing -----------------------------------------------------------------------

TEST_F(Insert, StoresEveryMemberByKindAndTheDeliveredDocument) {
    writeFile(raw, readFile(kData + "delivery.txt"));
    SQLiteDB db(path, raw);
    expectStored(db, {
                         {"ProviderName", "Fan Monitor Provider", "text:Fan Monitor Provider"},
                         {"PerceivedSeverity", "6", "integer:6"},
                         {"EventCategory", "-3", "integer:-3"},
                         {"NetworkAddresses", "10.0.0.5 fe80::5 ", "text:10.0.0.5 fe80::5 "},
                         {"EventID", "12", "text:12"},
                         {"HWPhysicalLocation", "0000000102030405", "text:0000000102030405"},
                         {"SystemFirmwareVersion", "1.2.3  ", "text:1.2.3  "}, // as rendered
                         {"ProviderVersion", "2.10", "real:2.1"}, // its misspelt type is numeric
                         // Not there at all (NULL ones: see below): '' in "string" columns, SQL
                         // NULL in "int" ones.
                         {"Summary", nullptr, "text:"},
                         {"OSType", nullptr, "null:"},
                     });
    EXPECT_EQ(column("Id || ',' || Status"), "text:1,0");
    EXPECT_EQ(column("RawData"), "text:" + readFile(kData + "delivery.expected"))
        << "the first document of the file, without its line ends and trailer";
    EXPECT_EQ(logEntries(),
              std::vector<std::string>{"[info] insert Fan Monitor Provider indication success"});

    // What the forwarding side makes of it.
    auto fetched = drain(db);
    ASSERT_EQ(fetched.size(), 1u);
    EXPECT_EQ(fetched[0].id, 1);
    EXPECT_STREQ(fetched[0].proName, "Fan_Monitor_Provider");
    EXPECT_EQ(fetched[0].eventId, 12);
    EXPECT_STREQ(fetched[0].address, "10.0.0.5 fe80::5");
    EXPECT_STREQ(fetched[0].systemFirmwareVersion, "1.2.3");
    EXPECT_STREQ(fetched[0].partNumber, "");
    physloc_t location;
    BMC_str_to_physloc("0000000102030405", &location);
    EXPECT_TRUE(sameLocation(fetched[0].hw_location, location));
}

// Quotes stay in the text; an "int" column takes only a decimal integer, else SQL
// NULL; a property in the null state is the text NULL or SQL NULL by kind.
TEST_F(Insert, HostileAndNullValuesCannotChangeTheStatement) {
    SQLiteDB db(path, raw);
    const char* const drop = "x'); DROP TABLE indication; --";
    expectStored(db, {
                         {"Description", "it's", "text:it's"},
                         {"Summary", "''", "text:''"},
                         {"ProbableCauseDescription", drop, "text:x'); DROP TABLE indication; --"},
                         {"ProviderName", kNullState, "text:NULL"},
                         {"PerceivedSeverity", "1); DROP TABLE indication; --", "null:"},
                         {"AlertingElementFormat", "1.5", "null:"},
                         {"AlertType", kNullState, "null:"},
                         {"ProbableCause", "-", "null:"},
                         {"OSType", "true", "null:"},
                         {"EventCategory", "20140315123456.000000+060", "null:"},
                         {"ImpactedDomain", "-42", "integer:-42"},
                     });
    EXPECT_EQ(logEntries(), std::vector<std::string>{"[info] insert NULL indication success"});
}

TEST_F(Insert, RawDataIsTheTempFileUpToItsTrailerLine) {
    SQLiteDB db(path, raw);
    Instance inst;
    for (const std::string& content :
         {readFile(kData + "trailer.txt"), readFile(kData + "no_trailer.txt"), std::string(),
          std::string("a\0b\nc", 5)}) {
        writeFile(raw, content);
        EXPECT_EQ(db.storeIndication(inst.get()), 0);
    }
    unlink(raw.c_str());
    EXPECT_EQ(db.storeIndication(inst.get()), 0);

    auto rows = TestDb(path, true).rows("select RawData from indication order by Id");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0][0], "text:onetwo");
    EXPECT_EQ(rows[1][0], "text:<a>\rit's 'quoted'\r</a>") << "carriage returns and quotes stay";
    EXPECT_EQ(rows[2][0], "text:");
    EXPECT_EQ(rows[3][0], "text:abc") << "a NUL byte cannot travel in the statement";
    EXPECT_EQ(rows[4][0], "text:") << "no file";
}

TEST_F(Insert, ABusyDatabaseIsTriedFourTimesOverTwelveSeconds) {
    SQLiteDB db(path, raw);
    Instance inst;
    inst.text("ProviderName", "Fan");
    {
        TestDb other(path, true); // another program holds the database all along
        other.exec("BEGIN EXCLUSIVE");
        EXPECT_EQ(db.storeIndication(inst.get()), SQLITE_BUSY);
    }
    EXPECT_EQ(TestDb(path, true).value("select count(*) from indication"), "integer:0");
    EXPECT_EQ(pausesTaken, (std::vector<unsigned>{2, 4, 6}));
    EXPECT_EQ(logEntries(),
              (std::vector<std::string>{
                  "[error] database is busy, insert Fan indication again in 2 seconds",
                  "[error] database is busy, insert Fan indication again in 4 seconds",
                  "[error] database is busy, insert Fan indication again in 6 seconds",
                  "[error] insert Fan indication failed:database is locked",
              }));
}

// ---- fetching and marking ----------------------------------------------------------

TEST_F(Fetch, NothingToForwardGivesFalseAndLeavesTheRecordAlone) {
    SQLiteDB db(path);
    Indication_t ind, before;
    memset(&ind, 0x5a, sizeof ind);
    before = ind;
    EXPECT_FALSE(db.getIndication(&ind));
    TestDb(path, true).addRow(3, 1, {{"ProviderName", "'done'"}});
    EXPECT_FALSE(db.getIndication(&ind));
    EXPECT_EQ(memcmp(&ind, &before, sizeof ind), 0);
    EXPECT_TRUE(testLogLines().empty());
}

// The rows of fetch.sql, fetched and marked: each record as one line (its location as
// the bytes of the structure, or "null"), then the log and the statuses afterwards.
TEST_F(Fetch, EachRowIsFetchedOldestFirstAsItsRecord) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1); // spelt out: no zone database needed
    tzset();
    SQLiteDB db(path);
    TestDb sql(path);
    sql.exec(readFile(kData + "fetch.sql"));
    std::string text;
    for (const Indication_t& ind : drain(db)) {
        std::string location = "null";
        if (!sameLocation(ind.hw_location, BMC_physloc_NULL)) {
            location.clear();
            for (size_t i = 0; i < sizeof ind.hw_location; ++i) {
                char hex[3];
                snprintf(hex, sizeof hex, "%02x",
                         reinterpret_cast<const unsigned char*>(&ind.hw_location)[i]);
                location += hex;
            }
        }
        text += std::to_string(ind.id) + " " + ind.proName +
                " event=" + std::to_string(ind.eventId) + " time=" + std::to_string(ind.eventTime) +
                " location=" + location + " part=" + ind.partNumber +
                " firmware=" + ind.systemFirmwareVersion + " address=" + ind.address + "\n";
    }
    for (const std::string& entry : logEntries()) {
        text += entry + "\n";
    }
    text += "statuses " + sql.value("select group_concat(Status, '') from indication") + "\n";
    if (getenv("ORVIND_UPDATE_GOLDEN") != nullptr) {
        writeFile(kData + "fetch.expected", text);
    }
    EXPECT_EQ(text, readFile(kData + "fetch.expected"));
}

TEST_F(Fetch, TextFieldsLoseTrailingBlanksAndAreCutToTheirSize) {
    SQLiteDB db(path);
    TestDb sql(path, true);
    sql.addRow(1, 0,
               {{"ProviderName", "' lead and trail '"},
                {"SystemFirmwareVersion", "'1.2.3   '"},
                {"NetworkAddresses", "'10.0.0.1 fe80::1 '"},
                {"HWPartNumber", "' P 1 '"}});
    sql.addRow(2, 0,
               {{"ProviderName", "'" + std::string(100, 'p') + "'"},
                {"HWPartNumber", "'" + std::string(64, 'n') + "'"},
                {"SystemFirmwareVersion", "'" + std::string(62, 'f') + "   x'"},
                {"NetworkAddresses", "'" + std::string(3000, 'a') + "'"}});
    sql.addRow(3, 0); // rows not written by the store may hold SQL NULL in text columns

    auto fetched = drain(db);
    ASSERT_EQ(fetched.size(), 3u);
    EXPECT_STREQ(fetched[0].proName, "_lead_and_trail_");
    EXPECT_STREQ(fetched[0].systemFirmwareVersion, "1.2.3");
    EXPECT_STREQ(fetched[0].address, "10.0.0.1 fe80::1");
    EXPECT_STREQ(fetched[0].partNumber, " P 1 ") << "the part number is kept as stored";

    EXPECT_EQ(std::string(fetched[1].proName), std::string(63, 'p'));
    EXPECT_EQ(std::string(fetched[1].partNumber), std::string(63, 'n'));
    EXPECT_EQ(std::string(fetched[1].systemFirmwareVersion), std::string(62, 'f'))
        << "cut to 63, then the blank left at the end goes";
    EXPECT_EQ(std::string(fetched[1].address), std::string(1023, 'a'));

    const Indication_t& empty = fetched[2];
    EXPECT_EQ(std::string(empty.proName) + empty.partNumber + empty.systemFirmwareVersion +
                  empty.address,
              "");
    EXPECT_EQ(empty.eventId, 0);
    EXPECT_EQ(empty.eventTime, 0);
    EXPECT_TRUE(sameLocation(empty.hw_location, BMC_physloc_NULL));
}

TEST_F(Fetch, MarkingWaitsWhileAnotherProgramHoldsTheDatabase) {
    SQLiteDB db(path);
    TestDb sql(path, true);
    sql.addRow(7, 0, {{"ProviderName", "'Fan'"}});
    // Held until the store's first pause: the attempt after it goes through.
    TestDb other(path, true);
    other.exec("BEGIN EXCLUSIVE");
    duringPause = [&] { other.exec("ROLLBACK"); };
    Indication_t ind = {};
    EXPECT_TRUE(db.getIndication(&ind)) << "a writer does not hold up a reader";
    EXPECT_EQ(db.updateIndication(7), 0);
    EXPECT_EQ(pausesTaken, std::vector<unsigned>{2});
    EXPECT_EQ(sql.value("select Status from indication where Id=7"), "integer:1");
    EXPECT_EQ(logEntries(), (std::vector<std::string>{
                                "[info] fetch number 7 indication Fan:0 from database",
                                "[info] database is busy, update 7 indication again in 2 seconds",
                                "[info] update number 7 indication success",
                            }));
}

// ---- the daemon's two threads ------------------------------------------------------

// The intake thread stores while the forwarding thread opens its handle, fetches and
// marks, each through its own connection; the process-wide lock keeps their
// statements apart, so neither ever finds the database busy.
TEST_F(Store, TheTwoThreadsOfTheDaemonNeverFindTheDatabaseBusy) {
    SQLiteDB intake(path, raw);
    const int count = 40;
    std::vector<int> results;
    std::atomic<bool> done{false};
    JoiningThread storing([&] {
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
        SQLiteDB forwarding(path);
        Indication_t ind = {};
        if (forwarding.getIndication(&ind)) {
            EXPECT_EQ(forwarding.updateIndication(ind.id), 0);
            marked.push_back(ind.id);
        } else if (finished) {
            break;
        }
    }
    storing.join();
    EXPECT_EQ(results, std::vector<int>(count, 0));
    EXPECT_TRUE(pausesTaken.empty());

    // While another thread holds the lock, an insert waits for it.
    std::atomic<bool> returned{false};
    pthread_mutex_lock(&mutex);
    JoiningThread waiting(
        [&] {
            Instance inst;
            intake.storeIndication(inst.get());
            returned = true;
        },
        [&] { pthread_mutex_unlock(&mutex); });
    for (int i = 0; i < 30 && !returned; ++i) {
        usleep(10 * 1000); // an insert takes a few milliseconds
    }
    EXPECT_FALSE(returned) << "the insert did not wait for the lock";
    waiting.join();
    EXPECT_TRUE(returned);
    ASSERT_EQ(marked.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(marked[i], i + 1) << "oldest first";
    }
    for (const auto& line : logEntries()) {
        EXPECT_EQ(line.find("busy"), std::string::npos) << line;
        EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
}

// ---- the write-ahead log -----------------------------------------------------------

TEST_F(Store, ARollbackJournalDatabaseIsConvertedWithItsRowsAndSchema) {
    {
        TestDb old(path, true);
        old.exec(readFile(kData + "schema.sql"));
        old.exec("PRAGMA journal_mode=DELETE");
        old.addRow(1, 1, {{"ProviderName", "'a'"}});
        old.addRow(2, 0, {{"ProviderName", "'b'"}});
    }
    std::string schema =
        TestDb(path, true).value("select sql from sqlite_master where name='indication'");
    SQLiteDB db(path);
    TestDb sql(path, true);
    EXPECT_EQ(sql.value("PRAGMA journal_mode"), "text:wal");
    EXPECT_EQ(sql.value("select sql from sqlite_master where name='indication'"), schema);
    EXPECT_EQ(sql.value("select group_concat(Id || ProviderName || Status) from indication"),
              "text:1a1,2b0");
    EXPECT_TRUE(logEntries().empty());
}

// An administrator's query that keeps its read transaction open: every insert meanwhile
// goes through at once, and so does a checkpoint, which copies what it may and leaves
// the rest for later. Held for ten seconds (two under a sanitizer).
using SlowStore = Store;
TEST_F(SlowStore, AReaderHoldingItsTransactionNeverDelaysAnInsert) {
    SQLiteDB intake(path, raw);
    SQLiteDB forwarding(path);
    TestDb reader(path, true);
    reader.exec("BEGIN");
    EXPECT_EQ(reader.value("select count(*) from indication where Status=0"), "integer:0");
    const auto held = std::chrono::steady_clock::now();
    Instance inst;
    inst.text("ProviderName", "Fan");
    int stored = 0;
    double longest = 0;
    while (std::chrono::steady_clock::now() - held < std::chrono::seconds(kSanitized ? 2 : 10)) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(intake.storeIndication(inst.get()), 0);
        EXPECT_EQ(forwarding.checkpoint(), 0);
        longest = std::max(
            longest,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ++stored;
        usleep(200 * 1000);
    }
    EXPECT_EQ(reader.value("select count(*) from indication where Status=0"), "integer:0")
        << "the reader still sees the database as it began";
    reader.exec("COMMIT");
    EXPECT_LT(longest, 0.1) << "slowest insert of " << stored;
    EXPECT_EQ(TestDb(path, true).value("select count(*) from indication"),
              "integer:" + std::to_string(stored));
    for (const auto& line : logEntries()) {
        EXPECT_EQ(line.find("busy"), std::string::npos) << line;
    }
}

// Rows committed into the write-ahead log by a program killed while it copies the log
// into the database: the next connection finds every one of them and a sound file.
TEST_F(Store, AWriteAheadLogLeftByAKillMidCheckpointIsRecovered) {
    { SQLiteDB db(path); }
    std::mt19937 random(std::random_device{}());
    long committed = 0;
    for (int round = 0; round < 5; ++round) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Commits rows, telling each one, then copies the log: "C" before each copy.
            close(report[0]);
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            // A kill loses no page cache: commits need no sync here; the copy keeps its.
            sqlite3_exec(db, "PRAGMA wal_autocheckpoint=0; PRAGMA synchronous=NORMAL", nullptr,
                         nullptr, nullptr);
            for (;;) {
                for (int i = 0; i < 100; ++i) {
                    if (sqlite3_exec(db,
                                     "insert into indication(Status, RawData) "
                                     "values(0, printf('%.2000c', 'x'))",
                                     nullptr, nullptr, nullptr) != SQLITE_OK ||
                        write(report[1], "r", 1) != 1) {
                        _exit(1);
                    }
                }
                if (write(report[1], "C", 1) != 1) {
                    _exit(1);
                }
                sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_FULL, nullptr, nullptr);
            }
        }
        close(report[1]);
        const int checkpoints = 1 + static_cast<int>(random() % 3);
        int seen = 0;
        char c;
        while (seen < checkpoints && read(report[0], &c, 1) == 1) {
            c == 'C' ? ++seen : ++committed;
        }
        usleep(random() % 4000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        while (read(report[0], &c, 1) == 1) {
            committed += c == 'r';
        }
        close(report[0]);

        SQLiteDB db(path);
        TestDb sql(path, true);
        ASSERT_EQ(sql.value("PRAGMA integrity_check"), "text:ok") << "round " << round;
        // A kill between a commit and its report leaves one row more than reported.
        const long rows = std::stol(sql.value("select count(*) from indication").substr(8));
        ASSERT_GE(rows, committed) << "round " << round;
        ASSERT_LE(rows, committed + 1) << "round " << round;
        committed = rows;
    }
    EXPECT_TRUE(logEntries().empty());
}

namespace {

// A filesystem that cannot map SQLite's shared-memory index, as some network and
// user-space filesystems: the default VFS, with the mapping of every database's index
// failing as a failed mmap does.
sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs noShmVfs;
sqlite3_io_methods noShmMethods;
int (*realShmMap)(sqlite3_file*, int, int, int, void volatile**) = nullptr;

int failShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** memory) {
    realShmMap(file, region, size, extend, memory);
    *memory = nullptr;
    return SQLITE_IOERR_SHMMAP;
}

int openWithoutShm(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
    int rc = realVfs->xOpen(realVfs, name, file, flags, out);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_MAIN_DB) != 0 && file->pMethods != nullptr) {
        noShmMethods = *file->pMethods;
        realShmMap = file->pMethods->xShmMap;
        noShmMethods.xShmMap = failShmMap;
        file->pMethods = &noShmMethods;
    }
    return rc;
}

void useFilesystemWithoutShm() {
    realVfs = sqlite3_vfs_find(nullptr);
    noShmVfs = *realVfs;
    noShmVfs.zName = "noshm";
    noShmVfs.xOpen = openWithoutShm;
    sqlite3_vfs_register(&noShmVfs, 1);
}

} // namespace

// Without the shared-memory index the store keeps (or goes back to) the rollback
// journal, says so once for the process, and stores as before. Run in a child, which
// alone has the filesystem without it.
TEST_F(Store, WithoutSharedMemoryTheRollbackJournalIsKeptWithOneWarning) {
    // A database in the write-ahead log format from a filesystem that had the index, its
    // last row only in the log, as a kill leaves it.
    std::string walFile = dir.file("wal.db");
    { SQLiteDB db(walFile); }
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(walFile.c_str(), &db);
        sqlite3_exec(db, "insert into indication(Id, Status, ProviderName) values(1, 0, 'kept')",
                     nullptr, nullptr, nullptr);
        _exit(0); // no close, no checkpoint
    }
    waitpid(writer, nullptr, 0);
    ASSERT_GT(readFile(walFile + "-wal").size(), 0u);
    clearTestLog();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        useFilesystemWithoutShm();
        Instance inst;
        inst.text("ProviderName", "Fan");
        int failures = 0;
        for (const std::string& file : {path, path, walFile}) {
            try {
                SQLiteDB db(file, raw);
                failures += db.storeIndication(inst.get()) != 0;
                Indication_t ind = {};
                failures += !db.getIndication(&ind);
                failures += db.updateIndication(ind.id) != 0;
            } catch (const std::exception& e) {
                fprintf(stderr, "%s: %s\n", file.c_str(), e.what());
                ++failures;
            }
        }
        _exit(failures);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed statements";
    EXPECT_EQ(TestDb(path, true).value("PRAGMA journal_mode"), "text:delete");
    EXPECT_EQ(TestDb(path, true).value("select group_concat(Id || Status) from indication"),
              "text:11,21");
    EXPECT_EQ(TestDb(walFile, true).value("PRAGMA journal_mode"), "text:delete");
    EXPECT_EQ(
        TestDb(walFile, true).value("select group_concat(ProviderName || Status) from indication"),
        "text:kept1,Fan0");
    auto lines = logEntries();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "[warn] write-ahead log not available for " + path +
                            " (disk I/O error): using the rollback journal");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("[warn]", 0) == 0; }),
              1);
}
