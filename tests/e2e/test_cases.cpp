// The golden cases: every file of tests/data/cases/ is delivered into one running daemon,
// one case after the other, and what the daemon did with it (the rows it stored, the
// lines the intake and the forwarding logged, the FPL records and halcyon commands the
// simulated BMC received) is compared with the expected file beside it.
// What each kind of case file holds, how to write the expected files anew after a
// deliberate change and review them: tests/data/cases/README.md.
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kCaseDir = ORVIND_TEST_DATA "/cases";

struct Case {
    std::string name;    // the file name without its extension
    std::string bytes;   // what is written into the pipe
    std::string fault{}; // a fault of the simulated BMC for its rows ("" for none)
    int faultValue = 0;
    // Taken while it runs: its intake lines [intakeFrom, intakeTo) and its rows.
    size_t intakeFrom = 0;
    size_t intakeTo = 0;
    int firstRow = 1;
    int lastRow = 0;
    std::string expectedFile() const { return kCaseDir + "/" + name + ".expected"; }
};

std::vector<Case> loadCases() {
    std::vector<Case> cases;
    for (const auto& entry : std::filesystem::directory_iterator(kCaseDir)) {
        const std::string extension = entry.path().extension();
        if (extension == ".xml" || extension == ".delivery") {
            const std::string bytes = readFile(entry.path());
            Case c{entry.path().stem(), extension == ".xml" ? Sandbox::framed(bytes) : bytes};
            std::filesystem::path fault = entry.path();
            if (std::filesystem::exists(fault.replace_extension(".bmc"))) {
                std::istringstream(readFile(fault)) >> c.fault >> c.faultValue;
            }
            cases.push_back(c);
        }
    }
    std::sort(cases.begin(), cases.end(),
              [](const Case& a, const Case& b) { return a.name < b.name; });
    return cases;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Lines the intake logs for a document; every other line after the start-up comes from
// the forwarding.
bool fromIntake(const std::string& entry) {
    for (const char* mark : {"] Received a document of ", "] The document of ", "] insert ",
                             "] error code : ", "] Passed over ", "] createInstance "}) {
        if (entry.find(mark) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The log after the start-up without time stamps, a message of several lines as one
// entry, and without the lines whose number depends on timing (a statement that waited
// for the other thread). With `intakeOnly`, the intake's lines alone.
std::vector<std::string> caseEntries(size_t startUp, bool intakeOnly) {
    std::vector<std::string> entries;
    std::vector<std::string> all = Sandbox::logEntries();
    for (size_t i = startUp; i < all.size(); ++i) {
        if (all[i].empty() || all[i][0] != '[') {
            if (!entries.empty()) {
                entries.back() += "\n" + all[i];
            }
        } else if (all[i].find("] database is busy, ") == std::string::npos) {
            entries.push_back(all[i]);
        }
    }
    if (intakeOnly) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [](const std::string& e) { return !fromIntake(e); }),
                      entries.end());
    }
    return entries;
}

bool allForwarded() {
    return Sandbox::queryValue("select count(*) from indication where Status=0") == "0";
}

int highestRow() {
    if (Sandbox::queryValue("select count(*) from sqlite_master where name='indication'") != "1") {
        return 0;
    }
    return std::atoi(Sandbox::queryValue("select coalesce(max(Id), 0) from indication").c_str());
}

// Each stored row of the case: every column that is not empty text, its value after
// its storage class ("integer:6", "real:2.1", "text:...", "<null>").
std::string renderRows(const Case& c) {
    const auto columns = Sandbox::query("select name from pragma_table_info('indication')");
    std::string sql = "select Id";
    for (size_t i = 1; i < columns.size(); ++i) {
        sql += ", typeof(" + columns[i][0] + ") || ':' || coalesce(" + columns[i][0] + ", '')";
    }
    sql += " from indication where Id between " + std::to_string(c.firstRow) + " and " +
           std::to_string(c.lastRow) + " order by Id";
    std::string out;
    for (const std::vector<std::string>& row : Sandbox::query(sql)) {
        out += "row " + row[0] + "\n";
        for (size_t i = 1; i < row.size(); ++i) {
            if (row[i] != "text:") {
                out += "  " + columns[i][0] + " " + (row[i] == "null:" ? "<null>" : row[i]) + "\n";
            }
        }
    }
    return out;
}

// The intake's lines of a case: those about each document in their order, then those of
// the commits (where the commits fall among the documents of one delivery depends on how
// the pipe's reads cut it).
std::string intakeText(const Case& c, const std::vector<std::string>& intake) {
    std::vector<std::string> lines(intake.begin() + std::min(c.intakeFrom, intake.size()),
                                   intake.begin() + std::min(c.intakeTo, intake.size()));
    std::stable_partition(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("] insert ") == std::string::npos;
    });
    std::string text;
    for (const std::string& line : lines) {
        text += maskHostFacts(line, Sandbox::kBmcDir) + "\n";
    }
    return text;
}

