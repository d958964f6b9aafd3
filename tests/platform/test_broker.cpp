// The local broker stand-in: its repository shared by processes, and the orvind-broker
// tool delivering indications the way the real broker does.
#include "broker/indication.h"
#include "broker/repository.h"
#include "broker/subscriptions.h"
#include "brokertool.h"
#include "testlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

const std::string trailerLine = "=========== End of Indication ===========\n";

std::string data(const std::string& name) {
    return readFile(std::string(ORVIND_TEST_DATA) + "/broker/" + name);
}

broker::Object handler(const std::string& name, const std::string& destination) {
    broker::Path path{"root/interop", "CIM_IndicationHandlerCIMXML", {}};
    path.keys = {{"CreationClassName", broker::stringValue("CIM_IndicationHandlerCIMXML")},
                 {"Name", broker::stringValue(name)}};
    return broker::Object{path, {{"Destination", broker::stringValue(destination)}}};
}

// The indication documents delivered into a file, each without its trailer.
std::vector<std::string> documents(const std::string& delivered) {
    std::vector<std::string> docs;
    std::string sep = "\n" + trailerLine;
    size_t start = 0;
    for (size_t at; (at = delivered.find(sep, start)) != std::string::npos;
         start = at + sep.size()) {
        docs.push_back(delivered.substr(start, at - start));
    }
    EXPECT_EQ(start, delivered.size()) << "a document without its trailer";
    return docs;
}

// The text of the first VALUE of the named property.
std::string valueOf(const std::string& doc, const std::string& name) {
    size_t at = doc.find("<VALUE>", doc.find("NAME=\"" + name + "\"")) + 7;
    return doc.substr(at, doc.find("</VALUE>", at) - at);
}

// clang-format off
const std::vector<std::string> alertArgs = {
    "raise", "--class", "VEXA_AlertIndication", "--namespace", "root/zarn", "--message-id", "17",
    "-p", "ProviderName:string=Fan Monitor Provider", "-p", "PerceivedSeverity:uint16=6",
    "-p", "OtherSeverity:string", "-p", "IndicationTime:datetime=20140315123456.000000+060",
    "-p", "NetworkAddresses:string[]=10.0.0.5,fe80::5"};
// clang-format on

TEST(BrokerRepository, PersistsAcrossProcessesAndChecksWhatItRegisters) {
    TempDir dir;
    subscribeTo(dir.path(), "file:///tmp/x");
    // Another process, the same objects: each refused as already there.
    ToolResult again = runBrokerTool(
        {"subscribe", "--name", "orvind", "--destination", "file:///tmp/x"}, dir.path());
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out.find(": 0"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("CIM_IndicationFilter: 11 "), std::string::npos) << again.out;
    ToolResult list = runBrokerTool({"list", "--class", "CIM_IndicationHandlerCIMXML"}, dir.path());
    EXPECT_NE(list.out.find("string Destination = \"file:///tmp/x\""), std::string::npos)
        << list.out;
    EXPECT_EQ(list.out.find("CIM_IndicationFilter."), std::string::npos) << list.out;

    broker::Repository repo(dir.path());
    std::vector<broker::Object> objects;
    ASSERT_TRUE(repo.list(&objects).good());
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[2].path.className, "CIM_IndicationSubscription");
    // Keys compare without case and in any order.
    EXPECT_TRUE(repo.create(handler("h", "file:///tmp/x")).good());
    broker::Object same = handler("h", "file:///tmp/other");
    std::swap(same.path.keys[0], same.path.keys[1]);
    same.path.keys[1].name = "creationclassname";
    EXPECT_EQ(repo.create(same).code, broker::alreadyExists);
    broker::Object outside = handler("o", "file:///tmp/x");
    outside.path.ns = "root/cimv2";
    EXPECT_EQ(repo.create(outside).code, broker::notSupported);
    broker::Object noDestination = handler("n", "");
    noDestination.properties.clear();
    EXPECT_EQ(repo.create(noDestination).code, broker::invalidParameter);

    ToolResult bad =
        runBrokerTool({"subscribe", "--name", "q", "--query",
                       "SELECT Name FROM CIM_ProcessIndication", "--destination", "file:///tmp/x"},
                      dir.path());
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("CIM_IndicationFilter: 15 "), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("CIM_IndicationSubscription: 6 "), std::string::npos) << bad.out;

    writeFile(dir.file("objects"), "not a repository\n");
    broker::Status st = repo.list(&objects);
    EXPECT_EQ(st.code, broker::failed);
    EXPECT_NE(st.message.find("repository"), std::string::npos);
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

