// End-to-end benchmark of the daemon: starts the real daemon binary in an isolated root
// whose folders lie on a real disk, raises indications with the broker tool, waits until
// every one is stored and then forwarded to the simulated BMC, and prints the rates
// beside the limits measured in the same run on the same disk: a minimal program doing
// the same single-row durable INSERT, in the rollback journal and in the write-ahead
// log, and libxml2 alone reading the same document.
//
// Scenarios, each on a fresh daemon, database and BMC:
//   steady  the indications raised one after another from one thread, half to the FPL
//           and halcyon, half to the FPL only
//   burst   the same indications raised from 8 threads at once (--threads)
//   reader  the burst, with a reader polling the number of rows still to forward every
//           100 ms through its own connection, as an administrator's query does
//   holder  the burst, with that reader keeping its first read transaction open for 60 s;
//           not in the default list
//   memory  steady raising, stopped once every indication is stored (forwarding runs
//           meanwhile): peak resident memory over a long run (--count 100000) without
//           waiting for the slower forwarding; not in the default list
//
//     orvind-bench-e2e [--count N] [--scenarios LIST] [--threads T] [--fpl-only] [--dir PARENT]
//                      [--keep]
//
// --fpl-only raises every indication to the FPL only (none for halcyon). With the daemon
// built with the IPMI backend (ORVIND_BMC_LAN set), the records are in the BMC's SEL, which
// the caller counts (bench/e2e-ipmi.sh).
//
// Runs as root (it needs a mount namespace). The work folder is made under PARENT
// (default $TMPDIR or /tmp) and removed at the end unless --keep is given.

#include "logtail.h"

#include <libxml/xmlreader.h>
#include <libxml/xmlversion.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kMountPoints[] = {"/run", "/var/log", "/var/lib", "/opt"};
const char* const kLogFile = "/var/log/vexa/orvind";
const char* const kPidFile = "/var/run/orvind.pid";
const char* const kDatabase = "/var/lib/orvind/indications.db";
const char* const kWalFile = "/var/lib/orvind/indications.db-wal";
const char* const kTempFile = "/opt/vexa/orvind/fifo.tmp";
const char* const kBmcDir = "/var/lib/orvind-bmc";
const char* const kBroker = "/var/lib/cim-broker";
const char* const kReaderQuery = "SELECT count(*) FROM indication WHERE Status=0";
// Longest wait for the next sign of progress before the run is given up.
const int kStallSeconds = 120;

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "orvind-bench-e2e: %s\n", what.c_str());
    exit(1);
}

