#include "files.h"

#include "logger.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace files {

namespace {

const int kOwnedFlags = O_NOFOLLOW | O_CLOEXEC;

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "symbolic link";
    }
    if (S_ISFIFO(mode)) {
        return "named pipe";
    }
    if (S_ISDIR(mode)) {
        return "directory";
    }
    if (S_ISSOCK(mode)) {
        return "socket";
    }
    if (S_ISREG(mode)) {
        return nullptr;
    }
    return "device";
}

std::string folderOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string octal(mode_t mode) {
    char text[16];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace

void DescriptorCloser::operator()(Descriptor fd) const {
    ::close(fd);
}

std::string errorText(int error) {
    char buffer[256];
    // The GNU strerror_r answers a pointer that may or may not be the buffer.
    return strerror_r(error, buffer, sizeof buffer);
}

Fd openOwned(const std::string& path, int flags, mode_t mode, bool* created) {
    if (created != nullptr) {
        *created = false;
    }
    if ((flags & O_CREAT) == 0 || (flags & O_EXCL) != 0) {
        Fd fd(open(path.c_str(), flags | kOwnedFlags, mode));
        if (fd && (flags & O_CREAT) != 0) {
            fchmod(fd.get(), mode);
            if (created != nullptr) {
                *created = true;
            }
        }
        return fd;
    }
    // Tell a file made now (which gets exactly `mode`) from one that was there.
    for (int attempt = 0; attempt < 8; ++attempt) {
        Fd fd(open(path.c_str(), flags | O_EXCL | kOwnedFlags, mode));
        if (fd) {
            fchmod(fd.get(), mode);
            if (created != nullptr) {
                *created = true;
            }
            return fd;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
        fd.reset(open(path.c_str(), (flags & ~O_CREAT) | kOwnedFlags));
        if (fd || errno != ENOENT) {
            return fd;
        }
        // Removed between the two calls: try again.
    }
    errno = EAGAIN;
    return nullptr;
}

Fd createAnew(const std::string& path, mode_t mode, int flags) {
    // Only the entry goes, never what a link or a second hard link leads to.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        return nullptr; // errno tells why (EISDIR for a folder)
    }
    return openOwned(path, flags | O_CREAT | O_EXCL, mode);
}

const char* notRegular(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return nullptr;
    }
    return kindOf(st.st_mode);
}

bool moveAside(const std::string& path, std::string* line) {
    if (line != nullptr) {
        line->clear();
    }
    const char* kind = notRegular(path);
    if (kind == nullptr) {
        return true;
    }
    char stamp[32] = "";
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &local);
    }
    const std::string base = path + ".aside-" + stamp;
    std::string aside = base;
    int error = 0;
    for (int n = 1; n <= 100; ++n) {
        // Never over something already there.
        if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            error = 0;
            break;
        }
        error = errno;
        if (error != EEXIST) {
            break;
        }
        aside = base + "-" + std::to_string(n);
    }
    char text[1024];
    if (error == 0) {
        snprintf(text, sizeof text, "%s was a %s, not a regular file: moved aside to %s",
                 path.c_str(), kind, aside.c_str());
    } else {
        snprintf(text, sizeof text, "%s is a %s, not a regular file, and cannot be moved aside: %s",
                 path.c_str(), kind, errorText(error).c_str());
    }
    if (line != nullptr) {
        *line = text;
    } else if (error == 0) {
        logger.warn("%s", text);
    } else {
        logger.error("%s", text);
    }
    return error == 0;
}

int narrowMode(int fd, const std::string& path, mode_t mode, std::string* line) {
    if (line != nullptr) {
        line->clear();
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    const mode_t old = st.st_mode & 07777;
    const mode_t narrowed = old & mode;
    if (narrowed == old) {
        return 0;
    }
    if (fchmod(fd, narrowed) != 0) {
        return errno;
    }
    char text[1024];
    snprintf(text, sizeof text, "Narrowed the mode of %s from %s to %s.", path.c_str(),
             octal(old).c_str(), octal(narrowed).c_str());
    if (line != nullptr) {
        *line = text;
    } else {
        logger.info("%s", text);
    }
    return 0;
}

int narrowMode(const std::string& path, mode_t mode) {
    // O_NONBLOCK: a named pipe at the path must not block the open.
    Fd fd(openOwned(path, O_RDONLY | O_NONBLOCK, 0));
    if (!fd) {
        return errno == ENOENT ? 0 : errno;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        return errno;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    return narrowMode(fd.get(), path, mode);
}

int makeFile(const std::string& path, mode_t mode) {
    Fd fd(openOwned(path, O_WRONLY | O_CREAT | O_EXCL, mode));
    if (!fd) {
        return errno == EEXIST ? 0 : errno;
    }
    return 0;
}

Fd openRegular(const std::string& path, int flags, mode_t mode, bool* created) {
    moveAside(path);
    Fd fd(openOwned(path, flags, mode, created));
    if (fd) {
        narrowMode(fd.get(), path, mode);
    }
    return fd;
}

int closeWritten(Fd fd) {
    if (!fd) {
        return EBADF;
    }
    return ::close(fd.release()) == 0 ? 0 : errno;
}

int syncFolderOf(const std::string& path) {
    Fd folder(open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        return errno;
    }
    return fsync(folder.get()) == 0 ? 0 : errno;
}

namespace {

// Writes all of `data` to `fd`, syncs and closes it, whatever fails first: 0 or an
// errno value. close() reports a delayed write error on some filesystems (NFS).
int writeSynced(Fd fd, const void* data, size_t size) {
    int error = writeAll(fd.get(), data, size);
    if (error == 0 && fsync(fd.get()) != 0) {
        error = errno;
    }
    const int closed = closeWritten(std::move(fd));
    return error != 0 ? error : closed;
}

} // namespace

int writeDurably(const std::string& path, const void* data, size_t size, mode_t mode,
                 bool* opened) {
    const std::string temporary = path + ".new";
    Fd fd(createAnew(temporary, mode));
    if (opened != nullptr) {
        *opened = static_cast<bool>(fd);
    }
    if (!fd) {
        return errno;
    }
    int error = writeSynced(std::move(fd), data, size);
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    return syncFolderOf(path);
}

int appendDurably(const std::string& path, const void* data, size_t size, mode_t mode) {
    bool created = false;
    Fd fd(openRegular(path, O_WRONLY | O_CREAT | O_APPEND, mode, &created));
    if (!fd) {
        return errno;
    }
    int error = writeSynced(std::move(fd), data, size);
    if (error == 0 && created) {
        error = syncFolderOf(path);
    }
    return error;
}

} // namespace files
