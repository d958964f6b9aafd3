// End-to-end benchmark of the daemon: starts the real daemon binary in an isolated root
// whose folders lie on a real disk, raises N indications with the broker tool as fast as
// it delivers them, waits until every one is stored and then forwarded to the simulated
// BMC, and prints the rates beside the limits measured in the same run on the same disk:
// a minimal program doing the same single-row durable INSERT, and libxml2 alone reading
// the same document.
//
//     orvind-bench-e2e [--count N] [--dir PARENT] [--keep]
//
// Runs as root (it needs a mount namespace). The work folder is made under PARENT
// (default $TMPDIR or /tmp) and removed at the end unless --keep is given.

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
const char* const kTempFile = "/opt/vexa/orvind/fifo.tmp";
const char* const kBmcDir = "/var/lib/orvind-bmc";
const char* const kBroker = "/var/lib/cim-broker";
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
        std::ifstream in(kLogFile, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset += chunk.size();
        partial += chunk;
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
            count(partial.substr(start, end - start));
        }
        partial.erase(0, start);
    }

    size_t stored = 0;    // "insert ... indication success"
    size_t fetched = 0;   // "fetch number ..."
    size_t forwarded = 0; // "update number ... indication success"
    size_t errors = 0;    // any "[error]" line
    bool threadStarted = false;

private:
    static bool endsWith(const std::string& line, const std::string& tail) {
        return line.size() >= tail.size() &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    }

    void count(const std::string& line) {
        if (line.find("][error] ") != std::string::npos) {
            ++errors;
        }
        if (line.find("][info] insert ") != std::string::npos &&
            endsWith(line, " indication success")) {
            ++stored;
        } else if (line.find("][info] fetch number ") != std::string::npos) {
            ++fetched;
        } else if (line.find("][info] update number ") != std::string::npos &&
                   endsWith(line, " indication success")) {
            ++forwarded;
        } else if (endsWith(line, "][info] new thread starts up.")) {
            threadStarted = true;
        }
    }

    size_t offset = 0;
    std::string partial;
};

