// CIMCInstance: a copy of the object path it was made for and its
// properties in the order they were first set.
#include "internal.h"

#include <cctype>
#include <unordered_map>
#include <utility>

namespace cimc {
namespace {

// A CIM name in lower case: names are told apart without case.
std::string folded(const char* name) {
    std::string key(name);
    for (char& c : key) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key;
}

struct InstanceData {
    InstanceData(CIMCObjectPath* p, std::vector<Named> list)
        : path(p), properties(std::move(list)) {
        for (size_t i = 0; i < properties.size(); ++i) {
            index.emplace(folded(properties[i].name.c_str()), i);
        }
    }

    // The property of that name, null when the instance has none. Looked up in the
    // index, so that setting every property of a wide instance stays linear.
    Named* find(const char* name) {
        auto found = index.find(folded(name));
        return found == index.end() ? nullptr : &properties[found->second];
    }

    CIMCObjectPath* path;
    std::vector<Named> properties;
    std::unordered_map<std::string, size_t> index; // folded name -> position in properties
};

InstanceData* data(CIMCInstance* inst) {
    return static_cast<InstanceData*>(inst->hdl);
}

CIMCStatus release(CIMCInstance* inst);
CIMCInstance* clone(CIMCInstance* inst, CIMCStatus* st);
CIMCData getProperty(CIMCInstance* inst, const char* name, CIMCStatus* st);
CIMCData getPropertyAt(CIMCInstance* inst, unsigned int idx, CIMCString** name, CIMCStatus* st);
unsigned int getPropertyCount(CIMCInstance* inst, CIMCStatus* st);
CIMCStatus setProperty(CIMCInstance* inst, const char* name, CIMCValue* value, CIMCType type);
CIMCObjectPath* getObjectPath(CIMCInstance* inst, CIMCStatus* st);
CIMCStatus setPropertyFilter(CIMCInstance*, char**, char**);
CIMCData getQualifier(CIMCInstance*, const char*, CIMCStatus* st);
CIMCData getQualifierAt(CIMCInstance*, unsigned int, CIMCString** name, CIMCStatus* st);
unsigned int getQualifierCount(CIMCInstance*, CIMCStatus* st);
CIMCData getPropertyQualifier(CIMCInstance*, const char*, const char*, CIMCStatus* st);
CIMCData getPropertyQualifierAt(CIMCInstance*, const char*, unsigned int, CIMCString** name,
                                CIMCStatus* st);
unsigned int getPropertyQualifierCount(CIMCInstance*, const char*, CIMCStatus* st);

CIMCInstanceFT instanceFT = {1,
                             release,
                             clone,
                             getProperty,
                             getPropertyAt,
                             getPropertyCount,
                             setProperty,
                             getObjectPath,
                             setPropertyFilter,
                             getQualifier,
                             getQualifierAt,
                             getQualifierCount,
                             getPropertyQualifier,
                             getPropertyQualifierAt,
                             getPropertyQualifierCount};

const char* noInstance = "no instance given";

CIMCStatus release(CIMCInstance* inst) {
    return releaseObject<InstanceData>(inst, [](InstanceData& d) {
        clearNamed(d.properties);
        d.path->ft->release(d.path);
    });
}

CIMCInstance* clone(CIMCInstance* inst, CIMCStatus* st) {
    if (inst == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noInstance);
        return nullptr;
    }
    const InstanceData* d = data(inst);
    setOk(st);
    return new CIMCInstance{
        new InstanceData{d->path->ft->clone(d->path, nullptr), cloneNamed(d->properties)},
        &instanceFT};
}

CIMCData getProperty(CIMCInstance* inst, const char* name, CIMCStatus* st) {
    const Named* p = inst != nullptr && name != nullptr ? data(inst)->find(name) : nullptr;
    if (p == nullptr) {
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "no such property");
        return notFoundData();
    }
    setOk(st);
    return p->data;
}

CIMCData getPropertyAt(CIMCInstance* inst, unsigned int idx, CIMCString** name, CIMCStatus* st) {
    if (inst == nullptr || idx >= data(inst)->properties.size()) {
        if (name != nullptr) {
            *name = nullptr;
        }
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "property index out of bounds");
        return notFoundData();
    }
    const Named& p = data(inst)->properties[idx];
    if (name != nullptr) {
        *name = newString(p.name);
    }
    setOk(st);
    return p.data;
}

unsigned int getPropertyCount(CIMCInstance* inst, CIMCStatus* st) {
    if (inst == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noInstance);
        return 0;
    }
    setOk(st);
    return static_cast<unsigned int>(data(inst)->properties.size());
}

CIMCStatus setProperty(CIMCInstance* inst, const char* name, CIMCValue* value, CIMCType type) {
    if (inst == nullptr || name == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, "no instance or property name given");
    }
    // Copy before dropping the old value: the new one may be a view of it.
    CIMCData copy;
    CIMCrc rc = copyIn(value, type, &copy);
    if (rc != CIMC_RC_OK) {
        return status(rc, "property type not supported");
    }
    InstanceData* d = data(inst);
    Named* p = d->find(name);
    if (p != nullptr) {
        clearData(&p->data);
        p->data = copy;
    } else {
        d->index.emplace(folded(name), d->properties.size());
        d->properties.push_back(Named{name, copy});
    }
    return status(CIMC_RC_OK);
}

CIMCObjectPath* getObjectPath(CIMCInstance* inst, CIMCStatus* st) {
    if (inst == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noInstance);
        return nullptr;
    }
    return data(inst)->path->ft->clone(data(inst)->path, st);
}

const char* noQualifiers = "qualifiers are not supported";

CIMCStatus setPropertyFilter(CIMCInstance*, char**, char**) {
    return status(CIMC_RC_ERR_NOT_SUPPORTED, "property filters are not supported");
}
CIMCData getQualifier(CIMCInstance*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noQualifiers);
    return missingData();
}
CIMCData getQualifierAt(CIMCInstance*, unsigned int, CIMCString** name, CIMCStatus* st) {
    if (name != nullptr) {
        *name = nullptr;
    }
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noQualifiers);
    return missingData();
}
unsigned int getQualifierCount(CIMCInstance*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noQualifiers);
    return 0;
}
CIMCData getPropertyQualifier(CIMCInstance*, const char*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noQualifiers);
    return missingData();
}
CIMCData getPropertyQualifierAt(CIMCInstance*, const char*, unsigned int, CIMCString** name,
                                CIMCStatus* st) {
    if (name != nullptr) {
        *name = nullptr;
    }
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noQualifiers);
    return missingData();
}
unsigned int getPropertyQualifierCount(CIMCInstance*, const char*, CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, noQualifiers);
    return 0;
}

} // namespace

CIMCInstance* newInstance(const CIMCObjectPath* op, CIMCStatus* st) {
    if (op == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no object path given");
        return nullptr;
    }
    // The path is only copied; the table's clone slot takes it as changeable.
    CIMCObjectPath* path = const_cast<CIMCObjectPath*>(op);
    setOk(st);
    return new CIMCInstance{new InstanceData{path->ft->clone(path, nullptr), {}}, &instanceFT};
}

} // namespace cimc
