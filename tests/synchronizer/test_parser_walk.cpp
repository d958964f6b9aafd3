// The document parser with its real neighbours: libxml2's reader on a file, the
// CIMC layer over a broker repository in a temporary folder, and a real store.
// What the parser decoded is read back from the rows of the database.
#include "XMLTextReader.h"
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
    std::vector<std::string> result;
    for (const std::string& line : testLogLines()) {
        size_t level = line.find("]["), end = line.find("] ", level); // "[time][level] text"
        if (line.rfind("[", 0) != 0 || end == std::string::npos) {
            continue; // the rest of a message with a line feed of its own
        }
        std::string message = line.substr(end + 2);
        if (message.rfind("connect() ", 0) != 0 && message.rfind("createInstance ", 0) != 0 &&
            message.rfind("local connect failed", 0) != 0) {
            result.push_back(line.substr(level + 2, end - level - 2) + " " + message);
        }
    }
    return result;
}

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
        sqlite3* db = nullptr;
        sqlite3_open_v2(dbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT * FROM indication ORDER BY Id", -1, &stmt, nullptr);
        std::vector<Row> result;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            Row& row = result.emplace_back();
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                row[sqlite3_column_name(stmt, i)] =
                    text ? std::string(text, sqlite3_column_bytes(stmt, i)) : kSqlNull;
            }
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
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

    // Delivers the sample and hands back the one row it stored.
    Row onlyRow(const std::string& name) {
        deliverSample(name);
        std::vector<Row> stored = rows();
        EXPECT_EQ(stored.size(), 1u) << name;
        return stored.empty() ? Row() : stored[0];
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
    EXPECT_EQ(row["Description"], "");  // a string column the document does not carry
    EXPECT_EQ(row["OSType"], kSqlNull); // an int column the document does not carry
    EXPECT_EQ(row["RawData"], replaceAll(sample("alert.xml"), "\n", ""));
    EXPECT_EQ(messages(),
              std::vector<std::string>{"info insert Fan Monitor Provider indication success"});
}

// Each instance is stored as soon as it ends, in document order, even one without
// a class name; an ERROR element is logged and ends the walk.
TEST_F(ParserWalk, InstancesAreStoredInDocumentOrderUntilAnError) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {sample("no_instance.xml"), {}},
        {sample("two_instances.xml"),
         {"info insert first indication success", "info insert second indication success"}},
        {sample("error_before_instance.xml"),
         {"info error code : 7, description : CIM_ERR_NOT_SUPPORTED: no handler"}},
        {sample("instance_before_error.xml"),
         {"info insert before the error indication success",
          "info error code : 1, description : CIM_ERR_FAILED: export aborted"}},
        {R"(<CIM><INSTANCE><PROPERTY NAME="ProviderName" TYPE="string"><VALUE>no class</VALUE>)"
         "</PROPERTY></INSTANCE></CIM>",
         {"info insert no class indication success"}},
    };
    for (const auto& [document, lines] : cases) {
        clearTestLog();
        deliver(document);
        EXPECT_EQ(messages(), lines) << document;
    }
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 4u);
    // Each instance with its own properties, sharing the delivery's document.
    EXPECT_EQ(stored[0]["ProviderName"] + "," + stored[0]["EventID"] + "," +
                  stored[0]["Description"],
              "first,101,");
    EXPECT_EQ(stored[1]["ProviderName"] + "," + stored[1]["EventID"] + "," +
                  stored[1]["Description"],
              "second,,only in the second");
    EXPECT_EQ(stored[0]["RawData"], stored[1]["RawData"]);
    EXPECT_EQ(stored[2]["ProviderName"], "before the error");
    EXPECT_EQ(stored[3]["ProviderName"], "no class");
}

