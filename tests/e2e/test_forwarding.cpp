#include "brokertool.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <sqlite3.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const kStartLine = "[info] new thread starts up.";
const char* const kLastLine = "[info] new thread dies.";

// One indication, reduced to the properties the forwarding reads. "NULL" stands for a
// property without value.
struct Row {
    std::string provider;
    std::string event;
    std::string part = "PN-1234";
    std::string location = "00020001000a0321";
    std::string firmware = "1.2.3";
    std::vector<std::string> addresses = {"10.0.0.5", "fe80::5"};
    std::string time = "20140315123456.000000+060";
};

// Rows stored so far; none while the table has not been made yet.
std::string storedRows() {
    if (Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") != "1") {
        return "0";
    }
    return Sandbox::queryValue("select count(*) from indication");
}

std::string property(const std::string& name, const std::string& value) {
    return value == "NULL" ? name + ":string" : name + ":string=" + value;
}

// Raises the indication with the broker tool, which delivers it into the daemon's pipe
// through the subscription the daemon registered, and waits until it is stored.
void raise(const Row& row) {
    const std::string before = storedRows();
    std::string addresses;
    for (const auto& address : row.addresses) {
        addresses += (addresses.empty() ? "" : ",") + address;
    }
    ToolResult raised = runBrokerTool(
        {"raise", "--class", "VEXA_AlertIndication", "--namespace", "root/zarn", "-p",
         property("ProviderName", row.provider), "-p", property("EventID", row.event), "-p",
         "EventTime:datetime=" + row.time, "-p", property("HWPartNumber", row.part), "-p",
         property("HWEncodingPhysicalLocation", row.location), "-p",
         property("SystemFirmwareVersion", row.firmware), "-p",
         "NetworkAddresses:string[]=" + addresses},
        Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
    ASSERT_NE(raised.out.find(": 1 delivered, 0 failed"), std::string::npos) << raised.out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (storedRows() == before) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "not stored:\n" << Sandbox::log();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string sqlText(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

// Makes the store's table, as the daemon would, before any daemon runs.
void createStore() {
    SQLiteDB store(Sandbox::kDatabase);
}

// Stores the row with status 0 directly, as the intake would, and returns its id.
int addRow(const Row& row) {
    std::string address;
    for (const auto& item : row.addresses) {
        address += item + " ";
    }
    std::string id = Sandbox::queryValue(
        "insert into indication(Status, ProviderName, EventID, EventTime, HWPartNumber, "
        "HWEncodingPhysicalLocation, HWPhysicalLocation, SystemFirmwareVersion, "
        "NetworkAddresses) values(0, " +
        sqlText(row.provider) + ", " + sqlText(row.event) + ", " + sqlText(row.time) + ", " +
        sqlText(row.part) + ", " + sqlText(row.location) + ", 'NULL', " + sqlText(row.firmware) +
        ", " + sqlText(address) + "); select max(Id) from indication");
    return id.empty() ? 0 : std::stoi(id);
}

std::string status(int id) {
    return Sandbox::queryValue("select Status from indication where Id=" + std::to_string(id));
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs = Sandbox::kTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Waits until `rows` rows are stored and none is left with status 0.
bool waitForwarded(size_t rows) {
    return waitUntil([rows] {
               return Sandbox::queryValue("select count(*) from indication where Status=1") ==
                      std::to_string(rows);
           }) &&
           Sandbox::queryValue("select count(*) from indication") == std::to_string(rows);
}

// The log entries the forwarding pass itself writes, in order.
std::vector<std::string> passEntries() {
    std::vector<std::string> entries;
    for (const auto& entry : Sandbox::logEntries()) {
        for (const char* mark :
             {"indication as FPL", "indication to halcyon", "fetch number", "update number"}) {
            if (entry.find(mark) != std::string::npos) {
                entries.push_back(entry);
                break;
            }
        }
    }
    return entries;
}

size_t countContaining(const std::string& text) {
    size_t count = 0;
    for (const auto& entry : Sandbox::logEntries()) {
        count += entry.find(text) != std::string::npos;
    }
    return count;
}

// The command sent for the provider's event, empty when none was.
std::vector<tallowsim::Command> commandsFor(const std::string& provider, const std::string& event) {
    std::vector<tallowsim::Command> found;
    for (const auto& command : Sandbox::bmcCommands()) {
        if (command.arg.rfind("--PNAM " + provider + " ", 0) == 0 &&
            command.arg.find(" --EID " + event + " ") != std::string::npos) {
            found.push_back(command);
        }
    }
    return found;
}

std::string kernelVersion() {
    utsname names;
    uname(&names);
    std::string release = names.release;
    return release.substr(0, release.find('-'));
}

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// The case table of tests/data/forwarding/selection.txt.
struct Selection {
    std::string provider;
    std::string event;
    int alert = 0;
    bool halcyon = false;
};

std::vector<Selection> selectionTable() {
    std::vector<Selection> table;
    std::ifstream in(std::string(ORVIND_TEST_DATA) + "/forwarding/selection.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        // Columns are set apart by two blanks or more; a provider name may hold one.
        std::vector<std::string> fields;
        size_t at = 0;
        while (at < line.size()) {
            size_t gap = line.find("  ", at);
            fields.push_back(line.substr(at, gap - at));
            if (gap == std::string::npos) {
                break;
            }
            at = line.find_first_not_of(' ', gap);
        }
        if (fields.size() >= 4) {
            table.push_back({fields[0], fields[1], std::stoi(fields[2]), fields[3] == "yes"});
        }
    }
    return table;
}

std::string underscored(std::string name) {
    for (char& c : name) {
        if (c == ' ') {
            c = '_';
        }
    }
    return name;
}

} // namespace

TEST(DaemonForwarding, FirstStartOnACleanSystem) {
    Sandbox sb;
    sb.startDaemon();
    // Nothing to forward: after its start-up line the thread says nothing and reads no
    // mark; it looks again every 3 seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(Sandbox::logEntries().back(), kStartLine);
    EXPECT_FALSE(Sandbox::exists(Sandbox::kFplMark));
    EXPECT_FALSE(Sandbox::exists(Sandbox::kHalcyonMark));

    raise({"VEXA_RAID", "1"});             // alert level 5
    raise({"VEXA_WBEM", "2"});             // alert level 1
    Row fan{"Fan Monitor Provider", "12"}; // alert level 3
    fan.part = "NULL";
    fan.location = "NULL";
    fan.addresses = {"10.0.0.7"};
    raise(fan);
    ASSERT_TRUE(waitForwarded(3)) << Sandbox::log();
    const int raid = 1, scrub = 2, fanId = 3;

    EXPECT_EQ(passEntries(),
              (std::vector<std::string>{
                  "[info] fetch number 1 indication VEXA_RAID:1 from database",
                  "[info] write VEXA_RAID indication as FPL successfully",
                  "[info] write VEXA_RAID indication to halcyon successfully",
                  "[info] update number 1 indication success",
                  "[info] fetch number 2 indication VEXA_WBEM:2 from database",
                  "[info] write VEXA_WBEM indication as FPL successfully",
                  "[info] update number 2 indication success",
                  "[info] fetch number 3 indication Fan_Monitor_Provider:12 from database",
                  "[info] write Fan_Monitor_Provider indication as FPL successfully",
                  "[info] write Fan_Monitor_Provider indication to halcyon successfully",
                  "[info] update number 3 indication success",
              }));
    // The first read of each mark created it empty (an empty mark reads as 0 and is not
    // logged); from then on it holds the last row served, as 4 bytes.
    EXPECT_EQ(countContaining("Last Log id: 0"), 0u);
    EXPECT_EQ(Sandbox::countLog("[info] Last Log id: 1"), 2u) << "read for rows 2 and 3";
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), fanId);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), fanId);
    EXPECT_EQ(Sandbox::query("select Id, Status from indication order by Id"),
              (std::vector<std::vector<std::string>>{{std::to_string(raid), "1"},
                                                     {std::to_string(scrub), "1"},
                                                     {std::to_string(fanId), "1"}}));

    auto fpl = Sandbox::fplRecords();
    ASSERT_EQ(fpl.size(), 3u);
    EXPECT_EQ(fpl[0].e0.EventID, 0x10401u);
    EXPECT_EQ(fpl[1].e0.EventID, 0x10102u);
    EXPECT_EQ(fpl[2].e0.EventID, 0x10501u);

    // The management processor received the full parameter text of each selected row.
    auto commands = Sandbox::bmcCommands();
    ASSERT_EQ(commands.size(), 2u);
    const std::string facts = " --PVER 2.5.0 --OSTYP 84 --OSVER " + kernelVersion() +
                              " --EVTTYP 1 --IMD 5 --SGUID " +
                              tallowsim::systemUuid(Sandbox::kBmcDir);
    const std::vector<std::string> expected = {
        "--PNAM VEXA_RAID --HPART PN-1234 --EID 1" + facts +
            " --HPHYL 00020001000a0321 --SFWVER 1.2.3 --NWADD 10.0.0.5___fe80::5 --SNAM " +
            hostName() + " --IID ",
        "--PNAM Fan_Monitor_Provider --EID 12" + facts +
            " --HPHYL 0000000000000000 --SFWVER 1.2.3 --NWADD 10.0.0.7 --SNAM " + hostName() +
            " --IID ",
    };
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].name, "MPEventGen");
        EXPECT_EQ(commands[i].status, 0);
        const std::string& arg = commands[i].arg;
        EXPECT_EQ(arg.substr(0, expected[i].size()), expected[i]);
        EXPECT_EQ(arg.size(), expected[i].size() + 36) << "a fresh instance id ends it: " << arg;
    }
    EXPECT_NE(commands[0].arg.substr(commands[0].arg.size() - 36),
              commands[1].arg.substr(commands[1].arg.size() - 36));

    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::logEntries().back(), kLastLine);
}

