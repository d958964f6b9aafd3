#include "forwarder.h"

#include "files.h"
#include "fpl.h"
#include "halcyon.h"
#include "logger.h"
#include "logid.h"
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
#include <stdexcept>
#include <string>
#include <utility>

namespace {

const int kStartPauseSeconds = 3;
const int kIdlePauseSeconds = 3;
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

// A database made anew owes nothing to the marks kept beside the one before it: a row
// of its own that passes an old mark would never reach that target. Both marks start at
// 0 before its first row is forwarded. Throws when a mark cannot be written: nothing is
// forwarded from the new database meanwhile.
void start_marks_anew(SQLiteDB& store, const ForwardingPaths& paths) {
    if (!store.madeAnew()) {
        return;
    }
    const int fpl = SetLogid(paths.fplMark.c_str(), 0);
    const int halcyon = SetLogid(paths.halcyonMark.c_str(), 0);
    if (fpl != 0 || halcyon != 0) {
        throw std::runtime_error("the marks cannot be started anew for the new database " +
                                 paths.database + ": " +
                                 files::errorText(fpl != 0 ? fpl : halcyon));
    }
    store.settleMadeAnew();
    logger.info("The database %s is new: the marks %s and %s start anew at 0.",
                paths.database.c_str(), paths.fplMark.c_str(), paths.halcyonMark.c_str());
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

// Counts what became of a target's step for the row, to be kept with its mark; says
// what the BMC refused or did not keep.
void note(ForwardingFacts& facts, int id, const char* target, const BmcOutcome& outcome) {
    if (facts.pendingRow != id) {
        facts.pendingRow = id;
        facts.pending.clear();
    }
    facts.pending.push_back({target, bmc_result_name(outcome.result)});
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
    int rc = write_fpl(ind.proName, eventId, ind.eventTime, &alert_level, &may_pass, &outcome);
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
    if (mp_event_gen(ind.proName, ind.partNumber, static_cast<unsigned int>(ind.eventId),
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

PassResult forward_next(SQLiteDB& store, const ForwardingPaths& paths, int* row,
                        ForwardingFacts* given) {
    ForwardingFacts own;
    ForwardingFacts& facts = given != nullptr ? *given : own;
    unsigned int alert_level = 0;
    Indication_t ind;
    memset(&ind, 0, sizeof ind);
    if (!store.getIndication(&ind)) {
        return PassResult::Idle;
    }
    if (row != nullptr) {
        *row = ind.id;
    }
    const unsigned int eventId = static_cast<unsigned int>(ind.eventId);

    // Effects in this order: FPL record, FPL mark, halcyon event, halcyon mark, row
    // status. Whatever a crash interrupts, the row is fetched again and the marks keep
    // a target that has been served from being served twice.
    if (facts.pendingRow != ind.id) {
        facts.pendingRow = ind.id;
        facts.pending.clear();
    }
    if (ind.id != mark_for(store, paths.fplMark, ind.id)) {
        if (!fpl_step(ind, alert_level, facts)) {
            return PassResult::Held;
        }
        SetLogid(paths.fplMark.c_str(), ind.id);
    } else {
        // The FPL already holds this row. Its alert level still decides whether the
        // row goes to halcyon: without it, an event selected for its level and cut
        // off by a crash after the FPL mark would never reach the management processor.
        bool opened = true;
        alert_level = fpl_alert_level(ind.proName, eventId, &opened);
        if (!opened) {
            return PassResult::Held; // the selection needs the dictionaries
        }
    }

    if (selected_for_halcyon(ind, alert_level) &&
        ind.id != mark_for(store, paths.halcyonMark, ind.id)) {
        if (!halcyon_step(ind, facts)) {
            return PassResult::Held;
        }
        SetLogid(paths.halcyonMark.c_str(), ind.id);
    }

    if (!facts.ledgerReady) {
        facts.ledgerReady = ledger::prepare(store.connection()) == SQLITE_OK;
    }
    if (ledger::markForwarded(store.connection(), ind.id, facts.pending) != SQLITE_OK) {
        return PassResult::NotMarked;
    }
    facts.pending.clear();
    facts.pendingRow = 0;
    return PassResult::Forwarded;
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
    start_marks_anew(store, where);
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
        case PassResult::Idle:
            // Nothing to forward: a good moment to move the write-ahead log into the
            // database, so the log stays short.
            store.checkpoint();
            pause(kIdlePauseSeconds);
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
