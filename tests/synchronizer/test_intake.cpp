#include "intake.h"
#include "journal.h"
#include "sandbox.h"
#include "sfcbclient.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

const auto framed = Sandbox::framed;
const auto received = Sandbox::received;

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

// The log's entries that contain `word`.
std::vector<std::string> entriesWith(const std::string& word) {
    std::vector<std::string> result;
    for (const std::string& entry : logEntries()) {
        if (entry.find(word) != std::string::npos) {
            result.push_back(entry);
        }
    }
    return result;
}

bool logged(const std::string& text) {
    return readTestLog().find(text) != std::string::npos;
}

std::string recovered(const IntakePaths& paths, int documents) {
    return "[info] Documents recovered from " + paths.pending + ": " + std::to_string(documents) +
           ".";
}

struct Folder {
    TempDir dir;
    IntakePaths paths;
    SfcbClient client;
    Folder() {
        paths.fifo = dir.file("indications.tmp");
        paths.temp = dir.file("fifo.tmp");
        paths.pending = dir.file("indications.pending");
        paths.stray = dir.file("indications.stray");
        paths.database = dir.file("indications.db");
        clearTestLog();
    }

    // Runs an intake on the folder until `done` holds; false when it never does.
    bool runUntil(const std::function<bool()>& done) {
        Intake intake(client, paths);
        if (intake.openFifo() != FifoState::Ready) {
            return false;
        }
        IntakeEnd end = IntakeEnd::PipeFailed;
        JoiningThread loop([&] { end = intake.run(); }, [&] { intake.stop(); });
        const bool held = Sandbox::waitUntil(done);
        intake.stop();
        loop.join();
        EXPECT_EQ(end, IntakeEnd::Stopped);
        return held;
    }
};

// Writes into the pipe through a write-only end that does not wait for a reader.
void writeNonBlocking(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

} // namespace

