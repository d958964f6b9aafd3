// orvind-broker: the provider side of the local CIM broker. It raises
// indications and delivers them to every subscription whose filter selects
// them, exactly as the broker writes to file:// destinations, and shows and
// edits what is registered in the broker's repository.
#include "broker/gate.h"
#include "broker/indication.h"
#include "broker/repository.h"
#include "broker/subscriptions.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const usageText =
    R"(Usage: orvind-broker [--dir DIR] COMMAND [OPTIONS]

The provider side of the local CIM broker. The repository folder is DIR, else
$ORVIND_BROKER_DIR, else /var/lib/cim-broker.

Commands:
  init                 create the repository folder
  raise                raise indications and deliver them to every subscription
                       whose filter selects them (class or subclass, namespace)
    -c, --class NAME        indication class (default: the document's CLASSNAME)
    -n, --namespace NS      namespace the indication is raised in (default root/zarn)
    -p, --property PROPERTY a property, repeatable, in the order given:
                              Name:type=value        scalar
                              Name:type              NULL
                              Name:type[]=v1,v2      array (\, and \\ inside elements)
                              Name:type[]=           empty array
                              Name:type[]            NULL array
                            types: string uint8 sint8 uint16 sint16 uint32 sint32
                            uint64 sint64 real32 real64 boolean char16 datetime
        --no-check          take values as they stand, unchecked
    -d, --document FILE     deliver FILE's content as the document, unchanged
                            (no properties are added, no message id is set)
        --count N           raise N indications (default 1)
        --threads T         raise them from T threads at once (default 1)
        --message-id N      MESSAGE ID of the first document (default 1); each
                            document built takes the next
        --sequence          add SequenceContext and SequenceNumber, as the broker
                            does when delivery retries are on
        --retries N         retries of a failed open (default 3)
        --retry-interval S  seconds between retries (default 20)
        --times FILE        write, for each delivered document, the monotonic clock
                            in nanoseconds when it was raised and when delivered
                       Every document built carries IndicationFilterName, the
                       filter's Name. Prints how many deliveries were made; exits
                       1 when one failed.
  list                 print every registered object
        --class NAME        only objects of this class
  subscribe            register a filter, a CIM-XML handler and a subscription
        --name NAME         Name of filter and handler (default orvind-broker)
        --namespace NS      the filter's SourceNamespace (default root/zarn)
        --query-class NAME  the filter selects SELECT * FROM NAME
                            (default CIM_ProcessIndication)
        --query TEXT        the filter's query as given
        --destination URL   the handler's Destination, for example
                            file:///tmp/indications.tmp (required)
  define-class CLASS SUPERCLASS [Name:type]...
                       name an indication class's superclass for filter
                       matching (its properties, Name:type[] for an array,
                       are kept for the reader; a document carries what the
                       raised indication holds); classes named nowhere count
                       as subclasses of CIM_ProcessIndication
  help, --help         this text
  -V, --version        the version
)";

class UsageError {
public:
    explicit UsageError(std::string m) : message(std::move(m)) {}
    std::string message;
};

int fail(const std::string& message) {
    // Every command but init needs the repository; init makes it.
    const bool noRepository = message.find("repository folder") != std::string::npos &&
                              message.find("does not exist") != std::string::npos;
    fprintf(stderr, "orvind-broker: %s%s\n", message.c_str(),
            noRepository ? "; create it with 'orvind-broker init' (and the same --dir)" : "");
    return 1;
}

// Reads the options of one command from argv[from...].
class Args {
public:
    Args(int argc, char** argv, int from) : args_(argv + from, argv + argc) {}

    bool done() const { return pos_ >= args_.size(); }
    const std::string& peek() const { return args_[pos_]; }
    std::string next() { return args_[pos_++]; }

    // Whether the current argument is the option (short or long); *value
    // receives its value when it takes one.
    bool is(const char* shortName, const char* longName, std::string* value = nullptr) {
        const std::string& a = args_[pos_];
        std::string eq = std::string(longName) + "=";
        if (value != nullptr && a.compare(0, eq.size(), eq) == 0) {
            *value = a.substr(eq.size());
            ++pos_;
            return true;
        }
        if (a != longName && (shortName == nullptr || a != shortName)) {
            return false;
        }
        ++pos_;
        if (value != nullptr) {
            if (done()) {
                throw UsageError(std::string("option ") + longName + " needs a value");
            }
            *value = args_[pos_++];
        }
        return true;
    }

private:
    std::vector<std::string> args_;
    size_t pos_ = 0;
};

