#include "halcyon.h"

#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kDmiUuid = "4c4c4544-0035-3010-8056-b4c04f4e3232";

// The event generator and the host facts against the simulated BMC, with a stand-in
// rpm first on PATH whose answers each test writes, and a package database of its own.
class Halcyon : public ::testing::Test {
protected:
    void SetUp() override {
        state = temp.file("state");
        bin = temp.file("bin");
        setenv(tallowsim::kDirVariable, state.c_str(), 1);
        writeFile(temp.file("product_uuid"), std::string(kDmiUuid) + "\n");
        setenv(tallowsim::kDmiUuidVariable, temp.file("product_uuid").c_str(), 1);
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        packages = temp.file("packages");
        ASSERT_EQ(mkdir(packages.c_str(), 0755), 0);
        WatchPackageDatabases({packages});
        writeFile(bin + "/rpm", readFile(std::string(ORVIND_TEST_DATA) + "/bmc/rpm"));
        ASSERT_EQ(chmod((bin + "/rpm").c_str(), 0755), 0);
        const char* path = getenv("PATH");
        setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
        rpmAnswers("vexa-qrx-2.5.0-12.x86_64\n", "sles-release-15.4-150400.58.7.3.x86_64\n");
        clearTestLog();
    }

    // What "rpm -qf" prints for the provider folder and for /etc/issue; null prints nothing.
    // Recorded in the package database, as an upgrade is, so rpm is asked again.
    void rpmAnswers(const char* provider, const char* issue) {
        unlink((bin + "/provider.out").c_str());
        unlink((bin + "/issue.out").c_str());
        if (provider != nullptr) {
            writeFile(bin + "/provider.out", provider);
        }
        if (issue != nullptr) {
            writeFile(bin + "/issue.out", issue);
        }
        packagesChanged();
    }

    // The database folder gets a later time than it ever had (file times are too coarse
    // to tell two quick changes apart).
    void packagesChanged() {
        static time_t later = 1000000000;
        const timespec times[2] = {{++later, 0}, {later, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, packages.c_str(), times, 0), 0);
    }

    // How often rpm has run.
    size_t rpmRuns() {
        std::string calls = readFile(bin + "/calls");
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), '\n'));
    }

    void setFaults(const tallowsim::Faults& faults) {
        std::string error;
        ASSERT_TRUE(tallowsim::makeStateDir(state, &error)) << error;
        ASSERT_TRUE(tallowsim::writeFaults(state, faults, &error)) << error;
    }

    std::vector<tallowsim::Command> commands() {
        std::vector<tallowsim::Command> list;
        std::string error;
        EXPECT_TRUE(tallowsim::readCommands(state, list, &error)) << error;
        return list;
    }

    // Sends one event and returns the parameter text the management processor received.
    std::string send(const char* provider, const char* part, const char* firmware,
                     const char* address, physloc_t location = BMC_physloc_NULL) {
        size_t before = commands().size();
        EXPECT_EQ(mp_event_gen(provider, part, 12, 0, location, firmware, address), 0);
        std::vector<tallowsim::Command> list = commands();
        if (list.size() != before + 1) {
            ADD_FAILURE() << "no command received";
            return "";
        }
        EXPECT_EQ(list.back().name, "MPEventGen");
        return list.back().arg;
    }

    TempDir temp;
    std::string state;
    std::string bin;
    std::string packages;
};

std::string kernelVersion() {
    struct utsname name;
    uname(&name);
    std::string release = name.release;
    return release.substr(0, std::min(release.find('-'), size_t{19}));
}

std::string hostName() {
    char name[256] = {0};
    gethostname(name, sizeof name - 1);
    return name;
}

// 8-4-4-4-12 lowercase hexadecimal digits.
bool isUuid(const std::string& text) {
    static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    return std::regex_match(text, uuid);
}

std::vector<std::string> errorLines() {
    std::vector<std::string> lines;
    for (const std::string& line : testLogLines()) {
        size_t at = line.find("][error] ");
        if (at != std::string::npos) {
            lines.push_back(line.substr(at + 9));
        }
    }
    return lines;
}

} // namespace

