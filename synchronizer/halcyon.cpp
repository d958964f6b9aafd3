#include "halcyon.h"

#include "bmcsession.h"
#include "files.h"
#include "fpl.h"
#include "logger.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const kCommandName = "MPEventGen";
const int kOutSize = 200000;
const int kErrSize = 15000;
const int kOSTypeLinux = 36;
const int kOSTypeRedHat = 79;
const int kOSTypeSles = 84;
const int kImpactedDomain = 5;
const size_t kHostNameSize = 255;
const size_t kUuidSize = 37;
const size_t kOutputSize = 512;
const size_t kPieceSize = 100;
constexpr const char* kProviderCommand = "rpm -qf /opt/vexa/vexa-qrx";
constexpr const char* kIssueCommand = "rpm -qf /etc/issue";
const char* const kRandomUuidPath = "/proc/sys/kernel/random/uuid";
static_assert(paths::sameText(kProviderCommand + 8, paths::kProviderDir), "rpm asks the folder");
static_assert(paths::sameText(kIssueCommand + 8, paths::kIssueFile), "rpm asks the file");

// The parameter text, built in the request's own field and never written past its end.
struct ParameterText {
    char* buffer;
    size_t size;
    size_t length;
};

void add(ParameterText& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void add(ParameterText& text, const char* format, ...) {
    if (text.length + 1 >= text.size) {
        return;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text.buffer + text.length, text.size - text.length, format, args);
    va_end(args);
    if (n > 0) {
        text.length += static_cast<size_t>(n);
        if (text.length >= text.size) {
            text.length = text.size - 1;
        }
    }
}

// Each blank becomes "___"; nothing else changes.
void addAddress(ParameterText& text, const char* address) {
    for (const char* c = address; *c != '\0'; ++c) {
        if (*c == ' ') {
            add(text, "___");
        } else {
            add(text, "%c", *c);
        }
    }
}

struct PipeClose {
    void operator()(FILE* pipe) const { pclose(pipe); }
};
struct FileClose {
    void operator()(FILE* file) const { fclose(file); }
};
struct MemoryFree {
    void operator()(char* memory) const { free(memory); }
};

// Runs a command and reads at most kOutputSize - 1 bytes of what it prints into output,
// zeroed first. False, with its line logged, when the command cannot be started.
// *finished tells whether the command ran to its end (killed by a signal, or not
// waited for: its output may be cut short).
bool readCommandOutput(const char* command, char* output, bool* finished) {
    std::unique_ptr<FILE, PipeClose> pipe(popen(command, "r"));
    if (!pipe) {
        logger.error("Can't execute \"%s\"", command);
        return false;
    }
    memset(output, 0, kOutputSize);
    size_t length = 0;
    while (length < kOutputSize - 1) {
        size_t n = fread(output + length, 1, kOutputSize - 1 - length, pipe.get());
        if (n == 0) {
            break;
        }
        length += n;
    }
    const int status = pclose(pipe.release());
    *finished = status != -1 && !WIFSIGNALED(status);
    return true;
}

// rpm's answers change only with the packages: each is kept with a stamp of what it
// depends on (the queried path and the package database, file by file) and asked for
// again when the stamp differs, or after a while in case the database lies elsewhere.
// So a storm of events costs no process per event.
const std::chrono::minutes kAnswerMaxAge(10);

struct Answer {
    bool known = false;
    std::string stamp;
    std::chrono::steady_clock::time_point at;
    char output[kOutputSize];
};

// The answers of rpm kept between forwarding passes, and the package database they
// depend on. Every caller shares them (each asks through its own buffer), under the lock.
struct RpmAnswers {
    std::mutex lock;
    std::vector<std::string> packageDatabases = {paths::kRpmDatabase, paths::kRpmSysimage};
    Answer provider;
    Answer issue;
};

// The host's answers, one set for the process: they are facts of the host, not of a
// forwarding run, and the free functions of this interface (GetProviderVersion,
// GetOSType) reach them here.
RpmAnswers& rpmAnswers() {
    static RpmAnswers answers;
    return answers;
}

// One line naming the file's identity, size and times; "-" when it is missing.
void addStamp(std::string& stamp, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        stamp += path + " -\n";
        return;
    }
    char line[160];
    snprintf(line, sizeof line, " %lu %lu %lld %lld.%09ld %lld.%09ld\n",
             static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino),
             static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
             st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    stamp += path + line;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

std::string sourcesStamp(const char* queried, const std::vector<std::string>& databases) {
    std::string stamp;
    addStamp(stamp, queried);
    for (const std::string& folder : databases) {
        addStamp(stamp, folder);
        std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
        if (!dir) {
            continue;
        }
        std::vector<std::string> names;
        // readdir is safe on a stream of the caller's own, under the answers' lock anyway.
        while (const dirent* entry = readdir(dir.get())) { // NOLINT(concurrency-mt-unsafe)
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                names.push_back(entry->d_name);
            }
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string path = folder;
            path += '/';
            path += name;
            addStamp(stamp, path);
        }
    }
    return stamp;
}

