// Physical locations and their text form: 16 hexadecimal digits, cab first.
#include "tallow.h"

#include <cctype>
#include <cstring>

extern "C" const physloc_t BMC_physloc_NULL = {0, 0, 0, 0, 0, 0, 0, 0, 0};

extern "C" int BMC_str_to_physloc(const char* text, physloc_t* loc) {
    if (loc == nullptr) {
        return BMC_E_INVAL;
    }
    *loc = BMC_physloc_NULL;
    if (text == nullptr || strnlen(text, 17) != 16) {
        return BMC_E_INVAL;
    }
    uint64_t value = 0;
    for (int i = 0; i < 16; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!isxdigit(c)) {
            return BMC_E_INVAL;
        }
        value = (value << 4) | static_cast<uint64_t>(isdigit(c) ? c - '0' : tolower(c) - 'a' + 10);
    }
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    memcpy(loc, bytes, sizeof bytes);
    return 0;
}
