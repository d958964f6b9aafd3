// Status helpers and the owned values that paths, instances, arrays and
// enumerations hold.
#include "internal.h"

#include <strings.h>

namespace cimc {

CIMCStatus status(CIMCrc rc, const char* msg) {
    CIMCStatus st;
    st.rc = rc;
    st.msg = msg != nullptr ? newString(msg) : nullptr;
    return st;
}

void setStatus(CIMCStatus* st, CIMCrc rc, const char* msg) {
    if (st != nullptr) {
        *st = status(rc, msg);
    }
}

CIMCData missingData() {
    CIMCData data{};
    data.type = CIMC_null;
    data.state = CIMC_nullValue;
    return data;
}

CIMCData notFoundData() {
    CIMCData data{};
    data.type = CIMC_null;
    data.state = CIMC_notFound;
    return data;
}

namespace {

CIMCData nullOf(CIMCType type) {
    CIMCData data{};
    data.type = type;
    data.state = CIMC_nullValue;
    return data;
}

bool isScalar(CIMCType type) {
    switch (type) {
    case CIMC_boolean:
    case CIMC_char16:
    case CIMC_real32:
    case CIMC_real64:
    case CIMC_uint8:
    case CIMC_uint16:
    case CIMC_uint32:
    case CIMC_uint64:
    case CIMC_sint8:
    case CIMC_sint16:
    case CIMC_sint32:
    case CIMC_sint64:
        return true;
    default:
        return false;
    }
}

// An object of the type: null stays null, anything else is cloned into *out.
void cloneObject(const CIMCValue* value, CIMCType type, CIMCValue* out) {
    CIMCStatus st{};
    if ((type & CIMC_ARRAY) != 0) {
        if (value->array != nullptr) {
            out->array = value->array->ft->clone(value->array, &st);
        }
    } else if (type == CIMC_string) {
        if (value->string != nullptr && value->string->hdl != nullptr) {
            out->string = newString(chars(value->string));
        }
    } else if (type == CIMC_dateTime) {
        if (value->dateTime != nullptr) {
            out->dateTime = value->dateTime->ft->clone(value->dateTime, &st);
        }
    } else if (type == CIMC_ref) {
        if (value->ref != nullptr) {
            out->ref = value->ref->ft->clone(value->ref, &st);
        }
    } else if (type == CIMC_instance) {
        if (value->inst != nullptr) {
            out->inst = value->inst->ft->clone(value->inst, &st);
        }
    } else if (type == CIMC_args) {
        if (value->args != nullptr) {
            out->args = value->args->ft->clone(value->args, &st);
        }
    }
    if (st.msg != nullptr) {
        st.msg->ft->release(st.msg);
    }
}

} // namespace

CIMCrc copyIn(const CIMCValue* value, CIMCType type, CIMCData* out) {
    if (type == CIMC_chars) {
        // The value pointer is the text itself.
        const char* text = reinterpret_cast<const char*>(value);
        *out = nullOf(CIMC_string);
        if (text != nullptr) {
            out->state = CIMC_goodValue;
            out->value.string = newString(text);
        }
        return CIMC_RC_OK;
    }
    if (type == CIMC_null) {
        *out = nullOf(CIMC_null);
        return CIMC_RC_OK;
    }
    bool known = isScalar(type) || (type & CIMC_ARRAY) != 0 || type == CIMC_string ||
                 type == CIMC_dateTime || type == CIMC_ref || type == CIMC_instance ||
                 type == CIMC_args;
    if (!known) {
        return CIMC_RC_ERR_NOT_SUPPORTED;
    }
    *out = nullOf(type);
    if (value == nullptr) {
        return CIMC_RC_OK;
    }
    if (isScalar(type)) {
        out->state = CIMC_goodValue;
        out->value = *value;
        return CIMC_RC_OK;
    }
    cloneObject(value, type, &out->value);
    if (out->value.array != nullptr) { // any of the pointer members
        out->state = CIMC_goodValue;
    }
    return CIMC_RC_OK;
}

CIMCData cloneData(const CIMCData& data) {
    CIMCData copy = nullOf(data.type);
    copy.state = data.state;
    if ((data.state & CIMC_nullValue) != 0) {
        return copy;
    }
    if (isScalar(data.type)) {
        copy.value = data.value;
        return copy;
    }
    copyIn(&data.value, data.type, &copy);
    copy.state = data.state;
    return copy;
}

void clearData(CIMCData* data) {
    if ((data->state & CIMC_nullValue) == 0 && !isScalar(data->type)) {
        CIMCType type = data->type;
        if ((type & CIMC_ARRAY) != 0) {
            if (data->value.array != nullptr) {
                data->value.array->ft->release(data->value.array);
            }
        } else if (type == CIMC_string) {
            if (data->value.string != nullptr) {
                data->value.string->ft->release(data->value.string);
            }
        } else if (type == CIMC_dateTime) {
            if (data->value.dateTime != nullptr) {
                data->value.dateTime->ft->release(data->value.dateTime);
            }
        } else if (type == CIMC_ref) {
            if (data->value.ref != nullptr) {
                data->value.ref->ft->release(data->value.ref);
            }
        } else if (type == CIMC_instance) {
            if (data->value.inst != nullptr) {
                data->value.inst->ft->release(data->value.inst);
            }
        } else if (type == CIMC_args) {
            if (data->value.args != nullptr) {
                data->value.args->ft->release(data->value.args);
            }
        }
    }
    *data = nullOf(data->type);
}

bool sameName(const std::string& a, const char* b) {
    return b != nullptr && strcasecmp(a.c_str(), b) == 0;
}

Named* findNamed(std::vector<Named>& list, const char* name) {
    for (Named& n : list) {
        if (sameName(n.name, name)) {
            return &n;
        }
    }
    return nullptr;
}

const Named* findNamed(const std::vector<Named>& list, const char* name) {
    for (const Named& n : list) {
        if (sameName(n.name, name)) {
            return &n;
        }
    }
    return nullptr;
}

void clearNamed(std::vector<Named>& list) {
    for (Named& n : list) {
        clearData(&n.data);
    }
    list.clear();
}

std::vector<Named> cloneNamed(const std::vector<Named>& list) {
    std::vector<Named> copy;
    copy.reserve(list.size());
    for (const Named& n : list) {
        copy.push_back(Named{n.name, cloneData(n.data)});
    }
    return copy;
}

} // namespace cimc
