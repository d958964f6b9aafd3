#ifndef ORVIND_VALUES_H
#define ORVIND_VALUES_H

#include <cimc/cimc.h>

#include <memory>
#include <string>

// Releases a CIMC object through its own function table, and the message of the
// status that answers.
struct CimcRelease {
    template <typename T> void operator()(T* object) const {
        CIMCStatus st = object->ft->release(object);
        if (st.msg != nullptr) {
            st.msg->ft->release(st.msg);
        }
    }
};
// The one owner of a CIMC object that belongs to us.
template <typename T> using CimcPtr = std::unique_ptr<T, CimcRelease>;

// A CIMC value as text, for the store's rows and the log: numbers in decimal, booleans as
// "true"/"false", strings, references and date-times as their text, arrays as their elements each
// followed by one blank. Every other type, and every null value, gives the empty text.
std::string valueText(CIMCType type, const CIMCValue* value);

// The characters of a string object ("" for none).
const char* stringText(const CIMCString* s);

#endif
