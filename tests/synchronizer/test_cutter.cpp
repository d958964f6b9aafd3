#include "cutter.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
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
        // The documents, each after " | ", then what is passed over, after " ~ ".
        std::string rest = line.substr(std::min(line.size(), arrow + 4));
        const size_t tilde = std::min(rest.find(" ~ "), rest.size());
        const std::string stray = expand(rest.substr(std::min(rest.size(), tilde + 3)));
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
                EXPECT_EQ(cutter.consumed(), round * bytes.size()) << "every byte is counted";
                EXPECT_TRUE(cutter.idle());
            }
        }
        ++cases;
    }
    EXPECT_GE(cases, 12u);
}

namespace {

const size_t kBlock = 1024;

// What a writer's stdio stream makes of one delivery into a pipe of kBlock-byte blocks:
// the document's whole blocks in one write, then the rest with the line end and the
// trailer, a buffer at a time.
std::vector<std::string> stdioWrites(const std::string& document) {
    std::vector<std::string> writes;
    const size_t whole = document.size() - document.size() % kBlock;
    if (whole > 0) {
        writes.push_back(document.substr(0, whole));
    }
    const std::string rest = document.substr(whole) + "\n" + Sandbox::kTrailer + "\n";
    for (size_t at = 0; at < rest.size(); at += kBlock) {
        writes.push_back(rest.substr(at, kBlock));
    }
    return writes;
}

// The alert with message id `id` and a text of its own about `pad` bytes long.
std::string padded(int id, size_t pad) {
    std::string doc = substituted(sample("alert.xml"), "MESSAGE ID=\"3\"",
                                  "MESSAGE ID=\"" + std::to_string(id) + "\"");
    std::string text;
    for (int word = 0; text.size() < pad; ++word) {
        text += std::to_string(id) + "-" + std::to_string(word) + " ";
    }
    const std::string value =
        "<PROPERTY NAME=\"Padding\" TYPE=\"string\">\n<VALUE>" + text + "</VALUE>\n</PROPERTY>\n";
    return substituted(doc, "</INSTANCE>", value + "</INSTANCE>");
}

} // namespace

// Deliveries of several writers at once, piece by piece in the order each case names
// ("a1" is the first write of document a): what is put back together, and what cannot
// be told apart and is passed over whole.
TEST(DocumentCutter, PutsInterleavedPiecesBackTogetherWhereThatIsCertain) {
    const std::map<char, std::string> docs = {
        // a's first write ends inside a value, b's inside markup.
        {'a', padded(1, 2000)},
        {'b', padded(2, 1100)},
        {'c', sample("disk.xml")},
        // e's and f's first writes both end inside a value, at the same place.
        {'e', padded(5, 2000)},
        {'f', padded(6, 2000)}};
    struct Case {
        const char* what;
        std::vector<std::string> order;
        std::string whole; // the documents stored, in the order of their declarations
        size_t untold;
    };
    const Case cases[] = {
        {"one after the other", {"a1", "a2", "b1", "b2"}, "ab", 0},
        {"one inside the other", {"a1", "b1", "b2", "a2"}, "ab", 0},
        {"crossed", {"a1", "b1", "a2", "b2"}, "ab", 0},
        {"crossed, a small one between", {"b1", "a1", "c1", "b2", "a2"}, "bac", 0},
        {"crossed, what is certain", {"e1", "f1", "e2", "f2", "a1", "a2"}, "a", 2},
    };
    for (const Case& c : cases) {
        std::map<char, std::vector<std::string>> writes;
        for (const auto& [name, text] : docs) {
            writes[name] = stdioWrites(text);
        }
        std::string bytes;
        for (const std::string& piece : c.order) {
            bytes += writes[piece[0]].at(static_cast<size_t>(piece[1] - '1'));
        }
        std::vector<std::string> expected;
        for (char name : std::string(c.whole)) {
            expected.push_back(docs.at(name) + "\n" + Sandbox::kTrailer + "\n");
        }
        for (size_t step : {size_t(100), size_t(65536)}) {
            DocumentCutter cutter(kBlock);
            cutter.add(bytes.data(), 0);
            EXPECT_EQ(feed(cutter, bytes, step), expected) << c.what << ", chunks of " << step;
            EXPECT_EQ(cutter.takeUntold(), c.untold) << c.what;
            EXPECT_EQ(cutter.takeStray().size(),
                      c.untold == 0 ? 0 : bytes.size() - docs.at('a').size() - 43)
                << c.what << ": what cannot be told apart is kept whole";
            EXPECT_TRUE(cutter.idle()) << c.what;
        }
    }
}