TEST(BrokerSchema, SubclassesAndNamespacesSelectTheSubscriptions) {
    TempDir dir;
    subscribeTo(dir.path(), "file:///tmp/x");
    EXPECT_EQ(runBrokerTool({"define-class", "VEXA_Lifecycle", "CIM_InstIndication", "Stage:uint32",
                             "Parts:string[]"},
                            dir.path())
                  .status,
              0);
    EXPECT_EQ(runBrokerTool({"define-class", "A", "B", "C:uint32=1"}, dir.path()).status, 1);
    broker::Repository repo(dir.path());
    std::vector<broker::Target> targets;
    // Classes named nowhere are provider classes under CIM_ProcessIndication.
    for (const auto& [cls, ns, count] : std::vector<std::tuple<std::string, std::string, size_t>>{
             {"CIM_ProcessIndication", "root/zarn", 1},
             {"CIM_AlertIndication", "root/zarn", 1},
             {"VEXA_AlertIndication", "ROOT/Zarn", 1},
             {"VEXA_AlertIndication", "root/cimv2", 0},
             {"CIM_InstCreation", "root/zarn", 0},
             {"CIM_Indication", "root/zarn", 0},
             {"VEXA_Lifecycle", "root/zarn", 0}}) {
        EXPECT_TRUE(broker::findTargets(repo, cls, ns, &targets).good());
        EXPECT_EQ(targets.size(), count) << cls << " in " << ns;
    }
    ASSERT_TRUE(broker::findTargets(repo, "VEXA_AlertIndication", "root/zarn", &targets).good());
    EXPECT_EQ(targets.at(0).filterName, "orvind");
    EXPECT_EQ(targets.at(0).destination, "file:///tmp/x");

    std::string cls;
    EXPECT_TRUE(broker::parseQuery("select  *  from CIM_AlertIndication", &cls));
    EXPECT_EQ(cls, "CIM_AlertIndication");
    EXPECT_FALSE(broker::parseQuery("SELECT * FROM A WHERE B = 1", &cls));
    EXPECT_FALSE(broker::parseQuery("SELECT Name FROM A", &cls));
}

// The document, its escaping and its trailer, byte for byte as the real broker writes
// them; a missing path becomes a regular file that grows.
TEST(BrokerDelivery, FilesGetTheDocumentAndTrailerByteForByte) {
    TempDir dir;
    std::string target = dir.file("indications.tmp");
    subscribeTo(dir.path(), "file://" + target);
    ToolResult r = runBrokerTool(alertArgs, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "raised 1 indication of VEXA_AlertIndication in root/zarn: 1 delivered, 0 "
                     "failed\n");
    ASSERT_EQ(runBrokerTool(alertArgs, dir.path()).status, 0);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
    EXPECT_EQ(readFile(target), data("alert.delivery") + data("alert.delivery"));

    std::string file = std::string(ORVIND_TEST_DATA) + "/broker/prepared.xml";
    ASSERT_EQ(unlink(target.c_str()), 0);
    r = runBrokerTool({"raise", "--document", file, "--count", "2"}, dir.path());
    EXPECT_NE(r.out.find("of VEXA_ThermalIndication in root/zarn: 2 delivered"), std::string::npos)
        << r.out;
    std::string one = data("prepared.xml") + "\n" + trailerLine;
    EXPECT_EQ(readFile(target), one + one) << "a prepared document goes out unchanged";

    TempDir other; // numbers its messages from 1 again
    std::string escaped = other.file("escaped.tmp");
    subscribeTo(other.path(), "file://" + escaped, "a&b");
    r = runBrokerTool({"raise", "--class", "VEXA_Alert<Indication>", "--no-check", "-p",
                       "Description:string=<b>\"Fan\" & 'Co'</b>\nL\xC3\xBC"
                       "fter",
                       "-p", "Empty:string=", "-p", "Gone:uint16", "-p", "None:uint8[]=", "-p",
                       "Absent:uint8[]", "-p", "Flag:boolean=TRUE"},
                      other.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(escaped), data("escaping.delivery"));
}

