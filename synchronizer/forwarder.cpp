#include "forwarder.h"

#include "fpl.h"
#include "halcyon.h"
#include "logger.h"
#include "logid.h"
#include "sqlitedb.h"
#include "watchdog.h"

#include <tallow.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

// Globals for now, until a forwarder object owns its thread and flag.
std::atomic<bool> threadrun(false); // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
std::thread pid;                    // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

namespace {

const int kStartPauseSeconds = 3;
const int kIdlePauseSeconds = 3;
const int kRecoveryPauseSeconds = 2;
const int kHoldFirstPauseSeconds = 2;
const int kHoldLongestPauseSeconds = 60;

// Start and stop of the thread are serialised, so the shutdown never waits for a
// thread that is still being made.
// Globals for now, as threadrun and pid.
std::mutex startLock;              // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
std::mutex pauseLock;              // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
std::condition_variable pauseWake; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
bool stopping = false;             // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// The longest a forwarding pass may take (a BMC that answers slowly, rpm) before the
// thread counts as stuck.
const std::chrono::seconds kPassLimit(300);

Heartbeat& heartbeat() {
    static Heartbeat beat;
    return beat;
}

// Sleeps, unless the shutdown is under way or comes meanwhile.
void forwarding_pause(int seconds) {
    heartbeat().waiting();
    std::unique_lock<std::mutex> lock(pauseLock);
    pauseWake.wait_for(lock, std::chrono::seconds(seconds), [] { return stopping; });
    heartbeat().working(kPassLimit);
}

// True, after the last line of the thread, once the thread is to end. Called before each
// pass: the pass starts with a fresh heartbeat.
bool thread_ends() {
    heartbeat().working(kPassLimit);
    if (threadrun) {
        return false;
    }
    logger.info("new thread dies.");
    return true;
}

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

int hold_pause_seconds(int attempt) {
    int seconds = kHoldFirstPauseSeconds;
    for (int i = 1; i < attempt && seconds < kHoldLongestPauseSeconds; ++i) {
        seconds *= 2;
    }
    return seconds < kHoldLongestPauseSeconds ? seconds : kHoldLongestPauseSeconds;
}

PassResult forward_next(SQLiteDB& store, const ForwardingPaths& paths, int* row) {
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
    if (ind.id != mark_for(store, paths.fplMark, ind.id)) {
        bool may_pass = false;
        if (write_fpl(ind.proName, eventId, ind.eventTime, &alert_level, &may_pass) == 0) {
            logger.info("write %s indication as FPL successfully", ind.proName);
        } else {
            logger.error("failed to write %s indication as FPL", ind.proName);
            if (may_pass) {
                return PassResult::Held; // not marked: the FPL gets this row later
            }
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
        bool may_pass = false;
        if (mp_event_gen(ind.proName, ind.partNumber, eventId, ind.eventTime, ind.hw_location,
                         ind.systemFirmwareVersion, ind.address, &may_pass) == 0) {
            logger.info("write %s indication to halcyon successfully", ind.proName);
        } else {
            logger.error("failed to write %s indication to halcyon", ind.proName);
            if (may_pass) {
                return PassResult::Held; // the FPL mark keeps the FPL from a second copy
            }
        }
        SetLogid(paths.halcyonMark.c_str(), ind.id);
    }

    return store.updateIndication(ind.id) == 0 ? PassResult::Forwarded : PassResult::NotMarked;
}

namespace {

// Inside a handler: logs what was caught and pauses before the loop starts again.
void pause_after_error() {
    std::string what = "an exception of unknown type";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    logger.error("The forwarding starts again in %d seconds after an error: %s",
                 kRecoveryPauseSeconds, what.c_str());
    forwarding_pause(kRecoveryPauseSeconds);
}

} // namespace

void create_thread() {
    logger.info("new thread starts up.");
    forwarding_pause(kStartPauseSeconds);
    const ForwardingPaths paths;
    // A row held for an unreachable BMC: its id, and the tries since (0 when none is held).
    int heldRow = 0;
    int attempts = 0;
    for (;;) {
        try {
            // Looked at before the store is opened as well: a store that cannot be
            // opened must not keep the shutdown waiting.
            if (thread_ends()) {
                return;
            }
            // Restart point: the thread's own store handle, kept until an exception.
            SQLiteDB store(paths.database);
            for (;;) {
                if (thread_ends()) {
                    return;
                }
                int row = 0;
                PassResult result = forward_next(store, paths, &row);
                if (result != PassResult::Held && attempts > 0) {
                    logger.info("BMC answers again: indication %d forwarded after %d tries",
                                heldRow, attempts);
                    attempts = 0;
                }
                switch (result) {
                case PassResult::Forwarded:
                    break; // the next row at once
                case PassResult::Held:
                    if (attempts == 0) {
                        heldRow = row;
                        logger.warn("BMC not reachable: indication %d and those after it wait; "
                                    "trying again from %d s up to every %d s",
                                    heldRow, hold_pause_seconds(1), kHoldLongestPauseSeconds);
                    }
                    // Quietly, until the BMC opens again; then the row is tried anew.
                    do {
                        forwarding_pause(hold_pause_seconds(++attempts));
                    } while (threadrun && !bmc_answers());
                    break;
                case PassResult::Idle:
                    // Nothing to forward: a good moment to move the write-ahead log
                    // into the database, so the log stays short.
                    store.checkpoint();
                    forwarding_pause(kIdlePauseSeconds);
                    break;
                case PassResult::NotMarked:
                    // The same row comes again; a store that keeps refusing the mark
                    // must not turn this into a busy loop that floods the log.
                    forwarding_pause(kRecoveryPauseSeconds);
                    break;
                }
            }
        } catch (...) {
            pause_after_error();
        }
    }
}

const Heartbeat& forwarding_heartbeat() {
    return heartbeat();
}

bool start_thread() {
    std::lock_guard<std::mutex> lock(startLock);
    {
        std::lock_guard<std::mutex> pause(pauseLock);
        if (stopping) {
            return true; // the shutdown is under way: nothing to start
        }
    }
    threadrun = true;
    try {
        pid = std::thread(create_thread);
    } catch (...) {
        threadrun = false;
        return false;
    }
    return true;
}

void stop_thread() {
    {
        std::lock_guard<std::mutex> lock(startLock);
        {
            std::lock_guard<std::mutex> pause(pauseLock);
            stopping = true;
        }
        if (!threadrun.exchange(false)) {
            return;
        }
    }
    pauseWake.notify_all();
    pid.join();
}
