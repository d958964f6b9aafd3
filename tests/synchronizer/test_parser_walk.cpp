// The document parser with its real neighbours: libxml2's reader on a file, the
// CIMC layer over a broker repository in a temporary folder, and a real store.
// What the parser decoded is read back from the rows of the database.
#include "XMLTextReader.h"
#include "brokertool.h"
#include "parser.h"
#include "sfcbclient.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <libxml/xmlreader.h>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string kData = ORVIND_TEST_DATA "/parser/";
const char* const kSqlNull = "<SQL NULL>";

using Row = std::map<std::string, std::string>;

// One broker repository for the whole process: the CIMC client is made once, on
// first use, from the folder named in the environment at that moment.
void useTestBroker() {
    static TempDir broker;
    setenv("ORVIND_BROKER_DIR", broker.path().c_str(), 1);
}

std::string sample(const std::string& name) {
    return readFile(kData + name);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// The lines of the parser and the store as "level message", without the time
// stamps and without the broker client's lines about connecting and making
// instances.
std::vector<std::string> messages() {
    static const char* const clientLines[] = {"connect() ", "createInstance ",
                                              "local connect failed"};
    std::vector<std::string> result;
    for (const std::string& line : testLogLines()) {
        // "[date time][level] message"
        size_t levelStart = line.find("][");
        size_t levelEnd = line.find("] ", levelStart);
        if (line.empty() || line[0] != '[' || levelStart == std::string::npos ||
            levelEnd == std::string::npos) {
            continue; // the rest of a message with a line feed of its own
        }
        std::string message = line.substr(levelEnd + 2);
        bool fromClient = false;
        for (const char* prefix : clientLines) {
            fromClient = fromClient || message.rfind(prefix, 0) == 0;
        }
        if (!fromClient) {
            result.push_back(line.substr(levelStart + 2, levelEnd - levelStart - 2) + " " +
                             message);
        }
    }
    return result;
}

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using DbPtr = std::unique_ptr<sqlite3, CloseDb>;

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        useTestBroker();
        store = std::make_unique<SQLiteDB>(dbPath(), tempFile());
        clearTestLog();
    }

    std::string dbPath() const { return dir.file("indications.db"); }
    std::string tempFile() const { return dir.file("fifo.tmp"); }

    // As the intake does it: the document goes into the temp file, a reader is
    // opened on that file and one parser walks it.
    void deliver(const std::string& document) {
        writeFile(tempFile(), document);
        xmlTextReader* raw = xmlReaderForFile(tempFile().c_str(), "utf-8", 0);
        XMLTextReader reader(raw);
        Parser parser(store.get(), reader);
        parser.parseIndicationResp();
        xmlFreeTextReader(raw);
    }

    void deliverSample(const std::string& name) { deliver(sample(name)); }

    std::vector<Row> rows() {
        sqlite3* raw = nullptr;
        sqlite3_open_v2(dbPath().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        DbPtr db(raw);
        sqlite3_stmt* stmt = nullptr;
        std::vector<Row> result;
        if (sqlite3_prepare_v2(db.get(), "SELECT * FROM indication ORDER BY Id", -1, &stmt,
                               nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db.get());
            return result;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            Row row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                row[sqlite3_column_name(stmt, i)] =
                    text ? std::string(text, sqlite3_column_bytes(stmt, i)) : kSqlNull;
            }
            result.push_back(row);
        }
        sqlite3_finalize(stmt);
        return result;
    }

    // The sample indication arrives after whatever came before and is stored whole.
    void expectGoodDocumentStored() {
        size_t before = rows().size();
        deliverSample("alert.xml");
        std::vector<Row> after = rows();
        ASSERT_EQ(after.size(), before + 1);
        EXPECT_EQ(after.back()["ProviderName"], "Fan Monitor Provider");
        EXPECT_EQ(after.back()["IndicationTime"], "20140315123456.000000+060");
        EXPECT_EQ(after.back()["NetworkAddresses"], "10.0.0.5 fe80::5 ");
    }

    TempDir dir;
    std::unique_ptr<SQLiteDB> store;
};

