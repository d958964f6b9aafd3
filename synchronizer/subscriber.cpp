#include "subscriber.h"

#include "logger.h"
#include "runstate.h"

#include <algorithm>
#include <ctime>
#include <thread>
#include <utility>

namespace {

// Now in UTC, as the published facts give times: "2026-12-07T03:40:00Z".
std::string utcNow() {
    time_t now = time(nullptr);
    struct tm parts {};
    gmtime_r(&now, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

} // namespace

Subscriber::Subscriber(RunState& state_, Attempt attempt_)
    : state(state_), attempt(std::move(attempt_)) {
    state.set("subscribed", "0");
}

Subscriber::~Subscriber() {
    std::unique_lock<std::mutex> hold(lock);
    stopping = true;
    changed.notify_all();
    changed.wait(hold, [this] { return !running; });
}

// The thread is detached: the daemon ends without waiting for it (it may be waiting for the
// broker), and the destructor waits for it instead.
bool Subscriber::start() {
    {
        std::lock_guard<std::mutex> hold(lock);
        running = true;
    }
    try {
        std::thread([this] {
            run();
            // The last touch of this object: once `running` is false it may be gone.
            std::lock_guard<std::mutex> hold(lock);
            running = false;
            changed.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> hold(lock);
        running = false;
        return false;
    }
    return true;
}

bool Subscriber::awaitFirst(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, timeout, [this] { return firstDone; });
}

bool Subscriber::subscribed() const {
    std::lock_guard<std::mutex> hold(lock);
    return done;
}

bool Subscriber::rest(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> hold(lock);
    return !changed.wait_for(hold, pause, [this] { return stopping; });
}

void Subscriber::run() {
    std::chrono::milliseconds pause{0};
    std::string refusal;
    for (;;) {
        SubscriptionResult result = attempt();
        if (result.code == 0) {
            state.set("subscribed_since", utcNow());
            state.set("subscribed", "1");
            logger.info("Subscription created.");
        } else {
            state.set("subscription_refusal", utcNow() + " " + result.message);
            // One line per answer of the broker, not one per try.
            if (result.message != refusal) {
                logger.error("Subscription not created: %s; tried again in the background, "
                             "after at most %lld s.",
                             result.message.c_str(),
                             static_cast<long long>(kLongestPause.count() / 1000));
                refusal = result.message;
            }
        }
        {
            std::lock_guard<std::mutex> hold(lock);
            firstDone = true;
            done = result.code == 0;
        }
        changed.notify_all();
        if (result.code == 0) {
            return;
        }
        pause = pause.count() == 0 ? kFirstPause : std::min(pause * 2, kLongestPause);
        if (!rest(pause)) {
            return;
        }
    }
}
