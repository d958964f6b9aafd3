#include "brokertool.h"
#include "sandbox.h"
#include "sqlitedb.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>
#include <utility>
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
    std::string address = "10.0.0.5,fe80::5";
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
    ToolResult raised = runBrokerTool(
        {"raise", "--class", "VEXA_AlertIndication", "--namespace", "root/zarn", "-p",
         property("ProviderName", row.provider), "-p", property("EventID", row.event), "-p",
         "EventTime:datetime=20140315123456.000000+060", "-p", property("HWPartNumber", row.part),
         "-p", property("HWEncodingPhysicalLocation", row.location), "-p",
         "SystemFirmwareVersion:string=1.2.3", "-p", "NetworkAddresses:string[]=" + row.address},
        Sandbox::kBrokerRepository);
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;
    ASSERT_NE(raised.out.find(": 1 delivered, 0 failed"), std::string::npos) << raised.out;
    ASSERT_TRUE(Sandbox::waitUntil([&] { return storedRows() != before; })) << "not stored:\n"
                                                                            << Sandbox::log();
}

std::string status(int id) {
    return Sandbox::queryValue("select Status from indication where Id=" + std::to_string(id));
}

// Waits until `rows` rows are stored and none is left with status 0.
bool waitForwarded(size_t rows) {
    return Sandbox::waitUntil([rows] {
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

// What a pass logs for one row and its targets (an empty result: not written).
std::vector<std::string> passOf(int id, const std::string& provider, const std::string& event,
                                const char* fpl, const char* halcyon) {
    std::vector<std::string> lines{"[info] fetch number " + std::to_string(id) + " indication " +
                                   provider + ":" + event + " from database"};
    const std::pair<const char*, const char*> targets[] = {{fpl, "as FPL"},
                                                           {halcyon, "to halcyon"}};
    for (const auto& [result, target] : targets) {
        if (result == std::string("ok")) {
            lines.push_back("[info] write " + provider + " indication " + target + " successfully");
        } else if (result == std::string("failed")) {
            lines.push_back("[error] failed to write " + provider + " indication " + target);
        }
    }
    lines.push_back("[info] update number " + std::to_string(id) + " indication success");
    return lines;
}

std::string underscored(std::string name) {
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

// The case table of tests/data/forwarding/selection.txt.
struct Selection {
    std::string provider;
    std::string event;
    unsigned alert = 0;
    bool halcyon = false;
};

std::vector<Selection> selectionTable() {
    std::vector<Selection> table;
    std::ifstream in(std::string(ORVIND_TEST_DATA) + "/forwarding/selection.txt");
    std::string line;
    while (std::getline(in, line)) {
        // Columns are set apart by two blanks or more; a provider name may hold one.
        std::vector<std::string> fields;
        for (size_t at = 0, gap = 0; gap != std::string::npos && line[0] != '#';
             at = line.find_first_not_of(' ', gap)) {
            gap = line.find("  ", at);
            fields.push_back(line.substr(at, gap - at));
        }
        if (fields.size() >= 4) {
            table.push_back({fields[0], fields[1], static_cast<unsigned>(std::stoi(fields[2])),
                             fields[3] == "yes"});
        }
    }
    return table;
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

    raise({"VEXA_RAID", "1"});                                         // alert level 5
    raise({"VEXA_WBEM", "2"});                                         // alert level 1
    raise({"Fan Monitor Provider", "12", "NULL", "NULL", "10.0.0.7"}); // alert level 3
    ASSERT_TRUE(waitForwarded(3)) << Sandbox::log();
    // The mark's line follows its commit: wait for it too.
    ASSERT_TRUE(Sandbox::waitForLog("[info] update number 3 indication success"));

    std::vector<std::string> expected = passOf(1, "VEXA_RAID", "1", "ok", "ok");
    for (const auto& more : {passOf(2, "VEXA_WBEM", "2", "ok", ""),
                             passOf(3, "Fan_Monitor_Provider", "12", "ok", "ok")}) {
        expected.insert(expected.end(), more.begin(), more.end());
    }
    EXPECT_EQ(passEntries(), expected);
    // The first read of each mark created it holding 0 (which reads as no row and is not
    // logged); from then on it holds the last row served, as 4 bytes.
    EXPECT_EQ(Sandbox::countContaining("Last Log id: 0"), 0u);
    EXPECT_EQ(Sandbox::countLog("[info] Last Log id: 1"), 2u) << "read for rows 2 and 3";
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 3);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), 3);
    EXPECT_EQ(Sandbox::query("select Id, Status from indication order by Id"),
              (std::vector<std::vector<std::string>>{{"1", "1"}, {"2", "1"}, {"3", "1"}}));

    auto fpl = Sandbox::fplRecords();
    ASSERT_EQ(fpl.size(), 3u);
    EXPECT_EQ(fpl[0].e0.EventID, 0x10401u);
    EXPECT_EQ(fpl[1].e0.EventID, 0x10102u);
    EXPECT_EQ(fpl[2].e0.EventID, 0x10501u);

    // The management processor received the full parameter text of each selected row.
    utsname names;
    uname(&names);
    const std::string release = names.release;
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    const std::string facts =
        " --PVER 2.5.0 --OSTYP 84 --OSVER " + release.substr(0, release.find('-')) +
        " --EVTTYP 1 --IMD 5 --SGUID " + tallowsim::systemUuid(Sandbox::kBmcDir);
    const std::string expectedArgs[] = {
        "--PNAM VEXA_RAID --HPART PN-1234 --EID 1" + facts +
            " --HPHYL 00020001000a0321 --SFWVER 1.2.3 --NWADD 10.0.0.5___fe80::5 --SNAM " + host +
            " --IID ",
        "--PNAM Fan_Monitor_Provider --EID 12" + facts +
            " --HPHYL 0000000000000000 --SFWVER 1.2.3 --NWADD 10.0.0.7 --SNAM " + host + " --IID ",
    };
    auto commands = Sandbox::bmcCommands();
    ASSERT_EQ(commands.size(), 2u);
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].name, "MPEventGen");
        EXPECT_EQ(commands[i].status, 0);
        const std::string& arg = commands[i].arg;
        EXPECT_EQ(arg.substr(0, expectedArgs[i].size()), expectedArgs[i]);
        EXPECT_EQ(arg.size(), expectedArgs[i].size() + 36)
            << "a fresh instance id ends it: " << arg;
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
    auto commands = Sandbox::bmcCommands();
    ASSERT_EQ(fpl.size(), table.size());
    size_t selected = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string provider = underscored(table[i].provider);
        EXPECT_EQ(fpl[i].e0.AlertLevel, table[i].alert) << provider << " " << table[i].event;
        bool sent =
            selected < commands.size() &&
            commands[selected].arg.rfind("--PNAM " + provider + " ", 0) == 0 &&
            commands[selected].arg.find(" --EID " + table[i].event + " ") != std::string::npos;
        EXPECT_EQ(sent, table[i].halcyon) << provider << " " << table[i].event;
        selected += sent;
    }
    EXPECT_EQ(commands.size(), selected);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// ---- faults of the simulated BMC (the texts of every code are checked by the