unsigned long long number(const std::string& text, const char* what, unsigned long long min,
                          unsigned long long max) {
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || n < min || n > max) {
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + text + "'");
    }
    return n;
}

bool readWholeFile(const std::string& path, std::string* content, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path + ": " + broker::errorText(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    *content = s.str();
    return true;
}

// The CLASSNAME of the document's first INSTANCE.
std::string documentClass(const std::string& doc) {
    size_t at = doc.find("<INSTANCE");
    if (at == std::string::npos) {
        return "";
    }
    at = doc.find("CLASSNAME=\"", at);
    if (at == std::string::npos) {
        return "";
    }
    at += 11;
    size_t end = doc.find('"', at);
    return end == std::string::npos ? "" : doc.substr(at, end - at);
}

broker::Repository openRepository(const std::string& dir) {
    return broker::Repository(dir.empty() ? broker::defaultDirectory() : dir);
}

int cmdInit(const std::string& dir, Args& args) {
    if (!args.done()) {
        throw UsageError("init takes no arguments");
    }
    broker::Repository repo = openRepository(dir);
    std::error_code error;
    std::filesystem::create_directories(repo.directory(), error);
    if (error) {
        return fail("cannot create " + repo.directory() + ": " + error.message());
    }
    std::string why;
    if (!repo.available(&why)) {
        return fail(why);
    }
    printf("repository folder %s ready\n", repo.directory().c_str());
    return 0;
}

struct RaiseOptions {
    std::string cls;
    std::string ns = "root/zarn";
    std::vector<broker::Property> properties;
    std::string document;
    bool prepared = false;
    unsigned long long count = 1;
    unsigned threads = 1;
    unsigned long long messageId = 1;
    bool sequence = false;
    unsigned retries = 3;
    unsigned retryInterval = 20;
    std::string times;
    // As given; prepareRaise checks the properties and reads the document.
    std::vector<std::string> givenProperties;
    std::string documentFile;
    bool check = true;
};

// The options of raise as given; UsageError for an unknown option or a wrong number.
RaiseOptions raiseOptions(Args& args) {
    RaiseOptions o;
    std::string v;
    while (!args.done()) {
        if (args.is("-c", "--class", &v)) {
            o.cls = v;
        } else if (args.is("-n", "--namespace", &v)) {
            o.ns = v;
        } else if (args.is("-p", "--property", &v)) {
            o.givenProperties.push_back(v);
        } else if (args.is(nullptr, "--no-check")) {
            o.check = false;
        } else if (args.is("-d", "--document", &v)) {
            o.documentFile = v;
        } else if (args.is(nullptr, "--count", &v)) {
            o.count = number(v, "--count", 1, 100000000);
        } else if (args.is(nullptr, "--threads", &v)) {
            o.threads = static_cast<unsigned>(number(v, "--threads", 1, 256));
        } else if (args.is(nullptr, "--message-id", &v)) {
            o.messageId = number(v, "--message-id", 0, ~0ULL / 2);
        } else if (args.is(nullptr, "--sequence")) {
            o.sequence = true;
        } else if (args.is(nullptr, "--retries", &v)) {
            o.retries = static_cast<unsigned>(number(v, "--retries", 0, 100));
        } else if (args.is(nullptr, "--retry-interval", &v)) {
            o.retryInterval = static_cast<unsigned>(number(v, "--retry-interval", 0, 3600));
        } else if (args.is(nullptr, "--times", &v)) {
            o.times = v;
        } else {
            throw UsageError("unknown option '" + args.peek() + "' for raise");
        }
    }
    return o;
}

// Checks the properties, reads the document and settles the class: 0, else the exit
// status of a failure (UsageError for a wrong command line).
int prepareRaise(RaiseOptions& o) {
    for (const std::string& given : o.givenProperties) {
        broker::Property p;
        std::string error;
        if (!broker::parseProperty(given, o.check, &p, &error)) {
            throw UsageError(error);
        }
        o.properties.push_back(p);
    }
    if (!o.documentFile.empty()) {
        if (!o.givenProperties.empty()) {
            throw UsageError("--document and --property do not go together");
        }
        std::string error;
        if (!readWholeFile(o.documentFile, &o.document, &error)) {
            return fail(error);
        }
        o.prepared = true;
        if (o.cls.empty()) {
            o.cls = documentClass(o.document);
        }
    }
    if (o.cls.empty()) {
        throw UsageError(o.prepared ? "the document names no class; give --class"
                                    : "raise needs --class");
    }
    return 0;
}

// One run of raise: builds the documents and delivers each to every target, from as
// many threads as asked.
class Raise {
public:
    Raise(const RaiseOptions& options, std::vector<broker::Target> targets)
        : o_(options), targets_(std::move(targets)), messageId_(options.messageId) {}

    // Sequence numbers count per destination, on from where the last run left them, as
    // the broker's do. Empty, else what failed.
    std::string reserveSequences(const std::string& repositoryDir);

    // The SequenceContext the documents carry: names this run of the tool.
    void describe(std::string context) { context_ = std::move(context); }

    void run();
    // Writes the raise and delivery times to the --times file: 0, else the exit status.
    int writeTimes();
    unsigned long long delivered() const { return delivered_; }
    unsigned long long failed() const { return failed_; }

private:
    static long long now() {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
    }
    std::string document(size_t target);
    void deliverOne(size_t target);
    void worker(unsigned first);

    const RaiseOptions& o_;
    const std::vector<broker::Target> targets_;
    std::vector<size_t> slotOf_;
    std::vector<std::atomic<long long>> sequence_;
    std::string context_;
    std::string repositoryDir_;
    std::atomic<unsigned long long> messageId_;
    std::atomic<unsigned long long> delivered_{0};
    std::atomic<unsigned long long> failed_{0};
    std::mutex timesLock_;
    std::vector<std::pair<long long, long long>> times_;
};

std::string Raise::reserveSequences(const std::string& repositoryDir) {
    repositoryDir_ = repositoryDir;
    std::map<std::string, size_t> slot;
    std::vector<unsigned long long> perSlot;
    for (const broker::Target& t : targets_) {
        slotOf_.push_back(slot.emplace(t.destination, slot.size()).first->second);
        perSlot.resize(slot.size());
        perSlot[slotOf_.back()] += o_.count;
    }
    sequence_ = std::vector<std::atomic<long long>>(slot.size());
    for (const auto& [destination, index] : slot) {
        long long first = 0;
        if (o_.sequence && !o_.prepared) {
            broker::Status reserved =
                broker::reserveSequence(repositoryDir, destination, perSlot[index], &first);
            if (!reserved.good()) {
                return reserved.message;
            }
        }
        sequence_[index] = first;
    }
    return "";
}

// The document for one delivery to targets_[target]: the given one, or one built with
// the next message id and the target's sequence number.
std::string Raise::document(size_t target) {
    if (o_.prepared) {
        return o_.document;
    }
    std::vector<broker::Property> added;
    if (o_.sequence) {
        broker::Property number{"SequenceNumber", broker::stringValue("")};
        number.value.type = "sint64";
        number.value.items[0] = std::to_string(sequence_[slotOf_[target]]++);
        added.push_back(number);
        added.push_back(broker::Property{"SequenceContext", broker::stringValue(context_)});
    }
    added.push_back(
        broker::Property{"IndicationFilterName", broker::stringValue(targets_[target].filterName)});
    // The broker's own properties stand together, at a place that changes from document
    // to document (nothing may rely on it): after as many given ones as the message id,
    // counted round the given ones and the end.
    const unsigned long long messageId = messageId_++;
    const size_t at = static_cast<size_t>(messageId % (o_.properties.size() + 1));
    return broker::buildDocument(o_.cls, broker::documentProperties(o_.properties, added, at),
                                 messageId);
}

void Raise::deliverOne(size_t target) {
    const long long raised = now();
    const broker::Target& t = targets_[target];
    const std::string doc = document(target);
    if (t.destination.compare(0, 7, "file://") != 0) {
        fprintf(stderr,
                "orvind-broker: delivery to %s failed: only file:// destinations "
                "are supported\n",
                t.destination.c_str());
        ++failed_;
        return;
    }
    int err = 0;
    for (unsigned attempt = 0; attempt <= o_.retries; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::seconds(o_.retryInterval));
        }
        {
            // No request to the broker is answered while this delivery is under way, also
            // while it waits on a full pipe.
            broker::Gate delivering(repositoryDir_, broker::Gate::delivery);
            err = broker::deliverToFile(t.destination, doc);
        }
        if (err == 0) {
            ++delivered_;
            if (!o_.times.empty()) {
                std::lock_guard<std::mutex> lock(timesLock_);
                times_.emplace_back(raised, now());
            }
            return;
        }
    }
    fprintf(stderr, "orvind-broker: delivery to %s failed: %s\n", t.destination.c_str(),
            broker::errorText(err).c_str());
    ++failed_;
}

