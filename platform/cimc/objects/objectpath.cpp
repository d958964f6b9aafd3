// CIMCObjectPath: namespace, host, class name and the keys in the order they
// were added.
#include "internal.h"

#include "broker/repository.h"

#include <cinttypes>
#include <cstdio>

namespace cimc {
namespace {

struct PathData {
    std::string ns;
    std::string host;
    std::string cls;
    std::vector<Named> keys;
};

PathData* data(CIMCObjectPath* op) {
    return static_cast<PathData*>(op->hdl);
}

CIMCStatus release(CIMCObjectPath* op);
CIMCObjectPath* clone(CIMCObjectPath* op, CIMCStatus* st);
CIMCStatus setNameSpace(CIMCObjectPath* op, const char* ns);
CIMCString* getNameSpace(CIMCObjectPath* op, CIMCStatus* st);
CIMCStatus setHostname(CIMCObjectPath* op, const char* hn);
CIMCString* getHostname(CIMCObjectPath* op, CIMCStatus* st);
CIMCStatus setClassName(CIMCObjectPath* op, const char* cn);
CIMCString* getClassName(CIMCObjectPath* op, CIMCStatus* st);
CIMCStatus addKey(CIMCObjectPath* op, const char* name, CIMCValue* value, CIMCType type);
CIMCData getKey(CIMCObjectPath* op, const char* name, CIMCStatus* st);
CIMCData getKeyAt(CIMCObjectPath* op, unsigned int idx, CIMCString** name, CIMCStatus* st);
unsigned int getKeyCount(CIMCObjectPath* op, CIMCStatus* st);
CIMCStatus setNameSpaceFromObjectPath(CIMCObjectPath* op, CIMCObjectPath* src);
CIMCStatus setHostAndNameSpaceFromObjectPath(CIMCObjectPath* op, CIMCObjectPath* src);
CIMCData getClassQualifier(CIMCObjectPath*, const char*, CIMCStatus* st);
CIMCData getPropertyQualifier(CIMCObjectPath*, const char*, const char*, CIMCStatus* st);
CIMCData getMethodQualifier(CIMCObjectPath*, const char*, const char*, CIMCStatus* st);
CIMCData getParameterQualifier(CIMCObjectPath*, const char*, const char*, const char*,
                               CIMCStatus* st);
CIMCString* toString(CIMCObjectPath* op, CIMCStatus* st);

CIMCObjectPathFT pathFT = {1,
                           release,
                           clone,
                           setNameSpace,
                           getNameSpace,
                           setHostname,
                           getHostname,
                           setClassName,
                           getClassName,
                           addKey,
                           getKey,
                           getKeyAt,
                           getKeyCount,
                           setNameSpaceFromObjectPath,
                           setHostAndNameSpaceFromObjectPath,
                           getClassQualifier,
                           getPropertyQualifier,
                           getMethodQualifier,
                           getParameterQualifier,
                           toString};

const char* noPath = "no object path given";

CIMCStatus release(CIMCObjectPath* op) {
    return releaseObject<PathData>(op, [](PathData& d) { clearNamed(d.keys); });
}

CIMCObjectPath* clone(CIMCObjectPath* op, CIMCStatus* st) {
    if (op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noPath);
        return nullptr;
    }
    const PathData* d = data(op);
    setOk(st);
    return new CIMCObjectPath{new PathData{d->ns, d->host, d->cls, cloneNamed(d->keys)}, &pathFT};
}

CIMCStatus setText(CIMCObjectPath* op, std::string PathData::*field, const char* text) {
    if (op == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, noPath);
    }
    data(op)->*field = text != nullptr ? text : "";
    return status(CIMC_RC_OK);
}

CIMCString* getText(CIMCObjectPath* op, std::string PathData::*field, CIMCStatus* st) {
    if (op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noPath);
        return nullptr;
    }
    setOk(st);
    return newString(data(op)->*field);
}

CIMCStatus setNameSpace(CIMCObjectPath* op, const char* ns) {
    return setText(op, &PathData::ns, ns);
}
CIMCString* getNameSpace(CIMCObjectPath* op, CIMCStatus* st) {
    return getText(op, &PathData::ns, st);
}
CIMCStatus setHostname(CIMCObjectPath* op, const char* hn) {
    return setText(op, &PathData::host, hn);
}
CIMCString* getHostname(CIMCObjectPath* op, CIMCStatus* st) {
    return getText(op, &PathData::host, st);
}
CIMCStatus setClassName(CIMCObjectPath* op, const char* cn) {
    return setText(op, &PathData::cls, cn);
}
CIMCString* getClassName(CIMCObjectPath* op, CIMCStatus* st) {
    return getText(op, &PathData::cls, st);
}

CIMCStatus addKey(CIMCObjectPath* op, const char* name, CIMCValue* value, CIMCType type) {
    if (op == nullptr || name == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, "no object path or key name given");
    }
    if (findNamed(data(op)->keys, name) != nullptr) {
        std::string msg = std::string("key ") + name + " already exists";
        return status(CIMC_RC_ERR_ALREADY_EXISTS, msg.c_str());
    }
    CIMCData copy;
    CIMCrc rc = copyIn(value, type, &copy);
    if (rc != CIMC_RC_OK) {
        return status(rc, "key type not supported");
    }
    data(op)->keys.push_back(Named{name, copy});
    return status(CIMC_RC_OK);
}

