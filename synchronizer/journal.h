#ifndef ORVIND_JOURNAL_H
#define ORVIND_JOURNAL_H

#include "files.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>

// The intake journal: every byte taken from the pipe is appended here before it is
// handled, and the database records how far its documents are stored. It only ever
// grows, until everything in it is stored and it is compacted: set aside beside itself,
// and started anew with the next byte.
class Journal {
public:
    using Clock = std::chrono::steady_clock;

    explicit Journal(std::string path);

    const std::string& path() const { return file; }
    // Where the journal goes while it is compacted.
    std::string setAsidePath() const { return file + ".stored"; }

    // Opens the journal; without `create` a missing journal counts as an empty one.
    bool open(bool create);
    bool isOpen() const { return static_cast<bool>(fd); }
    unsigned long long size() const { return length; }

    // Appends the bytes; what cannot be written is kept until retry() writes it.
    bool append(const char* data, size_t size);
    // Moves up to `most` bytes from the pipe `pipe` to the journal's end inside the
    // kernel. A byte is then either still in the pipe or in the journal, whenever the
    // daemon is killed; a read() would hold it in the process's memory in between.
    // Returns what read() would, with EAGAIN also when the journal cannot take bytes now
    // (they stay in the pipe) and EINVAL once the journal's file system refuses it.
    ssize_t splice(int pipe, size_t most);
    // Splicing works on the journal's file system.
    bool splices() const { return splicing; }

    // Reads from the journal at `at`; on a short journal (cut behind the intake's back)
    // its size is taken as it now stands. Returns what pread() does.
    ssize_t read(unsigned long long at, char* buffer, size_t size);
    // Brings the journal's bytes up to `upTo` to the disk, before a position that names
    // them is committed. 0, or the error.
    int sync(unsigned long long upTo);

    // A failure to open or write the journal stands: the pipe is not read meanwhile.
    bool failing() const { return !failure.empty(); }
    bool holdsUnwritten() const { return !unwritten.empty(); }
    // When the next try is due.
    Clock::time_point retryAt() const { return appendAt; }
    // After a failure, tries again once the pause is over: first what was taken from
    // the pipe and not written, then whether the journal takes bytes from `pipe` (-1:
    // none) or opens at all. True when bytes moved from the pipe.
    bool retry(int pipe, bool create);
    // What was taken from the pipe and not yet written, handed over.
    std::string takeUnwritten();

    // Compaction, once everything in it is stored: the journal is moved aside and its
    // name synced. False when it stays where it is.
    bool setAside();

private:
    void failed(const char* doing, int error);
    void written();

    std::string file;
    files::Fd fd;
    unsigned long long length = 0;
    // The journal is on disk up to here.
    unsigned long long synced = 0;
    // Taken from the pipe and not yet in the journal (it could not be written).
    std::string unwritten;
    // The pipe's bytes move into the journal inside the kernel (splice); false once the
    // journal's file system refused it, and the bytes are read and written instead.
    bool splicing = true;
    // The failure to open or write the journal, reported once, and its pause.
    std::string failure;
    Clock::time_point appendAt;
    std::chrono::milliseconds appendPause{0};
};

// The pause after a failure that may pass: doubled each time, up to a minute.
std::chrono::milliseconds grown_pause(std::chrono::milliseconds pause);

// Keeps bytes that belong to no document in the file at `path`, since the journal that
// held them is compacted once its documents are stored. `what` says what they are. The
// file is bounded at 16 MiB: past that its oldest half is dropped, with a line. Returns
// the bytes dropped.
size_t keep_stray(const std::string& path, const std::string& bytes, const char* what);

#endif
