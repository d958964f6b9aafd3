// The daemon built with the IPMI backend, against OpenIPMI's BMC simulator; the SEL is
// read back with ipmitool, not with our code.
#include "brokertool.h"
#include "fpl.h"
#include "ipmisim.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "tallow_ipmi.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string storedRows() {
    if (Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") != "1") {
        return "0";
    }
    return Sandbox::queryValue("select count(*) from indication");
}

// The time of the n-th row of a test, 12:34:00 plus n seconds: the records tell their order.
std::string timeOf(int n) {
    char time[64];
    snprintf(time, sizeof time, "201403151%03d%02d.000000+060", 234 + n / 60, n % 60);
    return time;
}

// Raises one indication through the broker into the daemon's pipe.
void raise(const std::string& provider, const std::string& event, int n) {
    const std::string before = storedRows();
    ToolResult raised =
        runBrokerTool({"raise", "--class", "VEXA_AlertIndication", "--namespace", "root/zarn", "-p",
                       "ProviderName:string=" + provider, "-p", "EventID:string=" + event, "-p",
                       "EventTime:datetime=" + timeOf(n)},
                      Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
    ASSERT_TRUE(Sandbox::waitUntil([&] { return storedRows() != before; })) << Sandbox::log();
}

bool waitForwarded(size_t rows, int timeoutMs = Sandbox::kTimeoutMs) {
    return Sandbox::waitUntil(
        [rows] {
            return Sandbox::queryValue("select count(*) from indication where Status=1") ==
                   std::to_string(rows);
        },
        timeoutMs);
}

// The 0xe0 records of the SEL, as ipmitool shows them: type and 13 body bytes in hex.
std::vector<std::string> oemRecords(const IpmiSim& sim) {
    std::vector<std::string> records;
    for (const IpmiSim::Record& record : sim.sel()) {
        if (record.type == 0xE0) {
            records.push_back("e0:" + record.body);
        }
    }
    return records;
}

// What the simulated BMC's FPL holds for the same rows: every row of the store written
// again, in id order, through the simulated backend that this test process links.
std::vector<std::string> simulatedFpl() {
    Sandbox::queryValue("update indication set Status=0");
    SQLiteDB store(Sandbox::kDatabase);
    Indication_t ind;
    while (memset(&ind, 0, sizeof ind), store.getIndication(&ind)) {
        unsigned int level = 0;
        EXPECT_EQ(write_fpl(ind.proName, static_cast<unsigned>(ind.eventId), ind.eventTime, &level),
                  0);
        store.updateIndication(ind.id);
    }
    std::vector<std::string> records;
    for (const SEL_entry_t& entry : Sandbox::fplRecords()) {
        char text[64];
        const unsigned char* body = reinterpret_cast<const unsigned char*>(&entry.e0);
        int at = snprintf(text, sizeof text, "%02x:", entry.RecType);
        for (size_t i = 0; i < sizeof entry.e0; ++i) {
            at += snprintf(text + at, sizeof text - at, "%02x", body[i]);
        }
        records.push_back(text);
    }
    return records;
}

class IpmiForwarding : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IpmiSim::available()) {
            GTEST_SKIP() << "ipmi_sim or ipmitool is not installed";
        }
        // Every sandbox of this process runs the daemon built with the IPMI backend.
        setenv("ORVIND_TEST_DAEMON", ORVIND_DAEMON_IPMI_BIN, 1);
        ASSERT_TRUE(sim.start()) << sim.failure();
        sim.useFromHere();
    }

    IpmiSim sim;
};

