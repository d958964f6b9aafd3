#include "intake.h"

#include "XMLTextReader.h"
#include "logger.h"
#include "parser.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// While a writer may still be connected after bytes have arrived, the pipe is looked
// at this often: a writer that connected before the current read end was opened does
// not raise a hang-up when it leaves, and only a read tells that it has gone.
const int kDeliveryPollMs = 100;
const size_t kChunk = 65536;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool is_blank(const char* begin, const char* end) {
    for (const char* p = begin; p != end; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
            return false;
        }
    }
    return true;
}

bool has_content(const std::string& text) {
    return !is_blank(text.data(), text.data() + text.size());
}

// The broker's trailer, "=========== End of Indication ===========". A line of markup
// that happens to carry the words (a property value) is not one.
bool is_trailer(const char* begin, const char* end) {
    static const char kWords[] = "End of Indication";
    const char* found = std::search(begin, end, kWords, kWords + sizeof kWords - 1);
    return found != end && std::find(begin, end, '<') == end;
}

bool starts_declaration(const char* begin, const char* end) {
    static const char kDeclaration[] = "<?xml";
    size_t length = sizeof kDeclaration - 1;
    return static_cast<size_t>(end - begin) >= length && memcmp(begin, kDeclaration, length) == 0;
}

bool read_whole_file(const std::string& path, std::string& content) {
    FilePtr file(fopen(path.c_str(), "r"));
    if (!file) {
        return false;
    }
    char chunk[kChunk];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        content.append(chunk, n);
    }
    return true;
}

