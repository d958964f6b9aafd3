#ifndef ORVIND_LOGGER_H
#define ORVIND_LOGGER_H

#include <cstdarg>
#include <fstream>
#include <mutex>
#include <string>

// The daemon's one log: appends "[YYYY-MM-DD HH:MM:SS][level] message" lines to a
// file, one line per call, flushed at once. Lines from several threads never
// interleave. A log that cannot be opened silently drops every line.
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
    void log(std::string level, std::string time, std::string line);
    std::string gettime();

    std::ofstream fout;
    std::mutex lock;
};

// The process-wide log, defined by the program that links the daemon's pieces.
extern Logger logger;

#endif
