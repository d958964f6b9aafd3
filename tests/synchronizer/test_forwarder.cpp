#include "forwarder.h"

#include "sqlitedb.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// One row as the intake stores it, reduced to the columns the forwarding reads.
struct Row {
    std::string provider;
    std::string event;
    std::string time = "20140315123456.000000+060";
    std::string part = "PN-1234";
    std::string location = "00020001000a0321";
    std::string firmware = "1.2.3";
    std::string address = "10.0.0.5 ";
};

// A forwarding pass at a time on a store, mark files and a simulated BMC of the
// test's own, with the project's sample event dictionary.
class Forwarding : public ::testing::Test {
protected:
    void SetUp() override {
        paths.database = temp.file("indications.db");
        paths.fplMark = temp.file("fpl.log");
        paths.halcyonMark = temp.file("zu.log");
        bmc = temp.file("bmc");
        setenv(tallowsim::kDirVariable, bmc.c_str(), 1);
        setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
        setenv(tallowsim::kDictionaryVariable,
               ORVIND_SOURCE_DIR "/platform/tallow/data/event-dictionary.txt", 1);
        // The host facts of a halcyon event come from this rpm rather than the host's.
        std::string bin = temp.file("bin");
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        writeFile(bin + "/rpm", readFile(std::string(ORVIND_TEST_DATA) + "/forwarding/rpm"));
        ASSERT_EQ(chmod((bin + "/rpm").c_str(), 0755), 0);
        const char* path = getenv("PATH");
        setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
        store = std::make_unique<SQLiteDB>(paths.database, temp.file("raw"));
        ASSERT_EQ(sqlite3_open(paths.database.c_str(), &db), SQLITE_OK);
        clearTestLog();
    }

    void TearDown() override { sqlite3_close(db); }

    void exec(const std::string& sql) {
        char* error = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        std::string text = error != nullptr ? error : "";
        sqlite3_free(error);
        if (rc != SQLITE_OK) {
            throw std::runtime_error(sql + ": " + text);
        }
    }

    std::string value(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        std::string result = "none";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            result = text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
        }
        sqlite3_finalize(stmt);
        return result;
    }

    // Stores the row with status 0 and returns its id.
    int insert(const Row& row) {
        exec("insert into indication(Status, ProviderName, EventID, EventTime, HWPartNumber, "
             "HWEncodingPhysicalLocation, HWPhysicalLocation, SystemFirmwareVersion, "
             "NetworkAddresses) values(0, '" +
             row.provider + "', '" + row.event + "', '" + row.time + "', '" + row.part + "', '" +
             row.location + "', 'NULL', '" + row.firmware + "', '" + row.address + "')");
        return static_cast<int>(sqlite3_last_insert_rowid(db));
    }

    std::string status(int id) {
        return value("select Status from indication where Id=" + std::to_string(id));
    }

    std::vector<SEL_entry_t> fpl() {
        tallowsim::Fpl records;
        std::string error;
        EXPECT_TRUE(tallowsim::readFpl(bmc, records, &error)) << error;
        return records.records;
    }

    std::vector<tallowsim::Command> commands() {
        std::vector<tallowsim::Command> list;
        std::string error;
        EXPECT_TRUE(tallowsim::readCommands(bmc, list, &error)) << error;
        return list;
    }

    void setFault(const std::string& name, int value) {
        tallowsim::Faults faults = tallowsim::readFaults(bmc);
        std::string error;
        ASSERT_TRUE(tallowsim::setFault(faults, name, value, &error)) << error;
        ASSERT_TRUE(tallowsim::makeStateDir(bmc, &error)) << error;
        ASSERT_TRUE(tallowsim::writeFaults(bmc, faults, &error)) << error;
    }

    static int mark(const std::string& path) {
        std::string bytes = readFile(path);
        int id = 0;
        if (bytes.size() != sizeof id) {
            return -1;
        }
        memcpy(&id, bytes.data(), sizeof id);
        return id;
    }

    static void setMark(const std::string& path, int id) {
        writeFile(path, std::string(reinterpret_cast<const char*>(&id), sizeof id));
    }

    PassResult pass() { return forward_next(*store, paths); }

    TempDir temp;
    ForwardingPaths paths;
    std::string bmc;
    std::unique_ptr<SQLiteDB> store;
    sqlite3* db = nullptr;
};

// Log lines without their time stamp, only those of the forwarding pass itself.
std::vector<std::string> passLines() {
    std::vector<std::string> lines;
    for (const auto& line : testLogLines()) {
        std::string entry = line.size() > 21 ? line.substr(21) : line;
        for (const char* mark : {"indication as FPL", "indication to halcyon", "fetch number",
                                 "update number", "Last Log id"}) {
            if (entry.find(mark) != std::string::npos) {
                lines.push_back(entry);
                break;
            }
        }
    }
    return lines;
}

