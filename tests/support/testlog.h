#ifndef ORVIND_TESTS_TESTLOG_H
#define ORVIND_TESTS_TESTLOG_H

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Whether this build runs under a sanitizer: long loops and large inputs are scaled
// down there.
constexpr bool kSanitized = ORVIND_SANITIZED;

// Unit tests link their own definition of the global `logger`, writing to a file of
// their own under /tmp, so nothing they log reaches the host's /var/log.
std::string testLogPath();
// The whole log as written so far.
std::string readTestLog();
// The entries of the test log (or of the log at `path`) without their time stamp:
// "[info] message"; a line that continues the entry before it stays as it is.
std::vector<std::string> logEntries(const std::string& path = testLogPath());
// How many entries read exactly `entry`.
size_t countEntries(const std::string& entry);
// Empties the log (the logger appends, so later lines start the file again).
void clearTestLog();
// A halcyon parameter text (or a line holding one) with what differs from host to host
// named instead: " --SNAM <host> ", " --OSVER <osver> ", " --SGUID <uuid> " (the system
// UUID of the simulated BMC in `bmcDir`) and the instance id that ends it, " --IID <iid>".
std::string maskHostFacts(std::string text, const std::string& bmcDir);
// `text` with every `from` in it replaced by `to`.
std::string substituted(std::string text, const std::string& from, const std::string& to);
// The bytes in hex, two digits each, with `between` between them.
std::string hexOf(const void* data, size_t size, const std::string& between = "");
// Expects `text` to be what the golden file at `path` holds after its head: the lines
// beginning with "# " it starts with, the first of which says what the file checks; with
// ORVIND_UPDATE_GOLDEN=1 the file is written anew first, its head kept (review its diff).
void expectGolden(const std::string& path, const std::string& text);

// The cases of a file of golden cases: a line "== NAME" starts each, and its lines follow
// up to the next one; blank lines and "#" comments are left out.
using GoldenCase = std::pair<std::string, std::vector<std::string>>;
std::vector<GoldenCase> readCases(const std::string& path);

// Runs `body` in a child process and answers its exit status (255: it threw; -1: it was
// killed).
int inChild(const std::function<int()>& body);

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

// A thread that is always joined: when the test leaves early (a failed ASSERT), `stop`
// runs first, so that the body ends and the test fails instead of aborting the run.
class JoiningThread {
public:
    explicit JoiningThread(std::function<void()> body, std::function<void()> stop = {})
        : stop_(std::move(stop)), thread_(std::move(body)) {}
    ~JoiningThread() { join(); }
    JoiningThread(const JoiningThread&) = delete;
    JoiningThread& operator=(const JoiningThread&) = delete;
    void join() {
        if (thread_.joinable()) {
            if (stop_) {
                stop_();
            }
            thread_.join();
        }
    }

private:
    std::function<void()> stop_;
    std::thread thread_;
};

// Small file helpers for tests.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

#endif
