#include "diskimage.h"
#include "ipmisim.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// How long what is left may take to be forwarded or stored after the last kill.
const int kDrainTimeoutMs = 180000;

// The random kill moments: seeded at random, or by ORVIND_CRASH_SEED to repeat a run.
std::mt19937 killMoments() {
    const char* given = getenv("ORVIND_CRASH_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(strtoul(given, nullptr, 10))
                                           : std::random_device{}();
    printf("kill moments seeded with %u\n", seed);
    return std::mt19937(seed);
}

void pause(std::mt19937& random, int fromMs, int toMs) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(fromMs, toMs)(random)));
}

// The image that holds both of the daemon's folders, mounted here; each folder is a
// folder of the image bound over the daemon's fixed one.
const char* const kDiskDir = "/run/disk";
const char* const kDiskFolders[][2] = {{"/run/disk/work", paths::kWorkDir},
                                       {"/run/disk/lib", "/var/lib/orvind"}};
// The image's journal commits a minute apart: in between, only what the daemon syncs
// itself reaches the device.
const char* const kCommitRarely = "commit=60";

bool bindFolders() {
    for (const auto& folder : kDiskFolders) {
        mkdir(folder[0], 0755);
        if (mount(folder[0], folder[1], nullptr, MS_BIND, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

void unbindFolders() {
    for (const auto& folder : kDiskFolders) {
        umount2(folder[1], MNT_DETACH);
    }
}

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::set<std::string> storedDocuments() {
    std::set<std::string> documents;
    for (const auto& row : Sandbox::query("select RawData from indication")) {
        documents.insert(row[0]);
    }
    return documents;
}

// Starts the daemon and `kills` times kills it at a random moment of its forwarding (which
// begins 3 s after the start, then goes row after row) and starts it again; then waits until
// every row is forwarded and stops it. Returns how many records the restarts found in the
// BMC's log and marked without sending them again.
size_t killWhileForwarding(Sandbox& sb, int kills, std::mt19937& random) {
    sb.startDaemon();
    for (int kill = 1; kill <= kills; ++kill) {
        pause(random, 3020, 3150);
        EXPECT_EQ(sb.stop(SIGKILL), 128 + SIGKILL) << "kill " << kill;
        unlink(Sandbox::kPidFile);
        sb.startDaemon();
    }
    EXPECT_TRUE(Sandbox::waitUntilForwarded()) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    return Sandbox::countContaining("is in the BMC's log already");
}

// The BMC the daemon forwards to: the simulated one (its FPL and command log are files),
// the same with both marks made before the start, or the IPMI simulator, for which every
// sandbox of the process runs the daemon built with the IPMI backend.
enum Bmc { kSimulated, kSimulatedMarked, kIpmi };

std::string bmcName(const testing::TestParamInfo<int>& bmc) {
    return bmc.param == kIpmi ? "Ipmi" : bmc.param == kSimulated ? "Simulated" : "SimulatedMarked";
}

class OnEachBmc : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (GetParam() != kIpmi) {
            return;
        }
        if (!IpmiSim::available()) {
            GTEST_SKIP() << "ipmi_sim or ipmitool is not installed";
        }
        // Event times become record times through the local zone.
        setenv("ORVIND_TEST_DAEMON", ORVIND_DAEMON_IPMI_BIN, 1);
        setenv("TZ", "UTC", 1);
        sim = std::make_unique<IpmiSim>(1000);
        ASSERT_TRUE(sim->start()) << sim->failure();
        sim->useFromHere();
    }

    // What the BMC holds: the time bytes (b9 to b12) of its FPL records, their number and
    // the number of events (the IPMI simulator's platform events, the simulated BMC's
    // management-processor commands).
    struct Sent {
        std::set<std::string> times;
        size_t records = 0;
        size_t events = 0;
    };
    Sent sent() const {
        Sent bmc;
        if (!sim) {
            for (const SEL_entry_t& record : Sandbox::fplRecords()) {
                bmc.times.insert(std::string{
                    static_cast<char>(record.e0.b9), static_cast<char>(record.e0.b10),
                    static_cast<char>(record.e0.b11), static_cast<char>(record.e0.b12)});
                ++bmc.records;
            }
            bmc.events = Sandbox::bmcCommands().size();
            return bmc;
        }
        for (const IpmiSim::Record& record : sim->sel()) {
            if (record.type == 0xE0) {
                bmc.times.insert(record.body.substr(10, 8));
                ++bmc.records;
            }
            bmc.events += record.type == 0x02 ? 1 : 0;
        }
        return bmc;
    }

    std::unique_ptr<IpmiSim> sim;
};
using KillsOnEachBmc = OnEachBmc;
using DiskFullOnEachBmc = OnEachBmc;

} // namespace

// The pipe held as systemd holds it: indications raised steadily (batches of ten, each
// document known by its MESSAGE ID) while the daemon is killed again and again, in its
// intake and in its forwarding, and while it stays down now and then, are all stored
// once and forwarded. (What the BMC receives across kills: KillsOnEachBmc.)
TEST(Crash, NothingLostOrStoredTwiceAcrossKills) {
    const int kDocuments = kSanitized ? 200 : 400;
    const int kKills = kSanitized ? 4 : 8;
    const int kBatch = 10;
    std::mt19937 random = killMoments();
    Sandbox sb;
    sb.keepPipe();
    sb.startDaemon();
    std::atomic<int> raised{0};
    JoiningThread provider([&] {
        for (int first = 0; first < kDocuments; first += kBatch) {
            Sandbox::raiseIndications(kBatch, {"--message-id", std::to_string(first + 1)});
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
    const std::string all = std::to_string(kDocuments);
    EXPECT_TRUE(Sandbox::waitUntil(
        [&] {
            return Sandbox::countLog("[info] new thread starts up.") > 0 &&
                   Sandbox::queryValue("select count(*) from indication where Status=0") == "0" &&
                   Sandbox::queryValue("select count(*) from indication") == all;
        },
        kDrainTimeoutMs))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    // Each raised document has its own MESSAGE ID.
    EXPECT_EQ(Sandbox::queryValue("select count(distinct RawData) from indication"), all)
        << "none lost, none stored twice";
}

// Rows forwarded while the daemon is killed 20 times in its forwarding and started again,
// to each BMC: the simulated one, and in an IPMI build the IPMI simulator (its SEL read
// back with ipmitool). The BMC holds each row's FPL record once (its time bytes tell the
// row), none missing, none repeated: a record that reached the BMC before a kill is found
// there after the start and marked, not sent again. The IPMI simulator holds as many
// platform events as rows went to halcyon; the simulated BMC keeps its management
// processor's commands apart, where they cannot be read back: a kill may repeat one.
TEST_P(KillsOnEachBmc, EachRecordOnceAcrossKillsWhileForwarding) {
    const int kRows = 300;
    const int kKills = kSanitized ? 6 : 20;
    std::mt19937 random = killMoments();
    Sandbox sb;
    // VEXA_RAID 1 goes to halcyon (alert level 5), VEXA_WBEM 2 does not.
    Sandbox::storeRows(kRows, {{"VEXA_RAID", "1"}, {"VEXA_WBEM", "2"}});
    const size_t settled = killWhileForwarding(sb, kKills, random);
    const Sent bmc = sent();
    const size_t missing = kRows - bmc.times.size();
    const size_t repeated = bmc.records - bmc.times.size();
    EXPECT_EQ(missing, 0u) << "FPL records missing";
    EXPECT_EQ(repeated, 0u) << "FPL records repeated";
    const size_t most = kRows / 2 + (sim ? 0 : kKills);
    EXPECT_TRUE(bmc.events >= kRows / 2 && bmc.events <= most) << bmc.events << " events";
    printf("%d kills, %d rows: %zu FPL records missing, %zu repeated; %zu events for %d rows; "
           "%zu records found after a start and not sent again\n",
           kKills, kRows, missing, repeated, bmc.events, kRows / 2, settled);
}

INSTANTIATE_TEST_SUITE_P(Bmcs, KillsOnEachBmc, testing::Values(kSimulated, kIpmi), bmcName);

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
    writeFile(filler, std::string(2 << 20, 'f')); // as much as the folder takes
    sb.keepPipe();
    sb.startDaemon();
    Sandbox::raiseIndications(kDocuments);
    // One line for the failure, one when it has passed.
    auto failures = [] {
        return Sandbox::countContaining("after at most 60 s.") +
               Sandbox::countContaining("what follows stays in the pipe.");
    };
    ASSERT_TRUE(Sandbox::waitUntil([&] { return failures() > 0; })) << Sandbox::log();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(unlink(filler.c_str()), 0); // room made
    // Counted in the log: the database may not even exist before there is room.
    EXPECT_TRUE(Sandbox::waitForLog("[info] insert VEXA_RAID indication success", kDocuments,
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
                         [](const auto& folder) {
                             return folder.index == 0 ? "Database" : "WorkingFolder";
                         });

// A full disk under both folders while rows wait to be forwarded, to each BMC, with the
// marks still to be made or (simulated BMC) already there: a target served while its mark
// or the row's status cannot be written is not served again while the disk stays full,
// and once there is room every row reaches each target once.
TEST_P(DiskFullOnEachBmc, NoRecordIsSentTwice) {
    const int kRows = 3;
    Sandbox sb;
    mkdir(kDiskDir, 0755);
    ASSERT_EQ(mount("tmpfs", kDiskDir, "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755"), 0);
    ASSERT_TRUE(bindFolders());
    Sandbox::storeRows(kRows, {{"VEXA_RAID", "1"}}); // alert level 5: both targets
    if (GetParam() == kSimulatedMarked) {
        Sandbox::writeMark(Sandbox::kFplMark, 0);
        Sandbox::writeMark(Sandbox::kHalcyonMark, 0);
    }
    const std::string filler = std::string(kDiskDir) + "/filler";
    writeFile(filler, std::string(2 << 20, 'f')); // as much as the disk takes
    sb.startDaemon();
    // The forwarding starts 3 s after the start; a row sent again every 2 s would have
    // been sent four times more by now.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    const Sent full = sent();
    EXPECT_LE(full.records, 1u) << Sandbox::log();
    EXPECT_LE(full.events, 1u);
    ASSERT_EQ(unlink(filler.c_str()), 0); // room made
    EXPECT_TRUE(Sandbox::waitUntilForwarded(kDrainTimeoutMs)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(sent().records, static_cast<size_t>(kRows)) << Sandbox::log();
    EXPECT_EQ(sent().events, static_cast<size_t>(kRows)) << Sandbox::log();
    unbindFolders();
}

INSTANTIATE_TEST_SUITE_P(Bmcs, DiskFullOnEachBmc,
                         testing::Values(kSimulated, kSimulatedMarked, kIpmi), bmcName);

// Power cuts: the daemon's folders on an ext4 image, the daemon stopped (SIGSTOP) at a
// random moment while it takes in and forwards, and the image copied without a sync.
// The backing file holds only what the loop device has written: what the daemon left
// in the page cache above it is not in the copy, as after a power cut. A fresh daemon
// then runs on the copy. The copy always mounts, the store is sound, the journal holds
// every byte up to the position the store records (so nothing acknowledged is lost),
// every row of a copy is still there in the end, none is stored twice, and the FPL holds
// each row's record once: the note of what was about to be sent is synced before it is.
TEST(Crash, PowerCuts) {
    const int kCuts = 10;
    const int kBatch = 4;
    // At most so many deliveries before each cut, whatever the machine's pace: the image
    // must not fill up.
    const int kMostPerCut = 400;
    std::mt19937 random = killMoments();
    Sandbox sb;
    mkdir(kDiskDir, 0755);
    std::string image = "/run/cut-0.img";
    DiskImage disk(image, kDiskDir, 64, "", kCommitRarely);
    if (!disk.ok()) {
        GTEST_SKIP() << "no power cuts without a loop-mounted image: " << disk.why();
    }
    ASSERT_TRUE(bindFolders());
    std::set<std::string> acknowledged;
    std::atomic<int> nextId{1};
    for (int cut = 1; cut <= kCuts; ++cut) {
        sb.startDaemon();
        std::atomic<bool> delivering{true};
        JoiningThread provider([&] {
            for (int sent = 0; delivering && sent < kMostPerCut; sent += kBatch) {
                Sandbox::raiseIndications(kBatch, {"--message-id", std::to_string(nextId)});
                nextId += kBatch;
            }
        });
        pause(random, 300, 1500);
        sb.signal(SIGSTOP);
        delivering = false;
        provider.join(); // the batch in hand waits in the pipe: it fits
        const std::string copy = "/run/cut-" + std::to_string(cut) + ".img";
        ASSERT_EQ(std::system(("cp --sparse=always " + image + " " + copy).c_str()), 0);
        ASSERT_EQ(sb.stop(SIGKILL), 128 + SIGKILL) << "cut " << cut;
        unlink(Sandbox::kPidFile);
        unbindFolders();
        ASSERT_TRUE(disk.remount(copy, kCommitRarely)) << "the copy of cut " << cut << " mounts";
        unlink(image.c_str());
        image = copy;
        ASSERT_TRUE(bindFolders());

        EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok") << "cut " << cut;
        const long long position = std::stoll(Sandbox::queryValue(
            "select coalesce(max(Journal), 0) from intake_position where Id = 1"));
        const long long journal = fileSize(Sandbox::kPendingFile);
        const long long setAside = fileSize(std::string(Sandbox::kPendingFile) + ".stored");
        EXPECT_TRUE(position <= journal || position == setAside)
            << "cut " << cut << ": the store's position " << position
            << " lies beyond the journal's " << journal << " bytes on the device";
        const std::set<std::string> stored = storedDocuments();
        acknowledged.insert(stored.begin(), stored.end());
    }
    sb.startDaemon();
    Sandbox::raiseIndications(kBatch, {"--message-id", std::to_string(nextId)});
    const std::string last = "MESSAGE ID=\"" + std::to_string(nextId + kBatch - 1) + "\"";
    EXPECT_TRUE(Sandbox::waitUntil([&] {
        return Sandbox::queryValue("select count(*) from indication where instr(RawData, '" + last +
                                   "') > 0") == "1";
    })) << Sandbox::log();
    EXPECT_TRUE(Sandbox::waitUntilForwarded()) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    EXPECT_EQ(Sandbox::queryValue("PRAGMA integrity_check"), "ok");
    const std::set<std::string> stored = storedDocuments();
    size_t lost = 0;
    for (const std::string& document : acknowledged) {
        lost += stored.count(document) == 0 ? 1 : 0;
    }
    EXPECT_EQ(lost, 0u) << "of " << acknowledged.size() << " rows stored before a cut";
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication"), std::to_string(stored.size()))
        << "none stored twice";
    EXPECT_EQ(Sandbox::countContaining("is beyond the end of"), 0u) << Sandbox::log();
    const long long fplRepeated = static_cast<long long>(Sandbox::fplRecords().size()) -
                                  static_cast<long long>(stored.size());
    EXPECT_EQ(fplRepeated, 0) << "FPL records repeated (or missing, when below 0)";
    printf("%zu rows, %zu of them stored before a cut; %lld FPL records repeated\n", stored.size(),
           acknowledged.size(), fplRepeated);
}
