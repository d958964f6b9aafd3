// orvindctl: what the daemon is doing, for the administrator (status) and for
// monitoring (metrics in the Prometheus text format). Read-only: it opens the
// database with mode=ro and a short busy timeout, reads only the end of the log, and
// never creates a file except the metrics file it is told to write.
#include "cimclient.h"
#include "health.h"
#include "paths.h"
#include "runstate.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The text of an errno value.
std::string errorText(int error) {
    char buffer[256];
    // The GNU strerror_r answers the text, in the buffer or not.
    return strerror_r(error, buffer, sizeof buffer);
}

const char* const kUsage =
    "Usage: orvindctl [--json] status\n"
    "       orvindctl metrics [--textfile-dir DIR]\n"
    "\n"
    "Shows what orvind is doing, without disturbing it.\n"
    "\n"
    "  status          whether the daemon runs, its pipe and who holds it, the rows\n"
    "                  waiting to be forwarded, the last stored and forwarded rows, the\n"
    "                  forwarding marks, the journal and the last error lines of the log\n"
    "  --json          the same as one JSON object\n"
    "  metrics         the same figures in the Prometheus text format\n"
    "  --textfile-dir DIR  write them to DIR/orvind.prom (replaced whole) for\n"
    "                  node_exporter's textfile collector\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "Exit status of status, as its first line says: 0 healthy (running, subscribed to\n"
    "the broker, the BMC answering, nothing held, no refusal in the last hour),\n"
    "1 degraded, 3 not running, 4 cannot tell (also when not run as root); of\n"
    "metrics: 1 when the database cannot be read, 4 when not run as root; 2 for a\n"
    "wrong command line.\n";

// Not run as root: nothing can be told (LSB's "unknown").
const int kNotRootStatus = 4;

// How long a query waits for a database that a writer holds.
const int kBusyTimeoutMs = 500;
// How much of the end of the log is read for its last error lines, and how many are shown.
const off_t kLogTail = off_t{256} * 1024;
const size_t kErrorLines = 5;

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtCloser {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
struct FdCloser {
    void operator()(int* fd) const {
        close(*fd);
        delete fd;
    }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtCloser>;
using Dir = std::unique_ptr<DIR, DirCloser>;
using Fd = std::unique_ptr<int, FdCloser>;

Fd openRead(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    return Fd(fd >= 0 ? new int(fd) : nullptr);
}

// Up to `limit` bytes of a file from `offset`; "" when it cannot be read.
std::string readPart(const std::string& path, off_t offset, size_t limit) {
    Fd fd = openRead(path);
    if (!fd) {
        return "";
    }
    std::string text(limit, '\0');
    ssize_t got = pread(*fd, text.data(), limit, offset);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

struct Row {
    long long id = 0;
    std::string time; // the row's IndicationTime, else its EventTime (CIM datetime)
    long long epoch = -1;
    // For a row without a time of its own: when it arrived, to the minute (the start of
    // the minute its commit fell in); -1 when not known.
    long long arrived = -1;
};

struct Holder {
    long pid;
    std::string command;
    std::string mode;
};

struct Status {
    // The daemon.
    long pid = 0;         // from the pid file, 0 when it has none
    bool pidFile = false; // the pid file exists
    bool running = false; // the pid names a live orvind
    // The pipe.
    bool pipeExists = false;
    bool pipeIsFifo = false;
    std::vector<Holder> holders;
    // The database.
    std::string dbError; // empty when it was read
    long long waiting = 0;
    Row oldest, lastStored, lastForwarded;
    // Deliveries the broker numbered that never arrived, and those that came twice.
    long long upstreamMissing = 0, upstreamRepeated = 0;
    // Marks: -1 when missing, -2 when not 4 bytes long.
    long long fplMark = -1, halcyonMark = -1;
    // The journal: -1 when missing.
    long long journalBytes = -1;
    // The log.
    long long logBytes = -1;
    std::vector<std::string> errors;
    // What the forwarding made of the rows, per target and result (table bmc_outcome).
    std::vector<std::pair<std::string, long long>> outcomes; // "fpl written", count
    time_t now = time(nullptr);
    // What the running daemon publishes about itself, and the verdict drawn from it.
    std::map<std::string, std::string> facts;
    health::Verdict verdict;
};

std::string trim(std::string text) {
    while (!text.empty() && strchr(" \t\r\n", text.back()) != nullptr) {
        text.pop_back();
    }
    return text;
}

// The process's command name, "" when it is gone (or a zombie).
std::string liveCommand(long pid) {
    std::string stat = readPart("/proc/" + std::to_string(pid) + "/stat", 0, 1024);
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size() ||
        stat[close + 2] == 'Z') {
        return "";
    }
    return stat.substr(open + 1, close - open - 1);
}

void readDaemon(Status& s) {
    struct stat st;
    s.pidFile = lstat(paths::kPidFile, &st) == 0;
    std::string text = trim(readPart(paths::kPidFile, 0, 32));
    char* end = nullptr;
    long pid = strtol(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && pid > 0) {
        s.pid = pid;
        s.running = liveCommand(pid) == "orvind";
    }
}

void readPipe(Status& s) {
    struct stat pipe;
    if (lstat(paths::kFifo, &pipe) != 0) {
        return;
    }
    s.pipeExists = true;
    s.pipeIsFifo = S_ISFIFO(pipe.st_mode);
    if (!s.pipeIsFifo) {
        return;
    }
    // Every descriptor of every process that is this pipe.
    Dir proc(opendir("/proc"));
    while (proc) {
        dirent* entry = readdir(proc.get());
        if (entry == nullptr) {
            break;
        }
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        const std::string base = std::string("/proc/") + entry->d_name;
        Dir fds(opendir((base + "/fd").c_str()));
        while (fds) {
            dirent* fd = readdir(fds.get());
            if (fd == nullptr) {
                break;
            }
            struct stat st;
            if (fd->d_name[0] == '.' || stat((base + "/fd/" + fd->d_name).c_str(), &st) != 0 ||
                st.st_dev != pipe.st_dev || st.st_ino != pipe.st_ino) {
                continue;
            }
            std::string info = readPart(base + "/fdinfo/" + fd->d_name, 0, 512);
            size_t at = info.find("flags:");
            unsigned long flags =
                at == std::string::npos ? 0 : strtoul(info.c_str() + at + 6, nullptr, 8);
            const char* modes[] = {"reading", "writing", "reading and writing", "?"};
            s.holders.push_back({pid, liveCommand(pid), modes[flags & O_ACCMODE]});
        }
    }
}

long long markOf(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        return -1;
    }
    std::string bytes = readPart(path, 0, 8);
    if (bytes.size() != 4 || st.st_size != 4) {
        return -2;
    }
    int32_t id;
    memcpy(&id, bytes.data(), 4);
    return id;
}

// Seconds since the epoch of a CIM datetime "yyyymmddhhmmss.mmmmmmsutc"; -1 if it is none.
long long epochOf(const std::string& cim) {
    if (cim.size() != 25 || (cim[21] != '+' && cim[21] != '-')) {
        return -1;
    }
    for (size_t i : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 22u, 23u, 24u}) {
        if (cim[i] < '0' || cim[i] > '9') {
            return -1;
        }
    }
    auto field = [&](size_t at, size_t len) { return atoi(cim.substr(at, len).c_str()); };
    struct tm t = {};
    t.tm_year = field(0, 4) - 1900;
    t.tm_mon = field(4, 2) - 1;
    t.tm_mday = field(6, 2);
    t.tm_hour = field(8, 2);
    t.tm_min = field(10, 2);
    t.tm_sec = field(12, 2);
    long long offset = field(22, 3) * 60LL * (cim[21] == '-' ? -1 : 1);
    return static_cast<long long>(timegm(&t)) - offset;
}

// Runs one query; calls `row` for each result row. Empty string on success, else the error.
template <typename F> std::string query(sqlite3* db, const char* sql, F row) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        return sqlite3_errmsg(db);
    }
    Stmt stmt(raw);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        row(stmt.get());
    }
    return rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
}

