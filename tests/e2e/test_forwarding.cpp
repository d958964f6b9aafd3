#include "brokertool.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <sqlite3.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char* const kLastLine = "[info] new thread dies.";

// Rows stored so far; none while the table has not been made yet.
std::string storedRows() {
    if (Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") != "1") {
        return "0";
    }
    return Sandbox::queryValue("select count(*) from indication");
}

// Raises an indication with the broker tool, which delivers it into the daemon's pipe
// through the subscription the daemon registered, and waits until it is stored.
void raise(const std::string& provider, const std::string& event) {
    const std::string before = storedRows();
    ToolResult raised = runBrokerTool(
        {"raise", "--class", "VEXA_AlertIndication", "-p", "ProviderName:string=" + provider, "-p",
         "EventID:string=" + event, "-p", "EventTime:datetime=20140315123456.000000+060"},
        Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
    ASSERT_TRUE(Sandbox::waitUntil([&] { return storedRows() != before; })) << "not stored:\n"
                                                                            << Sandbox::log();
}

std::string status(int id) {
    return Sandbox::queryValue("select Status from indication where Id=" + std::to_string(id));
}

// Waits until `rows` rows are stored and none is left with status 0.
bool waitForwarded(size_t rows) {
    return Sandbox::waitUntil([rows] {
               return Sandbox::queryValue("select count(*) from indication where Status=1") ==
                      std::to_string(rows);
           }) &&
           Sandbox::queryValue("select count(*) from indication") == std::to_string(rows);
}

// The log entries the forwarding pass itself writes, in order.
std::vector<std::string> passEntries() {
    std::vector<std::string> entries;
    for (const auto& entry : Sandbox::logEntries()) {
        for (const char* mark :
             {"indication as FPL", "indication to halcyon", "fetch number", "update number"}) {
            if (entry.find(mark) != std::string::npos) {
                entries.push_back(entry);
                break;
            }
        }
    }
    return entries;
}

// What a pass logs for one row and its targets (an empty result: not written).
std::vector<std::string> passOf(int id, const std::string& provider, const std::string& event,
                                const char* fpl, const char* halcyon) {
    std::vector<std::string> lines{"[info] fetch number " + std::to_string(id) + " indication " +
                                   provider + ":" + event + " from database"};
    const std::pair<const char*, const char*> targets[] = {{fpl, "as FPL"},
                                                           {halcyon, "to halcyon"}};
    for (const auto& [result, target] : targets) {
        if (result == std::string("ok")) {
            lines.push_back("[info] write " + provider + " indication " + target + " successfully");
        } else if (result == std::string("failed")) {
            lines.push_back("[error] failed to write " + provider + " indication " + target);
        }
    }
    lines.push_back("[info] update number " + std::to_string(id) + " indication success");
    return lines;
}

} // namespace

// ---- faults of the simulated BMC: each kind once, through the daemon (the text of
// every code is pinned by the unit tests of the FPL writer and of halcyon)

struct Fault {
    const char* name;
    int value;
    // What write_fpl and mp_event_gen log about it (empty: that target works).
    const char* fplError;
    const char* halcyonError;
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name << " " << fault.value;
}

class DaemonForwardingFault : public testing::TestWithParam<Fault> {};

// Two rows: VEXA_RAID 1 goes to halcyon for its alert level (5), VEXA_WBEM 1 for
// being a named event. A failing target gets its error line, its mark and no retry;
// the rows end forwarded all the same.
TEST_P(DaemonForwardingFault, IsLoggedMarkedAndNotRetried) {
    const Fault fault = GetParam();
    const std::string name = fault.name;
    const bool fplFails = fault.fplError[0] != '\0';
    const bool halcyonFails = fault.halcyonError[0] != '\0';
    Sandbox sb;
    Sandbox::setBmcFault(name, fault.value);
    sb.startDaemon();
    raise("VEXA_RAID", "1");
    raise("VEXA_WBEM", "1");
    ASSERT_TRUE(waitForwarded(2)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    const char* fpl = fplFails ? "failed" : "ok";
    const char* halcyon = halcyonFails ? "failed" : "ok";
    std::vector<std::string> expected = passOf(1, "VEXA_RAID", "1", fpl, halcyon);
    auto wbem = passOf(2, "VEXA_WBEM", "1", fpl, halcyon);
    expected.insert(expected.end(), wbem.begin(), wbem.end());
    EXPECT_EQ(passEntries(), expected) << "each row once, each target at most once";

    if (fplFails) {
        EXPECT_EQ(Sandbox::countLog(std::string("[error] ") + fault.fplError), 2u);
    }
    if (halcyonFails) {
        EXPECT_EQ(Sandbox::countLog(std::string("[error] ") + fault.halcyonError), 2u);
    }
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 2);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), 2);
    EXPECT_EQ(status(1), "1");
    EXPECT_EQ(status(2), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), fplFails ? 0u : 2u);
    // A command refused by its status was received; one refused by the interface was not.
    bool received = !halcyonFails || name == "cli-status";
    EXPECT_EQ(Sandbox::bmcCommands().size(), received ? 2u : 0u);
    EXPECT_EQ(Sandbox::logEntries().back(), kLastLine);
}

INSTANTIATE_TEST_SUITE_P(
    Bmc, DaemonForwardingFault,
    testing::Values(Fault{"append", 7, "FPL append failed: FPL full", ""},
                    Fault{"cli", 0x42, "", "Unknown interface error(42)."},
                    Fault{"cli-status", 2, "",
                          "Internal error - internal error detected - memory could not be "
                          "allocated, etc."}),
    [](const testing::TestParamInfo<Fault>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name + "_" + std::to_string(info.param.value);
    });