void Raise::worker(unsigned first) {
    for (unsigned long long i = first; i < o_.count; i += o_.threads) {
        for (size_t t = 0; t < targets_.size(); ++t) {
            deliverOne(t);
        }
    }
}

void Raise::run() {
    unsigned threads = o_.count < o_.threads ? static_cast<unsigned>(o_.count) : o_.threads;
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) {
        pool.emplace_back(&Raise::worker, this, t);
    }
    worker(0);
    for (std::thread& t : pool) {
        t.join();
    }
}

int Raise::writeTimes() {
    if (o_.times.empty()) {
        return 0;
    }
    std::ofstream out(o_.times);
    for (const auto& [raised, delivered] : times_) {
        out << raised << ' ' << delivered << '\n';
    }
    if (!out.flush()) {
        return fail("cannot write " + o_.times);
    }
    return 0;
}

int cmdRaise(const std::string& dir, Args& args) {
    RaiseOptions o = raiseOptions(args);
    if (int status = prepareRaise(o)) {
        return status;
    }
    broker::Repository repo = openRepository(dir);
    std::string why;
    if (!repo.available(&why)) {
        return fail(why);
    }
    std::vector<broker::Target> targets;
    broker::Status st = broker::findTargets(repo, o.cls, o.ns, &targets);
    if (!st.good()) {
        return fail(st.message);
    }
    Raise raise(o, std::move(targets));
    std::string error = raise.reserveSequences(repo.directory());
    if (!error.empty()) {
        return fail(error);
    }
    raise.describe("orvind-broker:" + std::to_string(getpid()) + ":" +
                   std::to_string(time(nullptr)));
    raise.run();
    if (int status = raise.writeTimes()) {
        return status;
    }
    printf("raised %llu indication%s of %s in %s: %llu delivered, %llu failed\n", o.count,
           o.count == 1 ? "" : "s", o.cls.c_str(), o.ns.c_str(), raise.delivered(), raise.failed());
    return raise.failed() == 0 ? 0 : 1;
}

