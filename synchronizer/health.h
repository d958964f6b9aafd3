#ifndef ORVIND_HEALTH_H
#define ORVIND_HEALTH_H

#include <ctime>
#include <map>
#include <string>
#include <vector>

// Whether the daemon does its work, one definition for everything that says so: orvindctl's
// status and metrics, the line the daemon gives systemd, orvind --check. Healthy means
// running, subscribed to the broker, the BMC answering, no row held for it or for a mark
// that cannot be written, and no record refused in the last hour. The facts come from what the
// running daemon publishes (RunState); a fact never published is not known and counts for nothing,
// except that a daemon that never said it is subscribed is not subscribed yet.
namespace health {

enum class State { Healthy, Degraded, NotRunning, Unknown };

// What the verdict is drawn from.
struct Inputs {
    // The pid file names a running daemon. When false, `notRunning` says why.
    bool running = false;
    std::string notRunning;
    // The daemon's facts could be read; when not, `unreadable` says why.
    bool readable = true;
    std::string unreadable;
    std::map<std::string, std::string> facts;
    time_t now = 0;
};

struct Verdict {
    State state = State::Unknown;
    // Why it is not healthy, each a short phrase; empty when healthy.
    std::vector<std::string> reasons;

    // As LSB's status codes: 0 healthy, 1 degraded (running, not doing its work),
    // 3 not running, 4 cannot tell.
    int exitStatus() const;
    // "healthy", "degraded", "not running", "cannot tell".
    std::string word() const;
    // The verdict in one line: the word, then the reasons ("degraded: a; b").
    std::string line() const;
    // {"verdict": ..., "status": N, "reasons": [...]}
    std::string json() const;
};

Verdict judge(const Inputs& in);

// A refusal counts for an hour after it was made.
constexpr time_t kRefusalSeconds = 3600;

// Seconds since the epoch of the first UTC time "YYYY-mm-ddTHH:MM:SSZ" in `text`, -1 when
// it holds none.
time_t firstUtcTime(const std::string& text);

// `text` as a JSON string.
std::string jsonString(const std::string& text);

} // namespace health

#endif
