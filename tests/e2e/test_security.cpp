#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <ostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// What another user on the host, and a link planted in the daemon's folders, can do
// to the daemon's files while it runs.

namespace {

const uid_t kNobody = 65534;
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

// Runs `body` in a child process as the user nobody; its result (-1 when it failed).
int asNobody(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            _exit(255);
        }
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// What opening `path` with `flags` as nobody answers: 0, or the errno value.
int openErrorAsNobody(const std::string& path, int flags) {
    return asNobody([&] {
        int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 ? 0 : errno;
    });
}

} // namespace

TEST(DaemonPrivacy, AnotherUserCanNeitherOpenTheDaemonsFilesNorTakeIndications) {
    Sandbox sb;
    sb.startDaemon();
    raiseOne();
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();

    struct Case {
        const char* path;
        int flags;
    } cases[] = {
        {Sandbox::kFifo, O_RDONLY},
        {Sandbox::kFifo, O_WRONLY},
        {Sandbox::kDatabase, O_RDONLY},
        {Sandbox::kTempFile, O_RDONLY},
        {Sandbox::kFplMark, O_RDONLY},
        {Sandbox::kHalcyonMark, O_RDONLY},
        {Sandbox::kLogFile, O_RDONLY},
        {Sandbox::kLogFile, O_WRONLY},
        {Sandbox::kPidFile, O_WRONLY},
        // The documents not yet handled are the intake's, in a file of their own.
        {Sandbox::kPendingFile, O_RDONLY},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Sandbox::exists(c.path)) << c.path;
        EXPECT_EQ(openErrorAsNobody(c.path, c.flags), EACCES)
            << c.path << (c.flags == O_RDONLY ? " for reading" : " for writing");
    }
    EXPECT_EQ(openErrorAsNobody(Sandbox::kPidFile, O_RDONLY), 0) << "read by others";

    // A reader as nobody that keeps trying the pipe while indications flow.
    int stop[2];
    ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
    pid_t reader = fork();
    if (reader == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            _exit(255);
        }
        close(stop[1]); // so that the parent's close ends the loop
        size_t captured = 0;
        struct pollfd until = {stop[0], POLLIN, 0};
        for (int tries = 0; tries < 60000 && poll(&until, 1, 1) == 0; ++tries) {
            int fd = open(Sandbox::kFifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                char buffer[4096];
                ssize_t got;
                while ((got = read(fd, buffer, sizeof buffer)) > 0) {
                    captured += static_cast<size_t>(got);
                }
                close(fd);
                captured += 1; // an open alone counts
            }
        }
        _exit(captured == 0 ? 0 : 1);
    }
    close(stop[0]);
    const int flowing = 8;
    for (int i = 0; i < flowing; ++i) {
        raiseOne();
    }
    bool forwarded = waitForwarded(1 + flowing);
    close(stop[1]);
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_TRUE(forwarded) << Sandbox::log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reader captured something";
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication"), std::to_string(1 + flowing));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

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
        {Sandbox::kFifo, 0600},    {Sandbox::kTempFile, 0600},    {Sandbox::kDatabase, 0600},
        {Sandbox::kFplMark, 0600}, {Sandbox::kHalcyonMark, 0600}, {Sandbox::kPidFile, 0644},
        {Sandbox::kLogFile, 0640},
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
    runWith({{fplMark + ".new", kVictim + ".fpl-new"}, {Sandbox::kPidFile, kVictim + ".pid"}});
}

// The intake's own files: the copy of the document in hand and the pending documents.
TEST(DaemonLinks, PlantedLinksAtTheIntakesFilesAreNeitherWrittenThroughNorRead) {
    runWith({
        {Sandbox::kTempFile, kVictim + ".temp"},
        // Read through, it would be taken in as a third indication.
        {Sandbox::kPendingFile, kVictim + ".pending",
         Sandbox::framed(readFile(std::string(ORVIND_TEST_DATA) + "/intake/alert.xml"))},
    });
}

// The log's folder on a filesystem of its own that fills up and gets room again.
TEST(DaemonLog, AFullDiskDropsWholeLinesAndTheirCountComesBackWithTheRoom) {
    Sandbox sb;
    const std::string folder = "/var/log/vexa";
    ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k"), 0)
        << strerror(errno);
    sb.startDaemon();
    const std::string filler = folder + "/filler";
    {
        int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(512, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        while (write(fd, "f", 1) > 0) {
        }
        close(fd);
        // The log's last page takes short lines of the right form until it is full too,
        // so that none of the daemon's lines (longer than these) fits any more.
        fd = open(Sandbox::kLogFile, O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::string pad = "[2026-01-01 00:00:00][info] p\n";
        ssize_t done;
        while ((done = write(fd, pad.data(), pad.size())) == static_cast<ssize_t>(pad.size())) {
        }
        if (done > 0) {
            ASSERT_EQ(ftruncate(fd, lseek(fd, 0, SEEK_CUR) - done), 0);
        }
        close(fd);
    }
    raiseOne();
    raiseOne();
    ASSERT_TRUE(waitForwarded(2));
    unlink(filler.c_str());
    raiseOne();
    ASSERT_TRUE(waitForwarded(3));
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    const std::string droppedText =
        " log lines could not be written and were dropped: No space left on device";
    int count = 0;
    auto entries = Sandbox::logEntries();
    for (const auto& entry : entries) {
        int n = 0;
        if (sscanf(entry.c_str(), "[warn] %d ", &n) == 1 &&
            entry == "[warn] " + std::to_string(n) + droppedText) {
            count = n;
        }
    }
    std::istringstream lines(Sandbox::log());
    for (std::string line; std::getline(lines, line);) {
        // A message may end in a newline of its own (an empty line); a torn line would
        // run into the next one's time stamp.
        size_t stamps = 0;
        for (size_t at = 0; (at = line.find("][", at)) != std::string::npos; ++at) {
            stamps += line.compare(at, 7, "][info]") == 0 || line.compare(at, 7, "][warn]") == 0 ||
                      line.compare(at, 8, "][error]") == 0;
        }
        EXPECT_TRUE(line.empty() || (line[0] == '[' && line.find("][") == 20 && stamps == 1))
            << "torn: " << line;
    }
    // Each indication stored and forwarded logs several lines.
    EXPECT_GT(count, 4) << Sandbox::log();
    EXPECT_EQ(Sandbox::countLog("[info] fetch number 3 indication VEXA_RAID:1 from database"), 1u)
        << "lines come back once there is room";
    EXPECT_EQ(entries.back(), "[info] new thread dies.");
}
