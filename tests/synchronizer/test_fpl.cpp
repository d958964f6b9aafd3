#include "fpl.h"

#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The FPL writer against the simulated BMC, with the entries of fpl-dictionary.txt:
//   Test_Provider 1 -> IPMI 0x12345, alert level 9, entity class 0x1A5
//   Test_Provider 2 -> IPMI 0x4ABCD (wider than 18 bits), alert level 3, entity class 0x22
//   Test_Provider 0 -> IPMI 0x777, alert level 2, entity class 0x10
//   Test_Provider 3 -> IPMI 0x20001, no OEM record
class WriteFpl : public ::testing::Test {
protected:
    void SetUp() override {
        state = temp.file("state");
        setenv(tallowsim::kDirVariable, state.c_str(), 1);
        setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
        std::string dictionary = std::string(ORVIND_TEST_DATA) + "/bmc/fpl-dictionary.txt";
        setenv(tallowsim::kDictionaryVariable, dictionary.c_str(), 1);
        clearTestLog();
    }

    std::vector<std::vector<uint8_t>> records() {
        tallowsim::Fpl fpl;
        std::string error;
        EXPECT_TRUE(tallowsim::readFpl(state, fpl, &error)) << error;
        std::vector<std::vector<uint8_t>> bytes;
        for (const SEL_entry_t& record : fpl.records) {
            const uint8_t* begin = reinterpret_cast<const uint8_t*>(&record);
            bytes.emplace_back(begin, begin + sizeof record);
        }
        return bytes;
    }

    void setFaults(int open, int append) {
        tallowsim::Faults faults;
        faults.open = open;
        faults.append = append;
        std::string error;
        ASSERT_TRUE(tallowsim::makeStateDir(state, &error)) << error;
        ASSERT_TRUE(tallowsim::writeFaults(state, faults, &error)) << error;
    }

    TempDir temp;
    std::string state;
};

std::string ctimeOf(time_t t) {
    char text[64];
    return ctime_r(&t, text);
}

std::vector<uint8_t> recordBytes(std::vector<uint8_t> body) {
    std::vector<uint8_t> bytes(24, 0); // NextID, ThisID, Timestamp, extra
    bytes.push_back(0xE0);             // RecType
    bytes.insert(bytes.end(), body.begin(), body.end());
    bytes.resize(46, 0); // physloc
    return bytes;
}

} // namespace

TEST_F(WriteFpl, EncodesTheRecordByteForByte) {
    unsigned int alert = 0;
    ASSERT_EQ(write_fpl("Test_Provider", 1, 1600000000, &alert), 0);
    EXPECT_EQ(alert, 9u) << "the whole level is handed back";

    auto written = records();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], recordBytes({
                              0xA5,                   // RepEntID: low 8 bits of 0x1A5
                              0x45, 0x23, 0x01,       // EventID 0x12345 in word bits 8-25
                              0x39,                   // DataType 25, AlertLevel 9 & 7 = 1
                              0x00, 0x10, 0x5E, 0x5F, // b9..b12: 1600000000
                              0x00, 0x00, 0x00,       // b13..b15
                              0x01,                   // b16
                          }));

    EXPECT_EQ(logEntries(), (std::vector<std::string>{
                                "[info] wbem_event_id= 1 provider_name=Test_Provider event_time=" +
                                    ctimeOf(1600000000).substr(0, 24),
                                "",
                                "[info] ipmi_event_id = 74565",
                                "[info] AlertLevel: 9",
                                "[info] RepEntIDClass: 421",
                                "[info] event_time= 5f5e1000 ",
                                "[info] FPLentry.e0.b9= 0 ",
                            }));
}

