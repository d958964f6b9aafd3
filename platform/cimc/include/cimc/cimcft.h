/*
 * cimcft.h - function tables of the CIMC client API objects.
 *
 * Conventions for every table:
 *  - every table except CIMCEnvFT starts with ftVersion (1);
 *  - the object comes first; a trailing CIMCStatus* rc may be NULL when the
 *    caller does not care about the outcome;
 *  - objects returned by pointer (clone, toString, getNameSpace, name
 *    out-parameters, CIMCStatus.msg, ...) belong to the caller, who calls
 *    their release;
 *  - a returned CIMCData is a view: objects inside it stay owned by the
 *    object they came from and must not be released by the caller;
 *  - setters copy the value (deep copy of strings, date-times, arrays and
 *    references); the caller keeps ownership of what it passed in;
 *  - a slot that an implementation does not offer is still filled and
 *    answers CIMC_RC_ERR_NOT_SUPPORTED.
 */
#ifndef ORVIND_CIMC_CIMCFT_H
#define ORVIND_CIMC_CIMCFT_H

#include "cimcdt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The struct tags are the API's own, as in cimcdt.h. */
/* NOLINTBEGIN(bugprone-reserved-identifier) */

/* ---- environment: factory for clients and free-standing objects --------- */

struct _CIMCEnvFT {
    /* connector name, "XML" or "SfcbLocal" */
    char* env;

    /* Releases the environment; prefer ReleaseCIMCEnv(). */
    void* (*release)(CIMCEnv* ce);

    /* Opens a client to the broker at hn (scheme "http"/"https", port as
     * text); the client belongs to the caller. */
    CIMCClient* (*connect)(CIMCEnv* ce, const char* hn, const char* scheme, const char* port,
                           const char* user, const char* pwd, CIMCStatus* rc);

    /* As connect, with TLS peer verification mode and certificate files. */
    CIMCClient* (*connect2)(CIMCEnv* ce, const char* hn, const char* scheme, const char* port,
                            const char* user, const char* pwd, int verifyMode,
                            const char* trustStore, const char* certFile, const char* keyFile,
                            CIMCStatus* rc);

    /* New empty instance named by op (op is copied). */
    CIMCInstance* (*newInstance)(CIMCEnv* ce, const CIMCObjectPath* op, CIMCStatus* rc);

    /* New object path for class cn in namespace ns (either may be NULL). */
    CIMCObjectPath* (*newObjectPath)(CIMCEnv* ce, const char* ns, const char* cn, CIMCStatus* rc);

    CIMCArgs* (*newArgs)(CIMCEnv* ce, CIMCStatus* rc);

    /* New string holding a copy of data. */
    CIMCString* (*newString)(CIMCEnv* ce, const char* data, CIMCStatus* rc);

    /* New array of max elements of type type (CIMC_chars gives a CIMC_string
     * array); every element starts out null. */
    CIMCArray* (*newArray)(CIMCEnv* ce, CIMCCount max, CIMCType type, CIMCStatus* rc);

    /* Current time. */
    CIMCDateTime* (*newDateTime)(CIMCEnv* ce, CIMCStatus* rc);

    /* binTime in microseconds since the epoch, or an interval length. */
    CIMCDateTime* (*newDateTimeFromBinary)(CIMCEnv* ce, CIMCUint64 binTime, CIMCBoolean interval,
                                           CIMCStatus* rc);

    /* From the 25-character CIM text; anything else is refused with
     * CIMC_RC_ERR_INVALID_PARAMETER and NULL. */
    CIMCDateTime* (*newDateTimeFromChars)(CIMCEnv* ce, const char* utcTime, CIMCStatus* rc);

    /* Listener that calls fp for every indication received; portNumber and
     * socketName are in/out (the port or socket actually bound). */
    CIMCIndicationListener* (*newIndicationListener)(CIMCEnv* ce, int sslMode, int* portNumber,
                                                     char** socketName,
                                                     void (*fp)(CIMCInstance* indInstance),
                                                     CIMCStatus* rc);

    /* Heap bookkeeping: markHeap returns a mark, releaseHeap frees what was
     * allocated since that mark. */
    void* (*markHeap)(void);
    void (*releaseHeap)(void* heap);
};

