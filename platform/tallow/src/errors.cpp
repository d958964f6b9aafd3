// errors.cpp - what both backends share of their answers: the texts of the library's
// error codes and the checks of a command request's buffers.
#include "storage.h"
#include "tallow.h"

#include <cstring>

namespace tallowsim {

namespace {

struct ErrorText {
    int code;
    const char* text;
};

const ErrorText kErrors[] = {
    {0, "Success"},
    {BMC_E_INVAL, "Invalid argument"},
    {BMC_E_NODEV, "No such BMC unit"},
    {BMC_E_STATE, "BMC state not accessible"},
    {BMC_E_NOTOPEN, "BMC handle not open"},
    {BMC_E_IO, "I/O error talking to the BMC"},
    {BMC_E_BUSY, "BMC busy, try again later"},
    {BMC_E_FULL, "FPL full"},
    {BMC_E_TIMEOUT, "BMC did not answer in time"},
    {BMC_E_NOMEM, "Out of memory"},
    {BMC_E_NOACCESS, "Permission denied"},
};

} // namespace

const char* errorText(int code) {
    for (const ErrorText& error : kErrors) {
        if (error.code == code) {
            return error.text;
        }
    }
    return nullptr;
}

int checkCliBuffers(const str_buf* out, const str_buf* err) {
    if (out == nullptr || err == nullptr || out->buffer == nullptr || err->buffer == nullptr) {
        return ZU_CLI_NULL_BUFFER;
    }
    if (out->size < ZU_CLI_MIN_BUFFER || err->size < ZU_CLI_MIN_BUFFER) {
        return ZU_CLI_BUFFER_TOO_SMALL;
    }
    return 0;
}

int beginOpen(BMC_t* bmc, int unit) {
    if (bmc == nullptr) {
        return BMC_E_INVAL;
    }
    memset(bmc, 0, sizeof *bmc);
    bmc->fd = -1;
    return unit != 0 ? BMC_E_NODEV : 0;
}

} // namespace tallowsim
