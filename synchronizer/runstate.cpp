#include "runstate.h"

#include "files.h"

#include <utility>

namespace {
// Only root reads what the daemon publishes.
const mode_t kStateMode = 0600;

// One line per fact: what could break a line or the name is replaced by a blank.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}
} // namespace

RunState::RunState(std::string path_) : path(std::move(path_)) {
    std::lock_guard<std::mutex> hold(lock);
    publish();
}

int RunState::set(const std::string& name, const std::string& value) {
    return set(std::map<std::string, std::string>{{name, value}});
}

int RunState::set(const std::map<std::string, std::string>& values) {
    std::lock_guard<std::mutex> hold(lock);
    bool changes = false;
    for (const auto& [name, value] : values) {
        std::string key = oneLine(name);
        for (char& c : key) {
            if (c == ' ' || c == '\t') {
                c = '_';
            }
        }
        std::string text = oneLine(value);
        auto found = facts.find(key);
        if (found == facts.end() || found->second != text) {
            facts[key] = text;
            changes = true;
        }
    }
    if (!changes) {
        return 0;
    }
    int error = publish();
    if (changed) {
        changed(facts);
    }
    return error;
}

std::string RunState::get(const std::string& name) const {
    std::lock_guard<std::mutex> hold(lock);
    auto found = facts.find(name);
    return found == facts.end() ? std::string() : found->second;
}

int RunState::publish() const {
    std::string text;
    for (const auto& fact : facts) {
        text += fact.first + ' ' + fact.second + '\n';
    }
    return files::writeDurably(path, text.data(), text.size(), kStateMode);
}

std::map<std::string, std::string> RunState::all() const {
    std::lock_guard<std::mutex> hold(lock);
    return facts;
}

void RunState::onChange(std::function<void(const std::map<std::string, std::string>&)> hook) {
    std::lock_guard<std::mutex> hold(lock);
    changed = std::move(hook);
}
