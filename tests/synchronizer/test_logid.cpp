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

TEST_F(Logid, ReadsTheFirstFourBytesInHostOrderAndZeroWithoutThem) {
    EXPECT_EQ(GetLogid(path.c_str()), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 0u) << "the first read creates it empty";
    for (int length = 1; length <= 3; ++length) {
        writeFile(path, std::string(length, '\x7f'));
        EXPECT_EQ(GetLogid(path.c_str()), 0) << "short file of " << length;
    }
    EXPECT_EQ(readTestLog(), "") << "no mark, no line";

    writeFile(path, bytesOf(-5) + "trailing junk");
    EXPECT_EQ(GetLogid(path.c_str()), -5);
    EXPECT_EQ(testLogLines().at(0).substr(21), "[info] Last Log id: -5");
}

TEST_F(Logid, WritesExactlyFourBytesThroughATemporaryFile) {
    writeFile(path, bytesOf(3) + std::string(20, 'x'));
    writeFile(path + ".new", "\x01"); // left by a crash that cut a write short
    EXPECT_EQ(GetLogid(path.c_str()), 3);
    SetLogid(path.c_str(), 42);
    EXPECT_EQ(readFile(path), bytesOf(42));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    std::filesystem::create_directory(path + ".new"); // the temporary file cannot be made
    SetLogid(path.c_str(), 43);
    EXPECT_EQ(readFile(path), bytesOf(42)) << "a failed write keeps the old mark";
    EXPECT_NE(readTestLog().find("[error] Error opening log file: Is a directory"),
              std::string::npos);
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
