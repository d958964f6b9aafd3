// The CIMC objects: value semantics (setters copy, getters return views), the
// CIMC_chars convention, type checks, path text and date-time validation.
// Every case releases what it made, so the ASan build reports any leak.
#include "cimc/cimc.h"
#include "cimcstatus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

// These cases hold this project's own CIMC layer and broker to their
// behaviour; an installed client library is not tested here.
#ifndef ORVIND_SYSTEM_CIMC

namespace {

std::string chars(const CIMCData& d) {
    return static_cast<const char*>(d.value.string->hdl);
}

class CimcTest : public testing::Test {
protected:
    void SetUp() override {
        int rc = -1;
        char* msg = nullptr;
        env = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
        ASSERT_NE(env, nullptr);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(msg, nullptr);
    }
    void TearDown() override { ReleaseCIMCEnv(env); }

    CIMCString* str(const char* text) { return env->ft->newString(env, text, nullptr); }
    CIMCObjectPath* path(const char* ns, const char* cn) {
        return env->ft->newObjectPath(env, ns, cn, nullptr);
    }
    CIMCDateTime* dateTime(const char* t, CIMCStatus* st = nullptr) {
        return env->ft->newDateTimeFromChars(env, t, st);
    }
    // Takes over s and returns its text.
    static std::string text(CIMCString* s) {
        if (s == nullptr) {
            return "<null>";
        }
        std::string t = s->ft->getCharPtr(s, nullptr);
        s->ft->release(s);
        return t;
    }
    // Takes over dt and returns its text.
    static std::string text(CIMCDateTime* dt) {
        std::string t = text(dt->ft->getStringFormat(dt, nullptr));
        dt->ft->release(dt);
        return t;
    }

