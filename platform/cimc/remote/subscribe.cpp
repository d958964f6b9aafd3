// orvind-subscribe: the daemon's registration in the CIM broker, through the installed
// CIMC client library, in a program of its own so that the daemon never links that
// library. It reads one request (remote/request.h) on its standard input, connects, makes
// the object paths and the instance it names, asks the broker to create the instance and
// prints the broker's code and message. Exit status 0 once it has answered, 2 for a
// request it cannot read.
#include "request.h"

#include <cimc/cimc.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

struct EnvRelease {
    void operator()(CIMCEnv* env) const { ReleaseCIMCEnv(env); }
};
struct TextFree {
    void operator()(char* text) const { free(text); }
};
template <typename T> struct Release {
    void operator()(T* object) const { object->ft->release(object); }
};
template <typename T> using Owned = std::unique_ptr<T, Release<T>>;

int answer(int rc, const char* msg) {
    std::cout << "rc " << rc << "\n";
    if (msg != nullptr) {
        std::cout << "msg " << cimc::remote::escape(msg) << "\n";
    }
    return 0;
}

int answer(CIMCStatus& st) {
    const char* msg = st.msg != nullptr ? st.msg->ft->getCharPtr(st.msg, nullptr) : nullptr;
    answer(st.rc, msg);
    if (st.msg != nullptr) {
        st.msg->ft->release(st.msg);
        st.msg = nullptr;
    }
    return 0;
}

void drop(CIMCStatus st) {
    if (st.msg != nullptr) {
        st.msg->ft->release(st.msg);
    }
}

int unreadable(const std::string& line) {
    std::cerr << "orvind-subscribe: cannot read the request line: " << line << "\n";
    return 2;
}

// The object paths and the instance the request builds, with the environment's objects.
struct Objects {
    CIMCEnv* env = nullptr;
    std::map<int, Owned<CIMCObjectPath>> paths;
    Owned<CIMCInstance> inst;
    CIMCObjectPath* created = nullptr;
    CIMCStatus st{};

    CIMCObjectPath* path(int number) {
        auto found = paths.find(number);
        return found != paths.end() ? found->second.get() : nullptr;
    }
};

// A "key" or "property" line after its kind (and path number): NAME TYPE VALUE.
bool setValue(Objects& objects, CIMCObjectPath* keyOf, std::istringstream& in) {
    std::string name;
    std::string type;
    in >> name >> type;
    in.get();
    std::string value;
    std::getline(in, value);
    value = cimc::remote::unescape(value);
    CIMCValue v{};
    CIMCType t = CIMC_chars;
    // With CIMC_chars the value argument is the text itself.
    CIMCValue* given = reinterpret_cast<CIMCValue*>(&value[0]);
    if (type == "ref") {
        v.ref = objects.path(std::atoi(value.c_str()));
        t = CIMC_ref;
        given = &v;
        if (v.ref == nullptr) {
            return false;
        }
    } else if (type != "chars") {
        return false;
    }
    if (keyOf != nullptr) {
        drop(keyOf->ft->addKey(keyOf, name.c_str(), given, t));
    } else {
        drop(objects.inst->ft->setProperty(objects.inst.get(), name.c_str(), given, t));
    }
    return true;
}

// Builds what one request line names. -1 when it is done, else the helper's exit status
// (after an answer for a refusal, or for a line it cannot read).
int build(Objects& objects, const std::string& line) {
    std::istringstream in(line);
    std::string kind;
    int number = 0;
    in >> kind >> number;
    if (kind == "path") {
        std::string ns;
        std::string cn;
        in >> ns >> cn;
        objects.paths[number].reset(
            objects.env->ft->newObjectPath(objects.env, ns.c_str(), cn.c_str(), &objects.st));
        return objects.paths[number] ? -1 : answer(objects.st);
    }
    if (kind == "create" && objects.path(number) != nullptr) {
        objects.created = objects.path(number);
        objects.inst.reset(objects.env->ft->newInstance(objects.env, objects.created, &objects.st));
        return objects.inst ? -1 : answer(objects.st);
    }
    if (kind == "key" && objects.path(number) != nullptr) {
        return setValue(objects, objects.path(number), in) ? -1 : unreadable(line);
    }
    if (kind == "property" && objects.inst) {
        // A property line has no number: read again from its name.
        std::istringstream again(line.substr(kind.size() + 1));
        return setValue(objects, nullptr, again) ? -1 : unreadable(line);
    }
    return unreadable(line);
}

} // namespace

int main() {
    // Nothing the daemon had open is of use here.
    for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
    }
    std::string line;
    if (!std::getline(std::cin, line) || line.compare(0, 8, "connect ") != 0) {
        return unreadable(line);
    }
    int rc = 0;
    char* rawMessage = nullptr;
    std::unique_ptr<CIMCEnv, EnvRelease> env(
        NewCIMCEnv(line.substr(8).c_str(), 0, &rc, &rawMessage));
    std::unique_ptr<char, TextFree> message(rawMessage);
    if (!env) {
        return answer(rc != 0 ? rc : CIMC_RC_ERR_FAILED, message.get());
    }
    CIMCStatus st{};
    Owned<CIMCClient> client(
        env->ft->connect(env.get(), "localhost", nullptr, nullptr, nullptr, nullptr, &st));
    if (!client) {
        if (st.rc == CIMC_RC_OK) {
            st.rc = CIMC_RC_ERR_FAILED;
        }
        return answer(st);
    }
    Objects objects;
    objects.env = env.get();
    while (std::getline(std::cin, line)) {
        const int status = build(objects, line);
        drop(objects.st);
        objects.st = CIMCStatus{};
        if (status >= 0) {
            return status;
        }
    }
    if (objects.created == nullptr) {
        // Only the connection was asked for.
        return answer(CIMC_RC_OK, nullptr);
    }
    Owned<CIMCObjectPath> made(
        client->ft->createInstance(client.get(), objects.created, objects.inst.get(), &st));
    return answer(st);
}
