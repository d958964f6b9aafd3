#include "daemon.h"

#include "check.h"
#include "cimclient.h"
#include "files.h"
#include "forwarder.h"
#include "fpl.h"
#include "installprefix.h"
#include "intake.h"
#include "logger.h"
#include "paths.h"
#include "readiness.h"
#include "runstate.h"
#include "secrets.h"
#include "sfcbclient.h"
#include "subscriber.h"
#include "watchdog.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>

namespace {

// What the command line sets.
struct Options {
    // Accepted with -p and read by nothing else.
    int port = 5990;
};

// How long the shutdown lets a writer still connected to the pipe finish its document.
const int kWriterGraceMs = 1000;
// How long the start waits for the broker's first answer to the registration before it
// reports ready all the same (the registration goes on in the background).
const std::chrono::seconds kFirstAnswerWait(10);

sigset_t shutdown_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM}) {
        sigaddset(&set, signo);
    }
    return set;
}

// Ends the start, or the daemon, with status 255; the waiting command is told (by
// `reporter`) unless the daemon was ready already.
[[noreturn]] void fatal_exit(readiness::Reporter& reporter) {
    // The pid file goes before the waiting command is told: a start tried again at once
    // must not find it.
    unlink(paths::kPidFile);
    reporter.failed(255);
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

// SIGHUP: after logrotate has renamed the log, the daemon writes to a new file at its
// path; a dictionary installed meanwhile is checked as at start-up.
void reload(int signo) {
    std::string why;
    char reopened[80];
    snprintf(reopened, sizeof reopened,
             "caught %d signal: log reopened, event dictionary read again", signo);
    if (!logger.reopen(&why, reopened)) {
        logger.error("caught %d signal: cannot reopen the log %s: %s; it goes on in the file "
                     "open so far. Check the folder (systemd-tmpfiles --create orvind.conf) "
                     "and reload again (systemctl reload orvind).",
                     signo, paths::kLogFile, why.c_str());
    }
    fpl_check_dictionary();
}

void wait_for_signals(Intake& intake, Forwarder& forwarder) {
    sigset_t set = shutdown_signals();
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) != 0) {
            continue;
        }
        if (signo != SIGHUP) {
            handler(signo, intake, forwarder);
        }
        reload(signo);
    }
}

// Read by others by convention.
const mode_t kPidFileMode = 0644;
// Only root reads or writes the daemon's other files (the log: also the group adm).
const mode_t kPrivateMode = 0600;
const mode_t kLogMode = 0640;