TEST_F(ParserWalk, ElementAndAttributeNamesMatchOnlyInTheirExactCase) {
    Row row = onlyRow("letter_case.xml");
    EXPECT_EQ(row["ProviderName"], "exact case");
    EXPECT_EQ(row["Description"], "");      // <Property>: not carried
    EXPECT_EQ(row["EventID"], "NULL");      // <value>: carried without a value
    EXPECT_EQ(row["NetworkAddresses"], ""); // <property.array>
    EXPECT_EQ(row["SystemName"], "NULL");   // <value.array>
    EXPECT_EQ(row["Summary"], "");          // name= and type=: no NAME
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

TEST_F(ParserWalk, EmptyElementTagsCountAsClosedAtOnce) {
    deliverSample("empty_forms.xml");
    std::vector<Row> stored = rows();
    ASSERT_EQ(stored.size(), 3u);
    Row& row = stored[0];
    EXPECT_EQ(row["Description"], "NULL"); // <PROPERTY .../> is carried without a value
    EXPECT_EQ(row["ProviderName"], "empty forms");
    EXPECT_EQ(row["EventID"], "");                       // <VALUE/> is the empty text
    EXPECT_EQ(row["EventTime"], "after an empty value"); // and does not swallow the next VALUE
    EXPECT_EQ(row["NetworkAddresses"], "");              // <VALUE.ARRAY/> is an empty array
    EXPECT_EQ(row["SystemName"], "NULL");                // <PROPERTY.ARRAY .../>
    EXPECT_EQ(row["SystemModel"], "after an empty array property");
    EXPECT_EQ(row["Summary"], " x ");
    EXPECT_EQ(stored[1]["ProviderName"], ""); // <INSTANCE .../>: stored without properties
    EXPECT_EQ(stored[2]["ProviderName"], "after an empty instance");
}

// One rule, in the build against our CIMC library and in the one against an
// installed library alike: a property the document carries without a value is
// NULL (the text NULL, SQL NULL in an int column); a column whose property the
// document does not carry is '' (SQL NULL in an int column). A property named
// again keeps its value unless the later one gives another.
TEST_F(ParserWalk, CarriedWithoutAValueIsNullAndNotCarriedIsEmpty) {
    Row row = onlyRow("null_and_missing.xml");
    const std::vector<std::pair<const char*, std::string>> columns = {
        {"Description", "NULL"},  {"AlertType", kSqlNull},    {"NetworkAddresses", "NULL"},
        {"HWPartNumber", "NULL"}, // a type not decoded
        {"EventID", "12"},        {"ProviderName", "second"}, {"Summary", ""},
        {"BladeBay", ""},         {"RackName", ""},           {"OSType", kSqlNull},
    };
    for (const auto& [column, value] : columns) {
        EXPECT_EQ(row[column], value) << column;
    }
}

// ---------------------------------------------------------------------------
// Property types and values

using ParserTypes = ParserTest;

TEST_F(ParserTypes, BooleanIsTrueOnlyForTheExactTextTRUE) {
    Row row = onlyRow("booleans.xml");
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
    Row row = onlyRow("numbers.xml");
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
    Row row = onlyRow("types.xml");
    EXPECT_EQ(row["IndicationTime"], "20140315123456.000000+060");
    EXPECT_EQ(row["EventTime"], "NULL");          // a date-time the factory refuses: no value
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
    EXPECT_EQ(row["BladeBay"], "NULL"); // PROPERTY.REFERENCE is carried without a value
    // Values that are no integer in an int column do not disturb the row.
    EXPECT_EQ(row["PerceivedSeverity"], kSqlNull);
    EXPECT_EQ(row["OSType"], kSqlNull);
    EXPECT_EQ(row["AlertType"], kSqlNull);
}

TEST_F(ParserTypes, ValueTextIsItsLastTextPieceWithoutCdataOrWhiteSpace) {
    Row row = onlyRow("values.xml");
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

// ---------------------------------------------------------------------------
// Store attempts. A trigger refuses the first inserts; RAISE(FAIL) keeps what the
// trigger wrote before it, so the count of refusals survives each failed insert.

class ParserStoreRetry : public ParserTest {
protected:
    void refuseInserts(int count) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath().c_str(), &db), SQLITE_OK);
        std::string sql = "CREATE TABLE refusals(n INTEGER);"
                          "CREATE TRIGGER refuse BEFORE INSERT ON indication "
                          "WHEN (SELECT count(*) FROM refusals) < " +
                          std::to_string(count) +
                          " BEGIN INSERT INTO refusals VALUES(1);"
                          " SELECT RAISE(FAIL, 'refused by the test'); END;";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    double deliverTimed(const std::string& name) {
        auto start = std::chrono::steady_clock::now();
        deliverSample(name);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(ParserStoreRetry, TwoFailuresThenSuccessTakeThreeCallsAndTwoPauses) {
    refuseInserts(2);
    EXPECT_GE(deliverTimed("alert.xml"), 4.0);
    ASSERT_EQ(rows().size(), 1u);
    const std::string failed =
        "error insert Fan Monitor Provider indication failed:refused by the test";
    EXPECT_EQ(messages(),
              (std::vector<std::string>{failed, failed,
                                        "info insert Fan Monitor Provider indication success"}));
}

TEST_F(ParserStoreRetry, ThreeFailuresLogOneLineAndTheWalkGoesOn) {
    refuseInserts(3);
    EXPECT_GE(deliverTimed("two_instances.xml"), 6.0);
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

std::string repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

TEST_F(ParserBadInput, EachHostileInputKeepsWhatCameBeforeTheDamage) {
    std::mt19937 random(20140315);
    std::string garbage;
    for (int i = 0; i < 256 * 1024; ++i) {
        garbage += static_cast<char>(random() & 0xff);
    }
    const std::string instance = "<CIM><INSTANCE CLASSNAME=\"VEXA_AlertIndication\">";
    const std::string property = "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>";
    const std::string huge(10 * 1024 * 1024, 'N');
    const std::string summary =
        "<PROPERTY NAME=\"Summary\" TYPE=\"string\"><VALUE>after</VALUE></PROPERTY>";
    std::string manyProperties = instance;
    for (int i = 0; i < 10000; ++i) {
        manyProperties += "<PROPERTY NAME=\"Extra" + std::to_string(i) +
                          "\" TYPE=\"uint32\"><VALUE>" + std::to_string(i) +
                          "</VALUE></PROPERTY>\n";
    }
    // The input kind, its deliveries, the columns of the one row they store (none when
    // empty) and a text from after the damage that its Description must not hold.
    struct Hostile {
        std::string kind;
        std::vector<std::string> documents;
        Row expected;
        std::string neverStored;
    };
    const std::vector<Hostile> cases = {
        {"empty input", {""}, {}, ""},
        {"binary garbage", {garbage, "<" + garbage, "<CIM>" + garbage}, {}, ""},
        {"invalid UTF-8 ends the instance before the broken text",
         {sample("invalid_utf8.xml")},
         {{"ProviderName", "Fan Monitor Provider"}},
         "broken"},
        {"entity expansion bomb", {sample("entity_bomb.xml")}, {}, ""},
        // 100,000 references to an entity of 100,000 characters: ten billion
        // characters if they were expanded.
        {"entity references are not expanded",
         {"<?xml version=\"1.0\"?>\n<!DOCTYPE CIM [<!ENTITY big \"" + std::string(100000, 'A') +
          "\">]>\n" + instance + property + "amplified" + repeat("&big;", 100000) +
          "</VALUE></PROPERTY></INSTANCE></CIM>\n"},
         {{"ProviderName", "amplified"}},
         ""},
        {"nesting a hundred thousand deep",
         {instance + property + "deep</VALUE></PROPERTY>\n" +
          repeat("<PROPERTY NAME=\"Description\" TYPE=\"string\"><VALUE>", 100000) + "bottom" +
          repeat("</VALUE></PROPERTY>", 100000) + "</INSTANCE></CIM>\n"},
         {{"ProviderName", "deep"}},
         "bottom"},
        {"ten-megabyte attribute, as a property's name and as a class name",
         {instance + property + "first</VALUE></PROPERTY>\n<PROPERTY NAME=\"" + huge +
              "\" TYPE=\"string\"><VALUE>x</VALUE></PROPERTY>" + summary + "</INSTANCE></CIM>\n",
          "<CIM><INSTANCE CLASSNAME=\"" + huge + "\"></INSTANCE></CIM>\n"},
         {{"ProviderName", "first"}, {"Summary", ""}},
         ""},
        {"instance with ten thousand properties",
         {manyProperties + property + "many</VALUE></PROPERTY>\n</INSTANCE></CIM>\n"},
         {{"ProviderName", "many"}},
         ""},
        // The broker's trailer line is such text too. libxml2 reads ahead and reports
        // the error while it still holds nodes of the document, so the walk keeps
        // what it had decoded by then; the instance after the root is never built.
        {"text after the root element",
         {sample("text_after_root.xml")},
         {{"ProviderName", "Fan Monitor Provider"}},
         ""},
        {"two documents in one delivery without trailers",
         {sample("two_documents.xml")},
         {{"ProviderName", "first document"},
          {"RawData", replaceAll(sample("two_documents.xml"), "\n", "")}},
         ""},
    };
    for (const Hostile& input : cases) {
        SCOPED_TRACE(input.kind);
        size_t before = rows().size();
        for (const std::string& document : input.documents) {
            deliver(document);
        }
        std::vector<Row> stored = rows();
        ASSERT_EQ(stored.size(), before + (input.expected.empty() ? 0 : 1));
        for (const auto& [column, value] : input.expected) {
            EXPECT_EQ(stored.back()[column], value) << column;
        }
        if (!input.neverStored.empty()) {
            EXPECT_EQ(stored.back()["Description"].find(input.neverStored), std::string::npos);
        }
        expectGoodDocumentStored();
    }
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
