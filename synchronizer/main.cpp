#include "daemon.h"
#include "logger.h"

Logger logger;

int main(int argc, char** argv) {
    return daemon_main(argc, argv);
}
