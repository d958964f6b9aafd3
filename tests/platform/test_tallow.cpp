// The BMC library's simulated backend and its console, orvind-bmc: each test works on a
// simulated BMC of its own.
#include "fpl.h"
#include "halcyon.h"
#include "tallow.h"
#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kData = std::string(ORVIND_TEST_DATA) + "/bmc/";

SEL_entry_t numbered(uint8_t writer, uint32_t sequence) {
    SEL_entry_t record;
    memset(&record, 0, sizeof record);
    record.RecType = 0xE0;
    record.e0.EventID = sequence;
    record.e0.b13 = writer;
    record.e0.b16 = 1;
    return record;
}

// Forks a process that opens the BMC, appends count records marked with the writer and
// leaves without closing anything, as a process killed right after.
pid_t appendInChild(uint8_t writer, uint32_t count) {
    pid_t child = fork();
    if (child == 0) {
        BMC_t bmc;
        if (BMC_open(&bmc, 0, BMC_OPEN_ACCESS) != 0) {
            _exit(10);
        }
        for (uint32_t i = 0; i < count; ++i) {
            SEL_entry_t record = numbered(writer, i);
            if (BMC_FPL_append_entry(&bmc, &record) != 0) {
                _exit(11);
            }
        }
        _exit(0);
    }
    return child;
}

int waitFor(pid_t child) {
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

cli_request request(const char* name, const std::string& arg) {
    cli_request req;
    memset(&req, 0, sizeof req);
    snprintf(req.name, sizeof req.name, "%s", name);
    snprintf(req.arg, sizeof req.arg, "%s", arg.c_str());
    return req;
}

class Tallow : public ::testing::Test {
protected:
    void SetUp() override {
        setenv(tallowsim::kDirVariable, state.c_str(), 1);
        setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
        setenv(tallowsim::kDictionaryVariable, (kData + "fpl-dictionary.txt").c_str(), 1);
        ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS | BMC_OPEN_EVENTS), 0);
    }
    void TearDown() override { BMC_close(&bmc); }

    void setFaults(const tallowsim::Faults& faults) {
        ASSERT_TRUE(tallowsim::writeFaults(state, faults, &error)) << error;
    }
    std::vector<SEL_entry_t> fpl() {
        tallowsim::Fpl contents;
        EXPECT_TRUE(tallowsim::readFpl(state, contents, &error)) << error;
        EXPECT_EQ(contents.trailingBytes, 0u);
        return contents.records;
    }
    std::vector<tallowsim::Command> commands() {
        std::vector<tallowsim::Command> list;
        EXPECT_TRUE(tallowsim::readCommands(state, list, &error)) << error;
        return list;
    }
    // Sends a command; returns the interface code, the status byte in *status.
    int cli(cli_request req, uint8_t* status, str_buf* err = nullptr) {
        out = {sizeof outMemory, outMemory};
        errBuf = {sizeof errMemory, errMemory};
        return ZU_CLI_Exec(&bmc, &req, status, &out, err != nullptr ? err : &errBuf);
    }
    // Runs orvind-bmc with the arguments; its standard output and error together.
    std::string tool(const std::string& arguments, int* status = nullptr) {
        std::string command = ORVIND_TOOLS_DIR "/orvind-bmc " + arguments + " 2>&1";
        std::string output;
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[4096];
        for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            output.append(buffer, n);
        }
        int rc = pipe != nullptr ? pclose(pipe) : -1;
        if (status != nullptr) {
            *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        }
        return output;
    }

    TempDir temp;
    std::string state = temp.file("state");
    std::string error;
    BMC_t bmc;
    char outMemory[4096], errMemory[4096];
    str_buf out{}, errBuf{};
};

} // namespace