/* ---- client: operations against the broker ------------------------------ */

struct _CIMCClientFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCClient* cl);
    CIMCClient* (*clone)(CIMCClient* cl, CIMCStatus* rc);

    /* properties: NULL-terminated list of property names, or NULL for all. */
    CIMCClass* (*getClass)(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags flags, char** properties,
                           CIMCStatus* rc);
    CIMCEnumeration* (*enumClassNames)(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags flags,
                                       CIMCStatus* rc);
    CIMCEnumeration* (*enumClasses)(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags flags,
                                    CIMCStatus* rc);

    CIMCInstance* (*getInstance)(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags flags,
                                 char** properties, CIMCStatus* rc);

    /* Creates inst at op; returns the path of the new instance (caller's).
     * A refusal by the broker comes back as its CIM status code and message. */
    CIMCObjectPath* (*createInstance)(CIMCClient* cl, CIMCObjectPath* op, CIMCInstance* inst,
                                      CIMCStatus* rc);
    CIMCStatus (*setInstance)(CIMCClient* cl, CIMCObjectPath* op, CIMCInstance* inst,
                              CIMCFlags flags, char** properties);
    CIMCStatus (*deleteInstance)(CIMCClient* cl, CIMCObjectPath* op);

    CIMCEnumeration* (*execQuery)(CIMCClient* cl, CIMCObjectPath* op, const char* query,
                                  const char* lang, CIMCStatus* rc);

    /* Enumeration of CIMC_ref values, one per instance of op's class. */
    CIMCEnumeration* (*enumInstanceNames)(CIMCClient* cl, CIMCObjectPath* op, CIMCStatus* rc);
    CIMCEnumeration* (*enumInstances)(CIMCClient* cl, CIMCObjectPath* op, CIMCFlags flags,
                                      char** properties, CIMCStatus* rc);

    CIMCEnumeration* (*associators)(CIMCClient* cl, CIMCObjectPath* op, const char* assocClass,
                                    const char* resultClass, const char* role,
                                    const char* resultRole, CIMCFlags flags, char** properties,
                                    CIMCStatus* rc);
    CIMCEnumeration* (*associatorNames)(CIMCClient* cl, CIMCObjectPath* op, const char* assocClass,
                                        const char* resultClass, const char* role,
                                        const char* resultRole, CIMCStatus* rc);
    CIMCEnumeration* (*references)(CIMCClient* cl, CIMCObjectPath* op, const char* resultClass,
                                   const char* role, CIMCFlags flags, char** properties,
                                   CIMCStatus* rc);
    CIMCEnumeration* (*referenceNames)(CIMCClient* cl, CIMCObjectPath* op, const char* resultClass,
                                       const char* role, CIMCStatus* rc);

    /* Calls method on op; out receives the output arguments. */
    CIMCData (*invokeMethod)(CIMCClient* cl, CIMCObjectPath* op, const char* method, CIMCArgs* in,
                             CIMCArgs* out, CIMCStatus* rc);

    CIMCStatus (*setProperty)(CIMCClient* cl, CIMCObjectPath* op, const char* name,
                              CIMCValue* value, CIMCType type);
    CIMCData (*getProperty)(CIMCClient* cl, CIMCObjectPath* op, const char* name, CIMCStatus* rc);
};

/* ---- instance ------------------------------------------------------------ */

