#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Events of the sample dictionary, each with an FPL record, some selected for halcyon.
struct Event {
    const char* provider;
    int event;
    bool halcyon;
};

const Event kEvents[] = {
    {"VEXA_RAID", 1, true},              // alert level 5
    {"VEXA_WBEM", 2, false},             // alert level 1
    {"VEXA_WBEM", 3, true},              // named event
    {"Power_Supply_Provider", 3, false}, // alert level 2
    {"Fan_Monitor_Provider", 12, true},  // alert level 3
    {"QRX_FCHBAIndication", 2, false},   // alert level 1
    {"QRX_FCHBAIndication", 1, true},    // named event
    {"Temperature_Provider", 2, true},   // alert level 6
};
const size_t kEventCount = sizeof kEvents / sizeof kEvents[0];

bool waitUntil(const std::function<bool()>& done, int timeoutMs = Sandbox::kTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

size_t countContaining(const std::string& text) {
    size_t count = 0;
    for (const auto& entry : Sandbox::logEntries()) {
        count += entry.find(text) != std::string::npos;
    }
    return count;
}

// The seed of the kill moments: random, or ORVIND_CRASH_SEED to repeat a run.
unsigned crashSeed() {
    const char* given = getenv("ORVIND_CRASH_SEED");
    return given != nullptr ? static_cast<unsigned>(strtoul(given, nullptr, 10))
                            : std::random_device{}();
}

// Kills the daemon, clears what a killed daemon leaves and starts the next one.
void killAndRestart(Sandbox& sb) {
    ASSERT_EQ(sb.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_EQ(unlink(Sandbox::kPidFile), 0);
    sb.startDaemon();
}

// The time of row i as stored (a CIM date-time) and as the FPL record carries it.
std::string eventTimeText(int i) {
    char text[32];
    snprintf(text, sizeof text, "20200101%02d%02d%02d.000000+000", i / 3600, i / 60 % 60, i % 60);
    return text;
}

uint32_t eventTime(int i) {
    struct tm t = {};
    t.tm_year = 120;
    t.tm_mon = 0;
    t.tm_mday = 1;
    t.tm_hour = i / 3600;
    t.tm_min = i / 60 % 60;
    t.tm_sec = i % 60;
    t.tm_isdst = -1;
    return static_cast<uint32_t>(mktime(&t));
}

uint32_t recordTime(const SEL_entry_t& record) {
    return static_cast<uint32_t>(record.e0.b9) | static_cast<uint32_t>(record.e0.b10) << 8 |
           static_cast<uint32_t>(record.e0.b11) << 16 | static_cast<uint32_t>(record.e0.b12) << 24;
}

} // namespace

// Forwarding killed at random moments: every row still ends forwarded with its FPL
// record and, when selected, its halcyon event; a kill can cost at most one repeated
// FPL record and one repeated event, never a lost one.
TEST(Crash, ForwardingSurvivesKills) {
    const int kRows = 600;
    const int kKills = 10;
    const unsigned seed = crashSeed();
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));

    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    std::string insert = "begin;";
    for (int i = 0; i < kRows; ++i) {
        const Event& event = kEvents[i % kEventCount];
        insert += "insert into indication(Status, ProviderName, EventID, EventTime, HWPartNumber, "
                  "HWEncodingPhysicalLocation, HWPhysicalLocation, SystemFirmwareVersion, "
                  "NetworkAddresses) values(0, '" +
                  std::string(event.provider) + "', '" + std::to_string(event.event) + "', '" +
                  eventTimeText(i) + "', 'PN-" + std::to_string(i + 1) +
                  "', 'NULL', 'NULL', '1.0', '10.0.0.1');";
    }
    Sandbox::query(insert + "commit;");

    sb.startDaemon();
    for (int kill = 0; kill < kKills; ++kill) {
        // Once the new daemon has begun forwarding, at a random moment of its work.
        size_t fetched = countContaining("fetch number");
        ASSERT_TRUE(waitUntil([&] { return countContaining("fetch number") > fetched; }))
            << "kill " << kill << ":\n"
            << Sandbox::log();
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 150)(random)));
        killAndRestart(sb);
        if (testing::Test::HasFatalFailure()) {
            return;
        }
    }
    ASSERT_NE(Sandbox::queryValue("select count(*) from indication where Status=0"), "0")
        << "the rows ran out before the last kill";
    ASSERT_TRUE(waitUntil([] {
        return Sandbox::queryValue("select count(*) from indication where Status=0") == "0";
    }));
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status=1"),
              std::to_string(kRows));

    // FPL records by the row they came from, known by their time.
    std::map<uint32_t, int> rowOfTime;
    for (int i = 0; i < kRows; ++i) {
        rowOfTime[eventTime(i)] = i;
    }
    std::vector<int> fplCount(kRows, 0);
    int lastRow = -1;
    for (const SEL_entry_t& record : Sandbox::fplRecords()) {
        auto found = rowOfTime.find(recordTime(record));
        ASSERT_NE(found, rowOfTime.end()) << "an FPL record of no row";
        // Strictly in row order; a row may come again right after itself.
        EXPECT_TRUE(found->second == lastRow || found->second == lastRow + 1)
            << "row " << found->second + 1 << " after row " << lastRow + 1;
        lastRow = found->second;
        ++fplCount[found->second];
    }
    // Commands by the row they came from, known by the part number.
    std::vector<int> commandCount(kRows, 0);
    for (const auto& command : Sandbox::bmcCommands()) {
        size_t at = command.arg.find(" --HPART PN-");
        ASSERT_NE(at, std::string::npos) << command.arg;
        int row = std::stoi(command.arg.substr(at + 12)) - 1;
        ASSERT_TRUE(row >= 0 && row < kRows) << command.arg;
        ++commandCount[row];
    }

    int fplRepeated = 0;
    int commandsRepeated = 0;
    int lost = 0;
    for (int i = 0; i < kRows; ++i) {
        const Event& event = kEvents[i % kEventCount];
        EXPECT_GE(fplCount[i], 1) << "row " << i + 1 << " has no FPL record";
        lost += fplCount[i] == 0 || (event.halcyon && commandCount[i] == 0);
        EXPECT_LE(fplCount[i], 2) << "row " << i + 1;
        fplRepeated += fplCount[i] > 1 ? fplCount[i] - 1 : 0;
        if (event.halcyon) {
            EXPECT_GE(commandCount[i], 1) << "row " << i + 1 << " (" << event.provider << " "
                                          << event.event << ") never reached halcyon";
            commandsRepeated += commandCount[i] > 1 ? commandCount[i] - 1 : 0;
        } else {
            EXPECT_EQ(commandCount[i], 0) << "row " << i + 1;
        }
    }
    EXPECT_LE(fplRepeated, kKills);
    EXPECT_LE(commandsRepeated, kKills);
    RecordProperty("kills", kKills);
    RecordProperty("fpl_repeated", fplRepeated);
    RecordProperty("commands_repeated", commandsRepeated);
    printf("forwarding crash test (seed %u): %d rows, %d kills, %d FPL records repeated, "
           "%d halcyon events repeated, %d rows with a target lost\n",
           seed, kRows, kKills, fplRepeated, commandsRepeated, lost);
}