TEST(BrokerDelivery, PipeGetsTheDocumentOnlyWhileItHasAReader) {
    TempDir dir;
    std::string fifo = dir.file("indications.tmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    subscribeTo(dir.path(), "file://" + fifo);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(runBrokerTool(alertArgs, dir.path()).status, 0);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(reader, buf, sizeof buf)) > 0) {
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0) << "the writer has closed, so the reader sees end of file";
    close(reader);
    EXPECT_EQ(got, data("alert.delivery"));

    // Without a reader the broker opens read-write, never blocks, and counts the lost
    // document a delivery.
    ToolResult r = runBrokerTool(alertArgs, dir.path());
    EXPECT_NE(r.out.find("1 delivered, 0 failed"), std::string::npos) << r.out;
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(read(reader, buf, sizeof buf), 0);
    close(reader);
}

TEST(BrokerDelivery, LoadFromThreadsKeepsEveryDocumentWholeAndNumbered) {
    TempDir dir;
    std::string target = dir.file("indications.tmp");
    subscribeTo(dir.path(), "file://" + target);
    subscribeTo(dir.path(), "file://" + dir.file("second.tmp"), "second");
    ToolResult r = runBrokerTool({"raise", "--class", "CIM_AlertIndication", "--count", "30",
                                  "--threads", "4", "--sequence", "-p", "N:uint32=1"},
                                 dir.path());
    EXPECT_NE(r.out.find("60 delivered, 0 failed"), std::string::npos) << r.out << r.err;
    std::set<std::string> ids, sequence;
    for (const std::string& doc : documents(readFile(target))) {
        ids.insert(doc.substr(doc.find("<MESSAGE ID=\""), 20));
        sequence.insert(valueOf(doc, "SequenceNumber"));
        EXPECT_EQ(valueOf(doc, "N"), "1");
    }
    EXPECT_EQ(ids.size(), 30u);
    EXPECT_EQ(sequence.size(), 30u);
    EXPECT_EQ(sequence.count("0") + sequence.count("29"), 2u);
    EXPECT_EQ(documents(readFile(dir.file("second.tmp"))).size(), 30u);

    // The next run numbers on, per destination; the broker's three properties
    // come right after the first one.
    writeFile(target, "");
    r = runBrokerTool({"raise", "--class", "CIM_AlertIndication", "--sequence", "-p", "N:uint32=1"},
                      dir.path());
    std::vector<std::string> docs = documents(readFile(target));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(valueOf(docs[0], "SequenceNumber"), "30");
    size_t previous = 0;
    for (const char* name : {"\"N\"", "\"SequenceNumber\"", "\"SequenceContext\"",
                             "\"IndicationFilterName\"", "\"IndicationIdentifier\""}) {
        size_t at = docs[0].find(std::string("NAME=") + name);
        EXPECT_GT(at, previous) << name;
        previous = at;
    }
}

TEST(BrokerTool, FailedOpenIsRetriedThenReported) {
    TempDir dir;
    subscribeTo(dir.path(), "file://" + dir.file("missing/indications.tmp"));
    ToolResult r = runBrokerTool(
        {"raise", "--class", "CIM_AlertIndication", "--retries", "2", "--retry-interval", "0"},
        dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("0 delivered, 1 failed"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;

    std::string repo = dir.file("var/lib/cim-broker");
    EXPECT_EQ(runBrokerTool({"init"}, repo).status, 0);
    EXPECT_TRUE(broker::Repository(repo).available()) << "init makes the folder";
}

TEST(BrokerTool, BadInputGivesOneLineAndFails) {
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {"raise", "--class", "X", "-p", "A:float=1"},
        {"raise", "--class", "X", "-p", "A=1"},
        {"raise", "--class", "X", "-p", "A:uint8=256"},
        {"raise", "--class", "X", "-p", "A:boolean=yes"},
        {"raise", "--class", "X", "-p", "A:real64=1.5x"},
        {"raise", "--class", "X", "--count", "0"},
        {"raise", "--document", dir.file("absent.xml")},
        {"raise"},
        {"frobnicate"},
    };
    for (const auto& args : cases) {
        ToolResult r = runBrokerTool(args, dir.path());
        std::string shown = args.empty() ? "" : args.back();
        EXPECT_GT(r.status, 0) << shown << ": did not fail normally";
        EXPECT_EQ(r.err.rfind("orvind-broker: ", 0), 0u) << shown << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << r.err;
    }
    ToolResult missing = runBrokerTool({"raise", "--class", "X"}, dir.file("no-such-repository"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
}

} // namespace
