#include "logger.h"

#include "paths.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const int kLineMax = 2480;
const char* const kOverflowText = "<<< logger message over max len, cannot log this message! >>>";

} // namespace

Logger::Logger() : Logger(paths::kLogFile) {}

Logger::Logger(const std::string& path) {
    fout.open(path, std::ios::out | std::ios::app);
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
    if (fout.is_open()) {
        fout.flush();
        fout.close();
    }
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
}

void Logger::log(std::string level, std::string time, std::string line) {
    if (!fout.is_open()) {
        return;
    }
    fout << ("[" + time + "][" + level + "] " + line + "\n");
    fout.flush();
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