TEST(DaemonForwarding, SelectsHalcyonRowsThroughTheDictionary) {
    Sandbox sb;
    const std::vector<Selection> table = selectionTable();
    ASSERT_EQ(table.size(), 12u);
    sb.startDaemon();
    for (const auto& entry : table) {
        raise({entry.provider, entry.event});
    }
    ASSERT_TRUE(waitForwarded(table.size())) << Sandbox::log();

    auto fpl = Sandbox::fplRecords();
    ASSERT_EQ(fpl.size(), table.size());
    size_t selected = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        const Selection& entry = table[i];
        std::string name = underscored(entry.provider) + " " + entry.event;
        EXPECT_EQ(fpl[i].e0.AlertLevel, static_cast<unsigned>(entry.alert)) << name;
        EXPECT_EQ(commandsFor(underscored(entry.provider), entry.event).size(),
                  entry.halcyon ? 1u : 0u)
            << name;
        selected += entry.halcyon;
    }
    EXPECT_EQ(Sandbox::bmcCommands().size(), selected);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// ---- faults of the simulated BMC

struct Fault {
    const char* name;
    int value;
    // What write_fpl and mp_event_gen log about it (empty: that target works).
    const char* fplError;
    const char* halcyonError;
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name << " " << fault.value;
}

class DaemonForwardingFault : public testing::TestWithParam<Fault> {};

