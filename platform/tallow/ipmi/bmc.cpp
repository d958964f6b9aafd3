// The handle, the FPL and the enclosure CLI of the BMC library over IPMI: FPL records go
// into the BMC's SEL with Add SEL Entry, management-processor events become platform
// events. The dictionaries stay files (dictionary.cpp).
#include "../src/storage.h"
#include "tallow.h"
#include "tallow_ipmi.h"
#include "tallow_sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

// The sessions of the open handles, by handle address (the caller keeps the record in
// place from BMC_open to BMC_close).
std::mutex sessionsLock;
std::map<const BMC_t*, std::unique_ptr<tallowipmi::Session>> sessions;

tallowipmi::Session* sessionOf(const BMC_t* bmc) {
    std::lock_guard<std::mutex> lock(sessionsLock);
    auto found = sessions.find(bmc);
    return found == sessions.end() ? nullptr : found->second.get();
}

// The last failure on this thread, so that BMC_strerror can say more than the code.
thread_local int lastCode = 0;
thread_local char lastDetail[256] = "";

int fail(int code, const std::string& detail) {
    lastCode = code;
    snprintf(lastDetail, sizeof lastDetail, "%s", detail.c_str());
    return code;
}

// The companion record that carries a record's physical location: OEM type 0xEF, body
// bytes 0-1 the record id of the 0xE0 record it belongs to, bytes 2-9 the location.
const uint8_t kRecTypeLocation = 0xEF;

// The event that stands for "MPEventGen": OEM sensor type and event type, the sensor
// number tells the FPL record type it mirrors.
const uint8_t kEventSensorType = 0xC0;
const uint8_t kEventSensorNumber = 0xE0;
const uint8_t kEventType = 0x70;
const uint32_t kEventIdMask = 0x3FFFF;

