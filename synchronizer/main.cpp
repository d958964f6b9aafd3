#include "daemon.h"
#include "logger.h"

// The daemon's log, the one global it keeps: every piece of the daemon reports through
// it, from every thread, up to the line the shutdown writes before the process ends, and
// the tests and tools link the same pieces with a log file of their own. Handing it in
// would add a parameter to nearly every function for no owner but the process itself.
Logger logger; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables): see above

int main(int argc, char** argv) {
    return daemon_main(argc, argv);
}
