#include "brokertool.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
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
    char text[64];
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

// Counts the documents the intake reports received and the rows it reports stored,
// reading only what the log gained since the last look (a test that polled the
// database would make the daemon find it busy).
class IntakeLines {
public:
    size_t stored() {
        read();
        return storedLines;
    }
    size_t received() {
        read();
        return receivedLines;
    }

private:
    void read() {
        std::ifstream in(Sandbox::kLogFile, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset += chunk.size();
        partial += chunk;
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = partial.substr(start, end - start);
            const std::string tail = " indication success";
            if (line.find("][info] insert ") != std::string::npos && line.size() > tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
                ++storedLines;
            }
            if (line.find("][info] Received a document of ") != std::string::npos) {
                ++receivedLines;
            }
        }
        partial.erase(0, start);
    }

    size_t offset = 0;
    size_t storedLines = 0;
    size_t receivedLines = 0;
    std::string partial;
};

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

// Indications raised one after another with the broker tool while the daemon is killed
// at random moments and started again: nothing is stored twice, every stored row is
// forwarded, and a document is lost only when it was in the daemon's hands at a kill.
TEST(Crash, DeliveriesSurviveKills) {
    const int kDocuments = 500;
    const int kKills = 12;
    const unsigned seed = crashSeed();
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));
    auto killDelay = [&random] {
        return std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 4500)(random));
    };

    Sandbox sb;
    IntakeLines intake;
    sb.startDaemon();
    auto nextKill = std::chrono::steady_clock::now() + killDelay();
    int kills = 0;
    std::set<int> inHands; // documents not yet reported stored when a kill came
    // Half the kills come at once when due, whatever the daemon does then; the other
    // half within 3 ms of the daemon receiving the next document, while the intake
    // handles it.
    bool killAfterDelivery = false;
    auto killNow = [&](int pending) {
        if (pending >= 0) {
            inHands.insert(pending);
        }
        killAndRestart(sb);
        ++kills;
        nextKill = std::chrono::steady_clock::now() + killDelay();
    };

    for (int i = 0; i < kDocuments; ++i) {
        const Event& event = kEvents[i % kEventCount];
        const size_t before = intake.stored();
        const size_t receivedBefore = intake.received();
        // The broker only delivers while the daemon holds the pipe's read end: the
        // daemon is always running here.
        auto raise = [i, &event] {
            return runBrokerTool({"raise", "--class", "VEXA_AlertIndication", "-p",
                                  "IndicationIdentifier:string=crash-" + std::to_string(i), "-p",
                                  std::string("ProviderName:string=") + event.provider, "-p",
                                  "EventID:string=" + std::to_string(event.event), "-p",
                                  "EventTime:datetime=" + eventTimeText(i), "-p",
                                  "HWPartNumber:string=PN-" + std::to_string(i + 1), "-p",
                                  "NetworkAddresses:string[]=10.0.0.1"},
                                 Sandbox::kBrokerRepository);
        };
        if (killAfterDelivery) {
            killAfterDelivery = false;
            ToolResult raised;
            std::thread provider([&raised, &raise] { raised = raise(); });
            bool received = waitUntil([&] { return intake.received() > receivedBefore; });
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
            if (received) {
                killNow(intake.stored() == before ? i : -1);
            }
            provider.join();
            ASSERT_TRUE(received) << Sandbox::log();
            ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
            if (HasFatalFailure()) {
                return;
            }
            continue;
        }
        ToolResult raised = raise();
        ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
        // One document at a time in the daemon's hands: the next goes once this one is
        // stored, unless the kill comes first.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (intake.stored() == before && std::chrono::steady_clock::now() < nextKill) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << Sandbox::log();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (std::chrono::steady_clock::now() >= nextKill && kills < kKills &&
            std::bernoulli_distribution(0.5)(random)) {
            killAfterDelivery = true;
        } else if (std::chrono::steady_clock::now() >= nextKill && kills < kKills) {
            killNow(intake.stored() == before ? i : -1);
            if (HasFatalFailure()) {
                return;
            }
        } else if (intake.stored() == before) {
            // Every kill is done: this one is simply waited for.
            ASSERT_TRUE(waitUntil([&] { return intake.stored() > before; })) << Sandbox::log();
        }
        // Spread the documents over the kills, so that some kills find the forwarding
        // at work and some the intake.
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    // Any kill still due falls on the forwarding of what is left.
    while (kills < kKills) {
        std::this_thread::sleep_until(nextKill);
        killNow(-1);
        if (HasFatalFailure()) {
            return;
        }
    }
    // Left to drain.
    ASSERT_TRUE(waitUntil(
        [] {
            return Sandbox::countLog("[info] new thread starts up.") > 0 &&
                   Sandbox::queryValue("select count(*) from indication where Status=0") == "0";
        },
        60000));
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status<>1"), "0");
    // Rows in id order, known by their identifier.
    std::vector<int> rows; // document number of each row, in id order
    std::map<int, int> copies;
    for (const auto& row :
         Sandbox::query("select IndicationIdentifier from indication order by Id")) {
        ASSERT_EQ(row[0].rfind("crash-", 0), 0u) << row[0];
        int document = std::stoi(row[0].substr(6));
        rows.push_back(document);
        ++copies[document];
    }
    int duplicates = 0;
    for (const auto& entry : copies) {
        EXPECT_EQ(entry.second, 1) << "document " << entry.first << " stored twice";
        duplicates += entry.second - 1;
    }
    std::vector<int> lost;
    for (int i = 0; i < kDocuments; ++i) {
        if (copies.count(i) == 0) {
            lost.push_back(i);
            EXPECT_EQ(inHands.count(i), 1u)
                << "document " << i << " lost though it was not in the daemon's hands at a kill";
        }
    }
    EXPECT_LE(lost.size(), static_cast<size_t>(kills));
    for (size_t at = 1; at < rows.size(); ++at) {
        EXPECT_LT(rows[at - 1], rows[at]) << "stored out of order";
    }

    // Every stored row reached the FPL, in row order; repeats at most one per kill.
    std::map<uint32_t, int> documentOfTime;
    for (int i = 0; i < kDocuments; ++i) {
        documentOfTime[eventTime(i)] = i;
    }
    std::map<int, int> fplCount;
    int last = -1;
    bool ordered = true;
    for (const SEL_entry_t& record : Sandbox::fplRecords()) {
        auto found = documentOfTime.find(recordTime(record));
        ASSERT_NE(found, documentOfTime.end()) << "an FPL record of no document";
        ordered = ordered && found->second >= last;
        last = found->second;
        ++fplCount[found->second];
    }
    EXPECT_TRUE(ordered) << "FPL records out of row order";
    std::map<int, int> commandCount;
    for (const auto& command : Sandbox::bmcCommands()) {
        size_t at = command.arg.find(" --HPART PN-");
        ASSERT_NE(at, std::string::npos) << command.arg;
        ++commandCount[std::stoi(command.arg.substr(at + 12)) - 1];
    }
    int fplRepeated = 0;
    int commandsRepeated = 0;
    for (int document : rows) {
        const Event& event = kEvents[document % kEventCount];
        EXPECT_GE(fplCount[document], 1) << "document " << document << " has no FPL record";
        fplRepeated += std::max(fplCount[document] - 1, 0);
        if (event.halcyon) {
            EXPECT_GE(commandCount[document], 1) << "document " << document << " never reached "
                                                 << "halcyon";
            commandsRepeated += std::max(commandCount[document] - 1, 0);
        } else {
            EXPECT_EQ(commandCount[document], 0) << "document " << document;
        }
    }
    EXPECT_EQ(fplCount.size(), rows.size()) << "FPL records of documents never stored";
    EXPECT_LE(fplRepeated, kills);
    EXPECT_LE(commandsRepeated, kills);

    RecordProperty("kills", kills);
    RecordProperty("stored", static_cast<int>(rows.size()));
    RecordProperty("lost", static_cast<int>(lost.size()));
    RecordProperty("fpl_repeated", fplRepeated);
    RecordProperty("commands_repeated", commandsRepeated);
    printf("delivery crash test (seed %u): %d documents delivered, %d kills, %zu stored, "
           "%zu lost (%zu in the daemon's hands at a kill), %d stored twice, "
           "%d FPL records repeated, %d halcyon events repeated\n",
           seed, kDocuments, kills, rows.size(), lost.size(), inHands.size(), duplicates,
           fplRepeated, commandsRepeated);
}
