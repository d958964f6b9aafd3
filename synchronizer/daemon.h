#ifndef ORVIND_DAEMON_H
#define ORVIND_DAEMON_H

class Forwarder;
class Intake;

// The daemon's start-up, then the intake for the rest of the process's life. Returns the
// exit status when the start ends before detaching (help, version, a command-line error
// (-1), a failed check); every other way out ends the process.
int daemon_main(int argc, char** argv);

// The shutdown after one of the four stop signals (SIGINT, SIGQUIT, SIGTERM, SIGALRM;
// SIGHUP only reopens the log): stops the intake and the forwarding
// thread, removes the daemon's files and ends the process with status 0. Runs on
// the thread that waits for the signals, never inside a signal handler: the daemon
// installs none, so nothing needs reaching from signal context.
[[noreturn]] void handler(int signo, Intake& intake, Forwarder& forwarder);

#endif
