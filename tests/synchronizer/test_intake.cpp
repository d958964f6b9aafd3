#include "intake.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kTrailer = Sandbox::kTrailer;

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

std::string framed(const std::string& document) {
    return Sandbox::framed(document);
}

// The documents cut from `bytes` fed in pieces of `step`; the bytes passed over go to
// `stray`.
std::vector<std::string> cutAll(const std::string& bytes, size_t step, std::string& stray) {
    DocumentCutter cutter;
    std::vector<std::string> documents;
    std::string document;
    for (size_t at = 0; at < bytes.size(); at += step) {
        cutter.add(bytes.data() + at, std::min(step, bytes.size() - at));
        while (cutter.next(document)) {
            documents.push_back(document);
        }
    }
    if (cutter.finish(document)) {
        documents.push_back(document);
    }
    EXPECT_EQ(cutter.consumed(), bytes.size()) << "every byte is accounted for";
    stray = cutter.takeStray();
    return documents;
}

bool waitForLine(const std::string& entry) {
    return Sandbox::waitUntil([&] { return countEntries(entry) > 0; });
}

std::string recovered(const IntakePaths& paths, int documents) {
    return "[info] Documents recovered from " + paths.pending + ": " + std::to_string(documents) +
           ".";
}

struct Folder {
    TempDir dir;
    IntakePaths paths;
    Folder() {
        paths.fifo = dir.file("indications.tmp");
        paths.temp = dir.file("fifo.tmp");
        paths.pending = dir.file("indications.pending");
        paths.stray = dir.file("indications.stray");
        paths.database = dir.file("indications.db");
        clearTestLog();
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

TEST(DocumentCutter, CutsDocumentsWhateverTheChunks) {
    const std::string alert = sample("alert.xml");
    const std::string disk = sample("disk.xml");
    const std::string crlf = "one\r\n" + kTrailer + "\r\ntwo\r\n" + kTrailer + "\r\n";
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> documents;
    } cases[] = {
        {"after every trailer line",
         framed(alert) + framed(disk) + framed(alert),
         {framed(alert), framed(disk), framed(alert)}},
        {"before a declaration after other content", alert + "\n" + disk, {alert + "\n", disk}},
        {"blank lines before the first declaration stay with it",
         "\n \r\n" + framed(alert),
         {"\n \r\n" + framed(alert)}},
        {"trailer words inside markup",
         "<VALUE>End of Indication</VALUE>\nrest\n",
         {"<VALUE>End of Indication</VALUE>\nrest\n"}},
        {"carriage returns", crlf, {"one\r\n" + kTrailer + "\r\n", "two\r\n" + kTrailer + "\r\n"}},
        {"no trailer: the whole delivery", "no trailer\nat all", {"no trailer\nat all"}},
        {"blank space after the last trailer is none", framed("a") + "\n\n", {framed("a")}},
        {"stray bytes before a declaration are passed over",
         framed(alert) + "xy" + framed(disk) + "z\n" + alert,
         {framed(alert), framed(disk), alert}},
        {"a stray line before the first one", "stray\n" + framed(alert), {framed(alert)}},
        {"stray bytes before a trailer stay with its document",
         alert + "\nq" + kTrailer + "\n",
         {alert + "\nq" + kTrailer + "\n"}},
        {"an unfinished one at the end",
         framed("a") + "half of b\n=========== End of",
         {framed("a"), "half of b\n=========== End of"}},
    };
    for (const auto& c : cases) {
        for (size_t step : {size_t(1), size_t(7), size_t(4096)}) {
            std::string stray;
            EXPECT_EQ(cutAll(c.bytes, step, stray), c.documents)
                << c.what << ", chunks of " << step;
            // Nothing but blank space is dropped: what is in no document is handed back.
            std::string kept = stray;
            for (const std::string& document : c.documents) {
                kept += document;
            }
            auto marks = [](const std::string& text) {
                return std::count_if(text.begin(), text.end(), [](char ch) {
                    return !isspace(static_cast<unsigned char>(ch));
                });
            };
            EXPECT_EQ(marks(kept), marks(c.bytes)) << c.what << ", chunks of " << step;
        }
    }
}

TEST(DocumentCutter, KeepsWhatIsNotCutYetAndStartsAfreshAtEachFinish) {
    DocumentCutter cutter;
    std::string document = "left over";
    ASSERT_TRUE(cutter.finish(document));
    EXPECT_EQ(document, "") << "an empty delivery is one empty document";

    const std::string bytes = framed("a") + "b, unfinished";
    cutter.add(bytes.data(), bytes.size());
    ASSERT_TRUE(cutter.next(document));
    EXPECT_FALSE(cutter.next(document));
    EXPECT_EQ(cutter.unhandled(), "b, unfinished");
    ASSERT_TRUE(cutter.finish(document));
    EXPECT_EQ(document, "b, unfinished");

    cutter.add("x\n", 2);
    ASSERT_TRUE(cutter.finish(document));
    EXPECT_EQ(document, "x\n");
    EXPECT_TRUE(cutter.unhandled().empty());
}

TEST(CreateFifo, KeepsAPipeAndMovesAnythingElseAside) {
    Folder f;
    struct stat st;
    ASSERT_EQ(create_fifo(f.paths), 1);
    ASSERT_EQ(lstat(f.paths.fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a private pipe";
    ASSERT_EQ(chmod(f.paths.fifo.c_str(), 0644), 0);
    const ino_t made = st.st_ino;
    ASSERT_EQ(create_fifo(f.paths), 1);
    ASSERT_EQ(lstat(f.paths.fifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, made) << "a pipe found is kept with what it holds";
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A link, a folder: moved aside, never written through or removed.
    const std::string victim = f.dir.file("victim");
    writeFile(victim, "victim");
    ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), f.paths.fifo.c_str()), 0);
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_TRUE(Sandbox::isFifo(f.paths.fifo));
    EXPECT_EQ(readFile(victim), "victim");
    ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
    ASSERT_EQ(mkdir(f.paths.fifo.c_str(), 0755), 0);
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_TRUE(Sandbox::isFifo(f.paths.fifo));
    size_t moved = 0;
    for (const auto& entry : logEntries()) {
        moved += entry.find("[warn] " + f.paths.fifo + " was a ") == 0 &&
                 entry.find("moved aside to") != std::string::npos;
    }
    EXPECT_EQ(moved, 2u);
}

TEST(CreateFifo, TakesARegularFileIntoTheJournal) {
    Folder f;
    writeFile(f.paths.fifo, framed("first"));
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_TRUE(Sandbox::isFifo(f.paths.fifo));
    EXPECT_EQ(readFile(f.paths.pending), framed("first"));

    // Documents still in the journal from before come first.
    ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
    writeFile(f.paths.fifo, framed("second"));
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_EQ(readFile(f.paths.pending), framed("first") + framed("second"));
    EXPECT_EQ(countEntries("[info] Trying to delete FIFO but it doesn't exist."), 0u);
}

TEST(CreateFifo, ReportsWhatCannotBeCreated) {
    Folder f;
    f.paths.fifo = f.dir.file("missing/indications.tmp");
    Intake intake(f.paths);
    EXPECT_EQ(intake.openFifo(), FifoState::NotCreated);
    EXPECT_EQ(logEntries(),
              (std::vector<std::string>{"[info] Trying to delete FIFO but it doesn't exist.",
                                        "[error] Unable to create FIFO."}));
}
TEST(Intake, TakesInPendingDocumentsBeforeThePipe) {
    Folder f;
    const std::string alert = framed(sample("alert.xml"));
    const std::string disk = framed(sample("disk.xml"));
    writeFile(f.paths.fifo, alert + disk); // left by the broker while the daemon was stopped
    Intake intake(f.paths);
    ASSERT_EQ(intake.openFifo(), FifoState::Ready);
    writeNonBlocking(f.paths.fifo, framed("from the pipe"));

    IntakeEnd end = IntakeEnd::PipeFailed;
    JoiningThread loop([&] { end = intake.run(); }, [&] { intake.stop(); });
    ASSERT_TRUE(waitForLine(Sandbox::received(framed("from the pipe").size())));
    intake.stop();
    loop.join();
    EXPECT_EQ(end, IntakeEnd::Stopped);
    intake.saveUnhandled(0); // everything is stored: no journal stays

    std::vector<std::string> handled;
    for (const auto& entry : logEntries()) {
        if (entry.find("Received") != std::string::npos ||
            entry.find("recovered") != std::string::npos) {
            handled.push_back(entry);
        }
    }
    EXPECT_EQ(handled,
              (std::vector<std::string>{Sandbox::received(alert.size()),
                                        Sandbox::received(disk.size()), recovered(f.paths, 2),
                                        Sandbox::received(framed("from the pipe").size())}));
    EXPECT_FALSE(Sandbox::exists(f.paths.pending));
    EXPECT_EQ(readFile(f.paths.temp), "from the pipe\n") << "the trailer line is not copied";
}

TEST(Intake, SavesWhatIsLeftInThePipeAtShutdownForTheNextStart) {
    Folder f;
    {
        Intake intake(f.paths);
        ASSERT_EQ(intake.openFifo(), FifoState::Ready);
        JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
        writeNonBlocking(f.paths.fifo, framed("handled"));
        ASSERT_TRUE(waitForLine(Sandbox::received(framed("handled").size())));
        intake.stop();
        // Written after the intake stopped: still in the pipe.
        writeNonBlocking(f.paths.fifo, framed("one") + "two, unfinished");
        ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
        intake.saveUnhandled(0);
        loop.join();
    }
    EXPECT_EQ(readFile(f.paths.pending), framed("handled") + framed("one") + "two, unfinished");

    Intake next(f.paths);
    ASSERT_EQ(next.openFifo(), FifoState::Ready);
    JoiningThread loop([&] { next.run(); }, [&] { next.stop(); });
    ASSERT_TRUE(waitForLine(recovered(f.paths, 2)));
    next.stop();
    loop.join();
    EXPECT_EQ(countEntries(Sandbox::received(framed("handled").size())), 1u) << "not again";
    EXPECT_EQ(countEntries(Sandbox::received(framed("one").size())), 1u);
    EXPECT_EQ(readFile(f.paths.temp), "two, unfinished");
}

// The position in the journal up to which documents are stored decides what a start
// takes in again: nothing twice, nothing lost, whatever the journal holds.
TEST(Intake, TakesInWhatLiesBeyondTheStoredPosition) {
    const std::string a = framed(sample("alert.xml"));
    const std::string b = framed(sample("disk.xml"));
    const struct {
        const char* what;
        std::string journal;
        long long position; // -1: a new database
        std::vector<std::string> received;
        const char* line;
    } cases[] = {
        {"a new database: all of it",
         a + b,
         -1,
         {Sandbox::received(a.size()), Sandbox::received(b.size())},
         nullptr},
        {"the first stored",
         a + b,
         static_cast<long long>(a.size()),
         {Sandbox::received(b.size())},
         nullptr},
        {"cut in the middle of the second (a kill while appending)",
         a + b.substr(0, 300),
         static_cast<long long>(a.size()),
         {Sandbox::received(300)},
         nullptr},
        {"garbage beyond the position",
         a + "garbage\n" + b,
         static_cast<long long>(a.size()),
         {Sandbox::received(b.size())},
         "[warn] Passed over 8 stray bytes between documents; kept in "},
        {"a position beyond the end: taken in from the start",
         a,
         static_cast<long long>(a.size() + b.size()),
         {Sandbox::received(a.size())},
         "beyond the end"},
    };
    for (const auto& c : cases) {
        Folder f;
        writeFile(f.paths.pending, c.journal);
        if (c.position >= 0) {
            SQLiteDB store(f.paths.database, f.paths.temp);
            store.intakePosition();
            ASSERT_EQ(store.commitBatch(SQLiteDB::Batch(), c.position), SQLITE_OK);
        }
        Intake intake(f.paths);
        ASSERT_EQ(intake.openFifo(), FifoState::Ready);
        JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
        bool done = waitForLine(recovered(f.paths, static_cast<int>(c.received.size())));
        intake.stop();
        loop.join();
        ASSERT_TRUE(done) << c.what << "\n" << readTestLog();
        std::vector<std::string> received;
        for (const auto& entry : logEntries()) {
            if (entry.find("Received") != std::string::npos) {
                received.push_back(entry);
            }
        }
        EXPECT_EQ(received, c.received) << c.what;
        if (c.line != nullptr) {
            EXPECT_NE(readTestLog().find(c.line), std::string::npos) << c.what;
        }
        EXPECT_EQ(Sandbox::exists(f.paths.stray) ? readFile(f.paths.stray) : "",
                  c.journal.find("garbage") != std::string::npos ? "garbage\n" : "")
            << c.what << ": what belongs to no document is kept";
        SQLiteDB store(f.paths.database, f.paths.temp);
        EXPECT_EQ(store.intakePosition(), 0u) << c.what << ": compacted once all is stored";
        EXPECT_FALSE(Sandbox::exists(f.paths.pending)) << c.what;
    }
}

TEST(Intake, KeepsDocumentsWhileTheyCannotBeStored) {
    Folder f;
    const std::string doc = framed(sample("alert.xml"));
    writeFile(f.paths.pending, doc + doc);
    const std::string folder = f.dir.file("later");
    f.paths.temp = folder + "/fifo.tmp";
    f.paths.database = folder + "/indications.db";
    Intake intake(f.paths);
    ASSERT_EQ(intake.openFifo(), FifoState::Ready);
    JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
    bool failed = Sandbox::waitUntil(
        [] { return readTestLog().find("tried again, after at most 60 s.") != std::string::npos; });
    writeNonBlocking(f.paths.fifo, doc);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool journaled = readFile(f.paths.pending) == doc + doc + doc;
    mkdir(folder.c_str(), 0700);
    bool stored =
        waitForLine("[info] Documents are stored again, after 1 failed attempts.") &&
        Sandbox::waitUntil([&] { return countEntries(Sandbox::received(doc.size())) == 3; });
    intake.stop();
    loop.join();
    EXPECT_TRUE(failed) << readTestLog();
    EXPECT_TRUE(journaled) << "the pipe is still read into the journal";
    EXPECT_TRUE(stored) << readTestLog();
    size_t errors = 0;
    for (const auto& entry : logEntries()) {
        errors += entry.find("the documents wait in") != std::string::npos;
    }
    EXPECT_EQ(errors, 1u) << "logged once";
}

TEST(Intake, LeavesAPositionTableOfANewerFormatAlone) {
    Folder f;
    writeFile(f.paths.pending, framed("a"));
    { SQLiteDB store(f.paths.database, f.paths.temp); }
    Sandbox::query("CREATE TABLE intake_position(Id INTEGER PRIMARY KEY, Format INTEGER, "
                   "Journal INTEGER); INSERT INTO intake_position VALUES(1, 2, 7);",
                   f.paths.database);
    Intake intake(f.paths);
    ASSERT_EQ(intake.openFifo(), FifoState::Ready);
    JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
    bool refused = Sandbox::waitUntil(
        [] { return readTestLog().find("is of format 2") != std::string::npos; });
    intake.stop();
    loop.join();
    EXPECT_TRUE(refused) << readTestLog();
    EXPECT_EQ(Sandbox::queryValue("select Format || ' ' || Journal from intake_position",
                                  f.paths.database),
              "2 7");
    EXPECT_EQ(readFile(f.paths.pending), framed("a")) << "the document waits";
}

// A value over libxml2's limit ends the document early: one warning names libxml2's
// message and the document's size. A link at the journal's path is moved aside, never
// read or written through.
TEST(Intake, WarnsOfADocumentLibxml2StopsAndNeverFollowsALink) {
    Folder f;
    const std::string victim = f.dir.file("victim");
    writeFile(victim, framed("victim"));
    ASSERT_EQ(symlink(victim.c_str(), f.paths.pending.c_str()), 0);
    std::string alert = sample("alert.xml");
    const std::string property = "<PROPERTY NAME=\"Description\" TYPE=\"string\">\n<VALUE>" +
                                 std::string(10000001, 'v') + "</VALUE>\n</PROPERTY>\n";
    alert.insert(alert.find("<PROPERTY "), property);
    const std::string huge = framed(alert);
    writeFile(f.paths.fifo, huge); // left by the broker while the daemon was stopped
    Intake intake(f.paths);
    ASSERT_EQ(intake.openFifo(), FifoState::Ready);
    JoiningThread loop([&] { intake.run(); }, [&] { intake.stop(); });
    bool warned = Sandbox::waitUntil([&] {
        return readTestLog().find("[warn] The document of " + std::to_string(huge.size()) +
                                  " bytes ") != std::string::npos;
    });
    intake.stop();
    loop.join();
    EXPECT_TRUE(warned) << readTestLog().substr(0, 2000);
    EXPECT_EQ(readFile(victim), framed("victim"));
    EXPECT_NE(readTestLog().find("[warn] " + f.paths.pending + " was a symbolic link"),
              std::string::npos);
}

TEST(Intake, StopBeforeTheStartKeepsTheIntakeIdle) {
    Folder f;
    Intake intake(f.paths);
    intake.stop();
    EXPECT_EQ(intake.openFifo(), FifoState::Stopped);
    EXPECT_EQ(intake.run(), IntakeEnd::Stopped);
    EXPECT_FALSE(Sandbox::exists(f.paths.fifo));
}
