// The health verdict as a table of fact sets (tests/data/health/), and the threads'
// heartbeats it reads.
#include "health.h"
#include "testlog.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

const std::string kData = ORVIND_TEST_DATA "/health/";

// 2026-12-07T05:00:00Z
const time_t kNow = 1796619600;

health::Inputs inputsOf(const std::vector<std::string>& lines) {
    health::Inputs in;
    in.now = kNow;
    for (const std::string& line : lines) {
        const size_t blank = line.find(' ');
        const std::string name = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (line == "running") {
            in.running = true;
        } else if (line.rfind("not running: ", 0) == 0) {
            in.notRunning = line.substr(13);
        } else if (line.rfind("unreadable: ", 0) == 0) {
            in.running = true;
            in.readable = false;
            in.unreadable = line.substr(12);
        } else {
            in.facts[name] = value;
        }
    }
    return in;
}

} // namespace

// Each fact set gives orvindctl's exit status, the first line of its status (and the
// daemon's STATUS=) and the JSON, from one verdict.
TEST(Health, JudgesEachSetOfFacts) {
    EXPECT_EQ(health::firstUtcTime("at 2026-12-07T05:00:00Z"), kNow);
    std::string text; // after the file's first line, which says what it checks
    for (const auto& [name, lines] : readCases(kData + "facts.cases")) {
        const health::Verdict v = health::judge(inputsOf(lines));
        text += "== " + name + "\nstatus " + std::to_string(v.exitStatus()) + "\n" + v.line() +
                "\n" + v.json() + "\n";
    }
    expectGolden(kData + "verdicts.expected", text);
}

// A thread shows life while it waits, and while it works within its bound only.
TEST(Health, HeartbeatShowsLifeWhileWaitingOrWithinItsBound) {
    using Clock = Heartbeat::Clock;
    Heartbeat beat;
    EXPECT_TRUE(beat.alive(Clock::now() + std::chrono::hours(24)));
    beat.working(std::chrono::seconds(60));
    EXPECT_TRUE(beat.alive(Clock::now() + std::chrono::seconds(50)));
    EXPECT_FALSE(beat.alive(Clock::now() + std::chrono::seconds(61)));
    beat.waiting();
    EXPECT_TRUE(beat.alive(Clock::now() + std::chrono::hours(24)));
}
