#include "forwarder.h"

#include "files.h"
#include "fpl.h"
#include "halcyon.h"
#include "logger.h"
#include "logid.h"
#include "notes.h"
#include "pending.h"
#include "runstate.h"
#include "sqlitedb.h"
#include "watchdog.h"

#include <tallow.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

namespace {

const int kStartPauseSeconds = 3;
const int kIdlePauseSeconds = 3;
const int kIdleClosePauseSeconds = 1;
const int kRecoveryPauseSeconds = 2;
const int kHoldFirstPauseSeconds = 2;
const int kHoldLongestPauseSeconds = 60;
// A BMC that keeps no records is said again after this long while it goes on.
const std::chrono::hours kNotKeptRepeat(1);

// The longest a forwarding pass may take (a BMC that answers slowly, rpm) before the
// thread counts as stuck.
const std::chrono::seconds kPassLimit(300);

// A mark left from an earlier database (one moved aside or replaced since) names a row
// beyond every row of this one, and would keep that row from its target: it is ignored,
// with a warning.
int mark_for(SQLiteDB& store, const std::string& path, int id) {
    int mark = GetLogid(path.c_str());
    if (mark > id && mark > store.highestId()) {
        logger.warn("The mark %s names row %d, beyond the last row of the database; it is "
                    "ignored.",
                    path.c_str(), mark);
        SetLogid(path.c_str(), 0);
        return 0;
    }
    return mark;
}

// The time now in UTC, as the published facts give it.
std::string utc_now() {
    time_t now = time(nullptr);
    struct tm parts;
    char text[32] = "";
    if (gmtime_r(&now, &parts) != nullptr) {
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

void publish(ForwardingFacts& facts, const char* name, const std::string& value) {
    if (facts.state != nullptr) {
        facts.state->set(name, value);
    }
}

// A mark that cannot be written (a full disk) after `what`: owed, so that it is written
// before anything else and nothing is sent again meanwhile. The first one is said, with
// the pauses of its tries, and published.
void owe_mark(ForwardingFacts& facts, const std::string& path, int id, int error,
              const std::string& what) {
    if (facts.owed.empty()) {
        const std::string reason = files::errorText(error);
        logger.warn("The mark %s cannot be written (%s) after %s: forwarding waits, sending "
                    "nothing again, until it is written; trying again from %d s up to every %d s",
                    path.c_str(), reason.c_str(), what.c_str(), hold_pause_seconds(1),
                    kHoldLongestPauseSeconds);
        publish(facts, "forwarding_held",
                "row " + std::to_string(id) + ": the mark " + path +
                    " cannot be written: " + reason + " (" + utc_now() + ")");
    }
    for (ForwardingFacts::Mark& mark : facts.owed) {
        if (mark.path == path) {
            mark.id = id;
            return;
        }
    }
    facts.owed.push_back({path, id});
}

// Writes the mark of a served target: false when it is owed instead.
bool record_mark(ForwardingFacts& facts, const std::string& path, int id) {
    const int error = SetLogid(path.c_str(), id);
    if (error != 0) {
        owe_mark(facts, path, id, error, "indication " + std::to_string(id) + " was sent");
    }
    return error == 0;
}

void say_new_database(SQLiteDB& store, const ForwardingPaths& paths) {
    store.settleMadeAnew();
    logger.info("The database %s is new: the marks %s and %s start anew at 0.",
                paths.database.c_str(), paths.fplMark.c_str(), paths.halcyonMark.c_str());
}

// Writes what is owed, in order, quietly (its failure has been said): false, with the
// row of the first mark still owed in *row, while one cannot be written.
bool pay_owed(SQLiteDB& store, const ForwardingPaths& paths, ForwardingFacts& facts, int* row) {
    if (facts.owed.empty()) {
        return true;
    }
    while (!facts.owed.empty()) {
        const ForwardingFacts::Mark& mark = facts.owed.front();
        if (SetLogid(mark.path.c_str(), mark.id, true) != 0) {
            if (row != nullptr) {
                *row = mark.id;
            }
            return false;
        }
        facts.owed.erase(facts.owed.begin());
    }
    logger.info("The marks are written again: forwarding goes on.");
    publish(facts, "forwarding_held", "");
    if (facts.newDatabase) {
        facts.newDatabase = false;
        say_new_database(store, paths);
    }
    return true;
}

// Counts what became of a target's step for the row, to be kept with its mark; says
// what the BMC refused or did not keep.
void note(ForwardingFacts& facts, int id, const char* target, const BmcOutcome& outcome) {
    if (facts.pendingRow != id) {
        facts.pendingRow = id;
        facts.pending.clear();
    }
    facts.pending.push_back({target, bmc_result_name(outcome.result), outcome.recordId});
    if (outcome.result == BmcResult::Refused) {
        publish(facts, "bmc_last_refusal",
                "row " + std::to_string(id) + ": " + target + ": " + outcome.reason + " (" +
                    utc_now() + ")");
    }
    if (outcome.result != BmcResult::NotKept) {
        return;
    }
    publish(facts, "bmc_not_keeping", "1");
    const auto now = std::chrono::steady_clock::now();
    if (facts.notKeptLogged && now - facts.notKeptAt < kNotKeptRepeat) {
        return;
    }
    facts.notKeptLogged = true;
    facts.notKeptAt = now;
    logger.error("The BMC accepted the record of indication %d but did not keep it: %s. This "
                 "BMC does not keep OEM records; such rows are counted as not kept and go on "
                 "(said again once an hour while it lasts).",
                 id, outcome.reason.c_str());
}

// The FPL step of a row: false when the BMC could not be reached (the row is held).
bool fpl_step(const Indication_t& ind, unsigned int& alert_level, ForwardingFacts& facts) {
    const unsigned int eventId = static_cast<unsigned int>(ind.eventId);
    bool may_pass = false;
    BmcOutcome outcome;
    int rc = write_fpl(facts.bmc, ind.proName, eventId, ind.eventTime, &alert_level, &may_pass,
                       &outcome);
    if (rc == 0) {
        logger.info("write %s indication as FPL successfully", ind.proName);
    } else if (rc == kFplNotKept) {
        logger.info("write %s indication as FPL: accepted, not kept by the BMC", ind.proName);
    } else {
        logger.error("failed to write %s indication as FPL", ind.proName);
        if (may_pass) {
            return false; // not marked: the FPL gets this row later
        }
    }
    note(facts, ind.id, "fpl", outcome);
    return true;
}

// The halcyon step of a row: false when the BMC could not be reached (the row is held).
bool halcyon_step(const Indication_t& ind, ForwardingFacts& facts) {
    bool may_pass = false;
    BmcOutcome outcome;
    if (mp_event_gen(facts.bmc, ind.proName, ind.partNumber, static_cast<unsigned int>(ind.eventId),
                     ind.eventTime, ind.hw_location, ind.systemFirmwareVersion, ind.address,
                     &may_pass, &outcome) == 0) {
        logger.info("write %s indication to halcyon successfully", ind.proName);
    } else {
        logger.error("failed to write %s indication to halcyon", ind.proName);
        if (may_pass) {
            return false; // the FPL mark keeps the FPL from a second copy
        }
    }
    note(facts, ind.id, "mp", outcome);
    return true;
}

} // namespace

bool selected_for_halcyon(const Indication_t& ind, unsigned int alert_level) {
    if (alert_level > 2) {
        return true;
    }
    if (strcmp(ind.proName, "VEXA_WBEM") == 0) {
        return ind.eventId == 1 || ind.eventId == 3 || ind.eventId == 4;
    }
    if (strcmp(ind.proName, "QRX_FCHBAIndication") == 0) {
        return ind.eventId == 1;
    }
    return false;
}

void Hold::after(PassResult result, int id, ForwardingFacts& facts) {
    if (result != PassResult::Unrecorded) {
        markAttempts = 0;
    }
    if (result != PassResult::Held && attempts > 0) {
        logger.info("BMC answers again: indication %d forwarded after %d tries", row, attempts);
        attempts = 0;
    }
    if (result == PassResult::Forwarded || result == PassResult::NotMarked) {
        publish(facts, "bmc_reachable", "1");
        publish(facts, "bmc_held_since", "");
    }
    if (result == PassResult::Held && attempts == 0) {
        row = id;
        publish(facts, "bmc_reachable", "0");
        publish(facts, "bmc_held_since", utc_now());
        logger.warn("BMC not reachable: indication %d and those after it wait; "
                    "trying again from %d s up to every %d s",
                    row, hold_pause_seconds(1), kHoldLongestPauseSeconds);
    }
}

int hold_pause_seconds(int attempt) {
    int seconds = kHoldFirstPauseSeconds;
    for (int i = 1; i < attempt && seconds < kHoldLongestPauseSeconds; ++i) {
        seconds *= 2;
    }
    return seconds < kHoldLongestPauseSeconds ? seconds : kHoldLongestPauseSeconds;
}

namespace {

// The records noted before a start or an outage that the BMC holds are marked, and
// counted as written with the row in hand. False when the BMC answered the read-back
// with a failure (the row is held) or a mark is owed (*result says which); true also
// when the BMC cannot be opened, so that the row's steps say so (they send nothing
// without it).
bool settle(SQLiteDB& store, const notes::Marks& marks, int id, ForwardingFacts& facts,
            PassResult* result) {
    std::vector<notes::Found> found;
    int rc = 0;
    if (!notes::settleNotes(store, facts.bmc, marks, found)) {
        facts.bmc.get(&rc);
        *result = PassResult::Held;
        return rc != 0;
    }
    for (const notes::Found& record : found) {
        logger.info("indication %d is in the BMC's log already (%s record %u): marked without "
                    "sending it again",
                    record.row, record.target.c_str(), record.id);
        if (record.row == id) {
            facts.pending.push_back({record.target, "written", record.id});
        }
        if (!record_mark(facts, record.target == "fpl" ? marks.fpl : marks.halcyon, record.row)) {
            *result = PassResult::Unrecorded;
            return false;
        }
    }
    facts.settleDue = false;
    return true;
}

// The note of the group that the row belongs to, made when it has none. False when it
// cannot be made (*result says why); when the BMC cannot be opened, true, so that the
// row's steps say so (they send nothing without it).
bool noted(SQLiteDB& store, const notes::Marks& marks, int id, ForwardingFacts& facts,
           PassResult* result) {
    if (id <= facts.notedThrough) {
        return true;
    }
    switch (notes::noteGroup(store, facts.bmc, marks, id, &facts.notedThrough)) {
    case notes::Noted::Yes:
    case notes::Noted::NotOpened:
        return true;
    case notes::Noted::NotRead:
        *result = PassResult::Held;
        return false;
    case notes::Noted::NotWritten:
        break;
    }
    facts.notedThrough = 0;
    *result = PassResult::NotMarked;
    return false;
}

// One pass over the row in hand.
PassResult forward_row(SQLiteDB& store, const ForwardingPaths& paths, const Indication_t& ind,
                       ForwardingFacts& facts) {
    unsigned int alert_level = 0;
    const unsigned int eventId = static_cast<unsigned int>(ind.eventId);

    // Effects in this order: FPL record, FPL mark, halcyon event, halcyon mark, row
    // status. Whatever a crash interrupts, the row is fetched again and the marks keep
    // a target that has been served from being served twice; the note of the group
    // keeps a record the BMC holds from being sent again.
    if (ind.id != mark_for(store, paths.fplMark, ind.id)) {
        if (!fpl_step(ind, alert_level, facts)) {
            return PassResult::Held;
        }
        if (!record_mark(facts, paths.fplMark, ind.id)) {
            return PassResult::Unrecorded;
        }
    } else {
        // The FPL already holds this row. Its alert level still decides whether the
        // row goes to halcyon: without it, an event selected for its level and cut
        // off by a crash after the FPL mark would never reach the management processor.
        bool opened = true;
        alert_level = fpl_alert_level(facts.bmc, ind.proName, eventId, &opened);
        if (!opened) {
            return PassResult::Held; // the selection needs the dictionaries
        }
    }

    if (selected_for_halcyon(ind, alert_level) &&
        ind.id != mark_for(store, paths.halcyonMark, ind.id)) {
        if (!halcyon_step(ind, facts)) {
            return PassResult::Held;
        }
        if (!record_mark(facts, paths.halcyonMark, ind.id)) {
            return PassResult::Unrecorded;
        }
    }

    if (!facts.ledgerReady) {
        facts.ledgerReady = ledger::prepare(store.connection()) == SQLITE_OK &&
                            pending::prepare(store.connection()) == SQLITE_OK;
    }
    if (ledger::markForwarded(store.connection(), ind.id, facts.pending) != SQLITE_OK) {
        return PassResult::NotMarked;
    }
    facts.pending.clear();
    facts.pendingRow = 0;
    return PassResult::Forwarded;
}

} // namespace

PassResult forward_next(SQLiteDB& store, const ForwardingPaths& paths, int* row,
                        ForwardingFacts* given) {
    ForwardingFacts own;
    ForwardingFacts& facts = given != nullptr ? *given : own;
    if (!pay_owed(store, paths, facts, row)) {
        return PassResult::Unrecorded;
    }
    facts.bmc.newPass();
    Indication_t ind = {};
    if (!store.getIndication(&ind)) {
        return PassResult::Idle;
    }
    if (row != nullptr) {
        *row = ind.id;
    }
    if (facts.pendingRow != ind.id) {
        facts.pendingRow = ind.id;
        facts.pending.clear();
    }
    const notes::Marks marks{paths.fplMark, paths.halcyonMark};
    PassResult result = PassResult::Held;
    if ((!facts.settleDue || settle(store, marks, ind.id, facts, &result)) &&
        noted(store, marks, ind.id, facts, &result)) {
        result = forward_row(store, paths, ind, facts);
    }
    if (result == PassResult::Held) {
        facts.settleDue = true; // a record may have reached the BMC without its answer
    }
    return result;
}

Forwarder::Forwarder(RunState* state, ForwardingPaths paths) : where(std::move(paths)) {
    facts.state = state;
}

Forwarder::~Forwarder() {
    stop();
}

void Forwarder::pause(int seconds) {
    beat.waiting();
    std::unique_lock<std::mutex> lock(pauseLock);
    pauseWake.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping; });
    beat.working(kPassLimit);
}

