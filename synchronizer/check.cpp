#include "check.h"

#include "files.h"
#include "fpl.h"
#include "paths.h"
#include "runstate.h"

#include <tallow.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What --check prints: one line per item, and whether any failed.
class Report {
public:
    explicit Report(FILE* out_) : out(out_) {}
    void ok(const std::string& what) { fprintf(out, "ok    %s\n", what.c_str()); }
    void note(const std::string& what) { fprintf(out, "note  %s\n", what.c_str()); }
    void fail(const std::string& what) {
        fprintf(out, "FAIL  %s\n", what.c_str());
        ++failures;
    }
    int status() const { return failures == 0 ? 0 : 1; }

private:
    FILE* out;
    int failures = 0;
};

std::string octal(mode_t mode) {
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string folderOf(const char* path) {
    std::string folder = path;
    return folder.substr(0, folder.rfind('/'));
}

// The daemon's folders: there, folders, root's, and written by nobody else.
void checkFolders(Report& r) {
    for (const std::string& folder :
         {std::string(paths::kWorkDir), folderOf(paths::kDatabase), folderOf(paths::kLogFile)}) {
        struct stat st;
        if (stat(folder.c_str(), &st) != 0) {
            r.fail("folder " + folder + ": " + files::errorText(errno) +
                   ": make it with systemd-tmpfiles --create orvind.conf");
        } else if (!S_ISDIR(st.st_mode)) {
            r.fail("folder " + folder +
                   ": not a folder: move it aside, then systemd-tmpfiles "
                   "--create orvind.conf");
        } else if (st.st_uid != 0 || (st.st_mode & 022) != 0) {
            r.fail("folder " + folder + ": owner " + std::to_string(st.st_uid) + ", mode " +
                   octal(st.st_mode) + ": others could change the daemon's files (chown root " +
                   folder + "; chmod go-w " + folder + ")");
        } else {
            r.ok("folder " + folder + " (root, " + octal(st.st_mode) + ")");
        }
    }
}

// The daemon's files that exist: regular files of root's, no wider than their mode.
void checkFiles(Report& r) {
    const std::string db = paths::kDatabase;
    const std::pair<std::string, mode_t> expected[] = {
        {paths::kPidFile, 0644},   {paths::kLogFile, 0640}, {db, 0600},
        {db + "-wal", 0600},       {db + "-shm", 0600},     {paths::kPendingFile, 0600},
        {paths::kStrayFile, 0600}, {paths::kFplMark, 0600}, {paths::kHalcyonMark, 0600},
        {paths::kStateFile, 0600},
    };
    int present = 0;
    bool good = true;
    for (const auto& [path, mode] : expected) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        ++present;
        if (!S_ISREG(st.st_mode)) {
            r.fail("file " + path + ": not a regular file: the daemon moves it aside");
            good = false;
        } else if (st.st_uid != 0) {
            r.fail("file " + path + ": owned by uid " + std::to_string(st.st_uid) +
                   ", not root: chown root " + path);
            good = false;
        } else if ((st.st_mode & 07777 & ~mode) != 0) {
            r.fail("file " + path + ": mode " + octal(st.st_mode) + ", wider than " + octal(mode) +
                   ": chmod " + octal(mode) + " " + path +
                   " (the daemon narrows it at its next start)");
            good = false;
        }
    }
    if (good) {
        r.ok("files: " + std::to_string(present) +
             " of the daemon's files present, none wider "
             "than its mode");
    }
}

// The event dictionary, as the forwarding loads it.
void checkDictionary(Report& r) {
    int rc = 0;
    BmcHandle bmc(open_bmc(BMC_OPEN_ACCESS | BMC_OPEN_EVENTS, &rc));
    if (!bmc) {
        r.fail(std::string("dictionary: cannot be looked at: the BMC library does not open (") +
               BMC_strerror(rc) + ")");
        return;
    }
    if (const char* problem = BMC_event_dictionary_problem(bmc.get())) {
        r.fail(std::string("dictionary: ") + problem +
               ": no event can be written as FPL until one is installed (orvind-bmc dictionary "
               "install FILE)");
        return;
    }
    Event_dictionary_t* dict = BMC_event_dictionary_get(bmc.get(), 0xE0);
    if (dict == nullptr || dict->nEntries == 0) {
        r.fail("dictionary: it holds no entry for FPL records: install the production one "
               "(orvind-bmc dictionary install FILE)");
        return;
    }
    r.ok(std::string("dictionary ") + (dict->Path != nullptr ? dict->Path : "?") + " (" +
         std::to_string(dict->nEntries) + " entries)");
}

// The pid of the running daemon, 0 when none runs.
long runningDaemon() {
    std::ifstream in(paths::kPidFile);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || kill(static_cast<pid_t>(pid), 0) != 0) {
        return 0;
    }
    return pid;
}

// Below this many free records the BMC soon refuses the daemon's records.
const uint32_t kFewRecords = 16;

