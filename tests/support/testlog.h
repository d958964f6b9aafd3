#ifndef ORVIND_TESTS_TESTLOG_H
#define ORVIND_TESTS_TESTLOG_H

#include <string>
#include <vector>

// Unit tests link their own definition of the global `logger`, writing to a file of
// their own under /tmp, so nothing they log reaches the host's /var/log.
std::string testLogPath();
// The whole log as written so far, and the same split into lines.
std::string readTestLog();
std::vector<std::string> testLogLines();
// Empties the log (the logger appends, so later lines start the file again).
void clearTestLog();

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Small file helpers for tests.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

#endif
