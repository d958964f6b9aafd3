#ifndef ORVIND_WATCHDOG_H
#define ORVIND_WATCHDOG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class RunState;

// Whether a thread shows life: either it waits for something that wakes it (the pipe,
// the end of a pause), or it works on something it finishes within a bound. A thread
// caught in a call that never returns stops showing life once its bound has passed.
class Heartbeat {
public:
    using Clock = std::chrono::steady_clock;

    // The thread waits, ready to be woken: it shows life for as long as it waits.
    void waiting() { until = Clock::time_point::max().time_since_epoch().count(); }
    // The thread works, and is stuck unless it waits again within `limit`.
    void working(std::chrono::seconds limit) {
        until = (Clock::now() + limit).time_since_epoch().count();
    }
    // Whether the thread shows life at `now`.
    bool alive(Clock::time_point now = Clock::now()) const {
        return now.time_since_epoch().count() <= until.load();
    }

private:
    // The thread shows life until this moment (clock ticks); it starts out waiting.
    std::atomic<Clock::rep> until{Clock::time_point::max().time_since_epoch().count()};
};

// The daemon's watchdog thread. While the intake and the forwarding thread both show
// life it tells systemd WATCHDOG=1 at half the unit's WatchdogSec=, so that a stuck thread
// gets the daemon restarted; and it keeps systemd's STATUS= line the health verdict
// (health.h) of the daemon's facts, sent anew whenever a fact changes and at each turn
// (a refusal stops counting after an hour). A stuck thread is logged once.
class Watchdog {
public:
    Watchdog(RunState& state, const Heartbeat& intake, const Heartbeat& forwarding);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // `publish` runs at the start of each turn, before the verdict (the daemon's counts
    // go into the facts this way). Set before start().
    void eachTurn(std::function<void()> publish) { turnWork = std::move(publish); }
    // Starts the thread. False when it cannot be made.
    bool start();
    // Makes the thread send the verdict at once (called when a fact changes).
    void wake();

    // The pause between two turns: half of systemd's watchdog interval (WATCHDOG_USEC),
    // else kTurnSeconds.
    static std::chrono::milliseconds turn();
    static constexpr int kTurnSeconds = 30;

private:
    void run();
    void check();

    RunState& state;
    const Heartbeat& intake;
    const Heartbeat& forwarding;
    std::mutex lock;
    std::condition_variable woken;
    bool changed = false;
    bool stopping = false;
    std::string sent;
    bool stuck = false;
    std::function<void()> turnWork;
    std::thread thread;
};

#endif
