#include "health.h"

#include <cstdio>
#include <cstring>

namespace health {

namespace {

std::string fact(const Inputs& in, const char* name) {
    auto found = in.facts.find(name);
    return found == in.facts.end() ? std::string() : found->second;
}

bool published(const Inputs& in, const char* name) {
    return in.facts.find(name) != in.facts.end();
}

void subscription(const Inputs& in, std::vector<std::string>& reasons) {
    const std::string subscribed = fact(in, "subscribed");
    if (subscribed == "1") {
        return;
    }
    const std::string refusal = fact(in, "subscription_refusal");
    if (!refusal.empty()) {
        reasons.push_back("not subscribed to the CIM broker: " + refusal);
    } else if (published(in, "subscribed")) {
        reasons.emplace_back("not subscribed to the CIM broker");
    } else {
        reasons.emplace_back("not subscribed to the CIM broker yet");
    }
}

void bmc(const Inputs& in, std::vector<std::string>& reasons) {
    const std::string heldSince = fact(in, "bmc_held_since");
    if (fact(in, "bmc_reachable") == "0") {
        reasons.emplace_back("the BMC does not answer");
    }
    if (!heldSince.empty()) {
        reasons.push_back("forwarding held since " + heldSince);
    }
    // Held for a mark that cannot be written (a full disk), with the BMC answering.
    const std::string markHeld = fact(in, "forwarding_held");
    if (!markHeld.empty()) {
        reasons.push_back("forwarding held: " + markHeld);
    }
    if (fact(in, "bmc_not_keeping") == "1") {
        reasons.emplace_back("this BMC does not keep OEM records");
    }
    // A refusal without its time cannot be shown to be old.
    const std::string refusal = fact(in, "bmc_last_refusal");
    const time_t at = firstUtcTime(refusal);
    if (!refusal.empty() && at < 0) {
        reasons.push_back("the BMC refused a record: " + refusal);
    } else if (!refusal.empty() && in.now - at < kRefusalSeconds) {
        reasons.push_back("the BMC refused a record in the last hour: " + refusal);
    }
}

} // namespace

Verdict judge(const Inputs& in) {
    Verdict v;
    if (!in.running) {
        v.state = State::NotRunning;
        if (!in.notRunning.empty()) {
            v.reasons.push_back(in.notRunning);
        }
        return v;
    }
    if (!in.readable) {
        v.state = State::Unknown;
        v.reasons.push_back(in.unreadable);
        return v;
    }
    subscription(in, v.reasons);
    bmc(in, v.reasons);
    v.state = v.reasons.empty() ? State::Healthy : State::Degraded;
    return v;
}

int Verdict::exitStatus() const {
    switch (state) {
    case State::Healthy:
        return 0;
    case State::Degraded:
        return 1;
    case State::NotRunning:
        return 3;
    case State::Unknown:
        break;
    }
    return 4;
}

std::string Verdict::word() const {
    switch (state) {
    case State::Healthy:
        return "healthy";
    case State::Degraded:
        return "degraded";
    case State::NotRunning:
        return "not running";
    case State::Unknown:
        break;
    }
    return "cannot tell";
}

std::string Verdict::line() const {
    std::string text = word();
    for (size_t i = 0; i < reasons.size(); ++i) {
        text += (i == 0 ? ": " : "; ") + reasons[i];
    }
    return text;
}

std::string Verdict::json() const {
    std::string list;
    for (const auto& reason : reasons) {
        list += (list.empty() ? "" : ", ") + jsonString(reason);
    }
    return "{\"verdict\": " + jsonString(word()) + ", \"status\": " + std::to_string(exitStatus()) +
           ", \"reasons\": [" + list + "]}";
}

time_t firstUtcTime(const std::string& text) {
    // "YYYY-mm-ddTHH:MM:SSZ" is 20 characters.
    for (size_t at = 0; at + 20 <= text.size(); ++at) {
        if (text[at + 4] != '-' || text[at + 10] != 'T' || text[at + 19] != 'Z') {
            continue;
        }
        struct tm t = {};
        const char* end = strptime(text.c_str() + at, "%Y-%m-%dT%H:%M:%SZ", &t);
        if (end != nullptr && end == text.c_str() + at + 20) {
            return timegm(&t);
        }
    }
    return -1;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace health
