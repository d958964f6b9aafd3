#include "intake.h"

#include "XMLTextReader.h"
#include "cutter.h"
#include "files.h"
#include "journal.h"
#include "logger.h"
#include "parser.h"
#include "sqlitedb.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// While a writer may still be connected after bytes have arrived, the pipe is looked
// at this often: a writer that connected before the current read end was opened does
// not raise a hang-up when it leaves, and only a read tells that it has gone.
const int kDeliveryPollMs = 100;
// The longest one turn of the loop may take (a group of documents, a busy database)
// before the intake counts as stuck.
const std::chrono::seconds kTurnLimit(120);
const size_t kChunk = 65536;
// Reads of the pipe in one go before the documents are looked at again.
const int kReadsPerTurn = 16;
// After a document this large the heap is given back to the system.
const size_t kLargeDocument = 1 << 20;
// The first pause after a failure that may pass, and the longest.
const std::chrono::milliseconds kFirstPause(500);
const std::chrono::milliseconds kLongestPause(60000);
// A database busy with another process is tried again quietly this often before the
// failure is logged.
const int kQuietBusyAttempts = 3;
// A regular file at the pipe path is taken in once the broker has finished the
// document it was writing, or after this long without growing.
const int kUnfinishedWaitMs = 2000;

// The intake's own files: the journal, the temp file.
const mode_t kPrivateMode = 0600;

// Where a regular file found at the pipe path goes while the pipe is made, and where
// the journal goes while it is compacted: beside the journal.
std::string incoming_file(const IntakePaths& paths) {
    return paths.pending + ".incoming";
}

// The broker may still be appending a document to a regular file that has just been
// moved away from the pipe path: its content is taken once it ends after a trailer
// line (or with nothing but blank space), or once it has stopped growing.
std::string read_when_finished(int fd) {
    std::string content;
    auto last = std::chrono::steady_clock::now();
    for (;;) {
        char chunk[kChunk];
        ssize_t n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(content.size()));
        if (n > 0) {
            content.append(chunk, static_cast<size_t>(n));
            last = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        size_t end = content.find_last_not_of(" \t\r\n");
        size_t line = end == std::string::npos ? 0 : content.rfind('\n', end);
        line = line == std::string::npos ? 0 : line + 1;
        bool finished = end == std::string::npos ||
                        is_trailer_line(content.data() + line, content.data() + end + 1);
        if (n < 0 || finished ||
            std::chrono::steady_clock::now() - last >
                std::chrono::milliseconds(kUnfinishedWaitMs)) {
            return content;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Appends the documents of a regular file moved away from the pipe path to the
// journal and removes the file. Kept where it is when they cannot be written, for the
// next start.
void take_in_incoming(const IntakePaths& paths) {
    const std::string incoming = incoming_file(paths);
    files::Fd fd(files::openOwned(incoming, O_RDONLY, 0));
    if (!fd) {
        return;
    }
    std::string content = read_when_finished(fd.get());
    fd.reset();
    // The file is the only copy of its documents: it goes once they are on disk.
    int error = files::appendDurably(paths.pending, content.data(), content.size(), kPrivateMode);
    if (error != 0) {
        logger.error("Unable to write the journal %s: %s; %zu bytes found at the FIFO path stay "
                     "in %s.",
                     paths.pending.c_str(), files::errorText(error).c_str(), content.size(),
                     incoming.c_str());
        return;
    }
    unlink(incoming.c_str());
    files::syncFolderOf(incoming);
    logger.info("Took in %zu bytes found at the FIFO path.", content.size());
}

// Copies the document into the temp file, made anew: a leftover (or a link planted
// there) is removed first, never followed.
bool write_temp(const std::string& path, const std::string& document, size_t length,
                std::string& why) {
    files::Fd fd(files::createAnew(path, kPrivateMode));
    if (!fd) {
        why = files::errorText(errno);
        return false;
    }
    int error = files::writeAll(fd.get(), document.data(), length);
    const int closed = files::closeWritten(std::move(fd));
    error = error != 0 ? error : closed;
    if (error != 0) {
        why = files::errorText(error);
    }
    return error == 0;
}

// libxml2's first error on the document, without its line end.
void keep_first_error(void* arg, xmlErrorPtr error) {
    std::string& message = *static_cast<std::string*>(arg);
    if (error == nullptr || error->level < XML_ERR_ERROR || !message.empty()) {
        return;
    }
    message = error->message != nullptr ? error->message : "unknown error";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
}

// Hands the document in the temp file at `path` to the parser, which stores every
// indication in it through the intake's store handle, its objects made by `client`. The
// parse error is handed back.
std::string parse_temp_file(SQLiteDB& store, const std::string& path, SfcbClient& client) {
    std::string error;
    // Freed before `error`, which its handler writes to, also when the store throws.
    XmlReaderPtr xml(xmlReaderForFile(path.c_str(), "utf-8", 0));
    if (xml) {
        xmlTextReaderSetStructuredErrorHandler(xml.get(), keep_first_error, &error);
    }
    XMLTextReader reader(xml.get());
    Parser parser(&store, reader, &client);
    parser.parseIndicationResp();
    return error;
}

int millis_until(std::chrono::steady_clock::time_point when) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    when - std::chrono::steady_clock::now())
                    .count();
    return static_cast<int>(std::max<long long>(left, 0) + 1);
}

} // namespace

