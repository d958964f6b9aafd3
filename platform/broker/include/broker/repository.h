// The local CIM broker's repository of registered objects: one text file in a
// folder on disk, shared by every process that uses the broker and guarded
// by flock, so registrations persist across runs.
#ifndef ORVIND_BROKER_REPOSITORY_H
#define ORVIND_BROKER_REPOSITORY_H

#include <string>
#include <vector>

namespace broker {

// CIM status codes the repository answers with (the CIMC_RC_ERR_* values).
enum Code {
    ok = 0,
    failed = 1,
    invalidParameter = 4,
    notFound = 6,
    notSupported = 7,
    alreadyExists = 11,
    queryLanguageNotSupported = 14,
    invalidQuery = 15,
};

struct Status {
    int code = ok;
    std::string message;
    bool good() const { return code == ok; }
};

struct Path;

// The text of an errno value, safe on any thread.
std::string errorText(int error);

// One typed value. Every element is kept as text in the form the indication
// document uses (decimal integers, TRUE/FALSE, the 25-character date-time);
// references are kept as paths.
struct Value {
    // CIM type name: "string", "uint16", "datetime", "reference", ...
    std::string type;
    bool array = false;
    bool null = false;
    std::vector<std::string> items;
    std::vector<Path> refs;
};

struct Property {
    std::string name;
    Value value;
};

struct Path {
    std::string ns;
    std::string className;
    std::vector<Property> keys;
};

struct Object {
    Path path;
    std::vector<Property> properties;
};

// "ns:Class.Key=\"text\",Other=42": keys in their order, quotes and
// backslashes in quoted values escaped.
std::string pathText(const Path& path);
// What makes two paths the same object: namespace, class and key names
// compared without case, keys in any order.
std::string identity(const Path& path);
// A scalar string value.
Value stringValue(const std::string& text);
// A key or, failing that, a property of the object; null when neither exists.
const Value* findValue(const Object& object, const std::string& name);
// Case-insensitive comparison of CIM names.
bool sameName(const std::string& a, const std::string& b);
// Whether a CIM name is made of letters, digits and underscores only.
bool validName(const std::string& name);
// The text in double quotes, its quotes and backslashes escaped, as key
// values stand in a path.
std::string quoted(const std::string& text);

// The folder named by ORVIND_BROKER_DIR, or "/var/lib/cim-broker".
std::string defaultDirectory();

class Repository {
public:
    explicit Repository(std::string dir = defaultDirectory());

    const std::string& directory() const { return dir_; }
    // Whether the folder exists; when it does not, *why tells so.
    bool available(std::string* why = nullptr) const;

    // Registers an object. In "root/zarn" every instance is kept, without
    // its keys, as a new one. In "root/interop": 11 for a path already
    // registered, 14 or 15 for a filter query other than "SELECT * FROM
    // <class>", 4 for a handler without Destination and 6 for a subscription
    // whose filter or handler is not registered. 7 for any other namespace
    // (no instance provider).
    Status create(const Object& object);
    Status remove(const Path& path);
    Status get(const Path& path, Object* out) const;
    // Every registered object, in the order of registration.
    Status list(std::vector<Object>* out) const;

private:
    std::string dir_;
};

// Parses a repository file's text; false with *error when it is damaged.
bool parseRepository(const std::string& text, std::vector<Object>* out, std::string* error);
std::string formatRepository(const std::vector<Object>& objects);

// Runs fn with the repository folder's lock file held (exclusive or
// shared); false with *error when the lock cannot be had.
class FolderLock {
public:
    FolderLock(const std::string& dir, bool exclusive);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

// Replaces a file's content atomically (write a sibling, then rename).
bool replaceFile(const std::string& path, const std::string& content, std::string* error);

} // namespace broker

#endif
