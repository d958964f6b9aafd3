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

const uid_t kNobody = 65534;

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

std::string received(size_t bytes) {
    return "[info] Received a document of " + std::to_string(bytes) + " bytes.";
}

mode_t permissions(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
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

// ---- start-up refusals

TEST(DaemonStart, RefusesANonRootUser) {
    Sandbox sb;
    sb.launch({}, kNobody);
    EXPECT_EQ(sb.launcherStatus(), 255);
    EXPECT_EQ(Sandbox::logEntries(),
              std::vector<std::string>{"[error] Only root can start orvind"});
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPidFile));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kFifo));
}

TEST(DaemonStart, RejectsABadCommandLineBeforeAnyOtherCheck) {
    Sandbox sb;
    const std::vector<std::string> usage{"[error] Usage: orvind [-p port]"};
    for (const auto& args : {std::vector<std::string>{"-x"}, std::vector<std::string>{"-p"}}) {
        writeFile(Sandbox::kLogFile, "");
        sb.launch(args);
        EXPECT_EQ(sb.launcherStatus(), 255) << args[0];
        EXPECT_EQ(Sandbox::logEntries(), usage) << args[0];
    }
    // The user is not even looked at.
    writeFile(Sandbox::kLogFile, "");
    sb.launch({"-x"}, kNobody);
    EXPECT_EQ(sb.launcherStatus(), 255);
    EXPECT_EQ(Sandbox::logEntries(), usage);
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPidFile));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kFifo));
}

TEST(DaemonStart, LeavesAnExistingPidFileAlone) {
    Sandbox sb;
    writeFile(Sandbox::kPidFile, "4242");
    sb.launch();
    EXPECT_EQ(sb.launcherStatus(), 255);
    EXPECT_EQ(Sandbox::logEntries(), std::vector<std::string>{"[info] orvind is already running"});
    EXPECT_EQ(readFile(Sandbox::kPidFile), "4242");
    EXPECT_FALSE(Sandbox::exists(Sandbox::kFifo));
}

TEST(DaemonStart, EndsWithoutItsWorkingFolder) {
    Sandbox sb;
    ASSERT_EQ(rmdir(Sandbox::kWorkDir), 0);
    sb.launch();
    EXPECT_EQ(sb.waitForExit(), 255);
    EXPECT_EQ(Sandbox::logEntries(), (std::vector<std::string>{
                                         "[info] Trying to delete FIFO but it doesn't exist.",
                                         "[error] Unable to create FIFO.",
                                         "[error] Exit. Unable to create fifo.",
                                     }));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPidFile));
}

// ---- a running daemon

TEST(DaemonStart, WritesThePidFileAndMakesThePipe) {
    Sandbox sb;
    pid_t daemon = sb.startDaemon({"-p", "1234"});
    EXPECT_EQ(readFile(Sandbox::kPidFile), std::to_string(daemon))
        << "the detached pid, no newline";
    EXPECT_TRUE(Sandbox::isFifo(Sandbox::kFifo));
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 7u);
    EXPECT_EQ(entries[0], "[info] Trying to delete FIFO but it doesn't exist.");
    EXPECT_EQ(entries[1], "[info] FIFO created.");
    EXPECT_EQ(entries[2], "[info] connect() rc=0, msg=(null)");
    EXPECT_EQ(entries[6], "[info] Subscription created.");
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(DaemonStart, ReplacesAStalePipe) {
    Sandbox sb;
    umask(022);
    ASSERT_EQ(mkfifo(Sandbox::kFifo, 0600), 0); // the daemon makes its pipes 0644
    sb.startDaemon();
    EXPECT_TRUE(Sandbox::isFifo(Sandbox::kFifo));
    EXPECT_EQ(permissions(Sandbox::kFifo), 0644u);
    EXPECT_EQ(Sandbox::countLog("[info] Trying to delete FIFO but it doesn't exist."), 0u);
    EXPECT_EQ(Sandbox::logEntries().front(), "[info] FIFO created.");
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// ---- shutdown

class DaemonSignal : public testing::TestWithParam<int> {};

TEST_P(DaemonSignal, ShutsDownCleanly) {
    const int signo = GetParam();
    Sandbox sb;
    writeFile(std::string(Sandbox::kWorkDir) + "/fpl.log", "kept");
    sb.startDaemon();
    Sandbox::deliver("<doc/>");
    ASSERT_TRUE(Sandbox::waitForLog(received(Sandbox::framed("<doc/>").size())));
    ASSERT_TRUE(Sandbox::exists(Sandbox::kTempFile));

    EXPECT_EQ(sb.stop(signo), 0);
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2],
              "[info] caught " + std::to_string(signo) + " signal and terminate");
    EXPECT_EQ(entries.back(), "[info] new thread dies.");
    EXPECT_FALSE(Sandbox::exists(Sandbox::kFifo));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kTempFile));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPidFile));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPendingFile));
    EXPECT_TRUE(Sandbox::exists(Sandbox::kDatabase));
    EXPECT_EQ(readFile(std::string(Sandbox::kWorkDir) + "/fpl.log"), "kept");
}

