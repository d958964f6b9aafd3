// SfcbClient against a real broker repository in a temporary folder. Each
// case runs in a process of its own, so each meets a fresh single instance.
#include "sfcbclient.h"

#include "broker/repository.h"
#include "broker/subscriptions.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// These cases hold this project's own CIMC layer and broker to their
// behaviour; an installed client library is not tested here.
#ifndef ORVIND_SYSTEM_CIMC

namespace {

// What the three registrations log; `connected`, the connection's line before them.
std::vector<std::string> registrations(const std::string& rc, const std::string& msg,
                                       bool connected = false) {
    std::vector<std::string> lines;
    if (connected) {
        lines.push_back("[info] connect() rc=0, msg=(null)");
    }
    for (const char* what : {"createFilter", "createHandler", "createSubscription"}) {
        lines.push_back("[info] " + std::string(what) + " () rc=" + rc + ", msg=" + msg);
    }
    return lines;
}

class SfcbClientTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("ORVIND_BROKER_DIR", dir.path().c_str(), 1);
        clearTestLog();
    }
    std::vector<broker::Object> registered() {
        std::vector<broker::Object> objects;
        broker::Status st = broker::Repository(dir.path()).list(&objects);
        EXPECT_TRUE(st.good()) << st.message;
        return objects;
    }
    TempDir dir;
};

// The first start (in a process of its own) registers the filter, the handler and the
// subscription; a second start is refused by the broker and carries on.
TEST_F(SfcbClientTest, FirstStartRegistersSecondIsRefusedAndCarriesOn) {
    pid_t pid = fork();
    if (pid == 0) {
        SfcbClient* client = SfcbClient::getSfcbClient();
        client->createSubscription();
        _exit(SfcbClient::getSfcbClient() == client ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "one instance for each process";
    EXPECT_EQ(logEntries(), registrations("0", "(null)", true));
    // The filter, the handler (its destination the pipe's URL) and the subscription
    // naming both, as the repository holds them.
    const std::string golden = ORVIND_TEST_DATA "/broker/registered.expected";
    if (getenv("ORVIND_UPDATE_GOLDEN") != nullptr) {
        writeFile(golden, broker::formatRepository(registered()));
    }
    EXPECT_EQ(broker::formatRepository(registered()), readFile(golden));

    clearTestLog();
    SfcbClient::getSfcbClient()->createSubscription();
    // The broker's refusal comes with an empty message.
    EXPECT_EQ(logEntries(), registrations("11", "", true));
    EXPECT_EQ(registered().size(), 3u);
}

TEST_F(SfcbClientTest, InstanceIsMadeLocallyAndNothingIsSentToTheBroker) {
    CIMCInstance* inst = SfcbClient::getSfcbClient()->createInstance("VEXA_AlertIndication");
    ASSERT_NE(inst, nullptr);
    // The broker would accept (and keep for good) an instance of an
    // indication class; none may reach it.
    CIMCObjectPath* op = inst->ft->getObjectPath(inst, nullptr);
    CIMCString* s = op->ft->toString(op, nullptr);
    EXPECT_STREQ(static_cast<const char*>(s->hdl), "root/zarn:VEXA_AlertIndication");
    s->ft->release(s);
    op->ft->release(op);
    inst->ft->release(inst);
    EXPECT_TRUE(registered().empty());
}

TEST(SfcbClientWithoutBroker, EveryCallLogsAndNothingCrashes) {
    TempDir dir;
    setenv("ORVIND_BROKER_DIR", dir.file("not-running").c_str(), 1);
    clearTestLog();
    SfcbClient* client = SfcbClient::getSfcbClient();
    EXPECT_EQ(SfcbClient::getSfcbClient(), client);
    std::vector<std::string> lines = logEntries();
    ASSERT_EQ(lines.size(), 1u) << "connected once, no retry";
    EXPECT_EQ(
        lines[0].rfind("[info] connect() rc=1, msg=Cannot connect to the local CIM broker", 0), 0u)
        << lines[0];

    clearTestLog();
    client->createSubscription();
    EXPECT_EQ(logEntries(), registrations("1", "no connection to the CIM broker"));
    // The parser still gets its local objects.
    CIMCInstance* inst = client->createInstance("VEXA_AlertIndication");
    ASSERT_NE(inst, nullptr);
    inst->ft->release(inst);
}

} // namespace

#endif
