#ifndef ORVIND_DAEMON_H
#define ORVIND_DAEMON_H

class Forwarder;

// The port given with -p. Nothing reads it.
extern int portNumber; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// The daemon's start-up, then the intake for the rest of the process's life. Returns the
// exit status when the start ends before detaching (help, version, a command-line error
// (-1), a failed check); every other way out ends the process.
int daemon_main(int argc, char** argv);

// The shutdown after one of the four stop signals (SIGINT, SIGQUIT, SIGTERM, SIGALRM;
// SIGHUP only reopens the log): stops the intake and the forwarding
// thread, removes the daemon's files and ends the process with status 0. Runs on
// the thread that waits for the signals, never inside a signal handler.
[[noreturn]] void handler(int signo, Forwarder& forwarder);

#endif
