#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The modes of the daemon's files (what another user on the host may open), and what a
// link planted in the daemon's folders can do to the files it points to.

namespace {

// Raises one indication that goes to the FPL and to halcyon, through the broker.
void raiseOne() {
    ToolResult raised = runBrokerTool(
        {"raise", "--class", "VEXA_AlertIndication", "--namespace", "root/zarn", "-p",
         "ProviderName:string=VEXA_RAID", "-p", "EventID:string=1", "-p",
         "EventTime:datetime=20140315123456.000000+060", "-p", "HWPartNumber:string=PN-1", "-p",
         "HWEncodingPhysicalLocation:string=00020001000a0321", "-p",
         "NetworkAddresses:string[]=10.0.0.5"},
        Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
}

bool waitForwarded(int rows) {
    return Sandbox::waitUntil([&] {
        return Sandbox::exists(Sandbox::kDatabase) &&
               Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") ==
                   "1" &&
               Sandbox::queryValue("select count(*) from indication where Status=1") ==
                   std::to_string(rows);
    });
}

// The permission bits of `path` (or the bits of `mask`), 0 when there is nothing.
mode_t modeOf(const std::string& path, mode_t mask = 07777) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & mask : 0;
}

} // namespace

TEST(DaemonModes, UnderUmaskZeroEveryFileGetsItsOwnModeAndWiderOnesAreNarrowed) {
    Sandbox sb;
    // Left by an earlier version with modes that are too wide.
    writeFile(Sandbox::kLogFile, "");
    chmod(Sandbox::kLogFile, 0666);
    Sandbox::writeMark(Sandbox::kFplMark, 0);
    chmod(Sandbox::kFplMark, 0644);
    const mode_t old = umask(0);
    sb.startDaemon();
    raiseOne();
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_EQ(Sandbox::countLog("[info] Narrowed the mode of /var/log/vexa/orvind from 0666 to "
                                "0640."),
              1u);
    EXPECT_EQ(Sandbox::countLog("[info] Narrowed the mode of /opt/vexa/orvind/fpl.log from 0644 "
                                "to 0600."),
              1u);
    // The documents not yet handled are the intake's, in a file of their own.
    for (const char* path : {Sandbox::kFifo, Sandbox::kTempFile, Sandbox::kDatabase,
                             Sandbox::kFplMark, Sandbox::kHalcyonMark, Sandbox::kPendingFile}) {
        EXPECT_EQ(modeOf(path), 0600u) << path << " is " << std::oct << modeOf(path);
    }
    for (const char* more : {"-wal", "-shm", "-journal"}) {
        const std::string path = std::string(Sandbox::kDatabase) + more;
        EXPECT_TRUE(!Sandbox::exists(path) || modeOf(path) == 0600u) << path;
    }
    EXPECT_EQ(modeOf(Sandbox::kPidFile), 0644u);
    EXPECT_EQ(modeOf(Sandbox::kLogFile), 0640u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    // A log made by the daemon is 0640 too, and belongs to the group adm where there is one.
    unlink(Sandbox::kLogFile);
    sb.startDaemon();
    umask(old);
    struct stat st;
    ASSERT_EQ(lstat(Sandbox::kLogFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (struct group* adm = getgrnam("adm")) {
        EXPECT_EQ(st.st_gid, adm->gr_gid);
    }
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

namespace {

// A link planted at one of the daemon's paths, pointing to a victim file (or to nothing)
// that holds what the daemon would act on if it read it. The victim must come out
// unchanged, byte for byte, and the link must be out of the way.
struct Planted {
    std::string path;
    std::string victim;
    std::string content = "the victim's own bytes\n";
    bool dangling = false;
    bool whileRunning = false;
};

// Runs the daemon with the links planted (before it starts, or once it runs), two
// indications through it, and stops it.
void runWith(const std::vector<Planted>& links) {
    Sandbox sb;
    auto plant = [](const Planted& link) {
        if (!link.dangling) {
            writeFile(link.victim, link.content);
        }
        ASSERT_EQ(symlink(link.victim.c_str(), link.path.c_str()), 0) << link.path;
    };
    for (const auto& link : links) {
        if (!link.whileRunning) {
            plant(link);
        }
    }
    sb.startDaemon();
    for (const auto& link : links) {
        if (link.whileRunning) {
            ASSERT_EQ(rename(link.path.c_str(), (link.path + ".old").c_str()), 0) << link.path;
            plant(link);
        }
    }
    raiseOne();
    raiseOne();
    EXPECT_TRUE(waitForwarded(2)) << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication"), "2")
        << "nothing read in from a victim";
    EXPECT_EQ(Sandbox::fplRecords().size(), 2u) << "no row passed over for a mark read through";
    EXPECT_EQ(Sandbox::bmcCommands().size(), 2u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    for (const auto& link : links) {
        if (link.dangling) {
            EXPECT_FALSE(Sandbox::exists(link.victim)) << link.path << " made " << link.victim;
        } else {
            EXPECT_EQ(readFile(link.victim), link.content) << link.path << " was written through";
        }
        // A link planted while the daemon runs may still stand where the daemon has not
        // opened the path again.
        const bool replanted = std::any_of(links.begin(), links.end(), [&](const Planted& l) {
            return l.whileRunning && l.path == link.path;
        });
        EXPECT_FALSE(!replanted && S_ISLNK(modeOf(link.path, S_IFMT)))
            << link.path << ": the link is still in the way";
    }
}

} // namespace

TEST(DaemonLinks, PlantedLinksAreNeitherWrittenThroughNorRead) {
    const std::string fplMark = Sandbox::kFplMark;
    const std::string victim = "/opt/victim";
    int one = 1;
    runWith({
        {Sandbox::kFifo, victim + ".pipe"},
        // Read through, it would pass row 1 over for the FPL.
        {fplMark, victim + ".fpl", std::string(reinterpret_cast<const char*>(&one), sizeof one)},
        {std::string(Sandbox::kHalcyonMark) + ".new", victim + ".halcyon-new"},
        {Sandbox::kLogFile, victim + ".log"},
        {Sandbox::kPidFile, victim + ".pid", "", true},
        {Sandbox::kLogFile, victim + ".log-later", "the victim's own bytes\n", false, true},
    });
    // The FPL mark's temporary, planted while its mark is missing, and the intake's own
    // files: the copy of the document in hand and the pending documents.
    runWith({
        {fplMark + ".new", victim + ".fpl-new"},
        {Sandbox::kPidFile, victim + ".pid"},
        {Sandbox::kTempFile, victim + ".temp"},
        // Read through, it would be taken in as a third indication.
        {Sandbox::kPendingFile, victim + ".pending",
         Sandbox::framed(readFile(std::string(ORVIND_TEST_DATA) + "/intake/alert.xml"))},
    });
}
