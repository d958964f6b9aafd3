// The CIMC layer as callers of the real client library meet it: value semantics (setters
// copy, getters return views), the CIMC_chars convention, path text, date-time checks, and
// the "SfcbLocal" connector against a real repository in a temporary folder. Every case
// releases what it made, so the ASan build reports any leak.
#include "broker/repository.h"
#include "cimc/cimc.h"
#include "cimcstatus.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// These cases hold this project's own CIMC layer and broker to their
// behaviour; an installed client library is not tested here.
#ifndef ORVIND_SYSTEM_CIMC

namespace {

template <class T> struct Releaser {
    void operator()(T* p) const { p->ft->release(p); }
};
template <class T> using Own = std::unique_ptr<T, Releaser<T>>;
template <class T> Own<T> own(T* p) {
    return Own<T>(p);
}

std::string chars(const CIMCData& d) {
    return static_cast<const char*>(d.value.string->hdl);
}
// Take over the object and return its text.
std::string text(CIMCString* s) {
    if (s == nullptr) {
        return "<null>";
    }
    std::string t = s->ft->getCharPtr(s, nullptr);
    s->ft->release(s);
    return t;
}
std::string text(CIMCDateTime* dt) {
    auto owned = own(dt);
    return text(dt->ft->getStringFormat(dt, nullptr));
}

class Cimc : public testing::Test {
protected:
    void SetUp() override {
        setenv("ORVIND_BROKER_DIR", dir.path().c_str(), 1);
        int rc = -1;
        char* msg = nullptr;
        env = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
        ASSERT_NE(env, nullptr);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(msg, nullptr);
    }
    void TearDown() override {
        client.reset();
        ReleaseCIMCEnv(env);
        unsetenv("ORVIND_BROKER_DIR");
    }
    CIMCString* str(const char* t) { return env->ft->newString(env, t, nullptr); }
    Own<CIMCObjectPath> path(const char* ns, const char* cn) {
        return own(env->ft->newObjectPath(env, ns, cn, nullptr));
    }
    CIMCDateTime* dateTime(const char* t, CIMCStatus* st = nullptr) {
        return env->ft->newDateTimeFromChars(env, t, st);
    }
    void connect() {
        CIMCStatus st{};
        client.reset(env->ft->connect(env, "localhost", nullptr, nullptr, nullptr, nullptr, &st));
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(st.rc, CIMC_RC_OK);
        EXPECT_EQ(st.msg, nullptr);
    }
    Own<CIMCObjectPath> handlerPath(const char* name) {
        auto op = path("root/interop", "CIM_IndicationHandlerCIMXML");
        op->ft->addKey(op.get(), "Name", charsValue(name), CIMC_chars);
        return op;
    }
    // Creates an instance at op with the property; returns the broker's code and message.
    int create(CIMCObjectPath* op, const char* property, const char* value,
               std::string* message = nullptr) {
        auto inst = own(env->ft->newInstance(env, op, nullptr));
        inst->ft->setProperty(inst.get(), property, charsValue(value), CIMC_chars);
        CIMCStatus st{};
        auto created = own(client->ft->createInstance(client.get(), op, inst.get(), &st));
        EXPECT_EQ(created != nullptr, st.rc == CIMC_RC_OK);
        if (st.msg != nullptr && message != nullptr) {
            *message = static_cast<const char*>(st.msg->hdl);
        }
        own(st.msg);
        return st.rc;
    }
    int createHandler(const char* name, const char* destination, std::string* message = nullptr) {
        return create(handlerPath(name).get(), "Destination", destination, message);
    }

    TempDir dir;
    CIMCEnv* env = nullptr;
    Own<CIMCClient> client;
};

TEST(CimcEnv, ConnectorIdsAnswerLikeTheRealLibrary) {
    int rc = -1;
    char* msg = nullptr;
    EXPECT_EQ(NewCIMCEnv("XML", 0, &rc, &msg), nullptr);
    EXPECT_EQ(rc, 1);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(std::string(msg).rfind("Unable to load libcimcClientXML.so.0 library ", 0), 0u);
    free(msg);
    EXPECT_EQ(NewCIMCEnv("sfcblocal", 0, &rc, &msg), nullptr);
    EXPECT_EQ(rc, 3);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, "Invalid connection type 'sfcblocal'. Must be 'XML' or 'SfcbLocal'.");
    free(msg);
    CIMCEnv* env = NewCIMCEnv("SfcbLocal", CIMC_NO_CURL_INIT, &rc, &msg);
    ASSERT_NE(env, nullptr);
    EXPECT_STREQ(env->ft->env, "SfcbLocal");
    EXPECT_EQ(env->options, CIMC_NO_CURL_INIT);
    ReleaseCIMCEnv(env);
}