int create_fifo(const IntakePaths& paths) {
    const std::string& fifo = paths.fifo;
    for (int attempt = 0; attempt < 5; ++attempt) {
        struct stat st;
        if (lstat(fifo.c_str(), &st) != 0) {
            if (attempt == 0) {
                logger.info("Trying to delete FIFO but it doesn't exist.");
            }
        } else if (S_ISFIFO(st.st_mode)) {
            // Kept with whatever it holds: a writer may have filled it meanwhile.
            if ((st.st_mode & 0777) != 0600) {
                chmod(fifo.c_str(), 0600);
            }
            logger.info("FIFO kept from an earlier run; what it holds is read first.");
            take_in_incoming(paths);
            return 1;
        } else if (S_ISREG(st.st_mode)) {
            // What the broker wrote while the pipe was missing; it may still be
            // appending to it. Any file left from an interrupted start goes first.
            take_in_incoming(paths);
            if (rename(fifo.c_str(), incoming_file(paths).c_str()) != 0) {
                logger.error("Unable to delete the FIFO.");
            }
        } else if (!files::moveAside(fifo)) {
            logger.error("Unable to delete the FIFO.");
        }
        if (mkfifo(fifo.c_str(), 0600) == 0) {
            take_in_incoming(paths);
            return 1;
        }
        if (errno != EEXIST) {
            break; // a broker that made a file there meanwhile is handled by the next round
        }
    }
    const int error = errno;
    logger.error("Unable to create FIFO.");
    const std::string folder = fifo.substr(0, fifo.rfind('/'));
    logger.error("Cannot make the FIFO %s: %s. Make the daemon's folders (systemd-tmpfiles "
                 "--create orvind.conf, or mkdir -p %s) and start again.",
                 fifo.c_str(), files::errorText(error).c_str(), folder.c_str());
    return 0;
}

// Leaves the busy stretch begun by a successful enter().
struct Intake::Busy {
    Intake& intake;
    ~Busy() { intake.leave(); }
};

struct Intake::Batch {
    SQLiteDB::Batch rows;
};

Intake::Intake(SfcbClient& factory, IntakePaths where)
    : client(factory), paths(std::move(where)), wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      journal(paths.pending), batch(std::make_unique<Batch>()) {}

Intake::~Intake() = default;

// Every touch of the pipe, the journal, the temp file and the intake's buffers happens
// between enter() and leave(). Once stop() has been called, enter() refuses, so after
// stop() returns the shutdown has them to itself.
bool Intake::enter() {
    std::lock_guard<std::mutex> lock(gate);
    if (stopping) {
        return false;
    }
    busy = true;
    return true;
}

void Intake::leave() {
    {
        std::lock_guard<std::mutex> lock(gate);
        busy = false;
    }
    idle.notify_all();
}

