// On-disk layout of exFAT: the boot sector, the FAT and the 32-byte
// directory entries. Offsets are from the start of each structure.
#pragma once

#include <fsprobe/common/bytes.h>

namespace fsprobe::exfat {

// Main boot sector (sector 0 of the boot region).
namespace boot {
constexpr size_t jump = 0x00;                 // 3 bytes: EB 76 90
constexpr size_t fs_name = 0x03;              // 8 bytes: "EXFAT   "
constexpr size_t must_be_zero = 0x0B;         // 53 bytes, where FAT keeps its BPB
constexpr size_t must_be_zero_length = 53;
constexpr size_t partition_offset = 0x40;     // u64, sectors
constexpr size_t volume_length = 0x48;        // u64, sectors
constexpr size_t fat_offset = 0x50;           // u32, sectors from the volume start
constexpr size_t fat_length = 0x54;           // u32, sectors per FAT
constexpr size_t heap_offset = 0x58;          // u32, sector of cluster 2
constexpr size_t cluster_count = 0x5C;        // u32
constexpr size_t root_cluster = 0x60;         // u32
constexpr size_t serial = 0x64;               // u32
constexpr size_t revision = 0x68;             // u16
constexpr size_t volume_flags = 0x6A;         // u16: bit 0 second FAT active, bit 1 dirty
constexpr size_t bytes_per_sector_shift = 0x6C;    // u8, 9..12
constexpr size_t sectors_per_cluster_shift = 0x6D; // u8, cluster at most 32 MiB
constexpr size_t fat_count = 0x6E;            // u8, 1 or 2
constexpr size_t percent_in_use = 0x70;       // u8
constexpr size_t signature = 0x1FE;           // u16: 0xAA55

constexpr char name[9] = "EXFAT   ";
constexpr u16 volume_flag_active_fat = 0x0001;
// The boot checksum covers sectors 0-10 of the boot region, leaving out the
// volume flags and the percent in use of sector 0; sector 11 repeats it.
constexpr u32 checksum_sectors = 11;
constexpr u32 checksum_sector = 11;
constexpr u32 region_sectors = 12;            // the backup region follows at sector 12
constexpr u32 min_bytes_shift = 9;
constexpr u32 max_bytes_shift = 12;
constexpr u32 max_cluster_shift = 25;         // 32 MiB
constexpr u32 max_cluster_count = 0xFFFFFFF5;
} // namespace boot

// FAT entries are 32 bits; clusters 0 and 1 have none.
namespace fat {
constexpr u32 first_cluster = 2;
constexpr u32 bad = 0xFFFFFFF7;
constexpr u32 end = 0xFFFFFFFF;
} // namespace fat

// 32-byte directory entries. The type byte: bit 7 in use, bit 6 secondary,
// bit 5 benign, bits 0-4 the type code. Clearing bit 7 deletes an entry.
namespace dirent {
constexpr size_t size = 32;
constexpr size_t type = 0x00;

constexpr u8 in_use = 0x80;
constexpr u8 secondary = 0x40;
constexpr u8 end_of_directory = 0x00;

constexpr u8 type_bitmap = 0x81;
constexpr u8 type_upcase = 0x82;
constexpr u8 type_label = 0x83;
constexpr u8 type_file = 0x85;
constexpr u8 type_guid = 0xA0;
constexpr u8 type_stream = 0xC0;
constexpr u8 type_name = 0xC1;
constexpr u8 type_vendor_ext = 0xE0;
constexpr u8 type_vendor_alloc = 0xE1;

// Allocation bitmap (0x81) and up-case table (0x82).
constexpr size_t bitmap_flags = 0x01;         // u8: bit 0 the bitmap of the second FAT
constexpr size_t upcase_checksum = 0x04;      // u32
constexpr size_t first_cluster = 0x14;        // u32, also in the stream extension
constexpr size_t data_length = 0x18;          // u64, also in the stream extension

// File (0x85).
constexpr size_t secondary_count = 0x01;      // u8
constexpr size_t set_checksum = 0x02;         // u16
constexpr size_t attributes = 0x04;           // u16
constexpr size_t create_time = 0x08;          // u32 timestamp
constexpr size_t modify_time = 0x0C;          // u32 timestamp
constexpr size_t access_time = 0x10;          // u32 timestamp
constexpr size_t create_10ms = 0x14;          // u8, 0..199
constexpr size_t modify_10ms = 0x15;          // u8, 0..199
constexpr size_t create_utc = 0x16;           // u8: bit 7 valid, bits 0-6 signed quarter hours
constexpr size_t modify_utc = 0x17;
constexpr size_t access_utc = 0x18;
constexpr u16 attr_directory = 0x0010;
// A set has at least a stream extension and one name entry; 255 units of
// name take 17 name entries.
constexpr u8 min_secondaries = 2;
constexpr u8 max_name_entries = 17;

// Stream extension (0xC0).
constexpr size_t stream_flags = 0x01;         // u8: bit 0 allocation possible, bit 1 no FAT chain
constexpr size_t name_length = 0x03;          // u8, UTF-16 units
constexpr size_t name_hash = 0x04;            // u16
constexpr size_t valid_length = 0x08;         // u64
constexpr u8 flag_allocation_possible = 0x01;
constexpr u8 flag_no_fat_chain = 0x02;

// File name (0xC1): 15 UTF-16 units from offset 2.
constexpr size_t name_units = 0x02;
constexpr size_t units_per_name_entry = 15;
} // namespace dirent

// A directory holds at most 256 MiB of entries.
constexpr u64 max_directory_bytes = 256ull * 1024 * 1024;

} // namespace fsprobe::exfat
