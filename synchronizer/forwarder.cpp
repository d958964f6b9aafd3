#include "forwarder.h"

#include "fpl.h"
#include "halcyon.h"
#include "logger.h"
#include "logid.h"
#include "sqlitedb.h"

#include <tallow.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

std::atomic<bool> threadrun(false);
std::thread pid;

namespace {

const int kStartPauseSeconds = 3;
const int kIdlePauseSeconds = 3;
const int kRecoveryPauseSeconds = 2;

// Start and stop of the thread are serialised, so the shutdown never waits for a
// thread that is still being made.
std::mutex startLock;
std::mutex pauseLock;
std::condition_variable pauseWake;
bool stopping = false;

// Sleeps, unless the shutdown is under way or comes meanwhile.
void forwarding_pause(int seconds) {
    std::unique_lock<std::mutex> lock(pauseLock);
    pauseWake.wait_for(lock, std::chrono::seconds(seconds), [] { return stopping; });
}

// True, after the last line of the thread, once the thread is to end.
bool thread_ends() {
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

PassResult forward_next(SQLiteDB& store, const ForwardingPaths& paths) {
    unsigned int alert_level = 0;
    Indication_t ind;
    memset(&ind, 0, sizeof ind);
    if (!store.getIndication(&ind)) {
        return PassResult::Idle;
    }
    const unsigned int eventId = static_cast<unsigned int>(ind.eventId);

    // Effects in this order: FPL record, FPL mark, halcyon event, halcyon mark, row
    // status. Whatever a crash interrupts, the row is fetched again and the marks keep
    // a target that has been served from being served twice.
    if (ind.id != mark_for(store, paths.fplMark, ind.id)) {
        if (write_fpl(ind.proName, eventId, ind.eventTime, &alert_level) == 0) {
            logger.info("write %s indication as FPL successfully", ind.proName);
        } else {
            logger.error("failed to write %s indication as FPL", ind.proName);
        }
        SetLogid(paths.fplMark.c_str(), ind.id);
    } else {
        // The FPL already holds this row. Its alert level still decides whether the
        // row goes to halcyon: without it, an event selected for its level and cut
        // off by a crash after the FPL mark would never reach the management processor.
        alert_level = fpl_alert_level(ind.proName, eventId);
    }

    if (selected_for_halcyon(ind, alert_level) &&
        ind.id != mark_for(store, paths.halcyonMark, ind.id)) {
        if (mp_event_gen(ind.proName, ind.partNumber, eventId, ind.eventTime, ind.hw_location,
                         ind.systemFirmwareVersion, ind.address) == 0) {
            logger.info("write %s indication to halcyon successfully", ind.proName);
        } else {
            logger.error("failed to write %s indication to halcyon", ind.proName);
        }
        SetLogid(paths.halcyonMark.c_str(), ind.id);
    }

    return store.updateIndication(ind.id) == 0 ? PassResult::Forwarded : PassResult::NotMarked;
}

void create_thread() {
    logger.info("new thread starts up.");
    forwarding_pause(kStartPauseSeconds);
    const ForwardingPaths paths;
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
                switch (forward_next(store, paths)) {
                case PassResult::Forwarded:
                    break; // the next row at once
                case PassResult::Idle:
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
            forwarding_pause(kRecoveryPauseSeconds);
        }
    }
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
