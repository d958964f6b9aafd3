#include "brokertool.h"
#include "logtail.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <sys/mount.h>
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

// Repeats the BMC received.
struct Repeats {
    int fpl = 0;
    int commands = 0;
};

// Every row of `rows` reached the FPL once or, after a kill, twice in a row, in row
// order, and halcyon when selected; nothing reached either that was not stored.
Repeats checkTargets(int rows) {
    Repeats repeats;
    std::map<uint32_t, int> rowAtTime;
    for (int i = 0; i < rows; ++i) {
        rowAtTime[eventTime(i)] = i;
    }
    std::vector<int> fplCount(rows, 0), commandCount(rows, 0);
    int last = 0;
    for (const SEL_entry_t& record : Sandbox::fplRecords()) {
        auto row = rowAtTime.find(static_cast<uint32_t>(record.e0.b9) | record.e0.b10 << 8 |
                                  record.e0.b11 << 16 | static_cast<uint32_t>(record.e0.b12) << 24);
        if (row == rowAtTime.end()) {
            ADD_FAILURE() << "an FPL record of no row";
            return repeats;
        }
        EXPECT_TRUE(row->second == last || row->second == last + 1)
            << "row " << row->second + 1 << " after row " << last + 1;
        last = row->second;
        ++fplCount[last];
    }
    for (const auto& command : Sandbox::bmcCommands()) {
        size_t at = command.arg.find(" --HPART PN-"); // the part number names the row
        int row = at == std::string::npos ? -1 : std::stoi(command.arg.substr(at + 12)) - 1;
        if (row < 0 || row >= rows) {
            ADD_FAILURE() << "a command of no row: " << command.arg;
            continue;
        }
        ++commandCount[row];
    }
    for (int i = 0; i < rows; ++i) {
        EXPECT_TRUE(fplCount[i] == 1 || fplCount[i] == 2)
            << "row " << i + 1 << ": " << fplCount[i] << " FPL records";
        EXPECT_EQ(commandCount[i] > 0, eventOf(i).halcyon)
            << "row " << i + 1 << " (" << eventOf(i).provider << " " << eventOf(i).event
            << "): " << commandCount[i] << " halcyon events";
        repeats.fpl += std::max(fplCount[i] - 1, 0);
        repeats.commands += std::max(commandCount[i] - 1, 0);
    }
    return repeats;
}

} // namespace

