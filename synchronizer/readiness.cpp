#include "readiness.h"

#include "files.h"
#include "logger.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace readiness {

namespace {

// How much of the log the waiting command reads back at most, and how many of the
// error lines it found there it shows.
const off_t kLogTail = off_t{64} * 1024;
const size_t kShownLines = 10;
// How long the daemon lets systemd take in its pid before the waiting command ends.
const uint64_t kBarrierUsec = uint64_t{5} * 1000 * 1000;

off_t logSize() {
    struct stat st;
    return stat(paths::kLogFile, &st) == 0 ? st.st_size : 0;
}

// The error lines appended to the log since it was `from` bytes long, without their
// time stamps, the last kShownLines of them.
std::vector<std::string> errorsSince(off_t from) {
    std::vector<std::string> errors;
    files::Fd log = files::openOwned(paths::kLogFile, O_RDONLY, 0);
    if (!log) {
        return errors;
    }
    const int fd = log.get();
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < from) {
        from = 0; // the log was truncated meanwhile
    }
    from = std::max(from, end - kLogTail);
    std::string text(static_cast<size_t>(end - from), '\0');
    ssize_t got = pread(fd, text.data(), text.size(), from);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    const std::string level = "][error] ";
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = text.find('\n', start);
        std::string line = text.substr(start, stop == std::string::npos ? stop : stop - start);
        size_t at = line.find(level);
        if (!line.empty() && line[0] == '[' && at != std::string::npos) {
            errors.push_back(line.substr(at + level.size()));
        }
        start = stop == std::string::npos ? text.size() : stop + 1;
    }
    if (errors.size() > kShownLines) {
        errors.erase(errors.begin(), errors.end() - kShownLines);
    }
    return errors;
}

// The starting command: waits for the daemon's one status byte, or end of file when
// the daemon ended without reporting.
[[noreturn]] void waitForDaemon(const char* progname, files::Fd fd, pid_t child, off_t logStart) {
    // Ctrl-C ends the wait; the daemon itself keeps its signals blocked.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);

    unsigned char status = 0;
    ssize_t got;
    while ((got = read(fd.get(), &status, 1)) < 0 && errno == EINTR) {
    }
    fd.reset();
    // The intermediate process of detaching ends at once; reap it here so that it
    // does not linger.
    int ignored;
    while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
    // Whatever went wrong during start-up is shown, also when the daemon runs anyway
    // (a missing event dictionary); under systemd the journal has it from the log.
    if (!Logger::stderrIsJournal()) {
        for (const auto& line : errorsSince(logStart)) {
            fprintf(stderr, "%s: %s\n", progname, line.c_str());
        }
    }
    if (got == 1 && status == 0) {
        _exit(0);
    }
    if (got == 1) {
        fprintf(stderr, "%s: start-up failed (exit status %d); see %s\n", progname, status,
                paths::kLogFile);
        _exit(status);
    }
    fprintf(stderr, "%s: the daemon ended before it was ready; see %s\n", progname,
            paths::kLogFile);
    _exit(255);
}

} // namespace

void Reporter::report(unsigned char status) {
    std::lock_guard<std::mutex> hold(lock);
    if (!fd) {
        return;
    }
    ssize_t written;
    while ((written = write(fd.get(), &status, 1)) < 0 && errno == EINTR) {
    }
    fd.reset();
}

void Reporter::await(const char* progname) {
    // Both ends are closed on exec: no child of the daemon holds the pipe open.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    files::Fd readEnd(ends[0]);
    files::Fd writeEnd(ends[1]);
    const off_t logStart = logSize();
    pid_t child = fork();
    if (child < 0) {
        return;
    }
    if (child > 0) {
        writeEnd.reset();
        waitForDaemon(progname, std::move(readEnd), child, logStart);
    }
    std::lock_guard<std::mutex> hold(lock);
    fd = std::move(writeEnd);
}

void Reporter::ready() {
    // Under systemd the service's main process is the command that started the
    // daemon; it learns the daemon's own pid before that command ends, and the barrier
    // makes sure it has taken both in first.
    if (getenv("NOTIFY_SOCKET") != nullptr) {
        sd_notifyf(0, "MAINPID=%ld\nREADY=1", static_cast<long>(getpid()));
        sd_notify_barrier(0, kBarrierUsec);
    }
    report(0);
}

void status(const std::string& line) {
    if (getenv("NOTIFY_SOCKET") != nullptr) {
        sd_notifyf(0, "STATUS=%s", line.c_str());
    }
}

void watchdog() {
    if (getenv("NOTIFY_SOCKET") != nullptr) {
        sd_notify(0, "WATCHDOG=1");
    }
}

void Reporter::failed(int status) {
    report(static_cast<unsigned char>(status == 0 ? 255 : status));
}

} // namespace readiness