TEST_F(Cimc, StringsAndDateTimes) {
    auto s = own(str("Fan <1>"));
    EXPECT_STREQ(static_cast<const char*>(s->hdl), "Fan <1>") << "the handle is the text";
    CIMCString* c = s->ft->clone(s.get(), nullptr);
    s.reset();
    EXPECT_EQ(text(c), "Fan <1>");
    EXPECT_EQ(text(str(nullptr)), "");

    CIMCStatus st{};
    for (const char* t :
         {"20140315123456.000000+060", "20140315123456.000000-300", "00000001020304.000005:000"}) {
        CIMCDateTime* dt = dateTime(t, &st);
        ASSERT_NE(dt, nullptr) << t;
        EXPECT_EQ(st.rc, CIMC_RC_OK);
        EXPECT_EQ(dt->ft->isInterval(dt, nullptr), t[21] == ':');
        EXPECT_EQ(text(dt), t);
    }
    for (const char* t : {"", "2014", "20140315123456.000000+0600", "20140315123456.000000*060"}) {
        EXPECT_EQ(dateTime(t, &st), nullptr) << t;
        expectRc(st, CIMC_RC_ERR_INVALID_PARAMETER);
    }
    EXPECT_EQ(dateTime(nullptr), nullptr);

    auto dt = own(dateTime("20140315123456.000007+060"));
    EXPECT_EQ(dt->ft->getBinaryFormat(dt.get(), nullptr), 1394883296000007ULL) << "11:34:56 UTC";
}

TEST_F(Cimc, ArrayOfCharsHoldsCopiedStringsAndRefusesOtherTypes) {
    auto ar = own(env->ft->newArray(env, 2, CIMC_chars, nullptr));
    EXPECT_EQ(ar->ft->getSimpleType(ar.get(), nullptr), CIMC_string);
    EXPECT_EQ(ar->ft->getSize(ar.get(), nullptr), 2u);
    EXPECT_EQ(ar->ft->getElementAt(ar.get(), 1, nullptr).state, CIMC_nullValue);
    CIMCValue v{};
    v.string = str("a");
    EXPECT_EQ(ar->ft->setElementAt(ar.get(), 0, &v, CIMC_string).rc, CIMC_RC_OK);
    own(v.string);
    expectRc(ar->ft->setElementAt(ar.get(), 1, charsValue("b"), CIMC_chars), CIMC_RC_ERR_FAILED);
    v.uint16 = 7;
    expectRc(ar->ft->setElementAt(ar.get(), 1, &v, CIMC_uint16), CIMC_RC_ERR_FAILED);
    auto past = own(str("c"));
    v.string = past.get();
    expectRc(ar->ft->setElementAt(ar.get(), 2, &v, CIMC_string), CIMC_RC_ERR_FAILED);
    auto c = own(ar->ft->clone(ar.get(), nullptr));
    ar.reset();
    CIMCData e = c->ft->getElementAt(c.get(), 0, nullptr);
    EXPECT_EQ(e.type, CIMC_string);
    EXPECT_EQ(e.state, CIMC_goodValue);
    EXPECT_EQ(chars(e), "a");
}

