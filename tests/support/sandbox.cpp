#include "sandbox.h"

#include "brokertool.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <memory>
#include <sched.h>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

const char* const kMountPoints[] = {"/run", "/var/log", "/var/lib", "/opt"};
// Variables that would lead the daemon away from the fixed paths of its isolated root.
const char* const kRedirections[] = {
    "ORVIND_BMC_DIR=", "ORVIND_BMC_DICTIONARY=", "ORVIND_BROKER_DIR="};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("sandbox: " + what + ": " + strerror(errno));
}

// What the test process sets up once: private copies of the binaries, a folder for
// sanitizer reports, its own mount namespace and the subreaper role.
struct ProcessSetup {
    std::string dir;
    std::string daemon;
    std::string reports;
    std::string bin;

    ProcessSetup() {
        char pattern[] = "/tmp/orvind-sandbox-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            fail("mkdtemp");
        }
        dir = pattern;
        chmod(dir.c_str(), 0755); // a daemon started as another user must reach its binary
        // Copied before anything is mounted: the build tree may lie under /opt or /var.
        // A test may run another build of the daemon (one with another BMC backend).
        daemon = dir + "/orvind";
        const char* binary = getenv("ORVIND_TEST_DAEMON");
        fs::copy_file(binary != nullptr && binary[0] != '\0' ? binary : ORVIND_DAEMON_BIN, daemon);
        // First on the daemon's PATH: a stand-in rpm that knows the provider package and
        // the release, so that the host facts of a management-processor event are known.
        bin = dir + "/bin";
        fs::create_directory(bin);
        fs::copy_file(std::string(ORVIND_TEST_DATA) + "/forwarding/rpm", bin + "/rpm");
        chmod((bin + "/rpm").c_str(), 0755);
        reports = dir + "/sanitizer";
        fs::create_directory(reports);
        chmod(reports.c_str(), 01777);

        if (unshare(CLONE_NEWNS) != 0) {
            fail("unshare(CLONE_NEWNS) (the end-to-end tests must run as root)");
        }
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            fail("making / private");
        }
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
            fail("PR_SET_CHILD_SUBREAPER");
        }
    }

    ~ProcessSetup() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

ProcessSetup& setup() {
    static ProcessSetup instance;
    return instance;
}

// Reaps `child` once it has ended: `code` becomes its exit status, or 128 + the signal.
bool reaped(pid_t child, int& code) {
    int status = 0;
    if (code < 0 && child > 0 && waitpid(child, &status, WNOHANG) == child) {
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return code >= 0;
}

// Children of this process that run (or ran) the daemon binary.
std::vector<pid_t> daemon_children() {
    std::vector<pid_t> found;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
        int pid = 0;
        int ppid = 0;
        char state = 0;
        const std::string stat = readFile(entry.path().string() + "/stat");
        if (sscanf(stat.c_str(), "%d (orvind) %c %d", &pid, &state, &ppid) == 3 &&
            ppid == getpid()) {
            found.push_back(pid);
        }
    }
    return found;
}