bool Intake::stopRequested() {
    std::lock_guard<std::mutex> lock(gate);
    return stopping;
}

void Intake::stop() {
    std::unique_lock<std::mutex> lock(gate);
    stopping = true;
    uint64_t one = 1;
    if (write(wakeFd.get(), &one, sizeof one) < 0) {
        // The counter cannot overflow from one write; nothing else can fail here.
    }
    idle.notify_all();
    idle.wait(lock, [this] { return !busy; });
}

FifoState Intake::openFifo() {
    if (!enter()) {
        return FifoState::Stopped;
    }
    Busy busyNow{*this};
    if (!create_fifo(paths)) {
        return FifoState::NotCreated;
    }
    logger.info("FIFO created.");
    // From here on the pipe always has a reader, so nothing the broker writes is lost.
    return openReadEnd() ? FifoState::Ready : FifoState::NotOpened;
}

FifoState Intake::adoptFifo(int fd) {
    if (!enter()) {
        return FifoState::Stopped;
    }
    Busy busyNow{*this};
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        logger.error("open error on fifo.");
        return FifoState::NotOpened;
    }
    // A file left by an interrupted start by hand still holds documents.
    take_in_incoming(paths);
    readEnd.reset(fd);
    struct stat st;
    if (fstat(fd, &st) == 0) {
        cutter.setBlockSize(static_cast<size_t>(st.st_blksize));
    }
    passed = true;
    logger.info("FIFO passed in by systemd.");
    return FifoState::Ready;
}

// Opens the next read end before closing the previous one: the pipe never lacks a
// reader, and the new read end reports a hang-up only for writers that come later.
bool Intake::openReadEnd() {
    files::Fd fd(files::openOwned(paths.fifo, O_RDONLY | O_NONBLOCK, 0));
    struct stat st;
    if (fd && (fstat(fd.get(), &st) != 0 || !S_ISFIFO(st.st_mode))) {
        fd.reset();
    }
    if (!fd) {
        logger.error("open error on fifo.");
        return false;
    }
    // Writers write through stdio buffers of the pipe's block size.
    cutter.setBlockSize(static_cast<size_t>(st.st_blksize));
    readEnd = std::move(fd);
    received = false;
    return true;
}

IntakeEnd Intake::run() {
    for (;;) {
        int wait;
        bool reading;
        pollfd fds[2];
        {
            if (!enter()) {
                return IntakeEnd::Stopped;
            }
            Busy busyNow{*this};
            if (!readEnd && !openReadEnd()) {
                return IntakeEnd::PipeFailed;
            }
            wait = work();
            // Nothing more is read from the pipe while the journal cannot take it.
            reading = !journal.holdsUnwritten() && !journal.failing();
            // systemd's pipe never reports the end of a delivery.
            if (received && reading && !passed && (wait < 0 || wait > kDeliveryPollMs)) {
                wait = kDeliveryPollMs;
            }
            fds[0] = {reading ? static_cast<int>(readEnd.get()) : -1, POLLIN, 0};
            fds[1] = {wakeFd.get(), POLLIN, 0};
        }
        beat.waiting();
        int ready = poll(fds, 2, wait);
        beat.working(kTurnLimit);
        if (!enter()) {
            return IntakeEnd::Stopped;
        }
        Busy busyNow{*this};
        if (reading && !readPipe(ready > 0 && (fds[0].revents & POLLHUP) != 0)) {
            return IntakeEnd::PipeFailed;
        }
    }
}

// Appends what the pipe holds to the journal. When every writer has gone the delivery
// is over: where it ended is noted and the next read end replaces the current one.
bool Intake::readPipe(bool hangup) {
    char chunk[kChunk];
    for (int reads = 0; reads < kReadsPerTurn; ++reads) {
        bool spliced = journal.splices() && !journal.holdsUnwritten();
        ssize_t n =
            spliced ? journal.splice(readEnd.get(), kChunk) : read(readEnd.get(), chunk, kChunk);
        if (n < 0 && errno == EINVAL && spliced) {
            continue;
        }
        if (n > 0) {
            received = true;
            // New documents are worth a try soon, however long the pause has grown.
            retryAt = std::min(retryAt, Clock::now() + kFirstPause);
            if (!spliced && !journal.append(chunk, static_cast<size_t>(n))) {
                return true;
            }
            continue;
        }
        if (n < 0 && spliced && journal.failing()) {
            return true; // what follows stays in the pipe until the journal takes it
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || passed) {
            return true; // a writer is still connected (systemd's end always is)
        }
        if (received || hangup) {
            deliveryEnds.push_back(journal.size());
        }
        return openReadEnd();
    }
    return true;
}