// ---------------------------------------------------------------------------
// The walk over a document

using ParserWalk = ParserTest;

TEST_F(ParserWalk, StoresTheBrokerSampleWithItsDocumentText) {
    deliverSample("alert.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["Status"], "0");
    EXPECT_EQ(row["ProviderName"], "Fan Monitor Provider");
    EXPECT_EQ(row["PerceivedSeverity"], "6");
    EXPECT_EQ(row["IndicationTime"], "20140315123456.000000+060");
    EXPECT_EQ(row["NetworkAddresses"], "10.0.0.5 fe80::5 ");
    EXPECT_EQ(row["Description"], "NULL"); // a string column the instance lacks
    EXPECT_EQ(row["OSType"], kSqlNull);    // an int column the instance lacks
    EXPECT_EQ(row["RawData"], replaceAll(sample("alert.xml"), "\n", ""));
    EXPECT_EQ(messages(),
              std::vector<std::string>{"info insert Fan Monitor Provider indication success"});
}

TEST_F(ParserWalk, DocumentWithoutInstanceOrErrorStoresNothingAndLogsNothing) {
    deliverSample("no_instance.xml");
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(ParserWalk, TwoInstancesAreStoredInDocumentOrderEachWithItsOwnProperties) {
    deliverSample("two_instances.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0]["ProviderName"], "first");
    EXPECT_EQ(stored[0]["EventID"], "101");
    EXPECT_EQ(stored[0]["Description"], "NULL");
    EXPECT_EQ(stored[1]["ProviderName"], "second");
    EXPECT_EQ(stored[1]["EventID"], "NULL");
    EXPECT_EQ(stored[1]["Description"], "only in the second");
    EXPECT_EQ(stored[0]["RawData"], stored[1]["RawData"]);
    EXPECT_EQ(messages(), (std::vector<std::string>{"info insert first indication success",
                                                    "info insert second indication success"}));
}

TEST_F(ParserWalk, ErrorBeforeAnInstanceEndsTheWalk) {
    deliverSample("error_before_instance.xml");
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(messages(),
              std::vector<std::string>{
                  "info error code : 7, description : CIM_ERR_NOT_SUPPORTED: no handler"});
}

TEST_F(ParserWalk, InstanceBeforeAnErrorIsStoredFirst) {
    deliverSample("instance_before_error.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "before the error");
    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  "info insert before the error indication success",
                  "info error code : 1, description : CIM_ERR_FAILED: export aborted"}));
}

TEST_F(ParserWalk, ElementAndAttributeNamesMatchOnlyInTheirExactCase) {
    deliverSample("letter_case.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["ProviderName"], "exact case");
    EXPECT_EQ(row["Description"], "NULL");      // <Property>
    EXPECT_EQ(row["EventID"], "NULL");          // <value>
    EXPECT_EQ(row["NetworkAddresses"], "NULL"); // <property.array>
    EXPECT_EQ(row["SystemName"], "NULL");       // <value.array>
    EXPECT_EQ(row["Summary"], "NULL");          // name= and type=
    EXPECT_EQ(messages(), std::vector<std::string>{"info insert exact case indication success"});
}

TEST_F(ParserWalk, ErrorCodeIsTheDecimalPrefixOfCodeAsA32BitNumber) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(<ERROR CODE="42" DESCRIPTION="disk"></ERROR>)", "error code : 42, description : disk"},
        {R"(<ERROR CODE="12x" DESCRIPTION="d"></ERROR>)", "error code : 12, description : d"},
        {R"(<ERROR CODE="abc" DESCRIPTION="d"></ERROR>)", "error code : 0, description : d"},
        {R"(<ERROR CODE="" DESCRIPTION="d"></ERROR>)", "error code : 0, description : d"},
        {R"(<ERROR DESCRIPTION="no code"></ERROR>)", "error code : 0, description : no code"},
        {R"(<ERROR CODE="4294967295" DESCRIPTION="d"></ERROR>)",
         "error code : -1, description : d"},
        {R"(<ERROR CODE=" +7" DESCRIPTION="d"></ERROR>)", "error code : 7, description : d"},
        {R"(<ERROR CODE="-1" DESCRIPTION="d"></ERROR>)", "error code : -1, description : d"},
        {R"(<ERROR CODE="4294967298" DESCRIPTION="d"></ERROR>)", "error code : 2, description : d"},
        {R"(<ERROR CODE="5"></ERROR>)", "error code : 5, description : "},
        {R"(<ERROR CODE="6" DESCRIPTION="empty tag"/>)", "error code : 6, description : empty tag"},
    };
    for (const auto& [element, line] : cases) {
        clearTestLog();
        deliver("<CIM>" + element + R"(<INSTANCE CLASSNAME="VEXA_AlertIndication"/></CIM>)");
        EXPECT_EQ(messages(), std::vector<std::string>{"info " + line}) << element;
    }
    EXPECT_TRUE(rows().empty());
}

