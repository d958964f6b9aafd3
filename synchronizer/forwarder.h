#ifndef ORVIND_FORWARDER_H
#define ORVIND_FORWARDER_H

#include "bmcsession.h"
#include "indication.h"
#include "ledger.h"
#include "paths.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

class Heartbeat;
class RunState;
class SQLiteDB;

// True while the forwarding thread is to keep running.
extern std::atomic<bool> threadrun; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
// The forwarding thread.
extern std::thread pid; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Where the forwarding thread works. The daemon always uses the fixed paths below;
// tests give folders of their own.
struct ForwardingPaths {
    // The indication store the rows come from.
    std::string database = paths::kDatabase;
    // Id of the last row handed to the FPL writer.
    std::string fplMark = paths::kFplMark;
    // Id of the last row handed to the halcyon event generator.
    std::string halcyonMark = paths::kHalcyonMark;
};

// What the forwarding keeps from one pass to the next, and where it publishes what it
// learns of the BMC.
struct ForwardingFacts {
    // The daemon's published facts (bmc_reachable, bmc_held_since, bmc_not_keeping,
    // bmc_last_refusal); none when not given.
    RunState* state = nullptr;
    // The outcomes of a row whose mark is still to come (a later target held it).
    int pendingRow = 0;
    std::vector<ledger::Outcome> pending;
    // When the line about a BMC that does not keep records was last logged.
    bool notKeptLogged = false;
    std::chrono::steady_clock::time_point notKeptAt;
    // Whether the outcome table is known to exist in the store.
    bool ledgerReady = false;
    // The BMC handle the rows of a pass share.
    BmcSession bmc;
};

// Body of the forwarding thread: drains the indication store towards the BMC until
// `threadrun` is cleared, publishing its facts in `state` when given.
void create_thread(RunState* state = nullptr);

// Sets `threadrun` and starts the forwarding thread into `pid`. False when the thread
// cannot be made (then `threadrun` is false again).
bool start_thread(RunState* state = nullptr);

// The forwarding thread's heartbeat, for the watchdog: it waits in its pauses and works
// between them.
const Heartbeat& forwarding_heartbeat();

// Clears `threadrun`, cuts short the thread's pause and waits until the thread has
// ended; a forwarding pass under way is finished first. Nothing to do when the thread
// was not running.
void stop_thread();

// Whether a row also goes to the management processor as a halcyon event: an alert
// level of 3 or more, "VEXA_WBEM" events 1, 3 and 4, "QRX_FCHBAIndication" event 1.
bool selected_for_halcyon(const Indication_t& ind, unsigned int alert_level);

// What one forwarding pass did.
enum class PassResult {
    Idle,      // no row waits to be forwarded
    Forwarded, // a row was forwarded and marked
    NotMarked, // a row was forwarded but its mark in the store failed
    Held,      // a target could not be reached: the row waits, unmarked, to be tried again
};

// One forwarding pass: fetches the oldest row not yet forwarded, writes it as an FPL
// record and, when selected, as a halcyon event, each target at most once per row
// (the mark files remember the last row each was handed), and marks the row
// forwarded. A target that refused the row is logged and the row goes on; a target
// that could not be reached (not opened, no answer in time, busy, session lost) holds
// the row: neither that target's mark nor the row's is written, so the same row is
// tried again and later rows keep waiting behind it. *row, when given, gets the id of the
// row the pass handled.
// An FPL record the BMC acknowledged but does not hold as sent (read back under the id
// it gave) is logged once an hour at most, published as bmc_not_keeping, and the row goes
// on. Each target's outcome is counted in the store with the row's mark (ledger.h).
PassResult forward_next(SQLiteDB& store, const ForwardingPaths& paths = ForwardingPaths(),
                        int* row = nullptr, ForwardingFacts* facts = nullptr);

// The pause before the `attempt`th try (from 1) to reach a BMC that holds a row: 2 s,
// doubling up to 60 s.
int hold_pause_seconds(int attempt);

#endif
