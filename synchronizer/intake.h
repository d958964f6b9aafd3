#ifndef ORVIND_INTAKE_H
#define ORVIND_INTAKE_H

#include "cutter.h"
#include "files.h"
#include "journal.h"
#include "paths.h"
#include "watchdog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

class SfcbClient;
class SQLiteDB;

// What the intake has done since the daemon started, for the metrics.
struct IntakeCounts {
    // Documents cut from the journal and handed to the parser (a document handled again
    // after a failed commit counts again).
    std::atomic<unsigned long long> received{0};
    // Documents whose rows were committed.
    std::atomic<unsigned long long> stored{0};
    // Failures of the store or the journal that are tried again.
    std::atomic<unsigned long long> retries{0};
    // Documents stored in no row because they were not whole (ended early, or pieces of
    // interleaved deliveries that could not be told apart): kept in the stray file.
    std::atomic<unsigned long long> damaged{0};
    // Bytes dropped from the stray file at its bound.
    std::atomic<unsigned long long> strayDropped{0};
};

// Where the intake works. The daemon always uses the fixed paths below; tests give
// folders of their own.
struct IntakePaths {
    // The named pipe the broker delivers into.
    std::string fifo = paths::kFifo;
    // A copy of the document being handled; the parser reads it.
    std::string temp = paths::kTempFile;
    // The intake journal: every byte taken from the pipe is appended here before it is
    // handled, and the database records how far its documents are stored. What lies
    // beyond that position is taken in again at the next start.
    std::string pending = paths::kPendingFile;
    // Bytes of the journal that belong to no document (another writer's, or damage),
    // passed over and kept here rather than deleted.
    std::string stray = paths::kStrayFile;
    // The indication store.
    std::string database = paths::kDatabase;
};

// Makes sure a private pipe (0600) is at the pipe path: a pipe found there is kept
// with what it holds; a regular file is taken into the journal; anything else (a
// link, a socket, a folder) is moved aside. 1 when the pipe is there, 0 when not.
int create_fifo(const IntakePaths& paths = IntakePaths());

// How the intake ended.
enum class IntakeEnd {
    Stopped,    // stop() was called
    PipeFailed, // the pipe could not be opened for reading
};

// What openFifo() achieved.
enum class FifoState { Ready, NotCreated, NotOpened, Stopped };

// The intake: from start-up on it keeps a read end open on the pipe, so that
// whatever the broker writes stays in the pipe until it is read. Whatever it reads is
// appended to the journal first; documents are cut from the journal, copied to the
// temp file one at a time and parsed, and their rows are committed together with the
// journal position up to which they are stored. A store that fails for a reason that
// may pass is retried with a growing pause while the pipe is still read into the
// journal; a journal that cannot be written leaves the rest in the pipe. run() may run
// on any thread; stop(), from another one, ends it, and saveUnhandled() follows.
class Intake {
public:
    // `client` makes the CIMC objects of the parsed documents; it outlives the intake.
    explicit Intake(SfcbClient& client, IntakePaths paths = IntakePaths());
    ~Intake();
    Intake(const Intake&) = delete;
    Intake& operator=(const Intake&) = delete;

    // Start-up by hand: create_fifo(), "FIFO created.", then the first read end.
    FifoState openFifo();
    // Start-up under systemd: the pipe is the descriptor `fd` it holds and passed in.
    // It is read as it is and never removed or replaced.
    FifoState adoptFifo(int fd);
    // The pipe came from systemd.
    bool pipePassed() const { return passed; }

    // Takes in what the journal holds beyond the stored position, then reads the pipe
    // until stop() or a fatal failure (already logged).
    IntakeEnd run();

    // Lets the document in hand be finished, then keeps the intake from handling
    // another one or touching the pipe again. Returns once the intake is idle.
    void stop();

    // After stop() and after the pipe path has been removed (started by hand): appends
    // what is still in the pipe to the journal for the next start. A writer still
    // connected is given up to `waitMs` milliseconds to finish. Does nothing with a
    // pipe held by systemd: its bytes wait there.
    void saveUnhandled(int waitMs);

    // The files this intake works on.
    const IntakePaths& where() const { return paths; }
    // The loop's heartbeat, for the watchdog: it waits in poll and works between.
    const Heartbeat& heartbeat() const { return beat; }
    // What it has done so far.
    const IntakeCounts& counts() const { return counted; }

    // Groups of documents stored in one transaction under a burst.
    static constexpr size_t kGroupDocuments = 64;
    static constexpr int kGroupMs = 50;
    // The journal is compacted once everything in it is stored and it is this long.
    static constexpr unsigned long long kCompactBytes = 256ULL * 1024;

private:
    using Clock = std::chrono::steady_clock;
    struct Busy;
    bool enter();
    void leave();
    bool stopRequested();
    bool openReadEnd();
    bool readPipe(bool hangup);
    void drainPipe(int waitMs);
    int work();
    bool storeDocuments();
    bool openStore();
    bool nextDocument(std::string& document);
    bool handleDocument(const std::string& document, unsigned long long end);
    bool commit();
    void keepPassedOver();
    void countDamaged(size_t documents);
    void compact();
    void failed(const std::string& why);
    void succeeded();

    SfcbClient& client;
    IntakePaths paths;
    bool passed = false;
    // The intake's own store handle, opened again after each failure.
    std::unique_ptr<SQLiteDB> store;
    files::Fd readEnd;
    // Wakes the loop's poll when stop() is called.
    files::Fd wakeFd;
    // Something arrived on the current read end.
    bool received = false;

    // The journal, and how far it has been fed to the cutter. Offsets are positions in
    // the journal; the cutter started at `origin`.
    Journal journal;
    unsigned long long fed = 0;
    unsigned long long origin = 0;
    // Where deliveries ended (every writer gone), in journal offsets.
    std::deque<unsigned long long> deliveryEnds;
    DocumentCutter cutter;
    // The position is known once the store has been opened.
    bool positioned = false;
    unsigned long long stored = 0;
    // Taking in what an earlier run left: up to this offset.
    bool recovering = false;
    unsigned long long recoverUpTo = 0;
    size_t recoveredCount = 0;
    // Compaction is due (at start-up, after taking in), and a journal set aside by one
    // is still to be removed once a position of the new journal is committed.
    bool compactNow = false;
    bool compactedLeft = false;
    // A document cut but not yet copied to the temp file, and where it ends.
    bool holding = false;
    std::string held;
    unsigned long long heldEnd = 0;
    bool heldWhole = true;
    // Rows parsed and not yet committed (the store's batch), and where their documents end.
    struct Batch;
    std::unique_ptr<Batch> batch;
    size_t batchDocuments = 0;
    unsigned long long batchEnd = 0;
    // The batch's last document ends where no document cut together with it follows.
    bool batchWhole = true;
    Clock::time_point batchStart;
    // Retrying after a failure that may pass.
    std::string failure;
    int attempts = 0;
    Clock::time_point retryAt;
    std::chrono::milliseconds pause{0};

    Heartbeat beat;
    IntakeCounts counted;
    std::mutex gate;
    std::condition_variable idle;
    bool busy = false;
    bool stopping = false;
};

#endif
