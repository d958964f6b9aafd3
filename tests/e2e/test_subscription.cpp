#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

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

// Whatever arrives, the daemon sends the broker nothing per indication: the
// broker's repository holds the same objects before and after 200 indications,
// one of a class the broker does not know, one with 500 properties and one that
// names properties twice; every one is stored.
TEST(Subscription, IndicationsLeaveNothingInTheBroker) {
    Sandbox sb;
    sb.startDaemon();
    const std::string objectsFile = std::string(Sandbox::kBrokerRepository) + "/objects";
    const std::string registered = readFile(objectsFile);
    ASSERT_FALSE(registered.empty());

    auto raise = [](std::vector<std::string> args) {
        ToolResult r = runBrokerTool(args, Sandbox::kBrokerRepository);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    raise({"raise", "--class", "VEXA_AlertIndication", "--count", "200", "-p",
           "ProviderName:string=Fan"});
    raise({"raise", "--class", "VEXA_NotKnownIndication", "-p", "ProviderName:string=Unknown"});
    std::vector<std::string> wide = {"raise", "--class", "VEXA_AlertIndication", "-p",
                                     "ProviderName:string=Wide"};
    for (int i = 0; i < 500; ++i) {
        wide.push_back("-p");
        wide.push_back("Extra" + std::to_string(i) + ":uint32=" + std::to_string(i));
    }
    raise(wide);
    Sandbox::deliver(readFile(std::string(ORVIND_TEST_DATA) + "/parser/null_and_missing.xml"));

    ASSERT_TRUE(Sandbox::waitUntil(
        [] { return Sandbox::queryValue("select count(*) from indication") == "203"; }, 60000))
        << Sandbox::queryValue("select count(*) from indication");
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where ProviderName='Fan'"),
              "200");
    for (const char* name : {"Unknown", "Wide", "second"}) {
        EXPECT_EQ(Sandbox::queryValue(std::string("select count(*) from indication where "
                                                  "ProviderName='") +
                                      name + "'"),
                  "1")
            << name;
    }
    EXPECT_EQ(readFile(objectsFile), registered);
    EXPECT_EQ(Sandbox::countContaining("createIntance"), 0u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
