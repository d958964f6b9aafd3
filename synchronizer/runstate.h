#ifndef ORVIND_RUNSTATE_H
#define ORVIND_RUNSTATE_H

#include "paths.h"

#include <map>
#include <mutex>
#include <string>

// What the running daemon knows about itself that none of its other files shows (whether
// it is subscribed, whether the BMC answers, the last refusal, ...), published for
// orvindctl as one line "name value" per fact in a small private file. The file is
// replaced whole whenever a fact changes, so a reader never sees half of it; facts that
// change with every row (counts) belong in the database instead. Thread-safe.
class RunState {
public:
    // Starts with no facts, and says so in the file at once: what an earlier daemon
    // published is not this one's.
    explicit RunState(std::string path = paths::kStateFile);

    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;

    // Sets one fact (a name without blanks, a value without line ends) and replaces the
    // file when the value differs from the one it has. 0 or an errno value.
    int set(const std::string& name, const std::string& value);
    // The value of one fact, empty when it was never set.
    std::string get(const std::string& name) const;

    // Reads a published file: every fact by name; empty when there is none or it cannot
    // be read (a reader that is not root).
    static std::map<std::string, std::string> read(const std::string& path = paths::kStateFile);

private:
    int publish() const; // under lock

    const std::string path;
    mutable std::mutex lock;
    std::map<std::string, std::string> facts;
};

#endif