// What the command printed, as readCommandOutput gives it: its last answer while
// nothing it depends on changed, else a fresh run. False when it cannot be started.
// `answer` is one of `answers`.
bool commandAnswer(const char* command, const char* queried, RpmAnswers& answers, Answer& answer,
                   char* output) {
    std::lock_guard<std::mutex> lock(answers.lock);
    std::string stamp = sourcesStamp(queried, answers.packageDatabases);
    auto now = std::chrono::steady_clock::now();
    if (!answer.known || answer.stamp != stamp || now - answer.at > kAnswerMaxAge) {
        bool finished = false;
        if (!readCommandOutput(command, answer.output, &finished)) {
            answer.known = false;
            return false;
        }
        // An answer cut short is used this once and asked for again the next time.
        answer.known = finished;
        answer.stamp = stamp;
        answer.at = now;
    }
    memcpy(output, answer.output, kOutputSize);
    return true;
}

std::string hex(int code) {
    char text[16];
    snprintf(text, sizeof text, "%02x", static_cast<unsigned>(code));
    return text;
}

const char* interfaceError(int code) {
    switch (code) {
    case 0xAA:
        return "The pointer to the stdout or stderr is NULL.";
    case 0xDD:
        return "Command time out.";
    case 0xEE:
        return "The size of stdout or stderr is not enought.";
    default:
        return nullptr;
    }
}

const char* statusError(int status) {
    switch (status) {
    case 1:
        return "Provided command input data is not complete.";
    case 2:
    case 6:
        return "Internal error - internal error detected - memory could not be allocated, etc.";
    case 3:
        return "Error in index - given handle number does not match any currently outstanding "
               "requests.";
    case 4:
        return "Cli entries full - maximum number of outstanding ipmi cli entries has been "
               "reached.";
    case 5:
        return "Invalid command - provided command is not supported via the ipmi cli interface.";
    case 7:
        return "Response does not fit into cli response message - output data > excess data "
               "lost.";
    case 8:
        return "Length exceeded - argument or environment variable length exceeded limit.";
    default:
        return "Unknown response error.";
    }
}

// The host facts of the parameter text, gathered in the order of its items so that
// their log lines come in that order.
HostFacts gatherHostFacts(const BMC_t& bmc, char* ProviderVersion) {
    HostFacts host;
    host.osType = kOSTypeLinux;
    if (GetProviderVersion(ProviderVersion) == 0) {
        host.providerVersionKnown = true;
        host.providerVersion = ProviderVersion;
    }
    GetOSType(&host.osType);
    char OSVersion[kOSVersionSize] = {0};
    if (GetOSVersion(OSVersion) == 0) {
        host.osVersionKnown = true;
        host.osVersion = OSVersion;
    }
    host.systemUuid.assign(bmc.Cap.UUID, strnlen(bmc.Cap.UUID, sizeof bmc.Cap.UUID - 1));
    char hostName[kHostNameSize];
    if (gethostname(hostName, kHostNameSize) == 0) {
        hostName[kHostNameSize - 1] = '\0';
        host.hostNameKnown = true;
        host.hostName = hostName;
    } else {
        logger.info("gethostname Error=%s ", files::errorText(errno).c_str());
    }
    std::unique_ptr<FILE, FileClose> uuidFile(fopen(kRandomUuidPath, "r"));
    if (!uuidFile) {
        logger.info("open file error");
        return host;
    }
    char uuidStr[kUuidSize] = {0};
    if (fgets(uuidStr, kUuidSize, uuidFile.get()) == nullptr) {
        logger.error("fgets error");
    } else {
        uuidStr[strcspn(uuidStr, "\r\n")] = '\0';
        host.instanceIdKnown = true;
        host.instanceId = uuidStr;
    }
    return host;
}

