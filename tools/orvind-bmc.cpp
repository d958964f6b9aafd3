// orvind-bmc: console of the simulated BMC. Sets it up (dictionary, faults) and shows
// what the daemon gave it (FPL records, management-processor commands).
#include "tallow.h"
#include "tallow_sim.h"
#ifdef ORVIND_HAVE_IPMI
#include "tallow_ipmi.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: orvind-bmc [--dir DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "The simulated BMC keeps its state in one folder: DIR, else $ORVIND_BMC_DIR,\n"
    "else /var/lib/orvind-bmc.\n"
    "\n"
    "  status                      state folder, UUID, dictionary, faults and counts;\n"
    "                              status 1 when the BMC does not answer\n"
    "  uuid                        the system UUID\n"
    "  dictionary                  the entries of the dictionary in use\n"
    "  dictionary check FILE       report malformed lines of FILE (status 1 if any)\n"
    "  dictionary install [FILE]   check FILE (default: the installed sample) and install it\n"
    "  dictionary remove           drop the installed dictionary; the sample is used again\n"
    "  fault                       the faults set\n"
    "  fault set NAME VALUE        NAME is open or append (library error code), cli\n"
    "                              (interface code), cli-status (status byte) or forget\n"
    "                              (appends answer success with this record id and keep\n"
    "                              nothing); 0 clears\n"
    "  fault clear [NAME]          clear one fault, or all of them\n"
    "  fpl [--count | --raw]       the FPL decoded, its number of records, or hex records\n"
    "  fpl clear                   empty the FPL\n"
    "  commands [--count | --raw]  the commands received with their items, their number,\n"
    "                              or one stored line each\n"
    "  commands clear              forget the commands received\n"
    "  reset                       empty the FPL and the commands, clear the faults\n"
    "  sel [--count | --raw]       a real BMC's SEL over IPMI ($ORVIND_BMC_LAN, else\n"
    "                              /dev/ipmi0): 0xe0 records decoded as by fpl\n"
    "  -h, --help                  show this help and exit\n"
    "  -V, --version               show the version and exit\n"
    "\n"
    "Commands that only show something never create a file or folder.\n";

// The text of an errno value.
std::string errorText(int error) {
    char buffer[256];
    // The GNU strerror_r answers the text, in the buffer or not.
    return strerror_r(error, buffer, sizeof buffer);
}

// A wrong command line: says what was wrong and where to look.
int wrong(const std::string& problem) {
    fprintf(stderr, "orvind-bmc: %s\nTry 'orvind-bmc --help'.\n", problem.c_str());
    return 2;
}

// The arguments after a command that takes none or other ones.
int badArguments(const std::string& command, const std::vector<std::string>& args) {
    std::string given;
    for (const auto& a : args) {
        given += " " + a;
    }
    return wrong("wrong arguments for '" + command + "':" + (given.empty() ? " none" : given));
}

int fail(const std::string& message) {
    fprintf(stderr, "orvind-bmc: %s\n", message.c_str());
    return 1;
}

std::string localTime(long long seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm local;
    char text[64] = "?";
    if (localtime_r(&t, &local) != nullptr) {
        strftime(text, sizeof text, "%F %T", &local);
    }
    return text;
}

bool number(const char* text, long long* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtoll(text, &end, 0);
    return *text != '\0' && *end == '\0' && errno == 0;
}

void printProblems(const tallowsim::Dictionary& dictionary) {
    for (const auto& problem : dictionary.problems) {
        fprintf(stderr, "%s:%d: %s\n", dictionary.path.c_str(), problem.line,
                problem.message.c_str());
    }
}

// The summary of an FPL record's event from the dictionary in use, if it has one.
std::string summaryOf(const tallowsim::Dictionary& dictionary, unsigned eventId) {
    for (const auto& entry : dictionary.entries) {
        if (entry.oemRecord && (entry.ipmiEventId & 0x3FFFF) == eventId) {
            return entry.summary;
        }
    }
    return "";
}

