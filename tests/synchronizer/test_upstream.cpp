// The broker's numbering of its deliveries: what counts as lost upstream and what as a
// repeat, one case per row: the numbers as they arrive ("+S" lets S seconds pass), and
// the counts and gaps that follow.
#include "upstream.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

std::string run(const std::string& arrivals) {
    upstream::Context c;
    time_t now = 1000;
    bool first = true;
    std::string gaps;
    std::istringstream in(arrivals);
    for (std::string word; in >> word;) {
        if (word[0] == '+') {
            now += std::stol(word.substr(1));
        } else {
            upstream::see(c, std::stoll(word), now, first);
            first = false;
        }
        upstream::Gap gap;
        while (upstream::expire(c, now, &gap)) {
            gaps += " " + std::to_string(gap.first) + "-" + std::to_string(gap.last);
        }
    }
    return "missing " + std::to_string(c.missing) + ", repeated " + std::to_string(c.repeated) +
           ", gaps" + (gaps.empty() ? " none" : gaps);
}

} // namespace

TEST(Upstream, CountsWhatNeverArrivedAndWhatCameTwice) {
    const struct {
        const char* arrivals;
        const char* counts;
    } cases[] = {
        {"5 6 7 8", "missing 0, repeated 0, gaps none"},
        {"5 7 6 9 8 +120", "missing 0, repeated 0, gaps none"}, // out of order, filled
        {"5 8 +59 9", "missing 0, repeated 0, gaps none"},      // not yet a minute
        {"5 8 +60 9", "missing 2, repeated 0, gaps 6-7"},       // a minute after 8 came
        {"5 8 +30 7 +30 10 +60", "missing 2, repeated 0, gaps 6-6 9-9"},
        {"5 6 6 5 +70", "missing 0, repeated 2, gaps none"}, // repeats are not holes
        {"100 99", "missing 0, repeated 1, gaps none"},      // before the first one
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.arrivals), c.counts) << c.arrivals;
    }
}
