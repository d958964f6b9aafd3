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

// The permission bits of `path` (or the bits of `mask`), 0 when there is nothing.
mode_t modeOf(const std::string& path, mode_t mask = 07777) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & mask : 0;
}

// A link planted at one of the daemon's paths, pointing to a victim file (or to nothing)
// that holds what the daemon would act on if it read it. The victim must come out
// unchanged, byte for byte, and the link must be out of the way.
struct Planted {
    std::string path;
    std::string victim;
    std::string content = "the victim's own bytes\n"; // none: a link to nothing
    bool whileRunning = false;
};

// Runs the daemon under umask 0 with the links planted (before it starts, or once it
// runs), two indications through it, and stops it. Every file the daemon made has its own
// mode, whatever the umask.
void runWith(const std::vector<Planted>& links) {
    Sandbox sb;
    auto plant = [](const Planted& link) {
        if (!link.content.empty()) {
            writeFile(link.victim, link.content);
        }
        ASSERT_EQ(symlink(link.victim.c_str(), link.path.c_str()), 0) << link.path;
    };
    for (const auto& link : links) {
        if (!link.whileRunning) {
            plant(link);
        }
    }
    const mode_t old = umask(0);
    sb.startDaemon();
    umask(old);
    for (const auto& link : links) {
        if (link.whileRunning) {
            ASSERT_EQ(rename(link.path.c_str(), (link.path + ".old").c_str()), 0) << link.path;
            plant(link);
        }
    }
    Sandbox::raiseIndications(2);
    EXPECT_TRUE(Sandbox::waitUntil([] {
        return Sandbox::exists(Sandbox::kDatabase) &&
               Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") ==
                   "1" &&
               Sandbox::queryValue("select count(*) from indication where Status=1") == "2";
    })) << Sandbox::log();
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
    // The log is 0640 and belongs to the group adm where there is one (unless a link
    // planted while the daemon runs still stands in its place).
    struct stat st;
    if (lstat(Sandbox::kLogFile, &st) == 0 && !S_ISLNK(st.st_mode)) {
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        struct group* adm = getgrnam("adm");
        EXPECT_TRUE(adm == nullptr || st.st_gid == adm->gr_gid);
    }
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication"), "2")
        << "nothing read in from a victim";
    EXPECT_EQ(Sandbox::fplRecords().size(), 2u) << "no row passed over for a mark read through";
    EXPECT_EQ(Sandbox::bmcCommands().size(), 2u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    for (const auto& link : links) {
        if (link.content.empty()) {
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
        {Sandbox::kPidFile, victim + ".pid", ""},
        {Sandbox::kLogFile, victim + ".log-later", "the victim's own bytes\n", true},
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
