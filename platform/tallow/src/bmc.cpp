// The handle, the FPL and the enclosure CLI of the simulated BMC.
#include "storage.h"
#include "tallow.h"
#include "tallow_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Commands the simulated management processor understands.
const char* const kCommands[] = {"MPEventGen"};

const char* statusText(int status) {
    switch (status) {
    case ZU_CLI_OK:
        return "accepted";
    case ZU_CLI_INCOMPLETE:
        return "command input data not complete";
    case ZU_CLI_INTERNAL:
    case ZU_CLI_INTERNAL2:
        return "internal error";
    case ZU_CLI_BAD_INDEX:
        return "no such outstanding request";
    case ZU_CLI_FULL:
        return "too many outstanding requests";
    case ZU_CLI_INVALID_COMMAND:
        return "command not supported";
    case ZU_CLI_TRUNCATED:
        return "response truncated";
    case ZU_CLI_TOO_LONG:
        return "argument or environment too long";
    default:
        return "error";
    }
}

int errnoCode(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return BMC_E_NOACCESS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return BMC_E_FULL;
    case ENOMEM:
        return BMC_E_NOMEM;
    default:
        return BMC_E_IO;
    }
}

// The status the management processor answers a well-formed request with, before faults.
int checkRequest(const cli_request* req, size_t nameLength, size_t argLength) {
    if (nameLength == sizeof req->name || argLength == sizeof req->arg ||
        strnlen(req->env, sizeof req->env) == sizeof req->env) {
        return ZU_CLI_TOO_LONG;
    }
    if (nameLength == 0) {
        return ZU_CLI_INCOMPLETE;
    }
    bool known = false;
    for (const char* command : kCommands) {
        known = known || strcmp(req->name, command) == 0;
    }
    if (!known) {
        return ZU_CLI_INVALID_COMMAND;
    }
    // MPEventGen names the provider first; without one the event means nothing.
    const char* first = "--PNAM ";
    size_t firstLength = strlen(first);
    if (argLength <= firstLength || strncmp(req->arg, first, firstLength) != 0 ||
        req->arg[firstLength] == ' ') {
        return ZU_CLI_INCOMPLETE;
    }
    return ZU_CLI_OK;
}

// A short answer on out for an accepted command, on err for any other.
void answer(str_buf* out, str_buf* err, const std::string& name, int status) {
    str_buf* used = status == ZU_CLI_OK ? out : err;
    str_buf* unused = status == ZU_CLI_OK ? err : out;
    unused->buffer[0] = '\0';
    snprintf(used->buffer, static_cast<size_t>(used->size), "%s: %s\n",
             name.empty() ? "command" : name.c_str(), statusText(status));
}

} // namespace

extern "C" int BMC_open(BMC_t* bmc, int unit, int flags) {
    if (int rc = tallowsim::beginOpen(bmc, unit); rc != 0) {
        return rc;
    }
    try {
        std::string dir = tallowsim::stateDir();
        std::string error;
        if (dir.size() >= sizeof bmc->state_dir) {
            fprintf(stderr, "tallow: state folder name longer than %zu characters\n",
                    sizeof bmc->state_dir - 1);
            return BMC_E_STATE;
        }
        if (!tallowsim::makeStateDir(dir, &error)) {
            int code = errno == EACCES ? BMC_E_NOACCESS : BMC_E_STATE;
            fprintf(stderr, "tallow: %s\n", error.c_str());
            return code;
        }
        tallowsim::Faults faults = tallowsim::readFaults(dir);
        if (faults.open != 0) {
            return faults.open;
        }
        std::string uuid = tallowsim::systemUuid(dir);
        snprintf(bmc->Cap.UUID, sizeof bmc->Cap.UUID, "%s", uuid.c_str());
        snprintf(bmc->state_dir, sizeof bmc->state_dir, "%s", dir.c_str());
    } catch (const std::bad_alloc&) {
        memset(bmc, 0, sizeof *bmc);
        bmc->fd = -1;
        return BMC_E_NOMEM;
    }
    bmc->unit = unit;
    bmc->flags = flags;
    bmc->is_open = 1;
    return 0;
}

extern "C" int BMC_close(BMC_t* bmc) {
    if (bmc == nullptr) {
        return BMC_E_INVAL;
    }
    if (!bmc->is_open) {
        return BMC_E_NOTOPEN;
    }
    if (bmc->fd >= 0) {
        close(bmc->fd);
    }
    tallowsim::freeDictionaries(bmc);
    bmc->fd = -1;
    bmc->is_open = 0;
    return 0;
}

extern "C" const char* BMC_strerror(int code) {
    if (const char* text = tallowsim::errorText(code)) {
        return text;
    }
    static thread_local char unknown[48];
    snprintf(unknown, sizeof unknown, "Unknown BMC error %d", code);
    return unknown;
}

namespace {

// Opens the FPL file for appending once per handle; 0 or the library's code.
int openFpl(BMC_t* bmc) {
    if (bmc->fd < 0) {
        bmc->fd = tallowsim::openAppend(bmc->state_dir, tallowsim::kFplFile);
        if (bmc->fd < 0) {
            return errnoCode(errno);
        }
    }
    return 0;
}

} // namespace