Indication_t indication(const char* provider, int eventId) {
    Indication_t ind;
    memset(&ind, 0, sizeof ind);
    strncpy(ind.proName, provider, sizeof ind.proName - 1);
    ind.eventId = eventId;
    return ind;
}

} // namespace

TEST(HalcyonSelection, TakesHighAlertLevelsAndTheNamedEvents) {
    // By alert level, whatever the provider: 3 and above.
    EXPECT_TRUE(selected_for_halcyon(indication("Fan_Monitor_Provider", 12), 3));
    EXPECT_TRUE(selected_for_halcyon(indication("VEXA_WBEM", 2), 6));
    EXPECT_FALSE(selected_for_halcyon(indication("Fan_Monitor_Provider", 12), 2));
    EXPECT_FALSE(selected_for_halcyon(indication("VEXA_RAID", 1), 0));
    // "VEXA_WBEM" events 1, 3 and 4 and "QRX_FCHBAIndication" event 1 at any level.
    for (int event : {1, 3, 4}) {
        EXPECT_TRUE(selected_for_halcyon(indication("VEXA_WBEM", event), 0)) << event;
    }
    for (int event : {0, 2, 5, 6}) {
        EXPECT_FALSE(selected_for_halcyon(indication("VEXA_WBEM", event), 2)) << event;
    }
    EXPECT_TRUE(selected_for_halcyon(indication("QRX_FCHBAIndication", 1), 0));
    EXPECT_FALSE(selected_for_halcyon(indication("QRX_FCHBAIndication", 3), 2));
    // The names compare exactly.
    EXPECT_FALSE(selected_for_halcyon(indication("vexa_wbem", 1), 0));
    EXPECT_FALSE(selected_for_halcyon(indication("VEXA_WBEM_", 1), 0));
    EXPECT_FALSE(selected_for_halcyon(indication("QRX_FCHBAIndication", 4), 0));
}

TEST_F(Forwarding, EmptyStoreDoesNothing) {
    EXPECT_EQ(pass(), PassResult::Idle);
    EXPECT_EQ(readTestLog(), "");
    EXPECT_EQ(access(paths.fplMark.c_str(), F_OK), -1) << "no mark is read without a row";
    EXPECT_EQ(access(paths.halcyonMark.c_str(), F_OK), -1);
}

TEST_F(Forwarding, SelectedRowGoesToBothTargetsThenIsMarked) {
    int id = insert({"VEXA_RAID", "1"}); // alert level 5
    EXPECT_EQ(pass(), PassResult::Forwarded);

    EXPECT_EQ(passLines(), (std::vector<std::string>{
                               "[info] fetch number 1 indication VEXA_RAID:1 from database",
                               "[info] write VEXA_RAID indication as FPL successfully",
                               "[info] write VEXA_RAID indication to halcyon successfully",
                               "[info] update number 1 indication success",
                           }));
    ASSERT_EQ(fpl().size(), 1u);
    EXPECT_EQ(fpl()[0].e0.EventID, 0x10401u);
    EXPECT_EQ(fpl()[0].e0.AlertLevel, 5u);
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].arg.rfind("--PNAM VEXA_RAID --HPART PN-1234 --EID 1 --PVER 2.5.0 "
                                      "--OSTYP 84 --OSVER ",
                                      0),
              0u)
        << commands()[0].arg;
    EXPECT_NE(commands()[0].arg.find(" --HPHYL 00020001000a0321 --SFWVER 1.2.3 --NWADD 10.0.0.5 "
                                     "--SNAM "),
              std::string::npos)
        << commands()[0].arg;
    EXPECT_EQ(mark(paths.fplMark), id);
    EXPECT_EQ(mark(paths.halcyonMark), id);
    EXPECT_EQ(status(id), "1");
    EXPECT_EQ(pass(), PassResult::Idle) << "a forwarded row is not fetched again";
}

TEST_F(Forwarding, UnselectedRowGoesToTheFplOnly) {
    int id = insert({"VEXA_WBEM", "2"}); // alert level 1
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(mark(paths.fplMark), id);
    EXPECT_EQ(access(paths.halcyonMark.c_str(), F_OK), -1)
        << "the halcyon mark is first read when a row is selected";
    EXPECT_EQ(status(id), "1");
}

