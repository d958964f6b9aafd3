// The daemon built with the IPMI backend, against OpenIPMI's BMC simulator; the SEL is
// read back with ipmitool, not with our code.
#include "bmcrelay.h"
#include "ipmisim.h"
#include "paths.h"
#include "sandbox.h"
#include "testlog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

namespace {

const char* const kHeld = "[warn] BMC not reachable: indication 1 and those after it wait; "
                          "trying again from 2 s up to every 60 s";

// Stores these unforwarded rows, the n-th at 12:34:00 plus n seconds (the records then
// tell their order), before the daemon starts.
void storeRows(const std::vector<std::pair<std::string, std::string>>& rows) {
    Sandbox::storeRows(rows.size(), rows, 1394886840, "+060");
}

// The three event data bytes of the system event record `id`, read raw with Get SEL Entry:
// its answer is the next record's id (2 bytes) and the record's 16 bytes.
std::string eventData(const IpmiSim& sim, unsigned id) {
    char args[64];
    snprintf(args, sizeof args, "raw 0x0a 0x43 0 0 0x%02x 0x%02x 0 0xff", id & 0xffu, id >> 8);
    const std::string answer = sim.ipmitool(args);
    std::istringstream in(answer);
    const std::vector<std::string> bytes{std::istream_iterator<std::string>(in), {}};
    return bytes.size() == 18 ? bytes[15] + bytes[16] + bytes[17] : "unread: " + answer;
}

// What `command` prints on its standard output and error, and its exit status.
std::pair<int, std::string> run(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[512];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    return {pipe != nullptr ? pclose(pipe) : -1, out};
}

// The daemon with the IPMI backend against a simulator with room for the records and
// events of the six rows below, no more.
class IpmiForwarding : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IpmiSim::available()) {
            GTEST_SKIP() << "ipmi_sim or ipmitool is not installed";
        }
        // Every sandbox of this process runs the daemon built with the IPMI backend; event
        // times become record times through the local zone.
        setenv("ORVIND_TEST_DAEMON", ORVIND_DAEMON_IPMI_BIN, 1);
        setenv("TZ", "UTC", 1);
        ASSERT_TRUE(sim.start()) << sim.failure();
        sim.useFromHere();
    }

    IpmiSim sim{10};
};