// Runs "MPEventGen" with the parameter text in `request` and interprets its answer;
// a refusal's text goes to *reason.
int runCommand(BMC_t* bmc, cli_request* request, str_buf* out, str_buf* err, std::string* reason) {
    snprintf(request->name, sizeof request->name, "%s", kCommandName);
    logger.info("Parameter:%s", request->arg);

    uint8_t status = 0;
    int code = ZU_CLI_Exec(bmc, request, &status, out, err);
    if (code != 0) {
        const char* message = interfaceError(code);
        char unknown[48];
        if (message == nullptr) {
            snprintf(unknown, sizeof unknown, "Unknown interface error(%x).",
                     static_cast<unsigned>(code));
            message = unknown;
        }
        logger.error("%s", message);
        *reason = "MPEventGen: interface code 0x" + hex(code) + ": " + message;
        return code;
    }
    if (status != 0) {
        logger.error("%s", statusError(status));
        *reason = "MPEventGen: status " + std::to_string(status) + ": " + statusError(status);
        return 1;
    }
    return 0;
}

// Builds the parameter text, runs the command and interprets its answer.
int sendEvent(BMC_t* bmc, cli_request* request, str_buf* out, str_buf* err,
              const EventFields& event, char* ProviderVersion, std::string* reason) {
    if (event.providerName == nullptr || event.providerName[0] == '\0') {
        logger.error("provider_name is NULL or has no data.");
        *reason = "provider_name is NULL or has no data.";
        return 1;
    }
    const HostFacts host = gatherHostFacts(*bmc, ProviderVersion);
    BuildParameterText(request->arg, sizeof request->arg, event, host);
    return runCommand(bmc, request, out, err, reason);
}

} // namespace

int mp_event_gen(BmcSession& session, const char* provider_name, const char* hw_partnumber,
                 const unsigned int wbem_event_id, const time_t event_time, physloc_t hw_location,
                 const char* system_FirmwareVersion, const char* system_address, bool* may_pass,
                 BmcOutcome* outcome) {
    (void)event_time;
    BmcOutcome ignored;
    BmcOutcome& told = outcome != nullptr ? *outcome : ignored;
    told = BmcOutcome();
    if (may_pass != nullptr) {
        *may_pass = false;
    }
    int rc = 0;
    BMC_t* bmc = session.get(&rc);
    if (bmc == nullptr) {
        logger.error("BMC_open() failed: %s", BMC_strerror(rc));
        if (may_pass != nullptr) {
            *may_pass = true; // the management processor was not reached
        }
        return 1;
    }

    cli_request request;
    memset(request.name, 0, sizeof request.name);
    memset(request.arg, 0, sizeof request.arg);
    memset(request.env, 0, sizeof request.env);
    char ProviderVersion[kProviderVersionSize];
    memset(ProviderVersion, 0, sizeof ProviderVersion);
    EventFields event;
    event.providerName = provider_name;
    event.hwPartNumber = hw_partnumber;
    event.wbemEventId = wbem_event_id;
    event.hwLocation = hw_location;
    event.systemFirmwareVersion = system_FirmwareVersion;
    event.systemAddress = system_address;

    int result = 1;
    told.reason = "out of memory";
    std::unique_ptr<char, MemoryFree> outBuffer(static_cast<char*>(malloc(kOutSize)));
    std::unique_ptr<char, MemoryFree> errBuffer;
    if (!outBuffer) {
        logger.error("Unable to malloc enough memory for stdout.");
    } else {
        errBuffer.reset(static_cast<char*>(malloc(kErrSize)));
        if (!errBuffer) {
            logger.error("Unable to malloc enough memory for stderr.");
        } else {
            str_buf out = {kOutSize, outBuffer.get()};
            str_buf err = {kErrSize, errBuffer.get()};
            told.reason.clear();
            result = sendEvent(bmc, &request, &out, &err, event, ProviderVersion, &told.reason);
        }
    }
    told.result = result == 0 ? BmcResult::Written : BmcResult::Refused;
    if (result == ZU_CLI_TIMEOUT) {
        told.result = BmcResult::NotReached; // no answer: the command may not have reached it
        session.close();
        if (may_pass != nullptr) {
            *may_pass = true;
        }
    }
    return result;
}

bool mp_planned_record(BMC_t* bmc, const char* provider_name, unsigned int wbem_event_id,
                       SEL_entry_t* entry) {
    if (provider_name == nullptr || provider_name[0] == '\0') {
        return false;
    }
    // The record depends on the provider and the event alone: the rest of the text is
    // not needed to know it.
    cli_request request;
    memset(&request, 0, sizeof request);
    snprintf(request.name, sizeof request.name, "%s", kCommandName);
    snprintf(request.arg, sizeof request.arg, "--PNAM %s --EID %u", provider_name, wbem_event_id);
    return ZU_CLI_record(bmc, &request, entry) == 0;
}

