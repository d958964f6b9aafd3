// The read-back that settles what was noted before a kill: each case of
// tests/data/settle/match.txt appends records to a simulated BMC's FPL, reads back what
// was added after the last id noted, and matches the notes against it.
#include "settle.h"

#include "tallow_sim.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

SEL_entry_t entryOf(const std::vector<uint8_t>& bytes) {
    SEL_entry_t entry;
    memset(&entry, 0, sizeof entry);
    entry.RecType = bytes[0];
    memcpy(&entry.e0, &bytes[1], sizeof entry.e0);
    return entry;
}

} // namespace

TEST(Settle, NotesAreFoundInOrderAmongOtherRecords) {
    TempDir temp;
    setenv(tallowsim::kDirVariable, temp.file("state").c_str(), 1);
    setenv(tallowsim::kDmiUuidVariable, temp.file("no-dmi").c_str(), 1);
    const std::vector<GoldenCase> cases = readCases(ORVIND_TEST_DATA "/settle/match.txt");
    ASSERT_FALSE(cases.empty());
    std::map<std::string, std::vector<uint8_t>> records;
    for (const std::string& line : cases[0].second) {
        std::vector<std::string> fields = words(line);
        ASSERT_EQ(fields.size(), 15u) << line;
        for (size_t i = 1; i < fields.size(); ++i) {
            records[fields[0]].push_back(static_cast<uint8_t>(std::stoul(fields[i], nullptr, 16)));
        }
    }
    for (size_t c = 1; c < cases.size(); ++c) {
        const auto& [name, lines] = cases[c];
        ASSERT_EQ(lines.size(), 3u) << name;
        std::string error;
        ASSERT_TRUE(tallowsim::clearFpl(temp.file("state"), &error)) << error;
        BMC_t bmc;
        ASSERT_EQ(BMC_open(&bmc, 0, BMC_OPEN_ACCESS), 0);
        // Two records of other writers, the last of them the last id noted.
        for (const char* before : {"S", "O"}) {
            SEL_entry_t entry = entryOf(records[before]);
            ASSERT_EQ(BMC_FPL_append_entry(&bmc, &entry), 0);
        }
        std::vector<std::vector<uint8_t>> noted;
        for (const std::string& record : words(lines[0].substr(5))) {
            noted.push_back(records.at(record));
        }
        for (const std::string& record : words(lines[1].substr(5))) {
            SEL_entry_t entry = entryOf(records.at(record));
            ASSERT_EQ(BMC_FPL_append_entry(&bmc, &entry), 0);
        }
        std::vector<settle::Kept> added;
        EXPECT_EQ(settle::addedSince(&bmc, 2, added), 0) << name;
        std::string found = "found";
        for (unsigned id : settle::match(noted, added)) {
            found += " " + std::to_string(id);
        }
        EXPECT_EQ(found, lines[2]) << name;
        BMC_close(&bmc);
    }
}
