#include "intake.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kTrailer = "=========== End of Indication ===========";

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

// What the broker writes for one document.
std::string framed(const std::string& document) {
    return document + "\n" + kTrailer + "\n";
}

std::vector<std::string> cutAll(const std::string& bytes, size_t step, bool finish = true) {
    DocumentCutter cutter;
    std::vector<std::string> documents;
    std::string document;
    for (size_t at = 0; at < bytes.size(); at += step) {
        cutter.add(bytes.data() + at, std::min(step, bytes.size() - at));
        while (cutter.next(document)) {
            documents.push_back(document);
        }
    }
    if (finish && cutter.finish(document)) {
        documents.push_back(document);
    }
    return documents;
}

size_t countLines(const std::string& entry) {
    size_t count = 0;
    for (const auto& line : testLogLines()) {
        count += line.size() > 21 && line.substr(21) == entry;
    }
    return count;
}

std::string received(size_t bytes) {
    return "[info] Received a document of " + std::to_string(bytes) + " bytes.";
}

bool waitForLine(const std::string& entry, size_t count = 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (countLines(entry) < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Folder {
    TempDir dir;
    IntakePaths paths;
    Folder() {
        paths.fifo = dir.file("indications.tmp");
        paths.temp = dir.file("fifo.tmp");
        paths.pending = dir.file("indications.pending");
        paths.database = dir.file("indications.db");
        clearTestLog();
    }
};

bool isFifo(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Writes into the pipe through a write-only end that does not wait for a reader.
void writeNonBlocking(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

} // namespace

TEST(DocumentCutter, CutsAfterEveryTrailerLineWhateverTheChunks) {
    const std::string alert = framed(sample("alert.xml"));
    const std::string disk = framed(sample("disk.xml"));
    for (size_t step : {size_t(1), size_t(7), size_t(4096), alert.size() + disk.size()}) {
        auto documents = cutAll(alert + disk + alert, step);
        ASSERT_EQ(documents.size(), 3u) << "chunks of " << step;
        EXPECT_EQ(documents[0], alert);
        EXPECT_EQ(documents[1], disk);
        EXPECT_EQ(documents[2], alert);
    }
}

TEST(DocumentCutter, CutsBeforeADeclarationThatFollowsOtherContent) {
    const std::string alert = sample("alert.xml");
    const std::string disk = sample("disk.xml");
    auto documents = cutAll(alert + "\n" + disk, 5);
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(documents[0], alert + "\n");
    EXPECT_EQ(documents[1], disk);

    // Blank lines ahead of the first declaration stay with it.
    documents = cutAll("\n \r\n" + framed(alert), 3);
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0], "\n \r\n" + framed(alert));
}

TEST(DocumentCutter, KeepsTheTrailerWordsInsideMarkupAndTakesCarriageReturns) {
    auto documents = cutAll("<VALUE>End of Indication</VALUE>\nrest\n", 4);
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0], "<VALUE>End of Indication</VALUE>\nrest\n");

    documents = cutAll("one\r\n" + kTrailer + "\r\ntwo\r\n" + kTrailer + "\r\n", 2);
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(documents[0], "one\r\n" + kTrailer + "\r\n");
    EXPECT_EQ(documents[1], "two\r\n" + kTrailer + "\r\n");
}

TEST(DocumentCutter, EndOfDeliveryHandsOverTheRest) {
    // Without any trailer the whole delivery is one document, cut or not at the end.
    const std::string bytes = "no trailer\nat all";
    auto documents = cutAll(bytes, 3);
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0], bytes);

    // An empty delivery is one empty document.
    DocumentCutter cutter;
    std::string document = "left over";
    ASSERT_TRUE(cutter.finish(document));
    EXPECT_EQ(document, "");

    // Blank space after the last trailer is no document; an unfinished one is.
    EXPECT_EQ(cutAll(framed("a") + "\n\n", 1).size(), 1u);
    documents = cutAll(framed("a") + "half of b\n=========== End of", 1);
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(documents[1], "half of b\n=========== End of");

    // Each finish starts a new delivery.
    cutter.add("x\n", 2);
    ASSERT_TRUE(cutter.finish(document));
    EXPECT_EQ(document, "x\n");
    EXPECT_TRUE(cutter.unhandled().empty());
}

TEST(DocumentCutter, KeepsWhatIsNotCutYet) {
    DocumentCutter cutter;
    const std::string bytes = framed("a") + "b, unfinished";
    cutter.add(bytes.data(), bytes.size());
    std::string document;
    ASSERT_TRUE(cutter.next(document));
    EXPECT_FALSE(cutter.next(document));
    EXPECT_EQ(cutter.unhandled(), "b, unfinished");
}

