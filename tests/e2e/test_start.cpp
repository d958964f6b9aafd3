#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kCases = ORVIND_TEST_DATA "/start/cases";

// Each line of `text` behind "> ", the version of this build written as @VERSION@.
std::string quoted(std::string text) {
    for (size_t at; (at = text.find(ORVIND_VERSION)) != std::string::npos;) {
        text.replace(at, strlen(ORVIND_VERSION), "@VERSION@");
    }
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        out += "> " + line + "\n";
    }
    return out;
}

// What the administrator sees of one start. Of a daemon that runs, only the warning
// it gives before it detaches: what it says later, its log, pid file and pipe are its
// own business.
std::string outcome(Sandbox& sb, const std::string& name) {
    const int status = sb.launcherStatus();
    std::string err = Sandbox::launcherStderr();
    const bool runs = status == 0 && Sandbox::exists(Sandbox::kPidFile);
    std::string text = "== " + name + "\nstatus: " + std::to_string(status) + "\nstdout:\n" +
                       quoted(Sandbox::launcherStdout()) + "stderr:\n" +
                       quoted(runs ? err.substr(0, err.find('\n')) : err);
    if (runs) {
        return text + "(runs)\n";
    }
    std::string log;
    for (const std::string& entry : Sandbox::logEntries()) {
        log += entry + "\n";
    }
    return text + "log:\n" + quoted(log) + "pid file: " +
           (Sandbox::exists(Sandbox::kPidFile) ? readFile(Sandbox::kPidFile) : "none") +
           "\npipe: " + (Sandbox::exists(Sandbox::kFifo) ? "yes" : "no") + "\n";
}

} // namespace

// Every way a start can end before the daemon runs, and the starts that run with less
// than they seem, against tests/data/start/cases.expected. After a deliberate change:
//     ORVIND_UPDATE_START=1 build/tests/e2e_test_start
TEST(DaemonCommand, SaysOnTheTerminalAndInTheLogWhyItDidNotStart) {
    std::ifstream in(kCases);
    ASSERT_TRUE(in) << kCases;
    std::string actual;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        std::string name;
        words >> name;
        Sandbox sb;
        std::vector<std::string> args;
        uid_t uid = 0;
        int other = -1;
        for (std::string word; words >> word;) {
            if (word == "@nobody") {
                uid = 65534;
            } else if (word == "@pidfile") {
                writeFile(Sandbox::kPidFile, "4242");
            } else if (word.rfind("@rmdir=", 0) == 0) {
                EXPECT_EQ(rmdir(word.substr(7).c_str()), 0) << name;
            } else if (word == "@pass=log") {
                other = open(Sandbox::kLogFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                sb.passDescriptors({other});
            } else if (word == "@pass=pipe,pipe") {
                const int keeper = sb.keepPipe();
                sb.passDescriptors({keeper, keeper});
            } else {
                args.push_back(word);
            }
        }
        sb.launch(args, uid);
        actual += outcome(sb, name);
        if (other >= 0) {
            close(other);
        }
    }
    if (getenv("ORVIND_UPDATE_START") != nullptr) {
        writeFile(kCases + ".expected", actual);
    }
    EXPECT_EQ(actual, readFile(kCases + ".expected"));
}

// The start command returns only once the daemon is ready: its pipe is made, the
// subscription requested and the forwarding thread started. Under systemd it tells the
// service manager its own pid and READY=1 first, and waits until the manager has taken
// them in.
TEST(DaemonCommand, ReturnsOnceTheDaemonIsReadyAndNotifiesTheServiceManager) {
    Sandbox sb;
    const std::string path = "/run/orvind-test-notify";
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval patience{Sandbox::kTimeoutMs / 1000, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    // As the manager does: every message is read; the descriptor of a barrier is closed,
    // which releases it.
    std::vector<std::string> messages;
    JoiningThread manager([&] {
        while (messages.empty() || messages.back() != "BARRIER=1") {
            char text[512];
            char control[CMSG_SPACE(sizeof(int))];
            iovec iov{text, sizeof text};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t got = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
            if (got < 0) {
                return;
            }
            cmsghdr* passed = CMSG_FIRSTHDR(&msg);
            if (passed != nullptr && passed->cmsg_type == SCM_RIGHTS) {
                int fd;
                memcpy(&fd, CMSG_DATA(passed), sizeof fd);
                close(fd);
            }
            messages.emplace_back(text, static_cast<size_t>(got));
        }
    });
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    sb.launch({"-p", "1234"});
    const int status = sb.launcherStatus();
    unsetenv("NOTIFY_SOCKET");
    manager.join();
    close(sock);
    ASSERT_EQ(status, 0) << Sandbox::launcherStderr();
    EXPECT_EQ(Sandbox::launcherStderr(), "");
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 7u);
    EXPECT_EQ(entries[0], "[info] Trying to delete FIFO but it doesn't exist.");
    EXPECT_EQ(entries[1], "[info] FIFO created.");
    EXPECT_EQ(entries[2], "[info] connect() rc=0, msg=(null)");
    EXPECT_EQ(entries[6], "[info] Subscription created.");
    EXPECT_TRUE(Sandbox::isFifo(Sandbox::kFifo));
    const std::string pid = std::to_string(sb.daemonPid());
    EXPECT_EQ(readFile(Sandbox::kPidFile), pid) << "the detached pid, no newline";
    EXPECT_EQ(messages, (std::vector<std::string>{"MAINPID=" + pid + "\nREADY=1", "BARRIER=1"}));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// A missing dictionary is named once at start-up, on the terminal too, and every event
// that cannot be looked up gives the same reason.
TEST(DaemonCommand, NamesAMissingDictionary) {
    Sandbox sb;
    ASSERT_EQ(unlink((std::string(Sandbox::kBmcDir) + "/" + tallowsim::kDictionaryFile).c_str()),
              0);
    const std::string sample = tallowsim::sampleDictionaryPath();
    if (Sandbox::exists(sample)) {
        GTEST_SKIP() << "a sample dictionary is installed on this machine: " << sample;
    }
    const std::string reason = sample + ": No such file or directory";
    // The table exists before the daemon's intake makes it, for the row below.
    Sandbox::query(readFile(ORVIND_TEST_DATA "/store/schema.sql"));
    sb.launch();
    ASSERT_EQ(sb.launcherStatus(), 0) << Sandbox::launcherStderr();
    const std::string line = "No event dictionary: " + reason +
                             ". No event can be written as FPL until it is installed "
                             "(orvind-bmc dictionary install).";
    EXPECT_EQ(Sandbox::launcherStderr(), "orvind: " + line + "\n");
    EXPECT_EQ(Sandbox::countLog("[error] " + line), 1u);
    Sandbox::query(Sandbox::insertRow("VEXA_WBEM", "2"));
    EXPECT_TRUE(Sandbox::waitForLog("[error] Get IPMIeventid failed, ProviderName:VEXA_WBEM,"
                                    "Event_ID:2 not exist in VEXA Event DataBase "
                                    "(no event dictionary: " +
                                    reason + ")"));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
