#include "diskimage.h"

#include <cstdlib>
#include <sys/mount.h>
#include <utility>

namespace {

int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

} // namespace

DiskImage::DiskImage(std::string imagePath, std::string mountPoint, int megabytes,
                     const std::string& mkfsOptions, const std::string& mountOptions)
    : image(std::move(imagePath)), folder(std::move(mountPoint)) {
    if (run("command -v mkfs.ext4") != 0) {
        reason = "mkfs.ext4 is not available";
        return;
    }
    if (run("losetup -f") != 0) {
        reason = "no loop device is available";
        return;
    }
    if (run("truncate -s " + std::to_string(megabytes) + "M '" + image + "'") != 0 ||
        run("mkfs.ext4 -q -F " + mkfsOptions + " '" + image + "'") != 0) {
        reason = "the image " + image + " could not be made";
        return;
    }
    if (!remount(image, mountOptions)) {
        reason = "the image could not be mounted through a loop device";
    }
}

DiskImage::~DiskImage() {
    unmount();
}

bool DiskImage::remount(const std::string& other, const std::string& mountOptions) {
    unmount();
    mounted = run("mount -t ext4 -o loop" + (mountOptions.empty() ? "" : "," + mountOptions) +
                  " '" + other + "' '" + folder + "'") == 0;
    return mounted;
}

void DiskImage::unmount() {
    if (mounted) {
        umount2(folder.c_str(), MNT_DETACH);
        mounted = false;
    }
}
