#include "files.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Restores the test's umask whatever happens.
struct Umask {
    explicit Umask(mode_t mask) : old(umask(mask)) {}
    ~Umask() { umask(old); }
    mode_t old;
};

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        clearTestLog();
        writeFile(victim, "victim's bytes\n");
    }
    TempDir dir;
    const std::string victim = dir.file("victim");
    const std::string target = dir.file("owned");
};

} // namespace

TEST_F(Files, CreatesWithTheExactModeWhateverTheUmaskAndNeverThroughALink) {
    for (mode_t mask : {0000, 0022, 0077}) {
        Umask scoped(mask);
        for (mode_t mode : {0600, 0640, 0644}) {
            unlink(target.c_str());
            bool created = false;
            files::Fd fd(files::openOwned(target, O_WRONLY | O_CREAT | O_APPEND, mode, &created));
            ASSERT_TRUE(fd) << files::errorText(errno);
            EXPECT_TRUE(created);
            EXPECT_EQ(modeOf(target), mode) << "umask " << std::oct << mask;
        }
    }
    // An existing file keeps its mode and content.
    chmod(target.c_str(), 0604);
    writeFile(target, "kept");
    bool created = true;
    EXPECT_TRUE(files::openOwned(target, O_RDWR | O_CREAT, 0600, &created));
    EXPECT_FALSE(created);
    EXPECT_EQ(modeOf(target), 0604u);
    EXPECT_EQ(readFile(target), "kept");

    // A link, dangling or not, is neither followed nor replaced.
    for (const std::string& to : {victim, dir.file("nothing")}) {
        unlink(target.c_str());
        ASSERT_EQ(symlink(to.c_str(), target.c_str()), 0);
        EXPECT_FALSE(files::openOwned(target, O_WRONLY | O_CREAT | O_TRUNC, 0600));
        EXPECT_EQ(errno, ELOOP);
        EXPECT_FALSE(fs::exists(dir.file("nothing")));
    }
    EXPECT_EQ(readFile(victim), "victim's bytes\n");
}

TEST_F(Files, ATemporaryIsMadeAnewWhateverWasLeftAtItsPath) {
    const std::string leftovers[] = {"regular", "symlink", "dangling", "hardlink"};
    for (const std::string& leftover : leftovers) {
        unlink(target.c_str());
        if (leftover == "regular") {
            writeFile(target, "old temporary");
        } else if (leftover == "symlink") {
            ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
        } else if (leftover == "dangling") {
            ASSERT_EQ(symlink(dir.file("nothing").c_str(), target.c_str()), 0);
        } else {
            ASSERT_EQ(link(victim.c_str(), target.c_str()), 0);
        }
        Umask scoped(0);
        files::Fd fd(files::createAnew(target, 0600));
        ASSERT_TRUE(fd) << leftover << ": " << files::errorText(errno);
        ASSERT_EQ(files::writeAll(fd.get(), "new", 3), 0);
        EXPECT_EQ(readFile(target), "new") << leftover;
        EXPECT_EQ(modeOf(target), 0600u) << leftover;
        EXPECT_EQ(readFile(victim), "victim's bytes\n") << leftover;
        EXPECT_FALSE(fs::exists(dir.file("nothing"))) << leftover;
    }
    fs::remove(target);
    fs::create_directory(target);
    EXPECT_FALSE(files::createAnew(target, 0600)) << "a folder is not removed";
}

TEST_F(Files, WhatIsNotARegularFileIsMovedAsideWithOneLine) {
    struct Case {
        const char* kind;
        std::function<void()> plant;
    } cases[] = {
        {"symbolic link", [&] { ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0); }},
        {"named pipe", [&] { mkfifo(target.c_str(), 0600); }},
        {"directory", [&] { fs::create_directory(target); }},
    };
    for (const auto& c : cases) {
        clearTestLog();
        c.plant();
        EXPECT_STREQ(files::notRegular(target), c.kind);
        EXPECT_TRUE(files::moveAside(target));
        EXPECT_FALSE(fs::exists(fs::symlink_status(target))) << c.kind;
        auto lines = testLogLines();
        ASSERT_EQ(lines.size(), 1u) << c.kind;
        const std::string start = "[warn] " + target + " was a " + c.kind +
                                  ", not a regular file: moved aside to " + target + ".aside-";
        EXPECT_EQ(lines[0].substr(21, start.size()), start);
        std::string aside = lines[0].substr(21 + start.size() - target.size() - 7);
        EXPECT_TRUE(fs::exists(fs::symlink_status(aside))) << aside;
    }
    EXPECT_EQ(readFile(victim), "victim's bytes\n");

    clearTestLog();
    EXPECT_TRUE(files::moveAside(victim)) << "a regular file stays";
    EXPECT_TRUE(files::moveAside(dir.file("nothing")));
    EXPECT_EQ(files::notRegular(victim), nullptr);
    EXPECT_EQ(readTestLog(), "");
}

TEST_F(Files, WiderModesAreNarrowedWithOneLineAndNarrowerOnesKept) {
    struct Case {
        mode_t before, limit, after;
        const char* line;
    } cases[] = {
        {0644, 0600, 0600, "from 0644 to 0600."},
        {0666, 0640, 0640, "from 0666 to 0640."},
        {0604, 0640, 0600, "from 0604 to 0600."},
        {0600, 0600, 0600, nullptr},
        {0400, 0600, 0400, nullptr},
    };
    for (const auto& c : cases) {
        clearTestLog();
        writeFile(target, "x");
        chmod(target.c_str(), c.before);
        EXPECT_EQ(files::narrowMode(target, c.limit), 0);
        EXPECT_EQ(modeOf(target), c.after) << std::oct << c.before;
        EXPECT_EQ(logEntries(), c.line == nullptr
                                    ? std::vector<std::string>{}
                                    : std::vector<std::string>{"[info] Narrowed the mode of " +
                                                               target + " " + c.line})
            << std::oct << c.before;
    }
    chmod(victim.c_str(), 0666);
    fs::remove(target);
    ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
    EXPECT_EQ(files::narrowMode(target, 0600), ELOOP);
    EXPECT_EQ(modeOf(victim), 0666u) << "never through a link";
    EXPECT_EQ(files::narrowMode(dir.file("nothing"), 0600), 0);
}

TEST_F(Files, ADurableWriteReplacesTheWholeFileOrLeavesItAsItWas) {
    writeFile(target, "old content, longer than the new");
    chmod(target.c_str(), 0644);
    ASSERT_EQ(symlink(victim.c_str(), (target + ".new").c_str()), 0); // a planted temporary
    {
        Umask scoped(0);
        ASSERT_EQ(files::writeDurably(target, "new", 3, 0600), 0);
    }
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(target + ".new")));
    EXPECT_EQ(readFile(victim), "victim's bytes\n");

    fs::create_directory(target + ".new"); // the temporary cannot be made
    EXPECT_EQ(files::writeDurably(target, "newer", 5, 0600), EISDIR);
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(files::writeDurably(dir.file("no/such/file"), "x", 1, 0600), ENOENT);
}