CIMCData getKey(CIMCObjectPath* op, const char* name, CIMCStatus* st) {
    const Named* key = op != nullptr ? findNamed(data(op)->keys, name) : nullptr;
    if (key == nullptr) {
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "no such key");
        return missingData();
    }
    setOk(st);
    return key->data;
}

CIMCData getKeyAt(CIMCObjectPath* op, unsigned int idx, CIMCString** name, CIMCStatus* st) {
    if (op == nullptr || idx >= data(op)->keys.size()) {
        if (name != nullptr) {
            *name = nullptr;
        }
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "key index out of bounds");
        return missingData();
    }
    const Named& key = data(op)->keys[idx];
    if (name != nullptr) {
        *name = newString(key.name);
    }
    setOk(st);
    return key.data;
}

unsigned int getKeyCount(CIMCObjectPath* op, CIMCStatus* st) {
    if (op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noPath);
        return 0;
    }
    setOk(st);
    return static_cast<unsigned int>(data(op)->keys.size());
}

CIMCStatus setNameSpaceFromObjectPath(CIMCObjectPath* op, CIMCObjectPath* src) {
    if (op == nullptr || src == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, noPath);
    }
    data(op)->ns = data(src)->ns;
    return status(CIMC_RC_OK);
}

CIMCStatus setHostAndNameSpaceFromObjectPath(CIMCObjectPath* op, CIMCObjectPath* src) {
    if (op == nullptr || src == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, noPath);
    }
    data(op)->ns = data(src)->ns;
    data(op)->host = data(src)->host;
    return status(CIMC_RC_OK);
}

CIMCData notSupported(CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, "qualifiers are not supported");
    return missingData();
}

CIMCData getClassQualifier(CIMCObjectPath*, const char*, CIMCStatus* st) {
    return notSupported(st);
}
CIMCData getPropertyQualifier(CIMCObjectPath*, const char*, const char*, CIMCStatus* st) {
    return notSupported(st);
}
CIMCData getMethodQualifier(CIMCObjectPath*, const char*, const char*, CIMCStatus* st) {
    return notSupported(st);
}
CIMCData getParameterQualifier(CIMCObjectPath*, const char*, const char*, const char*,
                               CIMCStatus* st) {
    return notSupported(st);
}

CIMCString* toString(CIMCObjectPath* op, CIMCStatus* st) {
    if (op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noPath);
        return nullptr;
    }
    setOk(st);
    return newString(pathText(op));
}

} // namespace

std::string keyValueText(const CIMCData& d) {
    if ((d.state & CIMC_nullValue) != 0) {
        return "NULL";
    }
    char buf[64];
    switch (d.type) {
    case CIMC_string:
        return broker::quoted(chars(d.value.string));
    case CIMC_dateTime: {
        CIMCString* s = d.value.dateTime->ft->getStringFormat(d.value.dateTime, nullptr);
        std::string text = broker::quoted(chars(s));
        s->ft->release(s);
        return text;
    }
    case CIMC_ref:
        return broker::quoted(pathText(d.value.ref));
    case CIMC_boolean:
        return d.value.boolean ? "TRUE" : "FALSE";
    case CIMC_char16:
        return broker::quoted(std::string(1, static_cast<char>(d.value.char16)));
    case CIMC_uint8:
        return std::to_string(d.value.uint8);
    case CIMC_uint16:
        return std::to_string(d.value.uint16);
    case CIMC_uint32:
        return std::to_string(d.value.uint32);
    case CIMC_uint64:
        return std::to_string(d.value.uint64);
    case CIMC_sint8:
        return std::to_string(d.value.sint8);
    case CIMC_sint16:
        return std::to_string(d.value.sint16);
    case CIMC_sint32:
        return std::to_string(d.value.sint32);
    case CIMC_sint64:
        return std::to_string(d.value.sint64);
    case CIMC_real32:
        snprintf(buf, sizeof buf, "%.7g", static_cast<double>(d.value.real32));
        return buf;
    case CIMC_real64:
        snprintf(buf, sizeof buf, "%.16g", d.value.real64);
        return buf;
    default:
        return "\"\"";
    }
}

std::string pathText(CIMCObjectPath* op) {
    const PathData* d = data(op);
    std::string text;
    if (!d->host.empty()) {
        text += "//" + d->host + "/";
    }
    if (!d->ns.empty()) {
        text += d->ns + ":";
    }
    text += d->cls;
    for (size_t i = 0; i < d->keys.size(); ++i) {
        text += i == 0 ? "." : ",";
        text += d->keys[i].name + "=" + keyValueText(d->keys[i].data);
    }
    return text;
}

CIMCObjectPath* newObjectPath(const char* ns, const char* cn) {
    return new CIMCObjectPath{
        new PathData{ns != nullptr ? ns : "", "", cn != nullptr ? cn : "", {}}, &pathFT};
}

} // namespace cimc
