#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// How long what is left may take to be forwarded or stored after the last kill.
const int kDrainTimeoutMs = 180000;

// The random kill moments: seeded at random, or by ORVIND_CRASH_SEED to repeat a run.
std::mt19937 killMoments() {
    const char* given = getenv("ORVIND_CRASH_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(strtoul(given, nullptr, 10))
                                           : std::random_device{}();
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    printf("kill moments seeded with %u\n", seed);
    return std::mt19937(seed);
}

void pause(std::mt19937& random, int fromMs, int toMs) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(fromMs, toMs)(random)));
}

std::string unforwarded() {
    return Sandbox::queryValue("select count(*) from indication where Status=0");
}

} // namespace

// The pipe held as systemd holds it: indications raised steadily (batches of ten, each
// document known by its MESSAGE ID) while the daemon is killed again and again, in its
// intake and in its forwarding, and while it stays down now and then, are all stored
// once and forwarded to the FPL and to halcyon; a kill costs at most one repeated FPL
// record and one repeated halcyon event, never a lost one.
TEST(Crash, NothingLostOrStoredTwiceAcrossKills) {
    const int kDocuments = kSanitized ? 200 : 400;
    const int kKills = kSanitized ? 4 : 8;
    const int kBatch = 10;
    std::mt19937 random = killMoments();
    Sandbox sb;
    sb.keepPipe();
    sb.startDaemon();
    std::atomic<int> raised{0};
    std::string failure;
    JoiningThread provider([&] {
        for (int first = 0; first < kDocuments; first += kBatch) {
            ToolResult result = runBrokerTool(
                {"raise", "--class", "VEXA_AlertIndication", "--count", std::to_string(kBatch),
                 "--message-id", std::to_string(first + 1), "--retries", "0", "-p",
                 "ProviderName:string=VEXA_RAID", "-p", "EventID:string=1", "-p",
                 "EventTime:datetime=20200101000001.000000+000", "-p", "HWPartNumber:string=PN-1",
                 "-p", "NetworkAddresses:string[]=10.0.0.1"},
                Sandbox::kBrokerRepository);
            if (result.status != 0 && failure.empty()) {
                failure = result.out + result.err;
            }
            raised += kBatch;
            std::this_thread::sleep_for(std::chrono::milliseconds(kSanitized ? 100 : 50));
        }
    });
    // Kills left when the raising is over fall while the daemon drains what it has.
    const int perKill = kDocuments / (kKills + 1);
    for (int kill = 1; kill <= kKills; ++kill) {
        const int due = perKill * kill + std::uniform_int_distribution<int>(-10, 10)(random);
        while (raised < std::min(due, kDocuments)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pause(random, 0, 80);
        ASSERT_EQ(sb.stop(SIGKILL), 128 + SIGKILL) << "kill " << kill;
        unlink(Sandbox::kPidFile);
        if (std::bernoulli_distribution(0.5)(random)) {
            pause(random, 50, 600); // down a while, as the broker goes on delivering
        }
        sb.launch();
        ASSERT_NE(sb.daemonPid(), 0) << "no restart after kill " << kill << ":\n" << Sandbox::log();
    }
    provider.join();
    ASSERT_EQ(failure, "");
    const std::string all = std::to_string(kDocuments);
    EXPECT_TRUE(Sandbox::waitUntil(
        [&] {
            return Sandbox::countLog("[info] new thread starts up.") > 0 && unforwarded() == "0" &&
                   Sandbox::queryValue("select count(*) from indication") == all;
        },
        kDrainTimeoutMs))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    std::map<int, int> copies;
    for (const auto& row : Sandbox::query("select RawData from indication order by Id")) {
        size_t at = row[0].find("MESSAGE ID=\"");
        ASSERT_NE(at, std::string::npos) << row[0];
        ++copies[std::stoi(row[0].substr(at + 12))];
    }
    EXPECT_EQ(copies.size(), static_cast<size_t>(kDocuments)) << "none lost";
    EXPECT_TRUE(std::all_of(copies.begin(), copies.end(), [](auto& c) { return c.second == 1; }))
        << "none stored twice";
    const int fplRepeated = static_cast<int>(Sandbox::fplRecords().size()) - kDocuments;
    const int eventsRepeated = static_cast<int>(Sandbox::bmcCommands().size()) - kDocuments;
    EXPECT_TRUE(fplRepeated >= 0 && fplRepeated <= kKills) << fplRepeated << " FPL records";
    EXPECT_TRUE(eventsRepeated >= 0 && eventsRepeated <= kKills) << eventsRepeated << " events";
    RecordProperty("fpl_repeated", fplRepeated);
    RecordProperty("events_repeated", eventsRepeated);
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
        std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(filler.c_str(), "w"), fclose);
        ASSERT_NE(file, nullptr);
        const std::string block(4096, 'f');
        while (fwrite(block.data(), 1, block.size(), file.get()) == block.size() &&
               fflush(file.get()) == 0) {
        }
    }
    sb.keepPipe();
    sb.startDaemon();
    ToolResult raised = runBrokerTool({"raise", "--class", "VEXA_AlertIndication", "--count",
                                       std::to_string(kDocuments), "--retries", "0", "-p",
                                       "ProviderName:string=VEXA_WBEM", "-p", "EventID:string=2"},
                                      Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
    // One line for the failure, one when it has passed.
    auto failures = [] {
        return Sandbox::countContaining("after at most 60 s.") +
               Sandbox::countContaining("what follows stays in the pipe.");
    };
    ASSERT_TRUE(Sandbox::waitUntil([&] { return failures() > 0; })) << Sandbox::log();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(unlink(filler.c_str()), 0); // room made
    // Counted in the log: the database may not even exist before there is room.
    EXPECT_TRUE(Sandbox::waitForLog("[info] insert VEXA_WBEM indication success", kDocuments,
                                    kDrainTimeoutMs))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::queryValue("select count(distinct RawData) from indication"),
              std::to_string(kDocuments))
        << "every document once";
    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(failures(), 1u) << Sandbox::log();
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
    std::mt19937 random = killMoments();
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
    const std::string stored = "[info] insert Fan Monitor Provider indication success";
    int kills = 0;
    for (; kills < 4 && Sandbox::countContaining("Documents recovered from") == 0; ++kills) {
        const size_t before = Sandbox::countLog(stored);
        sb.launch();
        ASSERT_NE(sb.daemonPid(), 0) << Sandbox::log();
        ASSERT_TRUE(Sandbox::waitUntil([&] {
            return Sandbox::countLog(stored) > before ||
                   Sandbox::countContaining("Documents recovered from") > 0;
        })) << Sandbox::log();
        pause(random, 0, 100);
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
}
