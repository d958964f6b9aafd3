// The local broker stand-in: its repository shared by processes, and the orvind-broker
// tool delivering indications the way the real broker does.
#include "broker/repository.h"
#include "testlog.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

broker::Object handler(const std::string& name, const std::string& destination) {
    broker::Path path{"root/interop", "CIM_IndicationHandlerCIMXML", {}};
    path.keys = {{"CreationClassName", broker::stringValue("CIM_IndicationHandlerCIMXML")},
                 {"Name", broker::stringValue(name)}};
    return broker::Object{path, {{"Destination", broker::stringValue(destination)}}};
}

TEST(BrokerRepository, ProcessesCreatingAtOnceLoseNothing) {
    TempDir dir;
    const int perProcess = 40;
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        if ((children[p] = fork()) == 0) {
            broker::Repository repo(dir.path());
            int bad = 0;
            for (int i = 0; i < perProcess; ++i) {
                std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
                bad += repo.create(handler(name, "file:///tmp/x")).good() ? 0 : 1;
                // Both try the same object; only one may win.
                int code = repo.create(handler("shared-" + std::to_string(i), "file:///x")).code;
                bad += code == broker::ok || code == broker::alreadyExists ? 0 : 1;
            }
            _exit(bad == 0 ? 0 : 1);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<broker::Object> objects;
    ASSERT_TRUE(broker::Repository(dir.path()).list(&objects).good());
    std::set<std::string> ids;
    for (const broker::Object& o : objects) {
        ids.insert(broker::identity(o.path));
    }
    EXPECT_EQ(objects.size(), 3u * perProcess);
    EXPECT_EQ(ids.size(), objects.size());
}

// Each transcript starts with an empty repository of its own.
class BrokerTool : public testing::TestWithParam<const char*> {};

TEST_P(BrokerTool, AnswersAsItsTranscriptSays) {
    TempDir dir;
    setenv("ORVIND_BROKER_DIR", dir.path().c_str(), 1);
    std::string data = std::string(ORVIND_TEST_DATA) + "/broker/";
    checkTranscript(data + GetParam() + ".transcript", {{"DIR", dir.path()}, {"DATA", data}});
}

INSTANTIATE_TEST_SUITE_P(Transcripts, BrokerTool, testing::Values("registration", "delivery"));

} // namespace
