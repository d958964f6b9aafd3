#include "broker/repository.h"
#include "broker/subscriptions.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace broker {

namespace {

const char* header = "cim-broker repository 1";

// The namespace the providers raise their indications in.
const char* providerNamespace = "root/zarn";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

bool isNumeric(const std::string& type) {
    return type != "string" && type != "datetime" && type != "char16" && type != "reference";
}

std::string valueText(const Value& v) {
    if (v.null) {
        return "NULL";
    }
    if (v.type == "reference") {
        return v.refs.empty() ? "NULL" : quoted(pathText(v.refs[0]));
    }
    std::string item = v.items.empty() ? "" : v.items[0];
    return isNumeric(v.type) ? item : quoted(item);
}

// ---- the file format: tab-separated fields, each percent-encoded -----------

std::string encode(const std::string& field) {
    std::string out;
    for (char c : field) {
        switch (c) {
        case '%':
            out += "%25";
            break;
        case '\t':
            out += "%09";
            break;
        case '\n':
            out += "%0A";
            break;
        case '\r':
            out += "%0D";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool decode(const std::string& field, std::string* out) {
    out->clear();
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            *out += field[i];
            continue;
        }
        if (i + 2 >= field.size()) {
            return false;
        }
        char hex[3] = {field[i + 1], field[i + 2], 0};
        char* end = nullptr;
        long c = strtol(hex, &end, 16);
        if (end != hex + 2) {
            return false;
        }
        *out += static_cast<char>(c);
        i += 2;
    }
    return true;
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t end = line.find(sep, start);
        fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return fields;
        }
        start = end + 1;
    }
}

std::string formatPath(const Path& path);
bool parsePath(const std::string& text, Path* out);

// name, type ("[]" for arrays), "value" or "null", then the elements.
std::string formatProperty(const char* kind, const Property& p) {
    std::string line = std::string(kind) + "\t" + encode(p.name) + "\t" +
                       encode(p.value.type + (p.value.array ? "[]" : "")) + "\t" +
                       (p.value.null ? "null" : "value");
    if (!p.value.null) {
        if (p.value.type == "reference") {
            for (const Path& ref : p.value.refs) {
                line += "\t" + encode(formatPath(ref));
            }
        } else {
            for (const std::string& item : p.value.items) {
                line += "\t" + encode(item);
            }
        }
    }
    return line;
}

bool parseProperty(const std::vector<std::string>& f, Property* p) {
    if (f.size() < 4 || (f[3] != "value" && f[3] != "null")) {
        return false;
    }
    std::string type;
    if (!decode(f[1], &p->name) || !decode(f[2], &type)) {
        return false;
    }
    p->value = Value{};
    p->value.array = type.size() > 2 && type.compare(type.size() - 2, 2, "[]") == 0;
    p->value.type = p->value.array ? type.substr(0, type.size() - 2) : type;
    p->value.null = f[3] == "null";
    for (size_t i = 4; i < f.size(); ++i) {
        std::string item;
        if (!decode(f[i], &item)) {
            return false;
        }
        if (p->value.type == "reference") {
            Path ref;
            if (!parsePath(item, &ref)) {
                return false;
            }
            p->value.refs.push_back(ref);
        } else {
            p->value.items.push_back(item);
        }
    }
    return p->value.array || p->value.null || p->value.items.size() + p->value.refs.size() == 1;
}

std::string formatPath(const Path& path) {
    std::string text = "path\t" + encode(path.ns) + "\t" + encode(path.className);
    for (const Property& key : path.keys) {
        text += "\n" + formatProperty("key", key);
    }
    return text;
}

bool parsePath(const std::string& text, Path* out) {
    std::vector<std::string> lines = split(text, '\n');
    std::vector<std::string> head = split(lines[0], '\t');
    if (head.size() != 3 || head[0] != "path" || !decode(head[1], &out->ns) ||
        !decode(head[2], &out->className)) {
        return false;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f = split(lines[i], '\t');
        Property key;
        if (f[0] != "key" || !parseProperty(f, &key)) {
            return false;
        }
        out->keys.push_back(key);
    }
    return true;
}

bool readFile(const std::string& path, std::string* content, std::string* error) {
    content->clear();
    FILE* f = fopen(path.c_str(), "re");
    if (f == nullptr) {
        if (errno == ENOENT) {
            return true; // nothing registered yet
        }
        *error = "cannot read " + path + ": " + errorText(errno);
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        content->append(buf, n);
    }
    bool good = ferror(f) == 0;
    fclose(f);
    if (!good) {
        *error = "cannot read " + path;
    }
    return good;
}

std::string objectsFile(const std::string& dir) {
    return dir + "/objects";
}