TEST(TallowPhysloc, SixteenHexDigitsOrTheNullLocation) {
    physloc_t loc;
    ASSERT_EQ(BMC_str_to_physloc("00020001000a0321", &loc), 0);
    EXPECT_EQ(std::vector<int>({loc.cab, loc.bay, loc.ioc, loc.cell, loc.ext, loc.slot, loc.subslot,
                                loc.source, loc.detail}),
              std::vector<int>({0, 2, 0, 1, 0, 10, 3, 2, 1}));
    uint64_t value = 0;
    memcpy(&value, &loc, sizeof loc);
    EXPECT_EQ(value, 0x00020001000a0321u) << "the bytes read as a little-endian number";
    ASSERT_EQ(BMC_str_to_physloc("FFEEDDCCBBAA9987", &loc), 0) << "capitals are accepted";
    EXPECT_EQ(std::vector<int>({loc.cab, loc.subslot, loc.source, loc.detail}),
              std::vector<int>({0xFF, 0x99, 8, 7}));

    const uint8_t zero[8] = {0};
    EXPECT_EQ(memcmp(&BMC_physloc_NULL, zero, sizeof zero), 0);
    for (const char* text : {"", "NULL", "00020001000a032", "00020001000a03210", "0x020001000a0321",
                             " 0020001000a0321", "00020001000a032 ", "00020001000g0321",
                             static_cast<const char*>(nullptr)}) {
        memset(&loc, 0x5A, sizeof loc);
        EXPECT_EQ(BMC_str_to_physloc(text, &loc), BMC_E_INVAL) << (text ? text : "null");
        EXPECT_EQ(memcmp(&loc, &BMC_physloc_NULL, sizeof loc), 0) << (text ? text : "null");
    }
    EXPECT_EQ(BMC_str_to_physloc("00020001000a0321", nullptr), BMC_E_INVAL);
}

TEST_F(Tallow, OpenCloseAndInjectedFaults) {
    struct stat st;
    EXPECT_EQ(stat(state.c_str(), &st), 0) << "open makes the state folder";
    EXPECT_EQ(BMC_close(&bmc), 0);
    EXPECT_EQ(BMC_close(&bmc), BMC_E_NOTOPEN) << "a second close is refused, not a crash";
    EXPECT_EQ(BMC_open(&bmc, 1, BMC_OPEN_ACCESS), BMC_E_NODEV);
    EXPECT_EQ(BMC_close(&bmc), BMC_E_NOTOPEN) << "a failed open needs no close";
    tallowsim::Faults faults;
    faults.open = 6;
    setFaults(faults);
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 6);
    EXPECT_EQ(bmc.is_open, 0);
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 6) << "a fault stays set";
    setFaults(tallowsim::Faults());
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 0);
    BMC_close(&bmc);
    writeFile(temp.file("file"), "not a folder");
    setenv(tallowsim::kDirVariable, temp.file("file").c_str(), 1);
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), BMC_E_STATE);

    EXPECT_STREQ(BMC_strerror(42), "Unknown BMC error 42");
}

// The malformed lines of a file, as the console reports them, are in its transcript.
TEST(TallowDictionary, GarbageIsReportedAndSkippedNeverACrash) {
    tallowsim::Dictionary dictionary;
    std::string error;
    EXPECT_FALSE(tallowsim::loadDictionary(kData + "missing.txt", dictionary, &error));
    EXPECT_NE(error.find("missing.txt"), std::string::npos) << error;

    std::string text = "\n\n#\n \t \nP\nP 1\nP 1 2 3\n\r\nP 99999999999999999999999 1 1 1 x\n";
    text += std::string(5000, 'x') + " 1 1 1 1\n";
    text += std::string("P\0 1 1 1 1 nul\n", 15);
    text += "Last 1 0xffffffffffffffff 0 0";
    dictionary = tallowsim::parseDictionary(text);
    ASSERT_EQ(dictionary.entries.size(), 1u);
    EXPECT_EQ(dictionary.entries[0].provider, "Last");
    EXPECT_EQ(dictionary.entries[0].ipmiEventId, UINT64_MAX);
    EXPECT_EQ(dictionary.problems.size(), 6u);
}

