#ifndef ORVIND_TESTS_SANDBOX_H
#define ORVIND_TESTS_SANDBOX_H

#include <paths.h>
#include <tallow_sim.h>

#include <ctime>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// An isolated root for end-to-end runs of the real daemon binary with its real fixed
// paths. The first Sandbox of a test process moves the process into a private mount
// namespace and makes it a child subreaper (the detached daemon stays its child, so its
// exit status can be checked); every Sandbox mounts fresh tmpfs over /run, /var/log,
// /var/lib and /opt and makes the folders the daemon expects. Whatever still runs when
// the Sandbox goes is killed; sanitizer reports of the daemon fail the test. The static
// helpers that take a path or folder also serve unit tests outside a sandbox.
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
    // State folder of the simulated BMC, with the project's sample event dictionary.
    static constexpr const char* kBmcDir = "/var/lib/orvind-bmc";
    // The line the broker writes after every document.
    static constexpr const char* kTrailer = "=========== End of Indication ===========";
    // Default patience of every wait (sanitizer builds on a busy machine are slow).
    static const int kTimeoutMs = 20000;

    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Runs the daemon binary with `args` as `uid`; returns at once.
    void launch(const std::vector<std::string>& args = {}, uid_t uid = 0);
    // launch(), then fails the test unless the command ends with 0 and the detached
    // daemon runs its forwarding thread (after a kill too, once the pid file is removed).
    pid_t startDaemon(const std::vector<std::string>& args = {});

    // Socket activation as systemd does it: the pipe is made (0600, 1 MiB) and held open
    // by the test process for the Sandbox's life; later launches get it as descriptor 3
    // with LISTEN_FDS and LISTEN_PID. Returns the descriptor.
    int keepPipe();
    // Descriptors passed to the next launches as 3, 4, ... instead (bad input).
    void passDescriptors(const std::vector<int>& fds) { passed = fds; }
    // What the last launched command wrote on its standard output (1) or error (2).
    static std::string launcherOutput(int fd);

    // Exit status of the started command: 0 once the daemon is ready; -1 on timeout.
    int launcherStatus(int timeoutMs = kTimeoutMs);
    // Pid of the detached daemon (0 when there is none).
    pid_t daemonPid(int timeoutMs = kTimeoutMs);
    void signal(int signo);
    // Waits for the daemon to end (or the command, when it never detached): its exit
    // status, 128 + the signal when a signal ended it, -1 on timeout.
    int waitForExit(int timeoutMs = kTimeoutMs);
    int stop(int signo);

    // The log as it stands, and as entries without the time stamp: "[info] FIFO created.".
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
    // Waits until no row waits to be forwarded, for as long as their number keeps falling
    // within `quietMs`: how many rows a test leaves depends on the machine's speed.
    static bool waitUntilForwarded(int quietMs = kTimeoutMs);
    static bool exists(const std::string& path);

    // The bytes the broker writes for one document: the document, "\n", the trailer line.
    static std::string framed(const std::string& document);
    // One writer as the broker is one: fopen "a+", exactly `bytes`, fclose.
    static void writePipe(const std::string& bytes);
    static void deliver(const std::string& document);
    // writePipe(), then waits until the daemon has read to the end with the writer gone:
    // a next writer that opened earlier would join this delivery.
    void writeDelivery(const std::string& bytes);

    // Raises `count` indications through the sandbox's broker, each from a writer of its
    // own, of a kind that is stored and forwarded to the FPL and to halcyon; `more` are
    // further arguments of the raise. A failed raise fails the test.
    static void raiseIndications(int count, const std::vector<std::string>& more = {});

    // Runs SQL on the daemon's database (or another), waiting while the daemon holds it.
    // Each row, every value as text and SQL NULL as "NULL"; an error fails the test.
    static std::vector<std::vector<std::string>> query(const std::string& sql,
                                                       const std::string& db = kDatabase);
    // The first value of the first row, "" when there is none.
    static std::string queryValue(const std::string& sql, const std::string& db = kDatabase);
    // SQL that stores an unforwarded row (status 0) as the intake would.
    static std::string insertRow(const std::string& provider, const std::string& event,
                                 const std::string& time = "20140315123456.000000+060",
                                 const std::string& part = "PN-1234");
    // Stores `count` unforwarded rows before the daemon starts, in the store as the daemon
    // makes it: the n-th with the event time `first` plus n seconds in the offset `zone` (its
    // FPL record's time bytes then tell the row), its provider and event taken in turn.
    static void storeRows(size_t count,
                          const std::vector<std::pair<std::string, std::string>>& events,
                          time_t first = 1394884800 /* 2014-03-15 12:00:00 */,
                          const std::string& zone = "+000");

    // What the simulated BMC (of the sandbox, or in `dir`) has received, oldest first.
    static std::vector<SEL_entry_t> fplRecords(const std::string& dir = kBmcDir);
    // A record's bytes by field as they lie in it, " NAME=HEX" each, from the field `from`
    // to the field `to`: NextID, ThisID, Timestamp, extra, RecType, the e0 body's word
    // (RepEntID, EventID, NextIDhasTime), its DataType and AlertLevel byte (e0.type) and
    // its bytes b9 to b16 (e0.b9-b16), physloc.
    static std::string fplFields(const SEL_entry_t& record, const std::string& from = "NextID",
                                 const std::string& to = "physloc");
    static std::vector<tallowsim::Command> bmcCommands(const std::string& dir = kBmcDir);
    // Sets a fault of the simulated BMC ("open", "append", "cli", "cli-status"); 0 clears it.
    static void setBmcFault(const std::string& name, int value, const std::string& dir = kBmcDir);

    // A forwarding mark: the id it holds; -1 when the file is missing, -2 when it is not
    // exactly 4 bytes long.
    static int readMark(const std::string& path);
    static void writeMark(const std::string& path, int id);

private:
    void checkSanitizerReports();

    pid_t launcher = 0;
    int launcherExit = -1;
    pid_t detached = 0;
    int detachedExit = -1;
    int keeper = -1;
    std::vector<int> passed;
};

#endif
