#ifndef ORVIND_LOGGER_H
#define ORVIND_LOGGER_H

#include "files.h"

#include <cstdarg>
#include <mutex>
#include <string>

// The daemon's one log: appends "[YYYY-MM-DD HH:MM:SS][level] message" lines to a
// file, one line per call, each written whole with one call. Lines from several
// threads never interleave. A log that cannot be opened silently drops every line.
//
// The file is made with mode 0640 and the group "adm" (when that group exists), and
// it is never reached through a link: a link or anything else that is not a regular
// file at its path is moved aside at opening, and the file is opened once, so a link
// put there later is never written through. Rotation copies and truncates it in
// place; appending simply goes on at the new end.
//
// A line that cannot be written (a full disk) is dropped whole, never left torn, and
// counted; the next line that fits is preceded by one saying how many were dropped.
class Logger {
public:
    // Opens "/var/log/vexa/orvind".
    Logger();
    // Opens the given file instead (tests).
    explicit Logger(const std::string& path);
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Flushes and closes the file; later calls write nothing. May be called again.
    void close();

private:
    void vwrite(const char* level, const char* format, va_list args);
    void log(const std::string& level, const std::string& time, const std::string& line);
    bool writeWhole(const std::string& text);
    std::string droppedLine(const std::string& time) const;
    std::string gettime();

    // Opened for appending.
    files::Fd out;
    std::mutex lock;
    // Lines dropped since the last one written, and why the first of them was.
    unsigned long dropped = 0;
    int dropError = 0;
};

// The process-wide log, defined by the program that links the daemon's pieces: the one
// global the daemon keeps for good, since every piece reports through it.
extern Logger logger; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

#endif
