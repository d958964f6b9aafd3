#include "fpl.h"
#include "halcyon.h"
#include "tallow.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace {

const std::string kData = std::string(ORVIND_TEST_DATA) + "/bmc/";

struct ToolRun {
    int status;
    std::string output; // stdout and stderr
};

// The orvind-bmc console of a simulated BMC of the test's own.
class TallowTool : public ::testing::Test {
protected:
    void SetUp() override {
        state = temp.file("state");
        setenv(tallowsim::kDirVariable, state.c_str(), 1);
        setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
        unsetenv(tallowsim::kDictionaryVariable);
    }

    ToolRun tool(const std::string& arguments) {
        std::string command = std::string(ORVIND_TOOLS_DIR) + "/orvind-bmc " + arguments + " 2>&1";
        ToolRun run{-1, ""};
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            ADD_FAILURE() << "cannot run " << command;
            return run;
        }
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            run.output.append(buffer, n);
        }
        int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    TempDir temp;
    std::string state;
};

} // namespace

TEST_F(TallowTool, ChecksAndInstallsADictionaryReportingMalformedLines) {
    std::string file = kData + "malformed-dictionary.txt";
    ToolRun check = tool("dictionary check " + file);
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.output.find(file + ":3: expected: provider"), std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find(file + ":8: provider Good_Provider event 1 already defined on "
                                       "line 2; line skipped"),
              std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("4 entries, 9 problems"), std::string::npos);

    ToolRun install = tool("dictionary install " + kData + "fpl-dictionary.txt");
    EXPECT_EQ(install.status, 0) << install.output;
    EXPECT_EQ(tallowsim::dictionaryPath(state), state + "/event-dictionary.txt");
    unsigned int alert = 0;
    EXPECT_EQ(write_fpl("Test_Provider", 2, 1600000000, &alert), 0) << "the daemon uses it";
    EXPECT_EQ(alert, 3u);

    ToolRun show = tool("dictionary");
    EXPECT_EQ(show.status, 0);
    EXPECT_NE(show.output.find("Test_Provider"), std::string::npos) << show.output;

    writeFile(temp.file("empty.txt"), "# nothing\n");
    EXPECT_EQ(tool("dictionary install " + temp.file("empty.txt")).status, 1);
    EXPECT_EQ(tool("dictionary install " + temp.file("missing.txt")).status, 1);
    EXPECT_EQ(tool("dictionary remove").status, 0);
    EXPECT_EQ(tallowsim::dictionaryPath(state), tallowsim::sampleDictionaryPath());
}

TEST_F(TallowTool, SetsAndClearsFaultsThatTheLibraryObeys) {
    EXPECT_EQ(tool("fault set open 9").status, 0);
    EXPECT_EQ(tool("fault set cli 0x42").status, 0);
    EXPECT_EQ(tool("fault set cli-status 6").status, 0);
    EXPECT_EQ(tool("fault").output, "open 9\nappend 0\ncli 66\ncli-status 6\n");
    BMC_t bmc;
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 9);

    EXPECT_EQ(tool("fault clear open").status, 0);
    EXPECT_EQ(tool("fault").output, "open 0\nappend 0\ncli 66\ncli-status 6\n");
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 0);
    BMC_close(&bmc);

    EXPECT_EQ(tool("fault set cli 256").status, 1);
    EXPECT_EQ(tool("fault set bogus 1").status, 1);
    EXPECT_EQ(tool("fault set open x").status, 1);
    EXPECT_EQ(tool("fault clear").status, 0);
    EXPECT_EQ(tool("fault").output, "open 0\nappend 0\ncli 0\ncli-status 0\n");
}

TEST_F(TallowTool, ShowsTheFplDecodedAndCounted) {
    setenv(tallowsim::kDictionaryVariable, (kData + "fpl-dictionary.txt").c_str(), 1);
    EXPECT_EQ(tool("fpl --count").output, "0\n");
    unsigned int alert = 0;
    ASSERT_EQ(write_fpl("Test_Provider", 1, 1600000000, &alert), 0);
    ASSERT_EQ(write_fpl("Test_Provider", 2, 1600000001, &alert), 0);

    EXPECT_EQ(tool("fpl --count").output, "2\n");
    ToolRun shown = tool("fpl");
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.output.find("1 type=0xe0 event=0x12345 alert=1 datatype=25 entity=0xa5 "
                                "time=1600000000 ("),
              std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find(") b16=1 summary=\"Alert level wider than the record's 3-bit "
                                "field\"\n2 type=0xe0 event=0xabcd alert=3"),
              std::string::npos)
        << shown.output;
    ToolRun raw = tool("fpl --raw");
    EXPECT_EQ(raw.output.size(), 2 * (92 + 1));
    EXPECT_EQ(raw.output.substr(48, 12), "e0a545230139");

    EXPECT_EQ(tool("fpl clear").status, 0);
    EXPECT_EQ(tool("fpl --count").output, "0\n");
}

TEST_F(TallowTool, ShowsTheCommandsWithTheirItems) {
    EXPECT_EQ(tool("commands --count").output, "0\n");
    ASSERT_EQ(mp_event_gen("VEXA_RAID", "PN-7", 4, 0, BMC_physloc_NULL, "fw 1", "a b"), 0);
    EXPECT_EQ(tool("commands --count").output, "1\n");

    ToolRun shown = tool("commands");
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.output.find(" status=0 name=MPEventGen\n    --PNAM VEXA_RAID\n"
                                "    --HPART PN-7\n    --EID 4\n"),
              std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find("\n    --SFWVER fw 1\n    --NWADD a___b\n"), std::string::npos)
        << shown.output;
    ToolRun raw = tool("commands --raw");
    EXPECT_NE(raw.output.find("\t0\tMPEventGen\t--PNAM VEXA_RAID --HPART PN-7 --EID 4 "),
              std::string::npos)
        << raw.output;

    EXPECT_EQ(tool("reset").status, 0);
    EXPECT_EQ(tool("commands --count").output, "0\n");
}

TEST_F(TallowTool, ReportsStateAndRefusesBadUsage) {
    ToolRun status = tool("status");
    EXPECT_EQ(status.status, 0);
    // The folder is not made yet, and status only looks.
    EXPECT_NE(status.output.find("folder: " + state + " (missing"), std::string::npos)
        << status.output;
    EXPECT_FALSE(access(state.c_str(), F_OK) == 0);
    EXPECT_NE(status.output.find("fpl: 0\ncommands: 0\n"), std::string::npos) << status.output;
    ToolRun uuid = tool("uuid");
    EXPECT_EQ(uuid.output, tallowsim::systemUuid(state) + "\n");
    EXPECT_EQ(tool("--dir " + temp.file("other") + " fpl --count").output, "0\n");

    EXPECT_EQ(tool("").status, 2);
    EXPECT_EQ(tool("frobnicate").status, 2);
    EXPECT_EQ(tool("fpl --sideways").status, 2);
}