TEST_F(Halcyon, ParameterTextHasEveryItemInOrder) {
    std::string arg = send("VEXA_WBEM", "", "1.2.3", "10.0.0.5");
    std::string expected = "--PNAM VEXA_WBEM --EID 12 --PVER 2.5.0 --OSTYP 84 --OSVER " +
                           kernelVersion() + " --EVTTYP 1 --IMD 5 --SGUID " + kDmiUuid +
                           " --HPHYL 0000000000000000 --SFWVER 1.2.3 --NWADD 10.0.0.5 --SNAM " +
                           hostName() + " --IID ";
    ASSERT_EQ(arg.size(), expected.size() + 36) << arg;
    EXPECT_EQ(arg.substr(0, expected.size()), expected);
    EXPECT_TRUE(isUuid(arg.substr(expected.size()))) << arg;
    EXPECT_NE(readTestLog().find("[info] Parameter:" + arg + "\n"), std::string::npos);
    EXPECT_TRUE(errorLines().empty());

    std::string again = send("VEXA_WBEM", "", "1.2.3", "10.0.0.5");
    EXPECT_NE(again.substr(again.size() - 36), arg.substr(arg.size() - 36))
        << "each event carries its own instance id";
}

// The part number is left out when empty or starting with "NULL"; blanks of the
// address become three underscores; the firmware version is sent even when empty;
// the event type is 2 for the SCSI provider only.
TEST_F(Halcyon, OptionalItemsFollowTheirInputs) {
    const std::string blanks(1023, ' ');
    struct Case {
        const char* provider;
        const char* part;
        const char* firmware;
        const char* address;
        std::string fragment;
        bool present;
    } cases[] = {
        {"P", "", "f", "a", "--HPART", false},
        {"P", nullptr, "f", "a", "--HPART", false},
        {"P", "NULL", "f", "a", "--HPART", false},
        {"P", "NULLS-7", "f", "a", "--HPART", false},
        {"P", "AB-NULL-1", "f", "a", "--PNAM P --HPART AB-NULL-1 --EID 12 ", true},
        // Only the four capitals count.
        {"P", "null", "f", "a", "--PNAM P --HPART null --EID 12 ", true},
        {"P", "", "f", "10.0.0.5 fe80::5", " --NWADD 10.0.0.5___fe80::5 --SNAM ", true},
        {"P", "", "f", " a  b\tc ", " --NWADD ___a______b\tc___ --SNAM ", true},
        {"P", "", "f", nullptr, "--NWADD", false},
        {"P", "", "f", nullptr, " --SFWVER f --SNAM ", true},
        // The largest address still fits whole.
        {"P", "", "f", blanks.c_str(), " --NWADD " + std::string(3069, '_') + " --SNAM ", true},
        {"P", "", "", "a", " --SFWVER  --NWADD a", true},
        {"P", "", nullptr, "a", "--SFWVER", false},
        {"P", "", nullptr, "a", " --HPHYL 0000000000000000 --NWADD a", true},
        {"VEXA_SCSI", "", "f", "a", " --EVTTYP 2 --IMD 5 ", true},
        {"VEXA_RAID", "", "f", "a", " --EVTTYP 1 --IMD 5 ", true},
        {"VEXA_SCSI_2", "", "f", "a", " --EVTTYP 1 ", true},
    };
    for (const Case& c : cases) {
        std::string arg = send(c.provider, c.part, c.firmware, c.address);
        EXPECT_EQ(arg.find(c.fragment) != std::string::npos, c.present)
            << c.fragment.substr(0, 40) << " in " << arg.substr(0, 120);
    }
}

TEST_F(Halcyon, LocationIsSixteenHexDigitsCabFirst) {
    physloc_t location = BMC_physloc_NULL;
    location.detail = 1;
    location.source = 2;
    location.subslot = 3;
    location.slot = 10;
    location.cell = 1;
    location.bay = 2;
    EXPECT_NE(send("P", "", "f", "a", location).find(" --HPHYL 00020001000a0321 "),
              std::string::npos);

    physloc_t parsed;
    ASSERT_EQ(BMC_str_to_physloc("ff0102030405a6b7", &parsed), 0);
    EXPECT_NE(send("P", "", "f", "a", parsed).find(" --HPHYL ff0102030405a6b7 "), std::string::npos)
        << "what the library parses renders back the same";
}

TEST_F(Halcyon, SystemUuidIsTheOneTheLibraryGives) {
    writeFile(temp.file("product_uuid"), "");
    std::string arg = send("P", "", "f", "a");
    std::string uuid = tallowsim::systemUuid(state);
    ASSERT_EQ(uuid.size(), 36u);
    EXPECT_NE(arg.find(" --IMD 5 --SGUID " + uuid + " --HPHYL "), std::string::npos) << arg;
}