std::string text(sqlite3_stmt* stmt, int column) {
    const unsigned char* value = sqlite3_column_text(stmt, column);
    return value != nullptr ? reinterpret_cast<const char*>(value) : "";
}

std::string readRow(sqlite3* db, const char* sql, Row& out) {
    return query(db, sql, [&](sqlite3_stmt* stmt) {
        out.id = sqlite3_column_int64(stmt, 0);
        out.time = text(stmt, 1);
        out.epoch = epochOf(out.time);
        if (out.epoch < 0) {
            out.time = text(stmt, 2);
            out.epoch = epochOf(out.time);
        }
    });
}

// When row `id` arrived, to the minute, from the daemon's table of arrivals; -1 when it
// does not say (a database of an earlier version, a row older than the table keeps).
long long arrivalOf(sqlite3* db, long long id) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT Minute FROM row_arrival WHERE LastId >= ? ORDER BY Minute "
                           "LIMIT 1",
                           -1, &raw, nullptr) != SQLITE_OK) {
        return -1;
    }
    Stmt stmt(raw);
    sqlite3_bind_int64(stmt.get(), 1, id);
    return sqlite3_step(stmt.get()) == SQLITE_ROW ? sqlite3_column_int64(stmt.get(), 0) * 60 : -1;
}

// Opens the database read-only with a short busy timeout; empty, with s.dbError set, when
// it cannot be opened.
Db openDatabase(const std::string& uri, Status& s) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
        s.dbError = std::string("cannot open ") + paths::kDatabase + ": " +
                    (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    return db;
}