TEST(CreateFifo, ReplacesWhatIsAtThePipePath) {
    Folder f;
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_TRUE(isFifo(f.paths.fifo));
    struct stat st;
    ASSERT_EQ(stat(f.paths.fifo.c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
    ASSERT_EQ(chmod(f.paths.fifo.c_str(), 0600), 0); // to tell the old pipe from a new one

    ASSERT_EQ(create_fifo(f.paths), 1);
    ASSERT_EQ(stat(f.paths.fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask) << "the old pipe is replaced by a new one";
    auto lines = testLogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(21), "[info] Trying to delete FIFO but it doesn't exist.");
}

TEST(CreateFifo, SetsARegularFileAsideForRecovery) {
    Folder f;
    writeFile(f.paths.fifo, framed("first"));
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_TRUE(isFifo(f.paths.fifo));
    EXPECT_EQ(readFile(f.paths.pending), framed("first"));

    // Documents still pending from before come first.
    ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
    writeFile(f.paths.fifo, framed("second"));
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_EQ(readFile(f.paths.pending), framed("first") + framed("second"));
    EXPECT_EQ(countLines("[info] Trying to delete FIFO but it doesn't exist."), 0u);
}

TEST(CreateFifo, ReportsWhatCannotBeRemovedOrCreated) {
    Folder f;
    ASSERT_EQ(mkdir(f.paths.fifo.c_str(), 0755), 0);
    EXPECT_EQ(create_fifo(f.paths), 0);
    auto lines = testLogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(21), "[error] Unable to delete the FIFO.");
    EXPECT_EQ(lines[1].substr(21), "[error] Unable to create FIFO.");

    f.paths.fifo = f.dir.file("missing/indications.tmp");
    Intake intake(f.paths);
    EXPECT_EQ(intake.openFifo(), FifoState::NotCreated);
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
    std::thread loop([&] { end = intake.run(); });
    ASSERT_TRUE(waitForLine(received(framed("from the pipe").size())));
    intake.stop();
    loop.join();
    EXPECT_EQ(end, IntakeEnd::Stopped);

    std::vector<std::string> handled;
    for (const auto& line : testLogLines()) {
        if (line.find("] Received") != std::string::npos ||
            line.find("recovered") != std::string::npos) {
            handled.push_back(line.substr(21));
        }
    }
    ASSERT_EQ(handled.size(), 4u);
    EXPECT_EQ(handled[0], received(alert.size()));
    EXPECT_EQ(handled[1], received(disk.size()));
    EXPECT_EQ(handled[2], "[info] Documents recovered from " + f.paths.pending + ": 2.");
    EXPECT_EQ(handled[3], received(framed("from the pipe").size()));
    EXPECT_FALSE(exists(f.paths.pending));
    EXPECT_EQ(readFile(f.paths.temp), "from the pipe\n") << "the trailer line is not copied";
}

TEST(Intake, SavesWhatIsLeftInThePipeAtShutdownForTheNextStart) {
    Folder f;
    {
        Intake intake(f.paths);
        ASSERT_EQ(intake.openFifo(), FifoState::Ready);
        std::thread loop([&] { intake.run(); });
        writeNonBlocking(f.paths.fifo, framed("handled"));
        ASSERT_TRUE(waitForLine(received(framed("handled").size())));
        intake.stop();
        // Written after the intake stopped: still in the pipe.
        writeNonBlocking(f.paths.fifo, framed("one") + "two, unfinished");
        ASSERT_EQ(unlink(f.paths.fifo.c_str()), 0);
        intake.saveUnhandled(0);
        loop.join();
    }
    EXPECT_EQ(readFile(f.paths.pending), framed("one") + "two, unfinished");

    Intake next(f.paths);
    ASSERT_EQ(next.openFifo(), FifoState::Ready);
    std::thread loop([&] { next.run(); });
    ASSERT_TRUE(waitForLine("[info] Documents recovered from " + f.paths.pending + ": 2."));
    next.stop();
    loop.join();
    EXPECT_EQ(countLines(received(framed("one").size())), 1u);
    EXPECT_EQ(readFile(f.paths.temp), "two, unfinished");
}

TEST(Intake, EndsWhenTheTempFileCannotBeWritten) {
    Folder f;
    writeFile(f.paths.pending, framed("a"));
    f.paths.temp = f.dir.file("missing/fifo.tmp");
    Intake intake(f.paths);
    ASSERT_EQ(intake.openFifo(), FifoState::Ready);
    EXPECT_EQ(intake.run(), IntakeEnd::TempFileFailed);
    EXPECT_EQ(countLines("[error] Unable to open indication temp file."), 1u);
    EXPECT_EQ(readFile(f.paths.pending), framed("a")) << "the document stays pending";
}

TEST(Intake, StopBeforeTheStartKeepsTheIntakeIdle) {
    Folder f;
    Intake intake(f.paths);
    intake.stop();
    EXPECT_EQ(intake.openFifo(), FifoState::Stopped);
    EXPECT_EQ(intake.run(), IntakeEnd::Stopped);
    EXPECT_FALSE(exists(f.paths.fifo));
}