    CIMCEnv* env = nullptr;
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
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(msg, nullptr);
    EXPECT_STREQ(env->ft->env, "SfcbLocal");
    EXPECT_EQ(env->options, CIMC_NO_CURL_INIT);
    ReleaseCIMCEnv(env);
}

TEST_F(CimcTest, StringHandleIsTheTextAndCloneIsIndependent) {
    CIMCString* s = str("Fan <1>");
    EXPECT_STREQ(static_cast<const char*>(s->hdl), "Fan <1>");
    CIMCString* c = s->ft->clone(s, nullptr);
    s->ft->release(s);
    EXPECT_EQ(text(c), "Fan <1>");
    EXPECT_EQ(text(str(nullptr)), "");
}

TEST_F(CimcTest, DateTimeTextIsValidated) {
    CIMCStatus st{};
    for (const char* t :
         {"20140315123456.000000+060", "20140315123456.000000-300", "00000001020304.000005:000"}) {
        CIMCDateTime* dt = dateTime(t, &st);
        ASSERT_NE(dt, nullptr) << t;
        EXPECT_EQ(st.rc, CIMC_RC_OK);
        EXPECT_EQ(dt->ft->isInterval(dt, nullptr), t[21] == ':');
        EXPECT_EQ(text(dt), t);
    }
    for (const char* t : {"", "2014", "20140315123456.000000+0600", "20140315123456.000000*060",
                          "20140315123456.0000000060"}) {
        EXPECT_EQ(dateTime(t, &st), nullptr) << t;
        expectRc(st, CIMC_RC_ERR_INVALID_PARAMETER);
    }
    EXPECT_EQ(dateTime(nullptr), nullptr);
}

TEST_F(CimcTest, DateTimeBinaryFormat) {
    CIMCDateTime* dt = dateTime("20140315123456.000007+060");
    // 2014-03-15 11:34:56 UTC
    EXPECT_EQ(dt->ft->getBinaryFormat(dt, nullptr), 1394883296000007ULL);
    dt->ft->release(dt);
    EXPECT_EQ(text(env->ft->newDateTimeFromBinary(env, 1394883296000007ULL, 0, nullptr)),
              "20140315113456.000007+000");
    dt = env->ft->newDateTimeFromBinary(env, 90061000002ULL, 1, nullptr);
    EXPECT_EQ(dt->ft->getBinaryFormat(dt, nullptr), 90061000002ULL);
    EXPECT_EQ(text(dt), "00000001010101.000002:000");
    EXPECT_EQ(text(env->ft->newDateTime(env, nullptr)).size(), 25u);
}

TEST_F(CimcTest, ArrayOfCharsHoldsStringsAndRefusesOtherTypes) {
    CIMCArray* ar = env->ft->newArray(env, 2, CIMC_chars, nullptr);
    EXPECT_EQ(ar->ft->getSimpleType(ar, nullptr), CIMC_string);
    EXPECT_EQ(ar->ft->getSize(ar, nullptr), 2u);
    EXPECT_EQ(ar->ft->getElementAt(ar, 1, nullptr).state, CIMC_nullValue);

    CIMCValue v{};
    v.string = str("a");
    EXPECT_EQ(ar->ft->setElementAt(ar, 0, &v, CIMC_string).rc, CIMC_RC_OK);
    // The array keeps its own copy.
    v.string->ft->release(v.string);
    CIMCData e = ar->ft->getElementAt(ar, 0, nullptr);
    EXPECT_EQ(e.type, CIMC_string);
    EXPECT_EQ(e.state, CIMC_goodValue);
    EXPECT_EQ(chars(e), "a");

    CIMCValue n{};
    n.uint16 = 7;
    expectRc(ar->ft->setElementAt(ar, 1, &n, CIMC_uint16), CIMC_RC_ERR_FAILED);
    expectRc(ar->ft->setElementAt(ar, 1, charsValue("b"), CIMC_chars), CIMC_RC_ERR_FAILED);
    v.string = str("c");
    expectRc(ar->ft->setElementAt(ar, 2, &v, CIMC_string), CIMC_RC_ERR_FAILED);
    v.string->ft->release(v.string);
    EXPECT_EQ(ar->ft->getElementAt(ar, 2, nullptr).state & CIMC_nullValue, CIMC_nullValue);

    CIMCArray* c = ar->ft->clone(ar, nullptr);
    ar->ft->release(ar);
    EXPECT_EQ(chars(c->ft->getElementAt(c, 0, nullptr)), "a");
    c->ft->release(c);

    CIMCArray* nums = env->ft->newArray(env, 1, CIMC_uint16, nullptr);
    EXPECT_EQ(nums->ft->getSimpleType(nums, nullptr), CIMC_uint16);
    EXPECT_EQ(nums->ft->setElementAt(nums, 0, &n, CIMC_uint16).rc, CIMC_RC_OK);
    EXPECT_EQ(nums->ft->getElementAt(nums, 0, nullptr).value.uint16, 7);
    nums->ft->release(nums);
}

TEST_F(CimcTest, ObjectPathKeysTextAndClone) {
    CIMCObjectPath* op = path("root/interop", "CIM_IndicationFilter");
    const char* name = "or\"vi\\nd";
    EXPECT_EQ(op->ft->addKey(op, "Name", charsValue(name), CIMC_chars).rc, CIMC_RC_OK);
    CIMCValue n{};
    n.uint32 = 42;
    EXPECT_EQ(op->ft->addKey(op, "Id", &n, CIMC_uint32).rc, CIMC_RC_OK);
    expectRc(op->ft->addKey(op, "name", charsValue("x"), CIMC_chars), CIMC_RC_ERR_ALREADY_EXISTS);

    EXPECT_EQ(text(op->ft->toString(op, nullptr)),
              "root/interop:CIM_IndicationFilter.Name=\"or\\\"vi\\\\nd\",Id=42");
    EXPECT_EQ(op->ft->getKeyCount(op, nullptr), 2u);
    CIMCString* keyName = nullptr;
    CIMCData key = op->ft->getKeyAt(op, 1, &keyName, nullptr);
    EXPECT_EQ(text(keyName), "Id");
    EXPECT_EQ(key.type, CIMC_uint32);
    key = op->ft->getKey(op, "Name", nullptr);
    EXPECT_EQ(key.type, CIMC_string);
    EXPECT_EQ(chars(key), name);

    CIMCObjectPath* c = op->ft->clone(op, nullptr);
    op->ft->setNameSpace(op, "root/zarn");
    op->ft->release(op);
    EXPECT_EQ(text(c->ft->getNameSpace(c, nullptr)), "root/interop");
    EXPECT_EQ(text(c->ft->getClassName(c, nullptr)), "CIM_IndicationFilter");
    EXPECT_EQ(c->ft->getKeyCount(c, nullptr), 2u);

    CIMCStatus missing{};
    EXPECT_EQ(c->ft->getKey(c, "Other", &missing).state, CIMC_nullValue);
    expectRc(missing, CIMC_RC_ERR_NO_SUCH_PROPERTY);
    c->ft->release(c);

    CIMCObjectPath* bare = path(nullptr, "CIM_Indication");
    EXPECT_EQ(text(bare->ft->toString(bare, nullptr)), "CIM_Indication");
    bare->ft->release(bare);
}

TEST_F(CimcTest, ReferenceKeysAreCopiesAndQuotedInText) {
    CIMCObjectPath* filter = path("root/interop", "CIM_IndicationFilter");
    filter->ft->addKey(filter, "Name", charsValue("orvind"), CIMC_chars);
    CIMCObjectPath* sub = path("root/interop", "CIM_IndicationSubscription");
    CIMCValue v{};
    v.ref = filter;
    EXPECT_EQ(sub->ft->addKey(sub, "Filter", &v, CIMC_ref).rc, CIMC_RC_OK);
    filter->ft->release(filter);
    EXPECT_EQ(text(sub->ft->toString(sub, nullptr)),
              "root/interop:CIM_IndicationSubscription.Filter="
              "\"root/interop:CIM_IndicationFilter.Name=\\\"orvind\\\"\"");
    CIMCData key = sub->ft->getKey(sub, "Filter", nullptr);
    EXPECT_EQ(key.type, CIMC_ref);
    EXPECT_EQ(text(key.value.ref->ft->getClassName(key.value.ref, nullptr)),
              "CIM_IndicationFilter");
    sub->ft->release(sub);
}

TEST_F(CimcTest, InstancePropertiesAreCopiedInAndViewedOut) {
    CIMCObjectPath* op = path("root/zarn", "VEXA_AlertIndication");
    CIMCStatus st{};
    CIMCInstance* inst = env->ft->newInstance(env, op, &st);
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    op->ft->release(op);
    EXPECT_EQ(inst->ft->getPropertyCount(inst, nullptr), 0u);

    CIMCValue v{};
    v.string = str("Fan Monitor Provider");
    EXPECT_EQ(inst->ft->setProperty(inst, "ProviderName", &v, CIMC_string).rc, CIMC_RC_OK);
    v.string->ft->release(v.string);
    char text1[] = "first";
    inst->ft->setProperty(inst, "OtherSeverity", charsValue(text1), CIMC_chars);
    text1[0] = 'F'; // the instance has its own copy
    v.uint16 = 6;
    inst->ft->setProperty(inst, "PerceivedSeverity", &v, CIMC_uint16);
    v.dateTime = dateTime("20140315123456.000000+060");
    inst->ft->setProperty(inst, "IndicationTime", &v, CIMC_dateTime);
    v.dateTime->ft->release(v.dateTime);
    CIMCArray* ar = env->ft->newArray(env, 1, CIMC_uint8, nullptr);
    CIMCValue e{};
    e.uint8 = 9;
    ar->ft->setElementAt(ar, 0, &e, CIMC_uint8);
    v.array = ar;
    inst->ft->setProperty(inst, "Codes", &v, CIMC_ARRAY);
    ar->ft->release(ar);

    CIMCData d = inst->ft->getProperty(inst, "ProviderName", &st);
    EXPECT_EQ(st.rc, CIMC_RC_OK);
    EXPECT_EQ(d.type, CIMC_string);
    EXPECT_EQ(chars(d), "Fan Monitor Provider");
    d = inst->ft->getProperty(inst, "OtherSeverity", nullptr);
    EXPECT_EQ(d.type, CIMC_string);
    EXPECT_EQ(chars(d), "first");
    d = inst->ft->getProperty(inst, "PerceivedSeverity", nullptr);
    EXPECT_EQ(d.type, CIMC_uint16);
    EXPECT_EQ(d.value.uint16, 6);
    d = inst->ft->getProperty(inst, "IndicationTime", nullptr);
    EXPECT_EQ(text(d.value.dateTime->ft->getStringFormat(d.value.dateTime, nullptr)),
              "20140315123456.000000+060");
    d = inst->ft->getProperty(inst, "Codes", nullptr);
    EXPECT_EQ(d.type, CIMC_ARRAY);
    EXPECT_EQ(d.value.array->ft->getElementAt(d.value.array, 0, nullptr).value.uint8, 9);
    // A property the instance does not have is not one that is NULL.
    d = inst->ft->getProperty(inst, "Missing", &st);
    EXPECT_EQ(d.type, CIMC_null);
    EXPECT_EQ(d.state, CIMC_notFound);
    expectRc(st, CIMC_RC_ERR_NO_SUCH_PROPERTY);

    // Overwriting replaces in place; setting a property from its own view is safe.
    d = inst->ft->getProperty(inst, "ProviderName", nullptr);
    inst->ft->setProperty(inst, "ProviderName", &d.value, d.type);
    inst->ft->setProperty(inst, "OtherSeverity", nullptr, CIMC_chars);
    EXPECT_EQ(inst->ft->getPropertyCount(inst, nullptr), 5u);
    EXPECT_EQ(inst->ft->getProperty(inst, "OtherSeverity", nullptr).state, CIMC_nullValue);

    CIMCString* name = nullptr;
    d = inst->ft->getPropertyAt(inst, 0, &name, nullptr);
    EXPECT_EQ(text(name), "ProviderName");
    EXPECT_EQ(chars(d), "Fan Monitor Provider");
    inst->ft->getPropertyAt(inst, 5, &name, &st);
    EXPECT_EQ(name, nullptr);
    expectRc(st, CIMC_RC_ERR_NO_SUCH_PROPERTY);

    CIMCInstance* c = inst->ft->clone(inst, nullptr);
    inst->ft->release(inst);
    CIMCObjectPath* p = c->ft->getObjectPath(c, nullptr);
    EXPECT_EQ(text(p->ft->toString(p, nullptr)), "root/zarn:VEXA_AlertIndication");
    p->ft->release(p);
    EXPECT_EQ(c->ft->getPropertyCount(c, nullptr), 5u);
    c->ft->release(c);
}

TEST_F(CimcTest, UnsupportedSlotsAnswerNotSupported) {
    CIMCStatus st{};
    int port = 0;
    char* socket = nullptr;
    EXPECT_EQ(env->ft->newIndicationListener(env, 0, &port, &socket, nullptr, &st), nullptr);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);

    CIMCObjectPath* op = path("root/zarn", "X");
    op->ft->getClassQualifier(op, "Key", &st);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    CIMCInstance* inst = env->ft->newInstance(env, op, nullptr);
    op->ft->release(op);
    inst->ft->getQualifierCount(inst, &st);
    expectRc(st, CIMC_RC_ERR_NOT_SUPPORTED);
    expectRc(inst->ft->setPropertyFilter(inst, nullptr, nullptr), CIMC_RC_ERR_NOT_SUPPORTED);

    // A type the objects cannot hold is refused, not stored.
    CIMCValue v{};
    expectRc(inst->ft->setProperty(inst, "P", &v, CIMC_class), CIMC_RC_ERR_NOT_SUPPORTED);
    EXPECT_EQ(inst->ft->getPropertyCount(inst, nullptr), 0u);
    inst->ft->release(inst);
}

} // namespace

#endif
