// Whether a target folder lies on the volume being recovered from.
#pragma once

#include <string>

namespace salvor {

// True when writing into `target` (an existing folder) could change the
// source: the folder's file system is the source block device itself, a
// partition of the source disk, or a mount of the source image (directly, as
// FUSE mounts show it, or through a loop device backed by it). Files are
// compared by identity (device and inode; a block device by its device
// number), so another path or a hard link to the image is caught too.
// `mountinfo` and `sysfs` name the files to read (tests pass fakes; the loop
// driver itself is asked only with the real /sys).
bool TargetOnSource(const std::string& target, const std::string& source,
                    const std::string& mountinfo = "/proc/self/mountinfo", const std::string& sysfs = "/sys");

} // namespace salvor
