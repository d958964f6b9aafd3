#include "forwarder.h"
#include "fpl.h"

#include "sandbox.h"
#include "sqlitedb.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A forwarding pass at a time on a store, mark files and a simulated BMC of the
// test's own, with the project's sample event dictionary.
class Forwarding : public ::testing::Test {
protected:
    void SetUp() override {
        paths.database = temp.file("indications.db");
        paths.fplMark = temp.file("fpl.log");
        paths.halcyonMark = temp.file("zu.log");
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
        clearTestLog();
    }

    std::string sql(const std::string& text) { return Sandbox::queryValue(text, paths.database); }

    // Stores the row with status 0 and returns its id.
    int insert(const std::string& provider, const std::string& event) {
        return std::stoi(
            sql(Sandbox::insertRow(provider, event) + "select max(Id) from indication"));
    }

    std::string status(int id) {
        return sql("select Status from indication where Id=" + std::to_string(id));
    }
    std::vector<SEL_entry_t> fpl() { return Sandbox::fplRecords(bmc); }
    std::vector<tallowsim::Command> commands() { return Sandbox::bmcCommands(bmc); }
    PassResult pass() { return forward_next(*store, paths); }

    TempDir temp;
    ForwardingPaths paths;
    std::string bmc = temp.file("bmc");
    std::unique_ptr<SQLiteDB> store;
};

// Log lines without their time stamp, only those of the forwarding pass itself.
std::vector<std::string> passLines() {
    std::vector<std::string> lines;
    for (const std::string& entry : logEntries()) {
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

} // namespace

TEST(HalcyonSelection, TakesHighAlertLevelsAndTheNamedEvents) {
    const struct {
        const char* provider;
        int event;
        unsigned level;
        bool selected;
    } cases[] = {
        // By alert level, whatever the provider: 3 and above.
        {"Fan_Monitor_Provider", 12, 3, true},
        {"VEXA_WBEM", 2, 6, true},
        {"Fan_Monitor_Provider", 12, 2, false},
        {"VEXA_RAID", 1, 0, false},
        // "VEXA_WBEM" events 1, 3 and 4 and "QRX_FCHBAIndication" event 1 at any level.
        {"VEXA_WBEM", 1, 0, true},
        {"VEXA_WBEM", 3, 0, true},
        {"VEXA_WBEM", 4, 0, true},
        {"VEXA_WBEM", 0, 2, false},
        {"VEXA_WBEM", 5, 2, false},
        {"VEXA_WBEM", 6, 2, false},
        {"QRX_FCHBAIndication", 1, 0, true},
        {"QRX_FCHBAIndication", 3, 2, false},
        // The names compare exactly.
        {"vexa_wbem", 1, 0, false},
        {"VEXA_WBEM_", 1, 0, false},
        {"QRX_FCHBAIndication", 4, 0, false},
    };
    for (const auto& c : cases) {
        Indication_t ind;
        memset(&ind, 0, sizeof ind);
        strncpy(ind.proName, c.provider, sizeof ind.proName - 1);
        ind.eventId = c.event;
        EXPECT_EQ(selected_for_halcyon(ind, c.level), c.selected)
            << c.provider << " " << c.event << " at level " << c.level;
    }
}

TEST_F(Forwarding, EmptyStoreDoesNothing) {
    EXPECT_EQ(pass(), PassResult::Idle);
    EXPECT_EQ(readTestLog(), "");
    EXPECT_FALSE(Sandbox::exists(paths.fplMark)) << "no mark is read without a row";
    EXPECT_FALSE(Sandbox::exists(paths.halcyonMark));
}

TEST_F(Forwarding, SelectedRowGoesToBothTargetsThenIsMarked) {
    int id = insert("VEXA_RAID", "1"); // alert level 5
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(passLines(), (std::vector<std::string>{
                               "[info] fetch number 1 indication VEXA_RAID:1 from database",
                               "[info] write VEXA_RAID indication as FPL successfully",
                               "[info] write VEXA_RAID indication to halcyon successfully",
                               "[info] update number 1 indication success",
                           }));
    auto records = fpl();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].e0.EventID, 0x10401u);
    EXPECT_EQ(records[0].e0.AlertLevel, 5u);
    auto sent = commands();
    ASSERT_EQ(sent.size(), 1u);
    const std::string& arg = sent[0].arg;
    EXPECT_EQ(
        arg.rfind("--PNAM VEXA_RAID --HPART PN-1234 --EID 1 --PVER 2.5.0 --OSTYP 84 --OSVER ", 0),
        0u)
        << arg;
    EXPECT_NE(arg.find(" --HPHYL 00020001000a0321 --SFWVER 1.2.3 --NWADD 10.0.0.5 --SNAM "),
              std::string::npos)
        << arg;
    EXPECT_EQ(Sandbox::readMark(paths.fplMark), id);
    EXPECT_EQ(Sandbox::readMark(paths.halcyonMark), id);
    EXPECT_EQ(status(id), "1");
    EXPECT_EQ(pass(), PassResult::Idle) << "a forwarded row is not fetched again";
}

