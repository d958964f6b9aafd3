#include "XMLTextReader.h"
#include "parser.h"
#include "sfcbclient.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
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

} // namespace

TEST(ValueRendering, BooleansAndIntegersKeepTheirSignAndWidth) {
    CIMCValue v = zero();
    EXPECT_EQ(render(CIMC_boolean, v), "false");
    v.boolean = 7;
    EXPECT_EQ(render(CIMC_boolean, v), "true");

    v = zero();
    v.uint8 = 0xff;
    EXPECT_EQ(render(CIMC_sint8, v), "-1");
    EXPECT_EQ(render(CIMC_uint8, v), "255");

    v = zero();
    v.sint16 = -300;
    EXPECT_EQ(render(CIMC_sint16, v), "-300");
    EXPECT_EQ(render(CIMC_uint16, v), "65236");

    v = zero();
    v.sint32 = -2147483647 - 1;
    EXPECT_EQ(render(CIMC_sint32, v), "-2147483648");
    EXPECT_EQ(render(CIMC_uint32, v), "2147483648");

    v = zero();
    v.uint64 = ~0ULL;
    EXPECT_EQ(render(CIMC_uint64, v), "18446744073709551615");
    EXPECT_EQ(render(CIMC_sint64, v), "-1");
}

TEST(ValueRendering, RealsUseSixSignificantDigits) {
    CIMCValue v = zero();
    v.real64 = 0.5;
    EXPECT_EQ(render(CIMC_real64, v), "0.5");
    v.real64 = 3.14159265;
    EXPECT_EQ(render(CIMC_real64, v), "3.14159");
    v.real64 = 1e20;
    EXPECT_EQ(render(CIMC_real64, v), "1e+20");

    v = zero();
    v.real32 = 0.25f;
    EXPECT_EQ(render(CIMC_real32, v), "0.25");
    v.real32 = 1e-7f;
    EXPECT_EQ(render(CIMC_real32, v), "1e-07");
}

TEST(ValueRendering, NullsAndUnsupportedTypesGiveAFreeableEmptyText) {
    CIMCValue v = zero();
    EXPECT_EQ(render(CIMC_string, v), "") << "null string";
    EXPECT_EQ(render(CIMC_numericString, v), "");
    EXPECT_EQ(render(CIMC_chars, v), "") << "null character pointer";
    EXPECT_EQ(render(CIMC_ref, v), "") << "null reference";
    EXPECT_EQ(render(CIMC_dateTime, v), "") << "null date-time";
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), "") << "null array";

    v.uint64 = ~0ULL; // whatever the value holds, these types have no text
    EXPECT_EQ(render(CIMC_null, v), "");
    EXPECT_EQ(render(CIMC_char16, v), "");
    EXPECT_EQ(render(CIMC_integerString, v), "");
    EXPECT_EQ(render(CIMC_realString, v), "");
    EXPECT_EQ(render(0x00C8, v), "") << "an integer code not in the table";
    EXPECT_EQ(render(0x0004, v), "");

    v = zero();
    EXPECT_EQ(render(CIMC_instance, v), "");
    EXPECT_EQ(render(CIMC_args, v), "");
    EXPECT_EQ(render(CIMC_filter, v), "");

    char* text = value2Chars(CIMC_uint8, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    free(text);
}

TEST(ValueRendering, CharactersAreCopied) {
    char chars[] = "it's here";
    CIMCValue v = zero();
    v.chars = chars;
    char* text = value2Chars(CIMC_chars, &v);
    EXPECT_STREQ(text, "it's here");
    EXPECT_NE(text, chars);
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

TEST_F(ObjectRendering, StringCodesGiveTheTextOfTheString) {
    CIMCValue v = zero();
    v.string = env->ft->newString(env, "it's 100%", nullptr);
    for (CIMCType type :
         {CIMC_string, CIMC_booleanString, CIMC_numericString, CIMC_dateTimeString}) {
        EXPECT_EQ(render(static_cast<CIMCType>(type), v), "it's 100%") << type;
    }
    v.string->ft->release(v.string);
}

TEST_F(ObjectRendering, ReferencesAndDateTimesGiveTheirText) {
    CIMCValue v = zero();
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

    v.array = strings({"a", "b"});
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), "a b ");
    v.array->ft->release(v.array);

    v.array = strings({});
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), "");
    v.array->ft->release(v.array);

    // An element never set renders empty but keeps its blank.
    v.array = env->ft->newArray(env, 2, CIMC_string, nullptr);
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), "  ");
    v.array->ft->release(v.array);
}

TEST_F(ObjectRendering, AnArrayLongerThanTheWorkingBufferIsRenderedWhole) {
    std::vector<std::string> texts;
    std::string expected;
    for (int i = 0; i < 120; ++i) {
        texts.push_back(std::to_string(i) + std::string(80, 'x'));
        expected += texts.back() + " ";
    }
    ASSERT_GT(expected.size(), 5120u);
    CIMCValue v = zero();
    v.array = strings(texts);
    EXPECT_EQ(render(CIMC_ARRAY | CIMC_string, v), expected);
    v.array->ft->release(v.array);
}

// The parser's diagnostic dump of an instance made by the broker client.
class ShowInstance : public ::testing::Test {
protected:
    void SetUp() override {
        // The client is made once per process, from the folder named at that moment.
        static TempDir broker;
        setenv("ORVIND_BROKER_DIR", broker.path().c_str(), 1);
        instance = SfcbClient::getSfcbClient()->createInstance("VEXA_AlertIndication");
        ASSERT_NE(instance, nullptr);
        clearTestLog();
    }
    void TearDown() override {
        if (instance != nullptr) {
            instance->ft->release(instance);
        }
    }

    // The log without its time stamps; the line feeds that end the formats show as
    // empty lines.
    std::vector<std::string> lines() {
        std::vector<std::string> result;
        for (const std::string& line : testLogLines()) {
            size_t end = line.find("] ");
            result.push_back(end == std::string::npos ? line : line.substr(end + 2));
        }
        return result;
    }

    CIMCInstance* instance = nullptr;
};

TEST_F(ShowInstance, LogsPathNamespaceClassAndEveryRenderedProperty) {
    CIMCValue v = zero();
    v.uint16 = 6;
    instance->ft->setProperty(instance, "PerceivedSeverity", &v, CIMC_uint16);
    CIMCString* text = SfcbClient::getSfcbClient()->createString("Fan Monitor Provider");
    v = zero();
    v.string = text;
    instance->ft->setProperty(instance, "ProviderName", &v, CIMC_string);
    text->ft->release(text);

    XMLTextReader reader(nullptr);
    Parser parser(nullptr, reader);
    parser.showInstance(instance);

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "objectpath=root/zarn:VEXA_AlertIndication", "", "namespace=root/zarn",
                           "", "classname=VEXA_AlertIndication", "", "properties:", "",
                           "value state is 0, PerceivedSeverity=6", "",
                           "value state is 0, ProviderName=Fan Monitor Provider", ""}));
}

TEST_F(ShowInstance, InstanceWithoutPropertiesLogsOnlyItsPath) {
    XMLTextReader reader(nullptr);
    Parser parser(nullptr, reader);
    parser.showInstance(instance);
    parser.showInstance(nullptr); // nothing to show
    EXPECT_EQ(lines(), (std::vector<std::string>{"objectpath=root/zarn:VEXA_AlertIndication", "",
                                                 "namespace=root/zarn", "",
                                                 "classname=VEXA_AlertIndication", ""}));
}
