#include "secrets.h"

#include "logger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace secrets {

namespace {

const char* const kPasswordVariable = "ORVIND_BMC_PASSWORD";
const char* const kPasswordFileVariable = "ORVIND_BMC_PASSWORD_FILE";
const char* const kCredential = "bmc-password";

// Where the password comes from instead, empty when nothing else gives it.
std::string otherSource() {
    // Start-up, before any other thread: nothing changes the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    if (const char* dir = getenv("CREDENTIALS_DIRECTORY"); dir != nullptr && *dir != '\0') {
        const std::string credential = std::string(dir) + "/" + kCredential;
        if (access(credential.c_str(), F_OK) == 0) {
            return "the credential " + credential;
        }
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    if (const char* file = getenv(kPasswordFileVariable); file != nullptr && *file != '\0') {
        return std::string("the file ") + file;
    }
    return "";
}

} // namespace

files::Fd takeBmcPassword() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    char* value = getenv(kPasswordVariable);
    if (value == nullptr) {
        return files::Fd();
    }
    std::string password = value;
    // The kernel shows the environment the process started with, wherever the C
    // library's copy points now: the bytes themselves go.
    memset(value, 0, password.size());
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    unsetenv(kPasswordVariable);
    const std::string other = otherSource();
    if (!other.empty()) {
        logger.warn("ORVIND_BMC_PASSWORD is ignored: the BMC password comes from %s.",
                    other.c_str());
        return files::Fd();
    }
    logger.warn("The BMC password is taken from the environment (ORVIND_BMC_PASSWORD), which "
                "is for tests only. Give it as a credential (systemctl edit orvind: "
                "LoadCredential=bmc-password:/etc/orvind/bmc-password) or in a file of root's, "
                "mode 0600, named by ORVIND_BMC_PASSWORD_FILE in /etc/default/orvind.");
    files::Fd fd(memfd_create(kCredential, MFD_CLOEXEC));
    int error = !fd ? errno : fchmod(fd.get(), 0600) != 0 ? errno : 0;
    if (error == 0) {
        error = files::writeAll(fd.get(), password.data(), password.size());
    }
    if (error != 0) {
        logger.error("The BMC password cannot be kept: %s. The BMC is reached without one.",
                     files::errorText(error).c_str());
        return files::Fd();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd.get());
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    setenv(kPasswordFileVariable, path.c_str(), 1);
    return fd;
}

} // namespace secrets
