#include "fpl.h"

#include "bmcsession.h"
#include "logger.h"

#include <tallow.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const int kOpenFlags = 0x101;
const int kRecTypeWbem = 4;
const uint8_t kRecTypeOem = 0xE0;
const uint32_t kEventIdMask = 0x3FFFF;
const uint8_t kDataType = 25;

// The event's entry in the dictionary of record type 4, keyed by provider and event number.
Event_dictionary_entry_t* wbem_entry(BMC_t* bmc, const char* provider_name,
                                     unsigned int wbem_event_id) {
    return Get_Event_Dictionary_Entry(bmc, BMC_event_dictionary_get(bmc, kRecTypeWbem),
                                      provider_name, wbem_event_id);
}

// The entry of the OEM dictionary for an IPMI event id; `key` is the lookup record.
Event_dictionary_entry_t* oem_entry(BMC_t* bmc, uint32_t ipmiEventId, SEL_entry_t& key) {
    key.RecType = kRecTypeOem;
    key.e0.EventID = ipmiEventId & kEventIdMask;
    return BMC_event_dictionary_entry_get(bmc, BMC_event_dictionary_get(bmc, kRecTypeOem), &key);
}

// What the event dictionaries say of one event.
struct FplEvent {
    uint32_t ipmiEventId;
    int alertLevel;
    int repEntIdClass;
};

// The line that opens every write: the event as it came.
void log_event(const char* provider_name, unsigned int wbem_event_id, time_t event_time) {
    // A missing name is reported and still looked up; the lookup then finds nothing.
    if (provider_name == nullptr) {
        logger.error("provider_name is null !");
    }
    if (wbem_event_id == 0) {
        logger.error("wbem_event_id=%d is <=0 !", static_cast<int>(wbem_event_id));
    }
    char timeText[64] = "";
    if (ctime_r(&event_time, timeText) == nullptr) {
        timeText[0] = '\0';
    }
    logger.info("wbem_event_id= %d provider_name=%s event_time=%s", static_cast<int>(wbem_event_id),
                provider_name != nullptr ? provider_name : "(null)", timeText);
}

// Translates the provider's event number into the IPMI event id and the OEM entry's
// alert level and entity class, logging each step. False, with the reason logged,
// when an entry is missing.
bool look_up_event(BMC_t* bmc, const char* provider_name, unsigned int wbem_event_id,
                   FplEvent& event) {
    Event_dictionary_entry_t* wbemEntry = wbem_entry(bmc, provider_name, wbem_event_id);
    if (wbemEntry == nullptr) {
        // Without a dictionary, the reason is the dictionary's, not the event's.
        const char* problem = BMC_event_dictionary_get(bmc, kRecTypeWbem) == nullptr
                                  ? BMC_event_dictionary_problem(bmc)
                                  : nullptr;
        logger.error("Get IPMIeventid failed, ProviderName:%s,Event_ID:%d not exist in VEXA "
                     "Event DataBase%s%s%s",
                     provider_name != nullptr ? provider_name : "(null)",
                     static_cast<int>(wbem_event_id), problem ? " (no event dictionary: " : "",
                     problem ? problem : "", problem ? ")" : "");
        return false;
    }
    event.ipmiEventId = static_cast<uint32_t>(wbemEntry->EventID);
    logger.info("ipmi_event_id = %d", static_cast<int>(event.ipmiEventId));

    SEL_entry_t key;
    memset(&key, 0, sizeof key);
    Event_dictionary_entry_t* oemEntry = oem_entry(bmc, event.ipmiEventId, key);
    if (oemEntry == nullptr) {
        logger.error("Invalid Event, EV#%d not exist in VEXA Event DataBase",
                     static_cast<int>(key.e0.EventID));
        return false;
    }
    event.alertLevel = oemEntry->AlertLevel;
    event.repEntIdClass = oemEntry->RepEntIDClass;
    return true;
}

} // namespace

void BmcClose::operator()(BMC_t* bmc) const {
    BMC_close(bmc);
    delete bmc;
}

BmcHandle open_bmc(int flags, int* rc) {
    std::unique_ptr<BMC_t> record(new BMC_t);
    int code = BMC_open(record.get(), 0, flags);
    if (rc != nullptr) {
        *rc = code;
    }
    return code == 0 ? BmcHandle(record.release()) : nullptr;
}

SEL_entry_t fpl_record(uint32_t ipmi_event_id, unsigned int alert_level,
                       unsigned int rep_ent_id_class, time_t event_time) {
    SEL_entry_t entry;
    memset(&entry, 0, sizeof entry);
    const uint32_t time32 = static_cast<uint32_t>(static_cast<uint64_t>(event_time));
    entry.RecType = kRecTypeOem;
    entry.e0.EventID = ipmi_event_id & kEventIdMask;
    entry.e0.reserved = 0;
    entry.e0.NextIDhasTime = 0;
    entry.e0.DataType = kDataType;
    entry.e0.AlertLevel = alert_level & 7;
    entry.e0.RepEntID = rep_ent_id_class & 0xFF;
    entry.e0.b16 = 1;
    entry.e0.b15 = 0;
    entry.e0.b14 = 0;
    entry.e0.b13 = 0;
    entry.e0.b9 = static_cast<uint8_t>(time32);
    entry.e0.b10 = static_cast<uint8_t>(time32 >> 8);
    entry.e0.b11 = static_cast<uint8_t>(time32 >> 16);
    entry.e0.b12 = static_cast<uint8_t>(time32 >> 24);
    return entry;
}

void fpl_check_dictionary() {
    BmcHandle bmc(open_bmc(kOpenFlags));
    if (!bmc) {
        return; // the forwarding reports the library itself
    }
    if (const char* problem = BMC_event_dictionary_problem(bmc.get())) {
        logger.error("No event dictionary: %s. No event can be written as FPL until it is "
                     "installed (orvind-bmc dictionary install).",
                     problem);
    }
}