TEST_F(WriteFpl, KeepsLow18BitsOfTheEventIdAndLow32BitsOfTheTime) {
    unsigned int alert = 0;
    ASSERT_EQ(write_fpl("Test_Provider", 2, static_cast<time_t>(4294967301LL), &alert), 0);
    EXPECT_EQ(alert, 3u);

    auto written = records();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], recordBytes({
                              0x22,                   // RepEntID
                              0xCD, 0xAB, 0x00,       // EventID 0x0ABCD: 0x4ABCD & 0x3FFFF
                              0x79,                   // DataType 25, AlertLevel 3
                              0x05, 0x00, 0x00, 0x00, // b9..b12: 2^32 + 5 keeps 5
                              0x00, 0x00, 0x00, 0x01, // b13..b16
                          }));
    std::string log = readTestLog();
    EXPECT_NE(log.find("[info] ipmi_event_id = 306125\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[info] event_time= 5 \n"), std::string::npos) << log;
    EXPECT_NE(log.find("[info] FPLentry.e0.b9= 5 \n"), std::string::npos) << log;
}

TEST_F(WriteFpl, EventNumberZeroIsReportedAndStillWritten) {
    unsigned int alert = 0;
    ASSERT_EQ(write_fpl("Test_Provider", 0, 1600000000, &alert), 0);
    EXPECT_EQ(alert, 2u);
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(logEntries().at(0), "[error] wbem_event_id=0 is <=0 !");
}

TEST_F(WriteFpl, EventsThatCannotBeWrittenAreReportedAndLeaveTheAlertLevel) {
    const std::string notInDatabase = " not exist in VEXA Event DataBase";
    struct Case {
        const char* provider;
        unsigned event;
        int openFault;
        int result;
        std::vector<std::string> lines; // by index into the log; "" skips a line
    } cases[] = {
        {"Nobody",
         7,
         0,
         -1,
         {"", "",
          "[error] Get IPMIeventid failed, ProviderName:Nobody,Event_ID:7" + notInDatabase}},
        {"Test_Provider",
         3,
         0,
         -1,
         {"", "", "[info] ipmi_event_id = 131073",
          "[error] Invalid Event, EV#131073" + notInDatabase}},
        {nullptr,
         1,
         0,
         -1,
         {"[error] provider_name is null !", "", "",
          "[error] Get IPMIeventid failed, ProviderName:(null),Event_ID:1" + notInDatabase}},
        {"Test_Provider", 1, 6, 6, {"", "", "[error] BMC_open failed: BMC busy, try again later"}},
    };
    for (const Case& c : cases) {
        setFaults(c.openFault, 0);
        clearTestLog();
        unsigned int alert = 77;
        EXPECT_EQ(write_fpl(c.provider, c.event, 1600000000, &alert), c.result) << c.event;
        EXPECT_EQ(alert, 77u) << "untouched";
        EXPECT_TRUE(records().empty());
        std::vector<std::string> lines = logEntries();
        ASSERT_EQ(lines.size(), c.lines.size()) << c.event;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!c.lines[i].empty()) {
                EXPECT_EQ(lines[i], c.lines[i]);
            }
        }
    }
}

TEST_F(WriteFpl, AppendFailureReturnsTheLibrarysCodeWithTheAlertLevelSet) {
    setFaults(0, 7);
    unsigned int alert = 0;
    EXPECT_EQ(write_fpl("Test_Provider", 1, 1600000000, &alert), 7);
    EXPECT_EQ(alert, 9u);
    EXPECT_TRUE(records().empty());
    std::vector<std::string> lines = logEntries();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[error] FPL append failed: FPL full");

    setFaults(0, 0);
    EXPECT_EQ(write_fpl("Test_Provider", 1, 1600000000, &alert), 0);
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(WriteFpl, AlertLevelAloneIsLookedUpWithoutWritingOrLogging) {
    EXPECT_EQ(fpl_alert_level("Test_Provider", 1), 9u);
    EXPECT_EQ(fpl_alert_level("Test_Provider", 2), 3u);
    EXPECT_EQ(fpl_alert_level("Test_Provider", 3), 0u) << "no OEM record";
    EXPECT_EQ(fpl_alert_level("Nobody", 7), 0u);
    setFaults(6, 0);
    EXPECT_EQ(fpl_alert_level("Test_Provider", 1), 0u) << "the library cannot be opened";
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(logEntries().empty());
}
