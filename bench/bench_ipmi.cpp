// The IPMI road of the BMC library against the BMC that ORVIND_BMC_LAN names (an ipmi_sim
// that bench/e2e-ipmi.sh starts): one session open and close, and one Add SEL Entry of an
// FPL record on an open session. Skipped without ORVIND_BMC_LAN.
#include "tallow_ipmi.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

bool haveBmc(benchmark::State& state) {
    if (getenv("ORVIND_BMC_LAN") == nullptr) {
        state.SkipWithError("ORVIND_BMC_LAN is not set (run bench/e2e-ipmi.sh)");
        return false;
    }
    return true;
}

void BM_SessionOpenClose(benchmark::State& state) {
    if (!haveBmc(state)) {
        return;
    }
    for (auto _ : state) {
        tallowipmi::Session session;
        if (session.open() != 0) {
            state.SkipWithError(session.error().c_str());
            return;
        }
    }
}
BENCHMARK(BM_SessionOpenClose)->Unit(benchmark::kMillisecond);

void BM_SelAdd(benchmark::State& state) {
    if (!haveBmc(state)) {
        return;
    }
    tallowipmi::Session session;
    if (session.open() != 0) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    const uint8_t body[13] = {0x35, 0x01, 0x04, 0x01, 0xB9, 0, 0x10, 0x5E, 0x5F, 0, 0, 0, 1};
    unsigned id = 0;
    for (auto _ : state) {
        if (session.addSelEntry(0xE0, body, &id) != 0) {
            state.SkipWithError(session.error().c_str());
            return;
        }
    }
}
BENCHMARK(BM_SelAdd)->Unit(benchmark::kMillisecond)->Iterations(500);

} // namespace