// Rows of several providers and alert levels wait for a BMC that cannot be opened: one
// clear line on why, and no row marked. Then the BMC is away (its LAN session times out)
// and comes back: the SEL holds each row's FPL record once, in order, byte for byte as
// tests/data/ipmi/sel.expected says (ORVIND_UPDATE_GOLDEN=1 writes it anew), and the rows
// selected for halcyon as events, with their event data. Each hold is logged once. Then the SEL is
// full. The password is taken from the environment (tests only) and then from a credential.
TEST_F(IpmiForwarding, RowsWaitForTheBmcAndTheSelHoldsEachRecordOnce) {
    Sandbox sb;
    storeRows({{"VEXA_RAID", "1"},
               {"VEXA_WBEM", "2"},
               {"VEXA_SCSI", "3"},
               {"VEXA_RAID", "3"},
               {"QRX_FCHBAIndication", "1"},
               {"Fan_Monitor_Provider", "14"}});
    const std::string inBand =
        "[error] BMC_open failed: No such BMC unit (/nonexistent/ipmi0 is missing: is the "
        "kernel's IPMI driver (ipmi_devintf, ipmi_si) loaded?)";
    const std::string lan = "[error] BMC_open failed: Permission denied (LAN " + sim.address() +
                            " as admin: password invalid)";
    setenv("ORVIND_BMC_DEVICE", "/nonexistent/ipmi0", 1);
    size_t holds = 0;
    // ORVIND_BMC_LAN ("" for in-band), ORVIND_BMC_PASSWORD, the open failure as logged.
    for (const auto& [address, password, line] : {std::make_tuple(std::string(), "secret", inBand),
                                                  std::make_tuple(sim.address(), "wrong", lan)}) {
        setenv("ORVIND_BMC_LAN", address.c_str(), 1);
        setenv("ORVIND_BMC_PASSWORD", password, 1);
        const pid_t daemon = sb.startDaemon();
        ASSERT_TRUE(Sandbox::waitForLog(kHeld, ++holds)) << Sandbox::log();
        // Taken for tests, with one warning, and gone from the daemon's environment, also
        // from the one it started with, before any child (rpm) could inherit it.
        EXPECT_EQ(Sandbox::countContaining("[warn] The BMC password is taken from the "
                                           "environment (ORVIND_BMC_PASSWORD), which is for "
                                           "tests only."),
                  holds);
        const std::string environ = readFile("/proc/" + std::to_string(daemon) + "/environ");
        EXPECT_EQ(environ.find(std::string("PASSWORD=") + password), std::string::npos);
        EXPECT_EQ(sb.stop(SIGTERM), 0);
        EXPECT_EQ(Sandbox::countLog(line), 1u) << Sandbox::log();
    }
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 0) << "read, never written";
    EXPECT_TRUE(sim.sel().empty());

    // From here on the password is the service's credential, as systemd passes it.
    sim.useFromHere();
    unsetenv("ORVIND_BMC_PASSWORD");
    ASSERT_EQ(mkdir("/run/credentials", 0700), 0);
    writeFile("/run/credentials/bmc-password", "secret\n");
    chmod("/run/credentials/bmc-password", 0600);
    setenv("CREDENTIALS_DIRECTORY", "/run/credentials", 1);
    sim.stop(); // its address and SEL stay
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog(kHeld, 3)) << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status=1"), "0");
    ASSERT_TRUE(sim.start()) << sim.failure();
    EXPECT_TRUE(Sandbox::waitUntilForwarded(90000)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    std::string records;
    for (const IpmiSim::Record& record : sim.sel()) {
        if (record.type == 0xE0) {
            records += "e0:" + record.body + "\n";
        } else if (record.type == 0x02) {
            records += "02:" + eventData(sim, record.id) + "\n";
        }
    }
    // Events of VEXA_RAID 1, VEXA_SCSI 3, QRX_FCHBAIndication 1 and Fan_Monitor_Provider 14.
    expectGolden(ORVIND_TEST_DATA "/ipmi/sel.expected", records);
    EXPECT_EQ(Sandbox::countContaining("indication to halcyon successfully"), 4u);
    EXPECT_EQ(Sandbox::countContaining("BMC not reachable"), 3u);
    EXPECT_EQ(Sandbox::countContaining("BMC answers again: indication 1 forwarded"), 1u);

    // The SEL is full now: the next record is refused for good, with the BMC's reason, and
    // orvind-bmc reads the records back and says so.
    Sandbox::query(Sandbox::insertRow("VEXA_WBEM", "2"));
    sb.startDaemon();
    ASSERT_TRUE(Sandbox::waitForLog("[error] failed to write VEXA_WBEM indication as FPL"))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::countContaining("0xc4 (out of space: the SEL is full)"), 1u)
        << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select Status from indication where Id=7"), "1");
    // Every record was read back as sent; the refusal is counted.
    EXPECT_EQ(Sandbox::countContaining("not kept by the BMC"), 0u) << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select group_concat(Target || ' ' || Result || ' ' || Count, "
                                  "', ') from bmc_outcome where Result<>'written'"),
              "fpl refused 1");
    // orvind --check fails on the full SEL and says what to do.
    sb.launch({"--check"});
    EXPECT_EQ(sb.launcherStatus(), 1);
    EXPECT_THAT(Sandbox::launcherOutput(1),
                testing::HasSubstr("FAIL  BMC answers, but its SEL has room for 0 records (0 "
                                   "bytes free): records are refused"));
    // orvind-bmc reads the SEL with the credential; with the password in the environment
    // instead it says so once, and what to do.
    const auto [status, out] = run(ORVIND_TOOLS_DIR "/orvind-bmc sel");
    EXPECT_EQ(status, 0) << out;
    EXPECT_THAT(out, testing::HasSubstr("the SEL is full"));
    EXPECT_THAT(
        out, testing::HasSubstr(" type=0xe0 event=0x10401 alert=5 datatype=25 entity=0x35 time="));
    const std::string warning = "orvind-bmc: warning: the BMC password is taken from the "
                                "environment (ORVIND_BMC_PASSWORD), which is for tests only.";
    EXPECT_THAT(out, testing::Not(testing::HasSubstr(warning)));
    const auto [fromEnvironment, warned] =
        run("env -u CREDENTIALS_DIRECTORY ORVIND_BMC_PASSWORD=secret " ORVIND_TOOLS_DIR
            "/orvind-bmc sel --count");
    EXPECT_EQ(fromEnvironment, 0) << warned;
    EXPECT_THAT(warned, testing::HasSubstr(warning));
    EXPECT_EQ(warned.find(warning), warned.rfind(warning)) << warned;
}