// What the BMC received, handed out in the order the forwarding logged its writes.
struct BmcSide {
    std::vector<SEL_entry_t> fpl = Sandbox::fplRecords();
    std::vector<tallowsim::Command> commands = Sandbox::bmcCommands();
    size_t nextRecord = 0;
    size_t nextCommand = 0;
};

// The expected-file text of one case.
std::string render(const Case& c, const std::vector<std::string>& intake,
                   const std::vector<std::string>& entries, BmcSide& bmc) {
    // A row's forwarding lines run from its fetch to the next fetch.
    std::string forwarding, fpl, halcyon, parameter;
    bool inCase = false;
    for (const std::string& entry : entries) {
        int id = 0;
        if (sscanf(entry.c_str(), "[info] fetch number %d ", &id) == 1) {
            inCase = id >= c.firstRow && id <= c.lastRow;
        }
        if (!inCase || fromIntake(entry)) {
            continue;
        }
        forwarding += maskHostFacts(entry, Sandbox::kBmcDir) + "\n";
        if (entry.rfind("[info] Parameter:", 0) == 0) {
            parameter = entry.substr(17);
        }
        if (endsWith(entry, " indication as FPL successfully") && bmc.nextRecord < bmc.fpl.size()) {
            const SEL_entry_t& record = bmc.fpl[bmc.nextRecord++];
            char text[40];
            snprintf(text, sizeof text, " event 0x%x alert %u\n", record.e0.EventID,
                     record.e0.AlertLevel);
            fpl += Sandbox::fplFields(record, "RecType", "e0.b9-b16").substr(1) + text;
        }
        // The command of a write, when the BMC received it (also one it refused).
        if ((endsWith(entry, " indication to halcyon successfully") ||
             endsWith(entry, " indication to halcyon")) &&
            bmc.nextCommand < bmc.commands.size() &&
            bmc.commands[bmc.nextCommand].arg == parameter) {
            const tallowsim::Command& command = bmc.commands[bmc.nextCommand++];
            halcyon += command.name + " " + std::to_string(command.status) + " " +
                       maskHostFacts(command.arg, Sandbox::kBmcDir) + "\n";
        }
    }
    return "== stored\n" + renderRows(c) + "== intake log\n" + intakeText(c, intake) +
           "== forwarding log\n" + forwarding + "== FPL records\n" + fpl + "== halcyon commands\n" +
           halcyon;
}

// The entries from `from` on, one a line.
std::string joined(const std::vector<std::string>& entries, size_t from) {
    std::string text;
    for (size_t i = from; i < entries.size(); ++i) {
        text += entries[i] + "\n";
    }
    return text;
}

