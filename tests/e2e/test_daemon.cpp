#include "sandbox.h"
#include "testlog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

// The entry logged for a delivered document.
std::string receivedFramed(const std::string& document) {
    return Sandbox::received(Sandbox::framed(document).size());
}

} // namespace

// Each of the five signals ends the daemon cleanly: the document in hand is finished,
// the pipe, the copy of the document and the pid file are gone, the database and the
// marks stay. A delivery still being written is kept for the next start (SIGTERM).
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
    // SIGTERM comes while a writer is in the middle of a delivery.
    const std::string half = signo == SIGTERM ? sample("alert.xml").substr(0, 200) : "";
    FILE* writer = half.empty() ? nullptr : fopen(Sandbox::kFifo, "a+");
    if (writer != nullptr) {
        fputs(half.c_str(), writer);
        fflush(writer);
    }
    EXPECT_EQ(sb.stop(signo), 0);
    if (writer != nullptr) {
        fclose(writer);
    }
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2],
              "[info] caught " + std::to_string(signo) + " signal and terminate");
    EXPECT_EQ(entries.back(), "[info] new thread dies.");
    for (const char* gone : {Sandbox::kFifo, Sandbox::kTempFile, Sandbox::kPidFile}) {
        EXPECT_FALSE(Sandbox::exists(gone)) << gone;
    }
    EXPECT_EQ(Sandbox::exists(Sandbox::kPendingFile), !half.empty());
    if (!half.empty()) {
        EXPECT_THAT(readFile(Sandbox::kPendingFile), testing::EndsWith(half));
    }
    EXPECT_TRUE(Sandbox::exists(Sandbox::kDatabase));
    EXPECT_EQ(readFile(mark), "kept");
}

INSTANTIATE_TEST_SUITE_P(FiveSignals, DaemonSignal,
                         testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM),
                         [](const testing::TestParamInfo<int>& signal) {
                             return std::string(sigabbrev_np(signal.param));
                         });

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

// Each writer opens the pipe, writes and closes at once, as the broker does, while the
// daemon is still handling the documents before.
TEST(DaemonIntake, LosesNothingWrittenWhileItIsBusy) {
    Sandbox sb;
    sb.startDaemon();
    const int kWriters = 300;
    for (int i = 0; i < kWriters; ++i) {
        Sandbox::deliver(i % 2 ? sample("alert.xml") : sample("disk.xml"));
    }
    EXPECT_TRUE(Sandbox::waitForLog(receivedFramed(sample("alert.xml")), kWriters / 2));
    EXPECT_TRUE(Sandbox::waitForLog(receivedFramed(sample("disk.xml")), kWriters / 2));
    // A writer whose bytes the previous read end took may hang up on the next one, which
    // then counts as an empty delivery: it stores nothing and is not a document.
    EXPECT_EQ(Sandbox::countContaining("] Received a document of ") -
                  Sandbox::countLog(Sandbox::received(0)),
              static_cast<size_t>(kWriters));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
