// The tools as an administrator runs them, in a fresh isolated root per "== WHAT" block of
// the expected files of tests/data/tools/ (WHAT names a set-up of this file, if any), the
// commands run in tests/data with the tools on the PATH. The pids, the ages, the log's size,
// the version and the scratch folders are words there (PID, N, VERSION, MISSING, DIR). After
// a deliberate change: ORVIND_UPDATE_GOLDEN=1 build/tests/tools_test_orvindctl, and review.
#include "sandbox.h"
#include "testlog.h"
#include "testsql.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kData = ORVIND_TEST_DATA "/tools/";

// The tools and the output checker, copied before any sandbox mounts over the tree.
struct Programs {
    TempDir dir;
    Programs() {
        for (const char* tool : {"orvindctl", "orvind-bmc", "orvind-broker"}) {
            fs::copy_file(std::string(ORVIND_TOOLS_DIR "/") + tool, dir.file(tool));
        }
        fs::copy_file(ORVIND_SOURCE_DIR "/dist/orvind-pidfile", dir.file("orvind-pidfile"));
        fs::copy_file(ORVIND_SOURCE_DIR "/tests/tools/check_output.py", dir.file("check_output"));
    }
};

const Programs& programs() {
    static Programs instance;
    return instance;
}

struct Outcome {
    int status = -1;
    std::string out, err;
    double seconds = 0;
};

