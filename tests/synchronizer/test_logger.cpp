#include "logger.h"
#include "logtail.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// One time-stamped line per call with its level, appended to what the file held; a
// message that reaches the bound left by its format (2478 bytes less the format's own
// length) is replaced; nothing is written after close. The entries are those of
// tests/data/logger/lines.expected: an empty message keeps its blank, and a line end in
// a message leaves the prefix on the first line only.
TEST(Logger, WritesOneLinePerCallAppendsAndBoundsItsMessages) {
    TempDir dir;
    writeFile(dir.file("log"), "earlier run\n");
    {
        Logger log(dir.file("log"));
        log.info("started %d", 42);
        log.warn("%s", "careful");
        log.error("failed: %s", "disk");
        log.info("%s", "");
        log.info("%s", "100% done %d %s");
        log.info("first\nsecond");
        log.error("%s", std::string(2477, 'a').c_str());
        log.error("%s", std::string(2478, 'b').c_str());
        log.info("xx%s", std::string(2476, 'c').c_str()); // 2478 long, format of 4: bound 2476
        log.info("%s", std::string(100000, 'd').c_str());
        log.close();
        log.close();
        log.error("after close");
    }
    Logger again(dir.file("log"));
    again.info("two");
    std::string out;
    for (const std::string& entry : logEntries(dir.file("log"))) {
        out += entry + "\n";
    }
    expectGolden(ORVIND_TEST_DATA "/logger/lines.expected", out);
}

// A link is moved aside with a warning, the first line of the new file (the daemon's
// planted links, its mode and rotation by renaming are e2e_test_daemon's). Neither a file
// nor a link (a device such as /dev/null, a pipe): left where it is, given no line.
TEST(Logger, MovesALinkAsideAndLeavesWhatIsNoFileAlone) {
    TempDir dir;
    const std::string path = dir.file("log");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), path.c_str()), 0);
    Logger log(path);
    log.info("first");
    const std::vector<std::string> entries = logEntries(path);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].rfind("[warn] " + path + " was a symbolic link", 0), 0u) << entries[0];
    EXPECT_EQ(entries[1], "[info] first");

    const std::string pipePath = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipePath.c_str(), 0600), 0);
    Logger quiet(pipePath);
    quiet.info("nowhere");
    struct stat st;
    ASSERT_EQ(lstat(pipePath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "not moved aside";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The log on a small filesystem of its own, filled up and then given room again.
TEST(Logger, AFullDiskDropsWholeLinesAndTheCountComesBackWithTheNextLine) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        GTEST_SKIP() << "needs root for a mount namespace: " << strerror(errno);
    }
    TempDir dir;
    ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
    const std::string path = dir.file("log");
    const std::string text(200, 'x');
    {
        Logger log(path);
        log.info("before %s", text.c_str());
        // Everything else the filesystem can hold goes to a filler file.
        writeFile(dir.file("filler"), std::string(64 * 1024, 'f')); // up to the last byte
        // The log's last page still takes a few lines; then lines no longer fit.
        int padded = 0;
        uintmax_t size = 0;
        do {
            size = std::filesystem::file_size(path);
            log.info("pad %03d %s", padded++, text.c_str());
        } while (std::filesystem::file_size(path) > size && padded < 100);
        ASSERT_LT(padded, 100) << "the filesystem never filled up";
        for (int i = 0; i < 6; ++i) {
            log.error("lost %d %s", i, text.c_str());
        }
        EXPECT_EQ(std::filesystem::file_size(path), size) << "nothing torn left behind";
        unlink(dir.file("filler").c_str());
        log.info("back %s", text.c_str());
        log.info("and on");
    }
    const std::vector<std::string> lines = LogTail(path).next();
    umount2(dir.path().c_str(), MNT_DETACH);
    ASSERT_GE(lines.size(), 4u);
    const std::regex stamped(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[(info|warn|error)\] )");
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_search(line, stamped)) << "torn: " << line;
    }
    EXPECT_EQ(lines[lines.size() - 3].substr(21),
              "[warn] 7 log lines could not be written and were dropped: No space left on device");
    EXPECT_EQ(lines[lines.size() - 2].substr(21), "[info] back " + text);
    EXPECT_EQ(lines.back().substr(21), "[info] and on");
    EXPECT_EQ(lines[lines.size() - 4].substr(21, 11), "[info] pad ");
}
