// One IPMI session through libfreeipmi and the SEL commands of the BMC library.
#include "tallow_ipmi.h"

#include "tallow.h"

#include <freeipmi/freeipmi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowipmi {

const char* const kLanVariable = "ORVIND_BMC_LAN";
const char* const kUserVariable = "ORVIND_BMC_USER";
const char* const kPasswordVariable = "ORVIND_BMC_PASSWORD";
const char* const kPasswordFileVariable = "ORVIND_BMC_PASSWORD_FILE";
const char* const kPasswordCredential = "bmc-password";
const char* const kCipherSuiteVariable = "ORVIND_BMC_CIPHER_SUITE";
const char* const kDeviceVariable = "ORVIND_BMC_DEVICE";
const char* const kDefaultDevice = "/dev/ipmi0";

namespace {

const uint8_t kNetfnSensorEvent = 0x04;
const uint8_t kNetfnStorage = 0x0A;
const uint8_t kCmdPlatformEvent = 0x02;
const uint8_t kCmdGetSelInfo = 0x40;
const uint8_t kCmdGetSelEntry = 0x43;
const uint8_t kCmdAddSelEntry = 0x44;
// Bounds of one LAN session: the whole exchange, and the wait before a resend.
const unsigned kSessionTimeoutMs = 4000;
const unsigned kRetransmissionMs = 500;
// The LAN session's cipher suite when none is set: HMAC-SHA1 authentication and
// integrity, AES-CBC-128 confidentiality.
const int kDefaultCipherSuite = 3;
// Software id of system management software, as a generator id (bit 0 set).
const uint8_t kGeneratorId = 0x41;

// The little-endian 16-bit number at bytes[at], bytes[at + 1].
unsigned le16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<unsigned>(bytes[at]) | (static_cast<unsigned>(bytes[at + 1]) << 8);
}
const unsigned kLastRecord = 0xFFFF;
const uint8_t kRecordNotPresent = 0xCB;

std::string env(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// The system's text for an errno value.
std::string errnoText(int error) {
    char buffer[256];
    // The GNU strerror_r answers the text, in the buffer or not.
    return strerror_r(error, buffer, sizeof buffer);
}

// The file that holds the LAN password: the service's credential, else the file named in
// the settings; empty when neither is given.
std::string passwordFile() {
    std::string file;
    if (const char* dir = getenv("CREDENTIALS_DIRECTORY"); dir != nullptr && *dir != '\0') {
        file = std::string(dir) + "/" + kPasswordCredential;
        if (access(file.c_str(), F_OK) != 0) {
            file.clear();
        }
    }
    return file.empty() ? env(kPasswordFileVariable) : file;
}

// The LAN password: from passwordFile(), else the variable (tests). A file must be root's
// and readable by root alone. False with the reason in *error when a file is named and
// cannot be used.
bool readPassword(std::string* out, std::string* error) {
    const std::string file = passwordFile();
    if (file.empty()) {
        *out = env(kPasswordVariable);
        return true;
    }
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = "the password file " + file + " cannot be read: " + errnoText(errno);
    } else if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *error = "the password file " + file + " has mode " + mode + " and owner " +
                 std::to_string(st.st_uid) + ": it must be root's alone (chown root: " + file +
                 "; chmod 600 " + file + ")";
    } else {
        char buffer[256];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got >= 0) {
            out->assign(buffer, static_cast<size_t>(got));
            // A file written with echo ends in a newline that is not part of the password.
            while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) {
                out->pop_back();
            }
        } else {
            *error = "the password file " + file + " cannot be read: " + errnoText(errno);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return error->empty();
}

// The cipher suite set for LAN sessions: -1 when the setting is not a suite number.
int cipherSuite() {
    std::string text = env(kCipherSuiteVariable);
    if (text.empty()) {
        return kDefaultCipherSuite;
    }
    char* end = nullptr;
    long suite = strtol(text.c_str(), &end, 10);
    return *end == '\0' && suite >= 0 && suite <= IPMI_CIPHER_SUITE_ID_MAX ? static_cast<int>(suite)
                                                                           : -1;
}