// Forwarding killed at random moments: every row still ends forwarded with its FPL
// record and, when selected, its halcyon event; a kill can cost at most one repeated
// FPL record and one repeated event, never a lost one.
TEST(Crash, ForwardingSurvivesKills) {
    // Enough rows that forwarding is still at work at the last kill: each kill comes at
    // most 150 ms into a daemon's forwarding, and the plain daemon forwards up to about
    // 2,000 rows a second on a fast disk, the sanitized one several times fewer.
    const int kRows = kSanitized ? 800 : 3000;
    const int kKills = kSanitized ? 3 : 4; // each restart waits out the thread's first pause
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
    LogTail fetches(Sandbox::kLogFile);
    for (int kill = 0; kill < kKills; ++kill) {
        // Once the new daemon has begun forwarding, at a random moment of its work.
        size_t fetched = fetches.count("fetch number");
        ASSERT_TRUE(Sandbox::waitUntil([&] { return fetches.count("fetch number") > fetched; }))
            << "kill " << kill << ":\n"
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
    Repeats repeats = checkTargets(kRows);
    EXPECT_LE(repeats.fpl, kKills);
    EXPECT_LE(repeats.commands, kKills);
    RecordProperty("kills", kKills);
    RecordProperty("fpl_repeated", repeats.fpl);
    RecordProperty("commands_repeated", repeats.commands);
    printf("forwarding crash test (seed %u): %d rows, %d kills, %d FPL records repeated, "
           "%d halcyon events repeated\n",
           seed, kRows, kKills, repeats.fpl, repeats.commands);
}

namespace {

// What a run of raising, killing and restarting left behind.
struct KillRun {
    int kills = 0;
    int stored = 0;
    int lost = 0;
    int twice = 0;
    int fplRepeated = 0;
};

// Raises `documents` indications steadily (batches of ten, each document known by its
// MESSAGE ID) while the daemon is killed `kills` times at random moments; after some
// kills it stays down a while as the broker goes on delivering. With `keeper` the pipe
// is held as systemd holds it. Ends with everything forwarded, or fails the test.
KillRun raiseWhileKilling(bool keeper, int documents, int kills) {
    const unsigned seed = crashSeed();
    std::mt19937 random(seed);
    ::testing::Test::RecordProperty(keeper ? "seed" : "seed_without_keeper", std::to_string(seed));
    const int kBatch = 10;
    const auto kBatchPause = std::chrono::milliseconds(kSanitized ? 100 : 50);
    KillRun run;

    Sandbox sb;
    if (keeper) {
        sb.keepPipe();
    }
    sb.startDaemon();
    std::atomic<bool> raising{true};
    std::atomic<int> raised{0};
    std::string failure;
    std::thread provider([&] {
        for (int first = 0; first < documents; first += kBatch) {
            std::vector<std::string> args{"raise",
                                          "--class",
                                          "VEXA_AlertIndication",
                                          "--count",
                                          std::to_string(kBatch),
                                          "--message-id",
                                          std::to_string(first + 1),
                                          "--retries",
                                          "0"};
            for (const std::string& property : std::vector<std::string>{
                     "IndicationIdentifier:string=crash", "ProviderName:string=VEXA_WBEM",
                     "EventID:string=2", "EventTime:datetime=" + eventTimeText(1),
                     "HWPartNumber:string=PN-1", "NetworkAddresses:string[]=10.0.0.1"}) {
                args.push_back("-p");
                args.push_back(property);
            }
            ToolResult result = runBrokerTool(args, Sandbox::kBrokerRepository);
            if (result.status != 0 && failure.empty()) {
                failure = result.out + result.err;
            }
            raised += kBatch;
            std::this_thread::sleep_for(kBatchPause);
        }
        raising = false;
    });
    const int perKill = documents / (kills + 1);
    // Kills left when the raising is over fall while the daemon drains what it has.
    while (run.kills < kills) {
        const int due = perKill * (run.kills + 1) +
                        std::uniform_int_distribution<int>(-perKill / 3, perKill / 3)(random);
        while (raising && raised < due) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 80)(random)));
        if (sb.stop(SIGKILL) != 128 + SIGKILL) {
            ADD_FAILURE() << "the daemon was not running at kill " << run.kills;
            break;
        }
        ++run.kills;
        unlink(Sandbox::kPidFile);
        // Down for a while now and then, as the broker goes on delivering.
        if (std::bernoulli_distribution(0.5)(random)) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 600)(random)));
        }
        sb.launch();
        if (sb.launcherStatus() != 0 || sb.daemonPid() == 0) {
            ADD_FAILURE() << "no restart after kill " << run.kills << ":\n" << Sandbox::log();
            break;
        }
    }
    provider.join();
    EXPECT_EQ(failure, "");
    if (::testing::Test::HasFailure()) {
        return run;
    }
    // Left to store and forward whatever arrived.
    const std::string all = std::to_string(documents);
    auto settled = [&] {
        return Sandbox::countLog("[info] new thread starts up.") > 0 && unforwarded() == "0" &&
               (!keeper || Sandbox::queryValue("select count(*) from indication") == all);
    };
    EXPECT_TRUE(Sandbox::waitUntil(settled, kDrainTimeoutMs)) << Sandbox::log();
    // With no keeper, deliveries lost while the daemon is down never come: give the last
    // ones a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(keeper ? 0 : 1500));
    EXPECT_TRUE(Sandbox::waitUntil([] { return unforwarded() == "0"; }, kDrainTimeoutMs));
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    std::map<int, int> copies;
    for (const auto& row : Sandbox::query("select RawData from indication order by Id")) {
        size_t at = row[0].find("MESSAGE ID=\"");
        EXPECT_NE(at, std::string::npos) << row[0];
        if (at != std::string::npos) {
            ++copies[std::stoi(row[0].substr(at + 12))];
        }
    }
    for (const auto& [id, count] : copies) {
        run.stored += count;
        run.twice += count - 1;
    }
    run.lost = documents - static_cast<int>(copies.size());
    run.fplRepeated = static_cast<int>(Sandbox::fplRecords().size()) - run.stored;
    printf("kill test %s (seed %u): %d indications, %d kills, %d stored, %d lost, %d stored "
           "twice, %d FPL records repeated\n",
           keeper ? "with the pipe kept" : "without a keeper", seed, documents, run.kills,
           run.stored, run.lost, run.twice, run.fplRepeated);
    return run;
}

} // namespace

