// CIMCEnumeration (a list of values read once, front to back) and CIMCArgs
// (named method arguments).
#include "internal.h"

namespace cimc {
namespace {

struct EnumData {
    std::vector<CIMCData> values;
    size_t next = 0;
};

EnumData* data(CIMCEnumeration* en) {
    return static_cast<EnumData*>(en->hdl);
}

CIMCStatus release(CIMCEnumeration* en);
CIMCEnumeration* clone(CIMCEnumeration* en, CIMCStatus* st);
CIMCData getNext(CIMCEnumeration* en, CIMCStatus* st);
CIMCBoolean hasNext(CIMCEnumeration* en, CIMCStatus* st);
CIMCArray* toArray(CIMCEnumeration* en, CIMCStatus* st);

CIMCEnumerationFT enumFT = {1, release, clone, getNext, hasNext, toArray};

const char* noEnum = "no enumeration given";

CIMCStatus release(CIMCEnumeration* en) {
    return releaseObject<EnumData>(en, [](EnumData& d) { clearValues(d.values); });
}

CIMCEnumeration* clone(CIMCEnumeration* en, CIMCStatus* st) {
    if (en == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noEnum);
        return nullptr;
    }
    std::vector<CIMCData> copy;
    for (const CIMCData& v : data(en)->values) {
        copy.push_back(cloneData(v));
    }
    CIMCEnumeration* c = newEnumeration(std::move(copy));
    data(c)->next = data(en)->next;
    setOk(st);
    return c;
}

CIMCData getNext(CIMCEnumeration* en, CIMCStatus* st) {
    if (en == nullptr || data(en)->next >= data(en)->values.size()) {
        setStatus(st, CIMC_RC_ERR_NOT_FOUND, "no more elements");
        return missingData();
    }
    setOk(st);
    return data(en)->values[data(en)->next++];
}

CIMCBoolean hasNext(CIMCEnumeration* en, CIMCStatus* st) {
    if (en == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noEnum);
        return 0;
    }
    setOk(st);
    return data(en)->next < data(en)->values.size() ? 1 : 0;
}

CIMCArray* toArray(CIMCEnumeration* en, CIMCStatus* st) {
    if (en == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noEnum);
        return nullptr;
    }
    const EnumData* d = data(en);
    CIMCType type = d->next < d->values.size() ? d->values[d->next].type : CIMC_null;
    CIMCArray* ar = newArray(static_cast<CIMCCount>(d->values.size() - d->next), type, st);
    for (size_t i = d->next; ar != nullptr && i < d->values.size(); ++i) {
        if ((d->values[i].state & CIMC_nullValue) == 0) {
            // setElementAt copies the value and leaves ours as it was.
            CIMCValue value = d->values[i].value;
            ar->ft->setElementAt(ar, static_cast<CIMCCount>(i - d->next), &value, type);
        }
    }
    return ar;
}

struct ArgsData {
    std::vector<Named> args;
};

ArgsData* data(CIMCArgs* as) {
    return static_cast<ArgsData*>(as->hdl);
}

CIMCStatus releaseArgs(CIMCArgs* as);
CIMCArgs* cloneArgs(CIMCArgs* as, CIMCStatus* st);
CIMCStatus addArg(CIMCArgs* as, const char* name, CIMCValue* value, CIMCType type);
CIMCData getArg(CIMCArgs* as, const char* name, CIMCStatus* st);
CIMCData getArgAt(CIMCArgs* as, unsigned int idx, CIMCString** name, CIMCStatus* st);
unsigned int getArgCount(CIMCArgs* as, CIMCStatus* st);

CIMCArgsFT argsFT = {1, releaseArgs, cloneArgs, addArg, getArg, getArgAt, getArgCount};

const char* noArgs = "no arguments given";

CIMCStatus releaseArgs(CIMCArgs* as) {
    return releaseObject<ArgsData>(as, [](ArgsData& d) { clearNamed(d.args); });
}

CIMCArgs* cloneArgs(CIMCArgs* as, CIMCStatus* st) {
    if (as == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noArgs);
        return nullptr;
    }
    setOk(st);
    return new CIMCArgs{new ArgsData{cloneNamed(data(as)->args)}, &argsFT};
}

CIMCStatus addArg(CIMCArgs* as, const char* name, CIMCValue* value, CIMCType type) {
    if (as == nullptr || name == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, "no arguments or name given");
    }
    CIMCData copy;
    CIMCrc rc = copyIn(value, type, &copy);
    if (rc != CIMC_RC_OK) {
        return status(rc, "argument type not supported");
    }
    Named* a = findNamed(data(as)->args, name);
    if (a != nullptr) {
        clearData(&a->data);
        a->data = copy;
    } else {
        data(as)->args.push_back(Named{name, copy});
    }
    return status(CIMC_RC_OK);
}

CIMCData getArg(CIMCArgs* as, const char* name, CIMCStatus* st) {
    const Named* a = as != nullptr ? findNamed(data(as)->args, name) : nullptr;
    if (a == nullptr) {
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "no such argument");
        return missingData();
    }
    setOk(st);
    return a->data;
}

CIMCData getArgAt(CIMCArgs* as, unsigned int idx, CIMCString** name, CIMCStatus* st) {
    if (as == nullptr || idx >= data(as)->args.size()) {
        if (name != nullptr) {
            *name = nullptr;
        }
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "argument index out of bounds");
        return missingData();
    }
    const Named& a = data(as)->args[idx];
    if (name != nullptr) {
        *name = newString(a.name);
    }
    setOk(st);
    return a.data;
}

unsigned int getArgCount(CIMCArgs* as, CIMCStatus* st) {
    if (as == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, noArgs);
        return 0;
    }
    setOk(st);
    return static_cast<unsigned int>(data(as)->args.size());
}

} // namespace

CIMCEnumeration* newEnumeration(std::vector<CIMCData> values) {
    return new CIMCEnumeration{new EnumData{std::move(values), 0}, &enumFT};
}

CIMCArgs* newArgs() {
    return new CIMCArgs{new ArgsData{}, &argsFT};
}

} // namespace cimc
