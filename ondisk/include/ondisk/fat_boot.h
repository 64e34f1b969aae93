// The FAT12/16/32 boot sector (BIOS parameter block): its fields, one parser
// and the test that tells a FAT boot sector from anything else.
#pragma once

#include <ondisk/boot_sector.h>

#include <optional>

namespace ondisk::fat {

// Offsets from the start of the boot sector.
namespace boot {
using ondisk::boot::bytes_per_sector;          // u16
using ondisk::boot::sectors_per_cluster;       // u8
inline constexpr size_t reserved_sectors = 0x0E;   // u16, first FAT sector
inline constexpr size_t fat_count = 0x10;          // u8
inline constexpr size_t root_entries = 0x11;       // u16, FAT12/16
inline constexpr size_t total_sectors16 = 0x13;    // u16, 0 when the 32-bit field holds the count
inline constexpr size_t media = 0x15;              // u8: F0 or F8..FF
inline constexpr size_t sectors_per_fat16 = 0x16;  // u16, FAT12/16; 0 on FAT32
inline constexpr size_t hidden_sectors = 0x1C;     // u32
inline constexpr size_t total_sectors32 = 0x20;    // u32
inline constexpr size_t sectors_per_fat32 = 0x24;  // u32, FAT32
inline constexpr size_t fat32_flags = 0x28;        // u16: bit 7 one active FAT, bits 0-3 its number
inline constexpr size_t fat32_root_cluster = 0x2C; // u32
inline constexpr size_t fat16_type_name = 0x36;    // 8 bytes, "FAT12   " / "FAT16   "
inline constexpr size_t fat32_type_name = 0x52;    // 8 bytes, "FAT32   "
} // namespace boot

inline constexpr u32 dirent_size = 32;
inline constexpr u16 fat32_single_active_fat = 0x0080;
inline constexpr u16 fat32_active_fat_mask = 0x000F;
inline constexpr u32 cluster_mask32 = 0x0FFFFFFF; // FAT32 cluster numbers are 28 bits
// Cluster counts at which FAT12 gives way to FAT16 and FAT16 to FAT32.
inline constexpr u64 fat12_cluster_limit = 4085;
inline constexpr u64 fat16_cluster_limit = 65525;

// FAT type, equal to the volume's file-system code.
enum class Type : int {
    fat12 = 1,
    fat16 = 2,
    fat32 = 3,
};

// The fields of a parameter block, as read.
struct BootSector {
    u32 bytes_per_sector = 0;
    u32 sectors_per_cluster = 0;
    u32 reserved_sectors = 0;
    u32 fat_count = 0;
    u32 root_entries = 0;
    u32 total_sectors16 = 0;
    u32 total_sectors32 = 0;
    u64 total_sectors = 0;     // the 16-bit count, or the 32-bit one when that is 0
    u32 sectors_per_fat16 = 0; // 0 in the FAT32 layout
    u32 sectors_per_fat32 = 0;
    u16 fat32_flags = 0;
    u32 root_cluster = 0;      // FAT32, the low 28 bits of the field
    u8 media = 0;

    // A 16-bit FAT size of 0 marks the FAT32 layout: the root lies in a
    // cluster and the FAT size is the 32-bit field.
    bool fat32_layout() const { return sectors_per_fat16 == 0; }
    u64 sectors_per_fat() const { return fat32_layout() ? sectors_per_fat32 : sectors_per_fat16; }
    u32 cluster_bytes() const { return bytes_per_sector * sectors_per_cluster; }
    // Sectors of the fixed root directory of FAT12/16 (0 on FAT32).
    u64 root_dir_sectors() const
    {
        return bytes_per_sector ? (u64(root_entries) * dirent_size + bytes_per_sector - 1) / bytes_per_sector : 0;
    }
    // Reserved sectors, the FATs and the fixed root: the sector of cluster 2.
    u64 first_data_sector() const
    {
        return u64(reserved_sectors) + u64(fat_count) * sectors_per_fat() + root_dir_sectors();
    }
    // Clusters of the data area; 0 when the metadata fills the volume.
    u64 cluster_count() const
    {
        const u64 meta = first_data_sector();
        return sectors_per_cluster && meta < total_sectors ? (total_sectors - meta) / sectors_per_cluster : 0;
    }
};

// Reads the parameter block of a 512-byte (or longer) boot sector and checks
// what every reader of the volume needs: 512 to 4096 bytes per sector (a power
// of two), a power of two of sectors per cluster and at least one FAT. The
// other fields are returned as found.
std::optional<BootSector> parse_boot(ByteView sector);

// A FAT boot sector recognised as such, with the type its cluster count gives.
struct Identified {
    Type type = Type::fat12;
    BootSector boot;
    u64 clusters = 0;
};

// The full test of a FAT boot sector: a jump instruction, no NTFS or exFAT
// name, the parse above, reserved sectors, one to four FATs, a media byte of
// F0 or F8..FF, a sector count and FAT size, and metadata smaller than the
// volume. The cluster count decides FAT12 against FAT16 as FAT itself
// defines it; a parameter block in the FAT32 layout is FAT32 whatever its
// count (small FAT32 volumes exist and only a FAT32 reader can walk them), and
// has no fixed root entries. A FAT16 layout with 65525 clusters or more is
// refused.
std::optional<Identified> identify(ByteView sector);

// The sector names a FAT type in its type field ("FAT12   " and "FAT16   " at
// 0x36, "FAT32   " at 0x52), whatever its parameters.
bool names_fat_type(ByteView sector);

} // namespace ondisk::fat