// Two rows: VEXA_RAID 1 goes to halcyon for its alert level (5), VEXA_WBEM 1 for
// being a named event. A failing target gets its error line, its mark and no retry;
// the rows end forwarded all the same.
TEST_P(DaemonForwardingFault, IsLoggedMarkedAndNotRetried) {
    const Fault fault = GetParam();
    const bool fplFails = fault.fplError[0] != '\0';
    const bool halcyonFails = fault.halcyonError[0] != '\0';
    Sandbox sb;
    Sandbox::setBmcFault(fault.name, fault.value);
    sb.startDaemon();
    raise({"VEXA_RAID", "1"});
    raise({"VEXA_WBEM", "1"});
    ASSERT_TRUE(waitForwarded(2)) << Sandbox::log();
    const int raid = 1, wbem = 2;
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    // Without the BMC there is no alert level, so VEXA_RAID 1 is no longer selected.
    const bool raidSelected = std::string(fault.name) != "open";
    std::vector<std::string> expected{"[info] fetch number 1 indication VEXA_RAID:1 from database"};
    expected.push_back(fplFails ? "[error] failed to write VEXA_RAID indication as FPL"
                                : "[info] write VEXA_RAID indication as FPL successfully");
    if (raidSelected) {
        expected.push_back(halcyonFails
                               ? "[error] failed to write VEXA_RAID indication to halcyon"
                               : "[info] write VEXA_RAID indication to halcyon successfully");
    }
    expected.push_back("[info] update number 1 indication success");
    expected.push_back("[info] fetch number 2 indication VEXA_WBEM:1 from database");
    expected.push_back(fplFails ? "[error] failed to write VEXA_WBEM indication as FPL"
                                : "[info] write VEXA_WBEM indication as FPL successfully");
    expected.push_back(halcyonFails ? "[error] failed to write VEXA_WBEM indication to halcyon"
                                    : "[info] write VEXA_WBEM indication to halcyon successfully");
    expected.push_back("[info] update number 2 indication success");
    EXPECT_EQ(passEntries(), expected) << "each row once, each target at most once";

    if (fplFails) {
        EXPECT_EQ(Sandbox::countLog(std::string("[error] ") + fault.fplError), 2u);
    }
    if (halcyonFails) {
        EXPECT_EQ(Sandbox::countLog(std::string("[error] ") + fault.halcyonError),
                  raidSelected ? 2u : 1u);
    }
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), wbem);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), wbem);
    EXPECT_EQ(status(raid), "1");
    EXPECT_EQ(status(wbem), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), fplFails ? 0u : 2u);
    // A command refused by its status was received; one refused by the interface was not.
    bool received = !halcyonFails || std::string(fault.name) == "cli-status";
    EXPECT_EQ(Sandbox::bmcCommands().size(), received ? (raidSelected ? 2u : 1u) : 0u);
    EXPECT_EQ(Sandbox::logEntries().back(), kLastLine);
}