// The environment of the daemon: the test's own, with sanitizer reports sent to files
// (the detached daemon's standard error is the null device).
std::vector<std::string> daemon_environment() {
    const char* const sanitizers[] = {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"};
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string var = *entry;
        auto starts = [&](const std::string& name) { return var.rfind(name, 0) == 0; };
        if (std::any_of(std::begin(kRedirections), std::end(kRedirections), starts) ||
            std::any_of(std::begin(sanitizers), std::end(sanitizers), starts)) {
            continue;
        }
        env.push_back(starts("PATH=") ? "PATH=" + setup().bin + ":" + var.substr(5) : var);
    }
    for (const char* name : sanitizers) {
        const char* given = getenv(name);
        env.push_back(std::string(name) + "=" + (given != nullptr ? given + std::string(":") : "") +
                      "log_path=" + setup().reports + "/report");
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

std::string outputPath(int fd) {
    return setup().dir + (fd == 1 ? "/stdout" : "/stderr");
}

} // namespace

Sandbox::Sandbox() {
    setup();
    for (const char* point : kMountPoints) {
        if (mount("tmpfs", point, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
            fail(std::string("mounting tmpfs over ") + point);
        }
    }
    for (const char* dir :
         {"/var/log/vexa", "/var/lib/orvind", kWorkDir, kBrokerRepository, kBmcDir}) {
        fs::create_directories(dir);
    }
    // The sample dictionary is the one the project installs; here it is not installed.
    fs::copy_file(std::string(ORVIND_SOURCE_DIR) + "/platform/tallow/data/event-dictionary.txt",
                  std::string(kBmcDir) + "/" + tallowsim::kDictionaryFile);
}

Sandbox::~Sandbox() {
    // Nothing started here may outlive the test.
    std::vector<pid_t> left = daemon_children();
    if (launcher > 0 && launcherExit < 0) {
        left.push_back(launcher);
    }
    for (pid_t child : left) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    checkSanitizerReports();
    if (keeper >= 0) {
        close(keeper);
    }
    for (auto point = std::rbegin(kMountPoints); point != std::rend(kMountPoints); ++point) {
        umount2(*point, MNT_DETACH);
    }
}

bool Sandbox::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Sandbox::waitUntilForwarded(int quietMs) {
    auto waiting = [] { return queryValue("select count(*) from indication where Status=0"); };
    for (std::string before = waiting();;) {
        if (waitUntil([&] { return waiting() == "0"; }, quietMs)) {
            return true;
        }
        const std::string now = waiting();
        if (now == before) {
            return false;
        }
        before = now;
    }
}

void Sandbox::launch(const std::vector<std::string>& args, uid_t uid) {
    launcher = detached = 0;
    launcherExit = detachedExit = -1;
    std::vector<std::string> argv{setup().daemon};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = daemon_environment();
    // LISTEN_PID names the started process: written in the child, into room made here
    // (no allocation after fork).
    std::string listenPid(32, '\0');
    if (!passed.empty()) {
        env.push_back("LISTEN_FDS=" + std::to_string(passed.size()));
    }
    std::vector<char*> argvp = pointers(argv);
    std::vector<char*> envp = pointers(env);
    if (!passed.empty()) {
        envp.insert(envp.end() - 1, &listenPid[0]);
    }

    // What the started command says on its terminal.
    int out = open(outputPath(1).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(outputPath(2).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t child = fork();
    if (child < 0) {
        fail("fork");
    }
    if (child == 0) {
        dup2(out, 1);
        dup2(err, 2);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
            _exit(126);
        }
        if (!passed.empty()) {
            // Out of the way first, then into place from 3 on, inherited.
            int high[8];
            const size_t count = std::min(passed.size(), sizeof high / sizeof high[0]);
            for (size_t i = 0; i < count; ++i) {
                high[i] = fcntl(passed[i], F_DUPFD_CLOEXEC, 100);
            }
            for (size_t i = 0; i < count; ++i) {
                if (high[i] < 0 || dup2(high[i], static_cast<int>(3 + i)) < 0) {
                    _exit(125);
                }
            }
            snprintf(&listenPid[0], listenPid.size(), "LISTEN_PID=%d", static_cast<int>(getpid()));
        }
        execve(argvp[0], argvp.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    launcher = child;
}

int Sandbox::keepPipe() {
    if (mkfifo(kFifo, 0600) != 0) {
        fail("making the pipe");
    }
    keeper = open(kFifo, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (keeper < 0) {
        fail("opening the pipe");
    }
    fcntl(keeper, F_SETPIPE_SZ, 1 << 20);
    passed = {keeper};
    return keeper;
}

std::string Sandbox::launcherOutput(int fd) {
    return readFile(outputPath(fd));
}

pid_t Sandbox::startDaemon(const std::vector<std::string>& args) {
    // A log kept from an earlier run of the test already holds the start-up lines.
    const size_t started = countLog("[info] new thread starts up.");
    launch(args);
    pid_t daemon = daemonPid();
    EXPECT_NE(daemon, 0) << "not detached (command status " << launcherExit << "); log:\n" << log();
    if (daemon == 0) {
        return 0;
    }
    // Running once the forwarding thread has started; a daemon that ends meanwhile
    // fails at once.
    bool ready = waitUntil([this, started] {
        return reaped(detached, detachedExit) ||
               (exists(kPidFile) && countLog("[info] new thread starts up.") > started);
    });
    EXPECT_TRUE(ready && detachedExit < 0)
        << "the daemon did not come up (exit status " << detachedExit << "); log:\n"
        << log();
    return daemon;
}

int Sandbox::launcherStatus(int timeoutMs) {
    waitUntil([this] { return launcher <= 0 || reaped(launcher, launcherExit); }, timeoutMs);
    return launcherExit;
}

pid_t Sandbox::daemonPid(int timeoutMs) {
    if (detached == 0 && launcherStatus(timeoutMs) == 0) {
        // The command has ended after detaching: the daemon is a child of ours now.
        waitUntil(
            [this] {
                std::vector<pid_t> children = daemon_children();
                detached = children.empty() ? 0 : children.front();
                return detached > 0;
            },
            timeoutMs);
    }
    return detached;
}

void Sandbox::signal(int signo) {
    pid_t daemon = daemonPid();
    ASSERT_GT(daemon, 0) << "no daemon to signal";
    ASSERT_EQ(kill(daemon, signo), 0) << strerror(errno);
}

int Sandbox::waitForExit(int timeoutMs) {
    int launched = launcherStatus(timeoutMs);
    if (launched == 0 && daemonPid(timeoutMs) > 0) {
        waitUntil([this] { return reaped(detached, detachedExit); }, timeoutMs);
    }
    checkSanitizerReports();
    return launched != 0 ? launched : detachedExit;
}

int Sandbox::stop(int signo) {
    signal(signo);
    return waitForExit();
}

void Sandbox::checkSanitizerReports() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(setup().reports, ignored)) {
        ADD_FAILURE() << "sanitizer report of the daemon, " << entry.path() << ":\n"
                      << readFile(entry.path());
        fs::remove(entry.path(), ignored);
    }
}

std::string Sandbox::log() {
    return readFile(kLogFile);
}

std::vector<std::string> Sandbox::logEntries() {
    return ::logEntries(kLogFile);
}

size_t Sandbox::countLog(const std::string& entry) {
    const auto entries = logEntries();
    return static_cast<size_t>(std::count(entries.begin(), entries.end(), entry));
}

bool Sandbox::waitForLog(const std::string& entry, size_t count, int timeoutMs) {
    return waitUntil([&] { return countLog(entry) >= count; }, timeoutMs);
}

size_t Sandbox::countContaining(const std::string& text) {
    const auto entries = logEntries();
    return static_cast<size_t>(std::count_if(entries.begin(), entries.end(), [&](auto& line) {
        return line.find(text) != std::string::npos;
    }));
}

std::string Sandbox::received(size_t bytes) {
    return "[info] Received a document of " + std::to_string(bytes) + " bytes.";
}

bool Sandbox::exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Sandbox::framed(const std::string& document) {
    return document + "\n" + kTrailer + "\n";
}

void Sandbox::writePipe(const std::string& bytes) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(fopen(kFifo, "a+"), fclose);
    ASSERT_NE(pipe, nullptr) << strerror(errno);
    fwrite(bytes.data(), 1, bytes.size(), pipe.get());
}

void Sandbox::writeDelivery(const std::string& bytes) {
    // The daemon's read end on the pipe: it opens a new one, then closes the old one, only
    // after a read that finds every writer gone.
    const std::string fds = "/proc/" + std::to_string(daemonPid()) + "/fd";
    auto readEnd = [&fds](std::string& found) {
        std::error_code error;
        found.clear();
        for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
            found += std::filesystem::read_symlink(fd.path(), error) == kFifo
                         ? "/" + fd.path().filename().string()
                         : "";
        }
        return std::count(found.begin(), found.end(), '/') == 1;
    };
    std::string before, now;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(fopen(kFifo, "a+"), fclose);
    ASSERT_NE(pipe, nullptr) << strerror(errno);
    EXPECT_TRUE(waitUntil([&] { return readEnd(before); })); // kept while this writer is here
    fwrite(bytes.data(), 1, bytes.size(), pipe.get());
    pipe.reset();
    EXPECT_TRUE(waitUntil([&] { return readEnd(now) && now != before; })) << "no end seen";
}

void Sandbox::deliver(const std::string& document) {
    writePipe(framed(document));
}

void Sandbox::raiseIndications(int count, const std::vector<std::string>& more) {
    std::vector<std::string> args = more;
    args.insert(args.begin(),
                {"raise", "--class", "VEXA_AlertIndication", "--count", std::to_string(count),
                 "--retries", "0", "-p", "ProviderName:string=VEXA_RAID", "-p", "EventID:string=1",
                 "-p", "EventTime:datetime=20200101000001.000000+000", "-p",
                 "HWPartNumber:string=PN-1", "-p", "NetworkAddresses:string[]=10.0.0.1"});
    ToolResult raised = runBrokerTool(args, kBrokerRepository);
    EXPECT_EQ(raised.status, 0) << raised.out << raised.err;
}

std::vector<std::vector<std::string>> Sandbox::query(const std::string& sql,
                                                     const std::string& database) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* handle = nullptr;
    int rc = sqlite3_open(database.c_str(), &handle);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(handle, sqlite3_close);
    char* error = nullptr;
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(handle, kTimeoutMs);
        auto addRow = [](void* out, int columns, char** values, char**) {
            auto& row = static_cast<std::vector<std::vector<std::string>>*>(out)->emplace_back();
            for (int i = 0; i < columns; ++i) {
                row.push_back(values[i] != nullptr ? values[i] : "NULL");
            }
            return 0;
        };
        rc = sqlite3_exec(handle, sql.c_str(), addRow, &rows, &error);
    }
    EXPECT_EQ(rc, SQLITE_OK) << database << ": " << sql << ": "
                             << (error != nullptr ? error : sqlite3_errmsg(handle));
    sqlite3_free(error);
    return rc == SQLITE_OK ? rows : std::vector<std::vector<std::string>>();
}