void BuildParameterText(char* buffer, size_t size, const EventFields& event,
                        const HostFacts& host) {
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    ParameterText text = {buffer, size, 0};
    add(text, "--PNAM %s", event.providerName);
    if (event.hwPartNumber != nullptr && event.hwPartNumber[0] != '\0' &&
        strncmp(event.hwPartNumber, "NULL", 4) != 0) {
        add(text, " --HPART %s", event.hwPartNumber);
    }
    add(text, " --EID %u", event.wbemEventId);
    if (host.providerVersionKnown) {
        add(text, " --PVER %s", host.providerVersion.c_str());
    }
    add(text, " --OSTYP %d", host.osType);
    if (host.osVersionKnown) {
        add(text, " --OSVER %s", host.osVersion.c_str());
    }
    add(text, " --EVTTYP %d", strcmp(event.providerName, "VEXA_SCSI") == 0 ? 2 : 1);
    add(text, " --IMD %d", kImpactedDomain);
    if (!host.systemUuid.empty()) {
        add(text, " --SGUID %s", host.systemUuid.c_str());
    }
    const physloc_t& at = event.hwLocation;
    add(text, " --HPHYL %02x%02x%02x%02x%02x%02x%02x%x%x", at.cab, at.bay, at.ioc, at.cell, at.ext,
        at.slot, at.subslot, static_cast<unsigned>(at.source), static_cast<unsigned>(at.detail));
    if (event.systemFirmwareVersion != nullptr) {
        add(text, " --SFWVER %s", event.systemFirmwareVersion);
    }
    if (event.systemAddress != nullptr) {
        add(text, " --NWADD ");
        addAddress(text, event.systemAddress);
    }
    if (host.hostNameKnown) {
        add(text, " --SNAM %s", host.hostName.c_str());
    }
    if (host.instanceIdKnown) {
        add(text, " --IID %s", host.instanceId.c_str());
    }
}

void WatchPackageDatabases(const std::vector<std::string>& folders) {
    RpmAnswers& answers = rpmAnswers();
    std::lock_guard<std::mutex> lock(answers.lock);
    answers.packageDatabases = folders;
}

bool RpmInstalled() {
    // As the shell that runs the query finds it: the first executable "rpm" on PATH.
    const char* path = getenv("PATH"); // NOLINT(concurrency-mt-unsafe): nobody sets it
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string folder = folders.substr(start, end - start);
        std::string file = (folder.empty() ? std::string(".") : folder) + "/rpm";
        if (access(file.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

void CheckHostFacts() {
    if (!RpmInstalled()) {
        logger.warn("host facts: rpm is not installed: provider versions are not known");
    }
}

int GetProviderVersion(char* version) {
    if (!RpmInstalled()) {
        return 1; // said once at start-up (CheckHostFacts), not for every event
    }
    char output[kOutputSize];
    RpmAnswers& answers = rpmAnswers();
    if (!commandAnswer(kProviderCommand, paths::kProviderDir, answers, answers.provider, output)) {
        return 1;
    }
    // name pieces, version and release joined by '-': only the third piece is taken.
    char first[kPieceSize];
    char second[kPieceSize];
    char third[kPieceSize];
    char rest[kPieceSize];
    int matched = sscanf(output, "%99[^-]-%99[^-]-%99[^-]-%99s", first, second, third, rest);
    if (matched != 4) {
        logger.error("Can't analyze provider version");
        return 1;
    }
    // A longer version is cut to what the caller's buffer holds.
    size_t length = strnlen(third, kProviderVersionSize - 1);
    memcpy(version, third, length);
    version[length] = '\0';
    return 0;
}

int GetOSType(int* type) {
    if (!RpmInstalled()) {
        return 0; // nothing to ask: the type stays as preset, as with an empty answer
    }
    char output[kOutputSize];
    RpmAnswers& answers = rpmAnswers();
    if (!commandAnswer(kIssueCommand, paths::kIssueFile, answers, answers.issue, output)) {
        return 1;
    }
    if (strstr(output, "sles") != nullptr) {
        *type = kOSTypeSles;
    } else if (strstr(output, "redhat") != nullptr) {
        *type = kOSTypeRedHat;
    }
    return 0;
}

int GetOSVersion(char* version) {
    struct utsname name;
    if (uname(&name) != 0) {
        logger.error("Can't get os version");
        return 1;
    }
    CutKernelRelease(name.release, version, kOSVersionSize);
    return 0;
}

void CutKernelRelease(const char* release, char* version, size_t size) {
    if (size == 0) {
        return;
    }
    size_t length = strcspn(release, "-");
    if (length > size - 1) {
        length = size - 1;
    }
    memcpy(version, release, length);
    version[length] = '\0';
}