TEST_F(Forwarding, UnselectedRowGoesToTheFplOnly) {
    int id = insert("VEXA_WBEM", "2"); // alert level 1
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(Sandbox::readMark(paths.fplMark), id);
    EXPECT_FALSE(Sandbox::exists(paths.halcyonMark))
        << "the halcyon mark is first read when a row is selected";
    EXPECT_EQ(status(id), "1");
}

TEST_F(Forwarding, RowsGoOneAtATimeInIdOrder) {
    insert("VEXA_SCSI", "2");
    insert("VEXA_RAID", "3");
    sql("update indication set Status=1 where Id=2");
    insert("Temperature_Provider", "3");
    insert("VEXA_WBEM", "2");

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
    int unknown = insert("Unknown_Provider", "7");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_NE(readTestLog().find("[error] failed to write Unknown_Provider indication as FPL"),
              std::string::npos)
        << readTestLog();
    EXPECT_EQ(Sandbox::readMark(paths.fplMark), unknown);
    EXPECT_EQ(status(unknown), "1");
    EXPECT_TRUE(fpl().empty());
    EXPECT_TRUE(commands().empty());

    // The management processor refuses the command: the row is still marked.
    Sandbox::setBmcFault("cli-status", 4, bmc);
    clearTestLog();
    int refused = insert("QRX_FCHBAIndication", "1");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(passLines(),
              (std::vector<std::string>{
                  "[info] fetch number 2 indication QRX_FCHBAIndication:1 from database",
                  "[info] Last Log id: 1",
                  "[info] write QRX_FCHBAIndication indication as FPL successfully",
                  "[error] failed to write QRX_FCHBAIndication indication to halcyon",
                  "[info] update number 2 indication success",
              }));
    EXPECT_EQ(Sandbox::readMark(paths.halcyonMark), refused);
    EXPECT_EQ(status(refused), "1");
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].status, 4);

    EXPECT_EQ(pass(), PassResult::Idle);
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
}

// A target that cannot be reached holds the row, unmarked, until it answers; one that
// refuses lets it go on. Each case: the fault, the target it hits, whether it holds.
TEST_F(Forwarding, UnreachableTargetsHoldTheRowRefusalsDoNot) {
    struct Case {
        const char* fault;
        int value;
        bool holds;
    };
    const Case cases[] = {
        {"open", BMC_E_STATE, true},        {"open", 99, true},
        {"append", BMC_E_TIMEOUT, true},    {"append", BMC_E_BUSY, true},
        {"append", BMC_E_IO, true},         {"append", BMC_E_FULL, false},
        {"append", BMC_E_INVAL, false},     {"cli", ZU_CLI_TIMEOUT, true},
        {"cli", ZU_CLI_NULL_BUFFER, false},
    };
    int fplRecords = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + std::to_string(c.value));
        // Selected for halcyon by its alert level (5).
        int id = insert("VEXA_RAID", "1");
        Sandbox::setBmcFault(c.fault, c.value, bmc);
        int row = 0;
        EXPECT_EQ(forward_next(*store, paths, &row),
                  c.holds ? PassResult::Held : PassResult::Forwarded);
        EXPECT_EQ(row, id);
        EXPECT_EQ(status(id), c.holds ? "0" : "1");
        const bool fplHit = std::string(c.fault) != "cli";
        if (c.holds && fplHit) {
            EXPECT_NE(Sandbox::readMark(paths.fplMark), id) << "no FPL mark while held";
        }
        Sandbox::setBmcFault(c.fault, 0, bmc);
        if (c.holds) {
            EXPECT_TRUE(bmc_answers());
            EXPECT_EQ(pass(), PassResult::Forwarded);
            EXPECT_EQ(status(id), "1");
        }
        fplRecords += (fplHit && !c.holds) ? 0 : 1;
        EXPECT_EQ(fpl().size(), static_cast<size_t>(fplRecords)) << "each row once in the FPL";
        EXPECT_EQ(Sandbox::readMark(paths.fplMark), id);
        EXPECT_EQ(Sandbox::readMark(paths.halcyonMark), id);
    }
    Sandbox::setBmcFault("open", 1, bmc);
    EXPECT_FALSE(bmc_answers());
}

