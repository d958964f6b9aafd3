#include "transcript.h"

#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fnmatch.h>
#include <sys/wait.h>

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Runs the command with bash; its output, its exit status in *status (-1: no normal exit).
std::string run(const std::string& command, int* status) {
    TempDir temp;
    writeFile(temp.file("command"), command + "\n");
    std::string output;
    FILE* pipe = popen(("bash " + temp.file("command") + " 2>&1 </dev/null").c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    int rc = pipe != nullptr ? pclose(pipe) : -1;
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}

} // namespace

void checkTranscript(const std::string& path, const std::map<std::string, std::string>& names) {
    auto expand = [&](std::string text) {
        for (const auto& [name, value] : names) {
            text = replaced(text, "@" + name + "@", value);
        }
        return text;
    };
    setenv("PATH", (std::string(ORVIND_TOOLS_DIR ":") + getenv("PATH")).c_str(), 1);
    std::string transcript = readFile(path);
    ASSERT_FALSE(transcript.empty()) << path;
    transcript += "$ \n";
    // The transcript again, each block that differs replaced by what was printed (with the
    // names put back): written over the file with ORVIND_UPDATE_TRANSCRIPTS=1.
    std::string updated;
    std::string command, expected, raw, notes;
    int expectedStatus = 0;
    for (size_t at = 0, end; at < transcript.size(); at = end + 1) {
        end = transcript.find('\n', at);
        std::string line = transcript.substr(at, end - at);
        if (line.rfind("$ ", 0) != 0) {
            if (command.empty() || line.rfind("##", 0) == 0) {
                notes += line + "\n";
            } else {
                raw += line + "\n";
                if (line.rfind("? ", 0) == 0) {
                    expectedStatus = std::stoi(line.substr(2));
                } else {
                    expected += line + "\n";
                }
            }
            continue;
        }
        if (!command.empty()) {
            int status = -1;
            std::string output = run(expand(command), &status);
            bool same = fnmatch(expand(expected).c_str(), output.c_str(), FNM_NOESCAPE) == 0;
            EXPECT_TRUE(same) << "$ " << command << "\n--- printed:\n"
                              << output << "--- expected:\n"
                              << expected;
            EXPECT_EQ(status, expectedStatus) << "$ " << command << "\n" << output;
            if (!same || status != expectedStatus) {
                for (const auto& [name, value] : names) {
                    output = replaced(output, value, "@" + name + "@");
                }
                raw = output + (status != 0 ? "? " + std::to_string(status) + "\n" : "");
            }
        }
        updated += raw + notes + line + "\n";
        command = line.substr(2);
        expected.clear();
        raw.clear();
        notes.clear();
        expectedStatus = 0;
    }
    const char* update = getenv("ORVIND_UPDATE_TRANSCRIPTS");
    if (update != nullptr && std::string(update) == "1") {
        writeFile(path, updated.substr(0, updated.size() - 3));
    }
}
