// blockgate RAID: virtual volumes assembled from the member disks of a
// striped (level 0) or RAID 5 (level 1) array.
//
// The caller describes the array in a RaidParams record. A virtual volume is
// opened over one member; while the record that holds it is published through
// bg_raid_context with its open flag set to 1, every read of the volume is
// mapped across all members by the record's layout (a missing member rebuilt
// by XOR from the others). While it is not published it reads that one member
// from the array's first sector on (what layout detection looks at).
//
// Records crossing the boundary are packed and little-endian. Address fields
// are pointer-sized on the 64-bit build; every other field keeps its width and
// order. The offsets are checked below.
#pragma once

#include <blockgate/blockgate.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {

// ---------------------------------------------------------------------------
// Layout codes: where the data blocks and the parity block of one stripe row
// lie. One code set for RaidParams, RaidJudgeInfo and bg_raid_map_block.
//
// n members (columns 0..n-1 in member-array order), stripe row r (each row is
// one stripe of every member), level 1 rows hold n-1 data blocks d = 0..n-2
// and one parity block on column p:
//
//   code  name               parity column p        data block d on column
//   0     left asymmetric    n-1 - (r mod n)        d < p ? d : d+1
//   1     right asymmetric   r mod n                d < p ? d : d+1
//   2     left symmetric     n-1 - (r mod n)        (p + 1 + d) mod n
//   3     right symmetric    r mod n                (p + 1 + d) mod n
//   4     parity first       0                      d + 1
//   5     parity last        n-1                    d
//   6     no parity (level 0; rows hold n data blocks)   d
//
// Windows dynamic-disk RAID 5 volumes and Linux md (by default) use code 2.
// Data block b of the volume is data block (b mod per-row) of row (b / per-row).
// ---------------------------------------------------------------------------
enum BgRaidLayoutCode : uint32_t {
    BG_RAID_LEFT_ASYMMETRIC = 0,
    BG_RAID_RIGHT_ASYMMETRIC = 1,
    BG_RAID_LEFT_SYMMETRIC = 2,
    BG_RAID_RIGHT_SYMMETRIC = 3,
    BG_RAID_PARITY_FIRST = 4,
    BG_RAID_PARITY_LAST = 5,
    BG_RAID_NO_PARITY = 6,
    BG_RAID_LAYOUT_CODES = 7,
};

// RaidParams levels.
enum : uint8_t {
    BG_RAID_LEVEL_STRIPE = 0, // striping without parity
    BG_RAID_LEVEL_PARITY = 1, // striping with distributed parity (RAID 5)
};

enum {
    // Members a record can hold (the member order of a candidate is 16 bytes).
    BG_RAID_MAX_MEMBERS = 16,
    // Largest stripe size accepted, in sectors (32 MiB of 512-byte sectors).
    BG_RAID_MAX_STRIPE_SECTORS = 65536,
};

// The member-array value of a missing member.
#define BG_RAID_MISSING (reinterpret_cast<BgReader*>(uintptr_t(0x80000000u)))
// missing_index when no member is missing.
#define BG_RAID_NONE_MISSING (-1)

// The caller's description of an array. members[] holds the member disks in
// column order (the first member holds the first stripe of the volume);
// BG_RAID_MISSING marks a missing member; a null entry ends the list (the
// last entry is always null, so at most BG_RAID_MAX_MEMBERS members).
struct [[gnu::packed]] RaidParams {
    uint8_t level; // 0x00 BG_RAID_LEVEL_*
    uint16_t member_count; // 0x01 members in members[]
    uint32_t open; // 0x03 1 once a virtual volume is open from this record, 0 while detection runs
    int32_t missing_index; // 0x07 index of the missing member, -1 when none
    uint32_t first_sector; // 0x0B first sector of the array's data on every member
    uint32_t layout; // 0x0F BgRaidLayoutCode
    uint32_t stripe_size; // 0x13 sectors per stripe (per member, per row)
    BgVolume* volume; // 0x17 the virtual volume opened for this record, or null
    BgReader* members[BG_RAID_MAX_MEMBERS + 1]; // 0x1F
};
static_assert(offsetof(RaidParams, level) == 0x00);
static_assert(offsetof(RaidParams, member_count) == 0x01);
static_assert(offsetof(RaidParams, open) == 0x03);
static_assert(offsetof(RaidParams, missing_index) == 0x07);
static_assert(offsetof(RaidParams, first_sector) == 0x0B);
static_assert(offsetof(RaidParams, layout) == 0x0F);
static_assert(offsetof(RaidParams, stripe_size) == 0x13);
static_assert(offsetof(RaidParams, volume) == 0x17);
static_assert(offsetof(RaidParams, members) == 0x1F);
static_assert(sizeof(RaidParams) == 0x1F + 8 * (BG_RAID_MAX_MEMBERS + 1));

