#ifndef ORVIND_INTAKE_H
#define ORVIND_INTAKE_H

#include "paths.h"
#include "sqlitedb.h"

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

// Where the intake works. The daemon always uses the fixed paths below; tests give
// folders of their own.
struct IntakePaths {
    // The named pipe the broker delivers into.
    std::string fifo = paths::kFifo;
    // A copy of the document being handled; the parser reads it.
    std::string temp = paths::kTempFile;
    // Documents that arrived while the daemon could not read them (a regular file
    // the broker left at the pipe path while the daemon was stopped, or bytes still
    // unread at shutdown). They are taken in at the next start, before the pipe.
    std::string pending = paths::kPendingFile;
    // The indication store.
    std::string database = paths::kDatabase;
};

// Cuts a stream of delivered bytes into indication documents. A document ends after
// a trailer line (one that says "End of Indication" and holds no markup) and before
// a line that begins with an XML declaration when the document already holds
// something other than blank space. Bytes go in with add(); complete documents come
// out with next(); finish() ends a delivery and hands over what is left.
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

private:
    std::string buffer;
    // buffer[0, scanned) are whole lines already looked at; none ends a document.
    size_t scanned = 0;
    // Those lines hold something other than blank space.
    bool content = false;
    // A document has been cut since the last finish().
    bool cut = false;
};

// Removes whatever is at the pipe path. A regular file there holds documents the
// broker appended while the pipe was missing: it is moved to (or appended to) the
// pending file instead of being deleted.
void delete_fifo(const IntakePaths& paths = IntakePaths());
// delete_fifo(), then makes the pipe. 1 when the pipe has been made, 0 when not.
int create_fifo(const IntakePaths& paths = IntakePaths());

// How the intake ended.
enum class IntakeEnd {
    Stopped,        // stop() was called
    PipeFailed,     // the pipe could not be opened for reading
    TempFileFailed, // the temp file could not be opened for writing
};

// What openFifo() achieved.
enum class FifoState { Ready, NotCreated, NotOpened, Stopped };

// The intake: from start-up on it keeps a read end open on the pipe, so that
// whatever the broker writes stays in the pipe until it is read. It cuts what
// arrives into documents and handles them one at a time: each is copied to the temp
// file and handed to the parser. The loop runs on the main thread; stop() and
// saveUnhandled() are called by the shutdown from another thread.
class Intake {
public:
    explicit Intake(IntakePaths paths = IntakePaths());
    ~Intake();
    Intake(const Intake&) = delete;
    Intake& operator=(const Intake&) = delete;

    // Start-up: create_fifo(), "FIFO created.", then the first read end.
    FifoState openFifo();

    // Takes in the pending documents, then reads the pipe until stop() or a fatal
    // failure (already logged).
    IntakeEnd run();

    // Lets the document in hand be finished, then keeps the intake from handling
    // another one or touching the pipe again. Returns once the intake is idle.
    void stop();

    // After stop() and after the pipe path has been removed: saves every byte not
    // yet handled (pending documents not yet taken in, the rest of the current
    // delivery, what is still in the pipe) to the pending file for the next start.
    // A writer still connected is given up to `waitMs` milliseconds to finish.
    void saveUnhandled(int waitMs);

    // The files this intake works on.
    const IntakePaths& where() const { return paths; }

private:
    struct Busy;
    bool enter();
    void leave();
    bool stopRequested();
    bool openReadEnd();
    bool recover(IntakeEnd& end);
    bool readPipe(IntakeEnd& end);
    bool drain(bool hangup, IntakeEnd& end);
    bool handleDocument(const std::string& document);
    void pauseBeforeRestart();

    IntakePaths paths;
    // The intake's own store handle, opened at the start of every intake cycle.
    std::unique_ptr<SQLiteDB> store;
    int readEnd = -1;
    // Wakes the loop's poll when stop() is called.
    int wakeFd = -1;
    // Something arrived on the current read end.
    bool received = false;
    DocumentCutter cutter;
    // Pending documents being taken in, and how many have been.
    DocumentCutter recovered;
    bool recovering = false;
    size_t recoveredCount = 0;

    std::mutex gate;
    std::condition_variable idle;
    bool busy = false;
    bool stopping = false;
};

#endif
