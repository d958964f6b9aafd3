#ifndef ORVIND_READINESS_H
#define ORVIND_READINESS_H

// The command that starts the daemon returns only once the daemon is ready or has
// failed, and with the daemon's status: a start that fails after detaching does not
// look successful. The daemon reports through a pipe to the process that started it;
// under systemd (Type=notify) it also tells the service manager its pid and READY=1.
#include "files.h"

#include <mutex>
#include <string>

namespace readiness {

// The daemon's side of the report: its end of the pipe, from await() until it has
// reported once (ready or failed). Made by the daemon's start-up, which keeps it for the
// rest of the process's life.
class Reporter {
public:
    // Called just before detaching. Forks: the calling process stays in here until the
    // daemon reports or ends without a word, writes on standard error the error lines the
    // daemon logged meanwhile, and exits with the daemon's status.
    // Only the child returns, and goes on to detach. Without a pipe or a child the start
    // goes on in the calling process, without the wait.
    void await(const char* progname);

    // The daemon is ready: the pipe is open and read, the registration answered (or given
    // a while to be) and the forwarding thread started. The waiting command exits with 0.
    void ready();

    // The daemon ends with `status` before it was ready: the waiting command exits with
    // the same status. Does nothing once ready() has been called. Any thread may call it.
    void failed(int status);

private:
    void report(unsigned char status);

    std::mutex lock;
    // Empty once reported, or when nobody waits.
    files::Fd fd;
};

// Under systemd: the daemon's state in one line (systemctl status shows it as "Status:").
void status(const std::string& line);

// Under systemd: the daemon shows life (the unit's WatchdogSec=).
void watchdog();

} // namespace readiness

#endif
