// This project's CIMC layer as callers of the real client library meet it (an installed
// library is not tested here): value semantics (setters copy, getters return views), the
// CIMC_chars convention, path text, date-time checks, and the "SfcbLocal" connector against
// a real repository in a temporary folder. Every case releases what it made (ASan checks).
#include "broker/repository.h"
#include "cimc/cimc.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#ifndef ORVIND_SYSTEM_CIMC

namespace {

template <class T> struct Releaser {
    void operator()(T* p) const { p->ft->release(p); }
};
template <class T> using Own = std::unique_ptr<T, Releaser<T>>;
template <class T> Own<T> own(T* p) {
    return Own<T>(p);
}

// Checks a failed call's code and that it carries a message, then releases it.
void expectRc(const CIMCStatus& st, int rc) {
    EXPECT_EQ(st.rc, rc);
    ASSERT_NE(st.msg, nullptr);
    st.msg->ft->release(st.msg);
}

// With CIMC_chars a setter's value argument is the text itself.
CIMCValue* charsValue(const char* text) {
    return reinterpret_cast<CIMCValue*>(const_cast<char*>(text));
}

// The text of a string value; a value that is not there fails the test, not the run.
std::string chars(const CIMCData& d) {
    bool there = d.type == CIMC_string && d.state == CIMC_goodValue && d.value.string != nullptr;
    EXPECT_TRUE(there) << "type " << d.type << ", state " << d.state;
    return there ? static_cast<const char*>(d.value.string->hdl) : "<no string>";
}
// Takes over the object and returns its text.
std::string text(CIMCString* s) {
    std::string t = s->ft->getCharPtr(s, nullptr);
    s->ft->release(s);
    return t;
}

class Cimc : public testing::Test {
protected:
    void SetUp() override {
        setenv("ORVIND_BROKER_DIR", dir.path().c_str(), 1);
        env = NewCIMCEnv("SfcbLocal", CIMC_NO_CURL_INIT, nullptr, nullptr);
        ASSERT_NE(env, nullptr);
    }
    void TearDown() override {
        client.reset();
        ReleaseCIMCEnv(env);
    }
    CIMCString* str(const char* t) { return env->ft->newString(env, t, nullptr); }
    Own<CIMCObjectPath> path(const char* ns, const char* cn) {
        return own(env->ft->newObjectPath(env, ns, cn, nullptr));
    }
    // Creates an instance at op with the property; the broker's code, its message in
    // `message`.
    int create(CIMCObjectPath* op, const char* property, const char* value) {
        auto inst = own(env->ft->newInstance(env, op, nullptr));
        inst->ft->setProperty(inst.get(), property, charsValue(value), CIMC_chars);
        CIMCStatus st{};
        auto created = own(client->ft->createInstance(client.get(), op, inst.get(), &st));
        EXPECT_EQ(created != nullptr, st.rc == CIMC_RC_OK);
        message = st.msg != nullptr ? text(st.msg) : "<none>";
        return st.rc;
    }
    // A handler's path; reversed: its keys in the other order, their names in capitals.
    Own<CIMCObjectPath> handler(const char* name, bool reversed = false) {
        auto op = path("root/interop", "CIM_IndicationHandlerCIMXML");
        const char* cls = "CIM_IndicationHandlerCIMXML";
        op->ft->addKey(op.get(), reversed ? "NAME" : "CreationClassName",
                       charsValue(reversed ? name : cls), CIMC_chars);
        op->ft->addKey(op.get(), reversed ? "CREATIONCLASSNAME" : "Name",
                       charsValue(reversed ? cls : name), CIMC_chars);
        return op;
    }