std::string device() {
    std::string path = env(kDeviceVariable);
    return path.empty() ? kDefaultDevice : path;
}

// The library's code for what libfreeipmi reported.
int contextCode(int errnum) {
    switch (errnum) {
    case IPMI_ERR_SESSION_TIMEOUT:
    case IPMI_ERR_CONNECTION_TIMEOUT:
    case IPMI_ERR_MESSAGE_TIMEOUT:
    case IPMI_ERR_DRIVER_TIMEOUT:
    case IPMI_ERR_PASSWORD_VERIFICATION_TIMEOUT:
        return BMC_E_TIMEOUT;
    case IPMI_ERR_BMC_BUSY:
    case IPMI_ERR_DRIVER_BUSY:
        return BMC_E_BUSY;
    case IPMI_ERR_PERMISSION:
    case IPMI_ERR_USERNAME_INVALID:
    case IPMI_ERR_PASSWORD_INVALID:
    case IPMI_ERR_K_G_INVALID:
    case IPMI_ERR_PRIVILEGE_LEVEL_INSUFFICIENT:
    case IPMI_ERR_PRIVILEGE_LEVEL_CANNOT_BE_OBTAINED:
        return BMC_E_NOACCESS;
    case IPMI_ERR_DEVICE_NOT_FOUND:
    case IPMI_ERR_DEVICE_NOT_SUPPORTED:
        return BMC_E_NODEV;
    case IPMI_ERR_OUT_OF_MEMORY:
        return BMC_E_NOMEM;
    case IPMI_ERR_HOSTNAME_INVALID:
    case IPMI_ERR_PARAMETERS:
        return BMC_E_INVAL;
    default:
        return BMC_E_IO;
    }
}

} // namespace

bool passwordFromEnvironment() {
    return !env(kLanVariable).empty() && !env(kPasswordVariable).empty() && passwordFile().empty();
}

std::string targetText() {
    std::string lan = env(kLanVariable);
    if (!lan.empty()) {
        std::string user = env(kUserVariable);
        return "LAN " + lan + (user.empty() ? std::string(" (anonymous)") : " as " + user);
    }
    return "in-band " + device();
}

int completionCode(uint8_t code) {
    switch (code) {
    case 0x00:
        return 0;
    case 0xC0: // node busy
    case 0x81: // SEL erase in progress
        return BMC_E_BUSY;
    case 0xC3: // timeout while processing
        return BMC_E_TIMEOUT;
    case 0xC4: // out of space
        return BMC_E_FULL;
    case 0xD4: // insufficient privilege
        return BMC_E_NOACCESS;
    case 0xFF: // unspecified
        return BMC_E_IO;
    default: // the request itself was refused
        return BMC_E_INVAL;
    }
}

std::string completionText(uint8_t code) {
    const char* meaning = "refused";
    switch (code) {
    case 0x00:
        meaning = "done";
        break;
    case 0x80:
        meaning = "operation not supported";
        break;
    case 0x81:
        meaning = "SEL erase in progress";
        break;
    case 0xC0:
        meaning = "node busy";
        break;
    case 0xC1:
        meaning = "invalid command";
        break;
    case 0xC3:
        meaning = "timeout";
        break;
    case 0xC4:
        meaning = "out of space: the SEL is full";
        break;
    case 0xC7:
        meaning = "request data length invalid";
        break;
    case 0xC9:
        meaning = "parameter out of range";
        break;
    case 0xCB:
        meaning = "record not present";
        break;
    case 0xCC:
        meaning = "invalid data field in request";
        break;
    case 0xD4:
        meaning = "insufficient privilege";
        break;
    case 0xD5:
        meaning = "command not supported in present state";
        break;
    case 0xFF:
        meaning = "unspecified error";
        break;
    }
    char text[96];
    snprintf(text, sizeof text, "0x%02x (%s)", code, meaning);
    return text;
}

struct Session::Context {
    ipmi_ctx_t ctx = nullptr;
    bool opened = false;
    ~Context() {
        if (ctx != nullptr) {
            if (opened) {
                ipmi_ctx_close(ctx);
            }
            ipmi_ctx_destroy(ctx);
        }
    }
};

