// The BMC library's simulated backend and its console, orvind-bmc: each test works on a
// simulated BMC of its own. The faults it injects are pinned by the FPL writer's and
// halcyon's golden cases.
#include "bmcsession.h"
#include "fpl.h"
#include "halcyon.h"
#include "tallow.h"
#include "tallow_sim.h"
#include "testlog.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kData = std::string(ORVIND_TEST_DATA) + "/bmc/";

SEL_entry_t numbered(uint8_t writer, uint32_t sequence) {
    SEL_entry_t record{};
    record.RecType = 0xE0;
    record.e0.EventID = sequence;
    record.e0.b13 = writer;
    record.e0.b16 = 1;
    return record;
}

cli_request request(const char* name, const std::string& arg) {
    cli_request req{};
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

    // Sends a command; returns the interface code, the status byte in *status.
    int cli(cli_request req, uint8_t* status, str_buf* err = nullptr) {
        out = {sizeof outMemory, outMemory};
        errBuf = {sizeof errMemory, errMemory};
        return ZU_CLI_Exec(&bmc, &req, status, &out, err != nullptr ? err : &errBuf);
    }

    TempDir temp;
    std::string state = temp.file("state");
    std::string error;
    BMC_t bmc;
    char outMemory[4096], errMemory[4096];
    str_buf out{}, errBuf{};
};

} // namespace

TEST_F(Tallow, OpenCloseAndTheDictionaryInUse) {
    EXPECT_EQ(BMC_event_dictionary_get(&bmc, 5), nullptr);
    Event_dictionary_t* wbem = BMC_event_dictionary_get(&bmc, 4);
    Event_dictionary_t* oem = BMC_event_dictionary_get(&bmc, 0xE0);
    ASSERT_NE(wbem, nullptr);
    ASSERT_NE(oem, nullptr);
    EXPECT_EQ(wbem->nEntries, 4);
    EXPECT_EQ(oem->nEntries, 3) << "the entry without an OEM record is left out";
    // Names are told apart by case; an OEM record is looked up by its own type only.
    EXPECT_EQ(Get_Event_Dictionary_Entry(&bmc, wbem, "test_provider", 2), nullptr);
    SEL_entry_t key = numbered(0, 0x12345);
    key.RecType = 4;
    EXPECT_EQ(BMC_event_dictionary_entry_get(&bmc, oem, &key), nullptr);

    EXPECT_EQ(BMC_close(&bmc), 0);
    EXPECT_EQ(BMC_close(&bmc), BMC_E_NOTOPEN) << "a second close is refused, not a crash";
    EXPECT_EQ(BMC_open(&bmc, 1, BMC_OPEN_ACCESS), BMC_E_NODEV);
    EXPECT_EQ(bmc.is_open, 0);
    EXPECT_EQ(BMC_close(&bmc), BMC_E_NOTOPEN) << "a failed open needs no close";
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 0);
    EXPECT_EQ(BMC_event_dictionary_get(&bmc, 4), nullptr) << "not opened for events";
    BMC_close(&bmc);
    setenv(tallowsim::kDictionaryVariable, temp.file("none.txt").c_str(), 1);
    ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS | BMC_OPEN_EVENTS), 0);
    EXPECT_EQ(BMC_event_dictionary_get(&bmc, 4), nullptr) << "no readable dictionary";
    BMC_close(&bmc);
    writeFile(temp.file("file"), "not a folder");
    setenv(tallowsim::kDirVariable, temp.file("file").c_str(), 1);
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), BMC_E_STATE);
}

