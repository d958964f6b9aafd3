/*
 * cimcdt.h - data types of the CIMC client API: scalar typedefs, type codes,
 * value states, return codes, the value/data/status records and the object
 * handles.  Plain C; usable from C11 and C++17.
 */
#ifndef ORVIND_CIMC_CIMCDT_H
#define ORVIND_CIMC_CIMCDT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The struct and union tags are the API's own (_CIMCInstance for CIMCInstance, ...):
 * a program may declare them itself, so they must match. */
/* NOLINTBEGIN(bugprone-reserved-identifier) */

/* ---- scalar typedefs ---------------------------------------------------- */

typedef unsigned short CIMCType;       /* one of the CIMC_xxx type codes below */
typedef unsigned short CIMCValueState; /* one of the CIMC_xxxValue states below */
typedef unsigned int CIMCCount;
typedef unsigned int CIMCFlags;

typedef unsigned char CIMCBoolean;
typedef unsigned short CIMCChar16;
typedef unsigned char CIMCUint8;
typedef unsigned short CIMCUint16;
typedef unsigned int CIMCUint32;
typedef unsigned long long CIMCUint64;
typedef signed char CIMCSint8;
typedef short CIMCSint16;
typedef int CIMCSint32;
typedef long long CIMCSint64;
typedef float CIMCReal32;
typedef double CIMCReal64;

/* ---- type codes ---------------------------------------------------------
 * Several codes share a value (CIMC_chars == CIMC_classNameString, ...), so
 * compare a CIMCType for equality instead of testing bits, except for
 * CIMC_ARRAY which is or-ed onto the element type (a string array is 0x3600).
 */
#define CIMC_null 0x0000

#define CIMC_SIMPLE 0x0002
#define CIMC_boolean (CIMC_SIMPLE + 0)
#define CIMC_char16 (CIMC_SIMPLE + 1)

#define CIMC_REAL 0x0008
#define CIMC_real32 (CIMC_REAL + 0)
#define CIMC_real64 (CIMC_REAL + 4)

#define CIMC_UINT 0x0080
#define CIMC_uint8 (CIMC_UINT + 0x00)
#define CIMC_uint16 (CIMC_UINT + 0x10)
#define CIMC_uint32 (CIMC_UINT + 0x20)
#define CIMC_uint64 (CIMC_UINT + 0x30)

#define CIMC_SINT 0x00C0
#define CIMC_sint8 (CIMC_SINT + 0x00)
#define CIMC_sint16 (CIMC_SINT + 0x10)
#define CIMC_sint32 (CIMC_SINT + 0x20)
#define CIMC_sint64 (CIMC_SINT + 0x30)
#define CIMC_INTEGER CIMC_SINT

#define CIMC_ENC 0x1000
#define CIMC_instance (CIMC_ENC + 0x0000)
#define CIMC_ref (CIMC_ENC + 0x0100)
#define CIMC_args (CIMC_ENC + 0x0200)
#define CIMC_class (CIMC_ENC + 0x0300)
#define CIMC_filter (CIMC_ENC + 0x0400)
#define CIMC_enumeration (CIMC_ENC + 0x0500)
#define CIMC_string (CIMC_ENC + 0x0600)
#define CIMC_chars (CIMC_ENC + 0x0700)
#define CIMC_dateTime (CIMC_ENC + 0x0800)
#define CIMC_ptr (CIMC_ENC + 0x0900)
#define CIMC_charsptr (CIMC_ENC + 0x0A00)

#define CIMC_ARRAY 0x2000

/* predicate string codes */
#define CIMC_charString 0x1600
#define CIMC_integerString 0x16F0
#define CIMC_realString 0x160C
#define CIMC_numericString 0x16FC
#define CIMC_booleanString 0x1602
#define CIMC_dateTimeString 0x1E00
#define CIMC_classNameString 0x1700
#define CIMC_nameString 0x1E00

/* ---- value states ------------------------------------------------------- */

