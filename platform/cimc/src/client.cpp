// The "SfcbLocal" connector's client: registered objects live in the local
// broker's repository on disk.
#include "internal.h"

#include "broker/gate.h"
#include "broker/repository.h"

#include <cstdio>
#include <cstdlib>

namespace cimc {
namespace {

struct ClientData {
    broker::Repository repository;
};

broker::Repository& repo(CIMCClient* cl) {
    return static_cast<ClientData*>(cl->hdl)->repository;
}

// ---- CIMC values to repository values and back ---------------------------

const struct {
    CIMCType type;
    const char* name;
} typeNames[] = {
    {CIMC_boolean, "boolean"}, {CIMC_char16, "char16"},     {CIMC_real32, "real32"},
    {CIMC_real64, "real64"},   {CIMC_uint8, "uint8"},       {CIMC_uint16, "uint16"},
    {CIMC_uint32, "uint32"},   {CIMC_uint64, "uint64"},     {CIMC_sint8, "sint8"},
    {CIMC_sint16, "sint16"},   {CIMC_sint32, "sint32"},     {CIMC_sint64, "sint64"},
    {CIMC_string, "string"},   {CIMC_dateTime, "datetime"}, {CIMC_ref, "reference"},
};

const char* typeName(CIMCType type) {
    for (const auto& t : typeNames) {
        if (t.type == type) {
            return t.name;
        }
    }
    return nullptr;
}

CIMCType typeCode(const std::string& name) {
    for (const auto& t : typeNames) {
        if (name == t.name) {
            return t.type;
        }
    }
    return CIMC_null;
}

std::string utf8(CIMCChar16 c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

CIMCChar16 char16(const std::string& text) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.c_str());
    if (s[0] >= 0xE0 && text.size() >= 3) {
        return static_cast<CIMCChar16>(((s[0] & 0x0F) << 12) | ((s[1] & 0x3F) << 6) |
                                       (s[2] & 0x3F));
    }
    if (s[0] >= 0xC0 && text.size() >= 2) {
        return static_cast<CIMCChar16>(((s[0] & 0x1F) << 6) | (s[1] & 0x3F));
    }
    return s[0];
}

broker::Path toPath(CIMCObjectPath* op, std::string* error);

// One element as text (or reference); false for a type that is not stored.
bool toItem(CIMCType type, const CIMCValue& v, broker::Value* out, std::string* error) {
    char buf[64];
    switch (type) {
    case CIMC_boolean:
        out->items.push_back(v.boolean ? "TRUE" : "FALSE");
        return true;
    case CIMC_char16:
        out->items.push_back(utf8(v.char16));
        return true;
    case CIMC_real32:
        snprintf(buf, sizeof buf, "%.7e", static_cast<double>(v.real32));
        out->items.push_back(buf);
        return true;
    case CIMC_real64:
        snprintf(buf, sizeof buf, "%.16e", v.real64);
        out->items.push_back(buf);
        return true;
    case CIMC_uint8:
        out->items.push_back(std::to_string(v.uint8));
        return true;
    case CIMC_uint16:
        out->items.push_back(std::to_string(v.uint16));
        return true;
    case CIMC_uint32:
        out->items.push_back(std::to_string(v.uint32));
        return true;
    case CIMC_uint64:
        out->items.push_back(std::to_string(v.uint64));
        return true;
    case CIMC_sint8:
        out->items.push_back(std::to_string(v.sint8));
        return true;
    case CIMC_sint16:
        out->items.push_back(std::to_string(v.sint16));
        return true;
    case CIMC_sint32:
        out->items.push_back(std::to_string(v.sint32));
        return true;
    case CIMC_sint64:
        out->items.push_back(std::to_string(v.sint64));
        return true;
    case CIMC_string:
        out->items.push_back(chars(v.string));
        return true;
    case CIMC_dateTime: {
        CIMCString* s = v.dateTime->ft->getStringFormat(v.dateTime, nullptr);
        out->items.push_back(chars(s));
        s->ft->release(s);
        return true;
    }
    case CIMC_ref:
        out->refs.push_back(toPath(v.ref, error));
        return error->empty();
    default:
        *error = "values of type " + std::to_string(type) + " cannot be registered";
        return false;
    }
}

bool toValue(const CIMCData& d, broker::Value* out, std::string* error) {
    bool array = (d.type & CIMC_ARRAY) != 0;
    CIMCType type = d.type;
    if (array && (d.state & CIMC_nullValue) == 0 && d.value.array != nullptr) {
        type = d.value.array->ft->getSimpleType(d.value.array, nullptr);
    } else if (array) {
        type = static_cast<CIMCType>(d.type & ~CIMC_ARRAY);
    }
    const char* name = typeName(type);
    if (name == nullptr) {
        *error = "values of type " + std::to_string(d.type) + " cannot be registered";
        return false;
    }
    out->type = name;
    out->array = array;
    out->null = (d.state & CIMC_nullValue) != 0 || (array && d.value.array == nullptr);
    if (out->null) {
        return true;
    }
    if (!array) {
        return toItem(type, d.value, out, error);
    }
    CIMCCount n = d.value.array->ft->getSize(d.value.array, nullptr);
    for (CIMCCount i = 0; i < n; ++i) {
        CIMCData e = d.value.array->ft->getElementAt(d.value.array, i, nullptr);
        if ((e.state & CIMC_nullValue) != 0) {
            // The repository keeps no null elements; an empty text stands in.
            out->items.emplace_back();
        } else if (!toItem(type, e.value, out, error)) {
            return false;
        }
    }
    return true;
}

broker::Path toPath(CIMCObjectPath* op, std::string* error) {
    broker::Path path;
    CIMCString* s = op->ft->getNameSpace(op, nullptr);
    path.ns = chars(s);
    s->ft->release(s);
    s = op->ft->getClassName(op, nullptr);
    path.className = chars(s);
    s->ft->release(s);
    unsigned n = op->ft->getKeyCount(op, nullptr);
    for (unsigned i = 0; i < n && error->empty(); ++i) {
        CIMCString* name = nullptr;
        CIMCData d = op->ft->getKeyAt(op, i, &name, nullptr);
        broker::Property key;
        key.name = chars(name);
        name->ft->release(name);
        if (toValue(d, &key.value, error)) {
            path.keys.push_back(key);
        }
    }
    return path;
}

CIMCObjectPath* fromPath(const broker::Path& path);

// An integer of the type from its decimal text.
CIMCValue integerValue(CIMCType type, const std::string& text) {
    CIMCValue value{};
    if (type == CIMC_uint8 || type == CIMC_uint16 || type == CIMC_uint32 || type == CIMC_uint64) {
        value.uint64 = strtoull(text.c_str(), nullptr, 10);
        if (type == CIMC_uint8) {
            value.uint8 = static_cast<CIMCUint8>(value.uint64);
        } else if (type == CIMC_uint16) {
            value.uint16 = static_cast<CIMCUint16>(value.uint64);
        } else if (type == CIMC_uint32) {
            value.uint32 = static_cast<CIMCUint32>(value.uint64);
        }
        return value;
    }
    long long n = strtoll(text.c_str(), nullptr, 10);
    value.uint64 = 0;
    if (type == CIMC_sint8) {
        value.sint8 = static_cast<CIMCSint8>(n);
    } else if (type == CIMC_sint16) {
        value.sint16 = static_cast<CIMCSint16>(n);
    } else if (type == CIMC_sint32) {
        value.sint32 = static_cast<CIMCSint32>(n);
    } else {
        value.sint64 = n;
    }
    return value;
}

// A held CIMC value made from an element's text.
CIMCData fromItem(CIMCType type, const broker::Value& v, size_t i) {
    CIMCData d{};
    d.type = type;
    d.state = CIMC_goodValue;
    const std::string text = i < v.items.size() ? v.items[i] : "";
    switch (type) {
    case CIMC_boolean:
        d.value.boolean = text == "TRUE" ? 1 : 0;
        break;
    case CIMC_char16:
        d.value.char16 = char16(text);
        break;
    case CIMC_real32:
        d.value.real32 = strtof(text.c_str(), nullptr);
        break;
    case CIMC_real64:
        d.value.real64 = strtod(text.c_str(), nullptr);
        break;
    case CIMC_uint8:
    case CIMC_uint16:
    case CIMC_uint32:
    case CIMC_uint64:
    case CIMC_sint8:
    case CIMC_sint16:
    case CIMC_sint32:
    case CIMC_sint64:
        d.value = integerValue(type, text);
        break;
    case CIMC_string:
        d.value.string = newString(text);
        break;
    case CIMC_dateTime:
        d.value.dateTime = newDateTimeFromChars(text.c_str(), nullptr);
        if (d.value.dateTime == nullptr) {
            d.state = CIMC_nullValue;
        }
        break;
    case CIMC_ref:
        if (i < v.refs.size()) {
            d.value.ref = fromPath(v.refs[i]);
        } else {
            d.state = CIMC_nullValue;
        }
        break;
    default:
        d.state = CIMC_nullValue;
    }
    return d;
}

CIMCData fromValue(const broker::Value& v) {
    CIMCType type = typeCode(v.type);
    CIMCData d{};
    d.type = v.array ? static_cast<CIMCType>(type | CIMC_ARRAY) : type;
    d.state = CIMC_nullValue;
    if (v.null || type == CIMC_null) {
        return d;
    }
    d.state = CIMC_goodValue;
    if (!v.array) {
        return fromItem(type, v, 0);
    }
    size_t n = type == CIMC_ref ? v.refs.size() : v.items.size();
    d.value.array = newArray(static_cast<CIMCCount>(n), type, nullptr);
    for (size_t i = 0; i < n; ++i) {
        CIMCData e = fromItem(type, v, i);
        CIMCValue* value = (e.state & CIMC_nullValue) != 0 ? nullptr : &e.value;
        d.value.array->ft->setElementAt(d.value.array, static_cast<CIMCCount>(i), value, type);
        clearData(&e);
    }
    return d;
}

void addAll(const std::vector<broker::Property>& list,
            CIMCStatus (*add)(void* target, const char* name, CIMCData& d), void* target) {
    for (const broker::Property& p : list) {
        CIMCData d = fromValue(p.value);
        CIMCStatus st = add(target, p.name.c_str(), d);
        if (st.msg != nullptr) {
            st.msg->ft->release(st.msg);
        }
        clearData(&d);
    }
}

CIMCObjectPath* fromPath(const broker::Path& path) {
    CIMCObjectPath* op = newObjectPath(path.ns.c_str(), path.className.c_str());
    addAll(
        path.keys,
        [](void* t, const char* name, CIMCData& d) {
            auto* p = static_cast<CIMCObjectPath*>(t);
            bool null = (d.state & CIMC_nullValue) != 0;
            return p->ft->addKey(p, name, null ? nullptr : &d.value, d.type);
        },
        op);
    return op;
}

CIMCInstance* fromObject(const broker::Object& object) {
    CIMCObjectPath* op = fromPath(object.path);
    CIMCInstance* inst = newInstance(op, nullptr);
    op->ft->release(op);
    addAll(
        object.properties,
        [](void* t, const char* name, CIMCData& d) {
            auto* i = static_cast<CIMCInstance*>(t);
            bool null = (d.state & CIMC_nullValue) != 0;
            return i->ft->setProperty(i, name, null ? nullptr : &d.value, d.type);
        },
        inst);
    return inst;
}

void setBrokerStatus(CIMCStatus* st, const broker::Status& bs) {
    setStatus(st, static_cast<CIMCrc>(bs.code), bs.good() ? nullptr : bs.message.c_str());
}

// ---- the client's table ---------------------------------------------------
// Each request that reaches the repository passes the broker's gate first: it is not
// answered while a delivery is under way, as the real broker answers none while one of
// its deliveries is blocked on a full pipe.

CIMCStatus release(CIMCClient* cl) {
    if (cl != nullptr) {
        delete static_cast<ClientData*>(cl->hdl);
        delete cl;
    }
    return status(CIMC_RC_OK);
}

CIMCClient* clone(CIMCClient* cl, CIMCStatus* st);

const char* noOp = "this operation is not supported by the local broker";

CIMCClass* getClass(CIMCClient*, CIMCObjectPath*, CIMCFlags, char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCEnumeration* enumClassNames(CIMCClient*, CIMCObjectPath*, CIMCFlags, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCEnumeration* enumClasses(CIMCClient*, CIMCObjectPath*, CIMCFlags, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCInstance* getInstance(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags, char**, CIMCStatus* st) {
    if (cl == nullptr || op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no client or object path given");
        return nullptr;
    }
    std::string error;
    broker::Path path = toPath(op, &error);
    if (!error.empty()) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, error.c_str());
        return nullptr;
    }
    broker::Object object;
    broker::Gate answering(repo(cl).directory(), broker::Gate::request);
    broker::Status bs = repo(cl).get(path, &object);
    setBrokerStatus(st, bs);
    return bs.good() ? fromObject(object) : nullptr;
}

CIMCObjectPath* createInstance(CIMCClient* cl, CIMCObjectPath* op, CIMCInstance* inst,
                               CIMCStatus* st) {
    if (cl == nullptr || op == nullptr || inst == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no client, object path or instance given");
        return nullptr;
    }
    std::string error;
    broker::Object object;
    object.path = toPath(op, &error);
    unsigned n = inst->ft->getPropertyCount(inst, nullptr);
    for (unsigned i = 0; i < n && error.empty(); ++i) {
        CIMCString* name = nullptr;
        CIMCData d = inst->ft->getPropertyAt(inst, i, &name, nullptr);
        broker::Property p;
        p.name = chars(name);
        name->ft->release(name);
        if (toValue(d, &p.value, &error)) {
            object.properties.push_back(p);
        }
    }
    if (!error.empty()) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, error.c_str());
        return nullptr;
    }
    broker::Gate answering(repo(cl).directory(), broker::Gate::request);
    broker::Status bs = repo(cl).create(object);
    if (bs.code == broker::alreadyExists) {
        // The broker's refusal of an object that exists comes with an empty
        // message.
        bs.message.clear();
    }
    setBrokerStatus(st, bs);
    return bs.good() ? op->ft->clone(op, nullptr) : nullptr;
}

