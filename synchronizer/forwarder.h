#ifndef ORVIND_FORWARDER_H
#define ORVIND_FORWARDER_H

#include "bmcsession.h"
#include "indication.h"
#include "ledger.h"
#include "paths.h"

#include "watchdog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RunState;
class SQLiteDB;

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
    // bmc_last_refusal, forwarding_held); none when not given.
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
    // Whether what was noted before a start or an outage is still to be settled
    // (notes.h), and the last row the current note covers.
    bool settleDue = true;
    int notedThrough = 0;
    // Marks that could not be written (a full disk) after their target was served, or
    // when a new database started them anew: each is written before anything else is
    // done, and nothing is sent while one is owed.
    struct Mark {
        std::string path;
        int id = 0;
    };
    std::vector<Mark> owed;
    // The database made anew whose marks are among those owed: said once they are written.
    bool newDatabase = false;
};

// Whether a row also goes to the management processor as a halcyon event: an alert
// level of 3 or more, "VEXA_WBEM" events 1, 3 and 4, "QRX_FCHBAIndication" event 1.
bool selected_for_halcyon(const Indication_t& ind, unsigned int alert_level);

// What one forwarding pass did.
enum class PassResult {
    Idle,       // no row waits to be forwarded
    Forwarded,  // a row was forwarded and marked
    NotMarked,  // a row was forwarded but its mark in the store failed
    Held,       // a target could not be reached: the row waits, unmarked, to be tried again
    Unrecorded, // a target was served but its mark cannot be written: forwarding waits,
                // sending nothing, until the mark is written
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
// Before a row is sent, the records of its group of rows are noted in the store; at the
// first pass and after a held one, what was noted and not marked is first read back
// from the BMC: a record it holds is marked without being sent again (notes.h).
// A mark that cannot be written once its target was served (a full disk) is said once
// and published as forwarding_held; it is owed (facts->owed): each pass first tries to
// write what is owed, and sends nothing until it is written. *row, for such a pass, gets
// the row of the mark owed.
PassResult forward_next(SQLiteDB& store, const ForwardingPaths& paths = ForwardingPaths(),
                        int* row = nullptr, ForwardingFacts* facts = nullptr);

// A row held for an unreachable BMC: the outage is said once, and its end. The tries to
// write an owed mark are counted beside it, for their pauses.
struct Hold {
    int row = 0;
    int attempts = 0;     // tries since the row was held (0 when none is)
    int markAttempts = 0; // tries since a mark was owed (0 when none is)

    // After a pass: starts or ends the outage, and publishes whether the BMC answers.
    void after(PassResult result, int id, ForwardingFacts& facts);
};

// The forwarding thread: drains the indication store towards the BMC, one pass after
// another, from start() until stop(). Made by the daemon, which hands it the facts it
// publishes (none: nothing published) and the paths it works on. A database made anew
// starts both marks at 0 before its first row is forwarded.
class Forwarder {
public:
    explicit Forwarder(RunState* state = nullptr, ForwardingPaths paths = ForwardingPaths());
    // Stops the thread if it runs.
    ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // Starts the thread. False when it cannot be made. After stop() it starts nothing
    // (and says true): the shutdown is under way.
    bool start();

    // Ends the thread: cuts short its pause and waits until it has ended; a forwarding
    // pass under way is finished first. Nothing to wait for when the thread was not
    // running. Start and stop are serialised, so the shutdown never waits for a thread
    // that is still being made.
    void stop();

    // The thread's heartbeat, for the watchdog: it waits in its pauses and works between
    // them.
    const Heartbeat& heartbeat() const { return beat; }

private:
    // The thread's body: passes until stopped; what a pass throws is logged and the
    // passes start again after a pause.
    void run();
    // One store handle's life: passes until stopped (returns) or an exception.
    void passes();
    // Sleeps, unless the shutdown is under way or comes meanwhile.
    void pause(int seconds);
    // True, after the last line of the thread, once the thread is to end.
    bool ends();
    // A database made anew starts both marks at 0 (owed when they cannot be written).
    void startMarksAnew(SQLiteDB& store);
    // Quietly, until the BMC opens again; then the held row is tried anew.
    void waitForBmc();
    // Inside a handler: logs what was caught and pauses before the passes start again.
    void pauseAfterError();

    const ForwardingPaths where;
    ForwardingFacts facts;
    Hold hold;
    Heartbeat beat;

    // True while the thread is to keep running.
    std::atomic<bool> running{false};
    std::thread thread;
    std::mutex startLock;
    // Guards `stopping`, which the pauses wait on.
    std::mutex pauseLock;
    std::condition_variable pauseWake;
    bool stopping = false;
};

// The pause before the `attempt`th try (from 1) to reach a BMC that holds a row: 2 s,
// doubling up to 60 s.
int hold_pause_seconds(int attempt);

#endif
