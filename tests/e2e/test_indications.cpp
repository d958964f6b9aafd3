#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    static const char* const classes[] = {"", "integer:", "real:", "text:", "blob:", "<null>"};
    sqlite3* handle = nullptr;
    sqlite3_open_v2(Sandbox::kDatabase, &handle, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(handle, sqlite3_close);
    sqlite3_busy_timeout(handle, 5000);
    sqlite3_stmt* statement = nullptr;
    std::vector<Row> rows;
    if (sqlite3_prepare_v2(handle, "select * from indication order by Id", -1, &statement,
                           nullptr) != SQLITE_OK) {
        return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        Row& row = rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            const unsigned char* text = sqlite3_column_text(statement, i);
            row[sqlite3_column_name(statement, i)] =
                std::string(classes[sqlite3_column_type(statement, i)]) +
                (text ? reinterpret_cast<const char*>(text) : "");
        }
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
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

} // namespace

TEST(Indications, ARaisedIndicationBecomesOneRowWithEveryColumnAsDelivered) {
    Sandbox sb;
    sb.startDaemon();
    // Each property as raised, and the column it fills.
    const std::vector<std::pair<std::string, std::string>> properties = {
        {"ProviderName:string=Fan Monitor Provider", "text:Fan Monitor Provider"},
        {"EventID:string=12", "text:12"},
        {"EventTime:datetime=20140315123456.000000+060", "text:20140315123456.000000+060"},
        {"IndicationTime:datetime=20140315123457.000000+060", "text:20140315123457.000000+060"},
        {"PerceivedSeverity:uint16=6", "integer:6"},
        {"AlertingElementFormat:uint8=2", "integer:2"},
        {"AlertType:sint8=-3", "integer:-3"},
        {"ProbableCause:uint32=4294967295", "integer:4294967295"},
        {"EventCategory:sint64=-9000000000", "integer:-9000000000"},
        {"OSType:boolean=TRUE", "<null>"},                // a boolean is no integer
        {"ImpactedDomain:string=not a number", "<null>"}, // text never goes bare
        {"ProviderVersion:string=2.10", "real:2.1"},      // the column has numeric affinity
        {"OSVersion:string=2.10.3", "text:2.10.3"},
        {"Description:string=it's <hot> & \"loud\"", "text:it's <hot> & \"loud\""},
        {"ProbableCauseDescription:sint16=-300", "text:-300"},
        {"RecommendedActions:sint32=-70000", "text:-70000"},
        {"RackUID:uint64=18446744073709551615", "text:18446744073709551615"},
        {"PartitionID:sint64=-9223372036854775808", "text:-9223372036854775808"},
        {"ComplexName:boolean=true", "text:true"},
        {"HWPartNumber:real32=1.5", "text:NULL"}, // reals and char16 are not decoded
        {"SystemModel:char16=Z", "text:NULL"},
        {"BladeName:datetime", "text:NULL"},
        {"NetworkAddresses:string[]=10.0.0.5,fe80::5", "text:10.0.0.5 fe80::5 "},
        {"SystemGUID:uint16[]=1,2,3", "text:1 2 3 "},
        {"SystemName:string[]=", "text:"},
        {"SystemFirmwareVersion:string=", "text:"},
        {"Summary:string", "text:NULL"}, // a string property without value
    };
    std::vector<std::string> args = {"raise", "--class", "VEXA_AlertIndication"};
    for (const auto& property : properties) {
        args.push_back("-p");
        args.push_back(property.first);
    }
    ToolResult raised = runBrokerTool(args, Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.err;
    ASSERT_TRUE(waitForRow("ProviderName", "Fan Monitor Provider")) << Sandbox::log();

    auto rows = storedRows();
    ASSERT_EQ(rows.size(), 1u);
    Row& row = rows[0];
    EXPECT_EQ(row["Id"], "integer:1");
    for (const auto& [property, value] : properties) {
        EXPECT_EQ(row[property.substr(0, property.find(':'))], value) << property;
    }
    EXPECT_EQ(row["RackName"], "text:") << "a property the class does not have";
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
