#ifndef ORVIND_RUNSTATE_H
#define ORVIND_RUNSTATE_H

#include "paths.h"

#include <fstream>
#include <functional>
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
    // Sets several facts, with one replacement of the file when any differs.
    int set(const std::map<std::string, std::string>& values);
    // The value of one fact, empty when it was never set.
    std::string get(const std::string& name) const;
    // Every fact set so far.
    std::map<std::string, std::string> all() const;

    // `hook` is called with every fact each time one changes, once the file is replaced
    // (the daemon's line for systemd follows the facts this way). It runs under the
    // state's lock: it must not call back into the state.
    void onChange(std::function<void(const std::map<std::string, std::string>&)> hook);

    // Reads a published file: every fact by name; empty when there is none or it cannot
    // be read (a reader that is not root). Inline: the tools read it without the daemon's
    // pieces.
    static std::map<std::string, std::string> read(const std::string& path = paths::kStateFile) {
        std::map<std::string, std::string> facts;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            size_t blank = line.find(' ');
            if (blank != std::string::npos && blank > 0) {
                facts[line.substr(0, blank)] = line.substr(blank + 1);
            }
        }
        return facts;
    }

private:
    int publish() const; // under lock

    const std::string path;
    mutable std::mutex lock;
    std::map<std::string, std::string> facts;
    std::function<void(const std::map<std::string, std::string>&)> changed;
};

#endif