#define CIMC_goodValue 0x0000
#define CIMC_nullValue 0x0100
#define CIMC_keyValue 0x0200
#define CIMC_notFound 0x0400
#define CIMC_badValue 0x8000

/* ---- return codes ------------------------------------------------------- */

typedef enum CIMCrc {
    CIMC_RC_OK = 0,
    CIMC_RC_ERR_FAILED = 1,
    CIMC_RC_ERR_ACCESS_DENIED = 2,
    CIMC_RC_ERR_INVALID_NAMESPACE = 3,
    CIMC_RC_ERR_INVALID_PARAMETER = 4,
    CIMC_RC_ERR_INVALID_CLASS = 5,
    CIMC_RC_ERR_NOT_FOUND = 6,
    CIMC_RC_ERR_NOT_SUPPORTED = 7,
    CIMC_RC_ERR_CLASS_HAS_CHILDREN = 8,
    CIMC_RC_ERR_CLASS_HAS_INSTANCES = 9,
    CIMC_RC_ERR_INVALID_SUPERCLASS = 10,
    CIMC_RC_ERR_ALREADY_EXISTS = 11,
    CIMC_RC_ERR_NO_SUCH_PROPERTY = 12,
    CIMC_RC_ERR_TYPE_MISMATCH = 13,
    CIMC_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED = 14,
    CIMC_RC_ERR_INVALID_QUERY = 15,
    CIMC_RC_ERR_METHOD_NOT_AVAILABLE = 16,
    CIMC_RC_ERR_METHOD_NOT_FOUND = 17,
    CIMC_RC_DO_NOT_UNLOAD = 50,
    CIMC_RC_NEVER_UNLOAD = 51,
    CIMC_RC_ERROR_SYSTEM = 100,
    CIMC_RC_ERROR = 200
} CIMCrc;

/* ---- objects and their function tables (tables are in cimcft.h) --------- */

typedef struct _CIMCEnv CIMCEnv;
typedef struct _CIMCClient CIMCClient;
typedef struct _CIMCInstance CIMCInstance;
typedef struct _CIMCObjectPath CIMCObjectPath;
typedef struct _CIMCArgs CIMCArgs;
typedef struct _CIMCClass CIMCClass;
typedef struct _CIMCEnumeration CIMCEnumeration;
typedef struct _CIMCArray CIMCArray;
typedef struct _CIMCString CIMCString;
typedef struct _CIMCDateTime CIMCDateTime;
typedef struct _CIMCIndicationListener CIMCIndicationListener;

typedef struct _CIMCEnvFT CIMCEnvFT;
typedef struct _CIMCClientFT CIMCClientFT;
typedef struct _CIMCInstanceFT CIMCInstanceFT;
typedef struct _CIMCObjectPathFT CIMCObjectPathFT;
typedef struct _CIMCArgsFT CIMCArgsFT;
typedef struct _CIMCClassFT CIMCClassFT;
typedef struct _CIMCEnumerationFT CIMCEnumerationFT;
typedef struct _CIMCArrayFT CIMCArrayFT;
typedef struct _CIMCStringFT CIMCStringFT;
typedef struct _CIMCDateTimeFT CIMCDateTimeFT;
typedef struct _CIMCIndicationListenerFT CIMCIndicationListenerFT;

/* ---- values ------------------------------------------------------------- */

/* Opaque pointer plus length, carried for CIMC_ptr values. */
typedef struct _CIMCValuePtr {
    void* ptr;
    unsigned int length;
} CIMCValuePtr;

/* One value; which member is live is given by the CIMCType next to it. */
typedef union _CIMCValue {
    CIMCUint64 uint64;
    CIMCUint32 uint32;
    CIMCUint16 uint16;
    CIMCUint8 uint8;
    CIMCSint64 sint64;
    CIMCSint32 sint32;
    CIMCSint16 sint16;
    CIMCSint8 sint8;
    CIMCReal64 real64;
    CIMCReal32 real32;
    CIMCBoolean boolean;
    CIMCChar16 char16;
    CIMCClass* cls;
    CIMCInstance* inst;
    CIMCObjectPath* ref;
    CIMCArgs* args;
    CIMCEnumeration* Enum;
    CIMCArray* array;
    CIMCString* string;
    char* chars;
    CIMCDateTime* dateTime;
    CIMCValuePtr dataPtr;
} CIMCValue;