// The value of an item of a parameter text, `name` with its blanks as it stands there
// (" --EID " in "--PNAM x --EID 5 --PVER ..." gives "5"); "" when it is not there.
std::string item(const std::string& text, const std::string& name) {
    size_t at = text.find(name);
    if (at == std::string::npos) {
        return "";
    }
    at += name.size();
    size_t end = text.find(" --", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The three data bytes of an event: the 18-bit IPMI event id from the dictionary (low byte
// first, bits 16-17 in bits 0-1 of the third byte) and its alert level in bits 5-7 of the
// third. Bit 2 of the third byte is set when the dictionary had no entry and the id is
// the provider's own event number.
void eventData(const std::string& dir, const std::string& provider, unsigned wbemEvent,
               uint8_t data[3]) {
    uint32_t id = wbemEvent & kEventIdMask;
    unsigned level = 0;
    bool own = true;
    tallowsim::Dictionary dictionary;
    std::string error;
    if (tallowsim::loadDictionary(tallowsim::dictionaryPath(dir), dictionary, &error)) {
        for (const tallowsim::DictionaryEntry& entry : dictionary.entries) {
            if (entry.provider == provider && entry.eventNumber == wbemEvent) {
                id = static_cast<uint32_t>(entry.ipmiEventId) & kEventIdMask;
                level = entry.oemRecord ? static_cast<unsigned>(entry.alertLevel) & 7 : 0;
                own = false;
                break;
            }
        }
    }
    data[0] = static_cast<uint8_t>(id);
    data[1] = static_cast<uint8_t>(id >> 8);
    data[2] = static_cast<uint8_t>(((id >> 16) & 3) | (own ? 4 : 0) | (level << 5));
}

// The status the management processor gives the request before it acts on it, and
// when it is ZU_CLI_OK the event's three data bytes.
uint8_t requestEvent(const BMC_t* bmc, const cli_request* req, uint8_t data[3]) {
    if (strnlen(req->name, sizeof req->name) == sizeof req->name ||
        strnlen(req->arg, sizeof req->arg) == sizeof req->arg ||
        strnlen(req->env, sizeof req->env) == sizeof req->env) {
        return ZU_CLI_TOO_LONG;
    }
    if (req->name[0] == '\0') {
        return ZU_CLI_INCOMPLETE;
    }
    if (strcmp(req->name, "MPEventGen") != 0) {
        return ZU_CLI_INVALID_COMMAND;
    }
    std::string text = req->arg;
    std::string provider = item(text, "--PNAM ");
    std::string eid = item(text, " --EID ");
    char* end = nullptr;
    unsigned long event = strtoul(eid.c_str(), &end, 10);
    if (text.compare(0, 7, "--PNAM ") != 0 || provider.empty() || provider[0] == ' ' ||
        eid.empty() || *end != '\0') {
        return ZU_CLI_INCOMPLETE;
    }
    eventData(bmc->state_dir, provider, static_cast<unsigned>(event), data);
    return ZU_CLI_OK;
}

void answer(str_buf* to, str_buf* other, const std::string& text) {
    other->buffer[0] = '\0';
    snprintf(to->buffer, static_cast<size_t>(to->size), "%s\n", text.c_str());
}

} // namespace

extern "C" int BMC_open(BMC_t* bmc, int unit, int flags) {
    if (int rc = tallowsim::beginOpen(bmc, unit); rc != 0) {
        return rc == BMC_E_NODEV ? fail(rc, "only unit 0 exists") : rc;
    }
    lastCode = 0;
    try {
        auto session = std::make_unique<tallowipmi::Session>();
        int rc = session->open();
        if (rc != 0) {
            return fail(rc, session->error());
        }
        // The folder only serves to find an installed dictionary and a kept UUID.
        std::string dir = tallowsim::stateDir();
        snprintf(bmc->state_dir, sizeof bmc->state_dir, "%s", dir.c_str());
        snprintf(bmc->Cap.UUID, sizeof bmc->Cap.UUID, "%s", tallowsim::systemUuid(dir).c_str());
        std::lock_guard<std::mutex> lock(sessionsLock);
        sessions[bmc] = std::move(session);
    } catch (const std::bad_alloc&) {
        memset(bmc, 0, sizeof *bmc);
        bmc->fd = -1;
        return fail(BMC_E_NOMEM, "");
    }
    bmc->unit = unit;
    bmc->flags = flags;
    bmc->is_open = 1;
    return 0;
}

extern "C" int BMC_close(BMC_t* bmc) {
    if (bmc == nullptr) {
        return BMC_E_INVAL;
    }
    if (!bmc->is_open) {
        return BMC_E_NOTOPEN;
    }
    std::unique_ptr<tallowipmi::Session> session;
    {
        std::lock_guard<std::mutex> lock(sessionsLock);
        auto found = sessions.find(bmc);
        if (found != sessions.end()) {
            session = std::move(found->second);
            sessions.erase(found);
        }
    }
    session.reset(); // closes the IPMI session
    tallowsim::freeDictionaries(bmc);
    bmc->is_open = 0;
    return 0;
}

extern "C" const char* BMC_strerror(int code) {
    const char* text = tallowsim::errorText(code);
    static thread_local char message[400];
    if (text == nullptr) {
        snprintf(message, sizeof message, "Unknown BMC error %d", code);
        return message;
    }
    // The last failure of this thread tells where and why.
    if (code != 0 && code == lastCode && lastDetail[0] != '\0') {
        snprintf(message, sizeof message, "%s (%s)", text, lastDetail);
        return message;
    }
    return text;
}

namespace {
// The session of an open handle: 0, or the code to return.
int openedSession(BMC_t* bmc, tallowipmi::Session** session) {
    if (bmc == nullptr) {
        return BMC_E_INVAL;
    }
    *session = bmc->is_open ? sessionOf(bmc) : nullptr;
    if (*session == nullptr) {
        return BMC_E_NOTOPEN;
    }
    lastCode = 0;
    return 0;
}
} // namespace

extern "C" int BMC_FPL_append_entry(BMC_t* bmc, SEL_entry_t* entry) {
    tallowipmi::Session* session = nullptr;
    if (int rc = entry == nullptr ? BMC_E_INVAL : openedSession(bmc, &session)) {
        return rc;
    }
    uint8_t body[13];
    memcpy(body, &entry->e0, sizeof body);
    unsigned id = 0;
    int rc = session->addSelEntry(entry->RecType, body, &id);
    if (rc != 0) {
        return fail(rc, session->error());
    }
    entry->ThisID = id;
    static const physloc_t none = {};
    if (memcmp(&entry->physloc, &none, sizeof none) != 0) {
        uint8_t location[13] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
        memcpy(&location[2], &entry->physloc, sizeof entry->physloc);
        // The record itself is in: a lost location is reported, not a failed append
        // (a retry would write the record twice).
        if (session->addSelEntry(kRecTypeLocation, location, nullptr) != 0) {
            fprintf(stderr, "tallow: location of SEL record %u not written: %s\n", id,
                    session->error().c_str());
        }
    }
    return 0;
}

extern "C" int BMC_FPL_get_entry(BMC_t* bmc, uint32_t id, SEL_entry_t* entry) {
    tallowipmi::Session* session = nullptr;
    if (int rc = entry == nullptr ? BMC_E_INVAL : openedSession(bmc, &session)) {
        return rc;
    }
    // Get SEL Entry reads 0 as the first record and 0xFFFF as the last: neither names
    // a record the BMC assigned.
    if (id == 0 || id >= 0xFFFF) {
        return fail(BMC_E_INVAL, "record id " + std::to_string(id) + " names no record");
    }
    tallowipmi::SelRecord record;
    unsigned next = 0;
    int rc = session->getSelEntry(id, &record, &next);
    if (rc != 0) {
        return fail(rc, session->error());
    }
    memset(entry, 0, sizeof *entry);
    entry->ThisID = record.recordId();
    entry->NextID = next;
    entry->RecType = record.recordType();
    memcpy(&entry->e0, &record.bytes[3], sizeof entry->e0);
    return 0;
}

extern "C" int BMC_FPL_free_space(BMC_t* bmc, uint32_t* records, uint32_t* bytes) {
    tallowipmi::Session* session = bmc != nullptr && bmc->is_open ? sessionOf(bmc) : nullptr;
    if (records == nullptr || bytes == nullptr) {
        return BMC_E_INVAL;
    }
    if (session == nullptr) {
        return BMC_E_NOTOPEN;
    }
    unsigned entries = 0;
    unsigned freeBytes = 0;
    bool overflow = false;
    if (int rc = session->selInfo(&entries, &freeBytes, &overflow)) {
        return fail(rc, session->error());
    }
    // A SEL record is 16 bytes; one that has overflowed takes nothing more.
    *bytes = freeBytes;
    *records = overflow ? 0 : freeBytes / 16;
    return 0;
}

extern "C" int ZU_CLI_Exec(BMC_t* bmc, cli_request* req, uint8_t* status, str_buf* out,
                           str_buf* err) {
    tallowipmi::Session* session = bmc != nullptr && bmc->is_open ? sessionOf(bmc) : nullptr;
    if (session == nullptr || req == nullptr || status == nullptr) {
        return ZU_CLI_BAD_REQUEST;
    }
    if (int problem = tallowsim::checkCliBuffers(out, err)) {
        return problem;
    }
    try {
        uint8_t data[3];
        *status = requestEvent(bmc, req, data);
        if (*status == ZU_CLI_OK) {
            bool viaSel = false;
            int rc = session->platformEvent(kEventSensorType, kEventSensorNumber, kEventType, data,
                                            &viaSel);
            if (rc == BMC_E_TIMEOUT || rc == BMC_E_IO || rc == BMC_E_NOTOPEN) {
                // Never reached the management processor, or the session was lost.
                answer(err, out, "MPEventGen: " + session->error());
                return ZU_CLI_TIMEOUT;
            }
            if (rc == BMC_E_BUSY) {
                *status = ZU_CLI_FULL; // asked to come back later
            } else if (rc != 0) {
                *status = ZU_CLI_INTERNAL;
            }
            answer(rc == 0 ? out : err, rc == 0 ? err : out,
                   rc == 0
                       ? std::string("MPEventGen: accepted") + (viaSel ? " (as a SEL record)" : "")
                       : "MPEventGen: " + session->error());
            return 0;
        }
        answer(err, out, "MPEventGen: refused");
    } catch (const std::bad_alloc&) {
        *status = ZU_CLI_INTERNAL;
    }
    return 0;
}

namespace {

// The id of the SEL's first or last record (0 for an empty SEL).
int endId(BMC_t* bmc, bool last, uint32_t* id) {
    tallowipmi::Session* session = nullptr;
    if (int rc = openedSession(bmc, &session); rc != 0 || id == nullptr) {
        return rc != 0 ? rc : BMC_E_INVAL;
    }
    unsigned found = 0;
    int rc = session->endRecordId(last, &found);
    if (rc != 0) {
        return fail(rc, session->error());
    }
    *id = found;
    return 0;
}

} // namespace

extern "C" int BMC_FPL_first_id(BMC_t* bmc, uint32_t* id) {
    return endId(bmc, false, id);
}

extern "C" int BMC_FPL_last_id(BMC_t* bmc, uint32_t* id) {
    return endId(bmc, true, id);
}

extern "C" int ZU_CLI_record(BMC_t* bmc, const cli_request* req, SEL_entry_t* entry) {
    tallowipmi::Session* session = nullptr;
    if (int rc = openedSession(bmc, &session); rc != 0 || req == nullptr || entry == nullptr) {
        return rc != 0 ? rc : BMC_E_INVAL;
    }
    uint8_t data[3];
    if (requestEvent(bmc, req, data) != ZU_CLI_OK) {
        return BMC_E_INVAL;
    }
    // The system event record the event receiver makes of it (or the fallback adds).
    memset(entry, 0, sizeof *entry);
    entry->RecType = tallowipmi::kRecTypeSystemEvent;
    entry->t2.EvMRev = tallowipmi::kEventMessageRevision;
    entry->t2.SensorType = kEventSensorType;
    entry->t2.SensorNum = kEventSensorNumber;
    entry->t2.EvType = kEventType & 0x7F;
    entry->t2.EvDir = kEventType >> 7;
    entry->t2.Data1 = data[0];
    entry->t2.Data2 = data[1];
    entry->t2.Data3 = data[2];
    return 0;
}