TEST(TallowDictionary, ShippedSampleIsCleanAndCoversTheForwardingCases) {
    tallowsim::Dictionary dictionary;
    std::string error;
    ASSERT_TRUE(tallowsim::loadDictionary(std::string(ORVIND_SOURCE_DIR) +
                                              "/platform/tallow/data/event-dictionary.txt",
                                          dictionary, &error))
        << error;
    EXPECT_TRUE(dictionary.problems.empty());
    std::set<std::string> low; // "provider event" of OEM entries at alert level 1 or 2
    std::set<int> seen;
    for (const auto& entry : dictionary.entries) {
        if (entry.oemRecord && entry.alertLevel <= 2) {
            low.insert(entry.provider + " " + std::to_string(entry.eventNumber));
        }
        seen.insert(entry.alertLevel);
    }
    // Events selected for the management processor by provider and number alone have low
    // levels, so that rule is what sends them.
    for (const char* key : {"VEXA_WBEM 1", "VEXA_WBEM 2", "VEXA_WBEM 3", "VEXA_WBEM 4",
                            "QRX_FCHBAIndication 1", "QRX_FCHBAIndication 2"}) {
        EXPECT_EQ(low.count(key), 1u) << key;
    }
    EXPECT_EQ(seen, (std::set<int>{1, 2, 3, 4, 5, 6}));
}

TEST_F(Tallow, DictionaryInUseAndItsViews) {
    EXPECT_EQ(BMC_event_dictionary_get(&bmc, 5), nullptr);
    Event_dictionary_t* wbem = BMC_event_dictionary_get(&bmc, 4);
    Event_dictionary_t* oem = BMC_event_dictionary_get(&bmc, 0xE0);
    ASSERT_NE(wbem, nullptr);
    ASSERT_NE(oem, nullptr);
    EXPECT_EQ(wbem->RecType, 4);
    EXPECT_EQ(oem->RecType, 0xE0);
    EXPECT_EQ(wbem->nEntries, 4);
    EXPECT_EQ(oem->nEntries, 3) << "the entry without an OEM record is left out";
    // Found as the daemon's writer and the console look up (their tests show the hits):
    // by provider and event, names told apart by case, and by an OEM record.
    EXPECT_EQ(Get_Event_Dictionary_Entry(&bmc, wbem, "test_provider", 2), nullptr);
    EXPECT_EQ(Get_Event_Dictionary_Entry(&bmc, oem, "Test_Provider", 2), nullptr);
    SEL_entry_t key = numbered(0, 0x12345);
    key.RecType = 4;
    EXPECT_EQ(BMC_event_dictionary_entry_get(&bmc, oem, &key), nullptr);
    BMC_close(&bmc);
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 0);
    EXPECT_EQ(BMC_event_dictionary_get(&bmc, 4), nullptr) << "not opened for events";
    BMC_close(&bmc);

    // The named file, else the state folder's, else the sample; the console checks and
    // installs one.
    EXPECT_EQ(tallowsim::dictionaryPath(state), kData + "fpl-dictionary.txt");
    unsetenv(tallowsim::kDictionaryVariable);
    EXPECT_EQ(tallowsim::dictionaryPath(state), tallowsim::sampleDictionaryPath());
    ASSERT_TRUE(tallowsim::installDictionary(state, kData + "malformed-dictionary.txt", &error));
    EXPECT_EQ(tallowsim::dictionaryPath(state), state + "/event-dictionary.txt");
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS | BMC_OPEN_EVENTS), 0);
    wbem = BMC_event_dictionary_get(&bmc, 4);
    ASSERT_NE(wbem, nullptr);
    EXPECT_EQ(wbem->nEntries, 4) << "the installed file's well-formed lines";
    EXPECT_STREQ(wbem->Path, (state + "/event-dictionary.txt").c_str());
    setenv(tallowsim::kDictionaryVariable, temp.file("none.txt").c_str(), 1);
    BMC_close(&bmc);
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS | BMC_OPEN_EVENTS), 0);
    EXPECT_EQ(BMC_event_dictionary_get(&bmc, 4), nullptr) << "no readable dictionary";
}

