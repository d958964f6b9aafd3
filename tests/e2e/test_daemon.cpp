#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kNoFifo = "[info] Trying to delete FIFO but it doesn't exist.";

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

// The entry logged for a delivered document.
std::string receivedFramed(const std::string& document) {
    return Sandbox::received(Sandbox::framed(document).size());
}

std::string recovered(int documents) {
    return "[info] Documents recovered from " + std::string(Sandbox::kPendingFile) + ": " +
           std::to_string(documents) + ".";
}

// The entries about handled documents, in order.
std::vector<std::string> handledEntries() {
    std::vector<std::string> handled;
    for (const auto& entry : Sandbox::logEntries()) {
        if (entry.find("Received a document") != std::string::npos ||
            entry.find("recovered") != std::string::npos) {
            handled.push_back(entry);
        }
    }
    return handled;
}

} // namespace

// ---- a running daemon

TEST(DaemonStart, KeepsAPipeFoundAtStartUpAndMakesItPrivate) {
    Sandbox sb;
    umask(022);
    ASSERT_EQ(mkfifo(Sandbox::kFifo, 0644), 0);
    // A writer that still holds the old pipe: what it wrote is read, not thrown away.
    FILE* writer = fopen(Sandbox::kFifo, "a+");
    ASSERT_NE(writer, nullptr);
    const std::string framed = Sandbox::framed("<kept/>");
    fwrite(framed.data(), 1, framed.size(), writer);
    fflush(writer);
    struct stat before;
    ASSERT_EQ(lstat(Sandbox::kFifo, &before), 0);
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog(receivedFramed("<kept/>")));
    fclose(writer);
    struct stat st;
    ASSERT_EQ(lstat(Sandbox::kFifo, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_ino, before.st_ino);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Sandbox::logEntries().front(),
              "[info] FIFO kept from an earlier run; what it holds is read first.");
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// ---- shutdown

class DaemonSignal : public testing::TestWithParam<int> {};

TEST_P(DaemonSignal, ShutsDownCleanly) {
    const int signo = GetParam();
    Sandbox sb;
    const std::string mark = std::string(Sandbox::kWorkDir) + "/fpl.log";
    writeFile(mark, "kept");
    sb.startDaemon();
    Sandbox::deliver("<doc/>");
    // Handled to its end: the warning comes after the parse.
    ASSERT_TRUE(Sandbox::waitForLog("[warn] The document of " +
                                    std::to_string(Sandbox::framed("<doc/>").size()) +
                                    " bytes gave no indication: no instance in it"));
    ASSERT_TRUE(Sandbox::exists(Sandbox::kTempFile));

    EXPECT_EQ(sb.stop(signo), 0);
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2],
              "[info] caught " + std::to_string(signo) + " signal and terminate");
    EXPECT_EQ(entries.back(), "[info] new thread dies.");
    for (const char* gone :
         {Sandbox::kFifo, Sandbox::kTempFile, Sandbox::kPidFile, Sandbox::kPendingFile}) {
        EXPECT_FALSE(Sandbox::exists(gone)) << gone;
    }
    EXPECT_TRUE(Sandbox::exists(Sandbox::kDatabase));
    EXPECT_EQ(readFile(mark), "kept");
}

INSTANTIATE_TEST_SUITE_P(FiveSignals, DaemonSignal,
                         testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// ---- intake

// What the golden cases cannot hold: bytes of every value, more than the pipe's buffer,
// an empty delivery, and a document nested deeper than any parser should follow.
TEST(DaemonIntake, CopiesAnyBytesUnchangedAndSurvivesHostileOnes) {
    Sandbox sb;
    sb.startDaemon();
    std::mt19937 random(7);
    std::string bytes(300000, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    Sandbox::writePipe(bytes); // no trailer: one document at the end of the delivery
    ASSERT_TRUE(Sandbox::waitForLog(Sandbox::received(bytes.size())));
    EXPECT_TRUE(readFile(Sandbox::kTempFile) == bytes);
    Sandbox::writePipe(""); // a delivery with nothing in it is a document too
    ASSERT_TRUE(Sandbox::waitForLog(Sandbox::received(0)));
    EXPECT_EQ(readFile(Sandbox::kTempFile), "");

    Sandbox::writePipe(std::string("\x00\xff\x01<INSTANCE", 12) + std::string(100000, '<'));
    std::string deep = "<?xml version=\"1.0\"?>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<INSTANCE CLASSNAME=\"Deep\">";
    }
    Sandbox::deliver(deep);
    Sandbox::deliver(sample("alert.xml"));
    ASSERT_TRUE(Sandbox::waitForLog("[info] insert Fan Monitor Provider indication success"))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0) << "the daemon is still up and stops cleanly";
}

TEST(DaemonIntake, LosesNothingWrittenWhileItIsBusy) {
    Sandbox sb;
    sb.startDaemon();
    // Each writer opens read-write, writes and closes at once, as the broker does,
    // while the daemon is still handling the documents before.
    const int kWriters = 300;
    for (int i = 0; i < kWriters; ++i) {
        Sandbox::deliver(i % 2 ? sample("alert.xml") : sample("disk.xml"));
    }
    // A slow writer too.
    Sandbox::writePipeSlowly(Sandbox::framed(sample("alert.xml")), 4, 50);
    EXPECT_TRUE(Sandbox::waitForLog(receivedFramed(sample("alert.xml")), kWriters / 2 + 1));
    EXPECT_TRUE(Sandbox::waitForLog(receivedFramed(sample("disk.xml")), kWriters / 2));
    // A writer whose bytes the previous read end took may hang up on the next one, which
    // then counts as an empty delivery: it stores nothing and is not a document.
    size_t documents = 0;
    for (const std::string& entry : handledEntries()) {
        documents += entry != Sandbox::received(0) ? 1 : 0;
    }
    EXPECT_EQ(documents, static_cast<size_t>(kWriters + 1));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(DaemonIntake, RecoversARegularFileAtThePipePath) {
    Sandbox sb;
    const std::string alert = sample("alert.xml");
    const std::string disk = sample("disk.xml");
    // What the broker leaves while the daemon is stopped.
    writeFile(Sandbox::kFifo, Sandbox::framed(alert) + Sandbox::framed(disk));
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog(recovered(2)));
    EXPECT_TRUE(Sandbox::isFifo(Sandbox::kFifo));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPendingFile));
    Sandbox::deliver("<after/>");
    ASSERT_TRUE(Sandbox::waitForLog(receivedFramed("<after/>")));
    EXPECT_EQ(handledEntries(),
              (std::vector<std::string>{receivedFramed(alert), receivedFramed(disk), recovered(2),
                                        receivedFramed("<after/>")}));
    EXPECT_EQ(Sandbox::countLog(kNoFifo), 0u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(DaemonIntake, KeepsAnUnfinishedDeliveryAcrossARestart) {
    Sandbox sb;
    sb.startDaemon();
    // A writer that is still writing when the daemon is told to stop.
    FILE* writer = fopen(Sandbox::kFifo, "a+");
    ASSERT_NE(writer, nullptr);
    const std::string half = sample("alert.xml").substr(0, 200);
    fwrite(half.data(), 1, half.size(), writer);
    fflush(writer);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    fclose(writer);
    EXPECT_EQ(readFile(Sandbox::kPendingFile), half);

    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog(recovered(1)));
    EXPECT_EQ(readFile(Sandbox::kTempFile), half);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
