#include "logid.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

TEST_F(Logid, FirstReadCreatesAnEmptyFileAnswersZeroAndLogsNothing) {
    EXPECT_EQ(GetLogid(path.c_str()), 0);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(readTestLog(), "");
}

TEST_F(Logid, ReadsTheFirstFourBytesInHostOrder) {
    writeFile(path, bytesOf(17));
    EXPECT_EQ(GetLogid(path.c_str()), 17);
    ASSERT_EQ(testLogLines().size(), 1u);
    EXPECT_EQ(testLogLines()[0].substr(21), "[info] Last Log id: 17");

    writeFile(path, bytesOf(-5) + "trailing junk");
    EXPECT_EQ(GetLogid(path.c_str()), -5);
}

TEST_F(Logid, AShortFileCountsAsNoMark) {
    for (int length = 1; length <= 3; ++length) {
        writeFile(path, std::string(length, '\x7f'));
        EXPECT_EQ(GetLogid(path.c_str()), 0) << length;
    }
    EXPECT_EQ(readTestLog(), "");
}

TEST_F(Logid, WritingLeavesExactlyFourBytesAndNoTemporaryFile) {
    writeFile(path, bytesOf(3) + std::string(20, 'x'));
    SetLogid(path.c_str(), 42);
    EXPECT_EQ(readFile(path), bytesOf(42));
    EXPECT_EQ(GetLogid(path.c_str()), 42);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST_F(Logid, ATemporaryFileLeftByACrashDoesNotDisturbReadingOrWriting) {
    SetLogid(path.c_str(), 7);
    writeFile(path + ".new", "\x01"); // a crash cut this write short
    EXPECT_EQ(GetLogid(path.c_str()), 7);
    SetLogid(path.c_str(), 8);
    EXPECT_EQ(readFile(path), bytesOf(8));
}

TEST_F(Logid, AMissingFolderIsLoggedAndReadsAsZero) {
    std::string missing = dir.file("no/such/zu.log");
    EXPECT_EQ(GetLogid(missing.c_str()), 0);
    SetLogid(missing.c_str(), 9);
    auto lines = testLogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(21), "[error] Error opening log: No such file or directory for read");
    EXPECT_EQ(lines[1].substr(21), "[error] Error opening log file: No such file or directory");
}

TEST_F(Logid, AFailedWriteKeepsTheOldMark) {
    SetLogid(path.c_str(), 11);
    std::filesystem::create_directory(path + ".new"); // the temporary file cannot be made
    SetLogid(path.c_str(), 12);
    EXPECT_EQ(readFile(path), bytesOf(11));
    EXPECT_NE(readTestLog().find("[error] Error opening log file: Is a directory"),
              std::string::npos);
}
