#include "journal.h"

#include "logger.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The intake's own files: the journal and the stray bytes.
const mode_t kPrivateMode = 0600;

const std::chrono::milliseconds kFirstPause(500);
// The stray file's bound: past it the oldest half is dropped.
const size_t kStrayBound = 16U << 20;
const std::chrono::milliseconds kLongestPause(60000);

} // namespace

std::chrono::milliseconds grown_pause(std::chrono::milliseconds pause) {
    return pause.count() == 0 ? kFirstPause : std::min(pause * 2, kLongestPause);
}

Journal::Journal(std::string path) : file(std::move(path)) {}

bool Journal::open(bool create) {
    if (fd) {
        return true;
    }
    bool created = false;
    fd = files::openRegular(file, O_RDWR | (create ? O_CREAT : 0), kPrivateMode, &created);
    struct stat st;
    if (!fd && errno == ENOENT && !create) {
        length = 0;
        return true;
    }
    // A new journal's name is on disk before any position names a byte of it.
    if (!fd || fstat(fd.get(), &st) != 0 || (created && files::syncFolderOf(file) != 0)) {
        int error = errno;
        fd.reset();
        failed("open", error);
        return false;
    }
    // A journal cut short behind the intake's back (it only ever grows) is read as
    // it now stands.
    length = static_cast<unsigned long long>(st.st_size);
    synced = std::min(synced, length);
    return true;
}

void Journal::written() {
    if (!failure.empty()) {
        logger.info("The journal %s is written again.", file.c_str());
        failure.clear();
    }
    appendPause = std::chrono::milliseconds(0);
}

bool Journal::append(const char* data, size_t size) {
    if (!open(true)) {
        unwritten.append(data, size);
        return false;
    }
    size_t done = 0;
    int error = 0;
    while (done < size) {
        ssize_t n = pwrite(fd.get(), data + done, size - done, static_cast<off_t>(length));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
        length += static_cast<size_t>(n);
    }
    if (done < size) {
        unwritten.assign(data + done, size - done);
        failed("write", error);
        return false;
    }
    written();
    return true;
}

// Reports a failure to "open" or "write" the journal once, and pauses before the next try.
void Journal::failed(const char* doing, int error) {
    std::string why = files::errorText(error);
    if (why != failure) {
        logger.error("Unable to %s the journal %s: %s; what follows stays in the pipe.", doing,
                     file.c_str(), why.c_str());
        failure = why;
    }
    appendPause = grown_pause(appendPause);
    appendAt = Clock::now() + appendPause;
}

ssize_t Journal::splice(int pipe, size_t most) {
    if (!open(true)) {
        errno = EAGAIN;
        return -1;
    }
    loff_t at = static_cast<loff_t>(length);
    ssize_t n = ::splice(pipe, nullptr, fd.get(), &at, most, SPLICE_F_NONBLOCK);
    if (n > 0) {
        length += static_cast<size_t>(n);
        written();
    } else if (n < 0 && errno == EINVAL) {
        splicing = false; // a file system without splice: read and write
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        failed("write", errno);
        errno = EAGAIN;
    }
    return n;
}

ssize_t Journal::read(unsigned long long at, char* buffer, size_t size) {
    ssize_t n;
    do {
        n = pread(fd.get(), buffer, size, static_cast<off_t>(at));
    } while (n < 0 && errno == EINTR);
    struct stat st;
    if (n <= 0 && fstat(fd.get(), &st) == 0) {
        length = static_cast<unsigned long long>(st.st_size);
        synced = std::min(synced, length);
    }
    return n;
}

int Journal::sync(unsigned long long upTo) {
    if (fd && synced < upTo && fdatasync(fd.get()) != 0) {
        return errno;
    }
    synced = std::max(synced, upTo);
    return 0;
}

bool Journal::retry(int pipe, bool create) {
    if (failure.empty() || Clock::now() < appendAt) {
        return false;
    }
    if (!unwritten.empty()) {
        std::string rest;
        rest.swap(unwritten);
        append(rest.data(), rest.size());
        return false;
    }
    if (fd && splicing && pipe >= 0) {
        // Whether the journal takes bytes again shows with the pipe's next ones: they
        // are moved now, or the failure stands and its pause grows.
        const size_t kChunk = 65536;
        if (splice(pipe, kChunk) > 0) {
            return true;
        }
        if (Clock::now() >= appendAt) {
            written();
        }
        return false;
    }
    if (open(create)) {
        written();
    }
    return false;
}

std::string Journal::takeUnwritten() {
    std::string rest;
    rest.swap(unwritten);
    return rest;
}

bool Journal::setAside() {
    const std::string old = setAsidePath();
    if (rename(file.c_str(), old.c_str()) != 0) {
        return false;
    }
    // The position 0 is committed only once the journal is known to be set aside: else
    // a power loss could bring the stored journal back under that position.
    if (files::syncFolderOf(old) != 0) {
        rename(old.c_str(), file.c_str());
        return false;
    }
    fd.reset();
    length = synced = 0;
    return true;
}

size_t keep_stray(const std::string& path, const std::string& bytes, const char* what) {
    if (bytes.empty()) {
        return 0;
    }
    // Kept before the journal that holds them is compacted away; past its bound the
    // file keeps its newest half.
    size_t dropped = 0;
    struct stat st;
    int error = 0;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<unsigned long long>(st.st_size) + bytes.size() > kStrayBound) {
        std::string kept;
        {
            files::Fd fd(files::openRegular(path, O_RDONLY, kPrivateMode));
            char chunk[65536];
            ssize_t n;
            while (fd && (n = read(fd.get(), chunk, sizeof chunk)) > 0) {
                kept.append(chunk, static_cast<size_t>(n));
            }
        }
        kept += bytes;
        while (kept.size() > kStrayBound) {
            const size_t half = kept.size() / 2;
            dropped += half;
            kept.erase(0, half);
        }
        error = files::writeDurably(path, kept.data(), kept.size(), kPrivateMode);
        if (error == 0) {
            logger.warn("The stray file %s reached %zu MiB: its oldest %zu bytes are dropped.",
                        path.c_str(), kStrayBound >> 20, dropped);
        }
    } else {
        error = files::appendDurably(path, bytes.data(), bytes.size(), kPrivateMode);
    }
    if (error == 0) {
        logger.warn("Passed over %zu %s; kept in %s.", bytes.size(), what, path.c_str());
    } else {
        logger.warn("Passed over %zu %s; not kept in %s: %s.", bytes.size(), what, path.c_str(),
                    files::errorText(error).c_str());
    }
    return error == 0 ? dropped : 0;
}
