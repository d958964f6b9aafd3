#include "cutter.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string sample(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/intake/" + name);
}

// The documents the cutter hands out as it is given `bytes` in chunks of `step`.
std::vector<std::string> feed(DocumentCutter& cutter, const std::string& bytes, size_t step) {
    std::vector<std::string> cut;
    std::string document;
    for (size_t at = 0; at < bytes.size(); at += step) {
        cutter.add(bytes.data() + at, std::min(step, bytes.size() - at));
        while (cutter.next(document)) {
            cut.push_back(document);
        }
    }
    return cut;
}

// A text of the cutter's case file with its placeholders and escapes put in.
std::string expand(std::string text) {
    for (size_t at = text.find("{x"); at != std::string::npos; at = text.find("{x", at)) {
        const size_t end = text.find('}', at);
        text.replace(at, end + 1 - at, std::stoul(text.substr(at + 2, end - at - 2)), 'x');
    }
    text = substituted(text, "{alert}", sample("alert.xml"));
    text = substituted(text, "{disk}", sample("disk.xml"));
    text = substituted(text, "{T}", Sandbox::kTrailer);
    return substituted(substituted(text, "\\n", "\n"), "\\r", "\r");
}

} // namespace

// Each case of the case file, in chunks of one byte, of seven and of a page, twice on
// the same cutter: each finish() starts it afresh.
TEST(DocumentCutter, CutsEachCaseOfTheCaseFileWhateverTheChunks) {
    std::ifstream file(ORVIND_TEST_DATA "/intake/cuts.txt");
    size_t cases = 0;
    for (std::string line; std::getline(file, line);) {
        const size_t colon = line.find(": ");
        const size_t arrow = line.find(" =>");
        if (line.empty() || line[0] == '#' || colon == std::string::npos || arrow < colon) {
            continue;
        }
        const std::string what = line.substr(0, colon);
        const std::string bytes = expand(line.substr(colon + 2, arrow - colon - 2));
        // The documents, each after " | ", then what is passed over, after " ~ " (and
        // "[N untold] " when it holds N documents whose pieces cannot be told apart).
        std::string rest = line.substr(std::min(line.size(), arrow + 4));
        const size_t tilde = std::min(rest.find(" ~ "), rest.size());
        std::string passed = rest.substr(std::min(rest.size(), tilde + 3));
        size_t untold = 0;
        if (passed.rfind('[', 0) == 0) {
            untold = std::stoul(passed.substr(1));
            passed = passed.substr(passed.find("] ") + 2);
        }
        const std::string stray = expand(passed);
        rest = rest.substr(0, tilde) + " | ";
        std::vector<std::string> documents;
        for (size_t at = 0, bar; (bar = rest.find(" | ", at)) != std::string::npos; at = bar + 3) {
            documents.push_back(expand(rest.substr(at, bar - at)));
        }
        for (size_t step : {size_t(1), size_t(7), size_t(4096)}) {
            DocumentCutter cutter;
            for (unsigned round = 1; round <= 2; ++round) {
                std::vector<std::string> cut = feed(cutter, bytes, step);
                std::string document;
                for (bool more = cutter.finish(document); more; more = cutter.next(document)) {
                    cut.push_back(document);
                }
                EXPECT_EQ(cut, documents) << what << ", chunks of " << step << ", round " << round;
                EXPECT_EQ(cutter.takeStray(), stray) << what << ", chunks of " << step;
                EXPECT_EQ(cutter.takeUntold(), untold) << what << ", chunks of " << step;
                EXPECT_EQ(cutter.consumed(), round * bytes.size()) << "every byte is counted";
                EXPECT_TRUE(cutter.idle());
            }
        }
        ++cases;
    }
    EXPECT_GE(cases, 12u);
}
