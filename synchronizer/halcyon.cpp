#include "halcyon.h"

#include "logger.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

const int kOpenFlags = 1;
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
const char* const kProviderCommand = "rpm -qf /opt/vexa/vexa-qrx";
const char* const kIssueCommand = "rpm -qf /etc/issue";
const char* const kRandomUuidPath = "/proc/sys/kernel/random/uuid";

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

// Runs a command and reads at most kOutputSize - 1 bytes of what it prints into output,
// zeroed first. False, with its line logged, when the command cannot be started.
bool readCommandOutput(const char* command, char* output) {
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) {
        logger.error("Can't execute \"%s\"", command);
        return false;
    }
    memset(output, 0, kOutputSize);
    size_t length = 0;
    while (length < kOutputSize - 1) {
        size_t n = fread(output + length, 1, kOutputSize - 1 - length, pipe);
        if (n == 0) {
            break;
        }
        length += n;
    }
    pclose(pipe);
    return true;
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

// Builds the parameter text, runs the command and interprets its answer.
int sendEvent(BMC_t* bmc, cli_request* request, str_buf* out, str_buf* err,
              const char* provider_name, const char* hw_partnumber,
              const unsigned int wbem_event_id, const physloc_t& hw_location,
              const char* system_FirmwareVersion, const char* system_address,
              char* ProviderVersion) {
    int OSType = kOSTypeLinux;
    int EventType = 1;
    char OSVersion[kOSVersionSize] = {0};
    char hostName[kHostNameSize];
    char uuidStr[kUuidSize] = {0};

    if (provider_name == nullptr || provider_name[0] == '\0') {
        logger.error("provider_name is NULL or has no data.");
        return 1;
    }

    ParameterText text = {request->arg, sizeof request->arg, 0};
    add(text, "--PNAM %s", provider_name);
    if (hw_partnumber != nullptr && hw_partnumber[0] != '\0' &&
        strncmp(hw_partnumber, "NULL", 4) != 0) {
        add(text, " --HPART %s", hw_partnumber);
    }
    add(text, " --EID %u", wbem_event_id);
    if (GetProviderVersion(ProviderVersion) == 0) {
        add(text, " --PVER %s", ProviderVersion);
    }
    GetOSType(&OSType);
    add(text, " --OSTYP %d", OSType);
    if (GetOSVersion(OSVersion) == 0) {
        add(text, " --OSVER %s", OSVersion);
    }
    if (strcmp(provider_name, "VEXA_SCSI") == 0) {
        EventType = 2;
    }
    add(text, " --EVTTYP %d", EventType);
    add(text, " --IMD %d", kImpactedDomain);
    if (bmc->Cap.UUID[0] != '\0') {
        add(text, " --SGUID %.*s", static_cast<int>(sizeof bmc->Cap.UUID - 1), bmc->Cap.UUID);
    }
    add(text, " --HPHYL %02x%02x%02x%02x%02x%02x%02x%x%x", hw_location.cab, hw_location.bay,
        hw_location.ioc, hw_location.cell, hw_location.ext, hw_location.slot, hw_location.subslot,
        static_cast<unsigned>(hw_location.source), static_cast<unsigned>(hw_location.detail));
    if (system_FirmwareVersion != nullptr) {
        add(text, " --SFWVER %s", system_FirmwareVersion);
    }
    if (system_address != nullptr) {
        add(text, " --NWADD ");
        addAddress(text, system_address);
    }
    if (gethostname(hostName, kHostNameSize) == 0) {
        hostName[kHostNameSize - 1] = '\0';
        add(text, " --SNAM %s", hostName);
    } else {
        logger.info("gethostname Error=%s ", strerror(errno));
    }
    FILE* uuidFile = fopen(kRandomUuidPath, "r");
    if (uuidFile == nullptr) {
        logger.info("open file error");
    } else {
        if (fgets(uuidStr, kUuidSize, uuidFile) == nullptr) {
            logger.error("fgets error");
        } else {
            uuidStr[strcspn(uuidStr, "\r\n")] = '\0';
            add(text, " --IID %s", uuidStr);
        }
        fclose(uuidFile);
    }

    snprintf(request->name, sizeof request->name, "%s", kCommandName);
    logger.info("Parameter:%s", request->arg);

    uint8_t status = 0;
    int code = ZU_CLI_Exec(bmc, request, &status, out, err);
    if (code != 0) {
        const char* message = interfaceError(code);
        if (message != nullptr) {
            logger.error("%s", message);
        } else {
            logger.error("Unknown interface error(%x).", static_cast<unsigned>(code));
        }
        return code;
    }
    if (status != 0) {
        logger.error("%s", statusError(status));
        return 1;
    }
    return 0;
}

} // namespace

int mp_event_gen(const char* provider_name, const char* hw_partnumber,
                 const unsigned int wbem_event_id, const time_t event_time, physloc_t hw_location,
                 const char* system_FirmwareVersion, const char* system_address, bool* may_pass) {
    (void)event_time;
    if (may_pass != nullptr) {
        *may_pass = false;
    }
    BMC_t bmc;
    int rc = BMC_open(&bmc, 0, kOpenFlags);
    if (rc != 0) {
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

    int result = 1;
    str_buf out = {0, nullptr};
    str_buf err = {0, nullptr};
    out.buffer = static_cast<char*>(malloc(kOutSize));
    if (out.buffer == nullptr) {
        logger.error("Unable to malloc enough memory for stdout.");
    } else {
        out.size = kOutSize;
        err.buffer = static_cast<char*>(malloc(kErrSize));
        if (err.buffer == nullptr) {
            logger.error("Unable to malloc enough memory for stderr.");
        } else {
            err.size = kErrSize;
            result =
                sendEvent(&bmc, &request, &out, &err, provider_name, hw_partnumber, wbem_event_id,
                          hw_location, system_FirmwareVersion, system_address, ProviderVersion);
        }
    }
    free(out.buffer);
    free(err.buffer);
    BMC_close(&bmc);
    if (may_pass != nullptr && result == ZU_CLI_TIMEOUT) {
        *may_pass = true; // no answer: the command may not have reached it
    }
    return result;
}

int GetProviderVersion(char* version) {
    char output[kOutputSize];
    if (!readCommandOutput(kProviderCommand, output)) {
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
    char output[kOutputSize];
    if (!readCommandOutput(kIssueCommand, output)) {
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
