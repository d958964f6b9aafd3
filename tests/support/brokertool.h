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

// Registers a filter selecting SELECT * FROM queryClass in namespace ns, a
// handler with the destination and their subscription; fails the test when
// the tool refuses.
void subscribeTo(const std::string& dir, const std::string& destination,
                 const std::string& name = "orvind", const std::string& ns = "root/zarn",
                 const std::string& queryClass = "CIM_ProcessIndication");

#endif