Session::Session() = default;
Session::~Session() = default;

int Session::open() {
    context.reset(new (std::nothrow) Context);
    if (!context || (context->ctx = ipmi_ctx_create()) == nullptr) {
        lastError = "cannot make an IPMI context";
        return BMC_E_NOMEM;
    }
    std::string lan = env(kLanVariable);
    int rc;
    if (!lan.empty()) {
        std::string user = env(kUserVariable);
        std::string password;
        std::string problem;
        if (!readPassword(&password, &problem)) {
            lastError = targetText() + ": " + problem;
            return BMC_E_NOACCESS;
        }
        const int suite = cipherSuite();
        if (suite < 0) {
            lastError = targetText() + ": " + kCipherSuiteVariable + "=" +
                        env(kCipherSuiteVariable) + " is not a cipher suite (0 to " +
                        std::to_string(IPMI_CIPHER_SUITE_ID_MAX) + ")";
            return BMC_E_INVAL;
        }
        rc = ipmi_ctx_open_outofband_2_0(
            context->ctx, lan.c_str(), user.empty() ? nullptr : user.c_str(),
            password.empty() ? nullptr : password.c_str(), nullptr, 0, IPMI_PRIVILEGE_LEVEL_ADMIN,
            static_cast<uint8_t>(suite), kSessionTimeoutMs, kRetransmissionMs,
            IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE, IPMI_FLAGS_DEFAULT);
    } else {
        inband = true;
        std::string path = device();
        if (access(path.c_str(), F_OK) != 0) {
            lastError = path + " is missing: is the kernel's IPMI driver (ipmi_devintf, "
                               "ipmi_si) loaded?";
            return BMC_E_NODEV;
        }
        rc = ipmi_ctx_open_inband(context->ctx, IPMI_DEVICE_OPENIPMI, 0, 0, 0, path.c_str(), 0,
                                  IPMI_FLAGS_DEFAULT);
    }
    if (rc < 0) {
        int errnum = ipmi_ctx_errnum(context->ctx);
        lastError = targetText() + ": " + ipmi_ctx_errormsg(context->ctx);
        return contextCode(errnum);
    }
    context->opened = true;
    return 0;
}

int Session::command(uint8_t netfn, uint8_t cmd, const std::vector<uint8_t>& request,
                     std::vector<uint8_t>* data, size_t minimum, uint8_t* completion) {
    if (!context || !context->opened) {
        lastError = "no IPMI session";
        return BMC_E_NOTOPEN;
    }
    std::vector<uint8_t> rq;
    rq.reserve(request.size() + 1);
    rq.push_back(cmd);
    rq.insert(rq.end(), request.begin(), request.end());
    uint8_t rs[256];
    int length = ipmi_cmd_raw(context->ctx, 0, netfn, rq.data(), static_cast<unsigned>(rq.size()),
                              rs, sizeof rs);
    if (length < 0) {
        lastError = targetText() + ": " + ipmi_ctx_errormsg(context->ctx);
        return contextCode(ipmi_ctx_errnum(context->ctx));
    }
    // The answer: the command byte, the completion code, then the data.
    if (length < 2 || rs[0] != cmd) {
        lastError = "answer of " + std::to_string(length) + " bytes, too short";
        return BMC_E_IO;
    }
    if (completion != nullptr) {
        *completion = rs[1];
    }
    if (rs[1] != 0) {
        lastError = "completion code " + completionText(rs[1]);
        return completionCode(rs[1]);
    }
    if (static_cast<size_t>(length) - 2 < minimum) {
        lastError = "answer of " + std::to_string(length - 2) + " data bytes, expected " +
                    std::to_string(minimum);
        return BMC_E_IO;
    }
    data->assign(rs + 2, rs + length);
    return 0;
}