// Called before each pass: the pass starts with a fresh heartbeat.
bool Forwarder::ends() {
    beat.working(kPassLimit);
    if (running) {
        return false;
    }
    logger.info("new thread dies.");
    return true;
}

void Forwarder::startMarksAnew(SQLiteDB& store) {
    if (!store.madeAnew()) {
        return;
    }
    bool written = true;
    for (const std::string& path : {where.fplMark, where.halcyonMark}) {
        const int error = SetLogid(path.c_str(), 0);
        if (error != 0) {
            owe_mark(facts, path, 0, error, "the database was made anew");
            written = false;
        }
    }
    if (written) {
        say_new_database(store, where);
    } else {
        facts.newDatabase = true;
    }
}

void Forwarder::waitForBmc() {
    do {
        pause(hold_pause_seconds(++hold.attempts));
    } while (running && !bmc_answers());
}

void Forwarder::pauseAfterError() {
    std::string what = "an exception of unknown type";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    logger.error("The forwarding starts again in %d seconds after an error: %s",
                 kRecoveryPauseSeconds, what.c_str());
    pause(kRecoveryPauseSeconds);
}

void Forwarder::passes() {
    // Restart point: the thread's own store handle, kept until an exception.
    SQLiteDB store(where.database);
    facts.ledgerReady = false;
    startMarksAnew(store);
    while (!ends()) {
        int row = 0;
        PassResult result = forward_next(store, where, &row, &facts);
        hold.after(result, row, facts);
        switch (result) {
        case PassResult::Forwarded:
            break; // the next row at once
        case PassResult::Held:
            waitForBmc();
            break;
        case PassResult::Unrecorded:
            pause(hold_pause_seconds(++hold.markAttempts));
            break;
        case PassResult::Idle:
            // Nothing to forward: a good moment to move the write-ahead log into the
            // database, so the log stays short.
            store.checkpoint();
            // The BMC session is closed once it has been idle for a second.
            pause(kIdleClosePauseSeconds);
            facts.bmc.closeIfIdle();
            pause(kIdlePauseSeconds - kIdleClosePauseSeconds);
            break;
        case PassResult::NotMarked:
            // The same row comes again; a store that keeps refusing the mark must not
            // turn this into a busy loop that floods the log.
            pause(kRecoveryPauseSeconds);
            break;
        }
    }
}

void Forwarder::run() {
    logger.info("new thread starts up.");
    CheckHostFacts(); // once, rather than for every event
    pause(kStartPauseSeconds);
    for (;;) {
        try {
            // Looked at before the store is opened as well: a store that cannot be
            // opened must not keep the shutdown waiting.
            if (ends()) {
                return;
            }
            passes();
            return;
        } catch (...) {
            pauseAfterError();
        }
    }
}

bool Forwarder::start() {
    std::lock_guard<std::mutex> lock(startLock);
    {
        std::lock_guard<std::mutex> paused(pauseLock);
        if (stopping) {
            return true; // the shutdown is under way: nothing to start
        }
    }
    running = true;
    try {
        thread = std::thread(&Forwarder::run, this);
    } catch (...) {
        running = false;
        return false;
    }
    return true;
}

void Forwarder::stop() {
    {
        std::lock_guard<std::mutex> lock(startLock);
        {
            std::lock_guard<std::mutex> paused(pauseLock);
            stopping = true;
        }
        if (!running.exchange(false)) {
            return;
        }
    }
    pauseWake.notify_all();
    thread.join();
}
