#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace {

using Row = std::map<std::string, std::string>;

// Every row of the daemon's table, oldest first; SQL NULL reads as "<null>" and each
// value carries its storage class before a colon ("text:", "integer:", "real:").
std::vector<Row> storedRows() {
    sqlite3* handle = nullptr;
    std::vector<Row> rows;
    if (sqlite3_open_v2(Sandbox::kDatabase, &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(handle);
        return rows;
    }
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(handle, sqlite3_close);
    sqlite3_busy_timeout(handle, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, "select * from indication order by Id", -1, &statement,
                           nullptr) != SQLITE_OK) {
        return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        Row row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            std::string value;
            switch (sqlite3_column_type(statement, i)) {
            case SQLITE_NULL:
                value = "<null>";
                break;
            case SQLITE_INTEGER:
                value = "integer:" + std::to_string(sqlite3_column_int64(statement, i));
                break;
            case SQLITE_FLOAT:
                value =
                    "real:" +
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
                break;
            default:
                value =
                    "text:" +
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
            }
            row[sqlite3_column_name(statement, i)] = value;
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
}

// Waits up to 20 s for a stored row whose column holds `text` somewhere.
bool waitForRow(const std::string& column, const std::string& text) {
    for (int i = 0; i < 200; ++i) {
        for (auto& row : storedRows()) {
            if (row[column].find(text) != std::string::npos) {
                return true;
            }
        }
        usleep(100 * 1000);
    }
    return false;
}

std::string sample(const std::string& name) {
    return std::string(ORVIND_TEST_DATA) + "/" + name;
}

// The document text as the store keeps it: the lines joined, without their ends.
std::string joinedLines(std::string text) {
    std::string joined;
    for (char c : text) {
        if (c != '\n') {
            joined += c;
        }
    }
    return joined;
}

} // namespace

TEST(Indications, ARaisedIndicationBecomesOneRowWithEveryColumnAsDelivered) {
    Sandbox sb;
    sb.startDaemon();
    ToolResult raised = runBrokerTool({"raise",
                                       "--class",
                                       "VEXA_AlertIndication",
                                       "-p",
                                       "ProviderName:string=Fan Monitor Provider",
                                       "-p",
                                       "EventID:string=12",
                                       "-p",
                                       "EventTime:datetime=20140315123456.000000+060",
                                       "-p",
                                       "IndicationTime:datetime=20140315123457.000000+060",
                                       "-p",
                                       "PerceivedSeverity:uint16=6",
                                       "-p",
                                       "AlertType:sint8=-3",
                                       "-p",
                                       "ProbableCause:uint32=4294967295",
                                       "-p",
                                       "EventCategory:sint64=-9000000000",
                                       "-p",
                                       "OSType:boolean=TRUE",
                                       "-p",
                                       "ImpactedDomain:string=not a number",
                                       "-p",
                                       "ProviderVersion:string=2.10",
                                       "-p",
                                       "OSVersion:string=2.10.3",
                                       "-p",
                                       "Description:string=it's <hot> & \"loud\"",
                                       "-p",
                                       "NetworkAddresses:string[]=10.0.0.5,fe80::5",
                                       "-p",
                                       "SystemFirmwareVersion:string=",
                                       "-p",
                                       "Summary:string"},
                                      Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.err;
    ASSERT_TRUE(waitForRow("ProviderName", "Fan Monitor Provider")) << Sandbox::log();

    auto rows = storedRows();
    ASSERT_EQ(rows.size(), 1u);
    Row& row = rows[0];
    EXPECT_EQ(row["Id"], "integer:1");
    EXPECT_EQ(row["ProviderName"], "text:Fan Monitor Provider");
    EXPECT_EQ(row["EventID"], "text:12");
    EXPECT_EQ(row["EventTime"], "text:20140315123456.000000+060");
    EXPECT_EQ(row["IndicationTime"], "text:20140315123457.000000+060");
    EXPECT_EQ(row["PerceivedSeverity"], "integer:6");
    EXPECT_EQ(row["AlertType"], "integer:-3");
    EXPECT_EQ(row["ProbableCause"], "integer:4294967295");
    EXPECT_EQ(row["EventCategory"], "integer:-9000000000");
    EXPECT_EQ(row["OSType"], "<null>") << "a boolean is no integer";
    EXPECT_EQ(row["ImpactedDomain"], "<null>") << "text never goes bare into the statement";
    EXPECT_EQ(row["ProviderVersion"], "real:2.1") << "the column has numeric affinity";
    EXPECT_EQ(row["OSVersion"], "text:2.10.3");
    EXPECT_EQ(row["Description"], "text:it's <hot> & \"loud\"");
    EXPECT_EQ(row["NetworkAddresses"], "text:10.0.0.5 fe80::5 ");
    EXPECT_EQ(row["SystemFirmwareVersion"], "text:");
    EXPECT_EQ(row["Summary"], "text:NULL") << "a string property without value";
    EXPECT_EQ(row["RackName"], "text:NULL") << "a property the indication lacks";
    EXPECT_EQ(row["RawData"], "text:" + joinedLines(readFile(Sandbox::kTempFile)));
    EXPECT_NE(row["RawData"].find("<INSTANCE CLASSNAME=\"VEXA_AlertIndication\">"),
              std::string::npos);
    EXPECT_EQ(Sandbox::countLog("[info] insert Fan Monitor Provider indication success"), 1u)
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

TEST(Indications, BadInputNeverStopsTheNextGoodDocument) {
    Sandbox sb;
    sb.startDaemon();
    const std::vector<std::string> hostile = {
        "parser/entity_bomb.xml",     "parser/external_entity.xml", "parser/invalid_utf8.xml",
        "parser/text_after_root.xml", "parser/letter_case.xml",
    };
    for (const auto& name : hostile) {
        std::string document = readFile(sample(name));
        for (auto [placeholder, target] :
             {std::pair<std::string, std::string>{"@FILE@", "/etc/passwd"},
              {"@URL@", "http://127.0.0.1:9/x"}}) {
            for (size_t at; (at = document.find(placeholder)) != std::string::npos;) {
                document.replace(at, placeholder.size(), target);
            }
        }
        Sandbox::deliver(document);
    }
    Sandbox::writePipe(std::string("\x00\xff\x01<INSTANCE", 12) + std::string(100000, '<'));
    std::string deep = "<?xml version=\"1.0\"?>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<INSTANCE CLASSNAME=\"Deep\">";
    }
    Sandbox::deliver(deep);
    Sandbox::deliver(readFile(sample("broker/prepared.xml")));

    ASSERT_TRUE(waitForRow("RawData", "VEXA_ThermalIndication")) << Sandbox::log();
    auto rows = storedRows();
    EXPECT_EQ(rows.back()["PerceivedSeverity"], "integer:7");
    EXPECT_EQ(rows.back()["RawData"],
              "text:" + joinedLines(readFile(sample("broker/prepared.xml"))));
    for (auto& row : rows) {
        EXPECT_EQ(row["RawData"].find("root:x:0:0"), std::string::npos)
            << "an external entity never reads a local file";
    }
    EXPECT_EQ(sb.stop(SIGTERM), 0) << "the daemon is still up and stops cleanly";
}