struct _CIMCInstanceFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCInstance* inst);
    CIMCInstance* (*clone)(CIMCInstance* inst, CIMCStatus* rc);

    /* getProperty returns a view.  A missing property comes back with state
     * CIMC_nullValue or CIMC_notFound and CIMC_RC_ERR_NO_SUCH_PROPERTY. */
    CIMCData (*getProperty)(CIMCInstance* inst, const char* name, CIMCStatus* rc);
    /* View of the idx-th property; *name (if name is not NULL) is the
     * caller's. */
    CIMCData (*getPropertyAt)(CIMCInstance* inst, unsigned int idx, CIMCString** name,
                              CIMCStatus* rc);
    unsigned int (*getPropertyCount)(CIMCInstance* inst, CIMCStatus* rc);

    /* Copies the value.  With CIMC_chars, value is the char* of the text
     * itself, stored as CIMC_string. */
    CIMCStatus (*setProperty)(CIMCInstance* inst, const char* name, CIMCValue* value,
                              CIMCType type);

    /* Path of this instance (caller's). */
    CIMCObjectPath* (*getObjectPath)(CIMCInstance* inst, CIMCStatus* rc);

    /* Limits the properties kept to propertyList (NULL-terminated); keys
     * (NULL-terminated) are always kept. */
    CIMCStatus (*setPropertyFilter)(CIMCInstance* inst, char** propertyList, char** keys);

    CIMCData (*getQualifier)(CIMCInstance* inst, const char* qualifierName, CIMCStatus* rc);
    CIMCData (*getQualifierAt)(CIMCInstance* inst, unsigned int idx, CIMCString** name,
                               CIMCStatus* rc);
    unsigned int (*getQualifierCount)(CIMCInstance* inst, CIMCStatus* rc);

    CIMCData (*getPropertyQualifier)(CIMCInstance* inst, const char* propertyName,
                                     const char* qualifierName, CIMCStatus* rc);
    CIMCData (*getPropertyQualifierAt)(CIMCInstance* inst, const char* propertyName,
                                       unsigned int idx, CIMCString** name, CIMCStatus* rc);
    unsigned int (*getPropertyQualifierCount)(CIMCInstance* inst, const char* propertyName,
                                              CIMCStatus* rc);
};

/* ---- object path ---------------------------------------------------------- */

struct _CIMCObjectPathFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCObjectPath* op);
    CIMCObjectPath* (*clone)(CIMCObjectPath* op, CIMCStatus* rc);

    /* Setters copy the text; getters return a new string (caller's). */
    CIMCStatus (*setNameSpace)(CIMCObjectPath* op, const char* ns);
    CIMCString* (*getNameSpace)(CIMCObjectPath* op, CIMCStatus* rc);
    CIMCStatus (*setHostname)(CIMCObjectPath* op, const char* hn);
    CIMCString* (*getHostname)(CIMCObjectPath* op, CIMCStatus* rc);
    CIMCStatus (*setClassName)(CIMCObjectPath* op, const char* cn);
    CIMCString* (*getClassName)(CIMCObjectPath* op, CIMCStatus* rc);

    /* Copies the value (CIMC_chars: value is the char* itself).  An existing
     * key name answers CIMC_RC_ERR_ALREADY_EXISTS and keeps the old value. */
    CIMCStatus (*addKey)(CIMCObjectPath* op, const char* name, CIMCValue* value, CIMCType type);
    /* getKey / getKeyAt return a view; *name is the caller's. */
    CIMCData (*getKey)(CIMCObjectPath* op, const char* name, CIMCStatus* rc);
    CIMCData (*getKeyAt)(CIMCObjectPath* op, unsigned int idx, CIMCString** name, CIMCStatus* rc);
    unsigned int (*getKeyCount)(CIMCObjectPath* op, CIMCStatus* rc);

    /* Copy namespace (and host) from src. */
    CIMCStatus (*setNameSpaceFromObjectPath)(CIMCObjectPath* op, CIMCObjectPath* src);
    CIMCStatus (*setHostAndNameSpaceFromObjectPath)(CIMCObjectPath* op, CIMCObjectPath* src);

    CIMCData (*getClassQualifier)(CIMCObjectPath* op, const char* qualifierName, CIMCStatus* rc);
    CIMCData (*getPropertyQualifier)(CIMCObjectPath* op, const char* propertyName,
                                     const char* qualifierName, CIMCStatus* rc);
    CIMCData (*getMethodQualifier)(CIMCObjectPath* op, const char* methodName,
                                   const char* qualifierName, CIMCStatus* rc);
    CIMCData (*getParameterQualifier)(CIMCObjectPath* op, const char* methodName,
                                      const char* parameterName, const char* qualifierName,
                                      CIMCStatus* rc);

    /* "ns:Class.Key1=\"text\",Key2=42" with keys in insertion order (caller's). */
    CIMCString* (*toString)(CIMCObjectPath* op, CIMCStatus* rc);
};

/* ---- method arguments (minimal) ------------------------------------------- */

