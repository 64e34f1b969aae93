// The disks and volumes blockgate sees, copied out as plain values: what
// salvor-cli lists, without holding any of blockgate's objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace salvor {

struct VolumeInfo {
    uint32_t index = 0;  // the volume's number on its disk
    uint64_t start = 0;  // byte offset on the disk
    uint64_t size = 0;   // bytes
    int32_t fs_code = 0; // BgFsCode
};

struct DiskInfo {
    int32_t number = 0;
    std::string name;          // device path or image path
    uint64_t size = 0;         // bytes
    uint32_t sector_size = 0;  // bytes per sector
    int open_error = 0;        // errno of a disk that could not be opened, else 0
    std::vector<VolumeInfo> volumes;
};

struct DeviceListing {
    std::vector<DiskInfo> disks;
    // An image that could not be added: its path and errno (the list is then
    // empty and nothing stays registered).
    std::string failed_image;
    int image_error = 0;

    bool ok() const { return image_error == 0; }
};

// Registers `images` beside the real disks, scans disks and volumes, copies
// them out and releases every device object and image again.
DeviceListing ListDevices(const std::vector<std::string>& images);

} // namespace salvor
