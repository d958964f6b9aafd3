// The "SfcbLocal" connector against a real repository in a temporary folder.
#include "broker/repository.h"
#include "cimc/cimc.h"
#include "cimcstatus.h"
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

class CimcClientTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("ORVIND_BROKER_DIR", dir.path().c_str(), 1);
        env = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
        ASSERT_NE(env, nullptr);
        CIMCStatus st{};
        client = env->ft->connect(env, "localhost", nullptr, nullptr, nullptr, nullptr, &st);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(st.rc, CIMC_RC_OK);
        EXPECT_EQ(st.msg, nullptr);
    }
    void TearDown() override {
        if (client != nullptr) {
            client->ft->release(client);
        }
        ReleaseCIMCEnv(env);
        unsetenv("ORVIND_BROKER_DIR");
    }

    CIMCObjectPath* handlerPath(const char* name) {
        CIMCObjectPath* op =
            env->ft->newObjectPath(env, "root/interop", "CIM_IndicationHandlerCIMXML", nullptr);
        op->ft->addKey(op, "Name", charsValue(name), CIMC_chars);
        return op;
    }
    // Creates a handler and returns the broker's status code.
    int createHandler(const char* name, const char* destination, std::string* message = nullptr) {
        CIMCObjectPath* op = handlerPath(name);
        CIMCInstance* inst = env->ft->newInstance(env, op, nullptr);
        inst->ft->setProperty(inst, "Destination", charsValue(destination), CIMC_chars);
        CIMCValue n{};
        n.uint16 = 2;
        inst->ft->setProperty(inst, "PersistenceType", &n, CIMC_uint16);
        CIMCStatus st{};
        CIMCObjectPath* created = client->ft->createInstance(client, op, inst, &st);
        int code = st.rc;
        if (st.msg != nullptr) {
            if (message != nullptr) {
                *message = static_cast<const char*>(st.msg->hdl);
            }
            st.msg->ft->release(st.msg);
        }
        EXPECT_EQ(created != nullptr, code == 0);
        if (created != nullptr) {
            created->ft->release(created);
        }
        inst->ft->release(inst);
        op->ft->release(op);
        return code;
    }

    TempDir dir;
    int rc = 0;
    char* msg = nullptr;
    CIMCEnv* env = nullptr;
    CIMCClient* client = nullptr;
};

TEST_F(CimcClientTest, CreateGetEnumerateDelete) {
    std::string message;
    EXPECT_EQ(createHandler("orvind", "file:///tmp/a"), 0);
    message = "<no message>";
    EXPECT_EQ(createHandler("orvind", "file:///tmp/b", &message), CIMC_RC_ERR_ALREADY_EXISTS);
    EXPECT_EQ(message, "") << "the refusal comes with an empty message";
    EXPECT_EQ(createHandler("second", "file:///tmp/c"), 0);

    CIMCObjectPath* op = handlerPath("orvind");
    CIMCStatus st{};
    CIMCInstance* got = client->ft->getInstance(client, op, 0, nullptr, &st);
    ASSERT_NE(got, nullptr);
    CIMCData d = got->ft->getProperty(got, "Destination", nullptr);
    EXPECT_EQ(d.type, CIMC_string);
    EXPECT_STREQ(static_cast<const char*>(d.value.string->hdl), "file:///tmp/a");
    d = got->ft->getProperty(got, "PersistenceType", nullptr);
    EXPECT_EQ(d.type, CIMC_uint16);
    EXPECT_EQ(d.value.uint16, 2);
    got->ft->release(got);

    CIMCEnumeration* names = client->ft->enumInstanceNames(client, op, &st);
    ASSERT_NE(names, nullptr);
    int count = 0;
    while (names->ft->hasNext(names, nullptr)) {
        CIMCData ref = names->ft->getNext(names, nullptr);
        EXPECT_EQ(ref.type, CIMC_ref);
        CIMCString* text = ref.value.ref->ft->toString(ref.value.ref, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(text->hdl))
                      .rfind("root/interop:CIM_IndicationHandlerCIMXML.Name=", 0),
                  0u);
        text->ft->release(text);
        ++count;
    }
    EXPECT_EQ(count, 2);
    names->ft->release(names);

    st = client->ft->deleteInstance(client, op);
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    expectRc(client->ft->deleteInstance(client, op), CIMC_RC_ERR_NOT_FOUND);
    EXPECT_EQ(client->ft->getInstance(client, op, 0, nullptr, &st), nullptr);
    expectRc(st, CIMC_RC_ERR_NOT_FOUND);
    op->ft->release(op);
}

