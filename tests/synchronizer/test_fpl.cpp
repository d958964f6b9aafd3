// The FPL writer against the simulated BMC. Each case of tests/data/fpl/records.txt writes
// an event or looks up its alert level; what each gives (the result, the alert level, the
// records' bytes and the log lines) is compared with records.expected
// (ORVIND_UPDATE_GOLDEN=1 writes it anew).
#include "bmcsession.h"
#include "fpl.h"

#include "sandbox.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

TEST(WriteFpl, EachCaseGivesWhatItsExpectedFileSays) {
    const std::string data = ORVIND_TEST_DATA "/fpl/";
    TempDir temp;
    const std::string state = temp.file("state");
    setenv("TZ", "UTC", 1); // the event time is logged in the local zone
    setenv(tallowsim::kDirVariable, state.c_str(), 1);
    setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
    setenv(tallowsim::kDictionaryVariable, ORVIND_TEST_DATA "/bmc/fpl-dictionary.txt", 1);

    std::istringstream cases(readFile(data + "records.txt"));
    std::string out;
    for (std::string line; std::getline(cases, line);) {
        std::istringstream in(line);
        std::string verb, provider;
        unsigned event = 0;
        long long time = 0;
        tallowsim::Faults faults;
        if (line.empty() || line[0] == '#' || !(in >> verb >> provider >> event) ||
            (verb == "write" && !(in >> time)) || !(in >> faults.open)) {
            continue;
        }
        in >> faults.append;
        std::string error;
        ASSERT_TRUE(tallowsim::makeStateDir(state, &error)) << error;
        ASSERT_TRUE(tallowsim::writeFaults(state, faults, &error)) << error;
        ASSERT_TRUE(tallowsim::clearFpl(state, &error)) << error;
        clearTestLog();
        const char* name = provider == "(null)" ? nullptr : provider.c_str();
        out += "== " + line + "\n";
        if (verb == "write") {
            unsigned int alert = 77;
            bool mayPass = false;
            BmcSession session;
            const int result =
                write_fpl(session, name, event, static_cast<time_t>(time), &alert, &mayPass);
            out += "result " + std::to_string(result) + (mayPass ? ", may pass" : "") +
                   ", alert level " + std::to_string(alert) + "\n";
        } else {
            bool opened = false;
            BmcSession session;
            const unsigned level = fpl_alert_level(session, name, event, &opened);
            out += "alert level " + std::to_string(level) + (opened ? "" : ", not opened") + "\n";
        }
        for (const SEL_entry_t& record : Sandbox::fplRecords(state)) {
            out += "record" + Sandbox::fplFields(record) + "\n";
        }
        for (const std::string& entry : logEntries()) {
            out += entry + "\n";
        }
    }
    ASSERT_FALSE(out.empty());
    expectGolden(data + "records.expected", out);
}
