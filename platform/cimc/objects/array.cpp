// CIMCArray: a fixed number of elements of one type, each null until set.
#include "internal.h"

#include <new>

namespace cimc {
namespace {

struct ArrayData {
    CIMCType type;
    std::vector<CIMCData> elements;
};

ArrayData* data(CIMCArray* ar) {
    return static_cast<ArrayData*>(ar->hdl);
}

CIMCStatus release(CIMCArray* ar);
CIMCArray* clone(CIMCArray* ar, CIMCStatus* st);
CIMCCount getSize(CIMCArray* ar, CIMCStatus* st);
CIMCType getSimpleType(CIMCArray* ar, CIMCStatus* st);
CIMCData getElementAt(CIMCArray* ar, CIMCCount idx, CIMCStatus* st);
CIMCStatus setElementAt(CIMCArray* ar, CIMCCount idx, CIMCValue* value, CIMCType type);

CIMCArrayFT arrayFT = {1, release, clone, getSize, getSimpleType, getElementAt, setElementAt};

CIMCStatus release(CIMCArray* ar) {
    return releaseObject<ArrayData>(ar, [](ArrayData& d) { clearValues(d.elements); });
}

CIMCArray* make(CIMCType type, std::vector<CIMCData> elements) {
    return new CIMCArray{new ArrayData{type, std::move(elements)}, &arrayFT};
}

CIMCArray* clone(CIMCArray* ar, CIMCStatus* st) {
    if (ar == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no array given");
        return nullptr;
    }
    std::vector<CIMCData> copy;
    copy.reserve(data(ar)->elements.size());
    for (const CIMCData& e : data(ar)->elements) {
        copy.push_back(cloneData(e));
    }
    setOk(st);
    return make(data(ar)->type, std::move(copy));
}

CIMCCount getSize(CIMCArray* ar, CIMCStatus* st) {
    if (ar == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no array given");
        return 0;
    }
    setOk(st);
    return static_cast<CIMCCount>(data(ar)->elements.size());
}

CIMCType getSimpleType(CIMCArray* ar, CIMCStatus* st) {
    if (ar == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no array given");
        return CIMC_null;
    }
    setOk(st);
    return data(ar)->type;
}

CIMCData getElementAt(CIMCArray* ar, CIMCCount idx, CIMCStatus* st) {
    if (ar == nullptr || idx >= data(ar)->elements.size()) {
        setStatus(st, CIMC_RC_ERR_NO_SUCH_PROPERTY, "array index out of bounds");
        CIMCData d = missingData();
        d.state = CIMC_notFound | CIMC_nullValue;
        return d;
    }
    setOk(st);
    return data(ar)->elements[idx];
}

CIMCStatus setElementAt(CIMCArray* ar, CIMCCount idx, CIMCValue* value, CIMCType type) {
    if (ar == nullptr) {
        return status(CIMC_RC_ERR_INVALID_PARAMETER, "no array given");
    }
    ArrayData* d = data(ar);
    if (idx >= d->elements.size()) {
        return status(CIMC_RC_ERR_FAILED, "array index out of bounds");
    }
    if (type != d->type) {
        return status(CIMC_RC_ERR_FAILED, "value type differs from the array's element type");
    }
    CIMCData copy;
    CIMCrc rc = copyIn(value, type, &copy);
    if (rc != CIMC_RC_OK) {
        return status(rc, "value type not supported");
    }
    clearData(&d->elements[idx]);
    d->elements[idx] = copy;
    return status(CIMC_RC_OK);
}

} // namespace

CIMCArray* newArray(CIMCCount size, CIMCType type, CIMCStatus* st) {
    // A chars array holds strings; the array flag on the element type is dropped.
    if (type == CIMC_chars) {
        type = CIMC_string;
    }
    type = static_cast<CIMCType>(type & ~CIMC_ARRAY);
    CIMCData empty = missingData();
    empty.type = type;
    try {
        std::vector<CIMCData> elements(size, empty);
        setOk(st);
        return make(type, std::move(elements));
    } catch (const std::bad_alloc&) {
        setStatus(st, CIMC_RC_ERR_FAILED, "out of memory for the array");
        return nullptr;
    }
}

} // namespace cimc