// A pid file is there when a regular file can be opened at its path; a link or
// anything else there is no pid file (it is moved aside when the pid file is written).
bool pid_file_exists() {
    files::Fd fd(files::openOwned(paths::kPidFile, O_RDONLY | O_NONBLOCK, 0));
    struct stat st;
    return fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

void write_pid_file() {
    files::moveAside(paths::kPidFile);
    files::Fd fd(files::openOwned(paths::kPidFile, O_WRONLY | O_CREAT | O_TRUNC, kPidFileMode));
    if (!fd) {
        return;
    }
    std::string pid = std::to_string(getpid());
    files::writeAll(fd.get(), pid.data(), pid.size());
}

// Files left by an earlier version, or by hand, with a wider mode than they are made
// with now are narrowed, one line each.
void narrow_modes() {
    files::narrowMode(paths::kLogFile, kLogMode);
    const std::string database = paths::kDatabase;
    for (const std::string& path :
         {database, database + "-wal", database + "-shm", std::string(paths::kPendingFile),
          std::string(paths::kFplMark), std::string(paths::kHalcyonMark)}) {
        files::narrowMode(path, kPrivateMode);
    }
}

void usage(FILE* out, const char* progname) {
    fprintf(out,
            "Usage: %s [-p port]\n"
            "Carries the CIM broker's indications through the pipe %s into the\n"
            "database %s and on to the management processor.\n"
            "Run it as root: it detaches and returns once it is ready (status 0) or has\n"
            "failed (status 255, the reason on standard error and in %s).\n"
            "\n"
            "  -p port        accepted and not used\n"
            "  --check        check the folders, the dictionary, the BMC, the broker\n"
            "                 registration and the credentials, one line each, and exit\n"
            "                 (status 0 when all pass); changes nothing, also beside a\n"
            "                 running daemon\n"
            "  -h, --help     show this help and exit\n"
            "  -V, --version  show the version and exit\n",
            progname, paths::kFifo, paths::kDatabase, paths::kLogFile);
}

// Exit status of a wrong command line, as for every program of the package (the
// daemon's own refusals end with 255).
const int kUsageStatus = 2;

// A command-line error: said on standard error as well as in the log.
int bad_usage(const char* progname, const std::string& problem) {
    logger.error("Usage: %s [-p port]", progname);
    fprintf(stderr, "%s: %s\nUsage: %s [-p port]; try '%s --help'.\n", progname, problem.c_str(),
            progname, progname);
    return kUsageStatus;
}

// The pid-file helper by its full path: beside this program when it is installed
// under another prefix, else where the package puts it.
std::string pidfile_helper() {
    const std::string prefix = installPrefix();
    const std::string beside = prefix + "/libexec/orvind/orvind-pidfile";
    return access(beside.c_str(), X_OK) == 0 ? beside : paths::kPidfileHelper;
}

// A refused start: in the log and on standard error, unless that is the journal, which
// has the line from the log already.
void start_refused(const char* progname, const char* text) {
    logger.error("%s", text);
    if (!Logger::stderrIsJournal()) {
        fprintf(stderr, "%s: %s\n", progname, text);
    }
}

std::string folder_of(const char* path) {
    std::string folder = path;
    return folder.substr(0, folder.rfind('/'));
}

// The folders of the log and the database must be there before the daemon starts: it
// makes none of them. A missing one ends the start with its path, the reason and what
// to do, in the log too when the log's own folder is there. (A missing working folder
// ends it as well, once the pipe cannot be made there.)
bool folders_exist(const char* progname) {
    for (const std::string& folder : {folder_of(paths::kLogFile), folder_of(paths::kDatabase)}) {
        struct stat st;
        std::string reason;
        if (stat(folder.c_str(), &st) != 0) {
            reason = files::errorText(errno);
        } else if (!S_ISDIR(st.st_mode)) {
            reason = "not a folder";
        } else {
            continue;
        }
        char text[1024];
        snprintf(text, sizeof text,
                 "Cannot start: the folder %s is missing (%s). Make the daemon's folders "
                 "(systemd-tmpfiles --create orvind.conf, or mkdir -p %s) and start again.",
                 folder.c_str(), reason.c_str(), folder.c_str());
        start_refused(progname, text);
        return false;
    }
    return true;
}

// The pipe passed by systemd (socket activation) in *fd, -1 when started without one.
// Anything else passed in ends the start (false): a unit that passes it is wrong.
bool passed_fifo(const char* progname, int* fd) {
    *fd = -1;
    int count = sd_listen_fds(1);
    if (count == 0) {
        return true;
    }
    if (count == 1 && sd_is_fifo(SD_LISTEN_FDS_START, paths::kFifo) > 0) {
        *fd = SD_LISTEN_FDS_START;
        return true;
    }
    char text[256];
    if (count < 0) {
        snprintf(text, sizeof text, "The descriptors passed by systemd cannot be read: %s",
                 files::errorText(-count).c_str());
    } else if (count == 1) {
        snprintf(text, sizeof text, "The descriptor passed by systemd is not the FIFO %s.",
                 paths::kFifo);
    } else {
        snprintf(text, sizeof text, "systemd passed %d descriptors; only the FIFO %s is expected.",
                 count, paths::kFifo);
    }
    start_refused(progname, text);
    return false;
}

// The command line: nothing when the daemon is to start, else the exit status (help,
// version, a command-line error).
std::optional<int> read_options(int argc, char** argv, const char* progname, Options& options) {
    opterr = 0;
    const struct option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, 'V'},
                                         {"check", no_argument, nullptr, 'C'},
                                         {nullptr, 0, nullptr, 0}};
    int option;
    // The command line is read before any other thread starts.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    while ((option = getopt_long(argc, argv, "p:hV", longOptions, nullptr)) != -1) {
        if (option == 'h') {
            usage(stdout, progname);
            return 0;
        }
        if (option == 'V') {
            printf("%s %s\n", progname, ORVIND_VERSION);
            return 0;
        }
        if (option == 'C') {
            return run_check(stdout);
        }
        if (option != 'p') {
            return bad_usage(progname, optopt == 'p' ? "option -p needs a port number"
                                       : optopt != 0
                                           ? std::string("unknown option -") + char(optopt)
                                           : std::string("unknown option ") + argv[optind - 1]);
        }
        options.port = atoi(optarg);
    }
    if (optind < argc) {
        return bad_usage(progname, std::string("unexpected argument '") + argv[optind] + "'");
    }
    return std::nullopt;
}

