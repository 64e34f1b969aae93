// fsprobe time stamps: one record for the times a file system keeps of a
// file, filled by the *_get_times exports of the ext2, ext3 and HFS+ families.
//
// Every stamp is seconds since 1970-01-01 00:00:00 UTC (negative before
// 1970), with nanoseconds where the file system keeps them, and a flag saying
// whether the file system holds that stamp for the file at all. A stamp that
// is absent has every field 0. Callers print a present stamp and "-" (or null)
// for an absent one.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct FsprobeTime {
    int64_t seconds;      // 0x00 seconds since 1970-01-01 00:00:00 UTC
    uint32_t nanoseconds; // 0x08 0 to 999,999,999; 0 where only whole seconds are kept
    uint8_t present;      // 0x0C 1 when the file system holds this stamp, else 0
    uint8_t reserved[3];  // 0x0D 0
};
static_assert(offsetof(FsprobeTime, nanoseconds) == 0x08);
static_assert(offsetof(FsprobeTime, present) == 0x0C);
static_assert(sizeof(FsprobeTime) == 16);

// What each stamp means per family:
//   modified  ext mtime;  HFS+ content-modify date
//   accessed  ext atime;  HFS+ access date
//   changed   ext ctime (inode change);  HFS+ attribute-modify date
//   created   ext crtime (only inodes larger than 128 bytes whose extra
//             fields hold it);  HFS+ create date
//   deleted   ext dtime;  never present on HFS+
// ext stamps carry nanoseconds (and dates past 2038) where the inode has the
// extra time fields; HFS+ dates are whole seconds.
struct FsprobeTimes {
    FsprobeTime modified; // 0x00
    FsprobeTime accessed; // 0x10
    FsprobeTime changed;  // 0x20
    FsprobeTime created;  // 0x30
    FsprobeTime deleted;  // 0x40
};
static_assert(offsetof(FsprobeTimes, accessed) == 0x10);
static_assert(offsetof(FsprobeTimes, deleted) == 0x40);
static_assert(sizeof(FsprobeTimes) == 80);

} // extern "C"