// A BMC that answers Add SEL Entry with success and keeps nothing, as two firmwares do (a
// relay in front of the simulator, the session in the clear so that it can answer): each
// row is counted not kept, one error line says why, no row is held, and orvindctl and
// orvind --check name it while the daemon runs. What the SEL holds then is read directly.
TEST_F(IpmiForwarding, ABmcThatKeepsNothingIsCountedNotKeptAndNamed) {
    struct Case {
        BmcRelay::Mode mode;
        const char* answer; // in the error line
        const char* sel;    // the record types left in the SEL
    };
    // Every record answered with id 0xFFFF; OEM records answered with the caller's own id
    // (0), the platform events of the two rows for halcyon kept as system event records.
    for (const Case& c : {Case{BmcRelay::Mode::LastId, "record id 0xffff", ""},
                          Case{BmcRelay::Mode::OwnId, "record id 0x0000", "02 02 "}}) {
        SCOPED_TRACE(c.answer);
        ASSERT_EQ(sim.ipmitool("sel clear").empty(), false);
        BmcRelay relay(sim.address(), c.mode);
        ASSERT_TRUE(relay.start()) << relay.failure();
        setenv("ORVIND_BMC_LAN", relay.address().c_str(), 1);
        setenv("ORVIND_BMC_CIPHER_SUITE", "0", 1);
        Sandbox sb;
        storeRows({{"VEXA_RAID", "1"}, {"VEXA_WBEM", "2"}, {"VEXA_SCSI", "3"}});
        sb.startDaemon();
        EXPECT_TRUE(Sandbox::waitUntilForwarded()) << Sandbox::log();
        const std::string notKeeping = "this BMC does not keep OEM records";
        EXPECT_THAT(run(ORVIND_TOOLS_DIR "/orvindctl status").second,
                    testing::HasSubstr(notKeeping));
        EXPECT_THAT(
            run(ORVIND_TOOLS_DIR "/orvindctl metrics").second,
            testing::HasSubstr("orvind_bmc_records_total{target=\"fpl\",result=\"not_kept\"} 3"));
        EXPECT_THAT(run(ORVIND_DAEMON_IPMI_BIN " --check").second, testing::HasSubstr(notKeeping));
        EXPECT_EQ(sb.stop(SIGTERM), 0);

        EXPECT_EQ(Sandbox::countContaining("[error] The BMC accepted the record of indication 1 "
                                           "but did not keep it: it answered " +
                                           std::string(c.answer) + ", which names no record."),
                  1u)
            << Sandbox::log();
        EXPECT_EQ(Sandbox::countContaining("did not keep it"), 1u);
        EXPECT_EQ(Sandbox::countContaining("accepted, not kept by the BMC"), 3u);
        EXPECT_EQ(Sandbox::countContaining("BMC not reachable"), 0u);
        EXPECT_GE(relay.dropped(), 3);
        std::string types;
        for (const IpmiSim::Record& record : sim.sel()) {
            char type[8];
            snprintf(type, sizeof type, "%02x ", record.type);
            types += type;
        }
        EXPECT_EQ(types, c.sel);
    }
}

} // namespace
