#include "testlog.h"

#include "logger.h"
#include "tallow_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/utsname.h>
#include <sys/wait.h>
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

std::vector<std::string> logEntries(const std::string& path) {
    std::vector<std::string> entries;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
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
    utsname names;
    uname(&names);
    const std::string release = names.release;
    const std::pair<std::string, std::string> facts[] = {
        {" --SNAM " + std::string(names.nodename) + " ", " --SNAM <host> "},
        {" --OSVER " + release.substr(0, std::min(release.find('-'), size_t{19})) + " ",
         " --OSVER <osver> "},
        {" --SGUID " + tallowsim::systemUuid(bmcDir) + " ", " --SGUID <uuid> "}};
    for (const auto& [from, to] : facts) {
        text = substituted(text, from, to);
    }
    return std::regex_replace(text, std::regex(" --IID [0-9a-f-]{36}$"), " --IID <iid>");
}

std::string substituted(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string hexOf(const void* data, size_t size, const std::string& between) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", static_cast<const unsigned char*>(data)[i]);
        text += (i > 0 ? between : "") + hex;
    }
    return text;
}

void expectGolden(const std::string& path, const std::string& text) {
    const std::string file = readFile(path);
    size_t end = 0; // past the lines "# ..." the file begins with
    while (file.compare(end, 2, "# ") == 0 && file.find('\n', end) != std::string::npos) {
        end = file.find('\n', end) + 1;
    }
    const std::string head = file.substr(0, end);
    if (getenv("ORVIND_UPDATE_GOLDEN") != nullptr) {
        writeFile(path, head + text);
    }
    EXPECT_FALSE(head.empty()) << path << " begins with a line \"# what it checks\"";
    EXPECT_EQ(text, readFile(path).substr(head.size())) << "against " << path;
}

std::vector<GoldenCase> readCases(const std::string& path) {
    std::vector<GoldenCase> cases;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("== ", 0) == 0) {
            cases.push_back({line.substr(3), {}});
        } else if (!cases.empty() && !line.empty() && line[0] != '#') {
            cases.back().second.push_back(line);
        }
    }
    return cases;
}

int inChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        try {
            _exit(body());
        } catch (const std::exception&) {
            _exit(255);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
