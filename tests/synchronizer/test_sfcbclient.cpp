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

// The log lines without their time and level prefix.
std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const std::string& line : testLogLines()) {
        size_t at = line.find("][info] ");
        out.push_back(at == std::string::npos ? line : line.substr(at + 8));
    }
    return out;
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

TEST_F(SfcbClientTest, FirstStartRegistersFilterHandlerAndSubscription) {
    SfcbClient* client = SfcbClient::getSfcbClient();
    EXPECT_EQ(SfcbClient::getSfcbClient(), client);
    client->createSubscription();
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "connect() rc=0, msg=(null)",
                              "createFilter () rc=0, msg=(null)",
                              "createHandler () rc=0, msg=(null)",
                              "createSubscription () rc=0, msg=(null)",
                          }));

    // The filter, the handler (its destination the pipe's URL) and the subscription
    // naming both, as the repository holds them.
    const std::string expected = ORVIND_TEST_DATA "/broker/registered.expected";
    if (getenv("ORVIND_UPDATE_GOLDEN") != nullptr) {
        writeFile(expected, broker::formatRepository(registered()));
    }
    EXPECT_EQ(broker::formatRepository(registered()), readFile(expected));
}

TEST_F(SfcbClientTest, SecondStartIsRefusedAndCarriesOn) {
    pid_t pid = fork();
    if (pid == 0) {
        SfcbClient::getSfcbClient()->createSubscription();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(registered().size(), 3u);
    clearTestLog();

    SfcbClient::getSfcbClient()->createSubscription();
    std::vector<std::string> lines = messages();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "connect() rc=0, msg=(null)");
    // The broker's refusal comes with an empty message.
    EXPECT_EQ(lines[1], "createFilter () rc=11, msg=");
    EXPECT_EQ(lines[2], "createHandler () rc=11, msg=");
    EXPECT_EQ(lines[3], "createSubscription () rc=11, msg=");
    EXPECT_EQ(registered().size(), 3u);
}

TEST_F(SfcbClientTest, InstanceIsMadeLocallyAndNothingIsSentToTheBroker) {
    SfcbClient* client = SfcbClient::getSfcbClient();
    clearTestLog();
    CIMCInstance* inst = client->createInstance("VEXA_AlertIndication");
    ASSERT_NE(inst, nullptr);
    // The broker would accept (and keep for good) an instance of an
    // indication class; none may reach it.
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "createInstance newobjectpath () rc=0, msg=(null)",
                              "createInstance newIntance() rc=0, msg=(null)",
                          }));

    CIMCObjectPath* op = inst->ft->getObjectPath(inst, nullptr);
    CIMCString* s = op->ft->toString(op, nullptr);
    EXPECT_STREQ(static_cast<const char*>(s->hdl), "root/zarn:VEXA_AlertIndication");
    s->ft->release(s);
    op->ft->release(op);
    EXPECT_EQ(inst->ft->getPropertyCount(inst, nullptr), 0u);
    inst->ft->release(inst);
    EXPECT_TRUE(registered().empty());
}

TEST_F(SfcbClientTest, FactoryMakesStringsDateTimesAndArrays) {
    SfcbClient* client = SfcbClient::getSfcbClient();
    clearTestLog();
    CIMCArray* strings = client->createArray(2, CIMC_string);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(strings->ft->getSimpleType(strings, nullptr), CIMC_string);
    EXPECT_EQ(strings->ft->getSize(strings, nullptr), 2u);
    strings->ft->release(strings);
    EXPECT_EQ(client->createArray(-1, CIMC_uint16), nullptr);

    CIMCDateTime* dt = client->createDateTime("20140315123456.000000+060");
    ASSERT_NE(dt, nullptr);
    dt->ft->release(dt);
    EXPECT_EQ(client->createDateTime("yesterday"), nullptr);

    CIMCString* s = client->createString("Fan Monitor Provider");
    EXPECT_STREQ(static_cast<const char*>(s->hdl), "Fan Monitor Provider");
    s->ft->release(s);
    EXPECT_TRUE(messages().empty()) << "the factory logs nothing";
}

TEST(SfcbClientWithoutBroker, EveryCallLogsAndNothingCrashes) {
    TempDir dir;
    std::string missing = dir.file("not-running");
    setenv("ORVIND_BROKER_DIR", missing.c_str(), 1);
    clearTestLog();
    SfcbClient* client = SfcbClient::getSfcbClient();
    EXPECT_EQ(SfcbClient::getSfcbClient(), client);
    std::vector<std::string> lines = messages();
    ASSERT_EQ(lines.size(), 1u) << "connected once, no retry";
    EXPECT_EQ(lines[0].rfind("connect() rc=1, msg=Cannot connect to the local CIM broker", 0), 0u)
        << lines[0];

    clearTestLog();
    client->createSubscription();
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "createFilter () rc=1, msg=no connection to the CIM broker",
                              "createHandler () rc=1, msg=no connection to the CIM broker",
                              "createSubscription () rc=1, msg=no connection to the CIM broker",
                          }));

    // The parser still gets its local objects.
    clearTestLog();
    CIMCInstance* inst = client->createInstance("VEXA_AlertIndication");
    ASSERT_NE(inst, nullptr);
    inst->ft->release(inst);
    EXPECT_EQ(messages().size(), 2u);
    CIMCString* s = client->createString("x");
    ASSERT_NE(s, nullptr);
    s->ft->release(s);
}

} // namespace

#endif
