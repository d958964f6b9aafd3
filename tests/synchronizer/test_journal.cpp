#include "journal.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The journal takes bytes written and spliced from a pipe, reads them back, and is set
// aside for compaction; a journal that cannot be opened keeps what it was given and
// writes it once it can.
TEST(Journal, AppendsSplicesReadsAndIsSetAside) {
    TempDir dir;
    clearTestLog();
    const std::string folder = dir.file("later");
    Journal journal(folder + "/indications.pending");
    EXPECT_TRUE(journal.open(false)) << "a missing journal is an empty one";
    EXPECT_EQ(journal.size(), 0u);
    EXPECT_FALSE(journal.append("one\n", 4));
    EXPECT_TRUE(journal.failing());
    EXPECT_TRUE(journal.holdsUnwritten());
    EXPECT_EQ(countEntries("[error] Unable to open the journal " + folder +
                           "/indications.pending: No such file or directory; what follows "
                           "stays in the pipe."),
              1u);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(Sandbox::waitUntil([&] {
        journal.retry(-1, true);
        return !journal.holdsUnwritten();
    }));
    EXPECT_FALSE(journal.failing());

    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    ASSERT_EQ(write(ends[1], "two\n", 4), 4);
    EXPECT_EQ(journal.splice(ends[0], 65536), 4);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(journal.size(), 8u);
    EXPECT_EQ(journal.sync(8), 0);
    char bytes[16];
    ASSERT_EQ(journal.read(2, bytes, sizeof bytes), 6);
    EXPECT_EQ(std::string(bytes, 6), "e\ntwo\n");

    ASSERT_TRUE(journal.setAside());
    EXPECT_EQ(journal.size(), 0u);
    EXPECT_EQ(readFile(journal.setAsidePath()), "one\ntwo\n");
    EXPECT_FALSE(Sandbox::exists(journal.path()));
    EXPECT_TRUE(journal.append("three\n", 6)) << "the next byte makes a new journal";
    EXPECT_EQ(readFile(journal.path()), "three\n");
}

// The stray file keeps at most 16 MiB: past that its oldest half goes, with a line.
TEST(Journal, StrayFileIsBounded) {
    TempDir dir;
    clearTestLog();
    const std::string stray = dir.file("indications.stray");
    const std::string old(12u << 20, 'o');
    EXPECT_EQ(keep_stray(stray, old, "old bytes"), 0u);
    const std::string fresh(6u << 20, 'n');
    EXPECT_EQ(keep_stray(stray, fresh, "new bytes"), (18u << 20) / 2);
    EXPECT_EQ(readFile(stray), std::string(3u << 20, 'o') + fresh) << "the newest half stays";
    EXPECT_EQ(countEntries("[warn] The stray file " + stray +
                           " reached 16 MiB: its oldest 9437184 bytes are dropped."),
              1u);
}