const char* const kInternal =
    "Internal error - internal error detected - memory could not be allocated, etc.";

INSTANTIATE_TEST_SUITE_P(
    Bmc, DaemonForwardingFault,
    testing::Values(
        Fault{"open", 3, "BMC_open failed: BMC state not accessible",
              "BMC_open() failed: BMC state not accessible"},
        Fault{"append", 7, "FPL append failed: FPL full", ""},
        Fault{"cli", 0xAA, "", "The pointer to the stdout or stderr is NULL."},
        Fault{"cli", 0xDD, "", "Command time out."},
        Fault{"cli", 0xEE, "", "The size of stdout or stderr is not enought."},
        Fault{"cli", 0x42, "", "Unknown interface error(42)."},
        Fault{"cli-status", 1, "", "Provided command input data is not complete."},
        Fault{"cli-status", 2, "", kInternal},
        Fault{"cli-status", 3, "",
              "Error in index - given handle number does not match any currently outstanding "
              "requests."},
        Fault{"cli-status", 4, "",
              "Cli entries full - maximum number of outstanding ipmi cli entries has been "
              "reached."},
        Fault{"cli-status", 5, "",
              "Invalid command - provided command is not supported via the ipmi cli interface."},
        Fault{"cli-status", 6, "", kInternal},
        Fault{"cli-status", 7, "",
              "Response does not fit into cli response message - output data > excess data "
              "lost."},
        Fault{"cli-status", 8, "",
              "Length exceeded - argument or environment variable length exceeded limit."},
        Fault{"cli-status", 9, "", "Unknown response error."},
        Fault{"cli-status", 255, "", "Unknown response error."}),
    [](const testing::TestParamInfo<Fault>& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            if (c == '-') {
                c = '_';
            }
        }
        return name + "_" + std::to_string(info.param.value);
    });

// ---- rows fetched again

// As after a crash that followed the FPL mark: the FPL is not written again, and the
// named events still go to halcyon.
TEST(DaemonForwarding, RowFetchedAgainAfterItsFplMarkSkipsTheFpl) {
    Sandbox sb;
    const int named = 1; // the first row
    Sandbox::writeMark(Sandbox::kFplMark, named);
    sb.startDaemon();
    raise({"VEXA_WBEM", "1"});
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_TRUE(Sandbox::fplRecords().empty());
    EXPECT_EQ(commandsFor("VEXA_WBEM", "1").size(), 1u);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), named);

    Sandbox::writeMark(Sandbox::kFplMark, named + 1);
    raise({"VEXA_WBEM", "2"});
    ASSERT_TRUE(waitForwarded(2)) << Sandbox::log();
    EXPECT_TRUE(Sandbox::fplRecords().empty());
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(passEntries(), (std::vector<std::string>{
                                 "[info] fetch number 1 indication VEXA_WBEM:1 from database",
                                 "[info] write VEXA_WBEM indication to halcyon successfully",
                                 "[info] update number 1 indication success",
                                 "[info] fetch number 2 indication VEXA_WBEM:2 from database",
                                 "[info] update number 2 indication success",
                             }));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// A row selected for its alert level keeps it when the FPL step is skipped, so a crash
