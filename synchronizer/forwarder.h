#ifndef ORVIND_FORWARDER_H
#define ORVIND_FORWARDER_H

#include <atomic>
#include <thread>

// True while the forwarding thread is to keep running.
extern std::atomic<bool> threadrun;
// The forwarding thread.
extern std::thread pid;

// Body of the forwarding thread: drains the indication store towards the BMC until
// `threadrun` is cleared.
void create_thread();

// Sets `threadrun` and starts the forwarding thread into `pid`. False when the thread
// cannot be made (then `threadrun` is false again).
bool start_thread();

// Clears `threadrun`, cuts short the thread's pause and waits until the thread has
// ended; a forwarding pass under way is finished first. Nothing to do when the thread
// was not running.
void stop_thread();

#endif