extern "C" int BMC_FPL_append_entry(BMC_t* bmc, SEL_entry_t* entry) {
    if (bmc == nullptr || entry == nullptr) {
        return BMC_E_INVAL;
    }
    if (!bmc->is_open) {
        return BMC_E_NOTOPEN;
    }
    try {
        tallowsim::Faults faults = tallowsim::readFaults(bmc->state_dir);
        if (faults.append != 0) {
            return faults.append;
        }
        if (faults.forget != 0) {
            // As some firmwares do: success, an id, and nothing kept.
            entry->ThisID = static_cast<uint32_t>(faults.forget);
            return 0;
        }
    } catch (const std::bad_alloc&) {
        return BMC_E_NOMEM;
    }
    if (int rc = openFpl(bmc)) {
        return rc;
    }
    SEL_entry_t record;
    memcpy(&record, entry, sizeof record);
    record.extra = nullptr; // the library's own field means nothing on disk
    off_t at = 0;
    int error = tallowsim::appendRecord(bmc->fd, &record, sizeof record, sizeof record, &at);
    if (error != 0) {
        return errnoCode(error);
    }
    // Records are numbered from 1 in the order they were appended.
    entry->ThisID = static_cast<uint32_t>(at / static_cast<off_t>(sizeof record)) + 1;
    return 0;
}

extern "C" int BMC_FPL_get_entry(BMC_t* bmc, uint32_t id, SEL_entry_t* entry) {
    if (bmc == nullptr || entry == nullptr) {
        return BMC_E_INVAL;
    }
    if (!bmc->is_open) {
        return BMC_E_NOTOPEN;
    }
    if (id == 0 || id >= 0xFFFF) {
        return BMC_E_INVAL;
    }
    int fd = bmc->fd;
    if (fd < 0) {
        fd = tallowsim::openAppend(bmc->state_dir, tallowsim::kFplFile);
        if (fd < 0) {
            return errnoCode(errno);
        }
        bmc->fd = fd;
    }
    SEL_entry_t record;
    const off_t at = static_cast<off_t>(id - 1) * static_cast<off_t>(sizeof record);
    ssize_t n = pread(fd, &record, sizeof record, at);
    if (n < 0) {
        return errnoCode(errno);
    }
    if (n != static_cast<ssize_t>(sizeof record)) {
        return BMC_E_INVAL; // no such record (or one torn by a crash, never acknowledged)
    }
    memset(entry, 0, sizeof *entry);
    entry->ThisID = id;
    entry->NextID = id + 1;
    entry->RecType = record.RecType;
    memcpy(&entry->e0, &record.e0, sizeof record.e0);
    entry->physloc = record.physloc;
    return 0;
}

extern "C" int ZU_CLI_Exec(BMC_t* bmc, cli_request* req, uint8_t* status, str_buf* out,
                           str_buf* err) {
    if (bmc == nullptr || !bmc->is_open || req == nullptr || status == nullptr) {
        return ZU_CLI_BAD_REQUEST;
    }
    if (int problem = tallowsim::checkCliBuffers(out, err)) {
        return problem;
    }
    try {
        tallowsim::Faults faults = tallowsim::readFaults(bmc->state_dir);
        if (faults.cli != 0) {
            return faults.cli; // the request never reached the management processor
        }
        size_t nameLength = strnlen(req->name, sizeof req->name);
        size_t argLength = strnlen(req->arg, sizeof req->arg);
        int result = checkRequest(req, nameLength, argLength);
        if (result == ZU_CLI_OK && faults.cliStatus != 0) {
            result = faults.cliStatus;
        }
        tallowsim::Command command;
        command.time = static_cast<long long>(time(nullptr));
        command.status = result;
        command.name.assign(req->name, nameLength);
        command.arg.assign(req->arg, argLength);
        std::string line = tallowsim::encodeCommand(command);
        int fd = tallowsim::openAppend(bmc->state_dir, tallowsim::kCommandsFile);
        if (fd < 0 || tallowsim::appendRecord(fd, line.data(), line.size(), 0) != 0) {
            result = ZU_CLI_INTERNAL;
        }
        if (fd >= 0) {
            close(fd);
        }
        answer(out, err, command.name, result);
        *status = static_cast<uint8_t>(result);
    } catch (const std::bad_alloc&) {
        *status = ZU_CLI_INTERNAL;
    }
    return 0;
}

extern "C" int BMC_FPL_first_id(BMC_t* bmc, uint32_t* id) {
    uint32_t last = 0;
    int rc = BMC_FPL_last_id(bmc, &last);
    if (rc == 0) {
        *id = last == 0 ? 0 : 1; // records are numbered from 1 and never removed singly
    }
    return rc;
}

extern "C" int BMC_FPL_last_id(BMC_t* bmc, uint32_t* id) {
    if (bmc == nullptr || id == nullptr) {
        return BMC_E_INVAL;
    }
    if (!bmc->is_open) {
        return BMC_E_NOTOPEN;
    }
    if (int rc = openFpl(bmc)) {
        return rc;
    }
    struct stat st;
    if (fstat(bmc->fd, &st) != 0) {
        return errnoCode(errno);
    }
    // A torn tail (never acknowledged) is no record.
    *id = static_cast<uint32_t>(st.st_size / static_cast<off_t>(sizeof(SEL_entry_t)));
    return 0;
}

extern "C" int ZU_CLI_record(BMC_t* bmc, const cli_request* req, SEL_entry_t* entry) {
    if (bmc == nullptr || req == nullptr || entry == nullptr) {
        return BMC_E_INVAL;
    }
    return bmc->is_open ? BMC_E_INVAL : BMC_E_NOTOPEN; // commands are not kept in the FPL
}

extern "C" int BMC_FPL_free_space(BMC_t* bmc, uint32_t* records, uint32_t* bytes) {
    if (bmc == nullptr || records == nullptr || bytes == nullptr) {
        return BMC_E_INVAL;
    }
    if (!bmc->is_open) {
        return BMC_E_NOTOPEN;
    }
    *records = BMC_FPL_NO_LIMIT;
    *bytes = BMC_FPL_NO_LIMIT;
    return 0;
}
