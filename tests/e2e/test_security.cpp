#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The modes of the daemon's files (what another user on the host may open), and what a
// link planted in the daemon's folders can do to the files it points to.

namespace {

const std::string kVictim = "/opt/victim";
const std::string kVictimBytes = "the victim's own bytes\n";

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
    const std::string count = std::to_string(rows);
    return Sandbox::waitUntil([&] {
        return Sandbox::exists(Sandbox::kDatabase) &&
               Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") ==
                   "1" &&
               Sandbox::queryValue("select count(*) from indication where Status=1") == count;
    });
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
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
    umask(old);
    raiseOne();
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();

    EXPECT_EQ(Sandbox::countLog("[info] Narrowed the mode of /var/log/vexa/orvind from 0666 to "
                                "0640."),
              1u);
    EXPECT_EQ(Sandbox::countLog("[info] Narrowed the mode of /opt/vexa/orvind/fpl.log from 0644 "
                                "to 0600."),
              1u);
    struct Case {
        std::string path;
        mode_t mode;
    } cases[] = {
        {Sandbox::kFifo, 0600},
        {Sandbox::kTempFile, 0600},
        {Sandbox::kDatabase, 0600},
        {Sandbox::kFplMark, 0600},
        {Sandbox::kHalcyonMark, 0600},
        {Sandbox::kPidFile, 0644},
        {Sandbox::kLogFile, 0640},
        // The documents not yet handled are the intake's, in a file of their own.
        {Sandbox::kPendingFile, 0600},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(modeOf(c.path), c.mode) << c.path << " is " << std::oct << modeOf(c.path);
    }
    for (const char* more : {"-wal", "-shm", "-journal"}) {
        const std::string path = std::string(Sandbox::kDatabase) + more;
        if (Sandbox::exists(path)) {
            EXPECT_EQ(modeOf(path), 0600u) << path;
        }
    }
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    // A log made by the daemon belongs to the group adm, where there is one.
    unlink(Sandbox::kLogFile);
    umask(0);
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

// A link planted at one of the daemon's paths, pointing to a victim file (or to
// nothing). The victim must come out unchanged, byte for byte.
struct Planted {
    std::string path;
    std::string victim;
    // What the victim holds: something the daemon would act on if it read it.
    std::string content = kVictimBytes;
    bool dangling = false;
};

std::string markBytes(int id) {
    return std::string(reinterpret_cast<const char*>(&id), sizeof id);
}

void plant(const Planted& link) {
    if (!link.dangling) {
        writeFile(link.victim, link.content);
    }
    ASSERT_EQ(symlink(link.victim.c_str(), link.path.c_str()), 0) << link.path;
}

void checkUntouched(const Planted& link, bool replantedLater) {
    if (link.dangling) {
        EXPECT_FALSE(Sandbox::exists(link.victim))
            << link.path << ": a dangling link made " << link.victim;
    } else {
        EXPECT_EQ(readFile(link.victim), link.content) << link.path << " was written through";
    }
    struct stat st;
    if (!replantedLater && lstat(link.path.c_str(), &st) == 0) {
        EXPECT_FALSE(S_ISLNK(st.st_mode)) << link.path << ": the link is still in the way";
    }
}

// Runs the daemon with the links planted, two indications through it, and stops it.
void runWith(const std::vector<Planted>& links, const std::vector<Planted>& whileRunning = {}) {
    Sandbox sb;
    for (const auto& link : links) {
        plant(link);
    }
    sb.startDaemon();
    for (const auto& link : whileRunning) {
        ASSERT_EQ(rename(link.path.c_str(), (link.path + ".old").c_str()), 0) << link.path;
        plant(link);
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
        bool replanted = false;
        for (const auto& later : whileRunning) {
            replanted = replanted || later.path == link.path;
        }
        checkUntouched(link, replanted);
    }
    for (const auto& link : whileRunning) {
        EXPECT_EQ(readFile(link.victim), link.content) << link.path << " was written through";
    }
}

} // namespace

TEST(DaemonLinks, PlantedLinksAreNeitherWrittenThroughNorRead) {
    const std::string fplMark = Sandbox::kFplMark;
    const std::string halcyonMark = Sandbox::kHalcyonMark;
    runWith(
        {
            {Sandbox::kFifo, kVictim + ".pipe"},
            // Read through, it would pass row 1 over for the FPL.
            {fplMark, kVictim + ".fpl", markBytes(1)},
            {halcyonMark + ".new", kVictim + ".halcyon-new"},
            {Sandbox::kLogFile, kVictim + ".log"},
            {Sandbox::kPidFile, kVictim + ".pid", "", true},
        },
        {{Sandbox::kLogFile, kVictim + ".log-later"}});
    // The FPL mark's temporary, planted while its mark is missing.
    // The FPL mark's temporary, planted while its mark is missing, and the intake's own
    // files: the copy of the document in hand and the pending documents.
    runWith({
        {fplMark + ".new", kVictim + ".fpl-new"},
        {Sandbox::kPidFile, kVictim + ".pid"},
        {Sandbox::kTempFile, kVictim + ".temp"},
        // Read through, it would be taken in as a third indication.
        {Sandbox::kPendingFile, kVictim + ".pending",
         Sandbox::framed(readFile(std::string(ORVIND_TEST_DATA) + "/intake/alert.xml"))},
    });
}
