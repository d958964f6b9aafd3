// The document parser with its real neighbours: libxml2's reader on a file, the
// CIMC layer over a broker repository in a temporary folder, and a real store.
// What the parser decoded is read back from the rows of the database; what it shows of
// an instance, from the log.
#include "XMLTextReader.h"
#include "parser.h"
#include "sfcbclient.h"
#include "sqlitedb.h"
#include "testlog.h"
#include "testsql.h"

#include <gtest/gtest.h>

#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kData = ORVIND_TEST_DATA "/parser/";
using Row = std::map<std::string, std::string>;

std::string withoutLineFeeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

// The log entries of the parser and the store, without the broker client's lines
// about connecting and making instances.
std::vector<std::string> messages() {
    std::vector<std::string> result;
    for (const std::string& entry : logEntries()) {
        const size_t text = entry.find("] ") + 2;
        if (entry.compare(text, 10, "connect() ") != 0 &&
            entry.compare(text, 15, "createInstance ") != 0 &&
            entry.compare(text, 20, "local connect failed") != 0) {
            result.push_back(entry);
        }
    }
    return result;
}

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The CIMC client's broker repository, read only if it connected.
        static TempDir broker;
        setenv("ORVIND_BROKER_DIR", broker.path().c_str(), 1);
        openStore(dir.path());
    }

    // A store of its own in `folder`, and an empty log.
    void openStore(const std::string& folder) {
        database = folder + "/indications.db";
        store = std::make_unique<SQLiteDB>(database, dir.file("fifo.tmp"));
        clearTestLog();
    }

    // As the intake does it: the document goes into the temp file, a reader is
    // opened on that file and one parser walks it.
    void deliver(const std::string& document) {
        writeFile(dir.file("fifo.tmp"), document);
        xmlTextReader* raw = xmlReaderForFile(dir.file("fifo.tmp").c_str(), "utf-8", 0);
        XMLTextReader reader(raw);
        Parser parser(store.get(), reader, &client);
        parser.parseIndicationResp();
        xmlFreeTextReader(raw);
    }

    std::vector<Row> rows() {
        return TestDb(database).records("SELECT * FROM indication ORDER BY Id");
    }

    // The sample indication arrives after whatever came before and is stored whole.
    void expectGoodDocumentStored() {
        const size_t before = rows().size();
        deliver(readFile(kData + "alert.xml"));
        std::vector<Row> after = rows();
        ASSERT_EQ(after.size(), before + 1);
        EXPECT_EQ(after.back()["ProviderName"], "Fan Monitor Provider");
        EXPECT_EQ(after.back()["NetworkAddresses"], "10.0.0.5 fe80::5 ");
    }

    TempDir dir;
    std::string database;
    std::unique_ptr<SQLiteDB> store;
    SfcbClient client;
};

// The rows and log entries of one delivery as the golden files hold them: each row
// with the columns that differ from what a column not carried holds ('' in a text
// column, SQL NULL in an int one), line feeds and blanks at the end escaped; the
// document's own text as @document@; then the log.
std::string escape(const std::string& text) {
    const size_t end = text.find_last_not_of(' ') + 1; // blanks at the end show as \s
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        result += c == '\n'   ? "\\n"
                  : c == '\r' ? "\\r"
                  : c == '\\' ? "\\\\"
                  : i >= end  ? "\\s"
                              : std::string(1, c);
    }
    return result;
}

std::string render(TestDb& db, const std::string& document, const std::vector<std::string>& log) {
    std::map<std::string, bool> intColumn;
    for (const auto& column : db.rows("select name, type from pragma_table_info('indication')")) {
        intColumn[column[0]] = column[1] == "SMALLINT" || column[1] == "INTEGER";
    }
    std::string text;
    for (const Row& row : db.records("select * from indication order by Id")) {
        text += "row\n";
        for (const auto& [column, value] : row) {
            const std::string notCarried = intColumn[column] ? TestDb::kSqlNull : "";
            if (column == "Id" || (column == "Status" && value == "0") || value == notCarried) {
                continue;
            }
            const bool whole = column == "RawData" && value == withoutLineFeeds(document);
            text += column + "=" + (whole ? "@document@" : escape(value)) + "\n";
        }
    }
    text += "log\n";
    for (const std::string& line : log) {
        text += line + "\n";
    }
    return text;
}

} // namespace

// Each document of the data folder beside its expected rows and log entries; NAME.sql,
// when there is one, is run on the new store first.
TEST_F(ParserTest, EachGoldenDocumentGivesItsRowsAndLog) {
    std::vector<fs::path> expectedFiles;
    for (const auto& entry : fs::directory_iterator(kData)) {
        if (entry.path().extension() == ".expected") {
            expectedFiles.push_back(entry.path());
        }
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());
    ASSERT_GE(expectedFiles.size(), 15u);
    for (fs::path file : expectedFiles) {
        SCOPED_TRACE(file.filename().string());
        TempDir caseDir;
        openStore(caseDir.path());
        if (fs::exists(file.replace_extension(".sql"))) {
            TestDb(database).exec(readFile(file));
        }
        const std::string document = readFile(file.replace_extension(".xml"));
        deliver(document);
        TestDb db(database);
        expectGolden(file.replace_extension(".expected"), render(db, document, messages()));
        expectGoodDocumentStored();
    }
}