// The database as a reader sees it: mode=ro never creates it nor its companions.
// A database the forwarding has not worked on yet has no counts.
void readOutcomes(sqlite3* db, Status& s) {
    query(db, "SELECT Target, Result, Count FROM bmc_outcome ORDER BY Target, Result",
          [&](sqlite3_stmt* stmt) {
              s.outcomes.emplace_back(text(stmt, 0) + " " + text(stmt, 1),
                                      sqlite3_column_int64(stmt, 2));
          });
}

// The counts of the broker's numbered deliveries; the daemon makes their table once a
// document carries the numbering.
void readUpstream(sqlite3* db, Status& s) {
    query(db, "SELECT ifnull(sum(Missing), 0), ifnull(sum(Repeated), 0) FROM upstream_sequence",
          [&](sqlite3_stmt* stmt) {
              s.upstreamMissing = sqlite3_column_int64(stmt, 0);
              s.upstreamRepeated = sqlite3_column_int64(stmt, 1);
          });
}

// What the daemon counted in the database: the broker's deliveries, the BMC's outcomes.
void readTallies(sqlite3* db, Status& s) {
    readUpstream(db, s);
    readOutcomes(db, s);
}

void readDatabase(Status& s) {
    struct stat st;
    if (stat(paths::kDatabase, &st) != 0) {
        s.dbError = std::string("cannot read ") + paths::kDatabase + ": " + errorText(errno);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        // A pipe there would hold the open up for ever.
        s.dbError = std::string("cannot read ") + paths::kDatabase + ": not a regular file";
        return;
    }
    // A database in WAL mode that nobody has open has no -wal file; a reader would make
    // one (and -shm). With nothing to recover from it, the file is read as it stands.
    const std::string header = readPart(paths::kDatabase, 0, 20);
    const bool walWithoutLog = header.size() == 20 && header[18] == 2 && header[19] == 2 &&
                               access((std::string(paths::kDatabase) + "-wal").c_str(), F_OK) != 0;
    const std::string uri = std::string("file:") + paths::kDatabase +
                            (walWithoutLog ? "?mode=ro&immutable=1" : "?mode=ro");
    Db db = openDatabase(uri, s);
    if (!db) {
        return;
    }
    // One read transaction: the figures agree with each other, and the daemon's writer
    // meets the reader's lock once, briefly.
    std::string error = query(db.get(), "BEGIN", [](sqlite3_stmt*) {});
    const char* const columns = "Id, IndicationTime, EventTime FROM indication";
    const std::string oldest =
        std::string("SELECT ") + columns + " WHERE Status=0 ORDER BY Id LIMIT 1";
    const std::string stored = std::string("SELECT ") + columns + " ORDER BY Id DESC LIMIT 1";
    const std::string forwarded =
        std::string("SELECT ") + columns + " WHERE Status=1 ORDER BY Id DESC LIMIT 1";
    if (error.empty()) {
        error = query(db.get(), "SELECT count(*) FROM indication WHERE Status=0",
                      [&](sqlite3_stmt* stmt) { s.waiting = sqlite3_column_int64(stmt, 0); });
    }
    if (error.empty()) {
        error = readRow(db.get(), oldest.c_str(), s.oldest);
    }
    if (error.empty() && s.oldest.id != 0 && s.oldest.epoch < 0) {
        s.oldest.arrived = arrivalOf(db.get(), s.oldest.id);
    }
    if (error.empty()) {
        error = readRow(db.get(), stored.c_str(), s.lastStored);
    }
    if (error.empty()) {
        error = readRow(db.get(), forwarded.c_str(), s.lastForwarded);
    }
    readTallies(db.get(), s); // nothing when the figures above could not be read
    query(db.get(), "COMMIT", [](sqlite3_stmt*) {});
    if (error.find("no such table") != std::string::npos) {
        error = "it holds no table indication: not orvind's database";
    } else if (error == "database is locked") {
        error += " (another program holds it; try again)";
    }
    if (!error.empty()) {
        s.dbError = std::string("cannot read ") + paths::kDatabase + ": " + error;
    }
}

void readLog(Status& s) {
    struct stat st;
    if (stat(paths::kLogFile, &st) != 0) {
        return;
    }
    s.logBytes = st.st_size;
    // Only the end: the log may be very large.
    // From one byte before the tail, to tell whether the tail starts with a whole line.
    off_t from = st.st_size > kLogTail ? st.st_size - kLogTail - 1 : 0;
    std::string tail = readPart(paths::kLogFile, from, static_cast<size_t>(kLogTail) + 1);
    // A hole of zero bytes (a log truncated under a writer) ends a line as well.
    std::replace(tail.begin(), tail.end(), '\0', '\n');
    size_t start = 0;
    if (from > 0) {
        start = tail.find('\n');
        start = start == std::string::npos ? tail.size() : start + 1;
    }
    while (start < tail.size()) {
        size_t stop = tail.find('\n', start);
        std::string line = tail.substr(start, stop == std::string::npos ? stop : stop - start);
        if (line.size() > 21 && line[0] == '[' && line.compare(20, 8, "][error]") == 0) {
            s.errors.push_back(line);
        }
        start = stop == std::string::npos ? tail.size() : stop + 1;
    }
    if (s.errors.size() > kErrorLines) {
        s.errors.erase(s.errors.begin(), s.errors.end() - kErrorLines);
    }
}

