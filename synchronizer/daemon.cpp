#include "daemon.h"

#include "forwarder.h"
#include "intake.h"
#include "logger.h"
#include "paths.h"
#include "sfcbclient.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>

int portNumber = 5990;

namespace {

// How long the shutdown lets a writer still connected to the pipe finish its document.
const int kWriterGraceMs = 1000;

// The intake of this process, for the shutdown.
Intake* intake = nullptr;

sigset_t shutdown_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM}) {
        sigaddset(&set, signo);
    }
    return set;
}

[[noreturn]] void fatal_exit() {
    unlink(paths::kPidFile);
    logger.close();
    // _exit: no static destructor may run under the other threads' feet.
    _exit(255);
}

// The main thread waits here once the shutdown has taken over.
[[noreturn]] void park() {
    for (;;) {
        pause();
    }
}

void wait_for_signals() {
    sigset_t set = shutdown_signals();
    int signo = 0;
    while (sigwait(&set, &signo) != 0) {
    }
    handler(signo);
}

void write_pid_file() {
    FILE* file = fopen(paths::kPidFile, "w");
    if (file == nullptr) {
        return;
    }
    fprintf(file, "%d", getpid());
    fclose(file);
}

// The pipe passed by systemd (socket activation), -1 when started without one. Anything
// else passed in ends the start: a unit that passes it is wrong.
int passed_fifo() {
    int count = sd_listen_fds(1);
    if (count == 0) {
        return -1;
    }
    if (count == 1 && sd_is_fifo(SD_LISTEN_FDS_START, paths::kFifo) > 0) {
        return SD_LISTEN_FDS_START;
    }
    if (count < 0) {
        logger.error("The descriptors passed by systemd cannot be read: %s", strerror(-count));
    } else if (count == 1) {
        logger.error("The descriptor passed by systemd is not the FIFO %s.", paths::kFifo);
    } else {
        logger.error("systemd passed %d descriptors; only the FIFO %s is expected.", count,
                     paths::kFifo);
    }
    exit(255);
}

} // namespace

void handler(int signo) {
    // The files of the intake in use (the fixed ones when it never started).
    const IntakePaths paths = intake != nullptr ? intake->where() : IntakePaths();
    logger.info("caught %d signal and terminate", signo);
    // The document in hand is finished; nothing more is read from the pipe.
    if (intake != nullptr) {
        intake->stop();
    }
    unlink(paths.temp.c_str());
    // A pipe held by systemd stays, with whatever is written into it until the next start.
    if (intake == nullptr || !intake->pipePassed()) {
        unlink(paths.fifo.c_str());
    }
    // No writer can open the pipe any more: what it still holds, and what the intake
    // had not handled yet, is kept for the next start.
    if (intake != nullptr) {
        intake->saveUnhandled(kWriterGraceMs);
    }
    stop_thread();
    unlink(paths::kPidFile);
    logger.close();
    _exit(0);
}

int daemon_main(int argc, char** argv) {
    const char* slash = strrchr(argv[0], '/');
    const char* progname = slash != nullptr ? slash + 1 : argv[0];

    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, "p:")) != -1) {
        if (option != 'p') {
            logger.error("Usage: %s [-p port]", progname);
            return -1;
        }
        portNumber = atoi(optarg);
    }

    if (getuid() != 0) {
        logger.error("Only root can start %s", progname);
        exit(255);
    }

    if (FILE* running = fopen(paths::kPidFile, "r")) {
        fclose(running);
        logger.info("%s is already running", progname);
        exit(255);
    }

    // The five signals are taken by a thread of their own, outside signal context. They
    // are blocked here, before any thread exists, so that every thread inherits the mask;
    // one arriving before that thread waits stays pending until it does. An inherited
    // "ignore" disposition (nohup) is reset so that none of them can be discarded.
    sigset_t signals = shutdown_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM}) {
        sigaction(signo, &action, nullptr);
    }

    // Under systemd the pipe comes as descriptor 3; the check needs the pid that
    // systemd started, so it comes before detaching.
    int passedFifo = passed_fifo();

    if (daemon(0, 0) != 0) {
        logger.error("%s daemonize failed", progname);
        fatal_exit();
    }

    // Written before the shutdown can run, so that it never leaves a pid file behind.
    write_pid_file();

    Intake theIntake;
    intake = &theIntake;
    try {
        std::thread(wait_for_signals).detach();
    } catch (...) {
        logger.error("Create thread error.");
        fatal_exit();
    }

    switch (passedFifo >= 0 ? theIntake.adoptFifo(passedFifo) : theIntake.openFifo()) {
    case FifoState::Ready:
        break;
    case FifoState::NotCreated:
        logger.error("Exit. Unable to create fifo.");
        fatal_exit();
    case FifoState::NotOpened:
        fatal_exit();
    case FifoState::Stopped:
        park();
    }

    // The broker client logs the outcome of each registration itself.
    SfcbClient::getSfcbClient()->createSubscription();
    logger.info("Subscription created.");

    if (!start_thread()) {
        logger.error("Create thread error.");
        fatal_exit();
    }

    if (theIntake.run() == IntakeEnd::Stopped) {
        park();
    }
    fatal_exit();
}
