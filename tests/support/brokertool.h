#ifndef ORVIND_TESTS_BROKERTOOL_H
#define ORVIND_TESTS_BROKERTOOL_H

#include <string>
#include <vector>

// Runs of the orvind-broker tool, the provider side of the local broker.
struct ToolResult {
    int status = -1; // exit status, or -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

// Runs orvind-broker with the arguments; with a repository folder given,
// the tool uses it (--dir) instead of the environment's.
ToolResult runBrokerTool(const std::vector<std::string>& args, const std::string& dir = "");

#endif
