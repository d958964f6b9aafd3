// The running daemon and what it depends on: the daemon runs on without a broker, and the
// forwarding thread copes with a store that refuses the mark, is held by another program
// during the shutdown, or cannot be opened. What the rows give at the BMC, also under its
// faults, is in the golden cases.
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <memory>
#include <sqlite3.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

const char* const kLastLine = "[info] new thread dies.";

std::string status(int id) {
    return Sandbox::queryValue("select Status from indication where Id=" + std::to_string(id));
}

// When `entry` was logged, to the second, each time.
std::vector<time_t> loggedAt(const std::string& entry) {
    std::vector<time_t> times;
    std::istringstream lines(Sandbox::log());
    for (std::string line; std::getline(lines, line);) {
        struct tm at = {};
        if (line.size() > 21 && line.compare(21, std::string::npos, entry) == 0 &&
            strptime(line.c_str(), "[%Y-%m-%d %H:%M:%S]", &at) != nullptr) {
            times.push_back(mktime(&at));
        }
    }
    return times;
}

} // namespace

// A store that refuses the mark: the row comes again 2 seconds later, not in a busy loop,
// and each target is served once. The store takes the mark at last while another program
// holds it and the shutdown is under way: the shutdown lets that pass finish.
TEST(DaemonForwarding, RefusedMarkComesAgainAndTheShutdownLetsItsPassFinish) {
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    Sandbox::query("create trigger keep before update on indication "
                   "begin select raise(abort, 'kept'); end;" +
                   Sandbox::insertRow("VEXA_RAID", "2")); // alert level 4: both targets
    sb.startDaemon();
    const std::string refused = "[error] update number 1 indication failed";
    ASSERT_TRUE(Sandbox::waitForLog(refused, 2)) << Sandbox::log();
    const std::vector<time_t> times = loggedAt(refused);
    ASSERT_GE(times.size(), 2u);
    EXPECT_GE(difftime(times[1], times[0]), 2.0) << Sandbox::log();

    // Another program lifts the refusal in a transaction that it holds open.
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(Sandbox::kDatabase, &handle), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> other(handle, sqlite3_close);
    sqlite3_busy_timeout(handle, Sandbox::kTimeoutMs);
    ASSERT_EQ(sqlite3_exec(handle, "begin immediate; drop trigger keep", nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_TRUE(Sandbox::waitForLog("[info] database is busy, update 1 indication again in 2 "
                                    "seconds"))
        << Sandbox::log();
    sb.signal(SIGTERM);
    ASSERT_TRUE(Sandbox::waitForLog("[info] caught 15 signal and terminate"));
    EXPECT_EQ(status(1), "0");
    EXPECT_EQ(sqlite3_exec(handle, "commit", nullptr, nullptr, nullptr), SQLITE_OK);

    EXPECT_EQ(sb.waitForExit(), 0);
    const std::vector<std::string> entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "[info] update number 1 indication success");
    EXPECT_EQ(entries.back(), kLastLine);
    EXPECT_EQ(status(1), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
}

// A store that cannot be opened (a folder stands in its place) keeps the thread trying
// every 2 seconds without keeping the shutdown waiting; once the folder is gone, the
// thread makes a fresh store and forwards. No broker runs: each start logs the failed
// connection and goes on.
TEST(DaemonForwarding, StoreThatCannotBeOpenedIsTriedAgain) {
    Sandbox sb;
    ASSERT_EQ(rmdir(Sandbox::kBrokerRepository), 0);
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

    sb.startDaemon();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    ASSERT_EQ(rmdir(Sandbox::kDatabase), 0);
    // VEXA_RAID 1: alert level 5, both targets.
    Sandbox::deliver(readFile(ORVIND_TEST_DATA "/cases/with_bmc_append_full.xml"));
    EXPECT_TRUE(Sandbox::waitUntil([] { return Sandbox::bmcCommands().size() == 1; }))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(status(1), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    // Without the broker each start says so once and is not subscribed.
    EXPECT_EQ(Sandbox::countContaining("[error] Subscription not created: connect() rc=1, msg="),
              2u)
        << Sandbox::log();
    EXPECT_EQ(Sandbox::countLog("[info] Subscription created."), 0u);
}

// Marks belong to their database: marks left beside a database that is gone (removed, or
// moved aside as damaged) start anew with the database the daemon makes, so that none
// of its rows is passed over for a mark of the one before (row 1, for marks that held 1).
class NewDatabase : public testing::TestWithParam<bool> {};

TEST_P(NewDatabase, StartsTheMarksAnew) {
    const bool damaged = GetParam();
    Sandbox sb;
    Sandbox::writeMark(Sandbox::kFplMark, 1);
    Sandbox::writeMark(Sandbox::kHalcyonMark, 1);
    if (damaged) {
        writeFile(Sandbox::kDatabase, std::string(4096, 'x'));
    }
    sb.startDaemon();
    Sandbox::raiseIndications(8); // VEXA_RAID 1: both targets
    EXPECT_TRUE(Sandbox::waitUntil([] {
        return Sandbox::queryValue("select count(*) from indication where Status=1") == "8";
    })) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::fplRecords().size(), 8u) << Sandbox::log();
    EXPECT_EQ(Sandbox::bmcCommands().size(), 8u);
    EXPECT_EQ(Sandbox::countLog(std::string("[info] The database ") + Sandbox::kDatabase +
                                " is new: the marks " + Sandbox::kFplMark + " and " +
                                Sandbox::kHalcyonMark + " start anew at 0."),
              1u)
        << Sandbox::log();
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 8);
}

INSTANTIATE_TEST_SUITE_P(GoneOrDamaged, NewDatabase, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& damaged) {
                             return damaged.param ? "Damaged" : "Removed";
                         });