TEST_F(Cimc, ObjectPathKeysAndText) {
    auto op = path("root/interop", "CIM_IndicationFilter");
    const char* name = "or\"vi\\nd";
    EXPECT_EQ(op->ft->addKey(op.get(), "Name", charsValue(name), CIMC_chars).rc, CIMC_RC_OK);
    CIMCValue n{};
    n.uint32 = 42;
    EXPECT_EQ(op->ft->addKey(op.get(), "Id", &n, CIMC_uint32).rc, CIMC_RC_OK);
    expectRc(op->ft->addKey(op.get(), "name", charsValue("x"), CIMC_chars),
             CIMC_RC_ERR_ALREADY_EXISTS);
    EXPECT_EQ(text(op->ft->toString(op.get(), nullptr)),
              "root/interop:CIM_IndicationFilter.Name=\"or\\\"vi\\\\nd\",Id=42");

    auto c = own(op->ft->clone(op.get(), nullptr));
    op->ft->setNameSpace(op.get(), "root/zarn");
    op.reset();
    EXPECT_EQ(text(c->ft->getNameSpace(c.get(), nullptr)), "root/interop");
    EXPECT_EQ(text(c->ft->getClassName(c.get(), nullptr)), "CIM_IndicationFilter");
    EXPECT_EQ(chars(c->ft->getKey(c.get(), "Name", nullptr)), name) << "the first value is kept";
    CIMCStatus missing{};
    EXPECT_EQ(c->ft->getKey(c.get(), "Other", &missing).state, CIMC_nullValue);
    expectRc(missing, CIMC_RC_ERR_NO_SUCH_PROPERTY);

    // A reference key is a copy, quoted in the text.
    auto sub = path("root/interop", "CIM_IndicationSubscription");
    n.ref = c.get();
    EXPECT_EQ(sub->ft->addKey(sub.get(), "Filter", &n, CIMC_ref).rc, CIMC_RC_OK);
    c.reset();
    EXPECT_EQ(text(sub->ft->toString(sub.get(), nullptr)),
              "root/interop:CIM_IndicationSubscription.Filter=\"root/interop:CIM_IndicationFilter"
              ".Name=\\\"or\\\\\\\"vi\\\\\\\\nd\\\",Id=42\"");
    CIMCData key = sub->ft->getKey(sub.get(), "Filter", nullptr);
    EXPECT_EQ(key.type, CIMC_ref);
    EXPECT_EQ(text(key.value.ref->ft->getClassName(key.value.ref, nullptr)),
              "CIM_IndicationFilter");
}

TEST_F(Cimc, InstancePropertiesAreCopiedInAndViewedOut) {
    CIMCStatus st{};
    auto inst =
        own(env->ft->newInstance(env, path("root/zarn", "VEXA_AlertIndication").get(), &st));
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    CIMCValue v{};
    v.string = str("Fan Monitor Provider");
    EXPECT_EQ(inst->ft->setProperty(inst.get(), "ProviderName", &v, CIMC_string).rc, CIMC_RC_OK);
    own(v.string);
    char first[] = "first";
    inst->ft->setProperty(inst.get(), "OtherSeverity", charsValue(first), CIMC_chars);
    first[0] = 'F';
    v.uint16 = 6;
    inst->ft->setProperty(inst.get(), "PerceivedSeverity", &v, CIMC_uint16);
    v.dateTime = dateTime("20140315123456.000000+060");
    inst->ft->setProperty(inst.get(), "IndicationTime", &v, CIMC_dateTime);
    own(v.dateTime);

    CIMCData d = inst->ft->getProperty(inst.get(), "ProviderName", &st);
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    EXPECT_EQ(chars(d), "Fan Monitor Provider");
    d = inst->ft->getProperty(inst.get(), "OtherSeverity", nullptr);
    EXPECT_EQ(d.type, CIMC_string) << "chars are stored as a string";
    EXPECT_EQ(chars(d), "first");
    d = inst->ft->getProperty(inst.get(), "PerceivedSeverity", nullptr);
    EXPECT_EQ(d.type, CIMC_uint16);
    EXPECT_EQ(d.value.uint16, 6);
    d = inst->ft->getProperty(inst.get(), "IndicationTime", nullptr);
    EXPECT_EQ(text(d.value.dateTime->ft->getStringFormat(d.value.dateTime, nullptr)),
              "20140315123456.000000+060");
    // A property the instance does not have is not one that is NULL.
    d = inst->ft->getProperty(inst.get(), "Missing", &st);
    EXPECT_EQ(d.type, CIMC_null);
    EXPECT_EQ(d.state, CIMC_notFound);
    expectRc(st, CIMC_RC_ERR_NO_SUCH_PROPERTY);

    // Overwriting replaces in place; setting a property from its own view is safe.
    d = inst->ft->getProperty(inst.get(), "ProviderName", nullptr);
    inst->ft->setProperty(inst.get(), "ProviderName", &d.value, d.type);
    inst->ft->setProperty(inst.get(), "OtherSeverity", nullptr, CIMC_chars);
    EXPECT_EQ(inst->ft->getProperty(inst.get(), "OtherSeverity", nullptr).state, CIMC_nullValue);
    CIMCString* name = nullptr;
    EXPECT_EQ(chars(inst->ft->getPropertyAt(inst.get(), 0, &name, nullptr)),
              "Fan Monitor Provider");
    EXPECT_EQ(text(name), "ProviderName");

    auto c = own(inst->ft->clone(inst.get(), nullptr));
    inst.reset();
    EXPECT_EQ(c->ft->getPropertyCount(c.get(), nullptr), 4u);
    auto p = own(c->ft->getObjectPath(c.get(), nullptr));
    EXPECT_EQ(text(p->ft->toString(p.get(), nullptr)), "root/zarn:VEXA_AlertIndication");
    // A type the objects cannot hold is refused, not stored.
    CIMCValue none{};
    expectRc(c->ft->setProperty(c.get(), "P", &none, CIMC_class), CIMC_RC_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c->ft->getPropertyCount(c.get(), nullptr), 4u);
}

