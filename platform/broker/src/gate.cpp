#include "broker/gate.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace broker {
namespace {

int openLock(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

void lock(int fd, int operation) {
    if (fd < 0) {
        return;
    }
    while (flock(fd, operation) != 0 && errno == EINTR) {
    }
}

} // namespace

Gate::Gate(const std::string& dir, Side side)
    : requests_(openLock(dir + "/requests")), deliveries_(openLock(dir + "/deliveries")) {
    if (side == request) {
        lock(requests_, LOCK_EX);
        lock(deliveries_, LOCK_EX);
        return;
    }
    lock(requests_, LOCK_SH);
    lock(deliveries_, LOCK_SH);
    lock(requests_, LOCK_UN);
}

Gate::~Gate() {
    // Closing drops the locks.
    for (int fd : {deliveries_, requests_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

} // namespace broker
