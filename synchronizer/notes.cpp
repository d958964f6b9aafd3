#include "notes.h"

#include "bmcsession.h"
#include "forwarder.h"
#include "fpl.h"
#include "halcyon.h"
#include "logid.h"
#include "pending.h"
#include "settle.h"
#include "sqlitedb.h"

#include <tallow.h>

#include <cstring>

namespace {

std::vector<uint8_t> noted(const SEL_entry_t& entry) {
    const settle::Bytes bytes = settle::bytesOf(entry);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

} // namespace

namespace notes {

Noted noteGroup(SQLiteDB& store, BmcSession& session, const Marks& marks, int first, int* through) {
    std::vector<Indication_t> rows;
    if (!store.peekIndications(rows, kGroupRows)) {
        return Noted::NotWritten;
    }
    BMC_t* bmc = session.get();
    if (bmc == nullptr) {
        return Noted::NotOpened;
    }
    uint32_t lastId = 0;
    if (BMC_FPL_last_id(bmc, &lastId) != 0) {
        session.close();
        return Noted::NotRead;
    }
    const int fplMark = ReadLogid(marks.fpl.c_str());
    const int halcyonMark = ReadLogid(marks.halcyon.c_str());
    std::vector<pending::Note> group;
    *through = first;
    for (const Indication_t& ind : rows) {
        if (ind.id < first) {
            continue;
        }
        *through = ind.id;
        const unsigned eventId = static_cast<unsigned>(ind.eventId);
        SEL_entry_t entry;
        unsigned level = 0;
        const bool known =
            fpl_planned_record(bmc, ind.proName, eventId, ind.eventTime, &entry, &level);
        if (known && ind.id > fplMark) {
            group.push_back({ind.id, "fpl", noted(entry), lastId, 0});
        }
        if (ind.id > halcyonMark && selected_for_halcyon(ind, level) &&
            mp_planned_record(bmc, ind.proName, eventId, &entry)) {
            group.push_back({ind.id, "mp", noted(entry), lastId, 0});
        }
    }
    pending::prepare(store.connection());
    return pending::replace(store.connection(), group) == SQLITE_OK ? Noted::Yes
                                                                    : Noted::NotWritten;
}

bool settleNotes(SQLiteDB& store, BmcSession& session, const Marks& marks,
                 std::vector<Found>& found) {
    found.clear();
    std::vector<pending::Note> notes;
    if (pending::read(store.connection(), notes) != SQLITE_OK) {
        return false;
    }
    const int fplMark = ReadLogid(marks.fpl.c_str());
    const int halcyonMark = ReadLogid(marks.halcyon.c_str());
    bool open = false;
    for (const pending::Note& note : notes) {
        open = open || note.row > (note.target == "fpl" ? fplMark : halcyonMark);
    }
    if (!open) {
        return true; // every record noted was sent and marked, or given up
    }
    BMC_t* bmc = session.get();
    std::vector<settle::Kept> added;
    if (bmc == nullptr || settle::addedSince(bmc, notes.front().lastId, added) != 0) {
        session.close();
        return false;
    }
    std::vector<std::vector<uint8_t>> records;
    records.reserve(notes.size());
    for (const pending::Note& note : notes) {
        records.push_back(note.record);
    }
    const std::vector<unsigned> ids = settle::match(records, added);
    for (size_t i = 0; i < notes.size(); ++i) {
        const int mark = notes[i].target == "fpl" ? fplMark : halcyonMark;
        if (ids[i] != 0 && notes[i].row > mark) {
            found.push_back({notes[i].row, notes[i].target, ids[i]});
        }
    }
    return true;
}

} // namespace notes
