// SfcbClient against a real broker repository in a temporary folder. Each start runs in
// a process of its own with a client of its own, as the daemon does. What each start logged and
// what the repository then holds is compared with tests/data/broker/registered.expected
// (ORVIND_UPDATE_GOLDEN=1 writes it anew).
#include "sfcbclient.h"

#include "broker/repository.h"
#include "broker/subscriptions.h"
#include "logger.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

// These cases hold this project's own CIMC layer and broker to their behaviour; in a
// build against an installed client library (played by the stand-in library in
// tests/platform/test_system_cimc.sh) they go through orvind-subscribe, with the same
// outcome.

namespace {

// A start of the daemon's client: it registers and makes an instance for the parser,
// locally (the broker would keep an instance of an indication class for good). The exit
// status tells whether the instance's object path was as expected; the
// registration's result is logged after the client's own lines.
std::string start() {
    clearTestLog();
    const int status = inChild([] {
        SfcbClient client;
        const SubscriptionResult result = client.createSubscription();
        logger.info("result: %d %s", result.code, result.message.c_str());
        CIMCInstance* inst = client.createInstance("VEXA_AlertIndication");
        CIMCObjectPath* op = inst->ft->getObjectPath(inst, nullptr);
        CIMCString* s = op->ft->toString(op, nullptr);
        const bool local =
            std::string(static_cast<const char*>(s->hdl)) == "root/zarn:VEXA_AlertIndication";
        return local ? 0 : 2;
    });
    std::string out;
    for (const std::string& entry : logEntries()) {
        out += entry + "\n";
    }
    return out + "exit status " + std::to_string(status) + "\n";
}

std::string repository(const std::string& dir) {
    std::vector<broker::Object> objects;
    broker::Status st = broker::Repository(dir).list(&objects);
    EXPECT_TRUE(st.good()) << st.message;
    return broker::formatRepository(objects);
}

} // namespace

// The first start registers the filter, the handler (its destination the pipe's URL) and
// the subscription naming both; a second start is refused by the broker (with an empty
// message), which counts as made; without the broker the connection fails, which is the
// result, and nothing crashes.
TEST(SfcbClient, FirstStartRegistersSecondIsRefusedNoBrokerIsLogged) {
    TempDir dir;
    setenv("ORVIND_BROKER_DIR", dir.path().c_str(), 1);
    // Each start's registrations, and none for an instance (in statements of their own:
    // the repository is read after the start).
    std::string out = "== first start\n" + start();
    out += repository(dir.path());
    out += "== second start\n" + start();
    out += repository(dir.path());
    setenv("ORVIND_BROKER_DIR", dir.file("not-running").c_str(), 1);
    out += "== without the broker\n" + start();
    expectGolden(ORVIND_TEST_DATA "/broker/registered.expected",
                 substituted(out, dir.path(), "DIR"));
}
