#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const uid_t kNobody = 65534;

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

// What the administrator sees on the terminal and in the log for each way a start ends
// before the daemon runs, and the command's status. A refused start leaves neither pid
// file nor pipe (an existing pid file stays as it is).
TEST(DaemonCommand, SaysOnTheTerminalAndInTheLogWhyItDidNotStart) {
    const std::string usage = "Usage: orvind [-p port]";
    const std::vector<std::string> usageLog{"[error] " + usage};
    const struct {
        const char* what;
        std::vector<std::string> args;
        uid_t uid;
        std::function<void()> prepare;
        int status;
        std::string out;
        std::vector<std::string> err;
        std::vector<std::string> log; // the log's entries when the start is refused
    } cases[] = {
        {"--help", {"--help"}, 0, [] {}, 0, usage, {}, {}},
        {"-h, even as another user", {"-h"}, kNobody, [] {}, 0, usage, {}, {}},
        {"--version", {"--version"}, 0, [] {}, 0, "orvind " ORVIND_VERSION "\n", {}, {}},
        {"-V", {"-V"}, 0, [] {}, 0, "orvind " ORVIND_VERSION "\n", {}, {}},
        {"an unknown option", {"-x"}, 0, [] {}, 255, "", {"unknown option -x", usage}, usageLog},
        {"a bad command line, before the user is looked at",
         {"-x"},
         kNobody,
         [] {},
         255,
         "",
         {"unknown option -x"},
         usageLog},
        {"an unknown long option", {"--bogus"}, 0, [] {}, 255, "", {"unknown option --bogus"}, {}},
        {"-p without a port",
         {"-p"},
         0,
         [] {},
         255,
         "",
         {"option -p needs a port number"},
         usageLog},
        {"a non-root user",
         {},
         kNobody,
         [] {},
         255,
         "",
         {"Only root can start orvind"},
         {"[error] Only root can start orvind"}},
        {"an existing pid file",
         {},
         0,
         [] { writeFile(Sandbox::kPidFile, "4242"); },
         255,
         "",
         {"orvind is already running", Sandbox::kPidFile, "orvind-pidfile clear-stale"},
         {"[info] orvind is already running"}},
        // Runs, but does less than it seems: said on the terminal.
        {"no log folder",
         {},
         0,
         [] { ASSERT_EQ(rmdir("/var/log/vexa"), 0); },
         0,
         "",
         {"orvind: warning: /var/log/vexa does not exist: the daemon runs without a log"},
         {}},
        {"no database folder",
         {},
         0,
         [] { ASSERT_EQ(rmdir("/var/lib/orvind"), 0); },
         0,
         "",
         {"orvind: warning: /var/lib/orvind does not exist: nothing is stored until it is made"},
         {}},
        // Fails after detaching: the command waits for the daemon and reports its end.
        {"no working folder",
         {},
         0,
         [] { ASSERT_EQ(rmdir(Sandbox::kWorkDir), 0); },
         255,
         "",
         {"orvind: Unable to create FIFO.\norvind: Exit. Unable to create fifo.\n",
          "start-up failed (exit status 255)"},
         {"[info] Trying to delete FIFO but it doesn't exist.", "[error] Unable to create FIFO.",
          "[error] Exit. Unable to create fifo."}},
    };
    for (const auto& c : cases) {
        Sandbox sb;
        c.prepare();
        sb.launch(c.args, c.uid);
        EXPECT_EQ(sb.launcherStatus(), c.status) << c.what;
        const std::string out = Sandbox::launcherStdout();
        const std::string err = Sandbox::launcherStderr();
        if (c.out.empty()) {
            EXPECT_EQ(out, "") << c.what;
        } else {
            EXPECT_TRUE(holds(out, c.out)) << c.what << ": " << out;
            EXPECT_EQ(Sandbox::log(), "") << c.what << ": help and version log nothing";
        }
        if (c.err.empty()) {
            EXPECT_EQ(err, "") << c.what;
        }
        for (const auto& part : c.err) {
            EXPECT_TRUE(holds(err, part)) << c.what << ": " << err;
        }
        if (c.status == 0) {
            continue;
        }
        if (!c.log.empty()) {
            EXPECT_EQ(Sandbox::logEntries(), c.log) << c.what;
        }
        const bool running = c.log.size() == 1 && c.log[0] == "[info] orvind is already running";
        EXPECT_EQ(Sandbox::exists(Sandbox::kPidFile) ? readFile(Sandbox::kPidFile) : "none",
                  running ? "4242" : "none")
            << c.what;
        EXPECT_FALSE(Sandbox::exists(Sandbox::kFifo)) << c.what;
    }
}

// The start command returns only once the daemon is ready: its pipe is made, the
// subscription requested and the forwarding thread started.
TEST(DaemonCommand, ReturnsOnceTheDaemonIsReady) {
    Sandbox sb;
    sb.launch({"-p", "1234"});
    ASSERT_EQ(sb.launcherStatus(), 0) << Sandbox::launcherStderr();
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 7u);
    EXPECT_EQ(entries[0], "[info] Trying to delete FIFO but it doesn't exist.");
    EXPECT_EQ(entries[1], "[info] FIFO created.");
    EXPECT_EQ(entries[2], "[info] connect() rc=0, msg=(null)");
    EXPECT_EQ(entries[6], "[info] Subscription created.");
    EXPECT_TRUE(Sandbox::isFifo(Sandbox::kFifo));
    EXPECT_EQ(readFile(Sandbox::kPidFile), std::to_string(sb.daemonPid()))
        << "the detached pid, no newline";
    EXPECT_EQ(Sandbox::launcherStderr(), "");
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// Under systemd the daemon tells the service manager its own pid and READY=1, and
// waits until the manager has taken them in before the start command ends.
TEST(DaemonCommand, NotifiesTheServiceManager) {
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

    // As the manager does: every message is read; the descriptors of a barrier are
    // closed, which releases it.
    std::vector<std::string> messages;
    std::thread manager([&] {
        for (;;) {
            char text[512];
            char control[CMSG_SPACE(sizeof(int) * 4)];
            iovec iov{text, sizeof text - 1};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t got = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
            if (got < 0) {
                return;
            }
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                    size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    for (size_t i = 0; i < n; ++i) {
                        int fd;
                        memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                        close(fd);
                    }
                }
            }
            messages.emplace_back(text, static_cast<size_t>(got));
            if (messages.back() == "BARRIER=1") {
                return;
            }
        }
    });
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    sb.launch();
    const int status = sb.launcherStatus();
    unsetenv("NOTIFY_SOCKET");
    manager.join();
    close(sock);
    ASSERT_EQ(status, 0) << Sandbox::launcherStderr();
    EXPECT_EQ(messages,
              (std::vector<std::string>{"MAINPID=" + std::to_string(sb.daemonPid()) + "\nREADY=1",
                                        "BARRIER=1"}));
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
