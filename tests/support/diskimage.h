#ifndef ORVIND_TESTS_DISKIMAGE_H
#define ORVIND_TESTS_DISKIMAGE_H

#include <string>

// An ext4 file system in an image file, mounted through a loop device over a folder (in
// the test's own mount namespace: the sandbox's). Where loop devices or mkfs.ext4 are
// not available, ok() is false and why() says so; the test then skips with that line.
class DiskImage {
public:
    // `mkfsOptions` (for example "-b 1024") and `mountOptions` (for example
    // "commit=600") go to mkfs.ext4 and mount as they stand.
    DiskImage(std::string image, std::string folder, int megabytes,
              const std::string& mkfsOptions = "", const std::string& mountOptions = "");
    ~DiskImage();
    DiskImage(const DiskImage&) = delete;
    DiskImage& operator=(const DiskImage&) = delete;

    bool ok() const { return mounted; }
    const std::string& why() const { return reason; }
    // Mounts another image (a copy of this one) over the folder instead; false when it
    // does not mount.
    bool remount(const std::string& image, const std::string& mountOptions = "");
    void unmount();

private:
    std::string image;
    std::string folder;
    bool mounted = false;
    std::string reason;
};

#endif