// Slots that exist but do nothing answer so, rather than crash a caller.
TEST_F(Cimc, UnsupportedSlotsAnswerNotSupported) {
    connect();
    CIMCStatus st{};
    int port = 0;
    char* socket = nullptr;
    EXPECT_EQ(env->ft->newIndicationListener(env, 0, &port, &socket, nullptr, &st), nullptr);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    auto op = handlerPath("x");
    op->ft->getClassQualifier(op.get(), "Key", &st);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    auto inst = own(env->ft->newInstance(env, op.get(), nullptr));
    inst->ft->getQualifierCount(inst.get(), &st);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    expectRc(inst->ft->setPropertyFilter(inst.get(), nullptr, nullptr), CIMC_RC_ERR_NOT_SUPPORTED);
    EXPECT_EQ(client->ft->enumClassNames(client.get(), op.get(), 0, &st), nullptr);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    client->ft->invokeMethod(client.get(), op.get(), "m", nullptr, nullptr, &st);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    expectRc(client->ft->setInstance(client.get(), op.get(), nullptr, 0, nullptr),
             CIMC_RC_ERR_NOT_SUPPORTED);
}

TEST_F(Cimc, ConnectorRefusesWhatExistsAcrossProcesses) {
    connect();
    EXPECT_EQ(createHandler("orvind", "file:///tmp/a"), 0);
    std::string message = "<no message>";
    EXPECT_EQ(createHandler("orvind", "file:///tmp/b", &message), CIMC_RC_ERR_ALREADY_EXISTS);
    EXPECT_EQ(message, "") << "the refusal comes with an empty message";
    // Another process sees the objects, and its own persist for this one.
    pid_t pid = fork();
    if (pid == 0) {
        _exit(createHandler("child", "file:///tmp/c") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(createHandler("child", "file:///tmp/d"), CIMC_RC_ERR_ALREADY_EXISTS);
}

// An instance of an indication class in the providers' namespace is kept, keyless,
// every time it is asked for; no other namespace has a provider.
TEST_F(Cimc, ConnectorKeepsEveryInstanceInTheProviderNamespace) {
    connect();
    for (const char* ns : {"root/zarn", "root/zarn", "root/cimv2"}) {
        auto op = path(ns, "VEXA_AlertIndication");
        op->ft->addKey(op.get(), "IndicationIdentifier", charsValue("1"), CIMC_chars);
        EXPECT_EQ(create(op.get(), "ProviderName", "Fan"),
                  ns[5] == 'z' ? CIMC_RC_OK : CIMC_RC_ERR_NOT_SUPPORTED)
            << ns;
    }
    std::vector<broker::Object> objects;
    ASSERT_TRUE(broker::Repository(dir.path()).list(&objects).good());
    ASSERT_EQ(objects.size(), 2u);
    for (const broker::Object& o : objects) {
        EXPECT_EQ(broker::pathText(o.path), "root/zarn:VEXA_AlertIndication");
        EXPECT_EQ(o.properties.at(0).value.items, std::vector<std::string>{"Fan"});
    }
}

TEST_F(Cimc, ConnectingToAMissingRepositoryFailsLikeABrokerThatIsNotRunning) {
    std::string missing = dir.file("not-there");
    setenv("ORVIND_BROKER_DIR", missing.c_str(), 1);
    CIMCStatus st{};
    EXPECT_EQ(env->ft->connect(env, "localhost", nullptr, nullptr, nullptr, nullptr, &st), nullptr);
    ASSERT_NE(st.msg, nullptr);
    EXPECT_NE(std::string(static_cast<const char*>(st.msg->hdl)).find(missing), std::string::npos);
    expectRc(st, CIMC_RC_ERR_FAILED);
}

} // namespace

#endif