// ---- the store and the shutdown

// The BMC cannot be opened while rows wait, then can again: every row reaches the FPL
// exactly once and in order, none is marked while held; the outage is logged once.
TEST(DaemonForwarding, BmcOutageHoldsTheRowsAndLosesNothing) {
    const int kRows = 20;
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    std::string rows = "begin;";
    for (int n = 0; n < kRows; ++n) {
        rows += Sandbox::insertRow("VEXA_RAID", n % 2 == 0 ? "3" : "2");
    }
    Sandbox::query(rows + "commit;");
    Sandbox::setBmcFault("open", BMC_E_IO);
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog("[warn] BMC not reachable: indication 1 and those after it "
                                    "wait; trying again from 2 s up to every 60 s"))
        << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status=1"), "0");
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 0) << "read, never written";
    Sandbox::setBmcFault("open", 0);
    ASSERT_TRUE(waitForwarded(kRows)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    std::vector<SEL_entry_t> fpl = Sandbox::fplRecords();
    ASSERT_EQ(fpl.size(), static_cast<size_t>(kRows));
    for (int n = 0; n < kRows; ++n) {
        EXPECT_EQ(fpl[n].e0.EventID, n % 2 == 0 ? 0x10403u : 0x10402u) << n;
    }
    // VEXA_RAID 2 (alert level 4) went to halcyon as well, once each.
    EXPECT_EQ(Sandbox::bmcCommands().size(), static_cast<size_t>(kRows / 2));
    EXPECT_EQ(Sandbox::countContaining("BMC not reachable"), 1u);
    EXPECT_EQ(Sandbox::countLog("[error] failed to write VEXA_RAID indication as FPL"), 1u);
    EXPECT_EQ(Sandbox::countContaining("BMC answers again: indication 1 forwarded"), 1u);
}

// A store that refuses the mark: the row comes again after a pause, each target is
// served once, and the row is marked once the store takes the mark.
TEST(DaemonForwarding, RefusedMarkIsTriedAgainWithoutServingTwice) {
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    Sandbox::query("create trigger keep before update on indication "
                   "begin select raise(abort, 'kept'); end;" +
                   Sandbox::insertRow("VEXA_RAID", "2")); // alert level 4
    sb.startDaemon();
    const std::string refused = "[error] update number 1 indication failed";
    ASSERT_TRUE(Sandbox::waitForLog(refused, 2)) << Sandbox::log();
    Sandbox::query("drop trigger keep");
    // Not a busy loop: the second try comes 2 seconds after the first, as the time
    // stamps (to the second) of the two refusals show.
    std::vector<std::string> stamps;
    std::istringstream lines(Sandbox::log());
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 21 && line.compare(21, std::string::npos, refused) == 0) {
            stamps.push_back(line.substr(0, 21));
        }
    }
    ASSERT_GE(stamps.size(), 2u);
    struct tm first = {}, second = {};
    strptime(stamps[0].c_str(), "[%Y-%m-%d %H:%M:%S]", &first);
    strptime(stamps[1].c_str(), "[%Y-%m-%d %H:%M:%S]", &second);
    EXPECT_GE(difftime(mktime(&second), mktime(&first)), 2.0) << Sandbox::log();
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(Sandbox::countContaining("indication as FPL"), 1u);
    EXPECT_EQ(Sandbox::countContaining("indication to halcyon"), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// The shutdown waits for the pass under way: here the mark waits for a database held
// by another program, and the pass ends only once that program lets go.
TEST(DaemonForwarding, ShutdownLetsThePassUnderWayFinish) {
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    Sandbox::query(Sandbox::insertRow("VEXA_RAID", "1"));
    sb.startDaemon();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(Sandbox::kDatabase, &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(Sandbox::waitForLog("[info] write VEXA_RAID indication to halcyon successfully"))
        << Sandbox::log();

    sb.signal(SIGTERM);
    ASSERT_TRUE(Sandbox::waitForLog("[info] caught 15 signal and terminate"));
    ASSERT_TRUE(Sandbox::waitForLog("[info] database is busy, update 1 indication again in 2 "
                                    "seconds"));
    EXPECT_EQ(status(1), "0");
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    EXPECT_EQ(sb.waitForExit(), 0);
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "[info] update number 1 indication success");
    EXPECT_EQ(entries.back(), kLastLine);
    EXPECT_EQ(status(1), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
}

// A store that cannot be opened keeps the thread trying every 2 seconds, and does not
// keep the shutdown waiting.
TEST(DaemonForwarding, ShutdownEndsAThreadThatCannotOpenItsStore) {
    Sandbox sb;
    ASSERT_EQ(mkdir(Sandbox::kDatabase, 0755), 0);
    sb.startDaemon();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    // The intake fails to open the same store; its lines may come at any time.
    std::vector<std::string> entries = Sandbox::logEntries();
    entries.erase(std::remove(entries.begin(), entries.end(), "[error] open database failed"),
                  entries.end());
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), kLastLine);
}

TEST(DaemonForwarding, ThreadOpensAFreshStoreOnceItCan) {
    Sandbox sb;
    ASSERT_EQ(mkdir(Sandbox::kDatabase, 0755), 0);
    sb.startDaemon();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    ASSERT_EQ(rmdir(Sandbox::kDatabase), 0);
    raise("VEXA_SCSI", "3");
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