// The pipe held as systemd holds it: indications raised while the daemon is killed
// again and again, and while it is down, are all stored once and forwarded; a kill costs
// at most one repeated FPL record.
TEST(Crash, NothingLostOrStoredTwiceAcrossKills) {
    const int documents = kSanitized ? 200 : 400;
    const int kills = kSanitized ? 4 : 8;
    KillRun run = raiseWhileKilling(true, documents, kills);
    EXPECT_EQ(run.kills, kills);
    EXPECT_EQ(run.lost, 0);
    EXPECT_EQ(run.twice, 0);
    EXPECT_GE(run.fplRepeated, 0);
    EXPECT_LE(run.fplRepeated, run.kills);
    RecordProperty("fpl_repeated", run.fplRepeated);
}

// Without a keeper, what the broker delivers while the daemon is down is lost (the
// figure is printed); still nothing is stored twice.
TEST(Crash, WithoutAKeeperNothingIsStoredTwice) {
    KillRun run = raiseWhileKilling(false, kSanitized ? 100 : 150, kSanitized ? 2 : 3);
    EXPECT_EQ(run.twice, 0);
    RecordProperty("lost_without_keeper", run.lost);
}

// A full disk under the database or under the working folder: the documents wait (in
// the journal, or in the pipe) and are all stored once, as soon as there is room again.
class DiskFull : public testing::TestWithParam<const char*> {};

TEST_P(DiskFull, NothingIsLostAndNothingStoredTwice) {
    const std::string folder = GetParam();
    const int kDocuments = 60;
    Sandbox sb;
    ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755"),
              0);
    const std::string filler = folder + "/filler";
    {
        FILE* file = fopen(filler.c_str(), "w");
        ASSERT_NE(file, nullptr);
        const std::string block(4096, 'f');
        while (fwrite(block.data(), 1, block.size(), file) == block.size() && fflush(file) == 0) {
        }
        fclose(file);
    }
    sb.keepPipe();
    sb.startDaemon();
    ToolResult raised = runBrokerTool({"raise", "--class", "VEXA_AlertIndication", "--count",
                                       std::to_string(kDocuments), "--retries", "0", "-p",
                                       "ProviderName:string=VEXA_WBEM", "-p", "EventID:string=2"},
                                      Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
    ASSERT_TRUE(Sandbox::waitUntil([] {
        return Sandbox::countContaining("after at most 60 s.") +
                   Sandbox::countContaining("what follows stays in the pipe.") >
               0;
    })) << Sandbox::log();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(unlink(filler.c_str()), 0); // room made
    // Counted in the log: the database may not even exist before there is room.
    // The thread sanitizer takes longer than the default wait over the 200 documents.
    EXPECT_TRUE(Sandbox::waitUntil(
        [&] {
            return Sandbox::countLog("[info] insert VEXA_WBEM indication success") >=
                   static_cast<size_t>(kDocuments);
        },
        kDrainTimeoutMs))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::queryValue("select count(distinct RawData) from indication"),
              std::to_string(kDocuments))
        << "every document once";
    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    // One line for the failure, one when it has passed.
    EXPECT_EQ(Sandbox::countContaining("after at most 60 s.") +
                  Sandbox::countContaining("what follows stays in the pipe."),
              1u)
        << Sandbox::log();
}

