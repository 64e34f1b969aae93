// Layout detection of a striped or RAID 5 array from its member disks: from
// the Logical Disk Manager database of Windows dynamic disks, or from where
// the records of an NTFS file system lie on the members.
#pragma once

#include <blockgate/raid.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fsprobe::raid {

inline constexpr uint64_t no_start = ~uint64_t(0);

// One layout judged possible.
struct Candidate {
    // Column k is held by member order[k] (an index into the member array);
    // 0xFF marks unused columns.
    std::array<uint8_t, BG_RAID_MAX_MEMBERS> order {};
    uint32_t layout = 0xFFFFFFFF; // BgRaidLayoutCode
    uint32_t stripe_size = 0;     // sectors
    // Where the array's data starts on each member (by member-array index),
    // in sectors; no_start for a missing member. Dynamic disks of one set
    // may each start it elsewhere (MBR and GPT disks mixed).
    std::vector<uint64_t> member_start;
    std::string volume_name;      // the LDM volume, when the metadata named one

    // The start shared by every present member, or no_start when they differ.
    uint64_t common_start() const;
    uint32_t columns() const;
};

// The members as the caller gave them: entry i is null for a missing member.
struct MemberSet {
    uint8_t level = 0;
    std::vector<BgReader*> members;

    static MemberSet from(const RaidParams& params);
    int missing_index() const;    // the first missing entry, -1 when none
    int missing_count() const;
};

// Method 1: the volumes of the LDM database whose type fits the level
// ("gen" with a striped component for level 0, "raid5" for level 1) and
// whose partitions lie on the given members (level 1: all but the one
// member given as missing). Empty when none; fail() says why.
std::vector<Candidate> detect_from_metadata(const MemberSet& set);

// Method 2: an NTFS file system striped over the members, found by its boot
// sector and judged by where its MFT records lie. Empty when none.
std::vector<Candidate> detect_from_content(const MemberSet& set);

} // namespace fsprobe::raid