TEST_F(Forwarding, RowsGoOneAtATimeInIdOrder) {
    insert({"VEXA_SCSI", "2"});
    insert({"VEXA_RAID", "3"});
    exec("update indication set Status=1 where Id=2");
    insert({"Temperature_Provider", "3"});
    insert({"VEXA_WBEM", "2"});

    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(status(1), "1");
    EXPECT_EQ(status(3), "0");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(status(3), "1");
    EXPECT_EQ(status(4), "0");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(pass(), PassResult::Idle);

    std::vector<uint32_t> events;
    for (const SEL_entry_t& record : fpl()) {
        events.push_back(record.e0.EventID);
    }
    EXPECT_EQ(events, (std::vector<uint32_t>{0x10302, 0x10703, 0x10102}));
}

TEST_F(Forwarding, FailedTargetsAreMarkedAndNotRetried) {
    // No dictionary entry: write_fpl fails and gives no alert level.
    int unknown = insert({"Unknown_Provider", "7"});
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(readTestLog().find("[error] failed to write Unknown_Provider indication as FPL") !=
                  std::string::npos,
              true)
        << readTestLog();
    EXPECT_EQ(mark(paths.fplMark), unknown);
    EXPECT_EQ(status(unknown), "1");
    EXPECT_TRUE(fpl().empty());
    EXPECT_TRUE(commands().empty());

    // The management processor refuses the command: the row is still marked.
    setFault("cli-status", 4);
    clearTestLog();
    int refused = insert({"QRX_FCHBAIndication", "1"});
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(passLines(),
              (std::vector<std::string>{
                  "[info] fetch number 2 indication QRX_FCHBAIndication:1 from database",
                  "[info] Last Log id: 1",
                  "[info] write QRX_FCHBAIndication indication as FPL successfully",
                  "[error] failed to write QRX_FCHBAIndication indication to halcyon",
                  "[info] update number 2 indication success",
              }));
    EXPECT_EQ(mark(paths.halcyonMark), refused);
    EXPECT_EQ(status(refused), "1");
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].status, 4);

    EXPECT_EQ(pass(), PassResult::Idle);
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
}

TEST_F(Forwarding, RowFetchedAgainAfterItsFplMarkSkipsTheFpl) {
    // Selected by provider and event alone.
    int wbem = insert({"VEXA_WBEM", "1"});
    setMark(paths.fplMark, wbem);
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_TRUE(fpl().empty());
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].arg.rfind("--PNAM VEXA_WBEM --HPART PN-1234 --EID 1 ", 0), 0u);
    EXPECT_EQ(mark(paths.halcyonMark), wbem);
    EXPECT_EQ(status(wbem), "1");

    // Not selected: nothing is sent.
    int minor = insert({"VEXA_WBEM", "2"});
    setMark(paths.fplMark, minor);
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_TRUE(fpl().empty());
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_EQ(status(minor), "1");
}

TEST_F(Forwarding, RowFetchedAgainAfterItsFplMarkKeepsItsAlertLevel) {
    // Cut off between the FPL mark and the halcyon event: the event still goes out,
    // once, since the dictionary still gives the row its level.
    int critical = insert({"Power_Supply_Provider", "1"}); // alert level 5
    setMark(paths.fplMark, critical);
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_TRUE(fpl().empty());
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].arg.rfind("--PNAM Power_Supply_Provider ", 0), 0u);
    EXPECT_EQ(mark(paths.halcyonMark), critical);

    // Both targets served, only the row's status lost: nothing is sent again.
    exec("update indication set Status=0 where Id=" + std::to_string(critical));
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_TRUE(fpl().empty());
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_EQ(status(critical), "1");
}

TEST_F(Forwarding, RefusedStatusUpdateServesNoTargetTwice) {
    int id = insert({"VEXA_RAID", "2"}); // alert level 4
    exec("create trigger keep before update on indication begin select raise(abort, 'kept'); "
         "end");
    EXPECT_EQ(pass(), PassResult::NotMarked);
    EXPECT_EQ(pass(), PassResult::NotMarked);
    EXPECT_EQ(status(id), "0");
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_EQ(readTestLog().find("[error] update number 1 indication failed") != std::string::npos,
              true);

    exec("drop trigger keep");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(status(id), "1");
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
}

TEST_F(Forwarding, UnreadableMarksLetEveryTargetRun) {
    paths.fplMark = temp.file("missing/fpl.log");
    paths.halcyonMark = temp.file("missing/zu.log");
    int id = insert({"VEXA_WBEM", "3"});
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_EQ(status(id), "1");
    std::string log = readTestLog();
    EXPECT_NE(log.find("[error] Error opening log: No such file or directory for read"),
              std::string::npos);
    EXPECT_NE(log.find("[error] Error opening log file: No such file or directory"),
              std::string::npos);
}