// Whether this daemon may start: run by root, and no other one running.
bool may_start(const char* progname) {
    if (getuid() != 0) {
        logger.error("Only root can start %s", progname);
        fprintf(stderr, "%s: Only root can start %s (run it as root, or with systemctl).\n",
                progname, progname);
        return false;
    }
    if (pid_file_exists()) {
        logger.info("%s is already running", progname);
        fprintf(stderr,
                "%s: %s is already running: %s exists. If no %s runs, remove the file "
                "(%s clear-stale) and start again.\n",
                progname, progname, paths::kPidFile, progname, pidfile_helper().c_str());
        return false;
    }
    return folders_exist(progname);
}

// The five signals (four that stop the daemon, SIGHUP that reopens its log) are taken
// by a thread of their own, outside signal context. They
// are blocked here, before any thread exists, so that every thread inherits the mask;
// one arriving before that thread waits stays pending until it does. An inherited
// "ignore" disposition (nohup) is reset so that none of them can be discarded.
void take_signals() {
    sigset_t signals = shutdown_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM}) {
        sigaction(signo, &action, nullptr);
    }
}

// Detaches once the waiting command has been told how the start went, then writes the
// pid file (before the shutdown can run, so that it never leaves one behind).
void detach(const char* progname, readiness::Reporter& reporter) {
    reporter.await(progname);
    if (daemon(0, 0) != 0) {
        logger.error("%s daemonize failed", progname);
        fatal_exit(reporter);
    }
    write_pid_file();
    narrow_modes();
}

// The thread that takes the signals. It reaches the intake and the forwarder through its
// arguments: they live as long as the process, which ends on every way out of the start.
void start_signal_thread(Intake& intake, Forwarder& forwarder, readiness::Reporter& reporter) {
    try {
        std::thread([&intake, &forwarder] { wait_for_signals(intake, forwarder); }).detach();
    } catch (...) {
        logger.error("Create thread error.");
        fatal_exit(reporter);
    }
}

// The pipe systemd passed (`passedFifo`), or one made or found at its path, with a read
// end open from here on.
void open_pipe(Intake& intake, int passedFifo, readiness::Reporter& reporter) {
    switch (passedFifo >= 0 ? intake.adoptFifo(passedFifo) : intake.openFifo()) {
    case FifoState::Ready:
        break;
    case FifoState::NotCreated:
        logger.error("Exit. Unable to create fifo.");
        fatal_exit(reporter);
    case FifoState::NotOpened:
        fatal_exit(reporter);
    case FifoState::Stopped:
        park();
    }
}

// Runs the intake on a thread of its own; a fatal end of it ends the process.
std::thread start_intake(Intake& intake, readiness::Reporter& reporter) {
    try {
        return std::thread([&intake, &reporter] {
            if (intake.run() != IntakeEnd::Stopped) {
                fatal_exit(reporter);
            }
        });
    } catch (...) {
        logger.error("Create thread error.");
        fatal_exit(reporter);
    }
}

// Starts the registration and waits for the broker's first answer, for a while.
void subscribe(Subscriber& subscriber, readiness::Reporter& reporter) {
    if (!subscriber.start()) {
        logger.error("Create thread error.");
        fatal_exit(reporter);
    }
    if (!subscriber.awaitFirst(kFirstAnswerWait)) {
        logger.warn("The CIM broker has not answered the registration within %lld s; it goes "
                    "on in the background.",
                    static_cast<long long>(kFirstAnswerWait.count()));
    }
}

