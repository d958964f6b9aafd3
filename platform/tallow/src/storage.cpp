#include "storage.h"

#include "writeall.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowsim {

namespace {

// flock, retried when a signal interrupts the wait.
int lockFile(int fd, int operation) {
    int rc;
    do {
        rc = flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Length of the file up to and including its last line end; -1 with errno on failure.
off_t wholeLinesLength(int fd, off_t size) {
    char block[4096];
    off_t end = size;
    while (end > 0) {
        off_t start =
            end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
        ssize_t n = pread(fd, block, static_cast<size_t>(end - start), start);
        if (n != end - start) {
            if (n >= 0) {
                errno = EIO;
            }
            return -1;
        }
        for (ssize_t i = n; i > 0; --i) {
            if (block[i - 1] == '\n') {
                return start + i;
            }
        }
        end = start;
    }
    return 0;
}

std::string dirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string joinPath(const std::string& dir, const char* name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

std::string errnoText(const std::string& what) {
    char buffer[256];
    // The GNU strerror_r answers the text, in the buffer or not; callers run on any thread.
    return what + ": " + strerror_r(errno, buffer, sizeof buffer);
}

bool readWholeFile(const std::string& path, std::string* content, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int saved = errno;
        if (error != nullptr) {
            *error = errnoText(path);
        }
        errno = saved;
        return false;
    }
    content->clear();
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int saved = errno;
            if (error != nullptr) {
                *error = errnoText(path);
            }
            close(fd);
            errno = saved;
            return false;
        }
        if (n == 0) {
            break;
        }
        content->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

void syncDir(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool writeFileAtomic(const std::string& path, const std::string& content, std::string* error) {
    std::string temp = path + ".tmp." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errnoText(temp);
        return false;
    }
    const int written = writeAll(fd, content.data(), content.size());
    if (written != 0 || fsync(fd) != 0) {
        errno = written != 0 ? written : errno;
        *error = errnoText(temp);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    close(fd);
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *error = errnoText(path);
        unlink(temp.c_str());
        return false;
    }
    syncDir(dirOf(path));
    return true;
}

int openAppend(const std::string& dir, const char* name) {
    std::string path = joinPath(dir, name);
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        // The file may just have been made: its name must reach the disk too.
        syncDir(dir);
    }
    return fd;
}

int appendRecord(int fd, const void* data, size_t size, size_t recordSize, off_t* at) {
    if (lockFile(fd, LOCK_EX) != 0) {
        return errno;
    }
    int result = 0;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        result = errno;
    } else {
        // A record torn by a crash was never acknowledged: drop it so the file stays a
        // sequence of whole records.
        off_t length = recordSize > 0 ? st.st_size - st.st_size % static_cast<off_t>(recordSize)
                                      : wholeLinesLength(fd, st.st_size);
        if (length < 0 || (length != st.st_size && ftruncate(fd, length) != 0)) {
            result = errno;
        }
        if (at != nullptr) {
            *at = length;
        }
        if (result == 0) {
            result = writeAll(fd, data, size);
            if (result == 0 && fsync(fd) != 0) {
                result = errno;
            }
            if (result != 0 && ftruncate(fd, length) == 0) {
                fsync(fd);
            }
        }
    }
    lockFile(fd, LOCK_UN);
    return result;
}

bool truncateLocked(const std::string& dir, const char* name, std::string* error) {
    std::string path = joinPath(dir, name);
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = errnoText(path);
        return false;
    }
    bool ok = lockFile(fd, LOCK_EX) == 0 && ftruncate(fd, 0) == 0 && fsync(fd) == 0;
    if (!ok) {
        *error = errnoText(path);
    }
    lockFile(fd, LOCK_UN);
    close(fd);
    return ok;
}

} // namespace tallowsim
