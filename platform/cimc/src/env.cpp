// NewCIMCEnv / ReleaseCIMCEnv and the environment's factory table. Only the
// "SfcbLocal" connector exists here; "XML" answers as when its connector
// library is not installed.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <time.h>

namespace cimc {
namespace {

char localName[] = "SfcbLocal";

void* release(CIMCEnv* ce) {
    delete ce;
    return nullptr;
}

CIMCClient* connect(CIMCEnv*, const char*, const char*, const char*, const char*, const char*,
                    CIMCStatus* st) {
    return connectLocal(st);
}

CIMCClient* connect2(CIMCEnv*, const char*, const char*, const char*, const char*, const char*, int,
                     const char*, const char*, const char*, CIMCStatus* st) {
    return connectLocal(st);
}

CIMCInstance* envNewInstance(CIMCEnv*, const CIMCObjectPath* op, CIMCStatus* st) {
    return newInstance(op, st);
}

CIMCObjectPath* envNewObjectPath(CIMCEnv*, const char* ns, const char* cn, CIMCStatus* st) {
    setOk(st);
    return newObjectPath(ns, cn);
}

CIMCArgs* envNewArgs(CIMCEnv*, CIMCStatus* st) {
    setOk(st);
    return newArgs();
}

CIMCString* envNewString(CIMCEnv*, const char* data, CIMCStatus* st) {
    setOk(st);
    return newString(data);
}

CIMCArray* envNewArray(CIMCEnv*, CIMCCount max, CIMCType type, CIMCStatus* st) {
    return newArray(max, type, st);
}

CIMCDateTime* envNewDateTime(CIMCEnv*, CIMCStatus* st) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    setOk(st);
    return newDateTimeFromBinary(static_cast<CIMCUint64>(now.tv_sec) * 1000000ULL +
                                     static_cast<CIMCUint64>(now.tv_nsec / 1000),
                                 false);
}

CIMCDateTime* envNewDateTimeFromBinary(CIMCEnv*, CIMCUint64 binTime, CIMCBoolean interval,
                                       CIMCStatus* st) {
    setOk(st);
    return newDateTimeFromBinary(binTime, interval != 0);
}

CIMCDateTime* envNewDateTimeFromChars(CIMCEnv*, const char* utcTime, CIMCStatus* st) {
    return newDateTimeFromChars(utcTime, st);
}

CIMCIndicationListener* envNewIndicationListener(CIMCEnv*, int, int*, char**,
                                                 void (*)(CIMCInstance*), CIMCStatus* st) {
    setStatus(st, CIMC_RC_ERR_NOT_SUPPORTED, "indication listeners are not supported");
    return nullptr;
}

void* markHeap() {
    return nullptr;
}

void releaseHeap(void*) {}

CIMCEnvFT localFT = {localName,
                     release,
                     connect,
                     connect2,
                     envNewInstance,
                     envNewObjectPath,
                     envNewArgs,
                     envNewString,
                     envNewArray,
                     envNewDateTime,
                     envNewDateTimeFromBinary,
                     envNewDateTimeFromChars,
                     envNewIndicationListener,
                     markHeap,
                     releaseHeap};

} // namespace
} // namespace cimc

extern "C" CIMCEnv* NewCIMCEnv(const char* id, unsigned int options, int* rc, char** msg) {
    int code = 0;
    std::string text;
    CIMCEnv* env = nullptr;
    if (id != nullptr && strcmp(id, "SfcbLocal") == 0) {
        env = new CIMCEnv{nullptr, &cimc::localFT, options};
    } else if (id != nullptr && strcmp(id, "XML") == 0) {
        // The HTTP connector is not part of this build.
        code = 1;
        text = "Unable to load libcimcClientXML.so.0 library libcimcClientXML.so.0: cannot open "
               "shared object file: No such file or directory";
    } else {
        code = 3;
        text = std::string("Invalid connection type '") + (id != nullptr ? id : "") +
               "'. Must be 'XML' or 'SfcbLocal'.";
    }
    if (rc != nullptr) {
        *rc = code;
    }
    if (msg != nullptr) {
        *msg = code != 0 ? strdup(text.c_str()) : nullptr;
    }
    return env;
}

extern "C" void ReleaseCIMCEnv(CIMCEnv* env) {
    if (env != nullptr && env->ft != nullptr) {
        env->ft->release(env);
    }
}