TEST_F(Tallow, AppendKeepsNoPointerAndNothingOfATornRecord) {
    SEL_entry_t record = numbered(1, 5);
    record.extra = &bmc;
    ASSERT_EQ(BMC_FPL_append_entry(&bmc, &record), 0);
    EXPECT_EQ(BMC_FPL_append_entry(&bmc, nullptr), BMC_E_INVAL);
    BMC_close(&bmc);
    EXPECT_EQ(BMC_FPL_append_entry(&bmc, &record), BMC_E_NOTOPEN);

    // A torn last record is ignored, and cut before the next append, made by a process
    // that leaves without closing anything.
    std::string bytes = readFile(state + "/fpl");
    writeFile(state + "/fpl", bytes + bytes.substr(0, 20));
    tallowsim::Fpl contents;
    ASSERT_TRUE(tallowsim::readFpl(state, contents, &error));
    ASSERT_EQ(contents.records.size(), 1u);
    EXPECT_EQ(contents.records[0].extra, nullptr);
    EXPECT_EQ(contents.trailingBytes, 20u);
    EXPECT_EQ(inChild([&] {
                  SEL_entry_t second = numbered(2, 0);
                  return BMC_open(&bmc, 0, BMC_OPEN_ACCESS) != 0 ||
                         BMC_FPL_append_entry(&bmc, &second) != 0;
              }),
              0);
    ASSERT_TRUE(tallowsim::readFpl(state, contents, &error));
    ASSERT_EQ(contents.records.size(), 2u);
    EXPECT_EQ(contents.records[1].e0.b13, 2);
    EXPECT_EQ(contents.trailingBytes, 0u);
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
    // Interface errors reach no management processor: nothing records them.
    cli_request req = request("MPEventGen", "--PNAM x");
    EXPECT_EQ(ZU_CLI_Exec(&bmc, nullptr, &status, &out, &errBuf), ZU_CLI_BAD_REQUEST);
    EXPECT_EQ(ZU_CLI_Exec(&bmc, &req, nullptr, &out, &errBuf), ZU_CLI_BAD_REQUEST);
    EXPECT_EQ(ZU_CLI_Exec(&bmc, &req, &status, nullptr, &errBuf), ZU_CLI_NULL_BUFFER);
    str_buf empty = {4096, nullptr};
    EXPECT_EQ(cli(req, &status, &empty), ZU_CLI_NULL_BUFFER);
    str_buf small = {ZU_CLI_MIN_BUFFER - 1, errMemory};
    EXPECT_EQ(cli(req, &status, &small), ZU_CLI_BUFFER_TOO_SMALL);
    BMC_close(&bmc);
    EXPECT_EQ(cli(req, &status), ZU_CLI_BAD_REQUEST) << "not open";
    std::vector<tallowsim::Command> list;
    ASSERT_TRUE(tallowsim::readCommands(state, list, &error)) << error;
    ASSERT_EQ(list.size(), 2 + bad.size()) << "received, so recorded, with the status answered";
    EXPECT_EQ(list[0].name, "MPEventGen");
    EXPECT_EQ(list[0].arg, arg);
    EXPECT_EQ(list[1].arg, full);
    EXPECT_EQ(list[3].name, "MPReboot");
    EXPECT_EQ(list[3].status, ZU_CLI_INVALID_COMMAND);
    EXPECT_EQ(list[7].arg.size(), sizeof unterminated.arg) << "only what the field holds";
}

// The console over what the daemon's writers leave, as its transcript says.
TEST_F(Tallow, ConsoleAnswersAsItsTranscriptSays) {
    BMC_close(&bmc);
    setenv("TZ", "UTC", 1);
    unsetenv(tallowsim::kDictionaryVariable);
    ASSERT_TRUE(tallowsim::installDictionary(state, kData + "fpl-dictionary.txt", &error));
    unsigned int alert = 0;
    {
        BmcSession session;
        ASSERT_EQ(write_fpl(session, "Test_Provider", 1, 1600000000, &alert), 0);
        ASSERT_EQ(write_fpl(session, "Test_Provider", 2, 1600000001, &alert), 0);
        EXPECT_EQ(alert, 3u);
        ASSERT_EQ(mp_event_gen(session, "VEXA_RAID", "PN-7", 4, 0, BMC_physloc_NULL, "fw 1", "a b"),
                  0);
    }
    checkTranscript(kData + "console.transcript",
                    {{"DATA", kData},
                     {"STATE", state},
                     {"SAMPLE", ORVIND_SOURCE_DIR "/platform/tallow/data/event-dictionary.txt"}});
    // What it set is what the library obeys.
    EXPECT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 9);
    EXPECT_EQ(tallowsim::dictionaryPath(state), tallowsim::sampleDictionaryPath());
}