// halcyon and FPL tests; here each kind of fault once, through the daemon)

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

const char* const kInternalError =
    "Internal error - internal error detected - memory could not be allocated, etc.";

class DaemonForwardingFault : public testing::TestWithParam<Fault> {};

// Two rows: VEXA_RAID 1 goes to halcyon for its alert level (5), VEXA_WBEM 1 for
// being a named event. A failing target gets its error line, its mark and no retry;
// the rows end forwarded all the same.
TEST_P(DaemonForwardingFault, IsLoggedMarkedAndNotRetried) {
    const Fault fault = GetParam();
    const std::string name = fault.name;
    const bool fplFails = fault.fplError[0] != '\0';
    const bool halcyonFails = fault.halcyonError[0] != '\0';
    Sandbox sb;
    Sandbox::setBmcFault(name, fault.value);
    sb.startDaemon();
    raise({"VEXA_RAID", "1"});
    raise({"VEXA_WBEM", "1"});
    ASSERT_TRUE(waitForwarded(2)) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    const char* fpl = fplFails ? "failed" : "ok";
    const char* halcyon = halcyonFails ? "failed" : "ok";
    std::vector<std::string> expected = passOf(1, "VEXA_RAID", "1", fpl, halcyon);
    auto wbem = passOf(2, "VEXA_WBEM", "1", fpl, halcyon);
    expected.insert(expected.end(), wbem.begin(), wbem.end());
    EXPECT_EQ(passEntries(), expected) << "each row once, each target at most once";

    if (fplFails) {
        EXPECT_EQ(Sandbox::countLog(std::string("[error] ") + fault.fplError), 2u);
    }
    if (halcyonFails) {
        EXPECT_EQ(Sandbox::countLog(std::string("[error] ") + fault.halcyonError), 2u);
    }
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), 2);
    EXPECT_EQ(Sandbox::readMark(Sandbox::kHalcyonMark), 2);
    EXPECT_EQ(status(1), "1");
    EXPECT_EQ(status(2), "1");
    EXPECT_EQ(Sandbox::fplRecords().size(), fplFails ? 0u : 2u);
    // A command refused by its status was received; one refused by the interface was not.
    bool received = !halcyonFails || name == "cli-status";
    EXPECT_EQ(Sandbox::bmcCommands().size(), received ? 2u : 0u);
    EXPECT_EQ(Sandbox::logEntries().back(), kLastLine);
}

