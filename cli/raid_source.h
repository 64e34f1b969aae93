// The source of a job that is an array: member images assembled into one
// virtual volume by a layout the user gives (--raid).
#pragma once

#include <blockgate/raid.h>

#include <cstdint>
#include <string>
#include <vector>

namespace salvor::cli {

// LEVEL:LAYOUT:STRIPE:FIRST, or "auto".
struct RaidOption {
    bool automatic = false;
    uint8_t level = 0;     // 0 striping, 1 RAID 5
    uint32_t layout = BG_RAID_NO_PARITY;
    uint32_t stripe = 0;   // sectors
    uint32_t first = 0;    // sector
};

// Parses the --raid value; false with a message when it is not one.
bool parse_raid_option(const std::string& text, RaidOption& option, std::string& error);

// One member argument: "missing", PATH, or PATH@SECTOR (the member's data
// counted from that sector of the file).
struct RaidMember {
    std::string path;
    bool missing = false;
    bool windowed = false;
    uint64_t sector = 0;
};

bool parse_raid_member(const std::string& text, RaidMember& member, std::string& error);

// The files a job with these members reads (present members, paths only).
std::vector<std::string> raid_member_paths(const std::vector<std::string>& members);

class RaidSource {
public:
    RaidSource() = default;
    // Closes the array (before the member images are released).
    ~RaidSource();
    RaidSource(const RaidSource&) = delete;
    RaidSource& operator=(const RaidSource&) = delete;

    // Opens the members as the only disks and the array over them. Returns
    // the volume to work on: the array's file system, or with a partition
    // table inside, its volume `volume_index` (-1: the only one). Null with a
    // message otherwise.
    BgVolume* Open(const RaidOption& option, const std::vector<std::string>& members, int volume_index,
                   std::string& error);

private:
    // --raid auto: the layout detected from the members, then opened as given.
    BgVolume* OpenDetected(const std::vector<std::string>& members, int volume_index, std::string& error);

    RaidParams m_params {};
    bool m_open = false;
};

} // namespace salvor::cli