// Why the daemon is not running, for the verdict.
std::string whyNotRunning(const Status& s) {
    if (!s.pidFile) {
        return std::string("no pid file ") + paths::kPidFile;
    }
    if (s.pid == 0) {
        return std::string(paths::kPidFile) + " holds no pid";
    }
    return std::string(paths::kPidFile) + " names pid " + std::to_string(s.pid) +
           ", which is not a running orvind";
}

// The daemon's facts count only while it runs: a stopped daemon's file is stale.
void judge(Status& s) {
    health::Inputs in;
    in.running = s.running;
    in.now = s.now;
    if (!s.running) {
        in.notRunning = whyNotRunning(s);
    } else {
        Fd state = openRead(paths::kStateFile);
        if (!state) {
            in.readable = false;
            in.unreadable = std::string("cannot read ") + paths::kStateFile + ": " +
                            errorText(errno) + (errno == EACCES ? " (run orvindctl as root)" : "");
        } else {
            s.facts = RunState::read(paths::kStateFile);
            in.facts = s.facts;
        }
    }
    s.verdict = health::judge(in);
}

std::string fact(const Status& s, const char* name) {
    auto found = s.facts.find(name);
    return found == s.facts.end() ? std::string() : found->second;
}

// The daemon's registration in the broker, as it publishes it.
std::string describeSubscription(const Status& s) {
    std::string text =
        fact(s, "subscribed") == "1"
            ? "subscribed since " + fact(s, "subscribed_since")
            : std::string("not subscribed") + (s.facts.count("subscribed") != 0 ? "" : " yet");
    const std::string refusal = fact(s, "subscription_refusal");
    return refusal.empty() ? text : text + "; last refusal " + refusal;
}

Status gather() {
    Status s;
    readDaemon(s);
    judge(s);
    readPipe(s);
    readDatabase(s);
    s.fplMark = markOf(paths::kFplMark);
    s.halcyonMark = markOf(paths::kHalcyonMark);
    struct stat st;
    if (stat(paths::kPendingFile, &st) == 0) {
        s.journalBytes = st.st_size;
    }
    readLog(s);
    return s;
}

std::string utc(long long epoch) {
    time_t t = static_cast<time_t>(epoch);
    struct tm tm;
    char out[64] = "?";
    if (gmtime_r(&t, &tm) != nullptr) {
        strftime(out, sizeof out, "%F %T UTC", &tm);
    }
    return out;
}

std::string describeRow(const Row& row, time_t now) {
    if (row.id == 0) {
        return "none";
    }
    std::string text = "id " + std::to_string(row.id);
    if (row.epoch >= 0) {
        text += ", raised " + utc(row.epoch) + " (" + std::to_string(now - row.epoch) + " s ago)";
    } else if (row.time.empty() || row.time == "NULL") {
        text += ", no time given";
    } else {
        text += ", time " + row.time;
    }
    if (row.epoch < 0 && row.arrived >= 0) {
        text +=
            ", arrived " + utc(row.arrived) + " (" + std::to_string(now - row.arrived) + " s ago)";
    }
    return text;
}

std::string describeMark(long long mark) {
    return mark == -1   ? "none"
           : mark == -2 ? "damaged (not 4 bytes)"
                        : "id " + std::to_string(mark);
}

std::string describeDaemon(const Status& s) {
    if (s.running) {
        return "running (pid " + std::to_string(s.pid) + ")";
    }
    if (!s.pidFile) {
        return std::string("not running (no pid file ") + paths::kPidFile + ")";
    }
    if (s.pid == 0) {
        return std::string("not running (") + paths::kPidFile +
               " holds no pid; remove it before starting orvind)";
    }
    return "not running: " + std::string(paths::kPidFile) + " names pid " + std::to_string(s.pid) +
           ", which is not a running orvind (left behind; orvind-pidfile clear-stale removes it)";
}

// Seconds since a published UTC time ("%Y-%m-%dT%H:%M:%SZ"); -1 when there is none.
long long secondsSince(const std::string& when, time_t now) {
    struct tm tm = {};
    if (when.empty() || strptime(when.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm) == nullptr) {
        return -1;
    }
    return static_cast<long long>(now - timegm(&tm));
}