int Session::addSelEntry(uint8_t recordType, const uint8_t body[13], unsigned* recordId) {
    std::vector<uint8_t> request(16, 0);
    request[2] = recordType;
    memcpy(&request[3], body, 13);
    std::vector<uint8_t> answer;
    int rc = command(kNetfnStorage, kCmdAddSelEntry, request, &answer, 2);
    if (rc == 0 && recordId != nullptr) {
        *recordId = le16(answer, 0);
    }
    return rc;
}

int Session::getSelEntry(unsigned recordId, SelRecord* record, unsigned* next) {
    // Reservation 0 with offset 0 and the whole record needs no reservation.
    std::vector<uint8_t> request = {
        0, 0, static_cast<uint8_t>(recordId & 0xFF), static_cast<uint8_t>(recordId >> 8), 0, 0xFF};
    std::vector<uint8_t> answer;
    int rc = command(kNetfnStorage, kCmdGetSelEntry, request, &answer, 18);
    if (rc == 0) {
        *next = le16(answer, 0);
        memcpy(record->bytes, &answer[2], 16);
    }
    return rc;
}

int Session::endRecordId(bool newest, unsigned* recordId) {
    const unsigned which = newest ? kLastRecord : 0;
    std::vector<uint8_t> request = {
        0, 0, static_cast<uint8_t>(which & 0xFF), static_cast<uint8_t>(which >> 8), 0, 0xFF};
    std::vector<uint8_t> answer;
    uint8_t completion = 0;
    int rc = command(kNetfnStorage, kCmdGetSelEntry, request, &answer, 18, &completion);
    if (rc != 0 && completion == kRecordNotPresent) {
        *recordId = 0; // an empty SEL has neither
        return 0;
    }
    if (rc == 0) {
        *recordId = le16(answer, 2);
    }
    return rc;
}

int Session::readSel(std::vector<SelRecord>& records) {
    unsigned entries = 0;
    unsigned freeBytes = 0;
    bool overflow = false;
    int rc = selInfo(&entries, &freeBytes, &overflow);
    if (rc != 0 || entries == 0) {
        return rc;
    }
    unsigned id = 0;
    // Bounded by what the BMC said it holds: a chain that loops ends all the same.
    for (unsigned i = 0; i <= entries && id != kLastRecord; ++i) {
        SelRecord record;
        unsigned next = 0;
        rc = getSelEntry(id, &record, &next);
        if (rc != 0) {
            return rc;
        }
        records.push_back(record);
        if (next == id) {
            lastError = "the SEL's next record id does not advance";
            return BMC_E_IO;
        }
        id = next;
    }
    return 0;
}

int Session::selInfo(unsigned* entries, unsigned* freeBytes, bool* overflow) {
    std::vector<uint8_t> answer;
    int rc = command(kNetfnStorage, kCmdGetSelInfo, {}, &answer, 14);
    if (rc == 0) {
        *entries = le16(answer, 1);
        *freeBytes = le16(answer, 3);
        *overflow = (answer[13] & 0x80) != 0;
    }
    return rc;
}

int Session::platformEvent(uint8_t sensorType, uint8_t sensorNumber, uint8_t eventType,
                           const uint8_t data[3], bool* viaSel) {
    *viaSel = false;
    std::vector<uint8_t> request;
    // Only the system interface names the generator; over LAN the BMC takes the session's.
    if (inband) {
        request.push_back(kGeneratorId);
    }
    request.insert(request.end(), {kEventMessageRevision, sensorType, sensorNumber, eventType,
                                   data[0], data[1], data[2]});
    std::vector<uint8_t> answer;
    uint8_t completion = 0;
    int rc = command(kNetfnSensorEvent, kCmdPlatformEvent, request, &answer, 0, &completion);
    if (rc == 0 || completion != 0xC1) {
        return rc;
    }
    // No event receiver: the same event as the system event record it would have made.
    uint8_t body[13] = {0,
                        0,
                        0,
                        0,
                        kGeneratorId,
                        0,
                        kEventMessageRevision,
                        sensorType,
                        sensorNumber,
                        eventType,
                        data[0],
                        data[1],
                        data[2]};
    *viaSel = true;
    return addSelEntry(kRecTypeSystemEvent, body, nullptr);
}

} // namespace tallowipmi
