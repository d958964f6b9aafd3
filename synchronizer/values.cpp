#include "values.h"

#include <cstdio>
#include <cstring>

const char* stringText(const CIMCString* s) {
    if (s == nullptr || s->hdl == nullptr) {
        return "";
    }
    return static_cast<const char*>(s->hdl);
}

namespace {

// Numbers are formatted into a buffer of this size; no number comes near it.
const size_t kNumberBufferSize = 5120;

// Copies the text of a string that belongs to us and releases the string.
std::string takeString(CIMCString* s) {
    CimcPtr<CIMCString> owned(s);
    return stringText(owned.get());
}

std::string renderArray(CIMCArray* array) {
    // The text grows with the array: a long array is never cut.
    std::string text;
    if (array == nullptr) {
        return text;
    }
    CIMCCount size = array->ft->getSize(array, nullptr);
    for (CIMCCount i = 0; i < size; ++i) {
        CIMCData element = array->ft->getElementAt(array, i, nullptr);
        text += valueText(element.type, &element.value);
        text += ' ';
    }
    return text;
}

std::string renderEncapsulated(CIMCType type, const CIMCValue* value) {
    switch (type) {
    case CIMC_ref:
        if (value->ref == nullptr) {
            return "";
        }
        return takeString(value->ref->ft->toString(value->ref, nullptr));
    case CIMC_string:
    case CIMC_booleanString:
    case CIMC_numericString:
    case CIMC_dateTimeString:
        return stringText(value->string);
    case CIMC_chars:
        return value->chars != nullptr ? value->chars : "";
    case CIMC_dateTime:
        if (value->dateTime == nullptr) {
            return "";
        }
        return takeString(value->dateTime->ft->getStringFormat(value->dateTime, nullptr));
    default:
        return "";
    }
}

std::string renderInteger(CIMCType type, const CIMCValue* value) {
    char buffer[kNumberBufferSize] = {};
    switch (type) {
    case CIMC_uint8:
        snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(value->uint8));
        break;
    case CIMC_sint8:
        snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value->sint8));
        break;
    case CIMC_uint16:
        snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(value->uint16));
        break;
    case CIMC_sint16:
        snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value->sint16));
        break;
    case CIMC_uint32:
        snprintf(buffer, sizeof buffer, "%u", value->uint32);
        break;
    case CIMC_sint32:
        snprintf(buffer, sizeof buffer, "%d", value->sint32);
        break;
    case CIMC_uint64:
        snprintf(buffer, sizeof buffer, "%llu", value->uint64);
        break;
    case CIMC_sint64:
        snprintf(buffer, sizeof buffer, "%lld", value->sint64);
        break;
    default:
        break;
    }
    return buffer;
}

std::string renderReal(CIMCType type, const CIMCValue* value) {
    char buffer[kNumberBufferSize] = {};
    if (type == CIMC_real32) {
        snprintf(buffer, sizeof buffer, "%g", static_cast<double>(value->real32));
    } else if (type == CIMC_real64) {
        snprintf(buffer, sizeof buffer, "%g", value->real64);
    }
    return buffer;
}

} // namespace

std::string valueText(CIMCType type, const CIMCValue* value) {
    if (value == nullptr) {
        return "";
    }
    // The type groups are told apart by their bits, in this order; within a
    // group the exact code decides.
    if (type & CIMC_ARRAY) {
        return renderArray(value->array);
    }
    if (type & CIMC_ENC) {
        return renderEncapsulated(type, value);
    }
    if (type & CIMC_SIMPLE) {
        if (type == CIMC_boolean) {
            return value->boolean ? "true" : "false";
        }
        return "";
    }
    if (type & CIMC_INTEGER) {
        return renderInteger(type, value);
    }
    if (type & CIMC_REAL) {
        return renderReal(type, value);
    }
    return "";
}