// What became of the records sent to the BMC, and what the daemon knows of the BMC now.
void printBmc(const Status& s) {
    std::string counts;
    std::string target;
    for (const auto& [name, count] : s.outcomes) {
        const std::string its = name.substr(0, name.find(' '));
        counts += (counts.empty()  ? ""
                   : its == target ? ", "
                                   : "; ") +
                  (its == target ? name.substr(name.find(' ') + 1) : name) + " " +
                  std::to_string(count);
        target = its;
    }
    if (s.dbError.empty()) {
        printf("BMC records:    %s\n", counts.empty() ? "none yet" : counts.c_str());
    }
    if (!s.running) {
        return;
    }
    const std::string reachable = fact(s, "bmc_reachable");
    const std::string heldSince = fact(s, "bmc_held_since");
    if (reachable == "0") {
        printf("BMC:            not reachable since %s, rows wait\n", heldSince.c_str());
    } else if (reachable == "1") {
        printf("BMC:            reachable\n");
    }
    if (fact(s, "bmc_not_keeping") == "1") {
        printf("BMC:            this BMC does not keep OEM records\n");
    }
    const std::string refusal = fact(s, "bmc_last_refusal");
    if (!refusal.empty()) {
        printf("last refusal:   %s\n", refusal.c_str());
    }
}

// The CIM client the running daemon registers through; without one, the one this build
// (the daemon's own package) uses.
std::string cimClient(const Status& s) {
    auto found = s.facts.find("cim_client");
    return found != s.facts.end() && !found->second.empty() ? found->second
                                                            : cimClientDescription();
}

void printWords(const Status& s) {
    printf("health:         %s\n", s.verdict.line().c_str());
    printf("daemon:         %s\n", describeDaemon(s).c_str());
    printf("CIM client: %s\n", cimClient(s).c_str());
    if (s.running) {
        printf("broker:         %s\n", describeSubscription(s).c_str());
    }
    std::string pipe = paths::kFifo;
    if (!s.pipeExists) {
        pipe += " (missing)";
    } else if (!s.pipeIsFifo) {
        pipe += " (not a named pipe)";
    } else if (s.holders.empty()) {
        pipe += ", held by nobody";
    } else {
        for (size_t i = 0; i < s.holders.size(); ++i) {
            const Holder& h = s.holders[i];
            pipe += (i == 0 ? ", held for " : "; for ") + h.mode + " by pid " +
                    std::to_string(h.pid) + " (" + h.command + ")";
        }
    }
    printf("pipe:           %s\n", pipe.c_str());
    if (!s.dbError.empty()) {
        printf("database:       %s\n", s.dbError.c_str());
    } else {
        printf("database:       %s\n", paths::kDatabase);
        printf("rows waiting:   %lld%s\n", s.waiting,
               s.waiting > 0 ? (", the oldest " + describeRow(s.oldest, s.now)).c_str() : "");
        printf("last stored:    %s\n", describeRow(s.lastStored, s.now).c_str());
        printf("last forwarded: %s\n", describeRow(s.lastForwarded, s.now).c_str());
        printf("upstream:       %lld lost before the daemon, %lld delivered twice\n",
               s.upstreamMissing, s.upstreamRepeated);
    }
    printBmc(s);
    printf("marks:          FPL %s, halcyon %s\n", describeMark(s.fplMark).c_str(),
           describeMark(s.halcyonMark).c_str());
    printf("journal:        %s, %s\n", paths::kPendingFile,
           s.journalBytes < 0 ? "none" : (std::to_string(s.journalBytes) + " bytes").c_str());
    if (s.logBytes < 0) {
        printf("log:            %s (missing)\n", paths::kLogFile);
    } else if (s.errors.empty()) {
        printf("log:            %s, no error lines near its end\n", paths::kLogFile);
    } else {
        printf("log:            %s, its last error lines:\n", paths::kLogFile);
        for (const auto& line : s.errors) {
            printf("  %s\n", line.c_str());
        }
    }
}

std::string json(const std::string& text) {
    return health::jsonString(text);
}

std::string jsonRow(const Row& row, time_t now) {
    if (row.id == 0) {
        return "null";
    }
    std::string out = "{\"id\": " + std::to_string(row.id) + ", \"time\": " + json(row.time);
    if (row.epoch >= 0) {
        out += ", \"epoch\": " + std::to_string(row.epoch) +
               ", \"age_seconds\": " + std::to_string(now - row.epoch);
    } else if (row.arrived >= 0) {
        out += ", \"arrived_epoch\": " + std::to_string(row.arrived) +
               ", \"age_seconds\": " + std::to_string(now - row.arrived);
    }
    return out + "}";
}

std::string jsonNumber(long long value, long long none = -1) {
    return value == none ? "null" : std::to_string(value);
}