int showDictionary(const std::string& dir) {
    tallowsim::Dictionary dictionary;
    std::string error;
    std::string path = tallowsim::dictionaryPath(dir);
    if (!tallowsim::loadDictionary(path, dictionary, &error)) {
        return fail(error);
    }
    printProblems(dictionary);
    printf("# %s\n", path.c_str());
    printf("# %-24s %6s %10s %5s %6s  %s\n", "provider", "event", "ipmi-id", "alert", "entity",
           "summary");
    for (const auto& entry : dictionary.entries) {
        std::string alert = entry.oemRecord ? std::to_string(entry.alertLevel) : "-";
        char entity[16] = "-";
        if (entry.oemRecord) {
            snprintf(entity, sizeof entity, "0x%04x", entry.repEntIdClass);
        }
        printf("%-26s %6u %#10llx %5s %6s  %s\n", entry.provider.c_str(), entry.eventNumber,
               static_cast<unsigned long long>(entry.ipmiEventId), alert.c_str(), entity,
               entry.summary.c_str());
    }
    return 0;
}

int dictionaryCommand(const std::string& dir, const std::vector<std::string>& args) {
    if (args.empty()) {
        return showDictionary(dir);
    }
    const std::string& what = args[0];
    std::string error;
    if (what == "check" && args.size() == 2) {
        tallowsim::Dictionary dictionary;
        if (!tallowsim::loadDictionary(args[1], dictionary, &error)) {
            return fail(error);
        }
        printProblems(dictionary);
        printf("%zu entries, %zu problems\n", dictionary.entries.size(),
               dictionary.problems.size());
        return dictionary.problems.empty() ? 0 : 1;
    }
    if (what != "check" && what != "install" && what != "remove") {
        return wrong("unknown dictionary command '" + what + "': say check, install or remove");
    }
    if (what == "install" && args.size() <= 2) {
        std::string from = args.size() == 2 ? args[1] : tallowsim::sampleDictionaryPath();
        tallowsim::Dictionary dictionary;
        if (!tallowsim::loadDictionary(from, dictionary, &error)) {
            return fail(error);
        }
        printProblems(dictionary);
        if (dictionary.entries.empty()) {
            return fail(from + ": no usable entry, not installed");
        }
        if (!tallowsim::installDictionary(dir, from, &error)) {
            return fail(error);
        }
        printf("installed %s (%zu entries, %zu lines skipped or doubtful)\n", from.c_str(),
               dictionary.entries.size(), dictionary.problems.size());
        return 0;
    }
    if (what == "remove" && args.size() == 1) {
        std::string path = dir + "/" + tallowsim::kDictionaryFile;
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            return fail(path + ": " + errorText(errno));
        }
        return 0;
    }
    return badArguments("dictionary " + what, {args.begin() + 1, args.end()});
}

int faultCommand(const std::string& dir, const std::vector<std::string>& args) {
    tallowsim::Faults faults = tallowsim::readFaults(dir);
    std::string error;
    if (args.empty()) {
        printf("open %d\nappend %d\ncli %d\ncli-status %d\nforget %d\n", faults.open, faults.append,
               faults.cli, faults.cliStatus, faults.forget);
        return 0;
    }
    if (args[0] == "set" && args.size() == 3) {
        long long value = 0;
        if (!number(args[2].c_str(), &value)) {
            return fail("not a number: " + args[2]);
        }
        if (!tallowsim::setFault(faults, args[1], value, &error)) {
            return fail(error);
        }
    } else if (args[0] == "clear" && args.size() == 1) {
        faults = tallowsim::Faults();
    } else if (args[0] == "clear" && args.size() == 2) {
        if (!tallowsim::setFault(faults, args[1], 0, &error)) {
            return fail(error);
        }
    } else {
        return badArguments("fault", args);
    }
    if (!tallowsim::makeStateDir(dir, &error) || !tallowsim::writeFaults(dir, faults, &error)) {
        return fail(error);
    }
    return 0;
}

