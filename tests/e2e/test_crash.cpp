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
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// How long what is left may take to be forwarded after the last kill.
const int kDrainTimeoutMs = 180000;

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

const Event& eventOf(int i) {
    return kEvents[i % (sizeof kEvents / sizeof kEvents[0])];
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
    t.tm_mday = 1;
    t.tm_hour = i / 3600;
    t.tm_min = i / 60 % 60;
    t.tm_sec = i % 60;
    t.tm_isdst = -1;
    return static_cast<uint32_t>(mktime(&t));
}

std::string unforwarded() {
    return Sandbox::queryValue("select count(*) from indication where Status=0");
}

// Repeats the BMC received, over the rows stored, given as event numbers in id order.
struct Repeats {
    int fpl = 0;
    int commands = 0;
};

// Every stored row reached the FPL once or, after a kill, twice in a row, and halcyon
// when selected; nothing reached either that was not stored.
Repeats checkTargets(const std::vector<int>& rows, int events) {
    Repeats repeats;
    std::map<uint32_t, int> eventAtTime;
    for (int i = 0; i < events; ++i) {
        eventAtTime[eventTime(i)] = i;
    }
    std::map<int, size_t> position;
    for (size_t at = 0; at < rows.size(); ++at) {
        position[rows[at]] = at;
    }
    std::vector<int> fplCount(rows.size(), 0);
    size_t last = 0;
    for (const SEL_entry_t& record : Sandbox::fplRecords()) {
        uint32_t time = static_cast<uint32_t>(record.e0.b9) | record.e0.b10 << 8 |
                        record.e0.b11 << 16 | static_cast<uint32_t>(record.e0.b12) << 24;
        auto event = eventAtTime.find(time);
        EXPECT_TRUE(event != eventAtTime.end() && position.count(event->second))
            << "an FPL record of no row";
        if (event == eventAtTime.end() || position.count(event->second) == 0) {
            return repeats;
        }
        size_t at = position[event->second];
        // Strictly in row order; a row may come again right after itself.
        EXPECT_TRUE(at == last || at == last + 1) << "row " << at + 1 << " after row " << last + 1;
        last = at;
        ++fplCount[at];
    }
    std::map<int, int> commandCount; // by event number, known by the part number
    for (const auto& command : Sandbox::bmcCommands()) {
        size_t at = command.arg.find(" --HPART PN-");
        EXPECT_NE(at, std::string::npos) << command.arg;
        if (at != std::string::npos) {
            ++commandCount[std::stoi(command.arg.substr(at + 12)) - 1];
        }
    }
    for (size_t at = 0; at < rows.size(); ++at) {
        const Event& event = eventOf(rows[at]);
        EXPECT_GE(fplCount[at], 1) << "event " << rows[at] << " has no FPL record";
        EXPECT_LE(fplCount[at], 2) << "event " << rows[at];
        repeats.fpl += std::max(fplCount[at] - 1, 0);
        auto found = commandCount.find(rows[at]);
        int commands = found != commandCount.end() ? found->second : 0;
        if (event.halcyon) {
            EXPECT_GE(commands, 1) << "event " << rows[at] << " (" << event.provider << " "
                                   << event.event << ") never reached halcyon";
            repeats.commands += std::max(commands - 1, 0);
        } else {
            EXPECT_EQ(commands, 0) << "event " << rows[at];
        }
    }
    EXPECT_EQ(commandCount.size(),
              static_cast<size_t>(std::count_if(rows.begin(), rows.end(),
                                                [](int row) { return eventOf(row).halcyon; })))
        << "commands of rows never stored";
    return repeats;
}

// Counts the documents the intake reports received and the rows it reports stored,
// reading only what the log gained since the last look (a test that polled the
// database would make the daemon find it busy).
class IntakeLines {
public:
    size_t stored() { return read(), storedLines; }
    size_t received() { return read(), receivedLines; }

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
            storedLines += line.find("][info] insert ") != std::string::npos &&
                           line.size() > tail.size() &&
                           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
            receivedLines += line.find("][info] Received a document of ") != std::string::npos;
        }
        partial.erase(0, start);
    }

    size_t offset = 0;
    size_t storedLines = 0;
    size_t receivedLines = 0;
    std::string partial;
};

} // namespace