    TempDir dir;
    CIMCEnv* env = nullptr;
    Own<CIMCClient> client;
    std::string message;
};

TEST_F(Cimc, StringsDateTimesAndArrays) {
    auto s = own(str("Fan <1>"));
    EXPECT_STREQ(static_cast<const char*>(s->hdl), "Fan <1>") << "the handle is the text";
    EXPECT_EQ(text(str(nullptr)), "");

    CIMCStatus st{};
    for (const char* t :
         {"20140315123456.000007+060", "20140315123456.000000-300", "00000001020304.000005:000"}) {
        auto dt = own(env->ft->newDateTimeFromChars(env, t, &st));
        ASSERT_NE(dt, nullptr) << t;
        EXPECT_EQ(st.rc, CIMC_RC_OK);
        EXPECT_EQ(dt->ft->isInterval(dt.get(), nullptr), t[21] == ':');
        EXPECT_EQ(text(dt->ft->getStringFormat(dt.get(), nullptr)), t);
    }
    for (const char* t : {"", "2014", "20140315123456.000000+0600", "20140315123456.000000*060"}) {
        EXPECT_EQ(env->ft->newDateTimeFromChars(env, t, &st), nullptr) << t;
        expectRc(st, CIMC_RC_ERR_INVALID_PARAMETER);
    }
    EXPECT_EQ(env->ft->newDateTimeFromChars(env, nullptr, nullptr), nullptr);

    // An array of chars holds copied strings and refuses other types and indexes.
    auto ar = own(env->ft->newArray(env, 2, CIMC_chars, nullptr));
    EXPECT_EQ(ar->ft->getSimpleType(ar.get(), nullptr), CIMC_string);
    EXPECT_EQ(ar->ft->getSize(ar.get(), nullptr), 2u);
    EXPECT_EQ(ar->ft->getElementAt(ar.get(), 1, nullptr).state, CIMC_nullValue);
    CIMCValue v{};
    v.string = str("a");
    EXPECT_EQ(ar->ft->setElementAt(ar.get(), 0, &v, CIMC_string).rc, CIMC_RC_OK);
    expectRc(ar->ft->setElementAt(ar.get(), 2, &v, CIMC_string), CIMC_RC_ERR_FAILED);
    own(v.string);
    expectRc(ar->ft->setElementAt(ar.get(), 1, charsValue("b"), CIMC_chars), CIMC_RC_ERR_FAILED);
    v.uint16 = 7;
    expectRc(ar->ft->setElementAt(ar.get(), 1, &v, CIMC_uint16), CIMC_RC_ERR_FAILED);
    CIMCData e = ar->ft->getElementAt(ar.get(), 0, nullptr);
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
    EXPECT_EQ(chars(c->ft->getKey(c.get(), "NAME", nullptr)), name) << "the first value is kept";
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
}

// Numbers and date-times in and out of an instance: the parser's golden documents; each
// property by its index: the parser's ShowInstance test.
TEST_F(Cimc, InstancePropertiesAreCopiedInAndViewedOut) {
    auto inst = own(env->ft->newInstance(env, path("root/zarn", "VEXA_Alert").get(), nullptr));
    CIMCValue v{};
    v.string = str("Fan Monitor Provider");
    EXPECT_EQ(inst->ft->setProperty(inst.get(), "ProviderName", &v, CIMC_string).rc, CIMC_RC_OK);
    own(v.string);
    char first[] = "first";
    inst->ft->setProperty(inst.get(), "OtherSeverity", charsValue(first), CIMC_chars);
    first[0] = 'F';

    CIMCStatus st{};
    EXPECT_EQ(chars(inst->ft->getProperty(inst.get(), "providername", &st)),
              "Fan Monitor Provider");
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    CIMCData d = inst->ft->getProperty(inst.get(), "OtherSeverity", nullptr);
    EXPECT_EQ(d.type, CIMC_string) << "chars are stored as a string";
    EXPECT_EQ(chars(d), "first");
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

    auto c = own(inst->ft->clone(inst.get(), nullptr));
    inst.reset();
    auto p = own(c->ft->getObjectPath(c.get(), nullptr));
    EXPECT_EQ(text(p->ft->toString(p.get(), nullptr)), "root/zarn:VEXA_Alert");
    EXPECT_EQ(c->ft->getPropertyCount(c.get(), nullptr), 2u);
}

// What exists is refused with an empty message (across processes, and a connection without
// the broker: the subscription client's cases); an indication in the providers' namespace
// is kept, keyless, every time; no other namespace has a provider.
TEST_F(Cimc, ConnectorAnswersAsTheBroker) {
    CIMCStatus st{};
    client.reset(env->ft->connect(env, "localhost", nullptr, nullptr, nullptr, nullptr, &st));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    EXPECT_EQ(create(handler("orvind").get(), "Destination", "file:///tmp/a"), 0);
    EXPECT_EQ(create(handler("orvind", true).get(), "Destination", "file:///b"),
              CIMC_RC_ERR_ALREADY_EXISTS)
        << "keys compare without case and order";
    EXPECT_EQ(message, "");
    EXPECT_EQ(create(handler("other").get(), "Target", "file:///b"), CIMC_RC_ERR_INVALID_PARAMETER);

    for (const char* ns : {"root/zarn", "root/zarn", "root/cimv2"}) {
        auto alert = path(ns, "VEXA_AlertIndication");
        alert->ft->addKey(alert.get(), "IndicationIdentifier", charsValue("1"), CIMC_chars);
        EXPECT_EQ(create(alert.get(), "ProviderName", "Fan"),
                  ns[5] == 'z' ? CIMC_RC_OK : CIMC_RC_ERR_NOT_SUPPORTED)
            << ns;
    }
    std::vector<broker::Object> objects;
    ASSERT_TRUE(broker::Repository(dir.path()).list(&objects).good());
    ASSERT_EQ(objects.size(), 3u);
    for (size_t i = 1; i < objects.size(); ++i) {
        EXPECT_EQ(broker::pathText(objects[i].path), "root/zarn:VEXA_AlertIndication");
        EXPECT_EQ(objects[i].properties.at(0).value.items, std::vector<std::string>{"Fan"});
    }
}

} // namespace

#endif