TEST_F(CimcClientTest, ObjectsPersistForTheNextProcess) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(createHandler("from-child", "file:///tmp/child") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(createHandler("from-child", "file:///tmp/parent"), CIMC_RC_ERR_ALREADY_EXISTS);
}

// An instance of an indication class in the providers' namespace is kept,
// keyless, every time it is asked for; no other namespace has a provider.
TEST_F(CimcClientTest, InstancesInTheProviderNamespaceAreKeptEveryTime) {
    const char* const cases[][2] = {{"root/zarn", "VEXA_AlertIndication"},
                                    {"root/zarn", "VEXA_AlertIndication"},
                                    {"root/cimv2", "VEXA_AlertIndication"}};
    const int codes[] = {CIMC_RC_OK, CIMC_RC_OK, CIMC_RC_ERR_NOT_SUPPORTED};
    for (int i = 0; i < 3; ++i) {
        CIMCObjectPath* op = env->ft->newObjectPath(env, cases[i][0], cases[i][1], nullptr);
        op->ft->addKey(op, "IndicationIdentifier", charsValue("1"), CIMC_chars);
        CIMCInstance* inst = env->ft->newInstance(env, op, nullptr);
        inst->ft->setProperty(inst, "ProviderName", charsValue("Fan"), CIMC_chars);
        CIMCStatus st{};
        CIMCObjectPath* created = client->ft->createInstance(client, op, inst, &st);
        EXPECT_EQ(st.rc, codes[i]) << i;
        if (st.msg != nullptr) {
            st.msg->ft->release(st.msg);
        }
        if (created != nullptr) {
            created->ft->release(created);
        }
        inst->ft->release(inst);
        op->ft->release(op);
    }
    std::vector<broker::Object> objects;
    ASSERT_TRUE(broker::Repository(dir.path()).list(&objects).good());
    ASSERT_EQ(objects.size(), 2u);
    for (const broker::Object& o : objects) {
        EXPECT_EQ(broker::pathText(o.path), "root/zarn:VEXA_AlertIndication");
        EXPECT_EQ(o.properties.at(0).value.items, std::vector<std::string>{"Fan"});
    }
}

TEST_F(CimcClientTest, UnsupportedOperationsAnswerNotSupported) {
    CIMCStatus st{};
    CIMCObjectPath* op = handlerPath("x");
    EXPECT_EQ(client->ft->enumClassNames(client, op, 0, &st), nullptr);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    client->ft->invokeMethod(client, op, "m", nullptr, nullptr, &st);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    expectRc(client->ft->setInstance(client, op, nullptr, 0, nullptr), CIMC_RC_ERR_NOT_SUPPORTED);
    op->ft->release(op);
}

TEST(CimcConnect, MissingRepositoryFailsLikeABrokerThatIsNotRunning) {
    TempDir dir;
    std::string missing = dir.file("not-there");
    setenv("ORVIND_BROKER_DIR", missing.c_str(), 1);
    int rc = 0;
    char* msg = nullptr;
    CIMCEnv* env = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
    CIMCStatus st{};
    EXPECT_EQ(env->ft->connect(env, "localhost", nullptr, nullptr, nullptr, nullptr, &st), nullptr);
    ASSERT_NE(st.msg, nullptr);
    EXPECT_NE(std::string(static_cast<const char*>(st.msg->hdl)).find(missing), std::string::npos);
    expectRc(st, CIMC_RC_ERR_FAILED);
    ReleaseCIMCEnv(env);
    unsetenv("ORVIND_BROKER_DIR");
}

} // namespace

#endif