// What became of the records sent to the BMC and what the daemon knows of it, as JSON.
std::string bmcJson(const Status& s) {
    const bool db = s.dbError.empty();
    std::string outcomes;
    for (const auto& [name, count] : s.outcomes) {
        outcomes +=
            std::string(outcomes.empty() ? "" : ", ") + json(name) + ": " + std::to_string(count);
    }
    auto factJson = [&](const char* name) {
        const std::string value = fact(s, name);
        return value.empty() ? std::string("null") : json(value);
    };
    return std::string("{\"records\": ") + (db ? "{" + outcomes + "}" : "null") +
           ", \"reachable\": " + factJson("bmc_reachable") +
           ", \"held_since\": " + factJson("bmc_held_since") +
           ", \"not_keeping\": " + (fact(s, "bmc_not_keeping") == "1" ? "true" : "false") +
           ", \"last_refusal\": " + factJson("bmc_last_refusal") + "}";
}

void printJson(const Status& s) {
    std::string holders;
    for (const auto& h : s.holders) {
        holders += std::string(holders.empty() ? "" : ", ") + "{\"pid\": " + std::to_string(h.pid) +
                   ", \"command\": " + json(h.command) + ", \"mode\": " + json(h.mode) + "}";
    }
    std::string errors;
    for (const auto& line : s.errors) {
        errors += std::string(errors.empty() ? "" : ", ") + json(line);
    }
    const bool db = s.dbError.empty();
    printf("{\n");
    printf("  \"health\": %s,\n", s.verdict.json().c_str());
    printf("  \"cim_client\": %s,\n", json(cimClient(s)).c_str());
    printf("  \"running\": %s,\n", s.running ? "true" : "false");
    printf("  \"pid\": %s,\n", s.pid > 0 ? std::to_string(s.pid).c_str() : "null");
    // Known only while the daemon runs.
    auto known = [&s](const char* name) {
        return s.running && s.facts.count(name) != 0 ? json(fact(s, name)) : std::string("null");
    };
    printf("  \"subscription\": {\"subscribed\": %s, \"since\": %s, \"last_refusal\": %s},\n",
           !s.running                     ? "null"
           : fact(s, "subscribed") == "1" ? "true"
                                          : "false",
           known("subscribed_since").c_str(), known("subscription_refusal").c_str());
    printf("  \"pid_file\": {\"path\": %s, \"exists\": %s, \"stale\": %s},\n",
           json(paths::kPidFile).c_str(), s.pidFile ? "true" : "false",
           s.pidFile && !s.running ? "true" : "false");
    printf("  \"pipe\": {\"path\": %s, \"exists\": %s, \"fifo\": %s, \"holders\": [%s]},\n",
           json(paths::kFifo).c_str(), s.pipeExists ? "true" : "false",
           s.pipeIsFifo ? "true" : "false", holders.c_str());
    printf("  \"database\": {\"path\": %s, \"error\": %s},\n", json(paths::kDatabase).c_str(),
           db ? "null" : json(s.dbError).c_str());
    printf("  \"rows_waiting\": %s,\n", db ? std::to_string(s.waiting).c_str() : "null");
    printf("  \"oldest_waiting\": %s,\n", db ? jsonRow(s.oldest, s.now).c_str() : "null");
    printf("  \"last_stored\": %s,\n", db ? jsonRow(s.lastStored, s.now).c_str() : "null");
    printf("  \"last_forwarded\": %s,\n", db ? jsonRow(s.lastForwarded, s.now).c_str() : "null");
    printf("  \"upstream\": %s,\n",
           db ? ("{\"missing\": " + std::to_string(s.upstreamMissing) +
                 ", \"repeated\": " + std::to_string(s.upstreamRepeated) + "}")
                    .c_str()
              : "null");
    printf("  \"marks\": {\"fpl\": %s, \"halcyon\": %s, \"fpl_damaged\": %s, "
           "\"halcyon_damaged\": %s},\n",
           s.fplMark >= 0 ? std::to_string(s.fplMark).c_str() : "null",
           s.halcyonMark >= 0 ? std::to_string(s.halcyonMark).c_str() : "null",
           s.fplMark == -2 ? "true" : "false", s.halcyonMark == -2 ? "true" : "false");
    printf("  \"bmc\": %s,\n", bmcJson(s).c_str());
    printf("  \"journal\": {\"path\": %s, \"bytes\": %s},\n", json(paths::kPendingFile).c_str(),
           jsonNumber(s.journalBytes).c_str());
    printf("  \"log\": {\"path\": %s, \"bytes\": %s, \"last_errors\": [%s]}\n",
           json(paths::kLogFile).c_str(), jsonNumber(s.logBytes).c_str(), errors.c_str());
    printf("}\n");
}

