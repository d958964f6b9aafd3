#include "logid.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string bytesOf(int id) {
    return std::string(reinterpret_cast<const char*>(&id), sizeof id);
}

class Logid : public ::testing::Test {
protected:
    void SetUp() override { clearTestLog(); }
    TempDir dir;
    std::string path = dir.file("fpl.log");
};

} // namespace

TEST_F(Logid, ReadsTheFirstFourBytesInHostOrderAndZeroWithoutThem) {
    EXPECT_EQ(GetLogid(path.c_str()), 0);
    EXPECT_EQ(readFile(path), bytesOf(0)) << "the first read makes it, holding 0";
    for (int length = 1; length <= 3; ++length) {
        writeFile(path, std::string(length, '\x7f'));
        EXPECT_EQ(GetLogid(path.c_str()), 0) << "short file of " << length;
        EXPECT_EQ(readFile(path), bytesOf(0)) << "a short file is made anew";
    }
    EXPECT_EQ(GetLogid(path.c_str()), 0) << "a mark made anew";
    EXPECT_EQ(readTestLog(), "") << "no row handed over yet, no line";

    writeFile(path, bytesOf(-5) + "trailing junk");
    EXPECT_EQ(GetLogid(path.c_str()), -5);
    EXPECT_EQ(logEntries().at(0), "[info] Last Log id: -5");
}

TEST_F(Logid, WritesExactlyFourBytesWithModeSixHundredWhateverWasThere) {
    const mode_t old = umask(0);
    writeFile(path, bytesOf(3) + std::string(20, 'x'));
    writeFile(path + ".new", "\x01"); // left by a crash that cut a write short
    EXPECT_EQ(GetLogid(path.c_str()), 3);
    SetLogid(path.c_str(), 42);
    EXPECT_EQ(readFile(path), bytesOf(42));
    EXPECT_FALSE(fs::exists(path + ".new"));
    SetLogid(path.c_str(), 43); // in place now
    EXPECT_EQ(readFile(path), bytesOf(43));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
    fs::remove(path);
    SetLogid(path.c_str(), 44);
    EXPECT_EQ(readFile(path), bytesOf(44));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
    umask(old);

    writeFile(path, bytesOf(42) + "x");
    fs::create_directory(path + ".new"); // the temporary file cannot be made
    SetLogid(path.c_str(), 45);
    EXPECT_EQ(readFile(path), bytesOf(42) + "x") << "a failed write keeps the old mark";
    EXPECT_NE(readTestLog().find("[error] Error opening log file: Is a directory"),
              std::string::npos);
}

TEST_F(Logid, ALinkIsNeitherReadNorWrittenThrough) {
    const std::string victim = dir.file("victim");
    writeFile(victim, bytesOf(77));
    // The mark itself a link: moved aside, the mark starts again at 0.
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    EXPECT_EQ(GetLogid(path.c_str()), 0);
    EXPECT_EQ(readFile(path), bytesOf(0));
    EXPECT_FALSE(fs::is_symlink(path));
    fs::remove(path);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    SetLogid(path.c_str(), 5);
    EXPECT_EQ(readFile(path), bytesOf(5));
    EXPECT_FALSE(fs::is_symlink(path));
    // A link (or a second hard link) at the temporary's path.
    fs::remove(path);
    ASSERT_EQ(symlink(victim.c_str(), (path + ".new").c_str()), 0);
    SetLogid(path.c_str(), 6);
    EXPECT_EQ(readFile(path), bytesOf(6));
    ASSERT_EQ(link(victim.c_str(), (path + ".new").c_str()), 0);
    writeFile(path, "");
    SetLogid(path.c_str(), 7);
    EXPECT_EQ(readFile(path), bytesOf(7));
    EXPECT_EQ(readFile(victim), bytesOf(77)) << "the victim is unchanged";
    EXPECT_EQ(testLogLines().size(), 2u) << readTestLog() << "one line per link moved aside";
}

TEST_F(Logid, AMissingFolderIsLoggedAndReadsAsZero) {
    std::string missing = dir.file("no/such/zu.log");
    EXPECT_EQ(GetLogid(missing.c_str()), 0);
    SetLogid(missing.c_str(), 9);
    EXPECT_EQ(logEntries(), (std::vector<std::string>{
                                "[error] Error opening log: No such file or directory for read",
                                "[error] Error opening log file: No such file or directory"}));
}

// A child updates the mark as fast as it can, telling the parent each id once it is
// written; the parent kills it at a random moment. The mark then holds the last id
// told or the one being written, never anything else, and always 4 bytes.
TEST_F(Logid, AKillAtAnyMomentLeavesTheOldOrTheNewId) {
    SetLogid(path.c_str(), 0);
    std::mt19937 random(std::random_device{}());
    int last = 0;
    for (int round = 0; round < 40; ++round) {
        int pipefd[2];
        ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipefd[0]);
            for (int id = last + 1;; ++id) {
                SetLogid(path.c_str(), id);
                if (write(pipefd[1], &id, sizeof id) != sizeof id) {
                    _exit(1);
                }
            }
        }
        close(pipefd[1]);
        // Let it run for up to 20 ms, reading what it tells.
        usleep(std::uniform_int_distribution<int>(0, 20000)(random));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        int told = last, id = 0;
        while (read(pipefd[0], &id, sizeof id) == sizeof id) {
            told = id;
        }
        close(pipefd[0]);
        std::string bytes = readFile(path);
        ASSERT_EQ(bytes.size(), 4u) << "round " << round;
        int mark = 0;
        memcpy(&mark, bytes.data(), sizeof mark);
        ASSERT_TRUE(mark == told || mark == told + 1)
            << "round " << round << ": mark " << mark << " after " << told << " was told";
        last = mark;
    }
    EXPECT_GT(last, 0) << "the child never got to write";
    EXPECT_FALSE(fs::exists(path + ".new"));
}