// The record bg_open_virtual_volume takes with the member list.
struct [[gnu::packed]] BgRaidOpen {
    uint32_t reserved0; // 0x00 0
    uint8_t member; // 0x04 the list entry the volume reads through; 0xFF: the first present one
    uint8_t reserved1[3]; // 0x05 0
    uint32_t first_sector; // 0x08 where the array's data starts on the member
    uint32_t reserved2; // 0x0C 0
};
static_assert(offsetof(BgRaidOpen, member) == 0x04);
static_assert(offsetof(BgRaidOpen, first_sector) == 0x08);
static_assert(sizeof(BgRaidOpen) == 16);

// The RaidParams whose virtual volume reads across its members, or null.
BG_API extern std::atomic<RaidParams*> bg_raid_context;
// A state word for layout detection: -1 at the start of a detection.
BG_API extern std::atomic<int32_t> bg_raid_state;

// Opens a virtual volume over one member of the null-ended list `members`
// (BG_RAID_MISSING entries are skipped). Disk number 16, drive letter '?'.
// Null when the list holds no present member, the entry named is missing,
// or the first sector lies at or beyond the member's end.
BG_API BgVolume* bg_open_virtual_volume(BgReader* const* members, const BgRaidOpen* layout);
// Reads the volume's boot sector and sets its size and file-system code;
// for an array that holds a partition table, lists the partitions inside as
// volumes of disk 16 (they join bg_volume_list). Returns the file-system
// code (0 unknown), or -1 when the volume cannot be read at all.
BG_API int32_t bg_probe_volume(BgVolume* volume);
// The partitions bg_probe_volume found inside `volume`, in table order: the
// count, and up to `capacity` of them into `out`.
BG_API uint32_t bg_virtual_partitions(BgVolume* volume, BgVolume** out, uint32_t capacity);
// Closes a virtual volume (and the partitions inside it). Unpublishes a
// bg_raid_context that holds it. Ignores anything but an open virtual volume.
BG_API void bg_close_volume(BgVolume* volume);
// Frees a virtual volume after a failed probe (the same as bg_close_volume).
BG_API void bg_free_volume(BgVolume* volume);
// 1 when `volume` is an open virtual volume (not yet closed or released with
// the devices), else 0. Compares the pointer only.
BG_API int32_t bg_is_virtual_volume(const BgVolume* volume);

// A read-only object over [offset, offset + length) of `object` (a member
// whose array data starts elsewhere than the others', or a member cut to the
// others' length). Its bytes per sector are the object's. Null when the range
// is empty or lies beyond the object's end. Lives until bg_release_devices.
BG_API BgReader* bg_open_window(BgReader* object, uint64_t offset, uint64_t length);

// Checks a record as a layout to read through: 0 when it is one, else a
// non-zero code, with the reason (a sentence) written to `reason` (up to
// `capacity` bytes, terminated; may be null).
BG_API int32_t bg_raid_check(const RaidParams* params, char* reason, uint32_t capacity);

// Rebuilds the missing member's buffer by XOR of the others'. `buffers` holds
// one buffer of `length` bytes per member of `params` (same order); the
// missing member's buffer is overwritten. 1 when a buffer was rebuilt, 0 when
// no member is missing (or more than one, or the record is unusable).
BG_API int32_t bg_raid_fill(const RaidParams* params, uint8_t* const* buffers, uint32_t length);

// Where data block `block` (stripe_size sectors each, numbered from the
// volume's start) lies: low byte the member index that holds it, next byte
// the member holding the parity of its row (0xFF for level 0), bits 16-31 0.
// 0xFFFF when the record is unusable.
BG_API uint32_t bg_raid_map_block(const RaidParams* params, uint64_t block);

} // extern "C"