struct _CIMCArgsFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCArgs* as);
    CIMCArgs* (*clone)(CIMCArgs* as, CIMCStatus* rc);

    /* Copies the value. */
    CIMCStatus (*addArg)(CIMCArgs* as, const char* name, CIMCValue* value, CIMCType type);
    /* getArg / getArgAt return a view; *name is the caller's. */
    CIMCData (*getArg)(CIMCArgs* as, const char* name, CIMCStatus* rc);
    CIMCData (*getArgAt)(CIMCArgs* as, unsigned int idx, CIMCString** name, CIMCStatus* rc);
    unsigned int (*getArgCount)(CIMCArgs* as, CIMCStatus* rc);
};

/* ---- class (minimal) ------------------------------------------------------- */

struct _CIMCClassFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCClass* cc);
    CIMCClass* (*clone)(CIMCClass* cc, CIMCStatus* rc);

    /* New string (caller's). */
    CIMCString* (*getClassName)(CIMCClass* cc, CIMCStatus* rc);
    /* getProperty / getPropertyAt return a view; *name is the caller's. */
    CIMCData (*getProperty)(CIMCClass* cc, const char* name, CIMCStatus* rc);
    CIMCData (*getPropertyAt)(CIMCClass* cc, unsigned int idx, CIMCString** name, CIMCStatus* rc);
    unsigned int (*getPropertyCount)(CIMCClass* cc, CIMCStatus* rc);
};

/* ---- string ---------------------------------------------------------------- */

struct _CIMCStringFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCString* st);
    CIMCString* (*clone)(CIMCString* st, CIMCStatus* rc);
    /* The string's own characters (valid until it is released). */
    char* (*getCharPtr)(CIMCString* st, CIMCStatus* rc);
};

/* ---- array ------------------------------------------------------------------ */

struct _CIMCArrayFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCArray* ar);
    CIMCArray* (*clone)(CIMCArray* ar, CIMCStatus* rc);
    CIMCCount (*getSize)(CIMCArray* ar, CIMCStatus* rc);
    /* Element type (without CIMC_ARRAY). */
    CIMCType (*getSimpleType)(CIMCArray* ar, CIMCStatus* rc);
    /* View of element idx. */
    CIMCData (*getElementAt)(CIMCArray* ar, CIMCCount idx, CIMCStatus* rc);
    /* Copies the value; a type other than the element type or an index at or
     * beyond the size is refused with CIMC_RC_ERR_FAILED. */
    CIMCStatus (*setElementAt)(CIMCArray* ar, CIMCCount idx, CIMCValue* value, CIMCType type);
};

/* ---- date-time -------------------------------------------------------------- */

struct _CIMCDateTimeFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCDateTime* dt);
    CIMCDateTime* (*clone)(CIMCDateTime* dt, CIMCStatus* rc);
    /* Microseconds since the epoch, or the interval length in microseconds. */
    CIMCUint64 (*getBinaryFormat)(CIMCDateTime* dt, CIMCStatus* rc);
    /* The 25-character CIM text (caller's). */
    CIMCString* (*getStringFormat)(CIMCDateTime* dt, CIMCStatus* rc);
    CIMCBoolean (*isInterval)(CIMCDateTime* dt, CIMCStatus* rc);
};

/* ---- enumeration ------------------------------------------------------------- */

struct _CIMCEnumerationFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCEnumeration* en);
    CIMCEnumeration* (*clone)(CIMCEnumeration* en, CIMCStatus* rc);
    /* View of the next element; owned by the enumeration. */
    CIMCData (*getNext)(CIMCEnumeration* en, CIMCStatus* rc);
    CIMCBoolean (*hasNext)(CIMCEnumeration* en, CIMCStatus* rc);
    /* New array holding the remaining elements (caller's). */
    CIMCArray* (*toArray)(CIMCEnumeration* en, CIMCStatus* rc);
};

/* ---- indication listener (minimal) ------------------------------------------ */

struct _CIMCIndicationListenerFT {
    int ftVersion;

    CIMCStatus (*release)(CIMCIndicationListener* il);
    CIMCIndicationListener* (*clone)(CIMCIndicationListener* il, CIMCStatus* rc);
};

/* NOLINTEND(bugprone-reserved-identifier) */

#ifdef __cplusplus
}
#endif

#endif /* ORVIND_CIMC_CIMCFT_H */
