#include "logger.h"

#include "paths.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <sys/stat.h>
#include <syslog.h>
// The journal records the message, not where in the source it was sent from.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace {

const int kLineMax = 2480;
const char* const kOverflowText = "<<< logger message over max len, cannot log this message! >>>";
// Readable by the administrators' group, as the system's other logs are.
const mode_t kLogMode = 0640;
const char* const kLogGroup = "adm";

// Only root may do this; a log made by anyone else keeps their group.
bool giveToLogGroup(int fd) {
    struct group entry;
    struct group* found = nullptr;
    char buffer[4096];
    return getgrnam_r(kLogGroup, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
           fchown(fd, static_cast<uid_t>(-1), found->gr_gid) == 0;
}

} // namespace

Logger::Logger() : Logger(paths::kLogFile) {
    // Started by systemd: its standard streams lead to the journal, or it was told where
    // to report. Read once, before main runs, so that no thread can change it meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    journal = getenv("JOURNAL_STREAM") != nullptr || getenv("NOTIFY_SOCKET") != nullptr;
}

Logger::Logger(const std::string& file) : path(file) {
    std::string movedAside;
    out = openLog(&movedAside);
    if (!movedAside.empty()) {
        log("warn", gettime(), movedAside);
    }
}

files::Fd Logger::openLog(std::string* movedAside) const {
    // A link is moved aside, never written through. Anything else that is not a regular
    // file (a device such as /dev/null, a pipe) stays where it is and is not written to.
    struct stat at;
    if (lstat(path.c_str(), &at) == 0 && S_ISLNK(at.st_mode)) {
        files::moveAside(path, movedAside);
    }
    bool created = false;
    // O_NONBLOCK: should a pipe appear at the path meanwhile, the open must not wait.
    files::Fd fd =
        files::openOwned(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, kLogMode, &created);
    struct stat st;
    if (fd && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        fd.reset();
    }
    if (fd && created) {
        giveToLogGroup(fd.get());
    }
    return fd;
}

bool Logger::reopen(std::string* why, const char* opened) {
    std::string movedAside;
    errno = 0;
    files::Fd fresh = openLog(&movedAside);
    const int error = errno != 0 ? errno : EINVAL;
    const bool made = static_cast<bool>(fresh);
    // One lock over the switch and the lines that begin the new file.
    std::lock_guard<std::mutex> guard(lock);
    // Without a new file the old one, rotated or not, keeps taking the lines.
    if (made) {
        out = std::move(fresh);
    } else if (why != nullptr) {
        *why = files::errorText(error);
    }
    if (!movedAside.empty()) {
        log("warn", gettime(), movedAside);
    }
    if (made && opened != nullptr) {
        log("info", gettime(), opened);
    }
    return made;
}

bool Logger::stderrIsJournal() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nobody sets it
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st;
    return stream != nullptr && sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

Logger::~Logger() {
    close();
}

void Logger::info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite("info", format, args);
    va_end(args);
}

void Logger::warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite("warn", format, args);
    va_end(args);
}

void Logger::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite("error", format, args);
    va_end(args);
}

void Logger::close() {
    std::lock_guard<std::mutex> guard(lock);
    if (out && dropped > 0) {
        writeWhole(droppedLine(gettime()));
    }
    out.reset();
}

void Logger::vwrite(const char* level, const char* format, va_list args) {
    std::lock_guard<std::mutex> guard(lock);
    char line[kLineMax];
    int length = vsnprintf(line, sizeof line, format, args);
    // The bound leaves room for the format's own length; a message that reaches it is
    // replaced as a whole rather than cut.
    if (length < 0) {
        line[0] = '\0';
    } else if (length >= kLineMax - static_cast<int>(strlen(format))) {
        snprintf(line, sizeof line, "%s", kOverflowText);
    }
    log(level, gettime(), line);
    // Warnings and errors also go to the journal, with their priority, so that
    // journalctl -u orvind -p err shows what failed; the file keeps every line.
    if (journal && level[0] != 'i') {
        sd_journal_print(level[0] == 'w' ? LOG_WARNING : LOG_ERR, "%s", line);
    }
}

void Logger::log(const std::string& level, const std::string& time, const std::string& line) {
    if (!out) {
        return;
    }
    std::string text = "[" + time + "][" + level + "] " + line + "\n";
    // The count goes with the line, in the same write: both or neither.
    if (dropped > 0) {
        text = droppedLine(time) + text;
    }
    if (writeWhole(text)) {
        dropped = 0;
    } else {
        dropped++;
        ++droppedTotal;
    }
}

// One write call per text, so that lines of another process or a copy taken for
// rotation never show half a line.
bool Logger::writeWhole(const std::string& text) {
    ssize_t done = write(out.get(), text.data(), text.size());
    if (done == static_cast<ssize_t>(text.size())) {
        return true;
    }
    int error = done < 0 ? errno : ENOSPC;
    if (done > 0) {
        // Part of it went in before the disk filled up: cut it off again, so that
        // no torn line stays behind. Appending leaves the offset at the end of it.
        off_t end = lseek(out.get(), 0, SEEK_CUR);
        if (end >= done && ftruncate(out.get(), end - done) != 0) {
            error = errno;
        }
    }
    if (dropped == 0) {
        dropError = error;
    }
    return false;
}

std::string Logger::droppedLine(const std::string& time) const {
    return "[" + time + "][warn] " + std::to_string(dropped) +
           " log lines could not be written and were dropped: " + files::errorText(dropError) +
           "\n";
}

std::string Logger::gettime() {
    char buffer[64] = {0};
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        strftime(buffer, sizeof buffer, "%F %T", &local);
    }
    return buffer;
}