bool write_all(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool append_to_file(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = write_all(fd, content) && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

bool replace_file(const std::string& path, const std::string& content) {
    std::string next = path + ".new";
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = write_all(fd, content) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok && rename(next.c_str(), path.c_str()) == 0;
}

// Moves a regular file found at the pipe path to the pending file, or appends it there
// when documents from an earlier run are still pending.
bool set_aside(const IntakePaths& paths) {
    struct stat st;
    if (lstat(paths.pending.c_str(), &st) != 0 && errno == ENOENT) {
        return rename(paths.fifo.c_str(), paths.pending.c_str()) == 0;
    }
    std::string content;
    return read_whole_file(paths.fifo, content) && append_to_file(paths.pending, content) &&
           unlink(paths.fifo.c_str()) == 0;
}

// Hands the document in the temp file at `path` to the parser, which stores every
// indication in it through the intake's store handle. Exceptions are left to
// Intake::run.
void parse_temp_file(SQLiteDB& store, const std::string& path) {
    xmlTextReaderPtr xml = xmlReaderForFile(path.c_str(), "utf-8", 0);
    XMLTextReader reader(xml);
    Parser parser(&store, reader);
    parser.parseIndicationResp();
    xmlFreeTextReader(xml);
}

// The length of a document without its trailer line, if it ends with one. libxml2
// reads ahead, and text after the root element makes it report an error before it
// has handed over the last nodes it read: the trailer would cost the properties at
// the end of every document.
size_t without_trailer(const std::string& document) {
    size_t end = document.size();
    if (end > 0 && document[end - 1] == '\n') {
        --end;
    }
    size_t start = document.rfind('\n', end == 0 ? 0 : end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    if (start < end && is_trailer(document.data() + start, document.data() + end)) {
        return start;
    }
    return document.size();
}

} // namespace

void DocumentCutter::add(const char* data, size_t size) {
    buffer.append(data, size);
}

bool DocumentCutter::next(std::string& document) {
    for (;;) {
        size_t newline = buffer.find('\n', scanned);
        if (newline == std::string::npos) {
            return false;
        }
        const char* line = buffer.data() + scanned;
        const char* end = buffer.data() + newline;
        size_t length = 0;
        if (content && starts_declaration(line, end)) {
            length = scanned; // a new document begins on this line
        } else if (is_trailer(line, end)) {
            length = newline + 1; // the trailer belongs to the document before it
        } else {
            content = content || !is_blank(line, end);
            scanned = newline + 1;
            continue;
        }
        document.assign(buffer, 0, length);
        buffer.erase(0, length);
        scanned = 0;
        content = false;
        cut = true;
        return true;
    }
}

bool DocumentCutter::finish(std::string& document) {
    bool any = !cut || has_content(buffer);
    if (any) {
        document.swap(buffer);
    }
    buffer.clear();
    scanned = 0;
    content = false;
    cut = false;
    return any;
}

void delete_fifo(const IntakePaths& paths) {
    struct stat st;
    if (lstat(paths.fifo.c_str(), &st) != 0) {
        logger.info("Trying to delete FIFO but it doesn't exist.");
        return;
    }
    // A regular file there is what the broker wrote while the pipe was missing.
    bool removed = S_ISREG(st.st_mode) ? set_aside(paths) : unlink(paths.fifo.c_str()) == 0;
    if (!removed) {
        logger.error("Unable to delete the FIFO.");
    }
}

int create_fifo(const IntakePaths& paths) {
    delete_fifo(paths);
    if (mkfifo(paths.fifo.c_str(), 0644) != 0) {
        logger.error("Unable to create FIFO.");
        return 0;
    }
    return 1;
}

// Leaves the busy stretch begun by a successful enter().
struct Intake::Busy {
    Intake& intake;
    ~Busy() { intake.leave(); }
};

Intake::Intake(IntakePaths paths) : paths(std::move(paths)) {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Intake::~Intake() {
    if (readEnd >= 0) {
        close(readEnd);
    }
    if (wakeFd >= 0) {
        close(wakeFd);
    }
}

// Every touch of the pipe, the temp file and the intake's buffers happens between
// enter() and leave(). Once stop() has been called, enter() refuses, so after stop()
// returns the shutdown has them to itself.
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
    if (write(wakeFd, &one, sizeof one) < 0) {
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

// Opens the next read end before closing the previous one: the pipe never lacks a
// reader, and the new read end reports a hang-up only for writers that come later.
bool Intake::openReadEnd() {
    int fd = open(paths.fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        logger.error("open error on fifo.");
        return false;
    }
    if (readEnd >= 0) {
        close(readEnd);
    }
    readEnd = fd;
    received = false;
    return true;
}

IntakeEnd Intake::run() {
    IntakeEnd end = IntakeEnd::Stopped;
    for (;;) {
        if (stopRequested()) {
            return IntakeEnd::Stopped; // the shutdown came while the store could not open
        }
        try {
            // Restart point: the store handle is kept for every document until an
            // exception ends the cycle.
            store = std::make_unique<SQLiteDB>(paths.database, paths.temp);
            if (!recover(end) || !readPipe(end)) {
                return end;
            }
        } catch (...) {
            store.reset();
            pauseBeforeRestart();
        }
    }
}

void Intake::pauseBeforeRestart() {
    std::unique_lock<std::mutex> lock(gate);
    idle.wait_for(lock, std::chrono::seconds(2), [this] { return stopping; });
}

// Takes in the pending documents, if any, before anything is read from the pipe.
bool Intake::recover(IntakeEnd& end) {
    if (!enter()) {
        end = IntakeEnd::Stopped;
        return false;
    }
    Busy busyNow{*this};
    if (readEnd < 0 && !openReadEnd()) {
        end = IntakeEnd::PipeFailed;
        return false;
    }
    if (!recovering) {
        std::string content;
        if (!read_whole_file(paths.pending, content)) {
            return true;
        }
        recovered.add(content.data(), content.size());
        recovering = true;
        recoveredCount = 0;
    }
    std::string document;
    while (recovered.next(document)) {
        if (!handleDocument(document)) {
            end = IntakeEnd::TempFileFailed;
            return false;
        }
        ++recoveredCount;
        if (stopRequested()) {
            end = IntakeEnd::Stopped;
            return false;
        }
    }
    if (recovered.finish(document) && !document.empty()) {
        if (!handleDocument(document)) {
            end = IntakeEnd::TempFileFailed;
            return false;
        }
        ++recoveredCount;
    }
    unlink(paths.pending.c_str());
    recovering = false;
    logger.info("Documents recovered from %s: %zu.", paths.pending.c_str(), recoveredCount);
    return true;
}

bool Intake::readPipe(IntakeEnd& end) {
    for (;;) {
        pollfd fds[2] = {{readEnd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, received ? kDeliveryPollMs : -1);
        if (!enter()) {
            end = IntakeEnd::Stopped;
            return false;
        }
        Busy busyNow{*this};
        if (!drain(ready > 0 && (fds[0].revents & POLLHUP) != 0, end)) {
            return false;
        }
    }
}

// Reads what the pipe holds and handles every complete document. When every writer
// has gone the delivery is over: its rest is handled as one more document and the
// next read end replaces the current one.
bool Intake::drain(bool hangup, IntakeEnd& end) {
    char chunk[kChunk];
    std::string document;
    for (;;) {
        while (cutter.next(document)) {
            if (!handleDocument(document)) {
                end = IntakeEnd::TempFileFailed;
                return false;
            }
            if (stopRequested()) {
                end = IntakeEnd::Stopped;
                return false;
            }
        }
        ssize_t n = read(readEnd, chunk, sizeof chunk);
        if (n > 0) {
            received = true;
            cutter.add(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return true; // a writer is still connected
        }
        if ((received || hangup) && cutter.finish(document) && !handleDocument(document)) {
            end = IntakeEnd::TempFileFailed;
            return false;
        }
        if (!openReadEnd()) {
            end = IntakeEnd::PipeFailed;
            return false;
        }
        return true;
    }
}

bool Intake::handleDocument(const std::string& document) {
    FilePtr temp(fopen(paths.temp.c_str(), "w"));
    if (!temp) {
        logger.error("Unable to open indication temp file.");
        return false;
    }
    fwrite(document.data(), 1, without_trailer(document), temp.get());
    temp.reset(); // the copy is complete on disk before it is parsed
    logger.info("Received a document of %zu bytes.", document.size());
    parse_temp_file(*store, paths.temp);
    return true;
}

void Intake::saveUnhandled(int waitMs) {
    std::string rest = cutter.unhandled();
    if (readEnd >= 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        char chunk[kChunk];
        for (;;) {
            ssize_t n = read(readEnd, chunk, sizeof chunk);
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
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) {
                break;
            }
            pollfd fd = {readEnd, POLLIN, 0};
            poll(&fd, 1, static_cast<int>(std::min<long long>(left, 20)));
        }
    }
    if (recovering) {
        // The pending file still holds documents already taken in: keep only the rest.
        rest.insert(0, recovered.unhandled());
        if (has_content(rest)) {
            replace_file(paths.pending, rest);
        } else {
            unlink(paths.pending.c_str());
        }
    } else if (has_content(rest)) {
        append_to_file(paths.pending, rest);
    }
}