size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(GoldenCases, EachCaseStoresLogsAndForwardsWhatItsExpectedFileSays) {
    const bool update = getenv("ORVIND_UPDATE_GOLDEN") != nullptr;
    std::vector<Case> cases = loadCases();
    ASSERT_FALSE(cases.empty()) << kCaseDir;
    setenv("TZ", "UTC", 1); // event times become FPL record times through the local zone
    Sandbox sb;
    sb.startDaemon();
    const size_t startUp = Sandbox::logEntries().size();
    // The start's lines and what the daemon registered with the broker, which no document
    // changes; a second start finds the objects in place (start.expected).
    const std::string brokerObjects = std::string(Sandbox::kBrokerRepository) + "/objects";
    const std::string registered = readFile(brokerObjects);
    std::string start = "== start log\n" + joined(Sandbox::logEntries(), 0) +
                        "== broker repository\n" + registered + "== restart log\n";

    // One case at a time, a delivery of its own: the next is written once the intake has
    // handled this one, so that each case's lines and rows are its own.
    int patience = Sandbox::kTimeoutMs;
    for (Case& c : cases) {
        const size_t holds = Sandbox::countContaining("] BMC not reachable: ");
        if (!c.fault.empty()) {
            // The rows before it go out first; this case's rows meet the fault.
            EXPECT_TRUE(Sandbox::waitUntil(allForwarded)) << c.name;
            Sandbox::setBmcFault(c.fault, c.faultValue);
        }
        c.intakeFrom = caseEntries(startUp, true).size();
        c.firstRow = highestRow() + 1;
        sb.writeDelivery(c.bytes);
        // Done when the expected number of lines is there; when writing the expected
        // files, once nothing more comes for a while.
        const std::string expected = readFile(c.expectedFile());
        const size_t at = expected.find("== intake log\n"), end = expected.find("== forwarding");
        const size_t lines =
            at < end && end != std::string::npos ? lineCount(expected.substr(at, end - at)) - 1 : 1;
        std::string seen;
        int stable = 0;
        bool settled = Sandbox::waitUntil(
            [&] {
                const std::vector<std::string> intake = caseEntries(startUp, true);
                c.intakeTo = intake.size();
                const std::string now = intakeText(c, intake);
                stable = now == seen ? stable + 1 : 0;
                seen = now;
                return update ? !now.empty() && stable >= 100 : lineCount(now) >= lines;
            },
            patience);
        patience = settled ? patience : 1000; // one case that hangs is enough to wait for
        c.lastRow = highestRow();
        if (!c.fault.empty()) {
            // A row held for the fault is tried again once the BMC answers.
            EXPECT_TRUE(Sandbox::waitUntil([&] {
                return allForwarded() || Sandbox::countContaining("] BMC not reachable: ") > holds;
            })) << c.name;
            Sandbox::setBmcFault(c.fault, 0);
        }
    }
    const std::string last = std::to_string(highestRow());
    EXPECT_TRUE(Sandbox::waitUntil([&] {
        return allForwarded() &&
               Sandbox::countLog("[info] update number " + last + " indication success") > 0;
    })) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(readFile(brokerObjects), registered);
    const std::vector<std::string> entries = caseEntries(startUp, false);
    const std::vector<std::string> intake = caseEntries(startUp, true);
    const size_t stopped = Sandbox::logEntries().size();
    sb.startDaemon();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    start += joined(Sandbox::logEntries(), stopped);

    expectGolden(kCaseDir + "/start.expected", start);
    BmcSide bmc;
    for (const Case& c : cases) {
        expectGolden(c.expectedFile(), render(c, intake, entries, bmc));
    }
    EXPECT_EQ(bmc.nextRecord, bmc.fpl.size()) << "FPL records of no logged write";
    EXPECT_EQ(bmc.nextCommand, bmc.commands.size()) << "halcyon commands of no logged write";
    EXPECT_EQ(Sandbox::readMark(Sandbox::kFplMark), std::atoi(last.c_str()))
        << "the FPL mark holds the last row";
}