std::string showValue(const broker::Value& v) {
    if (v.null) {
        return "NULL";
    }
    std::vector<std::string> items;
    if (v.type == "reference") {
        for (const broker::Path& p : v.refs) {
            items.push_back(broker::pathText(p));
        }
    } else {
        items = v.items;
    }
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : ", ") + (v.type == "reference" ? items[i] : "\"" + items[i] + "\"");
    }
    return v.array ? "{" + text + "}" : text;
}

int cmdList(const std::string& dir, Args& args) {
    std::string cls;
    std::string v;
    while (!args.done()) {
        if (args.is(nullptr, "--class", &v)) {
            cls = v;
        } else {
            throw UsageError("unknown option '" + args.peek() + "' for list");
        }
    }
    broker::Repository repo = openRepository(dir);
    std::vector<broker::Object> objects;
    broker::Status st = repo.list(&objects);
    if (!st.good()) {
        return fail(st.message);
    }
    for (const broker::Object& o : objects) {
        if (!cls.empty() && !broker::sameName(o.path.className, cls)) {
            continue;
        }
        printf("%s\n", broker::pathText(o.path).c_str());
        for (const broker::Property& p : o.properties) {
            printf("    %s %s%s = %s\n", p.value.type.c_str(), p.name.c_str(),
                   p.value.array ? "[]" : "", showValue(p.value).c_str());
        }
    }
    return 0;
}

broker::Property key(const std::string& name, const std::string& value) {
    return broker::Property{name, broker::stringValue(value)};
}

