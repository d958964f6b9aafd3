// The forwarding passes on a store, mark files and a simulated BMC of the test's own, with
// the project's sample event dictionary.
//
// Each scenario of tests/data/forwarder/scenarios.txt runs its steps on a fresh store and
// BMC; what each step gives (the pass's result, the log lines, the FPL records and
// halcyon commands the BMC received, the marks and the rows' status) is compared with
// scenarios.expected (ORVIND_UPDATE_GOLDEN=1 writes it anew).
#include "forwarder.h"
#include "fpl.h"
#include "runstate.h"

#include "sandbox.h"
#include "sqlitedb.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// A published fact with its UTC time stamp masked: the pass may have run a second
// or more before the facts are read (a slow sanitizer build), so any stamp is masked.
std::string maskedTime(const std::string& said) {
    static const std::regex stamp("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    return std::regex_replace(said, stamp, "<now>");
}

const std::string kData = ORVIND_TEST_DATA "/forwarder/";

// One scenario's store, marks and BMC.
struct World {
    World() {
        paths.database = temp.file("indications.db");
        paths.fplMark = temp.file("fpl.log");
        paths.halcyonMark = temp.file("zu.log");
        setenv(tallowsim::kDirVariable, bmc.c_str(), 1);
        setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
        store = std::make_unique<SQLiteDB>(paths.database, temp.file("raw"));
        facts.state = &state;
    }

    std::string sql(const std::string& text) { return Sandbox::queryValue(text, paths.database); }

    // Runs one step and tells what it gave.
    std::string step(const std::string& line) {
        std::istringstream in(line);
        std::string verb, name, out;
        int value = 0;
        in >> verb;
        clearTestLog();
        if (verb == "insert") {
            std::string event;
            in >> name >> event;
            sql(Sandbox::insertRow(name, event));
        } else if (verb == "fault" && in >> name >> value) {
            facts.bmc.close(); // as after a second without rows: a fault to open shows
            Sandbox::setBmcFault(name, value, bmc);
        } else if (verb == "mark" && in >> name >> value) {
            Sandbox::writeMark(name == "fpl" ? paths.fplMark : paths.halcyonMark, value);
        } else if (verb == "sql") {
            sql(line.substr(4));
        } else if (verb == "marks-missing") {
            paths.fplMark = temp.file("missing/fpl.log");
            paths.halcyonMark = temp.file("missing/zu.log");
        } else if (verb == "marks-found") {
            mkdir(temp.file("missing").c_str(), 0700);
        } else if (verb == "select") {
            Indication_t ind = {};
            unsigned level = 0;
            in >> name >> ind.eventId >> level;
            strncpy(ind.proName, name.c_str(), sizeof ind.proName - 1);
            out += selected_for_halcyon(ind, level) ? "to halcyon\n" : "not to halcyon\n";
        } else if (verb == "hold-pause" && in >> value) {
            out += std::to_string(hold_pause_seconds(value)) + " s\n";
        } else if (verb == "outcomes") {
            out += "outcomes: " +
                   sql("select group_concat(Target || ' ' || Result || ' ' || Count, ', ') from "
                       "(select * from bmc_outcome order by Target, Result)") +
                   "\n";
            for (const auto& [fact, said] : RunState::read(temp.file("state"))) {
                out += fact + ": " + maskedTime(substituted(said, temp.path(), "<dir>")) + "\n";
            }
        } else if (verb == "answers") {
            out += bmc_answers() ? "the BMC answers\n" : "the BMC does not answer\n";
        } else if (verb == "pass") {
            int row = 0;
            const PassResult result = forward_next(*store, paths, &row, &facts);
            const char* const results[] = {"idle", "forwarded", "not marked", "held", "unrecorded"};
            out += results[static_cast<int>(result)] + (", row " + std::to_string(row)) + "\n";
        } else {
            ADD_FAILURE() << "unknown step: " << line;
        }
        for (const std::string& entry : logEntries()) {
            out += maskHostFacts(substituted(entry, temp.path(), "<dir>"), bmc) + "\n";
        }
        const std::vector<SEL_entry_t> fpl = Sandbox::fplRecords(bmc);
        for (; records < fpl.size(); ++records) {
            char text[64];
            snprintf(text, sizeof text, "FPL record: event 0x%x alert %u\n",
                     fpl[records].e0.EventID, fpl[records].e0.AlertLevel);
            out += text;
        }
        const std::vector<tallowsim::Command> sent = Sandbox::bmcCommands(bmc);
        for (; commands < sent.size(); ++commands) {
            out += "sent " + sent[commands].name + " status " +
                   std::to_string(sent[commands].status) + ": " +
                   maskHostFacts(sent[commands].arg, bmc) + "\n";
        }
        if (verb == "pass") {
            out += "marks: FPL " + std::to_string(Sandbox::readMark(paths.fplMark)) + ", halcyon " +
                   std::to_string(Sandbox::readMark(paths.halcyonMark)) + "; status: " +
                   sql("select group_concat(Id || '=' || Status, ' ') from indication") + "\n";
        }
        return out;
    }

    TempDir temp;
    ForwardingPaths paths;
    RunState state{temp.file("state")};
    ForwardingFacts facts;
    std::string bmc = temp.file("bmc");
    std::unique_ptr<SQLiteDB> store;
    size_t records = 0;
    size_t commands = 0;
};

} // namespace

TEST(Forwarding, EachScenarioGivesWhatItsExpectedFileSays) {
    setenv("TZ", "UTC", 1); // event times become FPL record times through the local zone
    setenv(tallowsim::kDictionaryVariable,
           ORVIND_SOURCE_DIR "/platform/tallow/data/event-dictionary.txt", 1);
    // The host facts of a halcyon event come from this rpm rather than the host's.
    TempDir bin;
    writeFile(bin.file("rpm"), readFile(ORVIND_TEST_DATA "/forwarding/rpm"));
    ASSERT_EQ(chmod(bin.file("rpm").c_str(), 0755), 0);
    const char* path = getenv("PATH");
    setenv("PATH", (bin.path() + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);

    std::string out;
    for (const auto& [name, steps] : readCases(kData + "scenarios.txt")) {
        World world; // the one before is gone: its store closed before this one opens
        out += "== " + name + "\n";
        for (const std::string& line : steps) {
            out += "> " + line + "\n" + world.step(line);
        }
    }
    ASSERT_FALSE(out.empty());
    expectGolden(kData + "scenarios.expected", out);
}
