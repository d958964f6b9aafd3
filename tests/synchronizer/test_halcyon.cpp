// The halcyon event generator against the simulated BMC, with a stand-in rpm first on PATH
// whose answers each case writes, and a package database of its own that changes (as an
// upgrade does) when the answers do, unless the case says otherwise.
//
// The golden cases of tests/data/halcyon/events.txt each send one event; what each gives
// (the result, the log lines and the command the management processor received) is
// compared with events.expected (ORVIND_UPDATE_GOLDEN=1 writes it anew).
#include "bmcsession.h"
#include "halcyon.h"

#include "sandbox.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const std::string kCases = ORVIND_TEST_DATA "/halcyon/events.txt";
const std::string kExpected = ORVIND_TEST_DATA "/halcyon/events.expected";
const char* const kDmiUuid = "4c4c4544-0035-3010-8056-b4c04f4e3232";

// The value of a case's line "key: value", or `otherwise` when the case does not give it:
// "(null)" is no text at all (null), "\t" and "\n" stand for themselves and "{N blanks}"
// for N blanks.
struct Value {
    bool null = false;
    std::string text;
    const char* get() const { return null ? nullptr : text.c_str(); }
};

Value valueOf(const GoldenCase& c, const std::string& key, const std::string& otherwise) {
    std::string text = otherwise;
    for (const std::string& line : c.second) {
        if (line.rfind(key + ":", 0) == 0) {
            text = line.substr(key.size() + (line.compare(key.size(), 2, ": ") == 0 ? 2 : 1));
        }
    }
    if (text == "(null)") {
        return {true, ""};
    }
    text = substituted(substituted(text, "\\t", "\t"), "\\n", "\n");
    std::smatch blanks;
    if (std::regex_match(text, blanks, std::regex(R"(\{(\d+) blanks\})"))) {
        text = std::string(std::stoul(blanks[1]), ' ');
    }
    return {false, text};
}