Status load(const std::string& dir, std::vector<Object>* objects) {
    std::string text;
    std::string error;
    if (!readFile(objectsFile(dir), &text, &error) || !parseRepository(text, objects, &error)) {
        return Status{failed, error};
    }
    return Status{};
}

std::vector<Object>::const_iterator findObject(const std::vector<Object>& objects,
                                               const Path& path) {
    std::string id = identity(path);
    return std::find_if(objects.begin(), objects.end(),
                        [&](const Object& o) { return identity(o.path) == id; });
}

// The checks of the interop classes the broker provides.
Status validate(const Object& object, const std::vector<Object>& objects) {
    const std::string& cls = object.path.className;
    if (sameName(cls, "CIM_IndicationFilter")) {
        const Value* query = findValue(object, "Query");
        const Value* language = findValue(object, "QueryLanguage");
        std::string lang = language != nullptr && !language->null && !language->items.empty()
                               ? language->items[0]
                               : "";
        if (!sameName(lang, "WQL") && !sameName(lang, "CQL") && !sameName(lang, "DMTF:CQL")) {
            return Status{queryLanguageNotSupported,
                          "query language '" + lang + "' is not supported"};
        }
        std::string queryClass;
        if (query == nullptr || query->null || query->items.empty() ||
            !parseQuery(query->items[0], &queryClass)) {
            return Status{invalidQuery, "only queries of the form SELECT * FROM <class> are "
                                        "supported"};
        }
    } else if (sameName(cls, "CIM_IndicationHandlerCIMXML") ||
               sameName(cls, "CIM_ListenerDestinationCIMXML")) {
        const Value* destination = findValue(object, "Destination");
        if (destination == nullptr || destination->null || destination->items.empty()) {
            return Status{invalidParameter, "the handler has no Destination"};
        }
    } else if (sameName(cls, "CIM_IndicationSubscription")) {
        for (const char* role : {"Filter", "Handler"}) {
            const Value* ref = findValue(object, role);
            if (ref == nullptr || ref->null || ref->refs.empty()) {
                return Status{invalidParameter, std::string("the subscription has no ") + role};
            }
            if (findObject(objects, ref->refs[0]) == objects.end()) {
                return Status{notFound, std::string(role) + " " + pathText(ref->refs[0]) +
                                            " is not registered"};
            }
        }
    }
    return Status{};
}

} // namespace

bool sameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool validName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string pathText(const Path& path) {
    std::string text;
    if (!path.ns.empty()) {
        text += path.ns + ":";
    }
    text += path.className;
    for (size_t i = 0; i < path.keys.size(); ++i) {
        text += i == 0 ? "." : ",";
        text += path.keys[i].name + "=" + valueText(path.keys[i].value);
    }
    return text;
}

std::string identity(const Path& path) {
    std::vector<std::string> keys;
    for (const Property& key : path.keys) {
        std::string v = key.value.type == "reference" && !key.value.refs.empty()
                            ? identity(key.value.refs[0])
                            : valueText(key.value);
        keys.push_back(lower(key.name) + "=" + quoted(v));
    }
    std::sort(keys.begin(), keys.end());
    std::string text = lower(path.ns) + ":" + lower(path.className);
    for (const std::string& k : keys) {
        text += "," + k;
    }
    return text;
}

Value stringValue(const std::string& text) {
    Value v;
    v.type = "string";
    v.items.push_back(text);
    return v;
}

const Value* findValue(const Object& object, const std::string& name) {
    for (const Property& key : object.path.keys) {
        if (sameName(key.name, name)) {
            return &key.value;
        }
    }
    for (const Property& p : object.properties) {
        if (sameName(p.name, name)) {
            return &p.value;
        }
    }
    return nullptr;
}

std::string errorText(int error) {
    char buffer[256];
    // The GNU strerror_r answers the text, in the buffer or not.
    return strerror_r(error, buffer, sizeof buffer);
}