INSTANTIATE_TEST_SUITE_P(
    Bmc, DaemonForwardingFault,
    testing::Values(Fault{"append", 7, "FPL append failed: FPL full", ""},
                    Fault{"cli", 0xAA, "", "The pointer to the stdout or stderr is NULL."},
                    Fault{"cli", 0xEE, "", "The size of stdout or stderr is not enought."},
                    Fault{"cli", 0x42, "", "Unknown interface error(42)."},
                    Fault{"cli-status", 1, "", "Provided command input data is not complete."},
                    Fault{"cli-status", 2, "", kInternalError},
                    Fault{"cli-status", 3, "",
                          "Error in index - given handle number does not match any currently "
                          "outstanding requests."},
                    Fault{"cli-status", 4, "",
                          "Cli entries full - maximum number of outstanding ipmi cli entries "
                          "has been reached."},
                    Fault{"cli-status", 5, "",
                          "Invalid command - provided command is not supported via the ipmi "
                          "cli interface."},
                    Fault{"cli-status", 6, "", kInternalError},
                    Fault{"cli-status", 7, "",
                          "Response does not fit into cli response message - output data > "
                          "excess data lost."},
                    Fault{"cli-status", 8, "",
                          "Length exceeded - argument or environment variable length exceeded "
                          "limit."},
                    Fault{"cli-status", 9, "", "Unknown response error."}),
    [](const testing::TestParamInfo<Fault>& fault) {
        std::string name = fault.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name + "_" + std::to_string(fault.param.value);
    });

// ---- the store and the shutdown

// A store that refuses the mark: the row comes again after a pause, each target is
// served once, and the row is marked once the store takes the mark.
// The BMC cannot be opened while 100 indications arrive, then can again: every row
// reaches the FPL exactly once and in order; the outage is logged once.
TEST(DaemonForwarding, BmcOutageHoldsTheRowsAndLosesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const size_t kRows = 30; // the sanitized daemon is several times slower
#else
    const size_t kRows = 100;
#endif
    Sandbox sb;
    Sandbox::setBmcFault("open", BMC_E_IO);
    sb.startDaemon();
    for (size_t n = 0; n < kRows; ++n) {
        raise({"VEXA_RAID", n % 2 == 0 ? "3" : "2"});
    }
    ASSERT_TRUE(Sandbox::waitForLog("[warn] BMC not reachable: indication 1 and those after it "
                                    "wait; trying again from 2 s up to every 60 s"))
        << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select count(*) from indication where Status=1"), "0");
    Sandbox::setBmcFault("open", 0);
    // The pause has grown meanwhile (2 s doubling): up to 32 s before the next try.
    ASSERT_TRUE(Sandbox::waitUntil(
        [&] {
            return Sandbox::queryValue("select count(*) from indication where Status=1") ==
                   std::to_string(kRows);
        },
        90000))
        << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);

    std::vector<SEL_entry_t> fpl = Sandbox::fplRecords();
    ASSERT_EQ(fpl.size(), kRows);
    for (size_t n = 0; n < kRows; ++n) {
        EXPECT_EQ(fpl[n].e0.EventID, n % 2 == 0 ? 0x10403u : 0x10402u) << n;
    }
    // VEXA_RAID 2 (alert level 4) went to halcyon as well, once each.
    EXPECT_EQ(Sandbox::bmcCommands().size(), kRows / 2);
    EXPECT_EQ(Sandbox::countContaining("BMC not reachable"), 1u);
    EXPECT_EQ(Sandbox::countLog("[error] failed to write VEXA_RAID indication as FPL"), 1u);
    EXPECT_EQ(Sandbox::countContaining("BMC answers again: indication 1 forwarded"), 1u);
}

TEST(DaemonForwarding, RefusedMarkIsTriedAgainWithoutServingTwice) {
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    Sandbox::query("create trigger keep before update on indication "
                   "begin select raise(abort, 'kept'); end");
    sb.startDaemon();
    raise({"VEXA_RAID", "2"}); // alert level 4
    ASSERT_TRUE(Sandbox::waitForLog("[error] update number 1 indication failed", 2))
        << Sandbox::log();
    // Not a busy loop: a fetch every 2 seconds or so.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LE(Sandbox::countContaining("fetch number 1 indication"), 5u);
    EXPECT_EQ(status(1), "0");
    Sandbox::query("drop trigger keep");
    ASSERT_TRUE(waitForwarded(1)) << Sandbox::log();
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(Sandbox::countContaining("indication as FPL"), 1u);
    EXPECT_EQ(Sandbox::countContaining("indication to halcyon"), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// The shutdown waits for the pass under way: here the mark waits for a database held
// by another program, and the pass ends only once that program lets go.
TEST(DaemonForwarding, ShutdownLetsThePassUnderWayFinish) {
    Sandbox sb;
    { SQLiteDB store(Sandbox::kDatabase); }
    Sandbox::query(Sandbox::insertRow("VEXA_RAID", "1"));
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
    EXPECT_EQ(status(1), "0");
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    EXPECT_EQ(sb.waitForExit(), 0);
    auto entries = Sandbox::logEntries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "[info] update number 1 indication success");
    EXPECT_EQ(entries.back(), kLastLine);
    EXPECT_EQ(status(1), "1");
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
    std::vector<std::string> entries = Sandbox::logEntries();
    entries.erase(std::remove(entries.begin(), entries.end(), "[error] open database failed"),
                  entries.end());
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
    EXPECT_EQ(Sandbox::fplRecords().size(), 1u);
    EXPECT_EQ(Sandbox::bmcCommands().size(), 1u);
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