// The forwarding: its marks, what became of the records sent to the BMC, and whether
// the BMC answers now.
std::string forwardingMetrics(const Status& s) {
    std::string out;
    auto metric = [&](const char* name, const char* help, const std::string& samples,
                      const char* type = "gauge") {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
               samples;
    };
    auto sample = [](const char* name, long long value) {
        return std::string(name) + " " + std::to_string(value) + "\n";
    };
    std::string marks;
    if (s.fplMark >= 0) {
        marks += "orvind_mark{target=\"fpl\"} " + std::to_string(s.fplMark) + "\n";
    }
    if (s.halcyonMark >= 0) {
        marks += "orvind_mark{target=\"halcyon\"} " + std::to_string(s.halcyonMark) + "\n";
    }
    if (!marks.empty()) {
        metric("orvind_mark", "Id of the last indication handed to each target.", marks);
    }
    std::string records;
    for (const auto& [name, count] : s.outcomes) {
        const size_t blank = name.find(' ');
        records += "orvind_bmc_records_total{target=\"" + name.substr(0, blank) + "\",result=\"" +
                   name.substr(blank + 1) + "\"} " + std::to_string(count) + "\n";
    }
    if (!records.empty()) {
        metric("orvind_bmc_records_total",
               "Records and commands sent to the BMC, by target and what became of them.", records,
               "counter");
    }
    const std::string reachable = fact(s, "bmc_reachable");
    if (!reachable.empty()) {
        metric("orvind_bmc_reachable", "1 when the BMC answered the last try, 0 while rows wait.",
               sample("orvind_bmc_reachable", reachable == "1"));
        const long long held = secondsSince(fact(s, "bmc_held_since"), s.now);
        metric("orvind_bmc_held_seconds", "How long the current BMC outage lasts (0: none).",
               sample("orvind_bmc_held_seconds", held < 0 ? 0 : held));
    }
    return out;
}

// Whether the daemon is subscribed, and the counts of the broker's numbered deliveries
// that never arrived or came twice (when the database could be read).
std::string brokerMetrics(const Status& s) {
    auto family = [](const std::string& name, const char* type, const char* help, long long value) {
        return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
               std::to_string(value) + "\n";
    };
    std::string out =
        family("orvind_subscribed", "gauge",
               "1 when the running orvind is subscribed to the CIM broker's indications.",
               s.running && fact(s, "subscribed") == "1");
    if (s.dbError.empty()) {
        out += family("orvind_upstream_missing_total", "counter",
                      "Deliveries the broker numbered that never arrived (lost before the "
                      "daemon).",
                      s.upstreamMissing);
        out += family("orvind_upstream_repeated_total", "counter",
                      "Deliveries the broker numbered that arrived more than once (each stored).",
                      s.upstreamRepeated);
    }
    return out;
}

// The running daemon's counts since it started (a restart starts them at 0 again).
void counters(const Status& s, std::string& out) {
    const struct {
        const char* fact;
        const char* name;
        const char* help;
    } counts[] = {
        {"documents_received", "orvind_documents_received_total",
         "Documents taken from the pipe and handed to the parser since the daemon started."},
        {"documents_stored", "orvind_documents_stored_total",
         "Documents whose rows were committed since the daemon started."},
        {"journal_retries", "orvind_journal_retries_total",
         "Failed attempts to store the documents waiting in the journal, each tried again."},
        {"documents_damaged", "orvind_documents_damaged_total",
         "Documents stored in no row because they were not whole; kept in the stray file."},
        {"stray_bytes_dropped", "orvind_stray_bytes_dropped_total",
         "Bytes dropped from the stray file at its bound (16 MiB), oldest first."},
        {"log_lines_dropped", "orvind_log_lines_dropped_total",
         "Log lines dropped whole because the log could not be written (a full disk)."},
    };
    for (const auto& c : counts) {
        auto found = s.facts.find(c.fact);
        if (found == s.facts.end()) {
            continue;
        }
        out += std::string("# HELP ") + c.name + " " + c.help + "\n# TYPE " + c.name +
               " counter\n" + c.name + " " + found->second + "\n";
    }
}

// How long the oldest waiting row has waited: by its own time, else since it arrived;
// 0 when none waits or neither is known.
long long oldestAge(const Status& s) {
    const long long since = s.oldest.epoch >= 0 ? s.oldest.epoch : s.oldest.arrived;
    return s.waiting > 0 && since >= 0 ? s.now - since : 0;
}