// Each line of error_codes.txt: the attributes of an ERROR element, "=>", the code and
// description the parser logs for it, in brackets. The error ends the walk: nothing is stored.
TEST_F(ParserTest, ErrorCodeIsTheDecimalPrefixOfCodeAsA32BitNumber) {
    std::istringstream lines(readFile(kData + "error_codes.txt"));
    size_t cases = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t arrow = line.find(" => ");
        if (line.rfind("#", 0) == 0 || arrow == std::string::npos) {
            continue;
        }
        clearTestLog();
        deliver("<CIM><ERROR " + line.substr(0, arrow) +
                R"(></ERROR><INSTANCE CLASSNAME="VEXA_AlertIndication"/></CIM>)");
        EXPECT_EQ(messages(),
                  std::vector<std::string>{"[info] error code : " +
                                           line.substr(arrow + 5, line.size() - arrow - 6)})
            << line;
        ++cases;
    }
    EXPECT_GE(cases, 7u);
    EXPECT_TRUE(rows().empty());
}

// Hostile input: nothing crashes or hangs, what was decoded before the damage is
// stored, and the next good document is stored whole. The inputs are just past the
// limits of libxml2 they meet (a nesting depth of 256, a text of ten million bytes),
// or larger than any buffer on their way.
TEST_F(ParserTest, EachHostileInputKeepsWhatCameBeforeTheDamage) {
    const std::string instance = "<CIM><INSTANCE CLASSNAME=\"VEXA_AlertIndication\">\n";
    const std::string property = "<PROPERTY NAME=\"ProviderName\" TYPE=\"string\"><VALUE>";
    const std::string nested = "<PROPERTY NAME=\"Description\" TYPE=\"string\"><VALUE>";
    std::string deep = "bottom";
    for (int i = 0; i < 1000; ++i) {
        deep = nested + deep + "</VALUE></PROPERTY>";
    }
    const std::string huge(10 * 1000 * 1000 + 1, 'N');
    const std::string description(2 * 1024 * 1024, 'd');
    const std::string large = instance + property + "big</VALUE></PROPERTY>\n" + nested +
                              description + "</VALUE></PROPERTY>\n</INSTANCE></CIM>\n";
    // The input kind, its deliveries and the columns of the one row they store.
    const std::vector<std::tuple<std::string, std::vector<std::string>, Row>> cases = {
        {"nesting a thousand deep",
         {instance + property + "deep</VALUE></PROPERTY>\n" + deep + "</INSTANCE></CIM>\n"},
         {{"ProviderName", "deep"}, {"Description", ""}}},
        {"ten-megabyte attribute, as a property's name and as a class name",
         {instance + property + "first</VALUE></PROPERTY>\n<PROPERTY NAME=\"" + huge +
              "\" TYPE=\"string\"><VALUE>x</VALUE></PROPERTY><PROPERTY NAME=\"Summary\" "
              "TYPE=\"string\"><VALUE>after</VALUE></PROPERTY></INSTANCE></CIM>\n",
          "<CIM><INSTANCE CLASSNAME=\"" + huge + "\"></INSTANCE></CIM>\n"},
         {{"ProviderName", "first"}, {"Summary", ""}}},
        {"a large document, stored whole",
         {large},
         {{"ProviderName", "big"},
          {"Description", description},
          {"RawData", withoutLineFeeds(large)}}},
    };
    for (const auto& [kind, documents, expected] : cases) {
        SCOPED_TRACE(kind);
        const size_t before = rows().size();
        for (const std::string& document : documents) {
            deliver(document);
        }
        std::vector<Row> stored = rows();
        ASSERT_EQ(stored.size(), before + 1);
        for (const auto& [column, value] : expected) {
            EXPECT_EQ(stored.back()[column], value) << column;
        }
        expectGoodDocumentStored();
    }
}

TEST_F(ParserTest, DocumentTruncatedAtEveryElementBoundary) {
    const std::string document = readFile(kData + "alert.xml");
    for (size_t end = document.find('>'); end != std::string::npos;
         end = document.find('>', end + 1)) {
        SCOPED_TRACE("cut after: " + document.substr(document.rfind('<', end), 40));
        const size_t before = rows().size();
        deliver(document.substr(0, end + 1));
        std::vector<Row> stored = rows();
        ASSERT_EQ(stored.size(), before + (end > document.find("<INSTANCE") ? 1 : 0));
        if (end > document.find("</PROPERTY>")) {
            EXPECT_EQ(stored.back()["ProviderName"], "Fan Monitor Provider");
        }
        expectGoodDocumentStored();
    }
}

// The dump of an instance made by the broker client, in the log without time stamps;
// the line feeds that end the formats show as empty lines. Nothing is shown of no
// instance, and a parser on an absent reader reads nothing.
TEST_F(ParserTest, ShowInstanceLogsPathNamespaceClassAndEveryRenderedProperty) {
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
