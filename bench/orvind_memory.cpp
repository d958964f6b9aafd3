// Resident memory of the daemon over a long run: starts the real daemon binary in
// the tests' isolated root, raises indications with the broker tool and prints the
// daemon's resident memory (VmRSS) once 1,000 and once all of them (20,000 unless
// ORVIND_BENCH_COUNT says otherwise) are stored, and the growth between the two.
// Parsed indications are built from the project's own CIMC objects, which give all
// their memory back, so the growth should stay within 1 MiB.
//
//     orvind-bench-memory        (as root)
#include "brokertool.h"
#include "sandbox.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

size_t storedRows() {
    return strtoul(Sandbox::queryValue("select count(*) from indication").c_str(), nullptr, 10);
}

// Raises `count` indications and waits until `total` rows are stored, or until
// no row has come for ten seconds (a delivery the broker lost). The rows stored.
size_t raiseAndStore(size_t count, size_t total) {
    ToolResult r =
        runBrokerTool({"raise", "--class", "VEXA_AlertIndication", "--count", std::to_string(count),
                       "-p", "ProviderName:string=Fan", "-p", "EventID:string=12", "-p",
                       "NetworkAddresses:string[]=10.0.0.5,fe80::5"},
                      Sandbox::kBrokerRepository);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t last = storedRows();
    for (int quiet = 0; last < total && quiet < 100; ++quiet) {
        usleep(100000);
        size_t now = storedRows();
        if (now != last) {
            quiet = 0;
            last = now;
        }
    }
    return last;
}

} // namespace

TEST(Memory, ResidentMemoryStaysFlatOverManyIndications) {
    const char* given = getenv("ORVIND_BENCH_COUNT");
    const size_t total = given != nullptr ? strtoul(given, nullptr, 10) : 20000;
    const size_t first = 1000;
    ASSERT_GT(total, first);

    Sandbox sb;
    sb.startDaemon();
    pid_t daemon = sb.daemonPid();
    ASSERT_GT(daemon, 0);
    const long atStart = residentKiB(daemon);
    size_t stored = raiseAndStore(first, first);
    const long atFirst = residentKiB(daemon);
    const size_t storedFirst = stored;
    // In batches, so that the broker tool's own documents stay small.
    for (size_t raised = first; raised < total;) {
        size_t batch = std::min<size_t>(5000, total - raised);
        raised += batch;
        stored = raiseAndStore(batch, raised);
    }
    const long atTotal = residentKiB(daemon);
    printf("| daemon resident memory | KiB |\n|---|---|\n");
    printf("| after start-up | %ld |\n| after %zu indications | %ld |\n", atStart, storedFirst,
           atFirst);
    printf("| after %zu indications | %ld |\n", stored, atTotal);
    printf("| growth from %zu to %zu | %ld |\n", storedFirst, stored, atTotal - atFirst);
    if (stored < total) {
        printf("%zu of %zu raised indications were not stored\n", total - stored, total);
    }
    EXPECT_LE(atTotal - atFirst, 1024) << "KiB of growth";
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}
