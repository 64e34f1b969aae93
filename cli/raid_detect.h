// Layout detection of an array from its member disks, for `raid detect` and
// `--raid auto`: the dynamic-disk metadata first, then the content.
#pragma once

#include <blockgate/blockgate.h>
#include <blockgate/raid.h>

#include <cstdint>
#include <string>
#include <vector>

namespace salvor::cli {

// One layout judged possible.
struct DetectedLayout {
    std::string method;              // "metadata" or "content"
    uint8_t level = 0;               // 0 striping, 1 striping with parity
    uint32_t layout = 0;             // BgRaidLayoutCode
    uint32_t stripe_size = 0;        // sectors
    std::vector<int> order;          // column k: index of the member (as given) holding it
    std::vector<uint64_t> member_start; // by member index: first sector, UINT64_MAX when missing
    std::string volume;              // the dynamic-disk volume, when the metadata named it

    // The first sector shared by every present member, or UINT64_MAX.
    uint64_t common_start() const;
};

struct Detection {
    std::vector<DetectedLayout> layouts;
    std::vector<std::string> reasons; // why a method and level found nothing
    std::string error;                // a member that cannot be opened
};

// The members: image or device paths, "missing" for a missing member.
// Opens them through blockgate (image files only, no real disks listed) and
// leaves them open: `readers` receives the member readers (BG_RAID_MISSING
// for a missing one); the caller releases the devices.
Detection detect_layouts(const std::vector<std::string>& members, std::vector<BgReader*>& readers);

// "left asymmetric", ... ; "none" for code 6.
const char* layout_name(uint32_t code);

} // namespace salvor::cli