bool bmc_failure_may_pass(int code) {
    switch (code) {
    case BMC_E_NOTOPEN:
    case BMC_E_IO:
    case BMC_E_BUSY:
    case BMC_E_TIMEOUT:
    case BMC_E_NOMEM:
        return true;
    default:
        return false;
    }
}

bool bmc_answers() {
    return static_cast<bool>(open_bmc(BMC_OPEN_ACCESS));
}

unsigned int fpl_alert_level(BmcSession& session, const char* provider_name,
                             unsigned int wbem_event_id, bool* opened) {
    BMC_t* bmc = session.get();
    if (opened != nullptr) {
        *opened = bmc != nullptr;
    }
    if (bmc == nullptr) {
        return 0;
    }
    SEL_entry_t entry;
    unsigned int level = 0;
    fpl_planned_record(bmc, provider_name, wbem_event_id, 0, &entry, &level);
    return level;
}

bool fpl_planned_record(BMC_t* bmc, const char* provider_name, unsigned int wbem_event_id,
                        time_t event_time, SEL_entry_t* entry, unsigned int* alert_level) {
    *alert_level = 0;
    Event_dictionary_entry_t* wbem = wbem_entry(bmc, provider_name, wbem_event_id);
    if (wbem == nullptr) {
        return false;
    }
    SEL_entry_t key;
    memset(&key, 0, sizeof key);
    Event_dictionary_entry_t* oem = oem_entry(bmc, static_cast<uint32_t>(wbem->EventID), key);
    if (oem == nullptr) {
        return false;
    }
    *alert_level = static_cast<unsigned int>(oem->AlertLevel);
    *entry = fpl_record(static_cast<uint32_t>(wbem->EventID), *alert_level,
                        static_cast<unsigned>(oem->RepEntIDClass), event_time);
    return true;
}

const char* bmc_result_name(BmcResult result) {
    switch (result) {
    case BmcResult::Written:
        return "written";
    case BmcResult::NotKept:
        return "not_kept";
    case BmcResult::Refused:
        return "refused";
    case BmcResult::NoDictionaryEntry:
        return "no_dictionary_entry";
    case BmcResult::NotReached:
        break;
    }
    return "";
}

std::string fpl_not_kept(BMC_t* bmc, const SEL_entry_t& entry) {
    char text[160];
    const unsigned id = entry.ThisID;
    if (id == 0 || id >= 0xFFFF) {
        snprintf(text, sizeof text, "it answered record id 0x%04x, which names no record", id);
        return text;
    }
    SEL_entry_t back;
    memset(&back, 0, sizeof back);
    int rc = BMC_FPL_get_entry(bmc, id, &back);
    if (rc != 0) {
        snprintf(text, sizeof text, "record 0x%04x cannot be read back: %s", id, BMC_strerror(rc));
        return text;
    }
    if (back.RecType != entry.RecType || memcmp(&back.e0, &entry.e0, sizeof entry.e0) != 0) {
        snprintf(text, sizeof text, "record 0x%04x reads back as type 0x%02x with other bytes", id,
                 static_cast<unsigned>(back.RecType));
        return text;
    }
    return "";
}

int write_fpl(BmcSession& session, const char* provider_name, const unsigned int wbem_event_id,
              const time_t event_time, unsigned int* alert_level, bool* may_pass,
              BmcOutcome* outcome) {
    BmcOutcome ignored;
    BmcOutcome& out = outcome != nullptr ? *outcome : ignored;
    out = BmcOutcome();
    if (may_pass != nullptr) {
        *may_pass = false;
    }
    log_event(provider_name, wbem_event_id, event_time);

    int rc = 0;
    BMC_t* bmc = session.get(&rc);
    if (bmc == nullptr) {
        logger.error("BMC_open failed: %s", BMC_strerror(rc));
        if (may_pass != nullptr) {
            *may_pass = true; // whatever the reason, the BMC was not reached
        }
        return rc;
    }
    FplEvent event;
    if (!look_up_event(bmc, provider_name, wbem_event_id, event)) {
        out.result = BmcResult::NoDictionaryEntry;
        return -1;
    }
    if (alert_level != nullptr) {
        *alert_level = static_cast<unsigned int>(event.alertLevel);
    }
    logger.info("AlertLevel: %d", event.alertLevel);
    logger.info("RepEntIDClass: %d", event.repEntIdClass);

    SEL_entry_t entry = fpl_record(event.ipmiEventId, static_cast<unsigned>(event.alertLevel),
                                   static_cast<unsigned>(event.repEntIdClass), event_time);
    logger.info("event_time= %x ", static_cast<uint32_t>(static_cast<uint64_t>(event_time)));
    logger.info("FPLentry.e0.b9= %x ", static_cast<unsigned>(entry.e0.b9));

    rc = BMC_FPL_append_entry(bmc, &entry);
    if (rc != 0) {
        const char* reason = BMC_strerror(rc);
        logger.error("FPL append failed: %s", reason);
        const bool passing = bmc_failure_may_pass(rc);
        if (passing) {
            session.close(); // the session may be lost: the next try opens a new one
        }
        if (may_pass != nullptr) {
            *may_pass = passing;
        }
        out.result = passing ? BmcResult::NotReached : BmcResult::Refused;
        out.reason = std::string("FPL append failed: ") + reason;
        return rc;
    }
    out.recordId = entry.ThisID;
    out.reason = fpl_not_kept(bmc, entry);
    if (!out.reason.empty()) {
        out.result = BmcResult::NotKept;
        return kFplNotKept;
    }
    out.result = BmcResult::Written;
    return 0;
}
