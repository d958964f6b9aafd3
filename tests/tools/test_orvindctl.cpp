#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The tool and the output checker, copied before any sandbox mounts over the tree.
struct Programs {
    TempDir dir;
    std::string tool = dir.file("orvindctl");
    std::string checker = dir.file("check_output.py");
    Programs() {
        fs::copy_file(ORVIND_TOOLS_DIR "/orvindctl", tool);
        fs::copy_file(ORVIND_SOURCE_DIR "/tests/tools/check_output.py", checker);
    }
};

Programs& programs() {
    static Programs instance;
    return instance;
}

struct Outcome {
    int status = -1;
    std::string out, err;
    double seconds = 0;
};

// Runs the program with its arguments (argv), `input` on its standard input.
Outcome run(const std::vector<std::string>& argv, const std::string& input = "") {
    TempDir temp;
    writeFile(temp.file("in"), input);
    std::string command;
    for (const std::string& arg : argv) {
        command += "'" + arg + "' ";
    }
    command += "<" + temp.file("in") + " >" + temp.file("out") + " 2>" + temp.file("err");
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    Outcome result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.out = readFile(temp.file("out"));
    result.err = readFile(temp.file("err"));
    return result;
}

Outcome orvindctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{programs().tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

// The output read by a real parser of its format: one line per value, sorted.
std::string parsed(const std::string& format, const std::string& text) {
    Outcome r = run({"/usr/bin/python3", programs().checker, format}, text);
    EXPECT_EQ(r.status, 0) << r.err << "\n" << text;
    return r.out;
}

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Each part is in the text; with `lines`, as a whole line.
void expectAll(const std::string& text, const std::vector<std::string>& parts, bool lines = false) {
    for (const std::string& part : parts) {
        EXPECT_TRUE(lines ? holds("\n" + text + "\n", "\n" + part + "\n") : holds(text, part))
            << part << "\n"
            << text;
    }
}

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

// A connection of the test's own that holds a lock until it goes.
Db holdLock(const char* begin) {
    sqlite3* raw = nullptr;
    sqlite3_open(Sandbox::kDatabase, &raw);
    Db db(raw);
    sqlite3_busy_timeout(db.get(), Sandbox::kTimeoutMs);
    EXPECT_EQ(sqlite3_exec(db.get(), begin, nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db.get());
    return db;
}

void makeDatabase() {
    Sandbox::query(readFile(ORVIND_TEST_DATA "/store/schema.sql"));
}

void appendLog(const std::string& line) {
    std::ofstream(Sandbox::kLogFile, std::ios::app) << line << "\n";
}

} // namespace

// A running daemon with rows waiting: every figure, in words, as JSON and as metrics.
TEST(Orvindctl, ReportsARunningDaemonWithABacklog) {
    programs();
    Sandbox sb;
    makeDatabase(); // the daemon makes its table only once the intake runs
    const pid_t daemon = sb.startDaemon();
    // Three rows, the first one forwarded; the forwarding thread pauses 3 s after its
    // start, and the lock held from here on keeps it from marking any row meanwhile.
    Sandbox::query(Sandbox::insertRow("VEXA_WBEM", "2", "20261206093000.000000+060") +
                   Sandbox::insertRow("VEXA_RAID", "1", "20261206093100.000000+060") +
                   Sandbox::insertRow("VEXA_WBEM", "1", "20261206093200.000000-120") +
                   "update indication set Status=1 where Id=1;");
    Db lock = holdLock("BEGIN IMMEDIATE");
    Sandbox::writeMark(Sandbox::kFplMark, 1);
    Sandbox::writeMark(Sandbox::kHalcyonMark, 1);
    const std::string error = "[2026-12-06 09:40:00][error] failed to write VEXA_RAID indication "
                              "to halcyon";
    appendLog(error);
    const std::string pid = std::to_string(daemon);
    // 2026-12-06 08:31:00 UTC and 11:32:00 UTC.
    const long long oldest = 1796545860, newest = 1796556720;

    Outcome words = orvindctl({"status"});
    EXPECT_EQ(words.status, 0) << words.out << words.err;
    expectAll(words.out,
              {"daemon:         running (pid " + pid + ")\n",
               "pipe:           " + std::string(Sandbox::kFifo) + ", held for reading",
               "by pid " + pid + " (orvind)",
               "rows waiting:   2, the oldest id 2, raised 2026-12-06 08:31:00 UTC (",
               "last stored:    id 3, raised 2026-12-06 11:32:00 UTC (",
               "last forwarded: id 1, raised 2026-12-06 08:30:00 UTC (",
               std::string("marks:          FPL id 1, halcyon id 1\n"), "  " + error + "\n"});

    Outcome json = orvindctl({"--json", "status"});
    EXPECT_EQ(json.status, 0) << json.err;
    expectAll(parsed("json", json.out),
              {"running=true", "pid=" + pid, "pid_file.stale=false", "pipe.fifo=true",
               "pipe.holders[0].pid=" + pid, "pipe.holders[0].command=\"orvind\"",
               "database.error=null", "rows_waiting=2", "oldest_waiting.id=2",
               "oldest_waiting.epoch=" + std::to_string(oldest), "last_stored.id=3",
               "last_stored.epoch=" + std::to_string(newest), "last_forwarded.id=1", "marks.fpl=1",
               "marks.halcyon=1", "log.last_errors[0]=\"" + error + "\""},
              true);

    Outcome metrics = orvindctl({"metrics"});
    EXPECT_EQ(metrics.status, 0) << metrics.err;
    expectAll(parsed("metrics", metrics.out),
              {"orvind_up{} 1", "orvind_database_readable{} 1", "orvind_rows_waiting{} 2",
               "orvind_last_stored_id{} 3", "orvind_last_forwarded_id{} 1",
               "orvind_last_stored_timestamp_seconds{} " + std::to_string(newest),
               "orvind_mark{target=fpl} 1", "orvind_mark{target=halcyon} 1"},
              true);

    // For node_exporter's textfile collector: the file is replaced whole.
    TempDir collector;
    Outcome file = orvindctl({"metrics", "--textfile-dir", collector.path()});
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_TRUE(holds(readFile(collector.file("orvind.prom")), "orvind_rows_waiting 2\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(collector.path()), fs::directory_iterator()), 1);

    lock.reset();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// What cannot be read gets a clear answer and status 1 at once; nothing is created.
TEST(Orvindctl, AnswersClearlyWhatItCannotRead) {
    programs();
    // A pid that surely names no process: one of ours that has ended.
    pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    waitpid(gone, nullptr, 0);
    const std::string db = Sandbox::kDatabase;
    const struct {
        const char* what;
        std::function<Db()> prepare;
        int metricsStatus;
        std::string said;
    } cases[] = {
        {"no database", [] { return Db(); }, 1,
         "cannot read " + db + ": No such file or directory"},
        {"a damaged database",
         [&] {
             writeFile(db, std::string(4096, 'x'));
             return Db();
         },
         1, "cannot read " + db + ": file is not a database"},
        {"a named pipe in the database's place",
         [&] {
             EXPECT_EQ(mkfifo(db.c_str(), 0600), 0);
             return Db();
         },
         1, "cannot read " + db + ": not a regular file"},
        {"a foreign database",
         [] {
             Sandbox::query("create table other(x); insert into other values(1);");
             return Db();
         },
         1, "not orvind's database"},
        {"a locked database",
         [] {
             makeDatabase();
             return holdLock("BEGIN EXCLUSIVE");
         },
         1, "database is locked"},
        {"a pid file naming a dead process",
         [&] {
             makeDatabase();
             writeFile(Sandbox::kPidFile, std::to_string(gone));
             return Db();
         },
         0, "names pid " + std::to_string(gone) + ", which is not a running orvind"},
        {"a log of 1 GB",
         [] {
             makeDatabase();
             writeFile(Sandbox::kLogFile, "");
             EXPECT_EQ(truncate(Sandbox::kLogFile, 1LL << 30), 0);
             appendLog("[2026-12-06 09:40:00][error] open error on fifo.");
             return Db();
         },
         0, "[2026-12-06 09:40:00][error] open error on fifo.\n"},
    };
    for (const auto& c : cases) {
        Sandbox sb;
        Db lock = c.prepare();
        const bool hadDatabase = Sandbox::exists(db);
        Outcome status = orvindctl({"status"});
        EXPECT_EQ(status.status, 1) << c.what;
        EXPECT_TRUE(holds(status.out, c.said)) << c.what << ":\n" << status.out;
        EXPECT_LT(status.seconds, 2.0) << c.what;
        Outcome metrics = orvindctl({"metrics"});
        EXPECT_EQ(metrics.status, c.metricsStatus) << c.what;
        EXPECT_LT(metrics.seconds, 2.0) << c.what;
        EXPECT_NE(parsed("metrics", metrics.out), "") << c.what;
        EXPECT_EQ(Sandbox::exists(db), hadDatabase) << c.what;
        EXPECT_FALSE(Sandbox::exists(db + "-journal")) << c.what;
    }
}

// Every tool answers --help and --version on standard output, names a wrong argument
// and says what to do, and only looks when asked to show something.
TEST(Tools, AnswerHelpAndVersionAndNameWhatIsWrong) {
    const std::string tools = ORVIND_TOOLS_DIR;
    const std::string pidfile = ORVIND_SOURCE_DIR "/dist/orvind-pidfile";
    TempDir scratch;
    const std::string missing = scratch.file("missing/x");
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string out, err;
    } cases[] = {
        {{programs().tool, "--help"}, 0, "Usage: orvindctl [--json] status", ""},
        {{programs().tool, "-V"}, 0, "orvindctl " ORVIND_VERSION "\n", ""},
        {{programs().tool}, 2, "", "no command given"},
        {{programs().tool, "stauts"}, 2, "", "unknown command 'stauts'"},
        {{programs().tool, "status", "--jsn"}, 2, "", "unknown option '--jsn'"},
        {{programs().tool, "metrics", "--textfile-dir"}, 2, "", "--textfile-dir needs a folder"},
        {{tools + "/orvind-bmc", "--help"}, 0, "Usage: orvind-bmc [--dir DIR] COMMAND", ""},
        {{tools + "/orvind-bmc", "--version"}, 0, "orvind-bmc " ORVIND_VERSION "\n", ""},
        {{tools + "/orvind-bmc", "--dir", missing, "fpl", "--cnt"},
         2,
         "",
         "wrong arguments for 'fpl': --cnt\nTry 'orvind-bmc --help'."},
        {{tools + "/orvind-bmc", "--dir", missing, "status"}, 0, "(missing: ", ""},
        {{tools + "/orvind-broker", "raise", "--help"}, 0, "Usage: orvind-broker", ""},
        {{tools + "/orvind-broker", "-V"}, 0, "orvind-broker " ORVIND_VERSION "\n", ""},
        {{tools + "/orvind-broker", "--dir", missing, "list"},
         1,
         "",
         "does not exist; create it with 'orvind-broker init'"},
        {{tools + "/orvind-broker", "--dir", missing, "raise", "-d", missing},
         1,
         "",
         "cannot read " + missing + ": No such file or directory"},
        {{"/bin/sh", pidfile, "--help"}, 0, "Usage: orvind-pidfile clear-stale|stop", ""},
        {{"/bin/sh", pidfile, "--version"}, 0, "orvind-pidfile " ORVIND_VERSION "\n", ""},
        {{"/bin/sh", pidfile, "clear"}, 2, "", "unknown command 'clear'"},
    };
    for (const auto& c : cases) {
        Outcome r = run(c.argv);
        const std::string what = c.argv[0] + " " + c.argv.back();
        EXPECT_EQ(r.status, c.status) << what << "\n" << r.out << r.err;
        EXPECT_TRUE(holds(r.out, c.out)) << what << "\n" << r.out;
        EXPECT_TRUE(c.err.empty() ? r.err.empty() : holds(r.err, c.err)) << what << "\n" << r.err;
        EXPECT_FALSE(Sandbox::exists(scratch.file("missing"))) << what << " made a folder";
    }
}