// between the FPL mark and the halcyon event does not lose the event; and a row whose
// targets were both served but whose status was lost is served nothing again.
TEST(DaemonForwarding, RowFetchedAgainAfterItsFplMarkKeepsItsAlertLevel) {
    Sandbox sb;
    const int critical = 1; // the first row
    Sandbox::writeMark(Sandbox::kFplMark, critical);
    sb.startDaemon();
    raise({"Power_Supply_Provider", "1"}); // alert level 5
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_TRUE(Sandbox::fplRecords().empty());
    EXPECT_EQ(commandsFor("Power_Supply_Provider", "1").size(), 1u);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), critical);

    Sandbox::query("update indication set Status=0 where Id=" + std::to_string(critical));
    ASSERT_TRUE(Sandbox::waitForLog("[info] update number 1 indication success", 2));
    EXPECT_EQ(status(critical), "1");
    EXPECT_TRUE(Sandbox::fplRecords().empty());
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// A store that refuses the mark: the row comes again after a pause, each target is
// served once, and the row is marked once the store takes the mark.
TEST(DaemonForwarding, RefusedMarkIsTriedAgainWithoutServingTwice) {
    Sandbox sb;
    createStore();
    Sandbox::query("create trigger keep before update on indication "
                   "begin select raise(abort, 'kept'); end");
    sb.startDaemon();
    raise({"VEXA_RAID", "2"}); // alert level 4
    const int id = 1;
    ASSERT_TRUE(Sandbox::waitForLog("[error] update number 1 indication failed", 2))
        << Sandbox::log();
    // Not a busy loop: a fetch every 2 seconds or so.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LE(countContaining("fetch number 1 indication"), 5u);
    EXPECT_EQ(status(id), "0");
    Sandbox::query("drop trigger keep");
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(countContaining("indication as FPL"), 1u);
    EXPECT_EQ(countContaining("indication to halcyon"), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// ---- the store and the shutdown

// The shutdown waits for the pass under way: here the mark waits for a database held
// by another program, and the pass ends only once that program lets go.
TEST(DaemonForwarding, ShutdownLetsThePassUnderWayFinish) {
    Sandbox sb;
    createStore();
    int id = addRow({"VEXA_RAID", "1"});
    sb.startDaemon();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(Sandbox::kDatabase, &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(Sandbox::waitForLog("[info] write VEXA_RAID indication to halcyon successfully"))
        << Sandbox::log();

    sb.signal(SIGTERM);
    ASSERT_TRUE(Sandbox::waitForLog("[info] caught 15 signal and terminate"));
    ASSERT_TRUE(Sandbox::waitForLog("[info] database is busy, update 1 indication again in 2 "
                                    "seconds"));
    EXPECT_EQ(status(id), "0");
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    EXPECT_EQ(sb.waitForExit(), 0);
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "[info] update number 1 indication success");
    EXPECT_EQ(entries.back(), kLastLine);
    EXPECT_EQ(status(id), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
}

// A store that cannot be opened keeps the thread trying every 2 seconds, and does not
// keep the shutdown waiting.
TEST(DaemonForwarding, ShutdownEndsAThreadThatCannotOpenItsStore) {
    Sandbox sb;
    ASSERT_EQ(mkdir(Sandbox::kDatabase, 0755), 0);
    sb.startDaemon();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    // The intake fails to open the same store; its lines may come at any time.
    std::vector<std::string> entries;
    for (const auto& entry : Sandbox::logEntries()) {
        if (entry != "[error] open database failed") {
            entries.push_back(entry);
        }
    }
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), kLastLine);
}

TEST(DaemonForwarding, ThreadOpensAFreshStoreOnceItCan) {
    Sandbox sb;
    ASSERT_EQ(mkdir(Sandbox::kDatabase, 0755), 0);
    sb.startDaemon();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    ASSERT_EQ(rmdir(Sandbox::kDatabase), 0);
    raise({"VEXA_SCSI", "3"});
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    const int id = 1;
    EXPECT_EQ(status(id), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