TEST_F(Tallow, AppendKeepsNoPointerAndNothingOfATornRecord) {
    SEL_entry_t record = numbered(1, 5);
    record.extra = &bmc;
    ASSERT_EQ(BMC_FPL_append_entry(&bmc, &record), 0);
    EXPECT_EQ(BMC_FPL_append_entry(&bmc, nullptr), BMC_E_INVAL);
    tallowsim::Faults faults;
    faults.append = 7;
    setFaults(faults);
    EXPECT_EQ(BMC_FPL_append_entry(&bmc, &record), 7);
    BMC_close(&bmc);
    EXPECT_EQ(BMC_FPL_append_entry(&bmc, &record), BMC_E_NOTOPEN);
    std::vector<SEL_entry_t> records = fpl();
    ASSERT_EQ(records.size(), 1u) << "nothing appended while the fault is set";
    EXPECT_EQ(records[0].extra, nullptr);

    // A torn last record is ignored, and cut before the next append.
    std::string bytes = readFile(state + "/fpl");
    writeFile(state + "/fpl", bytes + bytes.substr(0, 20));
    tallowsim::Fpl contents;
    ASSERT_TRUE(tallowsim::readFpl(state, contents, &error));
    EXPECT_EQ(contents.records.size(), 1u);
    EXPECT_EQ(contents.trailingBytes, 20u);
    setFaults(tallowsim::Faults());
    ASSERT_EQ(waitFor(appendInChild(2, 1)), 0);
    records = fpl();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].e0.b13, 2);
}

