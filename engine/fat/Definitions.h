// On-disk layout of FAT12, FAT16 and FAT32: boot-sector fields and the
// 32-byte directory entry. Offsets are from the start of each structure.
#pragma once

#include <fsprobe/common/bytes.h>
#include <ondisk/fat_boot.h>

namespace fsprobe::fat {

// FAT type, equal to the volume's file-system code.
enum FatType : int {
    FAT12 = 1,
    FAT16 = 2,
    FAT32 = 3,
};

// Boot sector (BIOS parameter block): the shared layout.
namespace boot = ondisk::fat::boot;

// 32-byte directory entry.
namespace dirent {
constexpr size_t size = 32;
constexpr size_t name = 0x00;          // 8 + 3 bytes, space padded
constexpr size_t attributes = 0x0B;    // u8
constexpr size_t case_flags = 0x0C;    // u8: bit 3 base in lower case, bit 4 extension in lower case
constexpr size_t create_time = 0x0E;   // u16: seconds/2 bits 0-4, minutes 5-10, hours 11-15
constexpr size_t create_date = 0x10;   // u16: day bits 0-4, month 5-8, year-1980 9-15
constexpr size_t cluster_high = 0x14;  // u16 (FAT32)
constexpr size_t cluster_low = 0x1A;   // u16
constexpr size_t file_size = 0x1C;     // u32

constexpr u8 attr_volume_label = 0x08;
constexpr u8 attr_directory = 0x10;
constexpr u8 attr_long_name = 0x0F;
// Attribute values above this mark a damaged entry.
constexpr u8 attr_max_valid = 63;

constexpr u8 mark_end = 0x00;      // first byte: no entries follow
constexpr u8 mark_deleted = 0xE5;  // first byte: deleted entry
constexpr u8 mark_kanji_e5 = 0x05; // first byte: a live name whose first byte is 0xE5

// Long-name slot: 13 UTF-16 units at these offsets.
constexpr size_t lfn_part1 = 0x01;  // 5 units
constexpr size_t lfn_part2 = 0x0E;  // 6 units
constexpr size_t lfn_part3 = 0x1C;  // 2 units
constexpr size_t lfn_units = 13;
// Longer runs of long-name slots are damage (255 units need 20 slots).
constexpr size_t lfn_max_slots = 20;
} // namespace dirent

// The names of the first two entries of every subdirectory.
inline constexpr char dot_name[12] = ".          ";
inline constexpr char dotdot_name[12] = "..         ";

} // namespace fsprobe::fat