// The room left in the BMC's FPL, on the line that says it answers.
void checkFreeSpace(Report& r, BMC_t* bmc) {
    uint32_t records = 0;
    uint32_t bytes = 0;
    if (int rc = BMC_FPL_free_space(bmc, &records, &bytes)) {
        r.ok(std::string("BMC answers; its free space is not known (") + BMC_strerror(rc) + ")");
    } else if (records == BMC_FPL_NO_LIMIT) {
        r.ok("BMC answers; its free space is not known (the simulated FPL has no fixed size)");
    } else if (records < kFewRecords) {
        r.fail("BMC answers, but its SEL has room for " + std::to_string(records) + " records (" +
               std::to_string(bytes) +
               " bytes free): records are refused once it is full; save it (orvind-bmc sel) "
               "and clear it (ipmitool sel clear)");
    } else {
        r.ok("BMC answers; its SEL has room for " + std::to_string(records) + " records (" +
             std::to_string(bytes) + " bytes free)");
    }
}

// The BMC: whether it answers now, and what the running daemon has seen of it.
void checkBmc(Report& r, const std::map<std::string, std::string>& facts) {
    int rc = 0;
    BmcHandle bmc(open_bmc(BMC_OPEN_ACCESS, &rc));
    if (!bmc) {
        r.fail(std::string("BMC: does not answer (") + BMC_strerror(rc) +
               "): see orvind-bmc status; rows wait until it answers");
    } else {
        checkFreeSpace(r, bmc.get());
    }
    auto notKeeping = facts.find("bmc_not_keeping");
    if (notKeeping != facts.end() && notKeeping->second == "1") {
        r.fail("BMC: this BMC does not keep OEM records (the running daemon saw a record "
               "accepted and not kept)");
    }
}

// The registration in the broker, as the running daemon knows it: a check by itself would
// have to register, and that changes the broker.
void checkBroker(Report& r, long pid, const std::map<std::string, std::string>& facts) {
    if (pid == 0) {
        r.note("broker: not looked at while the daemon does not run (it registers at start "
               "and keeps trying until the broker takes the registration)");
        return;
    }
    auto subscribed = facts.find("subscribed");
    if (subscribed != facts.end() && subscribed->second == "1") {
        auto since = facts.find("subscribed_since");
        r.ok("broker: the running daemon is subscribed" +
             (since != facts.end() ? " since " + since->second : std::string()));
        return;
    }
    auto refusal = facts.find("subscription_refusal");
    r.fail("broker: the running daemon is not subscribed" +
           (refusal != facts.end() ? ": " + refusal->second : std::string(" yet")) +
           " (is the broker running?)");
}

// Whatever the daemon needs to be let in: root, and over IPMI LAN a user and a password
// that only root reads.
void checkCredentials(Report& r) {
    if (getuid() != 0) {
        r.fail("credentials: not root: run orvind --check as root");
        return;
    }
    const char* lan = getenv("ORVIND_BMC_LAN");
    if (lan == nullptr || *lan == '\0') {
        r.ok("credentials: root; the BMC is reached in-band, without a password");
        return;
    }
    const char* user = getenv("ORVIND_BMC_USER");
    std::string file;
    if (const char* dir = getenv("CREDENTIALS_DIRECTORY")) {
        file = std::string(dir) + "/bmc-password";
    }
    if (const char* named = getenv("ORVIND_BMC_PASSWORD_FILE"); named != nullptr && file.empty()) {
        file = named;
    }
    struct stat st;
    if (user == nullptr || *user == '\0') {
        r.fail(std::string("credentials: ORVIND_BMC_LAN=") + lan + " without ORVIND_BMC_USER");
    } else if (!file.empty() && (stat(file.c_str(), &st) != 0 || (st.st_mode & 077) != 0)) {
        r.fail("credentials: the password file " + file + " is missing or readable by others " +
               "(it must be root's, mode 0600)");
    } else if (file.empty() && getenv("ORVIND_BMC_PASSWORD") == nullptr) {
        r.fail(std::string("credentials: ORVIND_BMC_LAN=") + lan +
               " without a password (a bmc-password credential, or ORVIND_BMC_PASSWORD_FILE)");
    } else {
        r.ok(std::string("credentials: user ") + user + " at " + lan + ", the password from " +
             (file.empty() ? "the environment (for tests only)" : file));
    }
}

} // namespace

int run_check(FILE* out) {
    Report r(out);
    const long pid = runningDaemon();
    const std::map<std::string, std::string> facts =
        pid != 0 ? RunState::read() : std::map<std::string, std::string>();
    if (pid != 0) {
        r.note("the daemon runs (pid " + std::to_string(pid) + "); this check changes nothing");
    }
    checkFolders(r);
    checkFiles(r);
    checkDictionary(r);
    checkBmc(r, facts);
    checkBroker(r, pid, facts);
    checkCredentials(r);
    return r.status();
}