TEST_F(Tallow, CliRecordsEachCommandWithItsFullTextAndStatus) {
    std::string arg = "--PNAM Fan_Monitor_Provider --EID 12 --SFWVER a\tb\\n --NWADD x\ny";
    uint8_t status = 0xFF;
    ASSERT_EQ(cli(request("MPEventGen", arg), &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(out.buffer, "MPEventGen: accepted\n");
    EXPECT_STREQ(errBuf.buffer, "");
    std::string full(sizeof(cli_request::arg) - 1, 'x');
    memcpy(full.data(), "--PNAM ", 7);
    ASSERT_EQ(cli(request("MPEventGen", full), &status), 0);
    EXPECT_EQ(status, 0) << "7999 characters fit";

    cli_request unterminated = request("MPEventGen", "");
    memset(unterminated.arg, 'x', sizeof unterminated.arg);
    const std::vector<std::pair<cli_request, int>> bad = {
        {request("", "--PNAM x"), ZU_CLI_INCOMPLETE},
        {request("MPReboot", "--PNAM x"), ZU_CLI_INVALID_COMMAND},
        {request("MPEventGen", ""), ZU_CLI_INCOMPLETE},
        {request("MPEventGen", "--EID 1"), ZU_CLI_INCOMPLETE},
        {request("MPEventGen", "--PNAM  --EID 1"), ZU_CLI_INCOMPLETE},
        {unterminated, ZU_CLI_TOO_LONG}};
    for (const auto& c : bad) {
        ASSERT_EQ(cli(c.first, &status), 0);
        EXPECT_EQ(status, c.second) << c.first.name;
        EXPECT_STREQ(out.buffer, "");
        EXPECT_STRNE(errBuf.buffer, "");
    }
    std::vector<tallowsim::Command> list = commands();
    ASSERT_EQ(list.size(), 2 + bad.size()) << "received, so recorded, with the status answered";
    EXPECT_EQ(list[0].name, "MPEventGen");
    EXPECT_EQ(list[0].arg, arg);
    EXPECT_EQ(list[1].arg, full);
    EXPECT_EQ(list[3].name, "MPReboot");
    EXPECT_EQ(list[3].status, ZU_CLI_INVALID_COMMAND);
    EXPECT_EQ(list[7].arg.size(), sizeof unterminated.arg) << "only what the field holds";
}

TEST_F(Tallow, CliInterfaceErrorsReachNoManagementProcessor) {
    cli_request req = request("MPEventGen", "--PNAM x");
    uint8_t status = 0;
    EXPECT_EQ(ZU_CLI_Exec(&bmc, nullptr, &status, &out, &errBuf), ZU_CLI_BAD_REQUEST);
    EXPECT_EQ(ZU_CLI_Exec(&bmc, &req, nullptr, &out, &errBuf), ZU_CLI_BAD_REQUEST);
    EXPECT_EQ(ZU_CLI_Exec(&bmc, &req, &status, nullptr, &errBuf), ZU_CLI_NULL_BUFFER);
    str_buf empty = {4096, nullptr};
    EXPECT_EQ(cli(req, &status, &empty), ZU_CLI_NULL_BUFFER);
    str_buf small = {ZU_CLI_MIN_BUFFER - 1, errMemory};
    EXPECT_EQ(cli(req, &status, &small), ZU_CLI_BUFFER_TOO_SMALL);
    tallowsim::Faults faults;
    faults.cli = 0xDD;
    faults.cliStatus = 4;
    setFaults(faults);
    EXPECT_EQ(cli(req, &status), 0xDD);
    EXPECT_TRUE(commands().empty());
    faults.cli = 0;
    setFaults(faults);
    ASSERT_EQ(cli(req, &status), 0);
    EXPECT_EQ(status, 4);
    BMC_close(&bmc);
    EXPECT_EQ(cli(req, &status), ZU_CLI_BAD_REQUEST) << "not open";
    ASSERT_EQ(commands().size(), 1u);
    EXPECT_EQ(commands()[0].status, 4);
}

// The console over what the daemon's writers leave: each "$ ARGS" of the transcript runs
// orvind-bmc, whose output must match the lines that follow ("*" matches anything; a line
// "? N" gives the exit status, 0 when none). @DATA@ and @STATE@ stand for the folders.
TEST_F(Tallow, ConsoleAnswersAsItsTranscriptSays) {
    BMC_close(&bmc);
    setenv("TZ", "UTC", 1);
    unsetenv(tallowsim::kDictionaryVariable);
    ASSERT_TRUE(tallowsim::installDictionary(state, kData + "fpl-dictionary.txt", &error));
    writeFile(state + "/empty.txt", "# nothing\n");
    unsigned int alert = 0;
    ASSERT_EQ(write_fpl("Test_Provider", 1, 1600000000, &alert), 0);
    ASSERT_EQ(write_fpl("Test_Provider", 2, 1600000001, &alert), 0);
    EXPECT_EQ(alert, 3u);
    ASSERT_EQ(mp_event_gen("VEXA_RAID", "PN-7", 4, 0, BMC_physloc_NULL, "fw 1", "a b"), 0);
    auto expand = [&](std::string text) {
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"@DATA@", kData}, {"@STATE@", state}}) {
            for (size_t at; (at = text.find(name)) != std::string::npos;) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    };
    std::string transcript = readFile(kData + "console.transcript") + "$ \n";
    std::string args, expected;
    int expectedStatus = 0;
    for (size_t at = 0, end; at < transcript.size(); at = end + 1) {
        end = transcript.find('\n', at);
        std::string line = transcript.substr(at, end - at);
        if (line.rfind("$ ", 0) == 0) {
            if (!args.empty()) {
                int status = -1;
                std::string output = tool(expand(args), &status);
                EXPECT_EQ(fnmatch(expand(expected).c_str(), output.c_str(), 0), 0)
                    << "orvind-bmc " << args << ":\n"
                    << output;
                EXPECT_EQ(status, expectedStatus) << "orvind-bmc " << args;
            }
            args = line.substr(2);
            expected.clear();
            expectedStatus = 0;
        } else if (line.rfind("? ", 0) == 0) {
            expectedStatus = std::stoi(line.substr(2));
        } else if (!args.empty()) {
            expected += line + "\n";
        }
    }
    std::string uuid = tool("uuid");
    EXPECT_EQ(uuid.size(), 37u) << uuid;
    EXPECT_EQ(tool("uuid"), uuid) << "the UUID is made once and kept";
    // What it set is what the library obeys.
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 9);
    EXPECT_EQ(tallowsim::dictionaryPath(state), tallowsim::sampleDictionaryPath());
}
