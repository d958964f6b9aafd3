// Value rendering and the parser's diagnostic dump. The values the parser decodes
// from documents are pinned by its golden cases (test_parser_walk); here what it
// never makes: reals, references, the types without a text.
#include "XMLTextReader.h"
#include "parser.h"
#include "sfcbclient.h"
#include "testlog.h"
#include "values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string render(CIMCType type, CIMCValue* value) {
    return valueText(type, value);
}

} // namespace

// Reals use six significant digits. No value, and whatever the value holds the types
// without a text (0x00C8 and 0x0004 are integer codes not in the table), give an empty
// text.
TEST(ValueRendering, RealsAndTheTypesWithoutAText) {
    CIMCValue v;
    memset(&v, 0, sizeof v);
    v.real64 = 3.14159265;
    EXPECT_EQ(render(CIMC_real64, &v), "3.14159");
    v.real64 = 1e20;
    EXPECT_EQ(render(CIMC_real64, &v), "1e+20");
    v.real32 = 1e-7f;
    EXPECT_EQ(render(CIMC_real32, &v), "1e-07");
    EXPECT_EQ(render(CIMC_uint8, nullptr), "");
    v.uint64 = ~0ULL;
    for (CIMCType type :
         std::vector<CIMCType>{CIMC_null, CIMC_char16, CIMC_integerString, CIMC_realString,
                               CIMC_instance, CIMC_args, CIMC_filter, 0x00C8, 0x0004}) {
        EXPECT_EQ(render(type, &v), "") << type;
    }
}

// The dump of an instance made by the broker client, in the log without time stamps;
// the line feeds that end the formats show as empty lines. Nothing is shown of no
// instance, and a parser on an absent reader reads nothing.
TEST(ShowInstance, LogsPathNamespaceClassAndEveryRenderedProperty) {
    SfcbClient client;
    CIMCInstance* instance = client.createInstance("VEXA_AlertIndication");
    ASSERT_NE(instance, nullptr);
    CIMCValue v;
    memset(&v, 0, sizeof v);
    v.uint16 = 2;
    instance->ft->setProperty(instance, "PerceivedSeverity", &v, CIMC_uint16);
    CIMCObjectPath* path = instance->ft->getObjectPath(instance, nullptr);
    path->ft->addKey(path, "Slot", &v, CIMC_uint16);
    v.ref = path;
    instance->ft->setProperty(instance, "Fan", &v, CIMC_ref);
    path->ft->release(path);
    XMLTextReader reader(nullptr);
    Parser parser(nullptr, reader, nullptr);
    clearTestLog();
    parser.parseIndicationResp();
    parser.showInstance(nullptr);
    parser.showInstance(instance);
    EXPECT_EQ(logEntries(),
              (std::vector<std::string>{
                  "[info] objectpath=root/zarn:VEXA_AlertIndication", "",
                  "[info] namespace=root/zarn", "", "[info] classname=VEXA_AlertIndication", "",
                  "[info] properties:", "", "[info] value state is 0, PerceivedSeverity=2", "",
                  "[info] value state is 0, Fan=root/zarn:VEXA_AlertIndication.Slot=2", ""}));
    instance->ft->release(instance);
}