// A pipe found at start is kept with what it holds, and made private again.
TEST(CreateFifo, KeepsAPipeFoundAndMakesItPrivate) {
    Folder f;
    struct stat before, after;
    ASSERT_EQ(mkfifo(f.paths.fifo.c_str(), 0600), 0);
    ASSERT_EQ(chmod(f.paths.fifo.c_str(), 0644), 0);
    ASSERT_EQ(lstat(f.paths.fifo.c_str(), &before), 0);
    ASSERT_EQ(create_fifo(f.paths), 1);
    ASSERT_EQ(lstat(f.paths.fifo.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0600u);
}

// Documents found at the pipe's path are taken in before the pipe; what is left in the
// pipe at shutdown is saved into the journal, and the next start takes in only that.
TEST(Intake, TakesInTheJournalFirstAndSavesThePipeAtShutdown) {
    Folder f;
    const std::string alert = framed(sample("alert.xml"));
    const std::string disk = framed(sample("disk.xml"));
    const std::string piped = framed("from the pipe");
    const std::string unfinished = "two, unfinished";
    writeFile(f.paths.fifo, alert + disk); // left by the broker while the daemon was stopped
    {
        Intake intake(f.client, f.paths);
        ASSERT_EQ(intake.openFifo(), FifoState::Ready);
        writeNonBlocking(f.paths.fifo, piped);
        JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
        ASSERT_TRUE(Sandbox::waitUntil([&] { return countEntries(received(piped.size())) > 0; }));
        intake.stop();
        EXPECT_EQ(readFile(f.paths.temp), "from the pipe\n") << "the trailer line is not copied";
        // Written after the intake stopped: still in the pipe.
        writeNonBlocking(f.paths.fifo, framed("one") + unfinished);
        ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
        intake.saveUnhandled(0);
        loop.join();
    }
    EXPECT_EQ(entriesWith("Received"),
              (std::vector<std::string>{received(alert.size()), received(disk.size()),
                                        received(piped.size())}));
    EXPECT_EQ(countEntries(recovered(f.paths, 2)), 1u);
    EXPECT_EQ(readFile(f.paths.pending), piped + framed("one") + unfinished);

    clearTestLog();
    EXPECT_TRUE(f.runUntil([&] { return countEntries(recovered(f.paths, 2)) > 0; }));
    EXPECT_EQ(entriesWith("Received"), (std::vector<std::string>{received(framed("one").size()),
                                                                 received(unfinished.size())}));
    EXPECT_EQ(readFile(f.paths.temp), unfinished);
}

// The position in the journal up to which documents are stored decides what a start
// takes in again: nothing twice, nothing lost, whatever the journal holds.
TEST(Intake, TakesInWhatLiesBeyondTheStoredPosition) {
    const std::string a = framed(sample("alert.xml"));
    const std::string b = framed(sample("disk.xml"));
    const long long afterA = static_cast<long long>(a.size());
    // What, the journal, the stored position (-1: a new database), the documents taken in
    // and a text of the log.
    using Case =
        std::tuple<const char*, std::string, long long, std::vector<std::string>, const char*>;
    const Case cases[] = {
        {"a new database: all of it", a + b, -1, {received(a.size()), received(b.size())}, ""},
        {"the first stored", a + b, afterA, {received(b.size())}, ""},
        {"a kill while appending", a + b.substr(0, 300), afterA, {received(300)}, ""},
        {"garbage after it", a + "garbage\n" + b, afterA, {received(b.size())}, "Passed over 8"},
        {"beyond the end: all of it", a, 2 * afterA, {received(a.size())}, "beyond the end"},
    };
    for (const auto& [what, journal, position, taken, line] : cases) {
        Folder f;
        writeFile(f.paths.pending, journal);
        if (position >= 0) {
            SQLiteDB store(f.paths.database, f.paths.temp);
            store.intakePosition();
            ASSERT_EQ(store.commitBatch(SQLiteDB::Batch(), position), SQLITE_OK);
        }
        const std::string done = recovered(f.paths, static_cast<int>(taken.size()));
        ASSERT_TRUE(f.runUntil([&] { return countEntries(done) > 0; })) << what;
        EXPECT_EQ(entriesWith("Received"), taken) << what;
        EXPECT_TRUE(logged(line)) << what;
        // Bytes of no document, and a document cut short by the kill, are kept as they are.
        const std::string kept = journal.find("garbage") != std::string::npos ? "garbage\n"
                                 : taken == std::vector<std::string>{received(300)}
                                     ? b.substr(0, 300)
                                     : "";
        EXPECT_EQ(Sandbox::exists(f.paths.stray) ? readFile(f.paths.stray) : "", kept)
            << what << ": what belongs to no document is kept";
        SQLiteDB store(f.paths.database, f.paths.temp);
        EXPECT_EQ(store.intakePosition(), 0u) << what << ": compacted once all is stored";
        EXPECT_FALSE(Sandbox::exists(f.paths.pending)) << what;
    }
}

TEST(Intake, KeepsDocumentsWhileTheyCannotBeStored) {
    Folder f;
    const std::string doc = framed(sample("alert.xml"));
    writeFile(f.paths.pending, doc + doc);
    const std::string folder = f.dir.file("later");
    f.paths.temp = folder + "/fifo.tmp";
    f.paths.database = folder + "/indications.db";
    Intake intake(f.client, f.paths);
    ASSERT_EQ(intake.openFifo(), FifoState::Ready);
    JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
    const bool failed =
        Sandbox::waitUntil([] { return logged("tried again, after at most 60 s."); });
    writeNonBlocking(f.paths.fifo, doc);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool journaled = readFile(f.paths.pending) == doc + doc + doc;
    mkdir(folder.c_str(), 0700);
    const bool stored = Sandbox::waitUntil([&] { return countEntries(received(doc.size())) == 3; });
    intake.stop();
    loop.join();
    EXPECT_TRUE(failed) << readTestLog();
    EXPECT_TRUE(journaled) << "the pipe is still read into the journal";
    EXPECT_TRUE(stored) << readTestLog();
    EXPECT_EQ(countEntries("[info] Documents are stored again, after 1 failed attempts."), 1u);
    EXPECT_EQ(entriesWith("the documents wait in").size(), 1u) << "logged once";
}

TEST(Intake, LeavesAPositionTableOfANewerFormatAlone) {
    Folder f;
    writeFile(f.paths.pending, framed("a"));
    { SQLiteDB store(f.paths.database, f.paths.temp); }
    Sandbox::query("CREATE TABLE intake_position(Id INTEGER PRIMARY KEY, Format INTEGER, "
                   "Journal INTEGER); INSERT INTO intake_position VALUES(1, 2, 7);",
                   f.paths.database);
    EXPECT_TRUE(f.runUntil([] { return logged("is of format 2"); })) << readTestLog();
    EXPECT_EQ(Sandbox::queryValue("select Format || ' ' || Journal from intake_position",
                                  f.paths.database),
              "2 7");
    EXPECT_EQ(readFile(f.paths.pending), framed("a")) << "the document waits";
}

TEST(Intake, StopBeforeTheStartKeepsTheIntakeIdle) {
    Folder f;
    Intake intake(f.client, f.paths);
    intake.stop();
    EXPECT_EQ(intake.openFifo(), FifoState::Stopped);
    EXPECT_EQ(intake.run(), IntakeEnd::Stopped);
    EXPECT_FALSE(Sandbox::exists(f.paths.fifo));
}

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
