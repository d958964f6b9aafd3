#include "logid.h"

#include "logger.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Makes a completed rename survive a crash of the machine as well.
void syncFolderOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

int GetLogid(const char* path) {
    // "a+" creates a missing file; nothing is ever written through this handle.
    File file(fopen(path, "a+"));
    if (!file) {
        logger.error("Error opening log: %s for read", strerror(errno));
        return 0;
    }
    int id = 0;
    rewind(file.get());
    if (fread(&id, sizeof id, 1, file.get()) == 1) {
        logger.info("Last Log id: %d", id);
    } else {
        id = 0;
    }
    return id;
}

void SetLogid(const char* path, int lastLogid) {
    std::string temporary = std::string(path) + ".new";
    File file(fopen(temporary.c_str(), "w"));
    if (!file) {
        logger.error("Error opening log file: %s", strerror(errno));
        return;
    }
    bool written = fwrite(&lastLogid, sizeof lastLogid, 1, file.get()) == 1 &&
                   fflush(file.get()) == 0 && fsync(fileno(file.get())) == 0;
    file.reset();
    if (!written) {
        logger.error("write Last id: %d to log file error ", lastLogid);
        unlink(temporary.c_str());
        return;
    }
    if (rename(temporary.c_str(), path) != 0) {
        logger.error("Error opening log file: %s", strerror(errno));
        unlink(temporary.c_str());
        return;
    }
    syncFolderOf(path);
}