void printRecord(size_t index, const SEL_entry_t& record, const tallowsim::Dictionary& dictionary) {
    if (record.RecType != 0xE0) {
        const unsigned char* body = reinterpret_cast<const unsigned char*>(&record.t2);
        printf("%zu type=%#04x body=", index, record.RecType);
        for (size_t i = 0; i < sizeof record.t2; ++i) {
            printf("%02x", body[i]);
        }
        printf("\n");
        return;
    }
    const SEL_body_e0_t& e0 = record.e0;
    uint32_t time = static_cast<uint32_t>(e0.b9) | static_cast<uint32_t>(e0.b10) << 8 |
                    static_cast<uint32_t>(e0.b11) << 16 | static_cast<uint32_t>(e0.b12) << 24;
    std::string summary = summaryOf(dictionary, e0.EventID);
    printf("%zu type=0xe0 event=%#x alert=%u datatype=%u entity=%#04x time=%u (%s) b16=%u "
           "summary=\"%s\"\n",
           index, static_cast<unsigned>(e0.EventID), static_cast<unsigned>(e0.AlertLevel),
           static_cast<unsigned>(e0.DataType), static_cast<unsigned>(e0.RepEntID), time,
           localTime(time).c_str(), e0.b16, summary.c_str());
}

int fplCommand(const std::string& dir, const std::vector<std::string>& args) {
    std::string error;
    if (args.size() == 1 && args[0] == "clear") {
        return tallowsim::clearFpl(dir, &error) ? 0 : fail(error);
    }
    if (args.size() > 1 || (args.size() == 1 && args[0] != "--count" && args[0] != "--raw")) {
        return badArguments("fpl", args);
    }
    tallowsim::Fpl fpl;
    if (!tallowsim::readFpl(dir, fpl, &error)) {
        return fail(error);
    }
    if (fpl.trailingBytes != 0) {
        fprintf(stderr, "orvind-bmc: %zu bytes of a torn last record ignored\n", fpl.trailingBytes);
    }
    if (!args.empty() && args[0] == "--count") {
        printf("%zu\n", fpl.records.size());
        return 0;
    }
    if (!args.empty() && args[0] == "--raw") {
        for (const SEL_entry_t& record : fpl.records) {
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
            for (size_t i = 0; i < sizeof record; ++i) {
                printf("%02x", bytes[i]);
            }
            printf("\n");
        }
        return 0;
    }
    tallowsim::Dictionary dictionary;
    tallowsim::loadDictionary(tallowsim::dictionaryPath(dir), dictionary, nullptr);
    for (size_t i = 0; i < fpl.records.size(); ++i) {
        printRecord(i + 1, fpl.records[i], dictionary);
    }
    return 0;
}

int commandsCommand(const std::string& dir, const std::vector<std::string>& args) {
    std::string error;
    if (args.size() == 1 && args[0] == "clear") {
        return tallowsim::clearCommands(dir, &error) ? 0 : fail(error);
    }
    if (args.size() > 1 || (args.size() == 1 && args[0] != "--count" && args[0] != "--raw")) {
        return badArguments("commands", args);
    }
    std::vector<tallowsim::Command> commands;
    if (!tallowsim::readCommands(dir, commands, &error)) {
        return fail(error);
    }
    if (!args.empty() && args[0] == "--count") {
        printf("%zu\n", commands.size());
        return 0;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        const tallowsim::Command& command = commands[i];
        if (!args.empty()) {
            fputs(tallowsim::encodeCommand(command).c_str(), stdout);
            continue;
        }
        printf("%zu time=%lld (%s) status=%d name=%s\n", i + 1, command.time,
               localTime(command.time).c_str(), command.status, command.name.c_str());
        for (const std::string& item : tallowsim::commandItems(command.arg)) {
            printf("    %s\n", item.c_str());
        }
    }
    return 0;
}