/* A typed value with its state, as returned by getProperty, getKey, getNext,
 * getElementAt and friends.  Objects inside a returned CIMCData are usually a
 * view owned by the object it came from (see the table comments). */
typedef struct _CIMCData {
    CIMCType type;
    CIMCValueState state;
    CIMCValue value;
} CIMCData;

/* Result of a call.  A non-NULL msg belongs to the caller, who releases it. */
typedef struct _CIMCStatus {
    CIMCrc rc;
    CIMCString* msg;
} CIMCStatus;

/* ---- object handles -----------------------------------------------------
 * Callers never look inside hdl, except for CIMCString, whose hdl points at
 * the NUL-terminated characters.
 */

struct _CIMCEnv {
    void* hdl;
    CIMCEnvFT* ft;
    unsigned int options; /* the options given to NewCIMCEnv */
};

struct _CIMCClient {
    void* hdl;
    CIMCClientFT* ft;
};

struct _CIMCInstance {
    void* hdl;
    CIMCInstanceFT* ft;
};

struct _CIMCObjectPath {
    void* hdl;
    CIMCObjectPathFT* ft;
};

struct _CIMCArgs {
    void* hdl;
    CIMCArgsFT* ft;
};

struct _CIMCClass {
    void* hdl;
    CIMCClassFT* ft;
};

struct _CIMCEnumeration {
    void* hdl;
    CIMCEnumerationFT* ft;
};

struct _CIMCArray {
    void* hdl;
    CIMCArrayFT* ft;
};

struct _CIMCString {
    void* hdl; /* the NUL-terminated characters */
    CIMCStringFT* ft;
};

struct _CIMCDateTime {
    void* hdl;
    CIMCDateTimeFT* ft;
};

struct _CIMCIndicationListener {
    void* hdl;
    CIMCIndicationListenerFT* ft;
};

/* ---- layout checks (x86-64) --------------------------------------------- */

#if defined(__x86_64__) || defined(_M_X64)
#if defined(__cplusplus) && __cplusplus >= 201103L
#define CIMC_LAYOUT_CHECK_(cond, what) static_assert(cond, what)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define CIMC_LAYOUT_CHECK_(cond, what) _Static_assert(cond, what)
#endif
#ifdef CIMC_LAYOUT_CHECK_
CIMC_LAYOUT_CHECK_(sizeof(CIMCValue) == 16, "CIMCValue must be 16 bytes");
CIMC_LAYOUT_CHECK_(sizeof(CIMCData) == 24, "CIMCData must be 24 bytes");
CIMC_LAYOUT_CHECK_(offsetof(CIMCData, type) == 0, "CIMCData.type at offset 0");
CIMC_LAYOUT_CHECK_(offsetof(CIMCData, state) == 2, "CIMCData.state at offset 2");
CIMC_LAYOUT_CHECK_(offsetof(CIMCData, value) == 8, "CIMCData.value at offset 8");
CIMC_LAYOUT_CHECK_(sizeof(CIMCStatus) == 16, "CIMCStatus must be 16 bytes");
CIMC_LAYOUT_CHECK_(offsetof(CIMCStatus, rc) == 0, "CIMCStatus.rc at offset 0");
CIMC_LAYOUT_CHECK_(offsetof(CIMCStatus, msg) == 8, "CIMCStatus.msg at offset 8");
#undef CIMC_LAYOUT_CHECK_
#endif
#endif

/* NOLINTEND(bugprone-reserved-identifier) */

#ifdef __cplusplus
}
#endif

#endif /* ORVIND_CIMC_CIMCDT_H */