class Halcyon : public ::testing::Test {
protected:
    void SetUp() override {
        setenv(tallowsim::kDirVariable, state.c_str(), 1);
        setenv(tallowsim::kDmiUuidVariable, temp.file("product_uuid").c_str(), 1);
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(packages.c_str(), 0755), 0);
        WatchPackageDatabases({packages});
        writeFile(bin + "/rpm", readFile(ORVIND_TEST_DATA "/bmc/rpm"));
        ASSERT_EQ(chmod((bin + "/rpm").c_str(), 0755), 0);
        const char* path = getenv("PATH");
        setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    }

    // How often rpm has run.
    size_t rpmRuns() {
        const std::string calls = readFile(bin + "/calls");
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), '\n'));
    }

    // Sends the case's event (the wbem event id is 12) and tells what it gave.
    std::string run(const GoldenCase& c) {
        writeFile(temp.file("product_uuid"), valueOf(c, "dmi", kDmiUuid).text + "\n");
        const std::pair<const char*, Value> answers[] = {
            {"/provider.out", valueOf(c, "rpm-provider", "vexa-qrx-2.5.0-12.x86_64")},
            {"/issue.out", valueOf(c, "rpm-issue", "sles-release-15.4-150400.58.7.3.x86_64")}};
        std::string shown;
        for (const auto& [file, answer] : answers) {
            unlink((bin + file).c_str());
            if (!answer.null) {
                writeFile(bin + file, answer.text + "\n");
            }
            shown += answer.null ? "\n(null)\n" : "\n" + answer.text + "\n";
        }
        // Each change gets a later time than any before (file times are too coarse to tell
        // two quick changes apart).
        static time_t later = 1000000000;
        const timespec times[2] = {{++later, 0}, {later, 0}};
        const std::string change =
            valueOf(c, "packages", shown != lastAnswers ? "upgraded" : "unchanged").text;
        lastAnswers = shown;
        const std::string database = packages + "/Packages";
        if (change == "upgraded") {
            EXPECT_EQ(utimensat(AT_FDCWD, packages.c_str(), times, 0), 0);
        } else if (change == "added") {
            writeFile(database, "1");
        } else if (change == "rewritten") {
            writeFile(database, "2");
            EXPECT_EQ(utimensat(AT_FDCWD, database.c_str(), times, 0), 0);
        } else if (change == "removed") {
            EXPECT_EQ(unlink(database.c_str()), 0);
        }
        const size_t runs = rpmRuns();
        tallowsim::Faults faults;
        std::istringstream fault(valueOf(c, "fault", "open 0").text);
        std::string name, number, error;
        fault >> name >> number;
        EXPECT_TRUE(tallowsim::setFault(faults, name, std::stoll(number, nullptr, 0), &error));
        EXPECT_TRUE(tallowsim::makeStateDir(state, &error)) << error;
        EXPECT_TRUE(tallowsim::writeFaults(state, faults, &error)) << error;
        EXPECT_TRUE(tallowsim::clearCommands(state, &error)) << error;
        physloc_t location = BMC_physloc_NULL;
        const Value at = valueOf(c, "location", "(null)");
        EXPECT_TRUE(at.null || BMC_str_to_physloc(at.get(), &location) == 0) << at.text;

        // Without rpm: the stand-in is set aside and PATH holds only its folder.
        const bool rpmMissing = valueOf(c, "rpm", "installed").text == "missing";
        const std::string path = getenv("PATH");
        if (rpmMissing) {
            EXPECT_EQ(rename((bin + "/rpm").c_str(), (bin + "/rpm.aside").c_str()), 0);
            setenv("PATH", bin.c_str(), 1);
        }
        clearTestLog();
        CheckHostFacts(); // at start-up: one line when rpm is missing, none otherwise
        bool mayPass = false;
        BmcSession session;
        const int result =
            mp_event_gen(session, valueOf(c, "provider", "P").get(), valueOf(c, "part", "").get(),
                         12, 0, location, valueOf(c, "firmware", "f").get(),
                         valueOf(c, "address", "a").get(), &mayPass);
        std::string out = "== " + c.first + "\nresult " + std::to_string(result) +
                          (mayPass ? ", may pass\n" : "\n");
        for (const std::string& entry : logEntries()) {
            out += maskHostFacts(entry, state) + "\n";
        }
        out += "rpm ran " + std::to_string(rpmRuns() - runs) + " times\n";
        if (rpmMissing) {
            EXPECT_EQ(rename((bin + "/rpm.aside").c_str(), (bin + "/rpm").c_str()), 0);
            setenv("PATH", path.c_str(), 1);
        }
        for (const tallowsim::Command& command : Sandbox::bmcCommands(state)) {
            EXPECT_TRUE(instanceIds.insert(command.arg.substr(command.arg.size() - 36)).second)
                << "each event carries its own instance id";
            out += "sent " + command.name + " status " + std::to_string(command.status) + ": " +
                   maskHostFacts(command.arg, state) + "\n";
        }
        return out;
    }

    TempDir temp;
    std::string state = temp.file("state");
    std::string bin = temp.file("bin");
    std::string packages = temp.file("packages");
    std::set<std::string> instanceIds;
    std::string lastAnswers; // rpm's answers of the case before
};

} // namespace

TEST_F(Halcyon, EachCaseGivesWhatItsExpectedFileSays) {
    const std::vector<GoldenCase> cases = readCases(kCases);
    ASSERT_FALSE(cases.empty()) << kCases;
    std::string out;
    for (const GoldenCase& c : cases) {
        out += run(c);
    }
    expectGolden(kExpected, out);
}

TEST(HostFacts, KernelVersionIsTheReleaseUpToItsFirstDash) {
    const std::pair<const char*, const char*> cases[] = {
        {"3.0.101-63-default", "3.0.101"},
        {"6.1.0", "6.1.0"}, // a release without '-' is taken whole
        {"-rc1", ""},
        {"5.14.0.427.13.1.el9.x86_64-1", "5.14.0.427.13.1.el9"}, // cut to the buffer
    };
    for (const auto& [release, expected] : cases) {
        char version[kOSVersionSize + 4];
        memset(version, '#', sizeof version);
        CutKernelRelease(release, version, kOSVersionSize);
        EXPECT_STREQ(version, expected);
        EXPECT_EQ(std::string(version + kOSVersionSize, 4), "####") << "nothing beyond";
    }
}
