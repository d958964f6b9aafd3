#include "intake.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
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

std::vector<std::string> cutAll(const std::string& bytes, size_t step) {
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
    return documents;
}

// Log entries without their time stamp.
std::vector<std::string> entries() {
    std::vector<std::string> lines;
    for (const auto& line : testLogLines()) {
        lines.push_back(line.size() > 21 ? line.substr(21) : line);
    }
    return lines;
}

size_t countLines(const std::string& entry) {
    auto lines = entries();
    return std::count(lines.begin(), lines.end(), entry);
}

bool waitForLine(const std::string& entry) {
    return Sandbox::waitUntil([&] { return countLines(entry) > 0; });
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
        {"an unfinished one at the end",
         framed("a") + "half of b\n=========== End of",
         {framed("a"), "half of b\n=========== End of"}},
    };
    for (const auto& c : cases) {
        for (size_t step : {size_t(1), size_t(7), size_t(4096)}) {
            EXPECT_EQ(cutAll(c.bytes, step), c.documents) << c.what << ", chunks of " << step;
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

TEST(CreateFifo, ReplacesWhatIsAtThePipePath) {
    Folder f;
    mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(create_fifo(f.paths), 1);
        ASSERT_EQ(stat(f.paths.fifo.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask) << "a new pipe, round " << round;
        ASSERT_EQ(chmod(f.paths.fifo.c_str(), 0600), 0); // to tell the old pipe from a new one
    }
    EXPECT_EQ(entries(),
              std::vector<std::string>{"[info] Trying to delete FIFO but it doesn't exist."});
}

TEST(CreateFifo, SetsARegularFileAsideForRecovery) {
    Folder f;
    writeFile(f.paths.fifo, framed("first"));
    ASSERT_EQ(create_fifo(f.paths), 1);
    EXPECT_TRUE(Sandbox::isFifo(f.paths.fifo));
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
    EXPECT_EQ(entries(), (std::vector<std::string>{"[error] Unable to delete the FIFO.",
                                                   "[error] Unable to create FIFO."}));

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
    ASSERT_TRUE(waitForLine(Sandbox::received(framed("from the pipe").size())));
    intake.stop();
    loop.join();
    EXPECT_EQ(end, IntakeEnd::Stopped);

    std::vector<std::string> handled;
    for (const auto& entry : entries()) {
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
        std::thread loop([&] { intake.run(); });
        writeNonBlocking(f.paths.fifo, framed("handled"));
        ASSERT_TRUE(waitForLine(Sandbox::received(framed("handled").size())));
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
    ASSERT_TRUE(waitForLine(recovered(f.paths, 2)));
    next.stop();
    loop.join();
    EXPECT_EQ(countLines(Sandbox::received(framed("one").size())), 1u);
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
    EXPECT_FALSE(Sandbox::exists(f.paths.fifo));
}