// Forwarding killed at random moments: every row still ends forwarded with its FPL
// record and, when selected, its halcyon event; a kill can cost at most one repeated
// FPL record and one repeated event, never a lost one.
TEST(Crash, ForwardingSurvivesKills) {
    // Enough rows that forwarding is still at work at the last kill: the plain daemon
    // forwards several hundred a second, the sanitized one several times fewer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int kRows = 600;
#else
    const int kRows = 3000;
#endif
    const int kKills = 10;
    const unsigned seed = crashSeed();
    std::mt19937 random(seed);
    RecordProperty("seed", std::to_string(seed));

    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    std::string insert = "begin;";
    for (int i = 0; i < kRows; ++i) {
        insert += Sandbox::insertRow(eventOf(i).provider, std::to_string(eventOf(i).event),
                                     eventTimeText(i), "PN-" + std::to_string(i + 1));
    }
    Sandbox::query(insert + "commit;");

    sb.startDaemon();
    for (int kill = 0; kill < kKills; ++kill) {
        // Once the new daemon has begun forwarding, at a random moment of its work.
        size_t fetched = Sandbox::countContaining("fetch number");
        ASSERT_TRUE(Sandbox::waitUntil([&] {
            return Sandbox::countContaining("fetch number") > fetched;
        })) << "kill "
            << kill << ":\n"
            << Sandbox::log();
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 150)(random)));
        killAndRestart(sb);
        if (HasFatalFailure()) {
            return;
        }
    }
    ASSERT_NE(unforwarded(), "0") << "the rows ran out before the last kill";
    // Forwarding is slow under the thread sanitizer: the drain gets its own, long bound.
    ASSERT_TRUE(Sandbox::waitUntil([] { return unforwarded() == "0"; }, kDrainTimeoutMs));
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status=1"),
              std::to_string(kRows));
    std::vector<int> rows(kRows);
    for (int i = 0; i < kRows; ++i) {
        rows[i] = i;
    }
    Repeats repeats = checkTargets(rows, kRows);
    EXPECT_LE(repeats.fpl, kKills);
    EXPECT_LE(repeats.commands, kKills);
    RecordProperty("kills", kKills);
    RecordProperty("fpl_repeated", repeats.fpl);
    RecordProperty("commands_repeated", repeats.commands);
    printf("forwarding crash test (seed %u): %d rows, %d kills, %d FPL records repeated, "
           "%d halcyon events repeated\n",
           seed, kRows, kKills, repeats.fpl, repeats.commands);
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
    auto killNow = [&](int pending) {
        if (pending >= 0) {
            inHands.insert(pending);
        }
        killAndRestart(sb);
        ++kills;
        nextKill = std::chrono::steady_clock::now() + killDelay();
    };
    // Half the kills come at once when due, whatever the daemon does then; the other
    // half within 3 ms of the daemon receiving the next document, while the intake
    // handles it.
    bool killAfterDelivery = false;

    for (int i = 0; i < kDocuments; ++i) {
        const size_t before = intake.stored();
        const size_t receivedBefore = intake.received();
        // The broker only delivers while the daemon holds the pipe's read end: the
        // daemon is always running here.
        auto raise = [i] {
            const Event& event = eventOf(i);
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
            bool received = Sandbox::waitUntil([&] { return intake.received() > receivedBefore; });
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
            if (received) {
                killNow(intake.stored() == before ? i : -1);
            }
            provider.join();
            ASSERT_TRUE(received) << Sandbox::log();
            ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
            ASSERT_FALSE(HasFatalFailure());
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
        const bool due = std::chrono::steady_clock::now() >= nextKill && kills < kKills;
        if (due && std::bernoulli_distribution(0.5)(random)) {
            killAfterDelivery = true;
        } else if (due) {
            killNow(intake.stored() == before ? i : -1);
            ASSERT_FALSE(HasFatalFailure());
        } else if (intake.stored() == before) {
            // Every kill is done: this one is simply waited for.
            ASSERT_TRUE(Sandbox::waitUntil([&] { return intake.stored() > before; }))
                << Sandbox::log();
        }
        // Spread the documents over the kills, so that some kills find the forwarding
        // at work and some the intake.
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    // Any kill still due falls on the forwarding of what is left.
    while (kills < kKills) {
        std::this_thread::sleep_until(nextKill);
        killNow(-1);
        ASSERT_FALSE(HasFatalFailure());
    }
    // Left to drain.
    ASSERT_TRUE(Sandbox::waitUntil(
        [] {
            return Sandbox::countLog("[info] new thread starts up.") > 0 && unforwarded() == "0";
        },
        kDrainTimeoutMs));
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status<>1"), "0");
    // Rows in id order, known by their identifier.
    std::vector<int> rows; // document number of each row, in id order
    std::map<int, int> copies;
    for (const auto& row :
         Sandbox::query("select IndicationIdentifier from indication order by Id")) {
        ASSERT_EQ(row[0].rfind("crash-", 0), 0u) << row[0];
        rows.push_back(std::stoi(row[0].substr(6)));
        ++copies[rows.back()];
    }
    int duplicates = 0;
    for (const auto& [document, count] : copies) {
        EXPECT_EQ(count, 1) << "document " << document << " stored twice";
        duplicates += count - 1;
    }
    for (size_t at = 1; at < rows.size(); ++at) {
        EXPECT_LT(rows[at - 1], rows[at]) << "stored out of order";
    }
    int lost = 0;
    for (int i = 0; i < kDocuments; ++i) {
        if (copies.count(i) == 0) {
            ++lost;
            EXPECT_EQ(inHands.count(i), 1u)
                << "document " << i << " lost though it was not in the daemon's hands at a kill";
        }
    }
    EXPECT_LE(lost, kills);

    Repeats repeats = checkTargets(rows, kDocuments);
    EXPECT_LE(repeats.fpl, kills);
    EXPECT_LE(repeats.commands, kills);
    RecordProperty("kills", kills);
    RecordProperty("stored", static_cast<int>(rows.size()));
    RecordProperty("lost", lost);
    RecordProperty("fpl_repeated", repeats.fpl);
    RecordProperty("commands_repeated", repeats.commands);
    printf("delivery crash test (seed %u): %d documents delivered, %d kills, %zu stored, "
           "%d lost (%zu in the daemon's hands at a kill), %d stored twice, "
           "%d FPL records repeated, %d halcyon events repeated\n",
           seed, kDocuments, kills, rows.size(), lost, inHands.size(), duplicates, repeats.fpl,
           repeats.commands);
}