std::string defaultDirectory() {
    const char* dir = getenv("ORVIND_BROKER_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/var/lib/cim-broker";
}

bool parseRepository(const std::string& text, std::vector<Object>* out, std::string* error) {
    out->clear();
    if (text.empty()) {
        return true;
    }
    std::vector<std::string> lines = split(text, '\n');
    if (lines[0] != header) {
        *error = "the repository file does not start with \"" + std::string(header) + "\"";
        return false;
    }
    Object* current = nullptr;
    for (size_t n = 1; n < lines.size(); ++n) {
        if (lines[n].empty()) {
            continue;
        }
        std::vector<std::string> f = split(lines[n], '\t');
        bool good = true;
        if (f[0] == "object" && current == nullptr && f.size() == 3) {
            out->push_back(Object{});
            current = &out->back();
            good = decode(f[1], &current->path.ns) && decode(f[2], &current->path.className);
        } else if ((f[0] == "key" || f[0] == "property") && current != nullptr) {
            Property p;
            good = parseProperty(f, &p);
            (f[0] == "key" ? current->path.keys : current->properties).push_back(p);
        } else if (f[0] == "end" && current != nullptr) {
            current = nullptr;
        } else {
            good = false;
        }
        if (!good) {
            *error = "the repository file is damaged at line " + std::to_string(n + 1);
            return false;
        }
    }
    if (current != nullptr) {
        *error = "the repository file ends inside an object";
        return false;
    }
    return true;
}

std::string formatRepository(const std::vector<Object>& objects) {
    std::string text = std::string(header) + "\n";
    for (const Object& o : objects) {
        text += "object\t" + encode(o.path.ns) + "\t" + encode(o.path.className) + "\n";
        for (const Property& key : o.path.keys) {
            text += formatProperty("key", key) + "\n";
        }
        for (const Property& p : o.properties) {
            text += formatProperty("property", p) + "\n";
        }
        text += "end\n";
    }
    return text;
}

FolderLock::FolderLock(const std::string& dir, bool exclusive) {
    std::string path = dir + "/lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0 && !exclusive && (errno == EACCES || errno == EROFS)) {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        error_ = "cannot open " + path + ": " + errorText(errno);
        return;
    }
    int rc;
    do {
        rc = flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error_ = "cannot lock " + path + ": " + errorText(errno);
        close(fd_);
        fd_ = -1;
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        close(fd_); // closing drops the lock
    }
}

bool replaceFile(const std::string& path, const std::string& content, std::string* error) {
    std::string temp = path + ".new." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot write " + temp + ": " + errorText(errno);
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = "cannot write " + temp + ": " + errorText(errno);
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        *error = "cannot write " + temp + ": " + errorText(errno);
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + errorText(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

Repository::Repository(std::string dir) : dir_(std::move(dir)) {}

bool Repository::available(std::string* why) const {
    struct stat st {};
    if (stat(dir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return true;
    }
    if (why != nullptr) {
        *why = "the CIM broker's repository folder " + dir_ + " does not exist";
    }
    return false;
}

namespace {

// Reads the registered objects with the folder locked for writing, lets
// change edit them and writes them back when it succeeds.
template <typename Change> Status rewrite(const Repository& repository, Change change) {
    std::string why;
    if (!repository.available(&why)) {
        return Status{failed, why};
    }
    FolderLock lock(repository.directory(), true);
    if (!lock.held()) {
        return Status{failed, lock.error()};
    }
    std::vector<Object> objects;
    Status st = load(repository.directory(), &objects);
    if (!st.good()) {
        return st;
    }
    st = change(objects);
    if (!st.good()) {
        return st;
    }
    if (!replaceFile(objectsFile(repository.directory()), formatRepository(objects), &why)) {
        return Status{failed, why};
    }
    return Status{};
}

} // namespace

Status Repository::create(const Object& object) {
    if (sameName(object.path.ns, providerNamespace)) {
        // The default instance provider keeps a static instance without keys
        // every time: a keyless path never matches one already there.
        Object stored = object;
        stored.path.keys.clear();
        return rewrite(*this, [&](std::vector<Object>& objects) {
            objects.push_back(stored);
            return Status{};
        });
    }
    if (!sameName(object.path.ns, "root/interop")) {
        return Status{notSupported, "no instance provider for class " + object.path.className +
                                        " in namespace " + object.path.ns};
    }
    return rewrite(*this, [&](std::vector<Object>& objects) {
        if (findObject(objects, object.path) != objects.end()) {
            return Status{alreadyExists, "instance " + pathText(object.path) + " already exists"};
        }
        Status st = validate(object, objects);
        if (st.good()) {
            objects.push_back(object);
        }
        return st;
    });
}

Status Repository::remove(const Path& path) {
    return rewrite(*this, [&](std::vector<Object>& objects) {
        auto it = findObject(objects, path);
        if (it == objects.end()) {
            return Status{notFound, "instance " + pathText(path) + " is not registered"};
        }
        objects.erase(it);
        return Status{};
    });
}

Status Repository::get(const Path& path, Object* out) const {
    std::vector<Object> objects;
    Status st = list(&objects);
    if (!st.good()) {
        return st;
    }
    auto it = findObject(objects, path);
    if (it == objects.end()) {
        return Status{notFound, "instance " + pathText(path) + " is not registered"};
    }
    *out = *it;
    return Status{};
}

Status Repository::list(std::vector<Object>* out) const {
    std::string why;
    if (!available(&why)) {
        return Status{failed, why};
    }
    FolderLock lock(dir_, false);
    if (!lock.held()) {
        return Status{failed, lock.error()};
    }
    return load(dir_, out);
}

} // namespace broker
