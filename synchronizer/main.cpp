#include "daemon.h"
#include "logger.h"

Logger logger; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

int main(int argc, char** argv) {
    return daemon_main(argc, argv);
}
