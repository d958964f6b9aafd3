// CIMCDateTime: keeps the 25-character CIM text,
// "yyyymmddhhmmss.mmmmmmsutc" for a point in time or
// "ddddddddhhmmss.mmmmmm:000" for an interval.
#include "internal.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace cimc {
namespace {

struct DateTimeData {
    std::string text;
};

DateTimeData* data(CIMCDateTime* dt) {
    return static_cast<DateTimeData*>(dt->hdl);
}

CIMCDateTime* make(std::string text);

CIMCStatus release(CIMCDateTime* dt) {
    if (dt != nullptr) {
        delete data(dt);
        delete dt;
    }
    return status(CIMC_RC_OK);
}

CIMCDateTime* clone(CIMCDateTime* dt, CIMCStatus* st) {
    if (dt == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no date-time given");
        return nullptr;
    }
    setOk(st);
    return make(data(dt)->text);
}

CIMCBoolean isInterval(CIMCDateTime* dt, CIMCStatus* st) {
    if (dt == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no date-time given");
        return 0;
    }
    setOk(st);
    return data(dt)->text[21] == ':' ? 1 : 0;
}

// The decimal number in text[from, from + len), or false when a character
// is not a digit.
bool digits(const std::string& text, size_t from, size_t len, unsigned long long* out) {
    unsigned long long n = 0;
    for (size_t i = from; i < from + len; ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        n = n * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *out = n;
    return true;
}

CIMCUint64 getBinaryFormat(CIMCDateTime* dt, CIMCStatus* st) {
    if (dt == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no date-time given");
        return 0;
    }
    const std::string& t = data(dt)->text;
    unsigned long long hour = 0, min = 0, sec = 0, usec = 0;
    bool ok = digits(t, 8, 2, &hour) && digits(t, 10, 2, &min) && digits(t, 12, 2, &sec) &&
              digits(t, 15, 6, &usec);
    if (t[21] == ':') {
        unsigned long long days;
        if (!ok || !digits(t, 0, 8, &days)) {
            setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "date-time text has no number");
            return 0;
        }
        setOk(st);
        return (((days * 24 + hour) * 60 + min) * 60 + sec) * 1000000ULL + usec;
    }
    unsigned long long year, month, day, offset;
    if (!ok || !digits(t, 0, 4, &year) || !digits(t, 4, 2, &month) || !digits(t, 6, 2, &day) ||
        !digits(t, 22, 3, &offset)) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "date-time text has no number");
        return 0;
    }
    struct tm tm {};
    tm.tm_year = static_cast<int>(year) - 1900;
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_mday = static_cast<int>(day);
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(min);
    tm.tm_sec = static_cast<int>(sec);
    long long seconds = static_cast<long long>(timegm(&tm));
    // The text is local time at the given offset (minutes east of UTC).
    long long shift = static_cast<long long>(offset) * 60;
    seconds += t[21] == '+' ? -shift : shift;
    setOk(st);
    return static_cast<CIMCUint64>(seconds) * 1000000ULL + usec;
}

CIMCString* getStringFormat(CIMCDateTime* dt, CIMCStatus* st) {
    if (dt == nullptr) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER, "no date-time given");
        return nullptr;
    }
    setOk(st);
    return newString(data(dt)->text);
}

CIMCDateTimeFT dateTimeFT = {1, release, clone, getBinaryFormat, getStringFormat, isInterval};

CIMCDateTime* make(std::string text) {
    return new CIMCDateTime{new DateTimeData{std::move(text)}, &dateTimeFT};
}

} // namespace

CIMCDateTime* newDateTimeFromChars(const char* text, CIMCStatus* st) {
    std::string t = text != nullptr ? text : "";
    if (t.size() != 25 || (t[21] != '+' && t[21] != '-' && t[21] != ':')) {
        setStatus(st, CIMC_RC_ERR_INVALID_PARAMETER,
                  "a CIM date-time is 25 characters with '+', '-' or ':' at index 21");
        return nullptr;
    }
    setOk(st);
    return make(std::move(t));
}

CIMCDateTime* newDateTimeFromBinary(CIMCUint64 microseconds, bool interval) {
    char text[64];
    unsigned usec = static_cast<unsigned>(microseconds % 1000000ULL);
    unsigned long long seconds = microseconds / 1000000ULL;
    if (interval) {
        snprintf(text, sizeof text, "%08llu%02llu%02llu%02llu.%06u:000", seconds / 86400,
                 seconds / 3600 % 24, seconds / 60 % 60, seconds % 60, usec);
    } else {
        time_t when = static_cast<time_t>(seconds);
        struct tm tm {};
        gmtime_r(&when, &tm);
        snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%06u+000", tm.tm_year + 1900,
                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, usec);
    }
    return make(text);
}

} // namespace cimc