TEST(HoldPause, GrowsFromTwoSecondsToAMinute) {
    const int expected[] = {2, 4, 8, 16, 32, 60, 60, 60};
    for (int attempt = 1; attempt <= 8; ++attempt) {
        EXPECT_EQ(hold_pause_seconds(attempt), expected[attempt - 1]) << attempt;
    }
    EXPECT_EQ(hold_pause_seconds(1000), 60);
}

// Cut off between the FPL mark and the halcyon event: the row fetched again skips the
// FPL, and the event still goes out once when the row is selected, by provider and
// event alone or by the level the dictionary still gives it.
TEST_F(Forwarding, RowFetchedAgainAfterItsFplMarkSkipsTheFpl) {
    for (const char* provider : {"VEXA_WBEM", "Power_Supply_Provider"}) {
        int id = insert(provider, "1");
        Sandbox::writeMark(paths.fplMark, id);
        EXPECT_EQ(pass(), PassResult::Forwarded);
        ASSERT_EQ(commands().size(), static_cast<size_t>(id));
        EXPECT_EQ(commands().back().arg.rfind("--PNAM " + std::string(provider) + " --HPART ", 0),
                  0u);
        EXPECT_EQ(Sandbox::readMark(paths.halcyonMark), id);
        EXPECT_EQ(status(id), "1");
    }
    // Both targets served, only the row's status lost: nothing is sent again.
    sql("update indication set Status=0 where Id=2");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(status(2), "1");
    // Not selected: nothing is sent.
    int minor = insert("VEXA_WBEM", "2");
    Sandbox::writeMark(paths.fplMark, minor);
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(status(minor), "1");
    EXPECT_TRUE(fpl().empty());
    EXPECT_EQ(commands().size(), 2u);
}

TEST_F(Forwarding, AMarkFromAnEarlierDatabaseIsIgnored) {
    // Marks naming rows of a database that has since been replaced.
    Sandbox::writeMark(paths.fplMark, 7);
    Sandbox::writeMark(paths.halcyonMark, 7);
    int id = insert("VEXA_RAID", "1"); // alert level 5: both targets
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_EQ(Sandbox::readMark(paths.fplMark), id);
    EXPECT_EQ(Sandbox::readMark(paths.halcyonMark), id);
    const std::string warning = "[warn] The mark " + paths.fplMark +
                                " names row 7, beyond the last row of the database; it is ignored.";
    EXPECT_NE(readTestLog().find(warning), std::string::npos) << readTestLog();
}

TEST_F(Forwarding, RefusedStatusUpdateServesNoTargetTwice) {
    int id = insert("VEXA_RAID", "2"); // alert level 4
    sql("create trigger keep before update on indication begin select raise(abort, 'kept'); end");
    EXPECT_EQ(pass(), PassResult::NotMarked);
    EXPECT_EQ(pass(), PassResult::NotMarked);
    EXPECT_EQ(status(id), "0");
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
    EXPECT_NE(readTestLog().find("[error] update number 1 indication failed"), std::string::npos);

    sql("drop trigger keep");
    EXPECT_EQ(pass(), PassResult::Forwarded);
    EXPECT_EQ(status(id), "1");
    EXPECT_EQ(fpl().size(), 1u);
    EXPECT_EQ(commands().size(), 1u);
}

TEST_F(Forwarding, UnreadableMarksLetEveryTargetRun) {
    paths.fplMark = temp.file("missing/fpl.log");
    paths.halcyonMark = temp.file("missing/zu.log");
    int id = insert("VEXA_WBEM", "3");
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
