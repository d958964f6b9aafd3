#include "logger.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::string content = readFile(path);
    for (size_t start = 0, end; start < content.size(); start = end + 1) {
        end = std::min(content.find('\n', start), content.size());
        lines.push_back(content.substr(start, end - start));
    }
    return lines;
}

const std::regex kPrefix(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[(info|warn|error)\] )");

} // namespace

TEST(Logger, WritesOneTimeStampedLinePerCallWithItsLevel) {
    TempDir dir;
    Logger log(dir.file("log"));
    log.info("started %d", 42);
    log.warn("%s", "careful");
    log.error("failed: %s", "disk");
    log.info("%s", "");
    log.info("%s", "100% done %d %s");
    log.info("first\nsecond");

    auto lines = linesOf(dir.file("log"));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(std::regex_search(lines[0], kPrefix)) << lines[0];
    EXPECT_EQ(lines[0].substr(21), "[info] started 42");
    EXPECT_EQ(lines[1].substr(21), "[warn] careful");
    EXPECT_EQ(lines[2].substr(21), "[error] failed: disk");
    EXPECT_EQ(lines[3].substr(21), "[info] ") << "an empty message still ends with the blank";
    EXPECT_EQ(lines[4].substr(21), "[info] 100% done %d %s");
    EXPECT_EQ(lines[5].substr(21), "[info] first");
    EXPECT_EQ(lines[6], "second") << "only the first physical line carries the prefix";
}

TEST(Logger, ReplacesMessagesThatReachTheBoundLeftByTheFormat) {
    TempDir dir;
    Logger log(dir.file("log"));
    const std::string overflow = "<<< logger message over max len, cannot log this message! >>>";
    log.error("%s", std::string(2477, 'a').c_str());
    log.error("%s", std::string(2478, 'b').c_str());
    log.info("xx%s", std::string(2476, 'c').c_str()); // 2478 long, format of 4: bound 2476
    log.info("%s", std::string(100000, 'd').c_str());

    auto lines = linesOf(dir.file("log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].substr(21) == "[error] " + std::string(2477, 'a'));
    EXPECT_EQ(lines[1].substr(21), "[error] " + overflow) << "the overflow keeps the call's level";
    EXPECT_EQ(lines[2].substr(21), "[info] " + overflow);
    EXPECT_EQ(lines[3].substr(21), "[info] " + overflow);
}

TEST(Logger, AppendsToAnExistingFileAndWritesNothingAfterClose) {
    TempDir dir;
    writeFile(dir.file("log"), "earlier run\n");
    {
        Logger log(dir.file("log"));
        log.info("one");
        log.close();
        log.close();
        log.error("after close");
    }
    Logger again(dir.file("log"));
    again.info("two");
    auto lines = linesOf(dir.file("log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier run");
    EXPECT_EQ(lines[1].substr(21), "[info] one");
    EXPECT_EQ(lines[2].substr(21), "[info] two");

    Logger nowhere(dir.file("missing/log")); // cannot be opened: everything is dropped
    nowhere.error("nowhere to go %d", 1);
    nowhere.close();
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST(Logger, LinesFromSeveralThreadsNeverInterleave) {
    TempDir dir;
    Logger log(dir.file("log"));
    const int perThread = 2000;
    auto writer = [&log](char c) {
        std::string text(300, c);
        for (int i = 0; i < perThread; ++i) {
            log.info("%s", text.c_str());
        }
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();

    auto lines = linesOf(dir.file("log"));
    ASSERT_EQ(lines.size(), 2u * perThread);
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_search(line, kPrefix)) << line;
        std::string body = line.substr(28);
        ASSERT_EQ(body.size(), 300u);
        ASSERT_EQ(body.find_first_not_of(body[0]), std::string::npos) << line;
    }
}
