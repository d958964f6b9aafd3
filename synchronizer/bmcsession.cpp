#include "bmcsession.h"

#include <tallow.h>

namespace {

const int kOpenFlags = BMC_OPEN_ACCESS | BMC_OPEN_EVENTS;
const std::chrono::seconds kIdleClose(1);

} // namespace

BMC_t* BmcSession::get(int* rc) {
    if (!handle && failure == 0) {
        handle = open_bmc(kOpenFlags, &failure);
    }
    if (rc != nullptr) {
        *rc = failure;
    }
    used = std::chrono::steady_clock::now();
    return handle.get();
}

void BmcSession::close() {
    handle.reset();
}

void BmcSession::newPass() {
    failure = 0;
}

void BmcSession::closeIfIdle() {
    if (handle && std::chrono::steady_clock::now() - used >= kIdleClose) {
        handle.reset();
    }
}