// Polls the log until done() holds; gives up when the counts stop moving.
void waitFor(LogProgress& log, const std::function<bool()>& done, const char* what) {
    size_t last = 0;
    auto moved = Clock::now();
    for (;;) {
        log.read();
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

// Rows per second of the same INSERT, each in its own transaction as the store commits
// it, on a fresh database in the same folder.
double insertLimit(const std::string& schema, const std::string& insert, size_t* rows) {
    const std::string path = "/var/lib/orvind/limit.db";
    unlink(path.c_str());
    Db db(path.c_str());
    if (sqlite3_exec(db.handle, schema.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
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
    unlink(path.c_str());
    return rate;
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

struct Options {
    size_t count = 10000;
    std::string parent;
    bool keep = false;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    const char* tmp = getenv("TMPDIR");
    o.parent = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) {
            o.count = strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--dir" && i + 1 < argc) {
            o.parent = argv[++i];
        } else if (arg == "--keep") {
            o.keep = true;
        } else {
            fprintf(stderr, "Usage: orvind-bench-e2e [--count N] [--dir PARENT] [--keep]\n");
            exit(2);
        }
    }
    if (o.count < 2) {
        die("--count must be at least 2");
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    if (getuid() != 0) {
        die("must run as root (it makes a mount namespace for the daemon's folders)");
    }

    // The work folder, on the disk under test, with private copies of the binaries made
    // before anything is mounted (the build tree may lie under /opt or /var).
    std::string pattern = options.parent + "/orvind-bench-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp under " + options.parent);
    const std::string work = fs::canonical(pattern).string();
    const std::string bin = work + "/bin";
    fs::create_directories(bin);
    // Another build of the daemon (bench/e2e-ipmi.sh: the one with the IPMI backend).
    const char* daemonBinary = getenv("ORVIND_BENCH_DAEMON");
    fs::copy_file(daemonBinary != nullptr && daemonBinary[0] != '\0' ? daemonBinary
                                                                     : ORVIND_DAEMON_BIN,
                  bin + "/orvind");
    fs::copy_file(ORVIND_TOOLS_DIR "/orvind-broker", bin + "/orvind-broker");
    fs::copy_file(ORVIND_SOURCE_DIR "/tests/data/forwarding/rpm", bin + "/rpm");
    chmod((bin + "/rpm").c_str(), 0755);
    const std::string dictionary = ORVIND_SOURCE_DIR "/platform/tallow/data/event-dictionary.txt";
    const std::string disk = fsType(work.c_str());

    check(unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS)");
    check(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "making / private");
    for (const char* point : kMountPoints) {
        std::string source = work + "/root" + point;
        fs::create_directories(source);
        check(mount(source.c_str(), point, nullptr, MS_BIND, nullptr) == 0,
              std::string("binding ") + point);
    }
    for (const char* dir :
         {"/var/log/vexa", "/var/lib/orvind", "/opt/vexa/orvind", kBroker, kBmcDir}) {
        fs::create_directories(dir);
    }
    fs::copy_file(dictionary, std::string(kBmcDir) + "/event-dictionary.txt");
    check(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, "PR_SET_CHILD_SUBREAPER");

    // The daemon's environment: ours, with the stand-in rpm first on PATH and without
    // anything that would lead it away from its fixed paths.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string var = *e;
        // The BMC's LAN address and credentials stay (bench/e2e-ipmi.sh).
        if (var.rfind("ORVIND_", 0) == 0 && var.rfind("ORVIND_BMC_LAN=", 0) != 0 &&
            var.rfind("ORVIND_BMC_USER=", 0) != 0 && var.rfind("ORVIND_BMC_PASSWORD=", 0) != 0) {
            continue;
        }
        if (var.rfind("PATH=", 0) == 0) {
            var.insert(5, bin + ":");
        }
        env.push_back(var);
    }

    LogProgress log;
    if (run({bin + "/orvind"}, env) != 0) {
        die("the daemon did not start:\n" + readText(kLogFile));
    }
    waitFor(
        log, [&] { return log.threadStarted; }, "the daemon's start");
    pid_t daemon = static_cast<pid_t>(strtol(readText(kPidFile).c_str(), nullptr, 10));
    if (daemon <= 0) {
        die("no pid file");
    }

    // Half the indications go to the FPL and to halcyon (alert level 5), half to the FPL
    // only (alert level 1); the broker tool delivers each batch as fast as it can.
    const size_t selected = options.count / 2;
    const size_t plain = options.count - selected;
    auto raise = [&](size_t count, const char* provider, const char* event) {
        return run({bin + "/orvind-broker",
                    "raise",
                    "--class",
                    "VEXA_AlertIndication",
                    "--count",
                    std::to_string(count),
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
                    "Description:string=Logical drive failed on controller 0"},
                   env);
    };
    std::atomic<int> raised(-1);
    const auto start = Clock::now();
    std::thread provider([&] {
        int first = raise(selected, "VEXA_RAID", "1");
        int second = raise(plain, "VEXA_WBEM", "2");
        raised = first != 0 ? first : second;
    });
    Clock::time_point firstFetch{};
    waitFor(
        log,
        [&] {
            if (firstFetch == Clock::time_point{} && log.fetched > 0) {
                firstFetch = Clock::now();
            }
            return log.stored >= options.count;
        },
        "the indications to be stored");
    const auto storedAt = Clock::now();
    provider.join();
    if (raised != 0) {
        die("the broker tool failed to deliver");
    }
    // The last document as the intake read it, for the libxml2 limit.
    const std::string document = work + "/document.xml";
    fs::copy_file(kTempFile, document);
    waitFor(
        log,
        [&] {
            if (firstFetch == Clock::time_point{} && log.fetched > 0) {
                firstFetch = Clock::now();
            }
            return log.forwarded >= options.count;
        },
        "the rows to be forwarded");
    const auto forwardedAt = Clock::now();
    const long rssKiB = peakRss(daemon);
    kill(daemon, SIGTERM);
    int status = 0;
    while (waitpid(daemon, &status, 0) < 0 && errno == EINTR) {
    }

    // What arrived where it should.
    Db db(kDatabase);
    const std::string rows = db.value("select count(*) from indication where Status=1");
    const size_t fplRecords = fs::exists(std::string(kBmcDir) + "/fpl")
                                  ? fs::file_size(std::string(kBmcDir) + "/fpl") / 46
                                  : 0;
    std::string commandsText = readText(std::string(kBmcDir) + "/commands");
    const size_t commands = std::count(commandsText.begin(), commandsText.end(), '\n');

    // The limits, on the same disk, with the daemon stopped.
    const std::string schema = db.value("select sql from sqlite_master where name='indication'");
    size_t limitRows = 0, reads = 0;
    const double insertRate = insertLimit(schema, lastInsert(db), &limitRows);
    const double readRate = readLimit(document, &reads);

    const double storedRate = options.count / seconds(storedAt - start);
    const double forwardedRate = options.count / seconds(forwardedAt - firstFetch);
    const size_t documentBytes = fs::file_size(document);

    utsname names;
    uname(&names);
    printf("orvind end-to-end benchmark\n\n");
    printf("Machine: %s, %ld cores, %.1f GiB memory, Linux %s; work folder on %s (%s).\n",
           cpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1 << 30),
           names.release, disk.c_str(), work.c_str());
    printf("SQLite %s, libxml2 %s. %zu indications of %zu bytes raised with orvind-broker: "
           "%zu to the FPL and halcyon, %zu to the FPL only.\n\n",
           sqlite3_libversion(), LIBXML_DOTTED_VERSION, options.count, documentBytes, selected,
           plain);
    printf("| Measure | Value | Limit | Ratio |\n");
    printf("|---|---:|---:|---:|\n");
    printf("| stored per second (raise to row) | %s | %s SQLite durable INSERTs/s | %s%% |\n",
           fixed(storedRate, 0).c_str(), fixed(insertRate, 0).c_str(),
           fixed(100 * storedRate / insertRate, 1).c_str());
    printf("| | | %s libxml2 document reads/s | %s%% |\n", fixed(readRate, 0).c_str(),
           fixed(100 * storedRate / readRate, 2).c_str());
    printf("| forwarded per second (row to FPL and halcyon) | %s | %s SQLite durable "
           "INSERTs/s | %s%% |\n",
           fixed(forwardedRate, 0).c_str(), fixed(insertRate, 0).c_str(),
           fixed(100 * forwardedRate / insertRate, 1).c_str());
    printf("| daemon peak resident memory | %s MiB | | |\n", fixed(rssKiB / 1024.0, 1).c_str());
    printf("\nStored: %s rows at status 1, %zu FPL records, %zu halcyon commands, %zu error "
           "lines; daemon exit status %d.\n",
           rows.c_str(), fplRecords, commands, log.errors,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    printf("Timing: stored %.2f s after the first raise; forwarded %.2f s after the first fetch "
           "(limits: %zu INSERTs, %zu reads).\n",
           seconds(storedAt - start), seconds(forwardedAt - firstFetch), limitRows, reads);

    bool complete = rows == std::to_string(options.count) && fplRecords == options.count &&
                    commands == selected;
    for (auto point = std::rbegin(kMountPoints); point != std::rend(kMountPoints); ++point) {
        umount2(*point, MNT_DETACH);
    }
    if (options.keep) {
        printf("Work folder kept: %s\n", work.c_str());
    } else {
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }
    if (!complete) {
        fprintf(stderr, "orvind-bench-e2e: not everything arrived\n");
        return 1;
    }
    return 0;
}
