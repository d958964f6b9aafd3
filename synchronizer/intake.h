#ifndef ORVIND_INTAKE_H
#define ORVIND_INTAKE_H

#include "files.h"
#include "paths.h"
#include "watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

class SQLiteDB;

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

// Cuts a stream of delivered bytes into indication documents. A document ends after
// a trailer line (one that says "End of Indication" and holds no markup) and before
// an XML declaration, wherever in a line it stands, when the document already holds
// something other than blank space. Bytes before a declaration that do not begin with
// one themselves (stray bytes from another writer) are passed over. Bytes go in with
// add(); complete documents come out with next(); finish() ends a delivery and hands
// over what is left.
class DocumentCutter {
public:
    void add(const char* data, size_t size);
    // Cuts the next complete document off the front; false when there is none yet.
    bool next(std::string& document);
    // End of a delivery: the rest is one more document, unless documents have
    // already been cut from this delivery and the rest is only blank space.
    // An empty delivery gives one empty document.
    bool finish(std::string& document);
    // Everything received and not yet cut off.
    const std::string& unhandled() const { return buffer; }
    // Bytes cut off the front so far: documents and what was passed over.
    unsigned long long consumed() const { return taken; }
    // The bytes passed over since the last call.
    std::string takeStray();

private:
    std::string buffer;
    // buffer[0, scanned) are whole lines already looked at; none ends a document.
    size_t scanned = 0;
    // Those lines hold something other than blank space.
    bool content = false;
    // A document has been cut since the last finish().
    bool cut = false;
    unsigned long long taken = 0;
    std::string stray;
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
// journal; a journal that cannot be written leaves the rest in the pipe. The loop runs
// on the main thread; stop() and saveUnhandled() are called by the shutdown.
class Intake {
public:
    explicit Intake(IntakePaths paths = IntakePaths());
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
    bool appendJournal(const char* data, size_t size);
    ssize_t spliceJournal();
    void journalFailed(const char* doing, int error);
    void keepStray(const std::string& bytes);
    bool openJournal(bool create);
    void drainPipe(int waitMs);
    int work();
    void retryJournal();
    bool storeDocuments();
    bool openStore();
    bool nextDocument(std::string& document);
    bool handleDocument(const std::string& document);
    bool commit();
    void compact();
    void failed(const std::string& why);
    void succeeded();

    IntakePaths paths;
    bool passed = false;
    // The intake's own store handle, opened again after each failure.
    std::unique_ptr<SQLiteDB> store;
    files::Fd readEnd;
    // Wakes the loop's poll when stop() is called.
    files::Fd wakeFd;
    // Something arrived on the current read end.
    bool received = false;

    // The journal, its length, and how far it has been fed to the cutter. Offsets are
    // positions in the journal; the cutter started at `origin`.
    files::Fd journal;
    unsigned long long journalSize = 0;
    unsigned long long fed = 0;
    unsigned long long origin = 0;
    // The journal is on disk up to here.
    unsigned long long synced = 0;
    // Taken from the pipe and not yet in the journal (it could not be written).
    std::string unwritten;
    // The pipe's bytes move into the journal inside the kernel (splice); false once the
    // journal's file system refused it, and the bytes are read and written instead.
    bool splicing = true;
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
    // Rows parsed and not yet committed (the store's batch), and where their documents end.
    struct Batch;
    std::unique_ptr<Batch> batch;
    size_t batchDocuments = 0;
    unsigned long long batchEnd = 0;
    Clock::time_point batchStart;
    // Retrying after a failure that may pass.
    std::string failure;
    int attempts = 0;
    Clock::time_point retryAt;
    std::chrono::milliseconds pause{0};
    std::string journalFailure;
    Clock::time_point appendAt;
    std::chrono::milliseconds appendPause{0};

    Heartbeat beat;
    std::mutex gate;
    std::condition_variable idle;
    bool busy = false;
    bool stopping = false;
};

#endif
