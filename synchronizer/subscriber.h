#ifndef ORVIND_SUBSCRIBER_H
#define ORVIND_SUBSCRIBER_H

#include "sfcbclient.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

class RunState;

// Keeps the daemon subscribed in the broker. The registration runs on a thread of its
// own, so that the intake reads the pipe meanwhile: the broker answers no request while
// one of its deliveries waits on a full pipe. "Subscription created." is logged once
// filter, handler and subscription exist; a failed registration is one error line (again
// only when the broker's answer changes) and is tried again after a pause that doubles
// from 2 s up to 60 s, until it succeeds. Publishes `subscribed`, `subscribed_since` and
// `subscription_refusal` in the RunState.
class Subscriber {
public:
    using Attempt = std::function<SubscriptionResult()>;
    static constexpr std::chrono::milliseconds kFirstPause{2000};
    static constexpr std::chrono::milliseconds kLongestPause{60000};

    // `attempt` registers once (the daemon: SfcbClient::createSubscription).
    Subscriber(RunState& state, Attempt attempt);
    // Stops the tries and waits for the thread to end (an attempt under way is finished
    // first).
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Starts the thread; false when it cannot be started.
    bool start();
    // Waits until the first attempt has ended, at most `timeout`; false when it has not.
    bool awaitFirst(std::chrono::milliseconds timeout);
    bool subscribed() const;

private:
    void run();
    // Waits `pause`, or less when stopped; false when stopped.
    bool rest(std::chrono::milliseconds pause);

    RunState& state;
    Attempt attempt;
    mutable std::mutex lock;
    std::condition_variable changed;
    bool firstDone = false;
    bool done = false;
    bool stopping = false;
    bool running = false;
};

#endif
