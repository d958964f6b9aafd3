// The "SfcbLocal" connector of a build against an installed CIMC client library. The
// daemon does not link that library: connecting and createInstance run the registration
// helper (orvind-subscribe), which does them through the installed library and answers
// with the broker's code and message. The objects stay the project's own; every other
// operation of the client is not supported, as the daemon needs none.
#include "internal.h"
#include "request.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#ifndef ORVIND_LIBEXECDIR
#define ORVIND_LIBEXECDIR "/usr/local/libexec"
#endif

extern char** environ; // NOLINT(readability-redundant-declaration): spawn takes it

namespace cimc {
namespace {

const char* const helperName = "orvind-subscribe";

struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

// The helper beside the program (a build tree), in <prefix>/libexec/orvind beside
// <prefix>/sbin, else where the build installs it.
std::string helperPath() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<size_t>(n));
        dir.erase(dir.rfind('/'));
        for (const std::string& candidate :
             {dir + "/" + helperName,
              dir.substr(0, dir.rfind('/')) + "/libexec/orvind/" + helperName}) {
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
    }
    return std::string(ORVIND_LIBEXECDIR) + "/orvind/" + helperName;
}

struct SpawnFiles {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attr{};
    SpawnFiles() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnFiles() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnFiles(const SpawnFiles&) = delete;
    SpawnFiles& operator=(const SpawnFiles&) = delete;
};

// The helper's answer: its "rc" line and, when there is one, its "msg" line.
struct Answer {
    std::string rc;
    std::string msg;
    bool hasMsg = false;
};

Answer readAnswer(FILE* from) {
    Answer answer;
    char* raw = nullptr;
    size_t size = 0;
    while (getline(&raw, &size, from) > 0) {
        std::string line(raw);
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (line.compare(0, 3, "rc ") == 0) {
            answer.rc = line.substr(3);
        } else if (line.compare(0, 4, "msg ") == 0) {
            answer.msg = remote::unescape(line.substr(4));
            answer.hasMsg = true;
        }
    }
    free(raw);
    return answer;
}

// Starts the helper with `in` as its standard input and `out` as its standard output,
// every signal at its default and none blocked, whatever the daemon's threads have
// blocked. 0 or an errno value.
int spawnHelper(const std::string& path, int in, int out, pid_t* pid) {
    SpawnFiles spawn;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&spawn.attr, &none);
    posix_spawnattr_setsigdefault(&spawn.attr, &all);
    posix_spawnattr_setflags(&spawn.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_adddup2(&spawn.actions, in, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, out, 1);
    std::string arg0 = helperName;
    char* argv[] = {&arg0[0], nullptr};
    return posix_spawn(pid, path.c_str(), &spawn.actions, &spawn.attr, argv, environ);
}

// A pipe whose two ends are owned as streams (both empty when it cannot be made).
bool makePipe(File& readEnd, File& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fdopen(fds[0], "r"));
    if (!readEnd) {
        close(fds[0]);
    }
    writeEnd.reset(fdopen(fds[1], "w"));
    if (!writeEnd) {
        close(fds[1]);
    }
    return readEnd && writeEnd;
}

// Runs the helper with the request on its standard input and reads its answer into *st.
// A helper that cannot be run or gives no answer fails with CIMC_RC_ERR_FAILED.
CIMCrc runHelper(const std::string& request, CIMCStatus* st) {
    const std::string path = helperPath();
    auto failed = [&](const std::string& why) {
        setStatus(st, CIMC_RC_ERR_FAILED, (path + ": " + why).c_str());
        return CIMC_RC_ERR_FAILED;
    };
    File helperIn;
    File toHelper;
    File fromHelper;
    File helperOut;
    if (!makePipe(helperIn, toHelper) || !makePipe(fromHelper, helperOut)) {
        return failed("no pipe");
    }
    // The request (a few hundred bytes) goes into the pipe before the helper starts: the
    // pipe holds it, and a helper that ends without reading it cannot raise SIGPIPE here.
    fputs(request.c_str(), toHelper.get());
    toHelper.reset();
    pid_t pid = -1;
    const int error = spawnHelper(path, fileno(helperIn.get()), fileno(helperOut.get()), &pid);
    helperIn.reset();
    helperOut.reset();
    if (error != 0) {
        return failed("cannot run: " + std::error_code(error, std::generic_category()).message());
    }
    const Answer answer = readAnswer(fromHelper.get());
    fromHelper.reset();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (answer.rc.empty() || answer.rc.find_first_not_of("0123456789") != std::string::npos) {
        return failed(WIFSIGNALED(status)
                          ? "killed by signal " + std::to_string(WTERMSIG(status))
                          : "no answer (exit status " + std::to_string(WEXITSTATUS(status)) + ")");
    }
    const auto code = static_cast<CIMCrc>(std::stoi(answer.rc));
    setStatus(st, code, answer.hasMsg ? answer.msg.c_str() : nullptr);
    return code;
}

int writePath(CIMCObjectPath* op, std::string& request, int& paths);

// A key's or property's name and value as the request carries them (" NAME ref N" or
// " NAME chars TEXT"), the name released; false for a value of any other type.
bool namedValue(CIMCString* name, const CIMCData& d, std::string& request, int& paths,
                std::string& line) {
    line += chars(name);
    if (name != nullptr) {
        name->ft->release(name);
    }
    if (d.type == CIMC_ref && d.value.ref != nullptr) {
        line += " ref " + std::to_string(writePath(d.value.ref, request, paths));
    } else if (d.type == CIMC_string) {
        line += " chars " + remote::escape(chars(d.value.string));
    } else {
        return false;
    }
    return true;
}

