#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

// Registration lines of the filter, handler and subscription whose status starts
// with `status` ("0, msg=(null)", "11, msg=").
size_t countRegistrations(const std::string& status) {
    size_t count = 0;
    for (const char* what : {"createFilter", "createHandler", "createSubscription"}) {
        count += Sandbox::countContaining(std::string("[info] ") + what + " () rc=" + status);
    }
    return count;
}

} // namespace

TEST(Subscription, FirstStartRegistersDeliversAndARestartFindsTheObjectsInPlace) {
    Sandbox sb;
    sb.startDaemon();
    EXPECT_EQ(countRegistrations("0, msg=(null)"), 3u);
    ToolResult list = runBrokerTool({"list"}, Sandbox::kBrokerRepository);
    ASSERT_EQ(list.status, 0) << list.err;
    for (const char* part :
         {"SELECT * FROM CIM_ProcessIndication", "root/zarn",
          "file:///opt/vexa/orvind/indications.tmp", "CIM_IndicationSubscription"}) {
        EXPECT_NE(list.out.find(part), std::string::npos) << part;
    }
    // An indication raised with the broker reaches the daemon's copy byte for byte,
    // without the trailer line.
    const std::string document = std::string(ORVIND_TEST_DATA) + "/broker/prepared.xml";
    ToolResult raised =
        runBrokerTool({"raise", "--document", document}, Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.err;
    ASSERT_TRUE(Sandbox::waitForLog(Sandbox::received(Sandbox::framed(readFile(document)).size())));
    EXPECT_EQ(readFile(Sandbox::kTempFile), readFile(document) + "\n");
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    sb.startDaemon();
    EXPECT_EQ(countRegistrations("11, msg="), 3u) << "each refusal is logged with its code";
    EXPECT_EQ(Sandbox::countLog("[info] Subscription created."), 2u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(Subscription, WithoutABrokerTheDaemonLogsTheFailureAndRunsOn) {
    Sandbox sb;
    ASSERT_EQ(rmdir(Sandbox::kBrokerRepository), 0);
    sb.startDaemon();
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[2].rfind("[info] connect() rc=1, msg=", 0), 0u) << entries[2];
    EXPECT_EQ(Sandbox::countLog("[info] Subscription created."), 1u);
    Sandbox::deliver("<still/>");
    EXPECT_TRUE(Sandbox::waitForLog(Sandbox::received(Sandbox::framed("<still/>").size())));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