std::string Sandbox::queryValue(const std::string& sql, const std::string& database) {
    auto rows = query(sql, database);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

std::string Sandbox::insertRow(const std::string& provider, const std::string& event,
                               const std::string& time, const std::string& part) {
    return "insert into indication(Status, ProviderName, EventID, EventTime, HWPartNumber, "
           "HWEncodingPhysicalLocation, HWPhysicalLocation, SystemFirmwareVersion, "
           "NetworkAddresses) values(0, '" +
           provider + "', '" + event + "', '" + time + "', '" + part +
           "', '00020001000a0321', 'NULL', '1.2.3', '10.0.0.5 ');";
}

void Sandbox::storeRows(size_t count,
                        const std::vector<std::pair<std::string, std::string>>& events,
                        time_t first, const std::string& zone) {
    { SQLiteDB store(kDatabase); }
    std::string sql = "begin;";
    for (size_t n = 0; n < count; ++n) {
        const time_t at = first + static_cast<time_t>(n);
        struct tm parts;
        gmtime_r(&at, &parts);
        char time[32];
        strftime(time, sizeof time, "%Y%m%d%H%M%S.000000", &parts);
        sql += insertRow(events[n % events.size()].first, events[n % events.size()].second,
                         time + zone);
    }
    query(sql + "commit;");
}

std::vector<SEL_entry_t> Sandbox::fplRecords(const std::string& dir) {
    tallowsim::Fpl fpl;
    std::string error;
    EXPECT_TRUE(tallowsim::readFpl(dir, fpl, &error)) << error;
    return fpl.records;
}

std::string Sandbox::fplFields(const SEL_entry_t& record, const std::string& from,
                               const std::string& to) {
    const std::pair<const char*, size_t> fields[] = {
        {"NextID", 4},  {"ThisID", 4},  {"Timestamp", 8}, {"extra", 8},  {"RecType", 1},
        {"e0.word", 4}, {"e0.type", 1}, {"e0.b9-b16", 8}, {"physloc", 8}};
    const char* bytes = reinterpret_cast<const char*>(&record);
    std::string text;
    bool in = false;
    for (const auto& [field, size] : fields) {
        in = in || field == from;
        if (in) {
            text += std::string(" ") + field + "=" + hexOf(bytes, size);
        }
        in = in && field != to;
        bytes += size;
    }
    return text;
}

std::vector<tallowsim::Command> Sandbox::bmcCommands(const std::string& dir) {
    std::vector<tallowsim::Command> commands;
    std::string error;
    EXPECT_TRUE(tallowsim::readCommands(dir, commands, &error)) << error;
    return commands;
}

void Sandbox::setBmcFault(const std::string& name, int value, const std::string& dir) {
    tallowsim::Faults faults = tallowsim::readFaults(dir);
    std::string error;
    ASSERT_TRUE(tallowsim::setFault(faults, name, value, &error)) << error;
    ASSERT_TRUE(tallowsim::makeStateDir(dir, &error)) << error;
    ASSERT_TRUE(tallowsim::writeFaults(dir, faults, &error)) << error;
}

int Sandbox::readMark(const std::string& path) {
    const std::string bytes = readFile(path);
    int id = 0;
    if (bytes.size() != sizeof id) {
        return exists(path) ? -2 : -1;
    }
    memcpy(&id, bytes.data(), sizeof id);
    return id;
}

void Sandbox::writeMark(const std::string& path, int id) {
    writeFile(path, std::string(reinterpret_cast<const char*>(&id), sizeof id));
}