std::string metricsText(const Status& s) {
    std::string out;
    auto metric = [&](const char* name, const char* help, const std::string& samples) {
        out +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + samples;
    };
    auto sample = [](const char* name, long long value) {
        return std::string(name) + " " + std::to_string(value) + "\n";
    };
    metric("orvind_up", "1 when the pid file names a running orvind.",
           sample("orvind_up", s.running));
    metric("orvind_healthy", "1 when orvind runs and does its work (orvindctl status exits 0).",
           sample("orvind_healthy", s.verdict.state == health::State::Healthy));
    out += brokerMetrics(s);
    metric("orvind_pipe_holders", "Descriptors open on the daemon's named pipe.",
           sample("orvind_pipe_holders", static_cast<long long>(s.holders.size())));
    const bool db = s.dbError.empty();
    metric("orvind_database_readable", "1 when the indication database could be read.",
           sample("orvind_database_readable", db));
    if (db) {
        metric("orvind_rows_waiting", "Stored indications not yet forwarded (status 0).",
               sample("orvind_rows_waiting", s.waiting));
        metric("orvind_oldest_waiting_age_seconds",
               "Age of the oldest waiting indication (its own time, else its arrival); 0: none.",
               sample("orvind_oldest_waiting_age_seconds", oldestAge(s)));
        metric("orvind_last_stored_id", "Id of the last stored indication (0: none).",
               sample("orvind_last_stored_id", s.lastStored.id));
        metric("orvind_last_forwarded_id", "Id of the last forwarded indication (0: none).",
               sample("orvind_last_forwarded_id", s.lastForwarded.id));
        if (s.lastStored.epoch >= 0) {
            metric("orvind_last_stored_timestamp_seconds",
                   "Time of the last stored indication, by its own time.",
                   sample("orvind_last_stored_timestamp_seconds", s.lastStored.epoch));
        }
        if (s.lastForwarded.epoch >= 0) {
            metric("orvind_last_forwarded_timestamp_seconds",
                   "Time of the last forwarded indication, by its own time.",
                   sample("orvind_last_forwarded_timestamp_seconds", s.lastForwarded.epoch));
        }
    }
    counters(s, out);
    metric("orvind_journal_bytes", "Size of the intake journal (0 when there is none).",
           sample("orvind_journal_bytes", s.journalBytes < 0 ? 0 : s.journalBytes));
    metric("orvind_log_bytes", "Size of the daemon's log (0 when there is none).",
           sample("orvind_log_bytes", s.logBytes < 0 ? 0 : s.logBytes));
    return out + forwardingMetrics(s);
}

// Replaces DIR/orvind.prom whole, so that the collector never reads half a file.
bool writeTextfile(const std::string& dir, const std::string& text) {
    const std::string target = dir + "/orvind.prom";
    const std::string temp = target + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        fprintf(stderr, "orvindctl: cannot write %s: %s\n", temp.c_str(), errorText(errno).c_str());
        return false;
    }
    Fd owner(new int(fd));
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        fchmod(fd, 0644) != 0 || rename(temp.c_str(), target.c_str()) != 0) {
        fprintf(stderr, "orvindctl: cannot write %s: %s\n", target.c_str(),
                errorText(errno).c_str());
        unlink(temp.c_str());
        return false;
    }
    return true;
}

int wrong(const std::string& problem) {
    fprintf(stderr, "orvindctl: %s\nTry 'orvindctl --help'.\n", problem.c_str());
    return 2;
}

// metrics: the Prometheus text on standard output, or into DIR/orvind.prom.
int metricsCommand(const std::string& textfileDir) {
    const Status s = gather();
    const std::string text = metricsText(s);
    if (!s.dbError.empty()) {
        fprintf(stderr, "orvindctl: %s\n", s.dbError.c_str());
    }
    if (textfileDir.empty()) {
        fputs(text.c_str(), stdout);
    } else if (!writeTextfile(textfileDir, text)) {
        return 1;
    }
    return s.dbError.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool asJson = false;
    std::string command, textfileDir;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a == "-V" || a == "--version") {
            printf("orvindctl %s\n", ORVIND_VERSION);
            return 0;
        }
        if (a == "--json") {
            asJson = true;
        } else if (a == "--textfile-dir") {
            if (i + 1 == args.size()) {
                return wrong("--textfile-dir needs a folder");
            }
            textfileDir = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            return wrong("unknown option '" + a + "'");
        } else if (command.empty()) {
            command = a;
        } else {
            return wrong("unexpected argument '" + a + "' after '" + command + "'");
        }
    }
    if (command.empty()) {
        return wrong("no command given: say status or metrics");
    }
    if (command != "status" && command != "metrics") {
        return wrong("unknown command '" + command + "': say status or metrics");
    }
    if (command == "status" && !textfileDir.empty()) {
        return wrong("--textfile-dir goes with metrics, not status");
    }
    if (command == "metrics" && asJson) {
        return wrong("--json goes with status; metrics are always in the Prometheus format");
    }

    // Another user would find every file unreadable and take that for the daemon's state.
    if (geteuid() != 0) {
        fprintf(stderr,
                "orvindctl: permission denied: only root reads orvind's files; run it as root "
                "(sudo orvindctl %s)\n",
                command.c_str());
        return kNotRootStatus;
    }
    if (command == "metrics") {
        return metricsCommand(textfileDir);
    }
    const Status s = gather();
    if (asJson) {
        printJson(s);
    } else {
        printWords(s);
    }
    return s.verdict.exitStatus();
}
