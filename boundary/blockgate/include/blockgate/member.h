// blockgate: where a Windows dynamic disk keeps its Logical Disk Manager
// database and its data area, for the layout detection of an array whose
// members are such disks.
#pragma once

#include <blockgate/blockgate.h>

#include <cstddef>
#include <cstdint>

extern "C" {

enum BgMemberScheme : uint32_t {
    BG_MEMBER_MBR = 1, // partition type 0x42; private header at sector 6
    BG_MEMBER_GPT = 2, // LDM metadata and LDM data partitions
};

// What bg_probe_member found on one member disk.
struct BgMemberLocation {
    uint64_t database_offset;  // 0x00 byte offset of the 1 MiB database area
    uint64_t data_offset;      // 0x08 byte offset of the data area (partition starts count from here)
    uint64_t data_size;        // 0x10 bytes of the data area
    uint32_t bytes_per_sector; // 0x18 the sector the database counts in
    uint32_t scheme;           // 0x1C BgMemberScheme
    char disk_guid[40];        // 0x20 the disk's GUID from its private header, lower-case text
};
static_assert(offsetof(BgMemberLocation, data_offset) == 0x08);
static_assert(offsetof(BgMemberLocation, data_size) == 0x10);
static_assert(offsetof(BgMemberLocation, bytes_per_sector) == 0x18);
static_assert(offsetof(BgMemberLocation, scheme) == 0x1C);
static_assert(offsetof(BgMemberLocation, disk_guid) == 0x20);
static_assert(sizeof(BgMemberLocation) == 0x48);

// Looks for the LDM database of a member disk (a disk object, or any reader
// whose offsets start at the disk's first byte). Nonzero when found, with
// `out` filled; 0 (and `out` zeroed) when the member is no dynamic disk or
// its private header points outside the disk.
BG_API int32_t bg_probe_member(BgReader* member, BgMemberLocation* out);

} // extern "C"
