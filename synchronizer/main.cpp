#include "logger.h"

Logger logger;

int main() {
    return 0;
}