// Runs a shell command line in tests/data with the tools first on the PATH, `input` on
// its standard input.
Outcome run(const std::string& line, const std::string& input = "") {
    TempDir temp;
    writeFile(temp.file("in"), input);
    const std::string command = "cd " ORVIND_TEST_DATA " && PATH=" + programs().dir.path() +
                                ":$PATH && { " + line + "; } <" + temp.file("in") + " >" +
                                temp.file("out") + " 2>" + temp.file("err");
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

// What a set-up made: a fresh isolated root, the daemon it started, and a connection of
// the test's own that holds a lock until the scene goes.
struct Scene {
    Sandbox sb;
    pid_t daemon = 0;
    std::unique_ptr<TestDb> lock;

    // A daemon started here ends cleanly once the lock is gone.
    ~Scene() {
        lock.reset();
        if (daemon != 0) {
            EXPECT_EQ(sb.stop(SIGTERM), 0);
        }
    }
    void holdLock(const std::string& begin) {
        lock = std::make_unique<TestDb>(Sandbox::kDatabase);
        lock->exec("PRAGMA busy_timeout = " + std::to_string(Sandbox::kTimeoutMs) + "; " + begin);
    }
};

// The set-ups of this file that a "== " line can name.
void setUp(Scene& s, const std::string& what) {
    if (what == "a running daemon with a backlog") {
        // Three rows, the first one forwarded; the forwarding thread pauses 3 s after its
        // start, and the lock held from here on keeps it from marking any row meanwhile.
        // The daemon makes its table only once the intake runs.
        Sandbox::query(readFile(ORVIND_TEST_DATA "/store/schema.sql"));
        s.daemon = s.sb.startDaemon();
        Sandbox::query(Sandbox::insertRow("VEXA_WBEM", "2", "20261206093000.000000+060") +
                       Sandbox::insertRow("VEXA_RAID", "1", "20261206093100.000000+060") +
                       Sandbox::insertRow("VEXA_WBEM", "1", "20261206093200.000000-120") +
                       "update indication set Status=1 where Id=1;");
        s.holdLock("BEGIN IMMEDIATE");
        Sandbox::writeMark(Sandbox::kFplMark, 1);
        Sandbox::writeMark(Sandbox::kHalcyonMark, 1);
        std::ofstream(Sandbox::kLogFile, std::ios::app)
            << "[2026-12-06 09:40:00][error] failed to write VEXA_RAID indication to halcyon\n";
    } else if (what == "an undated row waiting, arrived five minutes ago") {
        // As the daemon notes each commit's minute beside its rows.
        Sandbox::query(readFile(ORVIND_TEST_DATA "/store/schema.sql") +
                       Sandbox::insertRow("VEXA_WBEM", "2", "NULL") +
                       "create table row_arrival(Minute INTEGER PRIMARY KEY, LastId INTEGER);"
                       "insert into row_arrival values(strftime('%s', 'now') / 60 - 5, 1);");
    } else if (what == "a locked database") {
        Sandbox::query(readFile(ORVIND_TEST_DATA "/store/schema.sql"));
        s.holdLock("BEGIN EXCLUSIVE");
    }
}

// The text with what changes from run to run written as words: the given texts, the
// pids, the ages, the time of the subscription, the log's size, and how the simulated BMC was built
// and what the host has.
std::string normalised(std::string text,
                       const std::vector<std::pair<std::string, std::string>>& words) {
    for (const auto& [from, to] : words) {
        text = substituted(text, from, to);
    }
    text = std::regex_replace(text, std::regex(R"(\d+ s ago)"), "N s ago");
    text = std::regex_replace(text, std::regex(R"((pid"?:? )\d+)"), "$1PID");
    text = std::regex_replace(text, std::regex(R"((age_seconds"?:? )\d+)"), "$1N");
    text = std::regex_replace(text, std::regex(R"((subscribed since |"since": ")[0-9T:Z-]+)"),
                              "$1UTC-TIME");
    text = std::regex_replace(text, std::regex("\n(backend|bmc|dictionary): .*"), "\n$1: AS BUILT");
    return std::regex_replace(
        text, std::regex(R"((orvind_log_bytes |"log": \{"path": "[^"]+", "bytes": )\d+)"), "$1N");
}

// Runs the blocks of the expected file and compares what they give with it. Every tool
// answers at once, a reading tool creates no database and no folder, and what it prints
// as JSON or metrics is valid.
void runBlocks(const std::string& name) {
    std::string transcript;
    std::unique_ptr<Scene> scene;
    // Read by the parsers once every command has run, so that a running daemon's first
    // forwarding pass (3 s after its start) comes after them.
    std::vector<std::pair<std::string, std::string>> parsed;
    TempDir scratch;
    const std::string missing = scratch.file("missing/x");
    std::istringstream expected(readFile(kData + name));
    for (std::string line; std::getline(expected, line);) {
        if (line.rfind("== ", 0) == 0) {
            scene.reset();
            scene = std::make_unique<Scene>();
            setUp(*scene, line.substr(3));
            transcript += line + "\n";
        }
        if (line.rfind("$ ", 0) != 0) {
            continue;
        }
        SCOPED_TRACE(line);
        std::string command = std::regex_replace(line.substr(2), std::regex("MISSING"), missing);
        command = std::regex_replace(command, std::regex("\\bDIR\\b"), scratch.path());
        const bool hadDatabase = Sandbox::exists(Sandbox::kDatabase);
        const Outcome r = run(command);
        // Never waits on the daemon or a lock: a hang, not a slow machine, passes 20 s.
        EXPECT_LT(r.seconds, 20.0);
        EXPECT_FALSE(Sandbox::exists(scratch.file("missing")));
        if (line.rfind("$ orvind", 0) == 0) {
            EXPECT_EQ(Sandbox::exists(Sandbox::kDatabase), hadDatabase);
            EXPECT_FALSE(Sandbox::exists(std::string(Sandbox::kDatabase) + "-journal"));
        }
        transcript += line + "\nstatus " + std::to_string(r.status) + "\n" + r.out;
        std::istringstream err(r.err);
        for (std::string errLine; std::getline(err, errLine);) {
            transcript += "2> " + errLine + "\n";
        }
        if (line.find("--json") != std::string::npos) {
            parsed.emplace_back("json", r.out);
        } else if (line.find("orvindctl metrics") != std::string::npos) {
            parsed.emplace_back("metrics", r.out);
        }
        // A textfile collector's folder: the metrics file replaced whole, nothing beside it.
        for (const auto& entry : fs::directory_iterator(scratch.path())) {
            transcript +=
                "DIR/" + entry.path().filename().string() + ":\n" + readFile(entry.path().string());
            fs::remove(entry.path());
        }
    }
    for (const auto& [format, text] : parsed) { // a real parser of the format reads it
        const Outcome r = run("check_output " + format, text);
        EXPECT_EQ(r.status, 0) << r.err << "\n" << text;
    }
    expectGolden(kData + name, normalised(transcript, {{missing, "MISSING"},
                                                       {scratch.path(), "DIR"},
                                                       {ORVIND_VERSION, "VERSION"}}));
}

} // namespace

// backlog: a running daemon with rows waiting, every figure in words, as JSON and as
// metrics. unreadable: what cannot be read gets a clear answer and status 1 at once, and
// nothing is created. usage: every tool answers --help and --version on standard output,
// names a wrong argument and says what to do, and only looks when asked to show something.
class Tools : public testing::TestWithParam<const char*> {};

TEST_P(Tools, AnswerAsTheirExpectedFileSays) {
    runBlocks(std::string(GetParam()) + ".expected");
}

INSTANTIATE_TEST_SUITE_P(Files, Tools, testing::Values("backlog", "unreadable", "usage"),
                         [](const testing::TestParamInfo<const char*>& file) {
                             return file.param;
                         });