#ifdef ORVIND_HAVE_IPMI
// A LAN password taken from the environment is said once, before the session that uses it:
// the variable is for tests, and every child of the shell that set it inherits it.
void warnOfPasswordVariable() {
    if (tallowipmi::passwordFromEnvironment()) {
        fprintf(stderr,
                "orvind-bmc: warning: the BMC password is taken from the environment "
                "(ORVIND_BMC_PASSWORD), which is for tests only. Give it in a file of root's, "
                "mode 0600, named by ORVIND_BMC_PASSWORD_FILE (as in /etc/default/orvind), "
                "and unset ORVIND_BMC_PASSWORD.\n");
    }
}

// One line on the BMC that the IPMI backend talks to; false when it does not answer.
bool ipmiStatus() {
    warnOfPasswordVariable();
    tallowipmi::Session session;
    unsigned entries = 0, freeBytes = 0;
    bool overflow = false;
    int rc = session.open();
    if (rc == 0) {
        rc = session.selInfo(&entries, &freeBytes, &overflow);
    }
    if (rc != 0) {
        printf("bmc: %s: not reachable: %s\n", tallowipmi::targetText().c_str(),
               session.error().c_str());
        return false;
    }
    printf("bmc: %s: SEL %u records, %u bytes free%s\n", tallowipmi::targetText().c_str(), entries,
           freeBytes, overflow || freeBytes < 16 ? " (full)" : "");
    return true;
}

int selCommand(const std::string& dir, const std::vector<std::string>& args) {
    if (args.size() > 1 || (args.size() == 1 && args[0] != "--count" && args[0] != "--raw")) {
        return wrong("sel takes nothing, --count or --raw");
    }
    warnOfPasswordVariable();
    tallowipmi::Session session;
    std::vector<tallowipmi::SelRecord> records;
    int rc = session.open();
    unsigned entries = 0, freeBytes = 0;
    bool overflow = false;
    if (rc == 0) {
        rc = session.selInfo(&entries, &freeBytes, &overflow);
    }
    if (rc == 0 && !(!args.empty() && args[0] == "--count")) {
        rc = session.readSel(records);
    }
    if (rc != 0) {
        return fail(std::string(BMC_strerror(rc)) + ": " + session.error());
    }
    if (overflow || freeBytes < 16) {
        fprintf(stderr, "orvind-bmc: the SEL is full: the BMC refuses new records (0xc4)\n");
    }
    if (!args.empty() && args[0] == "--count") {
        printf("%u\n", entries);
        return 0;
    }
    tallowsim::Dictionary dictionary;
    tallowsim::loadDictionary(tallowsim::dictionaryPath(dir), dictionary, nullptr);
    for (const tallowipmi::SelRecord& sel : records) {
        if (!args.empty()) {
            for (uint8_t byte : sel.bytes) {
                printf("%02x", byte);
            }
            printf("\n");
            continue;
        }
        SEL_entry_t record;
        memset(&record, 0, sizeof record);
        record.RecType = sel.recordType();
        memcpy(&record.e0, &sel.bytes[3], sizeof record.e0);
        printRecord(sel.recordId(), record, dictionary);
    }
    return 0;
}
#endif

