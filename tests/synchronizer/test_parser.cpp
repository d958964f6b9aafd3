#include "XMLTextReader.h"
#include "parser.h"
#include "sfcbclient.h"
#include "testlog.h"
#include "values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Renders and frees, so every case also checks that the result is freeable.
std::string render(CIMCType type, CIMCValue value) {
    char* text = value2Chars(type, &value);
    EXPECT_NE(text, nullptr);
    std::string result = text ? text : "<null>";
    free(text);
    return result;
}

CIMCValue zero() {
    CIMCValue value;
    memset(&value, 0, sizeof value);
    return value;
}

// A value with only the one member set.
template <typename T> CIMCValue with(T CIMCValue::*member, T number) {
    CIMCValue value = zero();
    value.*member = number;
    return value;
}

} // namespace

// Integers keep their sign and width; reals use six significant digits.
TEST(ValueRendering, BooleansNumbersAndRealsByTheirType) {
    const std::vector<std::tuple<CIMCType, CIMCValue, std::string>> cases = {
        {CIMC_boolean, zero(), "false"},
        {CIMC_boolean, with(&CIMCValue::boolean, CIMCBoolean(7)), "true"},
        {CIMC_sint8, with(&CIMCValue::uint8, CIMCUint8(0xff)), "-1"},
        {CIMC_uint8, with(&CIMCValue::uint8, CIMCUint8(0xff)), "255"},
        {CIMC_sint16, with(&CIMCValue::sint16, CIMCSint16(-300)), "-300"},
        {CIMC_uint16, with(&CIMCValue::sint16, CIMCSint16(-300)), "65236"},
        {CIMC_sint32, with(&CIMCValue::sint32, CIMCSint32(-2147483647 - 1)), "-2147483648"},
        {CIMC_uint32, with(&CIMCValue::sint32, CIMCSint32(-2147483647 - 1)), "2147483648"},
        {CIMC_uint64, with(&CIMCValue::uint64, CIMCUint64(~0ULL)), "18446744073709551615"},
        {CIMC_sint64, with(&CIMCValue::uint64, CIMCUint64(~0ULL)), "-1"},
        {CIMC_real64, with(&CIMCValue::real64, CIMCReal64(0.5)), "0.5"},
        {CIMC_real64, with(&CIMCValue::real64, CIMCReal64(3.14159265)), "3.14159"},
        {CIMC_real64, with(&CIMCValue::real64, CIMCReal64(1e20)), "1e+20"},
        {CIMC_real32, with(&CIMCValue::real32, CIMCReal32(0.25f)), "0.25"},
        {CIMC_real32, with(&CIMCValue::real32, CIMCReal32(1e-7f)), "1e-07"},
    };
    for (const auto& [type, value, text] : cases) {
        EXPECT_EQ(render(type, value), text) << type << " " << text;
    }
}