TEST_F(Halcyon, MissingHostFactsOnlyDropTheirItems) {
    rpmAnswers(nullptr, nullptr);
    std::string arg = send("P", "", "f", "a");
    EXPECT_EQ(arg.find("--PVER"), std::string::npos);
    EXPECT_NE(arg.find(" --EID 12 --OSTYP 36 --OSVER "), std::string::npos) << arg;
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Can't analyze provider version"});
}

// Each failure gives its one error line and its result: the interface's own codes
// and a missing provider or library as they are, a status byte of the management
// processor as 1. Only the commands that got a status byte reached it.
TEST_F(Halcyon, EachFailureGivesItsLineAndResult) {
    const std::string internal =
        "Internal error - internal error detected - memory could not be allocated, etc.";
    struct Case {
        tallowsim::Faults faults;
        const char* provider;
        int result;
        std::string line;
    };
    auto cli = [](int code) {
        tallowsim::Faults f;
        f.cli = code;
        return f;
    };
    auto status = [](int code) {
        tallowsim::Faults f;
        f.cliStatus = code;
        return f;
    };
    tallowsim::Faults closed;
    closed.open = BMC_E_STATE;
    const Case cases[] = {
        {cli(0xAA), "P", 0xAA, "The pointer to the stdout or stderr is NULL."},
        {cli(0xDD), "P", 0xDD, "Command time out."},
        {cli(0xEE), "P", 0xEE, "The size of stdout or stderr is not enought."},
        {cli(0x42), "P", 0x42, "Unknown interface error(42)."},
        {cli(0xCC), "P", 0xCC, "Unknown interface error(cc)."},
        {{}, "", 1, "provider_name is NULL or has no data."},
        {{}, nullptr, 1, "provider_name is NULL or has no data."},
        {closed, "P", 1, "BMC_open() failed: BMC state not accessible"},
        {status(1), "P", 1, "Provided command input data is not complete."},
        {status(2), "P", 1, internal},
        {status(3), "P", 1,
         "Error in index - given handle number does not match any currently outstanding "
         "requests."},
        {status(4), "P", 1,
         "Cli entries full - maximum number of outstanding ipmi cli entries has been reached."},
        {status(5), "P", 1,
         "Invalid command - provided command is not supported via the ipmi cli interface."},
        {status(6), "P", 1, internal},
        {status(7), "P", 1,
         "Response does not fit into cli response message - output data > excess data lost."},
        {status(8), "P", 1,
         "Length exceeded - argument or environment variable length exceeded limit."},
        {status(9), "P", 1, "Unknown response error."},
        {status(255), "P", 1, "Unknown response error."},
    };
    for (const Case& c : cases) {
        setFaults(c.faults);
        clearTestLog();
        EXPECT_EQ(mp_event_gen(c.provider, "", 1, 0, BMC_physloc_NULL, "f", "a"), c.result);
        EXPECT_EQ(errorLines(), std::vector<std::string>{c.line});
        EXPECT_EQ(readTestLog().find("[info] Parameter:--PNAM P ") != std::string::npos,
                  c.provider != nullptr && *c.provider != '\0' && c.faults.open == 0)
            << c.line;
    }
    std::vector<tallowsim::Command> list = commands();
    ASSERT_EQ(list.size(), 10u);
    EXPECT_EQ(list.back().status, 255);
}

TEST_F(Halcyon, ProviderVersionIsTheThirdPieceOfFourOrMore) {
    const std::string longPiece = "vexa-" + std::string(150, 'q') + "-2.5.0-1\n";
    struct Case {
        const char* output;
        const char* version; // null: refused
    } cases[] = {
        {"vexa-qrx-2.5.0-12.x86_64\n", "2.5.0"},
        {"vexa-qrx-agent-2.5.0-12.x86_64\n", "agent"}, // only the third piece is taken
        {"vexa-qrx-10.20.30.40.50-1\n", "10.20.30."},  // cut to the caller's 10 bytes
        {"file /opt/vexa/vexa-qrx is not owned by any package\n", nullptr},
        {nullptr, nullptr},
        {"vexa-2.5.0\n", nullptr},
        {"vexa-qrx-2.5.0-\n", nullptr},
        {longPiece.c_str(), nullptr}, // a name piece too long for its buffer
    };
    for (const Case& c : cases) {
        rpmAnswers(c.output, nullptr);
        clearTestLog();
        char version[kProviderVersionSize + 6];
        memset(version, '#', sizeof version);
        std::string shown = c.output != nullptr ? c.output : "no output";
        if (c.version != nullptr) {
            ASSERT_EQ(GetProviderVersion(version), 0) << shown;
            EXPECT_STREQ(version, c.version);
            EXPECT_EQ(std::string(version + kProviderVersionSize, 6), "######") << "nothing beyond";
            EXPECT_TRUE(errorLines().empty());
        } else {
            EXPECT_EQ(GetProviderVersion(version), 1) << shown;
            EXPECT_EQ(errorLines(), std::vector<std::string>{"Can't analyze provider version"});
        }
    }
}