int cmdSubscribe(const std::string& dir, Args& args) {
    std::string name = "orvind-broker";
    std::string ns = "root/zarn";
    std::string query = "SELECT * FROM CIM_ProcessIndication";
    std::string destination;
    std::string v;
    while (!args.done()) {
        if (args.is(nullptr, "--name", &v)) {
            name = v;
        } else if (args.is(nullptr, "--namespace", &v)) {
            ns = v;
        } else if (args.is(nullptr, "--query-class", &v)) {
            query = "SELECT * FROM " + v;
        } else if (args.is(nullptr, "--query", &v)) {
            query = v;
        } else if (args.is(nullptr, "--destination", &v)) {
            destination = v;
        } else {
            throw UsageError("unknown option '" + args.peek() + "' for subscribe");
        }
    }
    if (destination.empty()) {
        throw UsageError("subscribe needs --destination");
    }
    broker::Repository repo = openRepository(dir);
    auto path = [&](const std::string& cls) {
        broker::Path p{"root/interop", cls, {}};
        p.keys = {key("SystemCreationClassName", "CIM_ComputerSystem"),
                  key("SystemName", "localhost"), key("CreationClassName", cls), key("Name", name)};
        return p;
    };
    broker::Object filter{
        path("CIM_IndicationFilter"),
        {key("Query", query), key("QueryLanguage", "WQL"), key("SourceNamespace", ns)}};
    broker::Object handler{path("CIM_IndicationHandlerCIMXML"),
                           {key("Name", name), key("Destination", destination)}};
    broker::Value filterRef{"reference", false, false, {}, {filter.path}};
    broker::Value handlerRef{"reference", false, false, {}, {handler.path}};
    broker::Object subscription{broker::Path{"root/interop",
                                             "CIM_IndicationSubscription",
                                             {{"Filter", filterRef}, {"Handler", handlerRef}}},
                                {{"Filter", filterRef}, {"Handler", handlerRef}}};
    int rc = 0;
    for (const broker::Object* o : {&filter, &handler, &subscription}) {
        broker::Status st = repo.create(*o);
        printf("%s: %d%s%s\n", o->path.className.c_str(), st.code, st.good() ? "" : " ",
               st.message.c_str());
        if (!st.good() && st.code != broker::alreadyExists) {
            rc = 1;
        }
    }
    return rc;
}

int cmdDefineClass(const std::string& dir, Args& args) {
    if (args.done()) {
        throw UsageError("define-class needs CLASS and SUPERCLASS");
    }
    std::string cls = args.next();
    if (args.done()) {
        throw UsageError("define-class needs CLASS and SUPERCLASS");
    }
    std::string super = args.next();
    std::vector<std::string> properties;
    while (!args.done()) {
        properties.push_back(args.next());
    }
    broker::Repository repo = openRepository(dir);
    std::string why;
    if (!repo.available(&why)) {
        return fail(why);
    }
    broker::Status st = broker::Schema::define(repo.directory(), cls, super, properties);
    if (!st.good()) {
        return fail(st.message);
    }
    return 0;
}

int runCommand(const std::string& dir, const std::string& command, Args& args) {
    if (command == "init") {
        return cmdInit(dir, args);
    }
    if (command == "raise") {
        return cmdRaise(dir, args);
    }
    if (command == "list") {
        return cmdList(dir, args);
    }
    if (command == "subscribe") {
        return cmdSubscribe(dir, args);
    }
    if (command == "define-class") {
        return cmdDefineClass(dir, args);
    }
    throw UsageError("unknown command '" + command + "'");
}

} // namespace

int main(int argc, char** argv) {
    // Writing into a pipe whose reader went away must not end the tool.
    signal(SIGPIPE, SIG_IGN);
    try {
        int i = 1;
        std::string dir;
        while (i < argc && argv[i][0] == '-') {
            std::string a = argv[i];
            if (a == "--help" || a == "-h") {
                fputs(usageText, stdout);
                return 0;
            }
            if (a == "--version" || a == "-V") {
                printf("orvind-broker %s\n", ORVIND_VERSION);
                return 0;
            }
            if (a == "--dir" && i + 1 < argc) {
                dir = argv[i + 1];
                i += 2;
            } else if (a.compare(0, 6, "--dir=") == 0) {
                dir = a.substr(6);
                ++i;
            } else {
                throw UsageError("unknown option '" + a + "'");
            }
        }
        if (i >= argc) {
            throw UsageError("no command given");
        }
        std::string command = argv[i];
        Args args(argc, argv, i + 1);
        // "raise --help" and the like: the help, not an error.
        bool help = command == "help";
        for (int j = i + 1; j < argc; ++j) {
            help = help || strcmp(argv[j], "--help") == 0;
        }
        if (help) {
            fputs(usageText, stdout);
            return 0;
        }
        return runCommand(dir, command, args);
    } catch (const UsageError& e) {
        fprintf(stderr, "orvind-broker: %s (see orvind-broker --help)\n", e.message.c_str());
        return 2;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
