#ifndef ORVIND_FILES_H
#define ORVIND_FILES_H

#include "writeall.h"

#include <cstddef>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/types.h>

// Safe handling of the files the daemon owns. The daemon runs as root in folders that
// only root may write to, yet it never writes through or reads from a symbolic link
// found where one of its files should be: every open adds O_NOFOLLOW and O_CLOEXEC,
// every file is created with an explicit mode (whatever the umask), temporaries are
// made anew each time, and what is not a regular file is moved aside with one line.
//
// Functions that can fail answer 0 or an errno value, so that callers log the failure
// with their own messages; only moveAside() and narrowMode() log by themselves.
namespace files {

// A descriptor as the "pointer" of a std::unique_ptr: -1 is the empty value.
class Descriptor {
public:
    Descriptor() = default;
    Descriptor(std::nullptr_t) {}
    Descriptor(int value) : fd(value) {}
    operator int() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    friend bool operator==(Descriptor a, Descriptor b) { return a.fd == b.fd; }
    friend bool operator!=(Descriptor a, Descriptor b) { return a.fd != b.fd; }

private:
    int fd = -1;
};

struct DescriptorCloser {
    using pointer = Descriptor;
    void operator()(Descriptor fd) const;
};

// The one owner of an open descriptor: `Fd fd(open(...)); if (!fd) ...; write(fd.get(), ...)`.
using Fd = std::unique_ptr<Descriptor, DescriptorCloser>;

// The system's text for an errno value (thread-safe).
std::string errorText(int error);

// Opens `path` with `flags` plus O_NOFOLLOW and O_CLOEXEC: a symbolic link at `path`
// fails with ELOOP and is neither followed nor changed. With O_CREAT a file made by
// this call gets exactly `mode` (the umask does not narrow it further); an existing
// file keeps its mode. `created`, when given, tells whether the file was made here.
// Empty on failure, with errno set.
Fd openOwned(const std::string& path, int flags, mode_t mode, bool* created = nullptr);

// Makes `path` anew for writing: removes whatever is there first (a leftover
// temporary, a link, a hard link to a file elsewhere: the entry only, never what it
// points to), then creates it with O_EXCL and exactly `mode`. `flags` is the access
// mode (O_WRONLY or O_RDWR) and any further flags. Empty on failure, with errno set.
Fd createAnew(const std::string& path, mode_t mode, int flags = O_WRONLY);

// Whether something that is not a regular file is at `path` (not following a link):
// "symbolic link", "named pipe", "directory", "socket", "device"; nullptr when nothing
// is there or a regular file is.
const char* notRegular(const std::string& path);

// When something other than a regular file is at `path`, renames it beside itself to
// "<path>.aside-YYYYmmddTHHMMSS" (a number added when that is taken) and logs one
// warning line; when it cannot be moved, logs one error line. True when `path` is now
// free or holds a regular file. With `line` given, the line is handed back there
// instead of being logged (for the logger itself), empty when there was nothing to say.
bool moveAside(const std::string& path, std::string* line = nullptr);

// Narrows the mode of the file open as `fd` (named `path` in the line) to at most
// `mode`: permission bits outside `mode` are cleared, with one info line; a mode
// already as narrow is left alone. 0 or an errno value. With `line` given, the line
// is handed back there instead of being logged.
int narrowMode(int fd, const std::string& path, mode_t mode, std::string* line = nullptr);
// The same by path, opening the file without following a link; nothing at `path` is
// fine (0), a link or anything else that is not a regular file is left alone (ELOOP
// or EINVAL).
int narrowMode(const std::string& path, mode_t mode);

// Makes an empty regular file with exactly `mode` if nothing is at `path` yet. 0 when
// a file is there (made now or before), or an errno value.
int makeFile(const std::string& path, mode_t mode);

// Opens a file of the daemon's own: what is not a regular file at `path` is moved
// aside first (moveAside), the file is opened as openOwned() does, and a file found
// with permission bits outside `mode` is narrowed to it (narrowMode). Empty on
// failure, with errno set.
Fd openRegular(const std::string& path, int flags, mode_t mode, bool* created = nullptr);

// Writes all `size` bytes, going on after short writes and interruptions. 0 or an
// errno value (ENOSPC when the device took nothing more).
using ::writeAll;

// Closes `fd` and answers what close() reported: 0 or an errno value (a delayed write
// error on some filesystems). An empty `fd` gives EBADF.
int closeWritten(Fd fd);

// Makes a completed rename, creation or removal in the folder of `path` durable.
int syncFolderOf(const std::string& path);

// Replaces the content of `path` durably: writes `size` bytes to "<path>.new" made
// anew with `mode`, syncs it, renames it over `path` and syncs the folder. After a
// crash at any moment `path` holds either its old or its new content. On failure the
// temporary is removed and `path` is unchanged. 0 or an errno value; `opened`, when
// given, tells whether the temporary could be made (false: nothing was written).
int writeDurably(const std::string& path, const void* data, size_t size, mode_t mode,
                 bool* opened = nullptr);

// Appends `size` bytes to `path` durably: the file is opened with openRegular() (made
// with `mode` when missing), written, synced and closed, and when it was made here its
// folder is synced as well. When this answers 0 the bytes survive a crash. 0 or an
// errno value; on failure part of the bytes may have been appended.
int appendDurably(const std::string& path, const void* data, size_t size, mode_t mode);

} // namespace files

#endif
