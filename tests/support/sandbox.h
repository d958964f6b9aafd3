#ifndef ORVIND_TESTS_SANDBOX_H
#define ORVIND_TESTS_SANDBOX_H

#include <paths.h>
#include <tallow_sim.h>

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// An isolated root for end-to-end runs of the real daemon binary with its real fixed
// paths. The first Sandbox of a test process moves the process into a private mount
// namespace; every Sandbox mounts fresh tmpfs over /run, /var/log, /var/lib and /opt
// and makes the folders the daemon expects. The host's folders are never touched.
//
//     Sandbox sb;
//     sb.startDaemon();
//     Sandbox::deliver(readFile(...));
//     ASSERT_TRUE(sb.waitForLog("[info] Received a document of 1234 bytes."));
//     EXPECT_EQ(sb.stop(SIGTERM), 0);
//
// The test process becomes a child subreaper, so the daemon stays its child after
// detaching and its exit status can be checked. Whatever is still running when the
// Sandbox goes is killed. Sanitizer reports of the daemon go to files that fail the
// test when they show up. The static helpers that take a path or folder also serve
// unit tests outside a sandbox.
class Sandbox {
public:
    static constexpr const char* kLogFile = paths::kLogFile;
    static constexpr const char* kPidFile = paths::kPidFile;
    static constexpr const char* kWorkDir = paths::kWorkDir;
    static constexpr const char* kFifo = paths::kFifo;
    static constexpr const char* kTempFile = paths::kTempFile;
    static constexpr const char* kPendingFile = paths::kPendingFile;
    static constexpr const char* kDatabase = paths::kDatabase;
    static constexpr const char* kBrokerRepository = "/var/lib/cim-broker";
    // The forwarding marks: id of the last row handed to the FPL and to halcyon.
    static constexpr const char* kFplMark = paths::kFplMark;
    static constexpr const char* kHalcyonMark = paths::kHalcyonMark;
    // State folder of the simulated BMC; every Sandbox installs the project's sample
    // event dictionary in it.
    static constexpr const char* kBmcDir = "/var/lib/orvind-bmc";
    // The line the broker writes after every document.
    static constexpr const char* kTrailer = "=========== End of Indication ===========";
    // Default patience of every wait (sanitizer builds on a busy machine are slow).
    static const int kTimeoutMs = 20000;

    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Runs the daemon binary with `args`, as `uid` (its log file is then made writable
    // for that user). Returns at once with the pid of the started process, which
    // detaches into the daemon.
    pid_t launch(const std::vector<std::string>& args = {}, uid_t uid = 0);
    // launch(), then waits until the daemon runs: its launcher has ended with 0, the pid
    // file exists and the forwarding thread has started. Fails the test otherwise. After
    // a daemon of the same Sandbox has been killed (and its pid file removed), this
    // starts the next one.
    pid_t startDaemon(const std::vector<std::string>& args = {});

    // Socket activation as systemd does it: the pipe is made (0600, 1 MiB) and held open
    // read-write by the test process, the keeper, for the Sandbox's life; every daemon
    // launched afterwards gets it as descriptor 3 with LISTEN_FDS=1, LISTEN_PID and
    // LISTEN_FDNAMES. Returns the keeper's descriptor.
    int keepPipe();
    // Descriptors passed to the next launches as 3, 4, ... instead (bad input).
    void passDescriptors(const std::vector<int>& fds) { passed = fds; }
    // What the last launched command wrote on its standard output and error (the
    // daemon's own lead to the null device once it has detached).
    static std::string launcherStdout();
    static std::string launcherStderr();

    // Exit status of the started process: 0 once it has detached, or its own status
    // when it refused to start. -1 on timeout.
    int launcherStatus(int timeoutMs = kTimeoutMs);
    // Pid of the detached daemon (0 when there is none).
    pid_t daemonPid(int timeoutMs = kTimeoutMs);
    // Sends `signo` to the detached daemon.
    void signal(int signo);
    // Waits for the daemon to end (or the launcher, when it never detached): its exit
    // status, 128 + the signal when a signal ended it, -1 on timeout.
    int waitForExit(int timeoutMs = kTimeoutMs);
    // signal() then waitForExit().
    int stop(int signo);

    // The log as lines, and as entries without the time stamp: "[info] FIFO created.".
    static std::string log();
    static std::vector<std::string> logEntries();
    static size_t countLog(const std::string& entry);
    // Entries that hold `text` anywhere.
    static size_t countContaining(const std::string& text);
    // Waits until the log holds `entry` at least `count` times.
    static bool waitForLog(const std::string& entry, size_t count = 1, int timeoutMs = kTimeoutMs);
    // "[info] Received a document of <bytes> bytes."
    static std::string received(size_t bytes);
    // Polls `done` until it holds; false on timeout.
    static bool waitUntil(const std::function<bool()>& done, int timeoutMs = kTimeoutMs);
    static bool exists(const std::string& path);
    static bool isFifo(const std::string& path);

    // Writes into the pipe as the broker does: fopen "a+", the document, "\n", the
    // trailer line, fclose.
    static void deliver(const std::string& document);
    // The bytes the broker writes for one document.
    static std::string framed(const std::string& document);
    // One writer: fopen "a+", exactly `bytes`, fclose. Documents back to back before
    // end of file: writePipe(framed(a) + framed(b)).
    static void writePipe(const std::string& bytes);
    // One writer that sends `bytes` in `pieces` parts, pausing between them.
    static void writePipeSlowly(const std::string& bytes, int pieces, int pauseMs);

    // Runs SQL on the daemon's database (or another) through a connection of the test's
    // own, which waits while the daemon holds the file. Each row of the result, every
    // value as text and SQL NULL as "NULL". An error fails the test and gives no rows.
    static std::vector<std::vector<std::string>> query(const std::string& sql,
                                                       const std::string& db = kDatabase);
    // The first value of the first row, "" when there is none.
    static std::string queryValue(const std::string& sql, const std::string& db = kDatabase);
    // SQL that stores an unforwarded row (status 0) as the intake would.
    static std::string insertRow(const std::string& provider, const std::string& event,
                                 const std::string& time = "20140315123456.000000+060",
                                 const std::string& part = "PN-1234");

    // What the simulated BMC (of the sandbox, or in `dir`) has received, oldest first.
    static std::vector<SEL_entry_t> fplRecords(const std::string& dir = kBmcDir);
    static std::vector<tallowsim::Command> bmcCommands(const std::string& dir = kBmcDir);
    // Sets a fault of the simulated BMC ("open", "append", "cli", "cli-status"); 0 clears it.
    static void setBmcFault(const std::string& name, int value, const std::string& dir = kBmcDir);

    // A forwarding mark: the id it holds; -1 when the file is missing, -2 when it is not
    // exactly 4 bytes long.
    static int readMark(const std::string& path);
    static void writeMark(const std::string& path, int id);

private:
    static std::string outputPath(int fd);
    void collectLauncher(int timeoutMs);
    void checkSanitizerReports();

    pid_t launcher = 0;
    int launcherExit = -1;
    pid_t detached = 0;
    int detachedExit = -1;
    std::vector<std::string> mounts;
    int keeper = -1;
    std::vector<int> passed;
};

#endif