CIMCStatus setInstance(CIMCClient*, CIMCObjectPath*, CIMCInstance*, CIMCFlags, char**) {
    return status(CIMC_RC_ERR_NOT_SUPPORTED, noOp);
}

CIMCStatus deleteInstance(CIMCClient* cl, CIMCObjectPath* op) {
    if (cl == nullptr || op == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, "no client or object path given");
    }
    std::string error;
    broker::Path path = toPath(op, &error);
    if (!error.empty()) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, error.c_str());
    }
    broker::Gate answering(repo(cl).directory(), broker::Gate::request);
    broker::Status bs = repo(cl).remove(path);
    return status(static_cast<CIMCrc>(bs.code), bs.good() ? nullptr : bs.message.c_str());
}

CIMCEnumeration* execQuery(CIMCClient*, CIMCObjectPath*, const char*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

// The registered objects of op's class in op's namespace, as paths or
// instances.
CIMCEnumeration* enumerate(CIMCClient* cl, CIMCObjectPath* op, bool names, CIMCStatus* st) {
    if (cl == nullptr || op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no client or object path given");
        return nullptr;
    }
    std::string error;
    broker::Path wanted = toPath(op, &error);
    std::vector<broker::Object> objects;
    broker::Gate answering(repo(cl).directory(), broker::Gate::request);
    broker::Status bs = repo(cl).list(&objects);
    if (!bs.good()) {
        setBrokerStatus(st, bs);
        return nullptr;
    }
    std::vector<CIMCData> values;
    for (const broker::Object& o : objects) {
        if (!broker::sameName(o.path.ns, wanted.ns) ||
            !broker::sameName(o.path.className, wanted.className)) {
            continue;
        }
        CIMCData d{};
        d.state = CIMC_goodValue;
        if (names) {
            d.type = CIMC_ref;
            d.value.ref = fromPath(o.path);
        } else {
            d.type = CIMC_instance;
            d.value.inst = fromObject(o);
        }
        values.push_back(d);
    }
    setOk(st);
    return newEnumeration(std::move(values));
}

CIMCEnumeration* enumInstanceNames(CIMCClient* cl, CIMCObjectPath* op, CIMCStatus* st) {
    return enumerate(cl, op, true, st);
}

CIMCEnumeration* enumInstances(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags, char**,
                               CIMCStatus* st) {
    return enumerate(cl, op, false, st);
}

CIMCEnumeration* associators(CIMCClient*, CIMCObjectPath*, const char*, const char*, const char*,
                             const char*, CIMCFlags, char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCEnumeration* associatorNames(CIMCClient*, CIMCObjectPath*, const char*, const char*,
                                 const char*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCEnumeration* references(CIMCClient*, CIMCObjectPath*, const char*, const char*, CIMCFlags,
                            char**, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCEnumeration* referenceNames(CIMCClient*, CIMCObjectPath*, const char*, const char*,
                                CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return nullptr;
}

CIMCData invokeMethod(CIMCClient*, CIMCObjectPath*, const char*, CIMCArgs*, CIMCArgs*,
                      CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return missingData();
}

CIMCStatus setProperty(CIMCClient*, CIMCObjectPath*, const char*, CIMCValue*, CIMCType) {
    return status(CIMC_RC_ERR_NOT_SUPPORTED, noOp);
}

CIMCData getProperty(CIMCClient*, CIMCObjectPath*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noOp);
    return missingData();
}

CIMCClientFT clientFT = {
    1,           release,           clone,          getClass,    enumClassNames,
    enumClasses, getInstance,       createInstance, setInstance, deleteInstance,
    execQuery,   enumInstanceNames, enumInstances,  associators, associatorNames,
    references,  referenceNames,    invokeMethod,   setProperty, getProperty};

CIMCClient* clone(CIMCClient* cl, CIMCStatus* st) {
    if (cl == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no client given");
        return nullptr;
    }
    setOk(st);
    return new CIMCClient{new ClientData{repo(cl)}, &clientFT};
}

} // namespace

CIMCClient* connectLocal(CIMCStatus* st) {
    broker::Repository repository;
    std::string why;
    if (!repository.available(&why)) {
        std::string msg = "Cannot connect to the local CIM broker: " + why;
        setStatus(st, CIMC_RC_ERR_FAILED, msg.c_str());
        return nullptr;
    }
    setOk(st);
    return new CIMCClient{new ClientData{repository}, &clientFT};
}

} // namespace cimc
