// tallow_ipmi.h - the IPMI road of the BMC access library: one session to a real BMC
// (or a simulator) through libfreeipmi, the SEL commands the library needs, and the
// answers sorted into the library's error codes.
//
// In-band through the kernel's IPMI driver ("/dev/ipmi0") by default; out-of-band over
// IPMI 2.0 LAN when ORVIND_BMC_LAN names "host:port" (ORVIND_BMC_USER then names the user;
// the password comes from the service's credential "bmc-password", else the root-only
// file that ORVIND_BMC_PASSWORD_FILE names, else ORVIND_BMC_PASSWORD for tests). See
// platform/tallow/README.md.
#ifndef TALLOW_IPMI_H
#define TALLOW_IPMI_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tallowipmi {

// Environment variables.
extern const char* const kLanVariable;      // "ORVIND_BMC_LAN": host:port of a LAN BMC
extern const char* const kUserVariable;     // "ORVIND_BMC_USER"
extern const char* const kPasswordVariable; // "ORVIND_BMC_PASSWORD" (tests)
// "ORVIND_BMC_PASSWORD_FILE": a file of root's, mode 0600, that holds the password
extern const char* const kPasswordFileVariable;
// "bmc-password": the credential in $CREDENTIALS_DIRECTORY that holds it, first choice
extern const char* const kPasswordCredential;
// "ORVIND_BMC_CIPHER_SUITE": the LAN session's cipher suite, 3 when unset. 0 (no
// authentication, integrity or confidentiality) is for tests that read the session.
extern const char* const kCipherSuiteVariable;
extern const char* const kDeviceVariable; // "ORVIND_BMC_DEVICE": in-band device
extern const char* const kDefaultDevice;  // "/dev/ipmi0"

// Whether a LAN session would take its password from ORVIND_BMC_PASSWORD (meant for
// tests): a LAN BMC is named, the variable is set, and neither the credential nor a file
// gives the password.
bool passwordFromEnvironment();

// Where the sessions go, as one line for people: "LAN 127.0.0.1:9623 as admin" or
// "in-band /dev/ipmi0".
std::string targetText();

// A system event record, and the event message revision of the events it sends.
const uint8_t kRecTypeSystemEvent = 0x02;
const uint8_t kEventMessageRevision = 0x04;

// One SEL record as the BMC keeps it: 16 bytes, the record id in bytes 0-1.
struct SelRecord {
    uint8_t bytes[16] = {};
    unsigned recordId() const {
        return static_cast<unsigned>(bytes[0]) | (static_cast<unsigned>(bytes[1]) << 8);
    }
    uint8_t recordType() const { return bytes[2]; }
};

// An open session. Every call answers 0 or a BMC_E_* code of tallow.h and leaves a
// one-line explanation in error().
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the session (bounded: a few seconds in all, a few retransmissions).
    int open();
    // Add SEL Entry: the record type and 13 body bytes; *recordId gets the id assigned.
    int addSelEntry(uint8_t recordType, const uint8_t body[13], unsigned* recordId);
    // Get SEL Entry: the record `recordId` (0 for the first); *next gets the id of the
    // one after it (0xFFFF after the last).
    int getSelEntry(unsigned recordId, SelRecord* record, unsigned* next);
    // The id of the oldest (`newest` false) or the newest record, through Get SEL Entry
    // of 0x0000 ("first") or 0xFFFF ("last"); 0 when the SEL is empty.
    int endRecordId(bool newest, unsigned* recordId);
    // The whole SEL, oldest first.
    int readSel(std::vector<SelRecord>& records);
    // Get SEL Info: entries and free bytes; *overflow when the BMC has dropped events.
    int selInfo(unsigned* entries, unsigned* freeBytes, bool* overflow);
    // A system event for the BMC's event filters: Platform Event Message with the
    // sensor type, number, event type and three data bytes. A BMC that has no event
    // receiver (completion code 0xC1) gets the same event as a system event record
    // through Add SEL Entry; *viaSel then tells so.
    int platformEvent(uint8_t sensorType, uint8_t sensorNumber, uint8_t eventType,
                      const uint8_t data[3], bool* viaSel);

    const std::string& error() const { return lastError; }

private:
    // One raw command; 0 with the answer after the completion code in *data, or a code.
    int command(uint8_t netfn, uint8_t cmd, const std::vector<uint8_t>& request,
                std::vector<uint8_t>* data, size_t minimum, uint8_t* completion = nullptr);

    struct Context;
    std::unique_ptr<Context> context;
    bool inband = false;
    std::string lastError;
};

// The library's error code for an IPMI completion code (0 for 0x00).
int completionCode(uint8_t code);
// What a completion code means, for people: "0xc4 (out of space)".
std::string completionText(uint8_t code);

} // namespace tallowipmi

#endif
