// CIMCString: hdl is the NUL-terminated text itself, so callers may read it
// straight from the handle.
#include "internal.h"

#include <cstdlib>
#include <cstring>

namespace cimc {
namespace {

CIMCStatus release(CIMCString* s) {
    if (s != nullptr) {
        free(s->hdl);
        delete s;
    }
    return status(CIMC_RC_OK);
}

CIMCString* clone(CIMCString* s, CIMCStatus* st) {
    if (s == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no string given");
        return nullptr;
    }
    setOk(st);
    return newString(chars(s));
}

char* getCharPtr(CIMCString* s, CIMCStatus* st) {
    if (s == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no string given");
        return nullptr;
    }
    setOk(st);
    return static_cast<char*>(s->hdl);
}

CIMCStringFT stringFT = {1, release, clone, getCharPtr};

} // namespace

CIMCString* newString(const char* text) {
    char* copy = strdup(text != nullptr ? text : "");
    if (copy == nullptr) {
        return nullptr;
    }
    return new CIMCString{copy, &stringFT};
}

CIMCString* newString(const std::string& text) {
    return newString(text.c_str());
}

const char* chars(CIMCString* s) {
    if (s == nullptr || s->hdl == nullptr) {
        return "";
    }
    return static_cast<const char*>(s->hdl);
}

} // namespace cimc