INSTANTIATE_TEST_SUITE_P(Folders, DiskFull, testing::Values("/var/lib/orvind", "/opt/vexa/orvind"),
                         [](const testing::TestParamInfo<const char*>& folder) {
                             return std::string(folder.param).find("lib") != std::string::npos
                                        ? "Database"
                                        : "WorkingFolder";
                         });

// Killed again and again while it takes in a long journal: every document is stored
// once in the end.
TEST(Crash, KillsWhileALongJournalIsTakenIn) {
    const int kDocuments = kSanitized ? 500 : 2000;
    const int kKills = 4;
    std::mt19937 random(crashSeed());
    const std::string sample = readFile(std::string(ORVIND_TEST_DATA) + "/intake/alert.xml");
    const std::string id = "MESSAGE ID=\"3\"";
    const size_t at = sample.find(id);
    ASSERT_NE(at, std::string::npos);
    std::string journal;
    for (int i = 1; i <= kDocuments; ++i) {
        journal += Sandbox::framed(sample.substr(0, at) + "MESSAGE ID=\"" + std::to_string(i) +
                                   "\"" + sample.substr(at + id.size()));
    }
    Sandbox sb;
    writeFile(Sandbox::kPendingFile, journal);
    sb.keepPipe();
    int kills = 0;
    for (; kills < kKills && Sandbox::countContaining("Documents recovered from") == 0; ++kills) {
        const size_t before =
            Sandbox::countLog("[info] insert Fan Monitor Provider indication success");
        sb.launch();
        ASSERT_EQ(sb.launcherStatus(), 0) << Sandbox::log();
        ASSERT_NE(sb.daemonPid(), 0u);
        ASSERT_TRUE(Sandbox::waitUntil([&] {
            return Sandbox::countLog("[info] insert Fan Monitor Provider indication success") >
                       before ||
                   Sandbox::countContaining("Documents recovered from") > 0;
        })) << Sandbox::log();
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 100)(random)));
        ASSERT_EQ(sb.stop(SIGKILL), 128 + SIGKILL);
        unlink(Sandbox::kPidFile);
    }
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitUntil(
        [] { return Sandbox::countContaining("Documents recovered from") > 0; }, kDrainTimeoutMs))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication"), std::to_string(kDocuments));
    EXPECT_EQ(Sandbox::queryValue("select count(distinct RawData) from indication"),
              std::to_string(kDocuments));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPendingFile)) << "compacted once all is stored";
    EXPECT_GE(kills, 2) << "the intake was too quick to be killed";
    printf("a journal of %d documents taken in across %d kills\n", kDocuments, kills);
}

// A unit that passes something else than the pipe: one line, and the start fails.
TEST(SocketActivation, RefusesWhatIsNotThePipe) {
    Sandbox sb;
    int other = open(Sandbox::kLogFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    sb.passDescriptors({other});
    sb.launch();
    EXPECT_EQ(sb.launcherStatus(), 255);
    int keeper = sb.keepPipe();
    sb.passDescriptors({keeper, keeper});
    sb.launch();
    EXPECT_EQ(sb.launcherStatus(), 255);
    close(other);
    EXPECT_EQ(Sandbox::logEntries(),
              (std::vector<std::string>{"[error] The descriptor passed by systemd is not the FIFO "
                                        "/opt/vexa/orvind/indications.tmp.",
                                        "[error] systemd passed 2 descriptors; only the FIFO "
                                        "/opt/vexa/orvind/indications.tmp is expected."}));
}