void Intake::failed(const std::string& why) {
    ++attempts;
    ++counted.retries;
    bool quiet =
        why.find("database is locked") != std::string::npos && attempts <= kQuietBusyAttempts;
    if (why != failure && !quiet) {
        logger.error("%s; the documents wait in %s and are tried again, after at most %lld s.",
                     why.c_str(), paths.pending.c_str(),
                     static_cast<long long>(kLongestPause.count() / 1000));
        failure = why;
    }
    pause = grown_pause(pause);
    retryAt = Clock::now() + pause;
}

void Intake::succeeded() {
    if (!failure.empty()) {
        logger.info("Documents are stored again, after %d failed attempts.", attempts);
    }
    failure.clear();
    attempts = 0;
    pause = std::chrono::milliseconds(0);
}

bool Intake::openStore() {
    try {
        auto opened = std::make_unique<SQLiteDB>(paths.database, paths.temp);
        // Made in every database the store opens, so that the next commit can record it.
        unsigned long long position = opened->intakePosition();
        store = std::move(opened);
        if (positioned) {
            return true;
        }
        // A journal set aside for compaction belongs to a position recorded before it.
        struct stat st;
        std::string old = journal.setAsidePath();
        if (lstat(old.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (position == 0 || position == static_cast<unsigned long long>(st.st_size)) {
                position = 0;
                compactedLeft = true;
            } else {
                unlink(old.c_str());
            }
        }
        const unsigned long long journalSize = journal.size();
        if (position > journalSize) {
            logger.warn("The stored position %llu is beyond the end of %s (%llu bytes): it is "
                        "taken in from its start.",
                        position, paths.pending.c_str(), journalSize);
            position = 0;
        }
        stored = fed = origin = position;
        positioned = true;
        if (journalSize > position) {
            recovering = true;
            recoverUpTo = journalSize;
            recoveredCount = 0;
            logger.info("Taking in %llu bytes from %s.", journalSize - position,
                        paths.pending.c_str());
            if (!passed) {
                // What an earlier run left ends like a delivery; with a pipe held by
                // systemd the rest of a document may still wait in the pipe.
                deliveryEnds.push_front(journalSize);
            }
        } else {
            compactNow = journalSize > 0;
        }
        return true;
    } catch (const std::exception& e) {
        store.reset();
        failed(std::string("The store cannot be opened: ") + e.what());
        return false;
    }
}

bool Intake::nextDocument(std::string& document) {
    for (;;) {
        if (cutter.next(document)) {
            return true;
        }
        unsigned long long limit = deliveryEnds.empty() ? journal.size() : deliveryEnds.front();
        if (fed < limit && journal.isOpen()) {
            char chunk[kChunk];
            size_t want = static_cast<size_t>(std::min<unsigned long long>(kChunk, limit - fed));
            ssize_t n = journal.read(fed, chunk, want);
            if (n <= 0) {
                // Cut short behind the intake's back: read as it now stands.
                failed(
                    "Unable to read the journal " + paths.pending + ": " +
                    (n < 0 ? files::errorText(errno) : std::string("it is shorter than expected")));
                while (!deliveryEnds.empty() && deliveryEnds.back() > journal.size()) {
                    deliveryEnds.pop_back();
                }
                fed = std::min(fed, journal.size());
                return false;
            }
            cutter.add(chunk, static_cast<size_t>(n));
            fed += static_cast<size_t>(n);
            continue;
        }
        if (!deliveryEnds.empty() && fed >= deliveryEnds.front()) {
            deliveryEnds.pop_front();
            if (cutter.finish(document)) {
                return true;
            }
            continue;
        }
        return false;
    }
}

bool Intake::handleDocument(const std::string& document, unsigned long long end) {
    std::string why;
    if (!write_temp(paths.temp, document, without_trailer(document), why)) {
        failed("Unable to open indication temp file " + paths.temp + ": " + why);
        return false;
    }
    logger.info("Received a document of %zu bytes.", document.size());
    ++counted.received;
    size_t before = batch->rows.size();
    std::string error;
    store->collectInto(&batch->rows);
    try {
        error = parse_temp_file(*store, paths.temp, client);
    } catch (const std::exception& e) {
        error = e.what();
    }
    store->collectInto(nullptr);
    size_t rows = batch->rows.size() - before;
    if (rows > 0 && !error.empty() && !is_whole(document)) {
        // No row from a document that is not whole: its bytes are kept as they came.
        batch->rows.rows.resize(before);
        logger.warn("The document of %zu bytes ending at %llu in %s is not whole (%s): no "
                    "row is stored from it.",
                    document.size(), end, paths.pending.c_str(), error.c_str());
        counted.strayDropped +=
            keep_stray(paths.stray, document, "bytes of a document that is not whole");
        ++counted.damaged;
    } else if (rows == 0 || !error.empty()) {
        logger.warn("The document of %zu bytes %s: %s", document.size(),
                    rows == 0 ? "gave no indication" : "ended early",
                    error.empty() ? "no instance in it" : error.c_str());
    }
    if (document.size() >= kLargeDocument) {
        malloc_trim(0);
    }
    return true;
}

bool Intake::commit() {
    // The journal reaches the disk before the position that names it: after a power
    // loss the position never lies beyond what the journal still holds. Once per group:
    // the sync costs about a fifth of the commit.
    const int unsynced = journal.sync(batchEnd);
    if (unsynced != 0) {
        failed("Unable to sync the journal " + paths.pending + ": " + files::errorText(unsynced));
        return false;
    }
    int rc = store->commitBatch(batch->rows, batchEnd);
    if (rc != SQLITE_OK) {
        store.reset(); // opened afresh, which also mends a damaged file or table
        failed(std::string("The store failed: ") + sqlite3_errstr(rc));
        return false;
    }
    succeeded();
    if (compactedLeft) {
        unlink(journal.setAsidePath().c_str());
        compactedLeft = false;
    }
    stored = batchEnd;
    counted.stored += batchDocuments;
    batch->rows = SQLiteDB::Batch();
    if (recovering) {
        if (stored >= recoverUpTo) {
            recovering = false;
            compactNow = true;
            logger.info("Documents recovered from %s: %zu.", paths.pending.c_str(), recoveredCount);
        }
    }
    batchDocuments = 0;
    return true;
}

// Once every document in the journal is stored, the journal starts again: it is moved
// aside, the position 0 is committed and the old one removed. A kill between these
// steps leaves the old journal beside the position it belongs to, which the next start
// recognises.
void Intake::compact() {
    // A delivery whose end is noted and whose bytes are all cut holds nothing more.
    const unsigned long long journalSize = journal.size();
    bool idleNow = positioned && stored == journalSize && fed == journalSize &&
                   batchDocuments == 0 && !holding && !journal.holdsUnwritten() && cutter.idle() &&
                   (deliveryEnds.empty() || deliveryEnds.back() <= fed);
    if (!idleNow || journalSize == 0 || (!compactNow && journalSize < kCompactBytes)) {
        return;
    }
    compactNow = false;
    deliveryEnds.clear();
    if (!journal.setAside()) {
        return;
    }
    const std::string old = journal.setAsidePath();
    fed = stored = origin = 0;
    cutter = DocumentCutter(cutter.blockSize());
    compactedLeft = true;
    if (store->commitBatch(SQLiteDB::Batch(), 0) == SQLITE_OK) {
        unlink(old.c_str());
        compactedLeft = false;
    }
    // The next byte from the pipe makes a new journal.
}

// Cuts, parses and commits documents in groups until none is left, one cannot be
// handled now, or stop() is called. False when a commit failed.
bool Intake::storeDocuments() {
    std::string document;
    while (!stopRequested()) {
        // Documents put back together from one stretch are committed together: the
        // position never points between them.
        if (batchDocuments > 0 && batchWhole &&
            (batchDocuments >= kGroupDocuments ||
             Clock::now() - batchStart >= std::chrono::milliseconds(kGroupMs))) {
            if (!commit()) {
                return false;
            }
        }
        unsigned long long end;
        bool whole;
        if (holding) {
            document.swap(held);
            end = heldEnd;
            whole = heldWhole;
            holding = false;
        } else if (nextDocument(document)) {
            end = origin + cutter.consumed();
            whole = cutter.atBoundary();
            keepPassedOver();
        } else {
            keepPassedOver();
            break;
        }
        if (batchDocuments == 0) {
            batchStart = Clock::now();
        }
        if (!handleDocument(document, end)) {
            held.swap(document);
            heldEnd = end;
            heldWhole = whole;
            holding = true;
            break;
        }
        ++batchDocuments;
        batchEnd = end;
        batchWhole = whole;
        if (recovering && end <= recoverUpTo) {
            ++recoveredCount;
        }
    }
    return batchDocuments == 0 || !batchWhole || commit();
}

// Keeps what the cutter passed over: stray bytes, and stretches of documents whose
// pieces could not be told apart.
void Intake::countDamaged(size_t documents) {
    counted.damaged += documents;
}

void Intake::keepPassedOver() {
    const size_t untold = cutter.takeUntold();
    const std::string bytes = cutter.takeStray();
    if (untold == 0) {
        counted.strayDropped += keep_stray(paths.stray, bytes, "stray bytes between documents");
        return;
    }
    const std::string what = "bytes of " + std::to_string(untold) +
                             " interleaved documents whose pieces cannot be told apart";
    counted.strayDropped += keep_stray(paths.stray, bytes, what.c_str());
    countDamaged(untold);
}

// Handles what the journal holds as far as the store lets it; returns how long the
// loop may wait before calling again (-1: until the pipe has something).
int Intake::work() {
    int wait = -1;
    auto until = [&wait](Clock::time_point when) {
        int ms = millis_until(when);
        wait = wait < 0 ? ms : std::min(wait, ms);
    };
    if (journal.retry(readEnd.get(), positioned)) {
        received = true;
    }
    if (journal.failing()) {
        until(journal.retryAt());
    }
    if (!positioned && !journal.isOpen() && !journal.open(false)) {
        return wait; // the stored position means nothing without the journal's length
    }
    if (Clock::now() < retryAt || (!store && !openStore())) {
        until(retryAt);
        return wait;
    }
    if (batchDocuments > 0 && batchWhole && !commit()) {
        until(retryAt);
        return wait;
    }
    if (!storeDocuments() || holding || Clock::now() < retryAt) {
        until(retryAt);
        return wait;
    }
    compact();
    return wait;
}

void Intake::saveUnhandled(int waitMs) {
    if (!passed && readEnd) {
        drainPipe(waitMs);
    }
    // Nothing left to take in: no journal stays behind.
    if (store) {
        compactNow = true;
        compact();
    }
}

// What systemd's pipe holds waits there for the next start; a pipe of our own is
// removed, so its rest goes into the journal.
void Intake::drainPipe(int waitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    char chunk[kChunk];
    std::string rest;
    rest = journal.takeUnwritten();
    for (;;) {
        ssize_t n = read(readEnd.get(), chunk, sizeof chunk);
        if (n > 0) {
            rest.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            break; // every writer has gone
        }
        int left = millis_until(deadline) - 1;
        if (left <= 0) {
            break;
        }
        pollfd fd = {readEnd.get(), POLLIN, 0};
        poll(&fd, 1, std::min(left, 20));
    }
    if (!rest.empty() && !journal.append(rest.data(), rest.size())) {
        logger.error("Unable to keep %zu bytes from the FIFO for the next start.",
                     journal.takeUnwritten().size());
    }
}