TEST(ValueRendering, NullsAndUnsupportedTypesGiveAFreeableEmptyText) {
    // Null strings, character pointers, references, date-times and arrays.
    for (CIMCType type : {CIMC_string, CIMC_numericString, CIMC_chars, CIMC_ref, CIMC_dateTime,
                          CIMC_ARRAY | CIMC_string, CIMC_instance, CIMC_args, CIMC_filter}) {
        EXPECT_EQ(render(type, zero()), "") << type;
    }
    // Whatever the value holds, these types have no text; 0x00C8 and 0x0004 are
    // integer codes not in the table.
    CIMCValue v = zero();
    v.uint64 = ~0ULL;
    for (CIMCType type : std::vector<CIMCType>{CIMC_null, CIMC_char16, CIMC_integerString,
                                               CIMC_realString, 0x00C8, 0x0004}) {
        EXPECT_EQ(render(type, v), "") << type;
    }
    char* text = value2Chars(CIMC_uint8, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    free(text);
}

namespace {

// Values made by the CIMC layer, as the parser's instances hold them.
class ObjectRendering : public ::testing::Test {
protected:
    void SetUp() override {
        int rc = 0;
        char* msg = nullptr;
        env = NewCIMCEnv("SfcbLocal", 0, &rc, &msg);
        free(msg);
        ASSERT_NE(env, nullptr);
    }
    void TearDown() override { ReleaseCIMCEnv(env); }

    CIMCArray* strings(const std::vector<std::string>& texts) {
        CIMCArray* array = env->ft->newArray(env, texts.size(), CIMC_string, nullptr);
        for (size_t i = 0; i < texts.size(); ++i) {
            CIMCValue e = zero();
            e.string = env->ft->newString(env, texts[i].c_str(), nullptr);
            array->ft->setElementAt(array, i, &e, CIMC_string);
            e.string->ft->release(e.string);
        }
        return array;
    }

    CIMCEnv* env = nullptr;
};

} // namespace

TEST_F(ObjectRendering, StringsReferencesAndDateTimesGiveTheirText) {
    CIMCValue v = zero();
    v.string = env->ft->newString(env, "it's 100%", nullptr);
    for (CIMCType type : std::vector<CIMCType>{CIMC_string, CIMC_booleanString, CIMC_numericString,
                                               CIMC_dateTimeString}) {
        EXPECT_EQ(render(type, v), "it's 100%") << type;
    }
    v.string->ft->release(v.string);

    v = zero();
    v.ref = env->ft->newObjectPath(env, "root/zarn", "VEXA_Fan", nullptr);
    CIMCValue key = zero();
    key.uint16 = 2;
    v.ref->ft->addKey(v.ref, "Slot", &key, CIMC_uint16);
    EXPECT_EQ(render(CIMC_ref, v), "root/zarn:VEXA_Fan.Slot=2");
    v.ref->ft->release(v.ref);

    v = zero();
    v.dateTime = env->ft->newDateTimeFromChars(env, "20140315123456.000000+060", nullptr);
    ASSERT_NE(v.dateTime, nullptr);
    EXPECT_EQ(render(CIMC_dateTime, v), "20140315123456.000000+060");
    v.dateTime->ft->release(v.dateTime);
}

TEST_F(ObjectRendering, ArraysGiveEachElementFollowedByOneBlank) {
    CIMCValue v = zero();
    v.array = env->ft->newArray(env, 3, CIMC_uint16, nullptr);
    for (CIMCUint16 i = 0; i < 3; ++i) {
        CIMCValue e = zero();
        e.uint16 = i + 1;
        v.array->ft->setElementAt(v.array, i, &e, CIMC_uint16);
    }
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_uint16, v), "1 2 3 ");
    v.array->ft->release(v.array);

    v.array = strings({});
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), "");
    v.array->ft->release(v.array);

    // An element never set renders empty but keeps its blank.
    v.array = env->ft->newArray(env, 2, CIMC_string, nullptr);
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), "  ");
    v.array->ft->release(v.array);

    // Longer than the working buffer, and still rendered whole.
    std::vector<std::string> texts;
    std::string expected;
    for (int i = 0; i < 120; ++i) {
        texts.push_back(std::to_string(i) + std::string(80, 'x'));
        expected += texts.back() + " ";
    }
    ASSERT_GT(expected.size(), 5120u);
    v.array = strings(texts);
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), expected);
    v.array->ft->release(v.array);
}

// The parser's diagnostic dump of an instance made by the broker client, in the log
// without time stamps; the line feeds that end the formats show as empty lines.
TEST(ShowInstance, LogsPathNamespaceClassAndEveryRenderedProperty) {
    static TempDir broker; // the client is made once per process, from this folder
    setenv("ORVIND_BROKER_DIR", broker.path().c_str(), 1);
    CIMCInstance* instance = SfcbClient::getSfcbClient()->createInstance("VEXA_AlertIndication");
    ASSERT_NE(instance, nullptr);
    XMLTextReader reader(nullptr);
    Parser parser(nullptr, reader);
    const std::vector<std::string> head = {"[info] objectpath=root/zarn:VEXA_AlertIndication",
                                           "",
                                           "[info] namespace=root/zarn",
                                           "",
                                           "[info] classname=VEXA_AlertIndication",
                                           ""};
    clearTestLog();
    parser.showInstance(instance); // no properties: only the path
    parser.showInstance(nullptr);  // nothing to show
    EXPECT_EQ(logEntries(), head);

    clearTestLog();
    CIMCValue v = zero();
    v.uint16 = 6;
    instance->ft->setProperty(instance, "PerceivedSeverity", &v, CIMC_uint16);
    v.string = SfcbClient::getSfcbClient()->createString("Fan Monitor Provider");
    instance->ft->setProperty(instance, "ProviderName", &v, CIMC_string);
    v.string->ft->release(v.string);
    parser.showInstance(instance);
    std::vector<std::string> expected = head;
    expected.insert(expected.end(),
                    {"[info] properties:", "", "[info] value state is 0, PerceivedSeverity=6", "",
                     "[info] value state is 0, ProviderName=Fan Monitor Provider", ""});
    EXPECT_EQ(logEntries(), expected);
    instance->ft->release(instance);
}