// Rows of several providers and alert levels: the SEL holds, for each row and in order,
// the record type and the 13 body bytes that the simulated BMC's FPL holds for it.
TEST_F(IpmiForwarding, SelHoldsTheFplRecordsByteForByte) {
    Sandbox sb;
    sb.startDaemon();
    const std::pair<const char*, const char*> rows[] = {
        {"VEXA_RAID", "1"}, {"VEXA_WBEM", "2"},           {"VEXA_SCSI", "3"},
        {"VEXA_RAID", "3"}, {"QRX_FCHBAIndication", "1"}, {"Fan_Monitor_Provider", "14"},
    };
    int n = 0;
    for (const auto& [provider, event] : rows) {
        raise(provider, event, n++);
    }
    ASSERT_TRUE(waitForwarded(n)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    std::vector<std::string> sel = oemRecords(sim);
    std::vector<std::string> fpl = simulatedFpl();
    ASSERT_EQ(fpl.size(), static_cast<size_t>(n));
    EXPECT_EQ(sel, fpl);
    // The selected rows (alert level 3 and more, QRX_FCHBAIndication 1) reached the BMC
    // as events too: VEXA_RAID 1, VEXA_SCSI 3, QRX_FCHBAIndication 1, Fan_Monitor 14.
    size_t events = 0;
    for (const IpmiSim::Record& record : sim.sel()) {
        events += record.type == 0x02 ? 1 : 0;
    }
    EXPECT_EQ(events, 4u);
    EXPECT_EQ(Sandbox::countContaining("indication to halcyon successfully"), 4u) << Sandbox::log();
}

// A BMC that cannot be opened: one clear line on why, and the row waits unmarked.
TEST_F(IpmiForwarding, UnopenableBmcIsNamedAndTheRowWaits) {
    struct Case {
        std::string lan;      // ORVIND_BMC_LAN; "" for in-band
        std::string password; // ORVIND_BMC_PASSWORD
        std::string line;     // the open failure as logged
    };
    const Case cases[] = {
        {"", "secret",
         "[error] BMC_open failed: No such BMC unit (/nonexistent/ipmi0 is missing: is the "
         "kernel's IPMI driver (ipmi_devintf, ipmi_si) loaded?)"},
        {sim.address(), "wrong",
         "[error] BMC_open failed: Permission denied (LAN " + sim.address() +
             " as admin: password invalid)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lan);
        setenv("ORVIND_BMC_LAN", c.lan.c_str(), 1);
        setenv("ORVIND_BMC_PASSWORD", c.password.c_str(), 1);
        setenv("ORVIND_BMC_DEVICE", "/nonexistent/ipmi0", 1);
        Sandbox sb;
        sb.startDaemon();
        raise("VEXA_RAID", "3", 0);
        ASSERT_TRUE(Sandbox::waitForLog("[warn] BMC not reachable: indication 1 and those after "
                                        "it wait; trying again from 2 s up to every 60 s"))
            << Sandbox::log();
        EXPECT_EQ(sb.stop(SIGTERM), 0);
        EXPECT_EQ(Sandbox::countLog(c.line), 1u) << Sandbox::log();
        EXPECT_EQ(Sandbox::queryValue("select Status from indication where Id=1"), "0");
        EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 0) << "read, never written";
    }
    EXPECT_TRUE(oemRecords(sim).empty());
}

// The BMC is away while rows wait (its LAN session times out) and comes back: every row
// reaches the SEL exactly once, in order, and the outage is logged once.
TEST_F(IpmiForwarding, OutageLosesNothing) {
    const int kRows = kSanitized ? 10 : 20;
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    std::string rows = "begin;";
    for (int n = 0; n < kRows; ++n) {
        rows += Sandbox::insertRow("VEXA_RAID", "3", timeOf(n));
    }
    Sandbox::query(rows + "commit;");
    sim.stop(); // its address and SEL stay
    sb.startDaemon();
    // Held, not marked, while the BMC is away.
    ASSERT_TRUE(Sandbox::waitForLog("[warn] BMC not reachable: indication 1 and those after it "
                                    "wait; trying again from 2 s up to every 60 s"))
        << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status=1"), "0");
    ASSERT_TRUE(sim.start()) << sim.failure();
    ASSERT_TRUE(waitForwarded(kRows, 90000)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    std::vector<std::string> sel = oemRecords(sim);
    ASSERT_EQ(sel.size(), static_cast<size_t>(kRows));
    // b9..b12 hold the row's time: strictly rising, so each row once and in order.
    unsigned previous = 0;
    for (const std::string& record : sel) {
        unsigned time = 0;
        for (int byte = 3; byte >= 0; --byte) {
            time = time << 8 | std::stoul(record.substr(3 + 2 * (5 + byte), 2), nullptr, 16);
        }
        EXPECT_GT(time, previous) << record;
        previous = time;
    }
    EXPECT_EQ(Sandbox::countContaining("BMC not reachable"), 1u);
    EXPECT_EQ(Sandbox::countContaining("failed to write VEXA_RAID indication as FPL"), 1u);
    EXPECT_EQ(Sandbox::countContaining("BMC answers again: indication 1 forwarded"), 1u);
}

} // namespace

namespace {

// The session's own answers on a SEL of 3 records: ids advance, records come back byte
// for byte, a full SEL answers BMC_E_FULL with its meaning, and orvind-bmc says so.
TEST(IpmiSession, FillsTheSelAndTellsItIsFull) {
    if (!IpmiSim::available()) {
        GTEST_SKIP() << "ipmi_sim or ipmitool is not installed";
    }
    IpmiSim sim(3);
    ASSERT_TRUE(sim.start()) << sim.failure();
    sim.useFromHere();
    tallowipmi::Session session;
    ASSERT_EQ(session.open(), 0) << session.error();
    const uint8_t body[13] = {0x35, 0x01, 0x04, 0x01, 0xB9, 1, 2, 3, 4, 0, 0, 0, 1};
    unsigned previous = 0;
    for (int i = 0; i < 3; ++i) {
        unsigned id = 0;
        ASSERT_EQ(session.addSelEntry(0xE0, body, &id), 0) << session.error();
        EXPECT_GT(id, previous);
        previous = id;
    }
    unsigned id = 0;
    EXPECT_EQ(session.addSelEntry(0xE0, body, &id), BMC_E_FULL);
    EXPECT_NE(session.error().find("0xc4 (out of space: the SEL is full)"), std::string::npos)
        << session.error();
    std::vector<tallowipmi::SelRecord> records;
    ASSERT_EQ(session.readSel(records), 0) << session.error();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].recordType(), 0xE0);
    EXPECT_EQ(memcmp(&records[2].bytes[3], body, sizeof body), 0);

    FILE* tool = popen(ORVIND_TOOLS_DIR "/orvind-bmc sel 2>&1", "r");
    ASSERT_NE(tool, nullptr);
    std::string out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, tool) != nullptr) {
        out += buffer;
    }
    EXPECT_EQ(pclose(tool), 0) << out;
    EXPECT_NE(out.find("the SEL is full"), std::string::npos) << out;
    EXPECT_NE(out.find(" type=0xe0 event=0x10401 alert=5 datatype=25 entity=0x35 time="),
              std::string::npos)
        << out;
}

} // namespace
