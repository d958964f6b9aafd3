#ifndef ORVIND_CIMCLIENT_H
#define ORVIND_CIMCLIENT_H

#include "paths.h"

#include <string>

// Which CIMC client library this build registers through, in words: the daemon logs it at
// start-up and publishes it as the fact "cim_client", and orvindctl shows it. The build
// defines ORVIND_CIMC_LIBRARY (the installed library's file) when it uses the installed one.
inline std::string cimClientDescription() {
#ifdef ORVIND_CIMC_LIBRARY
    return std::string("system library ") + ORVIND_CIMC_LIBRARY;
#else
    return std::string("built-in stand-in (evaluation: registers in ") + paths::kBrokerRepository +
           ")";
#endif
}

#endif
