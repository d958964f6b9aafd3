// The project's own CIMC objects: strings, arrays, date-times, object paths
// and instances (with the enumerations and arguments they use), made without
// an environment or a connection. Their function tables are exactly the CIMC
// API's, so code that reads them cannot tell them from a connector's; unlike
// a connector's, they give back all their memory on release. Whatever
// library carries the connection to the broker, the daemon builds every
// parsed indication from these.
//
// Everything here has C++ linkage in namespace cimc: nothing clashes with
// the C names of an installed CIMC client library.
#ifndef ORVIND_CIMCOBJECTS_H
#define ORVIND_CIMCOBJECTS_H

#include <cimc/cimc.h>

namespace cimc {

// A string holding a copy of text (NULL gives a string without characters).
CIMCString* newString(const char* text);
// An array of size elements of the given type; CIMC_chars gives a CIMC_string
// array, every element starts out null.
CIMCArray* newArray(CIMCCount size, CIMCType type, CIMCStatus* st);
// A date-time from its 25-character CIM text; anything else is refused with
// CIMC_RC_ERR_INVALID_PARAMETER and NULL.
CIMCDateTime* newDateTimeFromChars(const char* text, CIMCStatus* st);
// An object path for class cn in namespace ns (either may be NULL).
CIMCObjectPath* newObjectPath(const char* ns, const char* cn);
// An empty instance named by a copy of op.
CIMCInstance* newInstance(const CIMCObjectPath* op, CIMCStatus* st);

} // namespace cimc

#endif
