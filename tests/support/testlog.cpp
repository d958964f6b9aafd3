#include "testlog.h"

#include "logger.h"
#include "tallow_sim.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/utsname.h>
#include <unistd.h>

std::string testLogPath() {
    static const std::string path = "/tmp/orvind-test-" + std::to_string(getpid()) + ".log";
    return path;
}

Logger logger(testLogPath());

namespace {
struct RemoveLogAtExit {
    ~RemoveLogAtExit() { unlink(testLogPath().c_str()); }
} removeLogAtExit;
} // namespace

std::string readTestLog() {
    return readFile(testLogPath());
}

std::vector<std::string> testLogLines() {
    std::vector<std::string> lines;
    std::istringstream in(readTestLog());
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> logEntries() {
    std::vector<std::string> entries;
    for (const std::string& line : testLogLines()) {
        // "[2014-03-15 12:34:56][info] message": the stamp is 21 characters.
        const bool stamped = line.size() > 21 && line[0] == '[' && line[20] == ']';
        entries.push_back(stamped ? line.substr(21) : line);
    }
    return entries;
}

size_t countEntries(const std::string& entry) {
    const std::vector<std::string> entries = logEntries();
    return static_cast<size_t>(std::count(entries.begin(), entries.end(), entry));
}

void clearTestLog() {
    if (truncate(testLogPath().c_str(), 0) != 0) {
        writeFile(testLogPath(), "");
    }
}

std::string maskHostFacts(std::string text, const std::string& bmcDir) {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    utsname names;
    uname(&names);
    const std::string release = names.release;
    const std::pair<std::string, std::string> facts[] = {
        {" --SNAM " + std::string(host) + " ", " --SNAM <host> "},
        {" --OSVER " + release.substr(0, std::min(release.find('-'), size_t{19})) + " ",
         " --OSVER <osver> "},
        {" --SGUID " + tallowsim::systemUuid(bmcDir) + " ", " --SGUID <uuid> "}};
    for (const auto& [from, to] : facts) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
        }
    }
    return std::regex_replace(text, std::regex(" --IID [0-9a-f-]{36}$"), " --IID <iid>");
}

TempDir::TempDir() {
    char pattern[] = "/tmp/orvind-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
