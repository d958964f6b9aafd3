// The IPMI road of the BMC library against the BMC that ORVIND_BMC_LAN names (an ipmi_sim
// that bench/e2e-ipmi.sh starts): one session open and close, one Add SEL Entry of an FPL
// record on an open session, and the read-back of such a record by its id with Get SEL
// Entry. Skipped without ORVIND_BMC_LAN.
#include "tallow_ipmi.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

// The body of an FPL record as the daemon writes it.
const uint8_t kBody[13] = {0x35, 0x01, 0x04, 0x01, 0xB9, 0, 0x10, 0x5E, 0x5F, 0, 0, 0, 1};

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
    unsigned id = 0;
    for (auto _ : state) {
        if (session.addSelEntry(0xE0, kBody, &id) != 0) {
            state.SkipWithError(session.error().c_str());
            return;
        }
    }
}
BENCHMARK(BM_SelAdd)->Unit(benchmark::kMillisecond)->Iterations(500);

void BM_SelGet(benchmark::State& state) {
    if (!haveBmc(state)) {
        return;
    }
    tallowipmi::Session session;
    unsigned id = 0;
    if (session.open() != 0 || session.addSelEntry(0xE0, kBody, &id) != 0) {
        state.SkipWithError(session.error().c_str());
        return;
    }
    for (auto _ : state) {
        tallowipmi::SelRecord record;
        unsigned next = 0;
        if (session.getSelEntry(id, &record, &next) != 0) {
            state.SkipWithError(session.error().c_str());
            return;
        }
    }
}
BENCHMARK(BM_SelGet)->Unit(benchmark::kMillisecond)->Iterations(500);

} // namespace