// The `n` named values `at` hands out, each as a line "PREFIX NAME ..." added to `lines`
// (the paths they refer to written first); false at the first that is neither text nor a
// reference, or, with `skip`, such values passed over.
template <class At>
bool namedLines(unsigned n, const At& at, const char* prefix, bool skip, std::string& request,
                int& paths, std::string& lines) {
    for (unsigned i = 0; i < n; ++i) {
        CIMCString* name = nullptr;
        const CIMCData d = at(i, &name);
        std::string line = prefix;
        if (namedValue(name, d, request, paths, line)) {
            lines += line + "\n";
        } else if (!skip) {
            return false;
        }
    }
    return true;
}

// The lines of a path (and of the paths its keys refer to, first); its number returned.
int writePath(CIMCObjectPath* op, std::string& request, int& paths) {
    std::string keys;
    namedLines(
        op->ft->getKeyCount(op, nullptr),
        [op](unsigned i, CIMCString** name) { return op->ft->getKeyAt(op, i, name, nullptr); }, " ",
        true, request, paths, keys);
    const int number = ++paths;
    CIMCString* ns = op->ft->getNameSpace(op, nullptr);
    CIMCString* cn = op->ft->getClassName(op, nullptr);
    request += "path " + std::to_string(number) + " " + chars(ns) + " " + chars(cn) + "\n";
    for (CIMCString* s : {ns, cn}) {
        if (s != nullptr) {
            s->ft->release(s);
        }
    }
    size_t start = 0;
    while (start < keys.size()) {
        const size_t end = keys.find('\n', start);
        request += "key " + std::to_string(number) + keys.substr(start, end + 1 - start);
        start = end + 1;
    }
    return number;
}

CIMCStatus releaseClient(CIMCClient* cl) {
    delete cl;
    return status(CIMC_RC_OK);
}

CIMCStatus notSupported() {
    return status(CIMC_RC_ERR_NOT_SUPPORTED, "not supported by the registration helper");
}

CIMCObjectPath* createInstance(CIMCClient* cl, CIMCObjectPath* op, CIMCInstance* inst,
                               CIMCStatus* st) {
    if (cl == nullptr || op == nullptr || inst == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no client, object path or instance given");
        return nullptr;
    }
    std::string request = "connect SfcbLocal\n";
    int paths = 0;
    const int created = writePath(op, request, paths);
    std::string properties;
    if (!namedLines(
            inst->ft->getPropertyCount(inst, nullptr),
            [inst](unsigned i, CIMCString** name) {
                return inst->ft->getPropertyAt(inst, i, name, nullptr);
            },
            "property ", false, request, paths, properties)) {
        setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED,
                  "the registration helper carries text and reference properties only");
        return nullptr;
    }
    request += "create " + std::to_string(created) + "\n" + properties;
    if (runHelper(request, st) != CIMC_RC_OK) {
        return nullptr;
    }
    return op->ft->clone(op, nullptr);
}

// The operations the daemon never asks for.
CIMCClient* clone(CIMCClient*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCClass* getClass(CIMCClient*, CIMCObjectPath*, CIMCFlags, char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* enumPaths(CIMCClient*, CIMCObjectPath*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* enumFlagged(CIMCClient*, CIMCObjectPath*, CIMCFlags, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCInstance* getInstance(CIMCClient*, CIMCObjectPath*, CIMCFlags, char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCStatus setInstance(CIMCClient*, CIMCObjectPath*, CIMCInstance*, CIMCFlags, char**) {
    return notSupported();
}
CIMCStatus deleteInstance(CIMCClient*, CIMCObjectPath*) {
    return notSupported();
}
CIMCEnumeration* execQuery(CIMCClient*, CIMCObjectPath*, const char*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* enumInstances(CIMCClient*, CIMCObjectPath*, CIMCFlags, char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* associators(CIMCClient*, CIMCObjectPath*, const char*, const char*, const char*,
                             const char*, CIMCFlags, char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* associatorNames(CIMCClient*, CIMCObjectPath*, const char*, const char*,
                                 const char*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* references(CIMCClient*, CIMCObjectPath*, const char*, const char*, CIMCFlags,
                            char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCEnumeration* referenceNames(CIMCClient*, CIMCObjectPath*, const char*, const char*,
                                CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return nullptr;
}
CIMCData invokeMethod(CIMCClient*, CIMCObjectPath*, const char*, CIMCArgs*, CIMCArgs*,
                      CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return missingData();
}
CIMCStatus setProperty(CIMCClient*, CIMCObjectPath*, const char*, CIMCValue*, CIMCType) {
    return notSupported();
}
CIMCData getProperty(CIMCClient*, CIMCObjectPath*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED);
    return missingData();
}

CIMCClientFT clientFT = {1,           releaseClient,  clone,          getClass,    enumFlagged,
                         enumFlagged, getInstance,    createInstance, setInstance, deleteInstance,
                         execQuery,   enumPaths,      enumInstances,  associators, associatorNames,
                         references,  referenceNames, invokeMethod,   setProperty, getProperty};

} // namespace

// Connecting asks the helper to connect, so that a broker that is not there is reported
// where the installed library would report it.
CIMCClient* connectLocal(CIMCStatus* st) {
    if (runHelper("connect SfcbLocal\n", st) != CIMC_RC_OK) {
        return nullptr;
    }
    return new CIMCClient{nullptr, &clientFT};
}

} // namespace cimc