INSTANTIATE_TEST_SUITE_P(FiveSignals, DaemonSignal,
                         testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// ---- intake

TEST(DaemonIntake, CopiesAnyBytesUnchanged) {
    Sandbox sb;
    sb.startDaemon();
    const std::string document = Sandbox::framed(sample("alert.xml"));
    Sandbox::deliver(sample("alert.xml"));
    ASSERT_TRUE(Sandbox::waitForLog(received(document.size())));
    EXPECT_EQ(readFile(Sandbox::kTempFile), sample("alert.xml") + "\n")
        << "the parser reads the document without the broker's trailer line";

    // Larger than the pipe's buffer, every byte value, no trailer: one document at the
    // end of the delivery.
    std::mt19937 random(7);
    std::string bytes(300000, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    Sandbox::writePipe(bytes);
    ASSERT_TRUE(Sandbox::waitForLog(received(bytes.size())));
    EXPECT_TRUE(readFile(Sandbox::kTempFile) == bytes);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(DaemonIntake, HandlesAnEmptyDelivery) {
    Sandbox sb;
    sb.startDaemon();
    Sandbox::deliver("<doc/>");
    ASSERT_TRUE(Sandbox::waitForLog(received(Sandbox::framed("<doc/>").size())));
    Sandbox::writePipe("");
    ASSERT_TRUE(Sandbox::waitForLog(received(0)));
    EXPECT_EQ(readFile(Sandbox::kTempFile), "");
    // and goes on with the next writer
    Sandbox::deliver("<next/>");
    ASSERT_TRUE(Sandbox::waitForLog(received(Sandbox::framed("<next/>").size())));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(DaemonIntake, SeparatesDocumentsWrittenBackToBack) {
    Sandbox sb;
    sb.startDaemon();
    const std::string alert = Sandbox::framed(sample("alert.xml"));
    const std::string disk = Sandbox::framed(sample("disk.xml"));
    Sandbox::writePipe(alert + disk);
    ASSERT_TRUE(Sandbox::waitForLog(received(disk.size())));
    EXPECT_EQ(handledEntries(),
              (std::vector<std::string>{received(alert.size()), received(disk.size())}));
    EXPECT_EQ(readFile(Sandbox::kTempFile), sample("disk.xml") + "\n");

    // Without trailers, the declaration of the second one starts it.
    Sandbox::writePipe(sample("disk.xml") + "\n" + sample("alert.xml"));
    ASSERT_TRUE(Sandbox::waitForLog(received(sample("alert.xml").size())));
    EXPECT_EQ(Sandbox::countLog(received(sample("disk.xml").size() + 1)), 1u);
    EXPECT_EQ(readFile(Sandbox::kTempFile), sample("alert.xml"));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
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
    const size_t alert = Sandbox::framed(sample("alert.xml")).size();
    const size_t disk = Sandbox::framed(sample("disk.xml")).size();
    EXPECT_TRUE(Sandbox::waitForLog(received(alert), kWriters / 2 + 1));
    EXPECT_TRUE(Sandbox::waitForLog(received(disk), kWriters / 2));
    EXPECT_EQ(handledEntries().size(), static_cast<size_t>(kWriters + 1));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(DaemonIntake, RecoversARegularFileAtThePipePath) {
    Sandbox sb;
    const std::string alert = Sandbox::framed(sample("alert.xml"));
    const std::string disk = Sandbox::framed(sample("disk.xml"));
    // What the broker leaves while the daemon is stopped.
    writeFile(Sandbox::kFifo, alert + disk);
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog("[info] Documents recovered from " +
                                    std::string(Sandbox::kPendingFile) + ": 2."));
    EXPECT_TRUE(Sandbox::isFifo(Sandbox::kFifo));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kPendingFile));
    Sandbox::deliver("<after/>");
    ASSERT_TRUE(Sandbox::waitForLog(received(Sandbox::framed("<after/>").size())));
    EXPECT_EQ(handledEntries(),
              (std::vector<std::string>{received(alert.size()), received(disk.size()),
                                        "[info] Documents recovered from " +
                                            std::string(Sandbox::kPendingFile) + ": 2.",
                                        received(Sandbox::framed("<after/>").size())}));
    EXPECT_EQ(Sandbox::countLog("[info] Trying to delete FIFO but it doesn't exist."), 0u);
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
    ASSERT_TRUE(Sandbox::waitForLog("[info] Documents recovered from " +
                                    std::string(Sandbox::kPendingFile) + ": 1."));
    EXPECT_EQ(readFile(Sandbox::kTempFile), half);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
