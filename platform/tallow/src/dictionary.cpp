// The event dictionary: one text file, seen as the record-type 4 dictionary (provider
// name and event number to IPMI event id) and the record-type 0xE0 dictionary (IPMI
// event id to alert level and reporting entity).
#include "installprefix.h"
#include "storage.h"
#include "tallow.h"
#include "tallow_sim.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <unistd.h>

#ifndef ORVIND_DATADIR
#define ORVIND_DATADIR "/usr/local/share/orvind"
#endif

namespace {

const uint64_t kEventIdMask = 0x3FFFF; // the 18 bits an FPL record carries
const int kRecTypeWbem = 4;
const int kRecTypeOem = 0xE0;
const size_t kProviderMax = 255;
const int kAlertLevelMax = 255;
const int kEntityClassMax = 0xFFFF;

char emptyText[1] = "";

// One entry as handed out, with the texts it points into.
struct EntryHolder {
    Event_dictionary_entry_t entry;
    std::string provider;
    std::string summary;
};

std::vector<std::string> splitFields(const std::string& line, size_t count, std::string* rest) {
    std::vector<std::string> fields;
    size_t pos = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (fields.size() < count) {
        while (pos < line.size() && blank(line[pos])) {
            ++pos;
        }
        if (pos == line.size()) {
            break;
        }
        size_t end = pos;
        while (end < line.size() && !blank(line[end])) {
            ++end;
        }
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    while (pos < line.size() && blank(line[pos])) {
        ++pos;
    }
    size_t end = line.size();
    while (end > pos && blank(line[end - 1])) {
        --end;
    }
    *rest = line.substr(pos, end - pos);
    return fields;
}

bool numberUpTo(const std::string& text, uint64_t max, uint64_t* value) {
    return tallowsim::parseNumber(text, value) && *value <= max;
}

std::string hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

// Both views of one loaded dictionary; owned by the handle that loaded it.
struct tallow_dictionaries {
    std::string path;
    std::vector<std::unique_ptr<EntryHolder>> holders;
    std::vector<Event_dictionary_entry_t*> wbemEntries;
    std::vector<Event_dictionary_entry_t*> oemEntries;
    Event_dictionary_t wbem;
    Event_dictionary_t oem;
};

namespace tallowsim {

namespace {

// Alert level and entity class of one line: both numbers (an OEM record) or both '-'.
// False, with *problem, when they are neither.
bool parseOemFields(const std::string& level, const std::string& entity, DictionaryEntry* entry,
                    std::string* problem) {
    if (level == "-" && entity == "-") {
        entry->oemRecord = false;
        return true;
    }
    if (level == "-" || entity == "-") {
        *problem = "alert level and entity class must both be numbers or both be '-'";
        return false;
    }
    entry->oemRecord = true;
    uint64_t value = 0;
    if (!numberUpTo(level, kAlertLevelMax, &value)) {
        *problem = "alert level '" + level + "' is not a number from 0 to " +
                   std::to_string(kAlertLevelMax);
        return false;
    }
    entry->alertLevel = static_cast<int>(value);
    if (!numberUpTo(entity, kEntityClassMax, &value)) {
        *problem =
            "entity class '" + entity + "' is not a number from 0 to " + hex(kEntityClassMax);
        return false;
    }
    entry->repEntIdClass = static_cast<int>(value);
    return true;
}

enum class LineKind { Entry, Blank, Wrong };

// One line of the file (without its line end): an entry, a blank or comment line, or a
// wrong one (*problem says why).
LineKind parseLine(const std::string& line, int number, DictionaryEntry* entry,
                   std::string* problem) {
    std::string summary;
    std::vector<std::string> fields = splitFields(line, 5, &summary);
    if (fields.empty() || fields[0][0] == '#') {
        return LineKind::Blank;
    }
    if (std::any_of(line.begin(), line.end(),
                    [](char c) { return iscntrl(static_cast<unsigned char>(c)) && c != '\t'; })) {
        *problem = "line holds a control character";
        return LineKind::Wrong;
    }
    if (fields.size() < 5) {
        *problem = "expected: provider event-number ipmi-event-id alert-level entity-class "
                   "summary";
        return LineKind::Wrong;
    }
    entry->line = number;
    entry->provider = fields[0];
    entry->summary = summary;
    uint64_t value = 0;
    if (entry->provider.size() > kProviderMax) {
        *problem = "provider name longer than " + std::to_string(kProviderMax) + " characters";
        return LineKind::Wrong;
    }
    if (!numberUpTo(fields[1], INT_MAX, &value)) {
        *problem =
            "event number '" + fields[1] + "' is not a number from 0 to " + std::to_string(INT_MAX);
        return LineKind::Wrong;
    }
    entry->eventNumber = static_cast<unsigned>(value);
    if (!numberUpTo(fields[2], UINT64_MAX, &entry->ipmiEventId)) {
        *problem = "IPMI event id '" + fields[2] + "' is not a number";
        return LineKind::Wrong;
    }
    return parseOemFields(fields[3], fields[4], entry, problem) ? LineKind::Entry : LineKind::Wrong;
}

} // namespace

Dictionary parseDictionary(const std::string& text) {
    Dictionary dictionary;
    std::map<std::pair<std::string, unsigned>, int> byProviderEvent;
    std::map<uint64_t, size_t> byEventId; // index of the first entry of each 18-bit id
    std::vector<DictionaryEntry>& entries = dictionary.entries;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto problem = [&](const std::string& message) {
            dictionary.problems.push_back({number, message});
        };
        DictionaryEntry entry;
        std::string wrong;
        LineKind kind = parseLine(line, number, &entry, &wrong);
        if (kind != LineKind::Entry) {
            if (kind == LineKind::Wrong) {
                problem(wrong);
            }
            continue;
        }
        auto key = std::make_pair(entry.provider, entry.eventNumber);
        auto seen = byProviderEvent.find(key);
        if (seen != byProviderEvent.end()) {
            problem("provider " + entry.provider + " event " + std::to_string(entry.eventNumber) +
                    " already defined on line " + std::to_string(seen->second) + "; line skipped");
            continue;
        }
        byProviderEvent.emplace(key, number);
        entries.push_back(entry);
        if (!entry.oemRecord) {
            continue;
        }
        uint64_t low = entry.ipmiEventId & kEventIdMask;
        auto first = byEventId.find(low);
        if (first == byEventId.end()) {
            byEventId.emplace(low, entries.size() - 1);
            continue;
        }
        const DictionaryEntry& earlier = entries[first->second];
        if (earlier.alertLevel != entry.alertLevel ||
            earlier.repEntIdClass != entry.repEntIdClass) {
            problem("IPMI event id " + hex(low) +
                    " has another alert level or entity class on line " +
                    std::to_string(earlier.line) + "; the values of that line are used");
        }
    }
    return dictionary;
}

bool loadDictionary(const std::string& path, Dictionary& out, std::string* error) {
    std::string text;
    if (!readWholeFile(path, &text, error)) {
        return false;
    }
    out = parseDictionary(text);
    out.path = path;
    return true;
}

std::string sampleDictionaryPath() {
    // The sample lies in <prefix>/share/orvind beside the programs in <prefix>/bin and
    // <prefix>/sbin, whatever prefix they were installed to; else where the build put it.
    const std::string prefix = installPrefix();
    const std::string beside = prefix + "/share/orvind/event-dictionary.txt";
    return access(beside.c_str(), F_OK) == 0
               ? beside
               : std::string(ORVIND_DATADIR) + "/event-dictionary.txt";
}

std::string dictionaryPath(const std::string& dir) {
    const char* named = getenv(kDictionaryVariable);
    if (named != nullptr && named[0] != '\0') {
        return named;
    }
    std::string installed = joinPath(dir, kDictionaryFile);
    if (access(installed.c_str(), F_OK) == 0) {
        return installed;
    }
    return sampleDictionaryPath();
}

bool installDictionary(const std::string& dir, const std::string& from, std::string* error) {
    std::string text;
    if (!readWholeFile(from, &text, error)) {
        return false;
    }
    return makeStateDir(dir, error) && writeFileAtomic(joinPath(dir, kDictionaryFile), text, error);
}

void freeDictionaries(BMC_t* bmc) {
    delete bmc->dicts;
    bmc->dicts = nullptr;
}

} // namespace tallowsim

namespace {

tallow_dictionaries* buildViews(const tallowsim::Dictionary& dictionary) {
    auto views = std::make_unique<tallow_dictionaries>();
    views->path = dictionary.path;
    std::map<uint64_t, Event_dictionary_entry_t*> oemById;
    for (const tallowsim::DictionaryEntry& line : dictionary.entries) {
        auto holder = std::make_unique<EntryHolder>();
        holder->provider = line.provider;
        holder->summary = line.summary;
        Event_dictionary_entry_t& e = holder->entry;
        memset(&e, 0, sizeof e);
        e.EventID = line.ipmiEventId;
        e.Summary = &holder->summary[0];
        e.Description = emptyText;
        e.Cause = emptyText;
        e.Action = emptyText;
        e.RepEntIDClass = line.repEntIdClass;
        e.AlertLevel = line.alertLevel;
        e.ST.Enabled = 1;
        e.ST.ID = static_cast<unsigned>(line.line);
        e.ST.Name = &holder->provider[0];
        e.ST.StrDetails = emptyText;
        e.ST.Summary = &holder->summary[0];
        e.WI.EventNumber = static_cast<int>(line.eventNumber);
        e.WI.ProbableCause = emptyText;
        e.WI.ProviderName = &holder->provider[0];
        views->wbemEntries.push_back(&e);
        if (line.oemRecord && oemById.emplace(line.ipmiEventId & kEventIdMask, &e).second) {
            views->oemEntries.push_back(&e);
        }
        views->holders.push_back(std::move(holder));
    }
    views->wbem = Event_dictionary_t{0, kRecTypeWbem, &views->path[0], views->wbemEntries.data(),
                                     static_cast<int>(views->wbemEntries.size())};
    views->oem = Event_dictionary_t{0, kRecTypeOem, &views->path[0], views->oemEntries.data(),
                                    static_cast<int>(views->oemEntries.size())};
    return views.release();
}

bool usable(const BMC_t* bmc) {
    return bmc != nullptr && bmc->is_open;
}

} // namespace

extern "C" Event_dictionary_t* BMC_event_dictionary_get(BMC_t* bmc, int rectype) {
    if (!usable(bmc) || (bmc->flags & BMC_OPEN_EVENTS) == 0 ||
        (rectype != kRecTypeWbem && rectype != kRecTypeOem)) {
        return nullptr;
    }
    if (bmc->dicts == nullptr) {
        std::string path = tallowsim::dictionaryPath(bmc->state_dir);
        tallowsim::Dictionary dictionary;
        std::string error;
        if (!tallowsim::loadDictionary(path, dictionary, &error)) {
            fprintf(stderr, "tallow: no event dictionary: %s\n", error.c_str());
            return nullptr;
        }
        for (const auto& problem : dictionary.problems) {
            fprintf(stderr, "tallow: %s:%d: %s\n", path.c_str(), problem.line,
                    problem.message.c_str());
        }
        try {
            bmc->dicts = buildViews(dictionary);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return rectype == kRecTypeWbem ? &bmc->dicts->wbem : &bmc->dicts->oem;
}

extern "C" const char* BMC_event_dictionary_problem(BMC_t* bmc) {
    if (!usable(bmc) || (bmc->flags & BMC_OPEN_EVENTS) == 0) {
        return nullptr;
    }
    static thread_local std::string problem;
    std::string path = tallowsim::dictionaryPath(bmc->state_dir);
    tallowsim::Dictionary dictionary;
    if (!tallowsim::loadDictionary(path, dictionary, &problem)) {
        return problem.c_str();
    }
    if (dictionary.entries.empty()) {
        problem = path + ": holds no entry";
        return problem.c_str();
    }
    return nullptr;
}

extern "C" Event_dictionary_entry_t* Get_Event_Dictionary_Entry(BMC_t* bmc,
                                                                Event_dictionary_t* dict,
                                                                const char* provider_name,
                                                                unsigned int wbem_event_id) {
    if (!usable(bmc) || dict == nullptr || dict->RecType != kRecTypeWbem ||
        provider_name == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < dict->nEntries; ++i) {
        Event_dictionary_entry_t* entry = dict->Entries[i];
        if (static_cast<unsigned>(entry->WI.EventNumber) == wbem_event_id &&
            strcmp(entry->WI.ProviderName, provider_name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

extern "C" Event_dictionary_entry_t*
BMC_event_dictionary_entry_get(BMC_t* bmc, Event_dictionary_t* dict, SEL_entry_t* key) {
    if (!usable(bmc) || dict == nullptr || key == nullptr || dict->RecType != kRecTypeOem ||
        key->RecType != dict->RecType) {
        return nullptr;
    }
    for (int i = 0; i < dict->nEntries; ++i) {
        Event_dictionary_entry_t* entry = dict->Entries[i];
        if ((entry->EventID & kEventIdMask) == key->e0.EventID) {
            return entry;
        }
    }
    return nullptr;
}
