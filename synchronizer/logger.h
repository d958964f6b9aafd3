#ifndef ORVIND_LOGGER_H
#define ORVIND_LOGGER_H

#include "files.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

// The daemon's one log: appends "[YYYY-MM-DD HH:MM:SS][level] message" lines to a
// file, one line per call, each written whole with one call. Lines from several
// threads never interleave. A log that cannot be opened silently drops every line.
//
// The file is made with mode 0640 and the group "adm" (when that group exists), and
// it is never reached through a link: a link at its path is moved aside at opening, and
// anything else that is not a regular file is not written to. Rotation renames the file
// and asks for a reopen (SIGHUP): lines go to the renamed file until then, and to a new
// file at the path from then on, so none is lost or torn.
//
// Under systemd the process-wide log also sends each warning and error line to the
// journal with its priority (warning, err); the file's lines stay as they are.
//
// A line that cannot be written (a full disk) is dropped whole, never left torn, and
// counted; the next line that fits is preceded by one saying how many were dropped.
class Logger {
public:
    // Opens "/var/log/vexa/orvind"; under systemd, also writes to the journal.
    Logger();
    // Opens the given file instead (tests).
    explicit Logger(const std::string& file);
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Opens the file at the path anew (after a rotation renamed it) and writes there from
    // then on; `opened`, when given, is logged (info) as the new file's first line, before
    // any other thread's. When it cannot be opened, the lines go on into the file open so
    // far, and false is returned with the reason in *why.
    bool reopen(std::string* why = nullptr, const char* opened = nullptr);

    // Flushes and closes the file; later calls write nothing. May be called again.
    void close();

    // Whether standard error leads to the journal (JOURNAL_STREAM names its device and
    // inode), as it does for the command systemd starts. The log has sent each error line
    // to the journal at its priority already: printed there again, it would show twice.
    static bool stderrIsJournal();

    // Lines dropped since the log was opened, for the metrics.
    unsigned long long droppedLines() const { return droppedTotal; }

private:
    files::Fd openLog(std::string* movedAside) const;
    void vwrite(const char* level, const char* format, va_list args);
    void log(const std::string& level, const std::string& time, const std::string& line);
    bool writeWhole(const std::string& text);
    std::string droppedLine(const std::string& time) const;
    std::string gettime();

    const std::string path;
    // Opened for appending.
    files::Fd out;
    std::mutex lock;
    // Lines dropped since the last one written, and why the first of them was.
    unsigned long dropped = 0;
    std::atomic<unsigned long long> droppedTotal{0};
    int dropError = 0;
    // Warnings and errors go to the journal as well.
    bool journal = false;
};

// The process-wide log, defined by the program that links the daemon's pieces: the one
// global the daemon keeps for good, since every piece reports through it.
extern Logger logger; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

#endif