TEST_F(ParserWalk, InstanceWithoutClassNameIsStillBuiltAndStored) {
    deliver(R"(<CIM><INSTANCE><PROPERTY NAME="ProviderName" TYPE="string"><VALUE>no class</VALUE>)"
            "</PROPERTY></INSTANCE></CIM>");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "no class");
}

TEST_F(ParserWalk, EmptyElementTagsCountAsClosedAtOnce) {
    deliverSample("empty_forms.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 3u);
    Row& row = stored[0];
    EXPECT_EQ(row["Description"], "NULL"); // <PROPERTY .../> sets nothing
    EXPECT_EQ(row["ProviderName"], "empty forms");
    EXPECT_EQ(row["EventID"], "");                       // <VALUE/> is the empty text
    EXPECT_EQ(row["EventTime"], "after an empty value"); // and does not swallow the next VALUE
    EXPECT_EQ(row["NetworkAddresses"], "");              // <VALUE.ARRAY/> is an empty array
    EXPECT_EQ(row["SystemName"], "NULL");                // <PROPERTY.ARRAY .../>
    EXPECT_EQ(row["SystemModel"], "after an empty array property");
    EXPECT_EQ(row["Summary"], " x ");
    EXPECT_EQ(stored[1]["ProviderName"], "NULL"); // <INSTANCE .../>: stored without properties
    EXPECT_EQ(stored[2]["ProviderName"], "after an empty instance");
}

// ---------------------------------------------------------------------------
// Property types and values

using ParserTypes = ParserTest;

TEST_F(ParserTypes, BooleanIsTrueOnlyForTheExactTextTRUE) {
    deliverSample("booleans.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["IndicationIdentifier"], "true");        // TRUE
    EXPECT_EQ(row["Description"], "false");                // true
    EXPECT_EQ(row["HWPhysicalLocation"], "false");         // True
    EXPECT_EQ(row["HWEncodingPhysicalLocation"], "false"); // 1
    EXPECT_EQ(row["ProbableCauseDescription"], "false");   // " TRUE"
    EXPECT_EQ(row["RecommendedActions"], "false");         // empty
    EXPECT_EQ(row["EventTime"], "false");                  // FALSE
    EXPECT_EQ(row["EventID"], "true false false false true ");
}

TEST_F(ParserTypes, NumbersKeepTheLowBitsOfTheirConversion) {
    deliverSample("numbers.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["IndicationIdentifier"], "44");                 // uint8 300
    EXPECT_EQ(row["IndicationTime"], "255");                      // uint8 -1
    EXPECT_EQ(row["Description"], "-5");                          // sint8 -5
    EXPECT_EQ(row["HWPhysicalLocation"], "0");                    // uint16 65536
    EXPECT_EQ(row["HWEncodingPhysicalLocation"], "12");           // uint32 "  12abc"
    EXPECT_EQ(row["ProbableCauseDescription"], "0");              // uint32 0x1F
    EXPECT_EQ(row["RecommendedActions"], "-9223372036854775808"); // sint64 2^63, scalar
    EXPECT_EQ(row["EventID"], "9223372036854775807 -9223372036854775808 -5 "); // clamped
    EXPECT_EQ(row["EventTime"], "-56");                                        // sint8 200
    EXPECT_EQ(row["SystemCreationClassName"], "-56 127 127 ");                 // sint8 200 -129 127
    EXPECT_EQ(row["SystemName"], "44 255 ");                                   // uint8 300 -1
    EXPECT_EQ(row["OSVersion"], "-300");                                       // sint16 -300
    EXPECT_EQ(row["NetworkAddresses"], "0 65535 1 ");       // uint16 65536 65535 1
    EXPECT_EQ(row["SystemFirmwareVersion"], "-1");          // sint32 4294967295
    EXPECT_EQ(row["SystemSerialNumber"], "-1 2147483647 "); // sint32 4294967295 -2147483649
    EXPECT_EQ(row["SystemProductID"], "0 7 ");              // uint32 4294967296 "  7x"
    EXPECT_EQ(row["SystemModel"], "18446744073709551615");  // uint64 2^64
    EXPECT_EQ(row["SystemGUID"], "18446744073709551615 18446744073709551615 ");
    EXPECT_EQ(row["Summary"], "-32768 32767 0 "); // sint16 32768 -32769 abc
    EXPECT_EQ(row["BladeBay"], "0");              // uint16 empty
    EXPECT_EQ(row["BladeName"], "17");            // sint32 +17
    EXPECT_EQ(row["EnclosureName"], "0");         // uint64 abc
    EXPECT_EQ(row["RackName"], "0 ");             // uint32 array, empty text
    EXPECT_EQ(row["PerceivedSeverity"], "6");
    EXPECT_EQ(row["OSType"], "-3");
    EXPECT_EQ(row["EventCategory"], "12");
    EXPECT_EQ(row["AlertType"], "-1");
}

TEST_F(ParserTypes, OnlyKnownTypesAreDecodedAndOtherArraysHoldTheirRawTexts) {
    deliverSample("types.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["IndicationTime"], "20140315123456.000000+060");
    EXPECT_EQ(row["EventTime"], "NULL");          // a date-time the factory refuses sets nothing
    EXPECT_EQ(row["Description"], "NULL");        // real32
    EXPECT_EQ(row["HWPhysicalLocation"], "NULL"); // real64
    EXPECT_EQ(row["HWEncodingPhysicalLocation"], "NULL"); // char16
    EXPECT_EQ(row["ProbableCauseDescription"], "NULL");   // reference
    EXPECT_EQ(row["RecommendedActions"], "NULL");         // no TYPE
    EXPECT_EQ(row["EventID"], "NULL");                    // String
    EXPECT_EQ(row["SystemName"], "20140315123456.000000+060 not a date ");
    EXPECT_EQ(row["SystemModel"], "1.5000000e+00 2 ");
    EXPECT_EQ(row["SystemGUID"], "no type ");
    EXPECT_EQ(row["ComplexName"], "x y ");
    EXPECT_EQ(row["Summary"], "a b ");
    EXPECT_EQ(row["BladeBay"], "NULL"); // PROPERTY.REFERENCE is passed over
    // Values that are no integer in an int column do not disturb the row.
    EXPECT_EQ(row["PerceivedSeverity"], kSqlNull);
    EXPECT_EQ(row["OSType"], kSqlNull);
    EXPECT_EQ(row["AlertType"], kSqlNull);
}

TEST_F(ParserTypes, ValueTextIsItsLastTextPieceWithoutCdataOrWhiteSpace) {
    deliverSample("values.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["Description"], "");                    // empty VALUE.ARRAY: an empty array
    EXPECT_EQ(row["HWPhysicalLocation"], "b");            // a, comment, b
    EXPECT_EQ(row["HWEncodingPhysicalLocation"], "");     // CDATA only
    EXPECT_EQ(row["ProbableCauseDescription"], "");       // white space only
    EXPECT_EQ(row["RecommendedActions"], "second value"); // two VALUEs: the last one stays
    EXPECT_EQ(row["EventID"], "NULL");                    // PROPERTY without VALUE
    EXPECT_EQ(row["EventTime"], "NULL");                  // PROPERTY.ARRAY without VALUE.ARRAY
    EXPECT_EQ(row["SystemName"], "a<b&c\"d'e>");
    EXPECT_EQ(row["SystemCreationClassName"], "it's");
    EXPECT_EQ(row["SystemFirmwareVersion"], "z"); // x, CDATA y, z
    EXPECT_EQ(row["OSVersion"], "");
    EXPECT_EQ(row["Summary"], "Lüfter 2\nausgefallen");
    EXPECT_EQ(row["NetworkAddresses"], " x  ");
    EXPECT_EQ(row["SystemModel"], "2"); // uint16 split by a comment
    EXPECT_EQ(row["SystemGUID"], "second array ");
    EXPECT_EQ(row["ComplexName"], "<INSTANCE CLASSNAME=\"VEXA_Fan\"><PROPERTY NAME=\"Name\" "
                                  "TYPE=\"string\"><VALUE>fan1</VALUE></PROPERTY></INSTANCE>");
}

// A document as the broker stand-in writes it: every scalar type, arrays, a NULL
// property, an empty string and an empty array. The intake hands the parser the
// document without the broker's trailer line.
TEST_F(ParserTypes, DocumentDeliveredByTheBroker) {
    TempDir broker;
    ASSERT_EQ(runBrokerTool({"init"}, broker.path()).status, 0);
    std::string delivered = dir.file("delivered");
    subscribeTo(broker.path(), "file://" + delivered);
    const std::vector<std::string> properties = {
        "IndicationIdentifier:string=VEXA:fan:0001",
        "IndicationTime:datetime=20140315123456.000000+060",
        "PerceivedSeverity:uint16=6",
        "Description:string=Fan 2 <failed> & \"it's\" gone",
        "AlertingElementFormat:uint8=2",
        "AlertType:sint8=-5",
        "ProbableCause:sint16=-300",
        "EventID:uint32=4101",
        "OSType:sint32=-70000",
        "RackUID:uint64=18446744073709551615",
        "PartitionID:sint64=-9223372036854775808",
        "ComplexName:boolean=true",
        "HWPartNumber:real32=1.5",
        "Summary:real64=2.5",
        "SystemModel:char16=Z",
        "EventTime:datetime",
        "BladeBay:string=",
        "NetworkAddresses:string[]=10.0.0.5,fe80::5",
        "SystemGUID:uint16[]=1,2,3",
        "SystemName:string[]=",
        "ProviderName:string=Fan Monitor Provider",
    };
    std::vector<std::string> args = {
        "raise", "--class", "VEXA_AlertIndication", "--namespace", "root/zarn", "--retries", "0"};
    for (const std::string& property : properties) {
        args.push_back("-p");
        args.push_back(property);
    }
    ToolResult raised = runBrokerTool(args, broker.path());
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;

    std::string text = readFile(delivered);
    size_t trailer = text.find("=========== End of Indication ===========\n");
    ASSERT_NE(trailer, std::string::npos);
    deliver(text.substr(0, trailer));

    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    Row& row = stored[0];
    EXPECT_EQ(row["IndicationIdentifier"], "VEXA:fan:0001");
    EXPECT_EQ(row["IndicationTime"], "20140315123456.000000+060");
    EXPECT_EQ(row["PerceivedSeverity"], "6");
    EXPECT_EQ(row["Description"], "Fan 2 <failed> & \"it's\" gone");
    EXPECT_EQ(row["AlertingElementFormat"], "2");
    EXPECT_EQ(row["AlertType"], "-5");
    EXPECT_EQ(row["ProbableCause"], "-300");
    EXPECT_EQ(row["EventID"], "4101");
    EXPECT_EQ(row["OSType"], "-70000");
    EXPECT_EQ(row["RackUID"], "18446744073709551615");
    EXPECT_EQ(row["PartitionID"], "-9223372036854775808");
    EXPECT_EQ(row["ComplexName"], "true");
    EXPECT_EQ(row["HWPartNumber"], "NULL"); // reals are not decoded
    EXPECT_EQ(row["Summary"], "NULL");
    EXPECT_EQ(row["SystemModel"], "NULL"); // nor is char16
    EXPECT_EQ(row["EventTime"], "NULL");
    EXPECT_EQ(row["BladeBay"], "");
    EXPECT_EQ(row["NetworkAddresses"], "10.0.0.5 fe80::5 ");
    EXPECT_EQ(row["SystemGUID"], "1 2 3 ");
    EXPECT_EQ(row["SystemName"], "");
    EXPECT_EQ(row["ProviderName"], "Fan Monitor Provider");
    EXPECT_EQ(row["RawData"], replaceAll(text.substr(0, trailer), "\n", ""));
}

// ---------------------------------------------------------------------------
// Store attempts. A trigger refuses the first inserts; RAISE(FAIL) keeps what the
// trigger wrote before it, so the count of refusals survives each failed insert.

class ParserStoreRetry : public ParserTest {
protected:
    void refuseInserts(int count) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath().c_str(), &raw), SQLITE_OK);
        DbPtr db(raw);
        std::string sql = "CREATE TABLE refusals(n INTEGER);"
                          "CREATE TRIGGER refuse BEFORE INSERT ON indication "
                          "WHEN (SELECT count(*) FROM refusals) < " +
                          std::to_string(count) +
                          " BEGIN INSERT INTO refusals VALUES(1);"
                          " SELECT RAISE(FAIL, 'refused by the test'); END;";
        ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }

    double deliverTimed(const std::string& name) {
        auto start = std::chrono::steady_clock::now();
        deliverSample(name);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(ParserStoreRetry, TwoFailuresThenSuccessTakeThreeCallsAndTwoPauses) {
    refuseInserts(2);
    double seconds = deliverTimed("alert.xml");
    EXPECT_GE(seconds, 4.0);
    ASSERT_EQ(rows().size(), 1u);
    const std::string failed =
        "error insert Fan Monitor Provider indication failed:refused by the test";
    EXPECT_EQ(messages(),
              (std::vector<std::string>{failed, failed,
                                        "info insert Fan Monitor Provider indication success"}));
}

TEST_F(ParserStoreRetry, ThreeFailuresLogOneLineAndTheWalkGoesOn) {
    refuseInserts(3);
    double seconds = deliverTimed("two_instances.xml");
    EXPECT_GE(seconds, 6.0);
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "second");
    const std::string failed = "error insert first indication failed:refused by the test";
    EXPECT_EQ(messages(),
              (std::vector<std::string>{failed, failed, failed, "error Can't store one Indication",
                                        "info insert second indication success"}));
}

// ---------------------------------------------------------------------------
// Hostile input: nothing crashes or hangs, what was decoded before the damage is
// stored, and the next good document is stored whole.

using ParserBadInput = ParserTest;

TEST_F(ParserBadInput, EmptyInput) {
    deliver("");
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(messages().empty());
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, BinaryGarbage) {
    std::mt19937 random(20140315);
    std::string garbage;
    for (int i = 0; i < 256 * 1024; ++i) {
        garbage += static_cast<char>(random() & 0xff);
    }
    deliver(garbage);
    deliver("<" + garbage);
    deliver("<CIM>" + garbage);
    EXPECT_TRUE(rows().empty());
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, InvalidUtf8EndsTheInstanceBeforeTheBrokenText) {
    deliverSample("invalid_utf8.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "Fan Monitor Provider");
    EXPECT_EQ(stored[0]["Description"].find("broken"), std::string::npos);
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, EntityExpansionBombIsRefused) {
    deliverSample("entity_bomb.xml");
    EXPECT_TRUE(rows().empty());
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, EntityReferencesAreNotExpanded) {
    // 100,000 references to an entity of 100,000 characters: ten billion characters
    // if they were expanded.
    std::string document = "<?xml version=\"1.0\"?>\n<!DOCTYPE CIM [<!ENTITY big \"" +
                           std::string(100000, 'A') +
                           "\">]>\n<CIM><INSTANCE CLASSNAME=\"VEXA_AlertIndication\">"
                           "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>amplified";
    for (int i = 0; i < 100000; ++i) {
        document += "&big;";
    }
    document += "</VALUE></PROPERTY></INSTANCE></CIM>\n";
    deliver(document);
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "amplified");
    expectGoodDocumentStored();
}

// Neither a local file nor the network is read for an external DTD or entity: inotify
// sees no access to the file and the listening socket no connection.
TEST_F(ParserBadInput, ExternalEntitiesAndDtdAreNeitherReadNorFetched) {
    std::string secret = dir.file("secret.txt");
    writeFile(secret, "TOP SECRET CONTENT\n");

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cim.dtd";

    int watcher = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(inotify_add_watch(watcher, secret.c_str(), IN_OPEN | IN_ACCESS), 0);

    std::string document = sample("external_entity.xml");
    document = replaceAll(document, "@DTD@", secret);
    document = replaceAll(document, "@FILE@", "file://" + secret);
    document = replaceAll(document, "@URL@", url);
    deliver(document);

    char events[4096];
    EXPECT_LT(read(watcher, events, sizeof events), 0) << "the secret file was opened";
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "the parser went to the network";
    close(watcher);
    close(listener);

    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "external");
    EXPECT_EQ(stored[0]["Description"], "");
    EXPECT_EQ(stored[0]["Summary"], "");
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, NestingHundredThousandDeep) {
    std::string document = "<CIM><INSTANCE CLASSNAME=\"VEXA_AlertIndication\">"
                           "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>deep</VALUE>"
                           "</PROPERTY>\n";
    for (int i = 0; i < 100000; ++i) {
        document += "<PROPERTY NAME=\"Description\" TYPE=\"string\"><VALUE>";
    }
    document += "bottom";
    for (int i = 0; i < 100000; ++i) {
        document += "</VALUE></PROPERTY>";
    }
    document += "</INSTANCE></CIM>\n";
    deliver(document);
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "deep");
    EXPECT_NE(stored[0]["Description"], "bottom");
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, TenMegabyteAttribute) {
    std::string huge(10 * 1024 * 1024, 'N');
    std::string head = "<CIM><INSTANCE CLASSNAME=\"VEXA_AlertIndication\">"
                       "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>first</VALUE>"
                       "</PROPERTY>\n";
    std::string tail = "<PROPERTY NAME=\"Summary\" TYPE=\"string\"><VALUE>after</VALUE>"
                       "</PROPERTY></INSTANCE></CIM>\n";
    // As a property's name, and as the class name of an instance.
    deliver(head + "<PROPERTY NAME=\"" + huge + "\" TYPE=\"string\"><VALUE>x</VALUE></PROPERTY>" +
            tail);
    deliver("<CIM><INSTANCE CLASSNAME=\"" + huge + "\"></INSTANCE></CIM>\n");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "first");
    EXPECT_EQ(stored[0]["Summary"], "NULL");
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, FiftyMegabyteDocument) {
    // A 5 MB description, then 45,000 one-kilobyte summaries that replace each other,
    // with each CIMC string released after use.
    std::string description(5 * 1024 * 1024, 'd');
    std::string document = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM>\n"
                           "<INSTANCE CLASSNAME=\"VEXA_AlertIndication\">\n"
                           "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\">\n<VALUE>big</VALUE>\n"
                           "</PROPERTY>\n<PROPERTY NAME=\"Description\" TYPE=\"string\">\n<VALUE>" +
                           description + "</VALUE>\n</PROPERTY>\n";
    std::string filler(1000, 's');
    for (int i = 0; i < 45000; ++i) {
        document += "<PROPERTY NAME=\"Summary\" TYPE=\"string\">\n<VALUE>" + std::to_string(i) +
                    filler + "</VALUE>\n</PROPERTY>\n";
    }
    document += "</INSTANCE>\n</CIM>\n";
    ASSERT_GT(document.size(), 50u * 1000 * 1000);
    deliver(document);
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "big");
    EXPECT_EQ(stored[0]["Description"], description);
    EXPECT_EQ(stored[0]["Summary"], "44999" + filler);
    size_t lineEnds = std::count(document.begin(), document.end(), '\n');
    EXPECT_EQ(stored[0]["RawData"].size(), document.size() - lineEnds);
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, InstanceWithTenThousandProperties) {
    std::string document = "<CIM><INSTANCE CLASSNAME=\"VEXA_AlertIndication\">\n";
    for (int i = 0; i < 10000; ++i) {
        document += "<PROPERTY NAME=\"Extra" + std::to_string(i) + "\" TYPE=\"uint32\"><VALUE>" +
                    std::to_string(i) + "</VALUE></PROPERTY>\n";
    }
    document += "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>many</VALUE></PROPERTY>\n"
                "</INSTANCE></CIM>\n";
    deliver(document);
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "many");
    expectGoodDocumentStored();
}

