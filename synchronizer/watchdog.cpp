#include "watchdog.h"

#include "health.h"
#include "logger.h"
#include "readiness.h"
#include "runstate.h"

#include <cstdlib>
#include <ctime>
#include <systemd/sd-daemon.h>

Watchdog::Watchdog(RunState& state_, const Heartbeat& intake_, const Heartbeat& forwarding_)
    : state(state_), intake(intake_), forwarding(forwarding_) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    woken.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

bool Watchdog::start() {
    try {
        thread = std::thread(&Watchdog::run, this);
    } catch (...) {
        return false;
    }
    return true;
}

void Watchdog::wake() {
    {
        std::lock_guard<std::mutex> hold(lock);
        changed = true;
    }
    woken.notify_all();
}

std::chrono::milliseconds Watchdog::turn() {
    // Not sd_watchdog_enabled(): its WATCHDOG_PID names the command systemd started,
    // which the detached daemon has replaced as the service's main process.
    const char* usec = getenv("WATCHDOG_USEC");
    const long long interval = usec != nullptr ? strtoll(usec, nullptr, 10) : 0;
    if (interval > 0) {
        return std::chrono::milliseconds(interval / 2000);
    }
    return std::chrono::seconds(kTurnSeconds);
}

void Watchdog::run() {
    const auto pause = turn();
    std::unique_lock<std::mutex> hold(lock);
    while (!stopping) {
        changed = false;
        hold.unlock();
        check();
        hold.lock();
        woken.wait_for(hold, pause, [this] { return stopping || changed; });
    }
}

void Watchdog::check() {
    if (turnWork) {
        turnWork();
    }
    health::Inputs in;
    in.running = true;
    in.facts = state.all();
    in.now = time(nullptr);
    const std::string line = health::judge(in).line();
    if (line != sent) {
        readiness::status(line);
        sent = line;
    }
    const bool intakeAlive = intake.alive();
    const bool forwardingAlive = forwarding.alive();
    if (intakeAlive && forwardingAlive) {
        readiness::watchdog();
        stuck = false;
    } else if (!stuck) {
        stuck = true;
        logger.error("The %s has shown no life for too long; the watchdog stops telling "
                     "systemd that the daemon is alive, so that it is restarted.",
                     intakeAlive ? "forwarding thread" : "intake");
    }
}