TEST_F(Halcyon, OsTypeFromTheIssuePackage) {
    struct Case {
        const char* output;
        int type;
    } cases[] = {
        {"sles-release-15.4-150400.58.7.3.x86_64\n", 84},
        {"redhat-release-server-7.9-6.el7.x86_64\n", 79},
        {"redhat-release-with-sles-inside-1-1\n", 84},
        {"SLES-release-12-1\nREDHAT-release-7-1\n", 36},
        {"file /etc/issue is not owned by any package\n", 36},
        {nullptr, 36},
    };
    for (const Case& c : cases) {
        rpmAnswers(nullptr, c.output);
        int type = 36;
        EXPECT_EQ(GetOSType(&type), 0);
        EXPECT_EQ(type, c.type) << (c.output ? c.output : "no output");
    }
    EXPECT_TRUE(errorLines().empty());
}

// rpm runs once for each fact, not for every event, and again once the package
// database changes in any way: a file of it rewritten in place, added or removed.
TEST_F(Halcyon, HostFactsAreAskedOnceAndAgainWhenThePackagesChange) {
    const std::string first = send("P", "", "f", "a");
    const std::string second = send("P", "", "f", "a");
    EXPECT_EQ(rpmRuns(), 2u) << "one run for each of the two facts";
    EXPECT_EQ(first.substr(0, first.size() - 36), second.substr(0, second.size() - 36))
        << "the same text but for the instance id";

    const std::string database = packages + "/Packages";
    writeFile(database, "1");
    struct Change {
        const char* what;
        std::function<void()> make;
    } changes[] = {
        {"rewritten in place",
         [&] {
             writeFile(database, "2");
             const timespec times[2] = {{2000000000, 0}, {2000000000, 0}};
             utimensat(AT_FDCWD, database.c_str(), times, 0);
         }},
        {"added", [&] { writeFile(packages + "/Index.db", "x"); }},
        {"removed", [&] { unlink(database.c_str()); }},
    };
    const char* const versions[] = {"2.6.0", "2.7.0", "2.8.0"};
    char version[kProviderVersionSize];
    int type = 36;
    ASSERT_EQ(GetProviderVersion(version), 0);
    ASSERT_EQ(GetOSType(&type), 0);
    for (size_t i = 0; i < 3; ++i) {
        // A new answer that the database does not show yet is not asked for.
        const std::string answer = std::string("vexa-qrx-") + versions[i] + "-1.x86_64\n";
        writeFile(bin + "/provider.out", answer);
        size_t runs = rpmRuns();
        ASSERT_EQ(GetProviderVersion(version), 0);
        ASSERT_EQ(GetOSType(&type), 0);
        EXPECT_EQ(rpmRuns(), runs) << changes[i].what;

        changes[i].make();
        ASSERT_EQ(GetProviderVersion(version), 0);
        EXPECT_STREQ(version, versions[i]) << changes[i].what;
        ASSERT_EQ(GetOSType(&type), 0);
        EXPECT_EQ(type, 84);
        EXPECT_EQ(rpmRuns(), runs + 2) << changes[i].what;
    }
}

TEST(HostFacts, KernelVersionIsTheReleaseUpToItsFirstDash) {
    char version[kOSVersionSize + 4];
    CutKernelRelease("3.0.101-63-default", version, kOSVersionSize);
    EXPECT_STREQ(version, "3.0.101");
    CutKernelRelease("6.1.0", version, kOSVersionSize);
    EXPECT_STREQ(version, "6.1.0") << "a release without '-' is taken whole";
    CutKernelRelease("-rc1", version, kOSVersionSize);
    EXPECT_STREQ(version, "");
    memset(version, '#', sizeof version);
    CutKernelRelease("5.14.0.427.13.1.el9.x86_64-1", version, kOSVersionSize);
    EXPECT_STREQ(version, "5.14.0.427.13.1.el9");
    EXPECT_EQ(std::string(version + kOSVersionSize, 4), "####") << "nothing beyond";

    ASSERT_EQ(GetOSVersion(version), 0);
    EXPECT_EQ(version, kernelVersion());
}