// The broker's trailer line is such text too. libxml2 reads ahead and reports the
// error while it still holds nodes of the document, so the walk keeps what it had
// decoded by then; the instance after the root element is never built.
TEST_F(ParserBadInput, TextAfterTheRootElement) {
    deliverSample("text_after_root.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "Fan Monitor Provider");
    expectGoodDocumentStored();
}

TEST_F(ParserBadInput, TwoDocumentsInOneDeliveryWithoutTrailers) {
    deliverSample("two_documents.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["ProviderName"], "first document");
    EXPECT_EQ(stored[0]["RawData"], replaceAll(sample("two_documents.xml"), "\n", ""));
    expectGoodDocumentStored();
}

// The fuzz target's seeds, and every input it has ever found a fault with, kept
// beside them.
TEST_F(ParserBadInput, EveryInputOfTheFuzzCorpus) {
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ORVIND_TEST_DATA "/corpus")) {
        SCOPED_TRACE(entry.path().filename().string());
        deliver(readFile(entry.path()));
        expectGoodDocumentStored();
        ++inputs;
    }
    EXPECT_GE(inputs, 10u);
}

TEST_F(ParserBadInput, DocumentTruncatedAtEveryElementBoundary) {
    const std::string document = sample("alert.xml");
    const size_t instanceStart = document.find("<INSTANCE");
    const size_t firstValueEnd = document.find("</PROPERTY>");
    size_t expectedRows = 0;
    for (size_t end = document.find('>'); end != std::string::npos;
         end = document.find('>', end + 1)) {
        std::string truncated = document.substr(0, end + 1);
        SCOPED_TRACE("cut after: " + truncated.substr(truncated.rfind('<')));
        deliver(truncated);
        std::vector<Row> stored = rows();
        if (end > instanceStart) {
            expectedRows += 1;
        }
        ASSERT_EQ(stored.size(), expectedRows);
        if (end > firstValueEnd) {
            EXPECT_EQ(stored.back()["ProviderName"], "Fan Monitor Provider");
        }
        expectGoodDocumentStored();
        expectedRows += 1;
    }
}

} // namespace