void check(bool ok, const std::string& what) {
    if (!ok) {
        die(what + ": " + strerror(errno));
    }
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs a program and waits for it; its exit status, -1 when it did not exit.
int run(std::vector<std::string> args, std::vector<std::string> env, bool quiet = true) {
    std::vector<char*> argv, envp;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_t child = fork();
    check(child >= 0, "fork");
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        if (quiet) {
            dup2(null, 1);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads what the daemon's log gained since the last look and counts the lines that
// mark the progress of the intake and of the forwarding.
class LogProgress {
public:
    void read() {
        for (const std::string& line : tail.next()) {
            count(line);
        }
    }

    size_t stored = 0;    // "insert ... indication success"
    size_t fetched = 0;   // "fetch number ..."
    size_t forwarded = 0; // "update number ... indication success"
    size_t errors = 0;    // any "[error]" line
    size_t busy = 0;      // "database is busy, ...": a statement slept before its retry
    bool threadStarted = false;
    std::vector<Clock::time_point> storedAt; // when each insert line was seen

private:
    static bool endsWith(const std::string& line, const std::string& tail) {
        return line.size() >= tail.size() &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    }

    void count(const std::string& line) {
        if (line.find("][error] ") != std::string::npos) {
            ++errors;
        }
        if (line.find("] database is busy, ") != std::string::npos) {
            ++busy;
        }
        if (line.find("][info] insert ") != std::string::npos &&
            endsWith(line, " indication success")) {
            ++stored;
            storedAt.push_back(Clock::now());
        } else if (line.find("][info] fetch number ") != std::string::npos) {
            ++fetched;
        } else if (line.find("][info] update number ") != std::string::npos &&
                   endsWith(line, " indication success")) {
            ++forwarded;
        } else if (endsWith(line, "][info] new thread starts up.")) {
            threadStarted = true;
        }
    }

    LogTail tail{kLogFile};
};

// Largest size the write-ahead log file reached while it was watched.
off_t peakWal = 0;

// Polls the log until done() holds; gives up when the counts stop moving.
void waitFor(LogProgress& log, const std::function<bool()>& done, const char* what) {
    size_t last = 0;
    auto moved = Clock::now();
    for (;;) {
        log.read();
        struct stat st;
        if (stat(kWalFile, &st) == 0) {
            peakWal = std::max(peakWal, st.st_size);
        }
        if (done()) {
            return;
        }
        size_t now = log.stored + log.fetched + log.forwarded;
        if (now != last) {
            last = now;
            moved = Clock::now();
        } else if (Clock::now() - moved > std::chrono::seconds(kStallSeconds)) {
            die(std::string("no progress while waiting for ") + what + "; see the log in the " +
                "work folder (--keep)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string sqlQuoted(const char* text) {
    std::string out = "'";
    for (const char* p = text; *p != '\0'; ++p) {
        out += *p;
        if (*p == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

struct Db {
    explicit Db(const char* path) {
        if (sqlite3_open(path, &handle) != SQLITE_OK) {
            die(std::string("cannot open ") + path);
        }
    }
    ~Db() { sqlite3_close(handle); }
    // First value of the first row.
    std::string value(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        std::string result;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
        return result;
    }
    sqlite3* handle = nullptr;
};

// The INSERT that stored the last row, rebuilt from the row: every column but Id, text
// quoted and numbers bare, as the store writes them.
std::string lastInsert(Db& db) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db.handle, "select * from indication order by Id desc limit 1", -1,
                           &stmt, nullptr) != SQLITE_OK ||
        sqlite3_step(stmt) != SQLITE_ROW) {
        die("no stored row to copy");
    }
    std::string names, values;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        std::string name = sqlite3_column_name(stmt, i);
        if (name == "Id") {
            continue;
        }
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        int type = sqlite3_column_type(stmt, i);
        names += (names.empty() ? "" : ",") + name;
        values += values.empty() ? "" : ",";
        if (name == "Status") {
            values += "0";
        } else if (type == SQLITE_NULL) {
            values += "NULL";
        } else if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
            values += text;
        } else {
            values += sqlQuoted(text);
        }
    }
    sqlite3_finalize(stmt);
    return "insert into indication(" + names + ") values(" + values + ")";
}

// Rows per second of the same INSERT, each in its own durable transaction as the store
// commits it (synchronous=FULL), in the given journal mode ("DELETE" for the rollback
// journal, "WAL"), on a fresh database in the same folder.
double insertLimit(const std::string& schema, const std::string& insert, const char* mode,
                   size_t* rows) {
    const std::string path = "/var/lib/orvind/limit.db";
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        unlink((path + suffix).c_str());
    }
    {
        Db db(path.c_str());
        const std::string setup =
            std::string("PRAGMA synchronous=FULL; PRAGMA journal_mode=") + mode + "; " + schema;
        if (sqlite3_exec(db.handle, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            die("cannot make the limit table");
        }
        *rows = 0;
        auto start = Clock::now();
        while (*rows < 200 || Clock::now() - start < std::chrono::seconds(3)) {
            if (sqlite3_exec(db.handle, insert.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                die(std::string("limit insert failed: ") + sqlite3_errmsg(db.handle));
            }
            ++*rows;
        }
        double rate = *rows / seconds(Clock::now() - start);
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            unlink((path + suffix).c_str());
        }
        return rate;
    }
}

// Documents per second that libxml2's reader reads through, opened on the file as the
// intake opens each document.
double readLimit(const std::string& document, size_t* reads) {
    *reads = 0;
    auto start = Clock::now();
    while (*reads < 1000 || Clock::now() - start < std::chrono::seconds(2)) {
        xmlTextReaderPtr reader = xmlReaderForFile(document.c_str(), "utf-8", 0);
        if (reader == nullptr) {
            die("libxml2 cannot open the document");
        }
        int rc;
        while ((rc = xmlTextReaderRead(reader)) == 1) {
        }
        xmlFreeTextReader(reader);
        ++*reads;
    }
    return *reads / seconds(Clock::now() - start);
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

std::string fsType(const char* path) {
    struct statfs st;
    if (statfs(path, &st) != 0) {
        return "unknown";
    }
    switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53:
        return "ext4";
    case 0x58465342:
        return "xfs";
    case 0x9123683E:
        return "btrfs";
    case 0x01021994:
        return "tmpfs";
    case 0x794C7630:
        return "overlayfs";
    default: {
        char hex[32];
        snprintf(hex, sizeof hex, "fs 0x%lx", static_cast<unsigned long>(st.f_type));
        return hex;
    }
    }
}

// "VmHWM" of a process, in KiB.
long peakRss(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

std::string fixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The raise and delivery times the broker tool wrote (--times), in delivery order.
std::vector<std::pair<long long, long long>> readTimes(const std::vector<std::string>& files) {
    std::vector<std::pair<long long, long long>> times;
    for (const std::string& file : files) {
        std::ifstream in(file);
        long long raised, delivered;
        while (in >> raised >> delivered) {
            times.emplace_back(raised, delivered);
        }
    }
    std::sort(times.begin(), times.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    return times;
}

// The 99th percentile, in milliseconds, of the time from raising an indication to its
// row: the intake stores documents in the order they entered the pipe, so the k-th row
// seen in the log belongs to the k-th delivery.
double p99LatencyMs(const std::vector<std::pair<long long, long long>>& times,
                    const std::vector<Clock::time_point>& rows) {
    size_t n = std::min(times.size(), rows.size());
    if (n == 0) {
        return -1;
    }
    std::vector<double> latencies;
    for (size_t k = 0; k < n; ++k) {
        long long row =
            std::chrono::duration_cast<std::chrono::nanoseconds>(rows[k].time_since_epoch())
                .count();
        latencies.push_back((row - times[k].first) / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies[std::min(n - 1, static_cast<size_t>(0.99 * n))];
}

// Polls the number of rows still to forward through its own connection every interval,
// as an administrator's query does, until stopped; with a hold, the first poll opens a
// read transaction that stays open that long, as a shell left inside BEGIN does.
class Reader {
public:
    Reader(std::chrono::milliseconds interval, std::chrono::seconds hold)
        : thread_([this, interval, hold] { loop(interval, hold); }) {}
    ~Reader() { stop(); }

    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    size_t polls = 0;
    size_t failures = 0;
    std::string firstFailure;
    double slowestMs = 0;

private:
    void loop(std::chrono::milliseconds interval, std::chrono::seconds hold) {
        sqlite3* db = nullptr;
        if (sqlite3_open(kDatabase, &db) != SQLITE_OK) {
            ++failures;
        }
        bool holding =
            hold.count() > 0 && sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
        const auto began = Clock::now();
        while (running_) {
            auto start = Clock::now();
            if (holding && start - began >= hold) {
                sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
                holding = false;
            }
            sqlite3_stmt* stmt = nullptr;
            int rc = sqlite3_prepare_v2(db, kReaderQuery, -1, &stmt, nullptr);
            if (rc == SQLITE_OK) {
                rc = sqlite3_step(stmt);
            }
            // Before the daemon has made its table the query cannot run yet.
            seenTable = seenTable || rc == SQLITE_ROW;
            if (rc != SQLITE_ROW && seenTable && failures++ == 0) {
                firstFailure = sqlite3_errmsg(db);
            }
            sqlite3_finalize(stmt);
            ++polls;
            slowestMs = std::max(slowestMs, seconds(Clock::now() - start) * 1000);
            std::this_thread::sleep_until(start + interval);
        }
        sqlite3_close(db);
    }

    bool seenTable = false;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

struct Options {
    size_t count = 10000;
    std::vector<std::string> scenarios = {"steady", "burst", "reader"};
    unsigned threads = 8;
    bool fplOnly = false;
    std::string parent;
    bool keep = false;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        items.push_back(item);
    }
    return items;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    const char* tmp = getenv("TMPDIR");
    o.parent = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) {
            o.count = strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--scenarios" && i + 1 < argc) {
            o.scenarios = split(argv[++i]);
        } else if (arg == "--threads" && i + 1 < argc) {
            o.threads = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--dir" && i + 1 < argc) {
            o.parent = argv[++i];
        } else if (arg == "--fpl-only") {
            o.fplOnly = true;
        } else if (arg == "--keep") {
            o.keep = true;
        } else {
            fprintf(stderr, "Usage: orvind-bench-e2e [--count N] "
                            "[--scenarios steady,burst,reader,holder,memory] "
                            "[--threads T] [--fpl-only] [--dir PARENT] [--keep]\n");
            exit(2);
        }
    }
    if (o.count < 2) {
        die("--count must be at least 2");
    }
    if (o.threads < 2) {
        die("--threads must be at least 2");
    }
    for (const std::string& name : o.scenarios) {
        if (name != "steady" && name != "burst" && name != "reader" && name != "holder" &&
            name != "memory") {
            die("unknown scenario " + name);
        }
    }
    return o;
}

// What one scenario measured.
struct Result {
    std::string name;
    double storedRate = 0;
    double forwardedRate = 0;
    double p99Ms = 0;
    long rssKiB = 0;
    size_t busy = 0;
    size_t errors = 0;
    off_t peakWal = 0;
    size_t polls = 0;
    size_t pollFailures = 0;
    std::string pollFailure;
    double slowestPollMs = 0;
    std::string checks;
    bool complete = false;
};

// The machine under test: the work folder, the private copies of the binaries and the
// daemon's environment.
struct Bench {
    Options options;
    std::string work;
    std::string bin;
    std::string dictionary;
    std::vector<std::string> env;
    // The row and schema the limits copy, from the first scenario's database.
    std::string schema;
    std::string insert;
    std::string document;
};

// Empties the daemon's folders and makes the ones it expects, as a fresh install.
void freshRoot(const Bench& b) {
    for (const char* point : kMountPoints) {
        for (const auto& entry : fs::directory_iterator(point)) {
            fs::remove_all(entry.path());
        }
    }
    for (const char* dir :
         {"/var/log/vexa", "/var/lib/orvind", "/opt/vexa/orvind", kBroker, kBmcDir}) {
        fs::create_directories(dir);
    }
    fs::copy_file(b.dictionary, std::string(kBmcDir) + "/event-dictionary.txt");
}

Result runScenario(Bench& b, const std::string& name) {
    Result r;
    r.name = name;
    const size_t count = b.options.count;
    freshRoot(b);
    peakWal = 0;

    LogProgress log;
    if (run({b.bin + "/orvind"}, b.env) != 0) {
        die("the daemon did not start:\n" + readText(kLogFile));
    }
    waitFor(
        log, [&] { return log.threadStarted; }, "the daemon's start");
    pid_t daemon = static_cast<pid_t>(strtol(readText(kPidFile).c_str(), nullptr, 10));
    if (daemon <= 0) {
        die("no pid file");
    }

    // Half the indications go to the FPL and to halcyon (alert level 5), half to the FPL
    // only (alert level 1); with --fpl-only, all to the FPL only.
    const size_t selected = b.options.fplOnly ? 0 : count / 2;
    const size_t plain = count - selected;
    std::vector<std::string> timeFiles;
    auto raise = [&](size_t n, const char* provider, const char* event, unsigned threads) {
        if (n == 0) {
            return std::function<int()>([] { return 0; });
        }
        std::string times = b.work + "/times-" + std::to_string(timeFiles.size());
        timeFiles.push_back(times);
        std::vector<std::string> args = {b.bin + "/orvind-broker",
                                         "raise",
                                         "--class",
                                         "VEXA_AlertIndication",
                                         "--count",
                                         std::to_string(n),
                                         "--threads",
                                         std::to_string(threads),
                                         "--times",
                                         times,
                                         "-p",
                                         std::string("ProviderName:string=") + provider,
                                         "-p",
                                         std::string("EventID:string=") + event,
                                         "-p",
                                         "EventTime:datetime=20200913142640.000000+000",
                                         "-p",
                                         "HWPartNumber:string=PN-1234",
                                         "-p",
                                         "HWEncodingPhysicalLocation:string=00020001000a0321",
                                         "-p",
                                         "SystemFirmwareVersion:string=1.2.3",
                                         "-p",
                                         "NetworkAddresses:string[]=10.0.0.5,fe80::5",
                                         "-p",
                                         "PerceivedSeverity:uint16=6",
                                         "-p",
                                         "Description:string=Logical drive failed on controller 0"};
        return std::function<int()>([args, &b] { return run(args, b.env); });
    };
    std::unique_ptr<Reader> reader;
    if (name == "reader" || name == "holder") {
        reader = std::make_unique<Reader>(std::chrono::milliseconds(100),
                                          std::chrono::seconds(name == "holder" ? 60 : 0));
    }
    std::atomic<int> raisedFirst(-1), raisedSecond(-1);
    const auto start = Clock::now();
    std::vector<std::thread> providers;
    if (name == "steady" || name == "memory") {
        // One kind after the other, one thread each.
        auto first = raise(selected, "VEXA_RAID", "1", 1);
        auto second = raise(plain, "VEXA_WBEM", "2", 1);
        providers.emplace_back([&, first, second] {
            raisedFirst = first();
            raisedSecond = second();
        });
    } else {
        // Both kinds at once, the threads shared between them.
        const unsigned half = b.options.threads / 2;
        auto first = raise(selected, "VEXA_RAID", "1", half);
        auto second = raise(plain, "VEXA_WBEM", "2", b.options.threads - half);
        providers.emplace_back([&, first] { raisedFirst = first(); });
        providers.emplace_back([&, second] { raisedSecond = second(); });
    }
    Clock::time_point firstFetch{};
    auto noteFetch = [&] {
        if (firstFetch == Clock::time_point{} && log.fetched > 0) {
            firstFetch = Clock::now();
        }
    };
    waitFor(
        log,
        [&] {
            noteFetch();
            return log.stored >= count;
        },
        "the indications to be stored");
    const auto storedAt = Clock::now();
    for (std::thread& t : providers) {
        t.join();
    }
    if (raisedFirst != 0 || raisedSecond != 0) {
        die("the broker tool failed to deliver");
    }
    // The memory scenario stops once everything is stored, whatever is forwarded by then.
    const bool forwardAll = name != "memory";
    waitFor(
        log,
        [&] {
            noteFetch();
            return !forwardAll || log.forwarded >= count;
        },
        "the rows to be forwarded");
    const auto forwardedAt = Clock::now();
    const size_t forwarded = forwardAll ? count : log.forwarded;
    if (reader) {
        reader->stop();
        r.polls = reader->polls;
        r.pollFailures = reader->failures;
        r.pollFailure = reader->firstFailure;
        r.slowestPollMs = reader->slowestMs;
    }
    r.rssKiB = peakRss(daemon);
    std::error_code copied;
    if (b.document.empty() && fs::copy_file(kTempFile, b.work + "/document.xml", copied)) {
        // The last document as the intake read it, for the libxml2 limit.
        b.document = b.work + "/document.xml";
    }
    kill(daemon, SIGTERM);
    int status = 0;
    while (waitpid(daemon, &status, 0) < 0 && errno == EINTR) {
    }

    // What arrived where it should.
    Db db(kDatabase);
    const std::string rows = db.value("select count(*) from indication where Status=1");
    const std::string all = db.value("select count(*) from indication");
    const size_t fplRecords = fs::exists(std::string(kBmcDir) + "/fpl")
                                  ? fs::file_size(std::string(kBmcDir) + "/fpl") / 46
                                  : 0;
    std::string commandsText = readText(std::string(kBmcDir) + "/commands");
    const size_t commands = std::count(commandsText.begin(), commandsText.end(), '\n');
    if (b.schema.empty()) {
        b.schema = db.value("select sql from sqlite_master where name='indication'");
        b.insert = lastInsert(db);
    }

    r.storedRate = count / seconds(storedAt - start);
    if (firstFetch == Clock::time_point{}) {
        firstFetch = forwardedAt; // nothing fetched yet
    }
    r.forwardedRate = forwarded == 0 ? 0 : forwarded / seconds(forwardedAt - firstFetch);
    r.p99Ms = p99LatencyMs(readTimes(timeFiles), log.storedAt);
    r.busy = log.busy;
    r.errors = log.errors;
    r.peakWal = peakWal;
    // A LAN BMC's records are counted by the caller.
    const bool lan = getenv("ORVIND_BMC_LAN") != nullptr;
    r.complete = forwardAll ? rows == std::to_string(count) &&
                                  (lan || (fplRecords == count && commands == selected))
                            : all == std::to_string(count);
    char checks[320];
    snprintf(checks, sizeof checks,
             "%s rows, %s at status 1, %zu FPL records, %zu halcyon commands, %zu error "
             "lines, exit status %d; stored in %.2f s, %zu forwarded in %.2f s after the "
             "first fetch",
             all.c_str(), rows.c_str(), fplRecords, commands, log.errors,
             WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds(storedAt - start), forwarded,
             seconds(forwardedAt - firstFetch));
    r.checks = checks;
    return r;
}

std::string ratio(double value, double limit) {
    return fixed(value / limit, 2) + "x";
}

} // namespace

int main(int argc, char** argv) {
    Bench b;
    b.options = parseOptions(argc, argv);
    if (getuid() != 0) {
        die("must run as root (it makes a mount namespace for the daemon's folders)");
    }

    // The work folder, on the disk under test, with private copies of the binaries made
    // before anything is mounted (the build tree may lie under /opt or /var).
    std::string pattern = b.options.parent + "/orvind-bench-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp under " + b.options.parent);
    b.work = fs::canonical(pattern).string();
    b.bin = b.work + "/bin";
    fs::create_directories(b.bin);
    // Another build of the daemon (bench/e2e-ipmi.sh: the one with the IPMI backend).
    const char* daemonBinary = getenv("ORVIND_BENCH_DAEMON");
    fs::copy_file(daemonBinary != nullptr && daemonBinary[0] != '\0' ? daemonBinary
                                                                     : ORVIND_DAEMON_BIN,
                  b.bin + "/orvind");
    fs::copy_file(ORVIND_TOOLS_DIR "/orvind-broker", b.bin + "/orvind-broker");
    fs::copy_file(ORVIND_SOURCE_DIR "/tests/data/forwarding/rpm", b.bin + "/rpm");
    chmod((b.bin + "/rpm").c_str(), 0755);
    b.dictionary = b.work + "/event-dictionary.txt";
    fs::copy_file(ORVIND_SOURCE_DIR "/platform/tallow/data/event-dictionary.txt", b.dictionary);
    const std::string disk = fsType(b.work.c_str());

    check(unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS)");
    check(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "making / private");
    for (const char* point : kMountPoints) {
        std::string source = b.work + "/root" + point;
        fs::create_directories(source);
        check(mount(source.c_str(), point, nullptr, MS_BIND, nullptr) == 0,
              std::string("binding ") + point);
    }
    check(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, "PR_SET_CHILD_SUBREAPER");

    // The daemon's environment: ours, with the stand-in rpm first on PATH and without
    // anything that would lead it away from its fixed paths.
    for (char** e = environ; *e != nullptr; ++e) {
        std::string var = *e;
        // The BMC's LAN address and credentials stay (bench/e2e-ipmi.sh).
        if (var.rfind("ORVIND_", 0) == 0 && var.rfind("ORVIND_BMC_LAN=", 0) != 0 &&
            var.rfind("ORVIND_BMC_USER=", 0) != 0 && var.rfind("ORVIND_BMC_PASSWORD=", 0) != 0) {
            continue;
        }
        if (var.rfind("PATH=", 0) == 0) {
            var.insert(5, b.bin + ":");
        }
        b.env.push_back(var);
    }

    utsname names;
    uname(&names);
    printf("orvind end-to-end benchmark\n\n");
    printf("Machine: %s, %ld cores, %.1f GiB memory, Linux %s; work folder on %s (%s).\n",
           cpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1 << 30),
           names.release, disk.c_str(), b.work.c_str());
    printf("SQLite %s, libxml2 %s. %zu indications per scenario, raised with orvind-broker: "
           "%s. Each scenario's limits are measured on the same disk right after it, with the "
           "daemon stopped: durable single-row INSERTs/s of its last row in the rollback "
           "journal and in the write-ahead log.\n\n",
           sqlite3_libversion(), LIBXML_DOTTED_VERSION, b.options.count,
           b.options.fplOnly ? "all to the FPL only"
                             : "half to the FPL and halcyon, half to the FPL only");
    printf("| Scenario | stored/s | vs rollback INSERT | vs WAL INSERT | forwarded/s | vs "
           "rollback INSERT | p99 raise to row | peak RSS | busy sleeps | peak WAL file | "
           "INSERT/s rollback, WAL |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    fflush(stdout);
    std::vector<Result> results;
    bool complete = true;
    for (const std::string& name : b.options.scenarios) {
        fprintf(stderr, "orvind-bench-e2e: %s, %zu indications...\n", name.c_str(),
                b.options.count);
        Result r = runScenario(b, name);
        size_t rows = 0;
        const double rollbackRate = insertLimit(b.schema, b.insert, "DELETE", &rows);
        const double walRate = insertLimit(b.schema, b.insert, "WAL", &rows);
        std::string scenario = r.name == "steady"   ? "steady, 1 thread"
                               : r.name == "memory" ? "steady, stopped once stored"
                               : r.name == "burst"
                                   ? "burst, " + std::to_string(b.options.threads) + " threads"
                               : r.name == "holder" ? "burst + reader holding 60 s"
                                                    : "burst + reader every 100 ms";
        printf("| %s | %s | %s | %s | %s | %s | %s ms | %s MiB | %zu | %s MiB | %s, %s |\n",
               scenario.c_str(), fixed(r.storedRate, 0).c_str(),
               ratio(r.storedRate, rollbackRate).c_str(), ratio(r.storedRate, walRate).c_str(),
               fixed(r.forwardedRate, 0).c_str(), ratio(r.forwardedRate, rollbackRate).c_str(),
               fixed(r.p99Ms, 0).c_str(), fixed(r.rssKiB / 1024.0, 1).c_str(), r.busy,
               fixed(r.peakWal / 1048576.0, 1).c_str(), fixed(rollbackRate, 0).c_str(),
               fixed(walRate, 0).c_str());
        fflush(stdout);
        complete = complete && r.complete;
        results.push_back(r);
    }
    size_t reads = 0;
    const double readRate = readLimit(b.document, &reads);
    printf("\nlibxml2 alone reads the %zu-byte document %s times/s.\n",
           static_cast<size_t>(fs::file_size(b.document)), fixed(readRate, 0).c_str());
    for (const Result& r : results) {
        printf("%s: %s.", r.name.c_str(), r.checks.c_str());
        if (r.name == "reader" || r.name == "holder") {
            printf(" Reader: %zu polls, %zu failed%s%s, slowest %s ms.", r.polls, r.pollFailures,
                   r.pollFailures > 0 ? ": " : "", r.pollFailure.c_str(),
                   fixed(r.slowestPollMs, 1).c_str());
        }
        printf("\n");
    }

    for (auto point = std::rbegin(kMountPoints); point != std::rend(kMountPoints); ++point) {
        umount2(*point, MNT_DETACH);
    }
    if (b.options.keep) {
        printf("Work folder kept: %s\n", b.work.c_str());
    } else {
        std::error_code ignored;
        fs::remove_all(b.work, ignored);
    }
    if (!complete) {
        fprintf(stderr, "orvind-bench-e2e: not everything arrived\n");
        return 1;
    }
    return 0;
}
