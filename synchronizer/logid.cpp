#include "logid.h"

#include "files.h"
#include "logger.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// How a mark is kept up to date with one sync and why it can never be torn.
//
// A mark file always holds exactly 4 bytes. An update overwrites them in place with
// one pwrite at offset 0 and then fdatasync:
// - A kill at any moment: the 4 bytes lie within the first page of the file; the
//   kernel copies them into that page in one step under the page's lock, and a
//   signal, SIGKILL included, takes effect only before or after a system call's copy
//   into one page. A reader, during or after the kill, sees all 4 old or all 4 new
//   bytes.
// - A power cut: the 4 bytes lie within the file's first sector, aligned at its
//   start; a disk writes a sector as a whole, so it holds the old or the new bytes.
//   The size never changes, so no metadata has to reach the disk with the data (one
//   fdatasync, no folder sync) and the file can never turn up empty or short.
// - fdatasync returns only once the new id is on the disk, so a mark never reads
//   older than a target the caller has been told was served.
// A file that is missing, shorter or longer than 4 bytes, or not a regular file
// (moved aside first) is made anew through a temporary file, synced and renamed,
// which keeps the same guarantees at the price of more syncs. That happens once.

namespace {

const mode_t kMarkMode = 0600;

enum class Found { Mark, Missing, Other, Failed };

// Opens the mark without following a link and tells what was found.
files::Fd openMark(const char* path, int flags, Found& found, off_t& size) {
    // O_NONBLOCK: a named pipe at the path must not block.
    files::Fd fd(files::openOwned(path, flags | O_NONBLOCK, 0));
    if (!fd) {
        found = errno == ENOENT ? Found::Missing : errno == ELOOP ? Found::Other : Found::Failed;
        return fd;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        found = Found::Failed;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        found = Found::Other;
        return nullptr;
    }
    found = Found::Mark;
    size = st.st_size;
    return fd;
}

// Makes the mark anew holding `id`; what is not a regular file is moved aside first.
int remake(const char* path, int id, bool& opened) {
    opened = false;
    if (!files::moveAside(path)) {
        return EEXIST;
    }
    return files::writeDurably(path, &id, sizeof id, kMarkMode, &opened);
}

// Reads the mark's 4 bytes into *id: Found::Mark, or Found::Other for a file too short to
// hold them, or what was found instead (Found::Failed with the errno value in *error).
Found readMark(const char* path, int* id, int* error) {
    Found found = Found::Failed;
    off_t size = 0;
    files::Fd fd(openMark(path, O_RDONLY, found, size));
    *error = errno;
    *id = 0;
    if (found != Found::Mark) {
        return found;
    }
    if (size < static_cast<off_t>(sizeof *id)) {
        return Found::Other;
    }
    const ssize_t done = pread(fd.get(), id, sizeof *id, 0);
    if (done == static_cast<ssize_t>(sizeof *id)) {
        return Found::Mark;
    }
    *error = done < 0 ? errno : EIO;
    *id = 0;
    return Found::Failed;
}

} // namespace

int GetLogid(const char* path) {
    int id = 0;
    int error = 0;
    const Found found = readMark(path, &id, &error);
    if (found == Found::Mark) {
        // 0 is what a new mark holds: no row handed over yet, nothing to say.
        if (id != 0) {
            logger.info("Last Log id: %d", id);
        }
        return id;
    }
    if (found == Found::Failed) {
        logger.error("Error opening log: %s for read", files::errorText(error).c_str());
        return 0;
    }
    // Missing, short or not a file: no row has been handed over (as far as is known).
    // It is made anew holding 0, so that every later update is a 4-byte overwrite.
    bool opened = false;
    error = remake(path, 0, opened);
    if (error != 0) {
        logger.error("Error opening log: %s for read", files::errorText(error).c_str());
    }
    return 0;
}

int SetLogid(const char* path, int lastLogid, bool quiet) {
    Found found = Found::Failed;
    off_t size = 0;
    files::Fd fd(openMark(path, O_WRONLY, found, size));
    int error = errno;
    if (found == Found::Mark && size == static_cast<off_t>(sizeof lastLogid)) {
        const ssize_t done = pwrite(fd.get(), &lastLogid, sizeof lastLogid, 0);
        error = done < 0 ? errno : done != static_cast<ssize_t>(sizeof lastLogid) ? EIO : 0;
        if (error == 0 && fdatasync(fd.get()) != 0) {
            error = errno;
        }
        if (error != 0 && !quiet) {
            logger.error("write Last id: %d to log file error ", lastLogid);
        }
        return error;
    }
    if (found == Found::Failed) {
        if (!quiet) {
            logger.error("Error opening log file: %s", files::errorText(error).c_str());
        }
        return error != 0 ? error : EIO;
    }
    fd.reset();
    bool opened = false;
    error = remake(path, lastLogid, opened);
    if (quiet) {
        return error;
    }
    if (error != 0 && !opened) {
        logger.error("Error opening log file: %s", files::errorText(error).c_str());
    } else if (error != 0) {
        logger.error("write Last id: %d to log file error ", lastLogid);
    }
    return error;
}

int ReadLogid(const char* path) {
    int id = 0;
    int error = 0;
    return readMark(path, &id, &error) == Found::Mark ? id : 0;
}
