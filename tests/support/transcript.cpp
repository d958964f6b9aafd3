#include "transcript.h"

#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fnmatch.h>
#include <sstream>
#include <vector>

namespace {

struct Step {
    std::string command;
    std::string expected; // the pattern its output must match
    int status = 0;
    std::string notes; // the comment lines after them
};

} // namespace

void checkTranscript(const std::string& path, const std::map<std::string, std::string>& names) {
    auto expand = [&](std::string text) {
        for (const auto& [name, value] : names) {
            text = substituted(text, "@" + name + "@", value);
        }
        return text;
    };
    std::istringstream transcript(readFile(path));
    ASSERT_FALSE(transcript.str().empty()) << path;
    std::string head; // the comments before the first command
    std::vector<Step> steps;
    for (std::string line; std::getline(transcript, line);) {
        if (line.rfind("$ ", 0) == 0) {
            steps.push_back(Step{line.substr(2), "", 0, ""});
        } else if (steps.empty()) {
            head += line + "\n";
        } else if (line.rfind("##", 0) == 0) {
            steps.back().notes += line + "\n";
        } else if (line.rfind("? ", 0) == 0) { // last in its block
            steps.back().status = std::stoi(line.substr(2));
        } else {
            steps.back().expected += line + "\n";
        }
    }

    // One shell runs every command in a subshell of its own, in order, keeping each
    // one's output and exit status in files of their own.
    TempDir temp;
    std::string script = "export PATH=" ORVIND_TOOLS_DIR ":\"$PATH\"\n";
    for (size_t i = 0; i < steps.size(); ++i) {
        std::string n = temp.file(std::to_string(i));
        script += "(\n" + expand(steps[i].command) + "\n) >" + n +
                  ".out 2>&1 </dev/null; echo $? >" + n + ".rc\n";
    }
    writeFile(temp.file("script"), script);
    EXPECT_EQ(system(("bash " + temp.file("script")).c_str()), 0);

    // The transcript again, each block that differs replaced by what was printed (with the
    // names put back): written over the file with ORVIND_UPDATE_GOLDEN=1.
    std::string updated = head;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        std::string output = readFile(temp.file(std::to_string(i) + ".out"));
        std::string rc = readFile(temp.file(std::to_string(i) + ".rc"));
        int status = rc.empty() ? -1 : std::stoi(rc);
        bool same = fnmatch(expand(step.expected).c_str(), output.c_str(), FNM_NOESCAPE) == 0;
        EXPECT_TRUE(same) << "$ " << step.command << "\n--- printed:\n"
                          << output << "--- expected:\n"
                          << step.expected;
        EXPECT_EQ(status, step.status) << "$ " << step.command << "\n" << output;
        if (same && status == step.status) {
            output = step.expected;
        } else {
            for (const auto& [name, value] : names) {
                output = substituted(output, value, "@" + name + "@");
            }
        }
        const std::string block =
            output + (status != 0 ? "? " + std::to_string(status) + "\n" : "");
        updated += "$ " + step.command + "\n" + block + step.notes;
    }
    if (getenv("ORVIND_UPDATE_GOLDEN") != nullptr) {
        writeFile(path, updated);
    }
}
