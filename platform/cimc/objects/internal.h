// Shared pieces of the CIMC objects: status helpers, owned values and the
// constructors that one object kind needs from another.
#ifndef ORVIND_CIMC_INTERNAL_H
#define ORVIND_CIMC_INTERNAL_H

#include "cimcobjects.h"

#include <string>
#include <vector>

namespace cimc {

// A status with a message the caller owns (no message when msg is null).
CIMCStatus status(CIMCrc rc, const char* msg = nullptr);
// Fills *st when the caller asked for it.
void setStatus(CIMCStatus* st, CIMCrc rc, const char* msg = nullptr);
inline void setOk(CIMCStatus* st) {
    setStatus(st, CIMC_RC_OK);
}

// A value with the objects inside it owned by the holder.
struct Named {
    std::string name;
    CIMCData data;
};

// Copies (value, type) into *out, deep-copying strings, date-times, arrays,
// references and instances. CIMC_chars takes value as the char* itself and
// stores a CIMC_string; a null value or object stores the null state.
CIMCrc copyIn(const CIMCValue* value, CIMCType type, CIMCData* out);
// Deep copy of a held value.
CIMCData cloneData(const CIMCData& data);
// Releases the objects a held value owns and leaves it null.
void clearData(CIMCData* data);
// Releases every value of a list and leaves them null.
inline void clearValues(std::vector<CIMCData>& values) {
    for (CIMCData& v : values) {
        clearData(&v);
    }
}
// The answer for a name or index that is not there.
CIMCData missingData();
// The answer for a property an instance does not have: type 0 and state
// CIMC_notFound, as the broker's local connector gives it.
CIMCData notFoundData();

// Frees an object whose handle is a Data: clear releases what the data owns,
// then the data and the object go. A null object is fine.
template <typename Data, typename Object, typename Clear>
CIMCStatus releaseObject(Object* object, Clear clear) {
    if (object != nullptr) {
        Data* d = static_cast<Data*>(object->hdl);
        clear(*d);
        delete d;
        delete object;
    }
    return status(CIMC_RC_OK);
}

// Case-insensitive name lookup, as CIM names are.
bool sameName(const std::string& a, const char* b);
Named* findNamed(std::vector<Named>& list, const char* name);
const Named* findNamed(const std::vector<Named>& list, const char* name);
void clearNamed(std::vector<Named>& list);
std::vector<Named> cloneNamed(const std::vector<Named>& list);

// Object constructors shared between the kinds, beside those of cimcobjects.h.
CIMCString* newString(const std::string& text);
CIMCDateTime* newDateTimeFromBinary(CIMCUint64 microseconds, bool interval);
CIMCArgs* newArgs();
// An enumeration that takes over the given values.
CIMCEnumeration* newEnumeration(std::vector<CIMCData> values);

// Text of a path ("ns:Class.Key=\"v\",..."), shared by toString and by the
// broker connector's messages.
std::string pathText(CIMCObjectPath* op);
// Text of one key value as it appears in a path.
std::string keyValueText(const CIMCData& data);

// The characters of a string object, "" when there are none.
const char* chars(CIMCString* s);

// Client of the "SfcbLocal" connector.
CIMCClient* connectLocal(CIMCStatus* st);

} // namespace cimc

#endif
