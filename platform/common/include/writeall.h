#ifndef ORVIND_WRITEALL_H
#define ORVIND_WRITEALL_H

#include <cerrno>
#include <cstddef>
#include <unistd.h>

// Writes all `size` bytes to `fd`, going on after short writes and interruptions. 0 or
// an errno value (ENOSPC when the device took nothing more). The one copy, for the
// daemon's files and for the simulated BMC's state folder alike.
inline int writeAll(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = write(fd, at, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (done == 0) {
            return ENOSPC;
        }
        at += done;
        size -= static_cast<size_t>(done);
    }
    return 0;
}

#endif