int status(const std::string& dir) {
    std::string error;
    // Only looks: a folder that does not exist yet is not made.
    if (access(dir.c_str(), F_OK) != 0) {
        printf("folder: %s (missing: %s; the first FPL record or command makes it)\n", dir.c_str(),
               errorText(errno).c_str());
    }
    tallowsim::Dictionary dictionary;
    std::string path = tallowsim::dictionaryPath(dir);
    bool loaded = tallowsim::loadDictionary(path, dictionary, &error);
    const std::string unreadable = error;
    tallowsim::Faults faults = tallowsim::readFaults(dir);
    tallowsim::Fpl fpl;
    std::vector<tallowsim::Command> commands;
    tallowsim::readFpl(dir, fpl, &error);
    tallowsim::readCommands(dir, commands, &error);
    printf("backend: %s\n", ORVIND_BMC_BACKEND);
    // The simulated BMC does not answer while an open fault is set.
    bool answers = faults.open == 0;
#ifdef ORVIND_HAVE_IPMI
    if (strcmp(ORVIND_BMC_BACKEND, "ipmi") == 0) {
        answers = ipmiStatus();
    }
#endif
    if (access(dir.c_str(), F_OK) == 0) {
        printf("folder: %s\n", dir.c_str());
        printf("uuid: %s\n", tallowsim::systemUuid(dir).c_str());
    }
    if (loaded) {
        printf("dictionary: %s (%zu entries, %zu problems)\n", path.c_str(),
               dictionary.entries.size(), dictionary.problems.size());
    } else {
        printf("dictionary: %s (not readable)\n", unreadable.c_str());
    }
    printf("faults: open %d, append %d, cli %d, cli-status %d, forget %d\n", faults.open,
           faults.append, faults.cli, faults.cliStatus, faults.forget);
    printf("fpl: %zu\n", fpl.records.size());
    printf("commands: %zu\n", commands.size());
    return answers ? 0 : 1;
}

int uuidCommand(const std::string& dir) {
    std::string error;
    if (!tallowsim::makeStateDir(dir, &error)) {
        return fail(error);
    }
    std::string uuid = tallowsim::systemUuid(dir);
    if (uuid.empty()) {
        return fail("no system UUID could be had");
    }
    printf("%s\n", uuid.c_str());
    return 0;
}

int resetCommand(const std::string& dir) {
    std::string error;
    bool ok = tallowsim::makeStateDir(dir, &error) && tallowsim::clearFpl(dir, &error) &&
              tallowsim::clearCommands(dir, &error) &&
              tallowsim::writeFaults(dir, tallowsim::Faults(), &error);
    return ok ? 0 : fail(error);
}

// One command with its arguments, on the state folder dir.
int runCommand(const std::string& dir, const std::string& command,
               const std::vector<std::string>& args) {
    if (command == "status" && args.empty()) {
        return status(dir);
    }
    if (command == "uuid" && args.empty()) {
        return uuidCommand(dir);
    }
    if (command == "dictionary") {
        return dictionaryCommand(dir, args);
    }
    if (command == "fault") {
        return faultCommand(dir, args);
    }
    if (command == "fpl") {
        return fplCommand(dir, args);
    }
    if (command == "commands") {
        return commandsCommand(dir, args);
    }
    if (command == "sel") {
#ifdef ORVIND_HAVE_IPMI
        return selCommand(dir, args);
#else
        return fail("built without libfreeipmi: no IPMI");
#endif
    }
    if (command == "reset" && args.empty()) {
        return resetCommand(dir);
    }
    const char* const known[] = {"status", "uuid", "reset"};
    for (const char* name : known) {
        if (command == name) {
            return badArguments(command, args);
        }
    }
    return wrong("unknown command '" + command + "'");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string dir;
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version" || a == "-V") {
            printf("orvind-bmc %s\n", ORVIND_VERSION);
            return 0;
        }
    }
    if (!args.empty() && args[0] == "--dir") {
        if (args.size() < 2 || args[1].empty()) {
            return wrong("--dir needs a folder");
        }
        dir = args[1];
        args.erase(args.begin(), args.begin() + 2);
    } else {
        dir = tallowsim::stateDir();
    }
    if (args.empty()) {
        return wrong("no command given");
    }
    if (args[0].size() > 1 && args[0][0] == '-') {
        return wrong("unknown option '" + args[0] + "'");
    }
    std::string command = args[0];
    args.erase(args.begin());
    return runCommand(dir, command, args);
}
