#include "forwarder.h"

#include "logger.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

std::atomic<bool> threadrun(false);
std::thread pid;

namespace {

// Start and stop of the thread are serialised, so the shutdown never waits for a
// thread that is still being made.
std::mutex startLock;
std::mutex pauseLock;
std::condition_variable pauseWake;
bool stopping = false;

// Sleeps, unless the shutdown is under way or comes meanwhile.
void forwarding_pause(int seconds) {
    std::unique_lock<std::mutex> lock(pauseLock);
    pauseWake.wait_for(lock, std::chrono::seconds(seconds), [] { return stopping; });
}

} // namespace

void create_thread() {
    logger.info("new thread starts up.");
    forwarding_pause(3);
    for (;;) {
        try {
            // Restart point: the thread's own store handle on
            // "/var/lib/orvind/indications.db" is opened here.
            for (;;) {
                if (!threadrun) {
                    logger.info("new thread dies.");
                    return;
                }
                // One forwarding pass goes here: fetch the oldest unforwarded row,
                // forward it and mark it, then go on at once. Until then every pass
                // finds nothing to forward.
                forwarding_pause(3);
            }
        } catch (...) {
            forwarding_pause(2);
        }
    }
}

bool start_thread() {
    std::lock_guard<std::mutex> lock(startLock);
    {
        std::lock_guard<std::mutex> pause(pauseLock);
        if (stopping) {
            return true; // the shutdown is under way: nothing to start
        }
    }
    threadrun = true;
    try {
        pid = std::thread(create_thread);
    } catch (...) {
        threadrun = false;
        return false;
    }
    return true;
}

void stop_thread() {
    {
        std::lock_guard<std::mutex> lock(startLock);
        {
            std::lock_guard<std::mutex> pause(pauseLock);
            stopping = true;
        }
        if (!threadrun.exchange(false)) {
            return;
        }
    }
    pauseWake.notify_all();
    pid.join();
}