// Once ready, systemd's STATUS= follows the facts, and WATCHDOG=1 goes while both threads
// show life.
std::unique_ptr<Watchdog> watch(RunState& state, const Intake& intake, const Forwarder& forwarder,
                                readiness::Reporter& reporter) {
    auto watchdog = std::make_unique<Watchdog>(state, intake.heartbeat(), forwarder.heartbeat());
    Watchdog* dog = watchdog.get();
    // The counts go into the facts at each turn: the file changes at most once a turn.
    const IntakeCounts& counts = intake.counts();
    watchdog->eachTurn([&state, &counts] {
        state.set({{"documents_received", std::to_string(counts.received)},
                   {"documents_stored", std::to_string(counts.stored)},
                   {"journal_retries", std::to_string(counts.retries)},
                   {"documents_damaged", std::to_string(counts.damaged)},
                   {"stray_bytes_dropped", std::to_string(counts.strayDropped)},
                   {"log_lines_dropped", std::to_string(logger.droppedLines())}});
    });
    state.onChange([dog](const std::map<std::string, std::string>&) { dog->wake(); });
    if (!watchdog->start()) {
        logger.error("Create thread error.");
        fatal_exit(reporter);
    }
    return watchdog;
}

// Which CIM client this build registers through: once in the log, and for orvindctl.
void announce_cim_client(RunState& state) {
    logger.info("CIM client: %s", cimClientDescription().c_str());
    state.set("cim_client", cimClientDescription());
}

} // namespace

void handler(int signo, Intake& intake, Forwarder& forwarder) {
    // The files of the intake in use.
    const IntakePaths paths = intake.where();
    logger.info("caught %d signal and terminate", signo);
    // The document in hand is finished; nothing more is read from the pipe.
    intake.stop();
    unlink(paths.temp.c_str());
    // A pipe held by systemd stays, with whatever is written into it until the next start.
    if (!intake.pipePassed()) {
        unlink(paths.fifo.c_str());
    }
    // No writer can open the pipe any more: what it still holds, and what the intake
    // had not handled yet, is kept for the next start.
    intake.saveUnhandled(kWriterGraceMs);
    forwarder.stop();
    unlink(paths::kPidFile);
    logger.close();
    _exit(0);
}

int daemon_main(int argc, char** argv) {
    // Whatever the daemon creates is private unless given a mode of its own.
    umask(077);

    const char* slash = strrchr(argv[0], '/');
    const char* progname = slash != nullptr ? slash + 1 : argv[0];

    Options options;
    if (std::optional<int> status = read_options(argc, argv, progname, options)) {
        return *status;
    }
    if (!may_start(progname)) {
        return 255;
    }
    take_signals();
    // Under systemd the pipe comes as descriptor 3; the check needs the pid that
    // systemd started, so it comes before waiting for readiness and detaching.
    int passedFifo = -1;
    if (!passed_fifo(progname, &passedFifo)) {
        return 255;
    }
    // Before any thread or child, and after the passed descriptors are taken (the
    // password's own descriptor must not be taken for one of them).
    const files::Fd password = secrets::takeBmcPassword();
    // Tells the starting command how the start went, from here to ready() or a failure.
    readiness::Reporter reporter;
    detach(progname, reporter);
    RunState state; // what this daemon publishes about itself (an earlier one's is gone)
    announce_cim_client(state);
    // Made before any thread uses it for the parser's objects or the registration.
    SfcbClient client;
    Intake intake(client);
    Forwarder forwarder(&state); // a stop before its start keeps it from starting
    start_signal_thread(intake, forwarder, reporter);
    open_pipe(intake, passedFifo, reporter);

    // The pipe is read from here on, before and while the broker is asked for anything:
    // the broker answers no request while one of its deliveries waits on a full pipe,
    // and a pipe kept across a stop may be full.
    std::thread intakeThread = start_intake(intake, reporter);
    // The subscriber logs "Subscription created." once the broker holds the three
    // objects; a refusal does not end the start: the broker may come later.
    Subscriber subscriber(state, [&client] { return client.createSubscription(); });
    subscribe(subscriber, reporter);

    if (!forwarder.start()) {
        logger.error("Create thread error.");
        fatal_exit(reporter);
    }

    fpl_check_dictionary();
    reporter.ready();
    const std::unique_ptr<Watchdog> watchdog = watch(state, intake, forwarder, reporter);
    // The intake ends only when stopped (the shutdown then ends the process) or fatally.
    intakeThread.join();
    park();
}
