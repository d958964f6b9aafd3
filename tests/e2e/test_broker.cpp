#include "sandbox.h"
#include "testlog.h"

#include <runstate.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The daemon against what the broker does to it: a pipe left full while the daemon was
// stopped, a broker that is not there or refuses at start-up, deliveries lost before the
// daemon.

namespace {

const std::string kRefusal = "Subscription not created: ";

std::string fact(const std::string& name) {
    const auto facts = RunState::read();
    const auto found = facts.find(name);
    return found == facts.end() ? "(none)" : found->second;
}

// Bytes waiting in the pipe, read through the descriptor that holds it.
int waiting(int keeper) {
    int bytes = 0;
    return ioctl(keeper, FIONREAD, &bytes) == 0 ? bytes : -1;
}

} // namespace

// With the pipe kept across a stop, the broker goes on delivering until the pipe is full,
// and then its delivery waits, and with it every request to the broker. The restarted
// daemon reads the pipe before it registers: it is ready within 5 s and every document
// is stored once.
TEST(BrokerHazard, RestartWithAFullPipeIsReadyAndStoresEverything) {
    const int kDocuments = 1500; // more than the pipe's 1 MiB holds
    Sandbox sb;
    const int keeper = sb.keepPipe();
    sb.startDaemon();
    ASSERT_EQ(sb.stop(SIGTERM), 0);
    std::atomic<bool> raised{false};
    // Should the daemon not read, the pipe is drained here so that the raise can end.
    JoiningThread provider(
        [&] {
            Sandbox::raiseIndications(kDocuments);
            raised = true;
        },
        [&] {
            Sandbox::waitUntil([&] { return raised.load(); });
            char chunk[65536];
            while (!raised) {
                if (read(keeper, chunk, sizeof chunk) <= 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        });
    // Full: no more bytes come (pages of the pipe are not all filled to the brim).
    int level = 0;
    ASSERT_TRUE(Sandbox::waitUntil(
        [&] {
            const int before = level;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            level = waiting(keeper);
            return level > (1 << 19) && level == before;
        },
        60000))
        << level << " bytes in the pipe";
    ASSERT_FALSE(raised) << "the broker's delivery did not wait on the full pipe";

    sb.launch();
    EXPECT_EQ(sb.launcherStatus(5000), 0) << Sandbox::log();
    provider.join();
    const std::string all = std::to_string(kDocuments);
    // Patient: a busy machine may take a while over 1,500 documents.
    EXPECT_TRUE(Sandbox::waitUntil(
        [&] { return Sandbox::queryValue("select count(*) from indication") == all; }, 90000))
        << Sandbox::queryValue("select count(*) from indication") << " stored";
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::queryValue("select count(distinct RawData) from indication"), all)
        << "each document once";
    EXPECT_EQ(Sandbox::countLog("[info] Subscription created."), 2u);
}

// A broker that is not there at start-up, then one that refuses: the start succeeds
// all the same, each answer is one error line (also on the terminal for the first),
// the registration is tried again in the background and made as soon as the broker
// takes it; documents then arrive. What the daemon knows is published for orvindctl.
TEST(BrokerHazard, RegistrationIsTriedAgainUntilTheBrokerTakesIt) {
    Sandbox sb;
    const std::string repository = Sandbox::kBrokerRepository;
    ASSERT_EQ(rmdir(repository.c_str()), 0);
    sb.startDaemon();
    const std::string absent =
        kRefusal +
        "connect() rc=1, msg=Cannot connect to the local CIM broker: the CIM "
        "broker's repository folder " +
        repository + " does not exist";
    EXPECT_THAT(Sandbox::launcherOutput(2), testing::HasSubstr(absent));
    EXPECT_EQ(Sandbox::countContaining("[error] " + absent), 1u) << Sandbox::log();
    EXPECT_EQ(fact("subscribed"), "0");
    EXPECT_THAT(fact("subscription_refusal"), testing::HasSubstr(" connect() rc=1, msg="));

    // The broker comes, with a repository it cannot read: the filter is refused.
    ASSERT_EQ(mkdir(repository.c_str(), 0755), 0);
    writeFile(repository + "/objects", "not a repository\n");
    const std::string refused = kRefusal + "createFilter () rc=1, msg=";
    ASSERT_TRUE(Sandbox::waitUntil([&] { return Sandbox::countContaining(refused) == 1; }))
        << Sandbox::log();
    EXPECT_EQ(Sandbox::countLog("[info] Subscription created."), 0u);
    ASSERT_EQ(unlink((repository + "/objects").c_str()), 0);
    ASSERT_TRUE(Sandbox::waitForLog("[info] Subscription created.")) << Sandbox::log();
    EXPECT_EQ(fact("subscribed"), "1");
    EXPECT_EQ(fact("subscribed_since").size(), 20u) << fact("subscribed_since");
    EXPECT_THAT(fact("subscription_refusal"), testing::HasSubstr(" createFilter () rc=1, msg="));
    EXPECT_EQ(Sandbox::countContaining(kRefusal), 2u) << "one line per answer:\n" << Sandbox::log();

    Sandbox::raiseIndications(3);
    EXPECT_TRUE(Sandbox::waitUntil([] {
        return Sandbox::queryValue("select count(*) from indication") == "3";
    })) << Sandbox::log();
    EXPECT_EQ(sb.stop(SIGTERM), 0);
}

// The broker numbers its deliveries when retries are on. 300 numbered in one run of the
// broker: 20 of them delivered while the daemon was dead and its pipe had no reader (lost
// without a trace), 10 pairs delivered the other way round. A minute after the later
// ones came, the 20 are counted lost upstream with one warning line, the reordered ones
// not at all; a new run of the broker starts a count of its own.
TEST(BrokerHazard, LossBeforeTheDaemonIsCountedFromTheBrokersNumbers) {
    Sandbox sb;
    sb.startDaemon();
    auto raise = [](const std::string& context, int number) {
        Sandbox::raiseIndications(1, {"-p", "SequenceContext:string=" + context, "-p",
                                      "SequenceNumber:sint64=" + std::to_string(number)});
    };
    for (int n = 0; n < 300; ++n) {
        if (n == 100) {
            // Stored first: what still sat in the pipe would die with the reader too.
            ASSERT_TRUE(Sandbox::waitUntil([] {
                return Sandbox::queryValue("select count(*) from indication") == "100";
            })) << Sandbox::queryValue("select count(*) from indication");
            ASSERT_EQ(sb.stop(SIGKILL), 128 + SIGKILL);
            for (; n < 120; ++n) {
                raise("broker#1", n); // into a pipe without a reader
            }
            unlink(Sandbox::kPidFile);
            sb.startDaemon();
        }
        // Pairs from 200 on come the other way round.
        raise("broker#1", n >= 200 && n < 220 ? n ^ 1 : n);
    }
    raise("broker#2", 7);
    ASSERT_TRUE(Sandbox::waitUntil([] {
        return Sandbox::queryValue("select count(*) from indication") == "281";
    })) << Sandbox::queryValue("select count(*) from indication");
    std::this_thread::sleep_for(std::chrono::seconds(61));
    raise("broker#2", 8); // the count is made when rows are stored
    const std::string line = "[warn] Lost before the daemon: the broker's deliveries 100 to 119 "
                             "of broker#1 never arrived (20).";
    EXPECT_TRUE(Sandbox::waitForLog(line)) << Sandbox::log();
    EXPECT_EQ(Sandbox::queryValue("select sum(Missing) || ' ' || sum(Repeated) from "
                                  "upstream_sequence"),
              "20 0");
    EXPECT_EQ(sb.stop(SIGTERM), 0);
    EXPECT_EQ(Sandbox::countContaining("Lost before the daemon"), 1u);
}
