// The daemon and the CIM broker. What the daemon registers at its start, and how a second
// start finds the objects in place, is in the golden cases (start.expected); a start
// without a broker, in test_forwarding.cpp.
#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

// An indication raised with the broker goes through the handler the daemon registered
// and reaches the daemon's copy byte for byte, without the trailer line.
TEST(Subscription, TheBrokerDeliversThroughTheRegisteredHandler) {
    Sandbox sb;
    sb.startDaemon();
    const std::string document = std::string(ORVIND_TEST_DATA) + "/broker/prepared.xml";
    ToolResult raised =
        runBrokerTool({"raise", "--document", document}, Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.err;
    ASSERT_TRUE(Sandbox::waitForLog(Sandbox::received(Sandbox::framed(readFile(document)).size())));
    EXPECT_EQ(readFile(Sandbox::kTempFile), readFile(document) + "\n");
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
