// On-disk layouts of the partition tables written and read by the partition
// repair code: the 16-byte master/extended boot record entry, the fields of a
// volume boot sector it relies on, and the conversions between them.
#pragma once

#include <fsprobe/common/bytes.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace fsprobe::partition {

constexpr u32 sector_bytes = 512;       // the search and the tables count 512-byte sectors
constexpr u32 table_offset = 446;       // first partition entry in a table sector
constexpr u32 table_bytes = 64;         // four 16-byte entries
constexpr u32 table_write_bytes = 66;   // the entries plus the 0x55 0xAA signature
constexpr u32 max_found_volumes = 24;
constexpr u32 max_backup_records = 25;
constexpr u32 backup_record_bytes = 72;

// A partition entry (offsets inside the 16 bytes).
struct [[gnu::packed]] PartitionEntryRaw {
    u8 status;       // 0x00 0x80 active, 0x00 inactive
    u8 chs_first[3]; // 0x01 head; sector | cylinder bits 8-9 << 6; cylinder bits 0-7
    u8 type;         // 0x04 partition type id
    u8 chs_last[3];  // 0x05
    u8 first_le[4];  // 0x08 first sector (LBA)
    u8 count_le[4];  // 0x0C number of sectors
};
static_assert(sizeof(PartitionEntryRaw) == 16);
static_assert(offsetof(PartitionEntryRaw, type) == 4);
static_assert(offsetof(PartitionEntryRaw, first_le) == 8);
static_assert(offsetof(PartitionEntryRaw, count_le) == 12);

// Volume boot sector fields (offsets in the boot sector).
namespace boot {
constexpr u32 sectors_per_cluster = 0x0D; // u8
constexpr u32 reserved_sectors = 0x0E;    // u16 (FAT)
constexpr u32 total_sectors16 = 0x13;     // u16 (FAT), 0 when the 32-bit field is used
constexpr u32 hidden_sectors = 0x1C;      // u32
constexpr u32 total_sectors32 = 0x20;     // u32 (FAT)
constexpr u32 ntfs_total_sectors = 0x28;  // u64 (NTFS), one less than the partition
constexpr u32 ntfs_mft_cluster = 0x30;    // u64 (NTFS)
} // namespace boot

constexpr u8 type_extended_lba = 0x0F; // the extended partition in the master boot record
constexpr u8 type_extended_link = 0x05; // the link to the next extended boot record

// The three CHS bytes of sector `x` on a disk with `sectors_per_track`
// sectors per track and 255 heads; FE FF FF beyond cylinder 1023.
std::array<u8, 3> chs_address(u64 x, u32 sectors_per_track);

// File-system code (1 FAT12, 2 FAT16, 3 FAT32, 4 NTFS) to partition type id;
// 0 for any other code.
u8 type_id_for_code(i32 code);
// Partition type id to file-system code; 0 for ids that are not FAT or NTFS.
i32 code_for_type_id(u8 type);

// A sector count as the 32-bit entry field holds it.
constexpr u32 cap_sectors(u64 n) { return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : u32(n); }

// Encodes an entry; the CHS fields address the first and the last sector of
// the area [first_abs, first_abs + count) given in absolute sectors.
std::array<u8, 16> encode_entry(u8 status, u8 type, u32 first_field, u32 count, u64 first_abs,
                                u32 sectors_per_track);

// The total sectors a FAT boot sector declares (16-bit field, or the 32-bit
// one when that is 0).
u32 fat_total_sectors(const u8* boot_sector);

// Saturating helpers for sector arithmetic on values read from disk.
constexpr u64 sat_add(u64 a, u64 b) { return a > ~u64(0) - b ? ~u64(0) : a + b; }
constexpr u64 sat_mul(u64 a, u64 b) { return (a != 0 && b > ~u64(0) / a) ? ~u64(0) : a * b; }

} // namespace fsprobe::partition
