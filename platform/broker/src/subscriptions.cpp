#include "broker/subscriptions.h"

#include "broker/indication.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace broker {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) {
        out.push_back(w);
    }
    return out;
}

const char* builtIn[][2] = {
    {"CIM_ClassIndication", "CIM_Indication"},
    {"CIM_ClassCreation", "CIM_ClassIndication"},
    {"CIM_ClassDeletion", "CIM_ClassIndication"},
    {"CIM_ClassModification", "CIM_ClassIndication"},
    {"CIM_InstIndication", "CIM_Indication"},
    {"CIM_InstCreation", "CIM_InstIndication"},
    {"CIM_InstDeletion", "CIM_InstIndication"},
    {"CIM_InstModification", "CIM_InstIndication"},
    {"CIM_InstMethodCall", "CIM_InstIndication"},
    {"CIM_InstRead", "CIM_InstIndication"},
    {"CIM_ProcessIndication", "CIM_Indication"},
    {"CIM_AlertIndication", "CIM_ProcessIndication"},
    {"CIM_AlertInstIndication", "CIM_AlertIndication"},
    {"CIM_ThresholdIndication", "CIM_AlertIndication"},
    {"CIM_SNMPTrapIndication", "CIM_ProcessIndication"},
};

std::string text(const Value* v) {
    return v != nullptr && !v->null && !v->items.empty() ? v->items[0] : "";
}

} // namespace

bool parseQuery(const std::string& query, std::string* className) {
    std::vector<std::string> w = words(query);
    if (w.size() != 4 || !sameName(w[0], "SELECT") || w[1] != "*" || !sameName(w[2], "FROM") ||
        !validName(w[3])) {
        return false;
    }
    *className = w[3];
    return true;
}

Schema::Schema() {
    for (const auto& entry : builtIn) {
        add(entry[0], entry[1]);
    }
    add("CIM_Indication", "");
    add("CIM_AlertIndication", "CIM_ProcessIndication");
    add("VEXA_AlertIndication", "CIM_AlertIndication");
}

void Schema::add(const std::string& cls, const std::string& superclass) {
    classes_[lower(cls)] = superclass;
}

Schema Schema::load(const std::string& dir) {
    Schema schema;
    std::ifstream in(dir + "/classes");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> w = words(line);
        if (w.size() >= 2 && w[0][0] != '#' && !sameName(w[0], "CIM_Indication")) {
            schema.add(w[0], w[1]);
        }
    }
    return schema;
}

std::string Schema::superclass(const std::string& cls) const {
    if (sameName(cls, "CIM_Indication")) {
        return "";
    }
    auto it = classes_.find(lower(cls));
    return it != classes_.end() ? it->second : "CIM_ProcessIndication";
}

bool Schema::isA(const std::string& cls, const std::string& base) const {
    std::string c = cls;
    // The depth bound keeps a loop in the classes file from hanging.
    for (int depth = 0; depth < 64 && !c.empty(); ++depth) {
        if (sameName(c, base)) {
            return true;
        }
        c = superclass(c);
    }
    return false;
}

Status Schema::define(const std::string& dir, const std::string& cls, const std::string& superclass,
                      const std::vector<std::string>& properties) {
    if (!validName(cls) || !validName(superclass)) {
        return Status{invalidParameter, "class names are letters, digits and underscores"};
    }
    for (const std::string& given : properties) {
        Property p;
        std::string error;
        if (given.find('=') != std::string::npos ||
            !broker::parseProperty(given, false, &p, &error)) {
            return Status{invalidParameter,
                          "a class property is Name:type or Name:type[], not '" + given + "'"};
        }
    }
    if (sameName(cls, "CIM_Indication")) {
        return Status{invalidParameter, "CIM_Indication is the root and has no superclass"};
    }
    FolderLock lock(dir, true);
    if (!lock.held()) {
        return Status{failed, lock.error()};
    }
    std::string path = dir + "/classes";
    FILE* f = fopen(path.c_str(), "ae");
    if (f == nullptr) {
        return Status{failed, "cannot write " + path + ": " + errorText(errno)};
    }
    std::string line = cls + " " + superclass;
    for (const std::string& given : properties) {
        line += " " + given;
    }
    line += "\n";
    bool good = fwrite(line.data(), 1, line.size(), f) == line.size();
    good = fclose(f) == 0 && good;
    return good ? Status{} : Status{failed, "cannot write " + path};
}

Status reserveSequence(const std::string& dir, const std::string& destination,
                       unsigned long long count, long long* first) {
    FolderLock lock(dir, true);
    if (!lock.held()) {
        return Status{failed, lock.error()};
    }
    // One line per destination: the next number, a blank, the destination.
    std::string path = dir + "/sequence";
    std::vector<std::pair<long long, std::string>> entries;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t blank = line.find(' ');
        if (blank != std::string::npos) {
            entries.emplace_back(std::strtoll(line.c_str(), nullptr, 10), line.substr(blank + 1));
        }
    }
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const auto& e) { return e.second == destination; });
    if (it == entries.end()) {
        entries.emplace_back(0, destination);
        it = entries.end() - 1;
    }
    *first = it->first;
    it->first += static_cast<long long>(count);
    std::string text;
    for (const auto& e : entries) {
        text += std::to_string(e.first) + " " + e.second + "\n";
    }
    std::string error;
    if (!replaceFile(path, text, &error)) {
        return Status{failed, error};
    }
    return Status{};
}

Status findTargets(const Repository& repository, const std::string& cls, const std::string& ns,
                   std::vector<Target>* out) {
    out->clear();
    std::vector<Object> objects;
    Status st = repository.list(&objects);
    if (!st.good()) {
        return st;
    }
    Schema schema = Schema::load(repository.directory());
    auto find = [&](const Value* ref) -> const Object* {
        if (ref == nullptr || ref->null || ref->refs.empty()) {
            return nullptr;
        }
        std::string id = identity(ref->refs[0]);
        for (const Object& o : objects) {
            if (identity(o.path) == id) {
                return &o;
            }
        }
        return nullptr;
    };
    for (const Object& sub : objects) {
        if (!sameName(sub.path.className, "CIM_IndicationSubscription")) {
            continue;
        }
        const Object* filter = find(findValue(sub, "Filter"));
        const Object* handler = find(findValue(sub, "Handler"));
        if (filter == nullptr || handler == nullptr) {
            continue;
        }
        std::string queryClass;
        if (!parseQuery(text(findValue(*filter, "Query")), &queryClass) ||
            !schema.isA(cls, queryClass)) {
            continue;
        }
        // Without SourceNamespace a filter watches its own namespace.
        const Value* source = findValue(*filter, "SourceNamespace");
        std::string sourceNs = source != nullptr ? text(source) : filter->path.ns;
        if (!sameName(sourceNs, ns)) {
            continue;
        }
        out->push_back(Target{pathText(sub.path), text(findValue(*filter, "Name")),
                              text(findValue(*handler, "Destination"))});
    }
    return Status{};
}

} // namespace broker
