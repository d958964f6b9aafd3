#include "forwardkills.h"

#include "sandbox.h"
#include "sqlitedb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace {

// The first row's event time: 2014-03-15 12:00:00 UTC.
const time_t kFirstTime = 1394884800;
// The forwarding thread's pause after its start, and the span of the kill moments after it.
const int kStartPauseMs = 3000;
const int kFromMs = 20;
const int kToMs = 150;

} // namespace

void storeRowsForKills(int rows, const std::vector<std::pair<std::string, std::string>>& events) {
    { SQLiteDB store(Sandbox::kDatabase); } // the store as the daemon makes it
    std::string sql = "begin;";
    for (int n = 0; n < rows; ++n) {
        const time_t at = kFirstTime + n;
        struct tm parts;
        gmtime_r(&at, &parts);
        char time[32];
        strftime(time, sizeof time, "%Y%m%d%H%M%S.000000+000", &parts);
        const auto& [provider, event] = events[static_cast<size_t>(n) % events.size()];
        sql += Sandbox::insertRow(provider, event, time);
    }
    Sandbox::query(sql + "commit;");
}

size_t killWhileForwarding(Sandbox& sb, int kills, std::mt19937& random) {
    sb.startDaemon();
    for (int kill = 1; kill <= kills; ++kill) {
        // The forwarding begins 3 s after the thread starts, then goes row after row.
        std::this_thread::sleep_for(std::chrono::milliseconds(
            kStartPauseMs + std::uniform_int_distribution<int>(kFromMs, kToMs)(random)));
        EXPECT_EQ(sb.stop(SIGKILL), 128 + SIGKILL) << "kill " << kill;
        unlink(Sandbox::kPidFile);
        sb.startDaemon();
    }
    EXPECT_TRUE(Sandbox::waitUntilForwarded()) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    return Sandbox::countContaining("is in the BMC's log already");
}
