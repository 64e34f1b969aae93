// Names of the file-system codes as the command-line tool prints them.
#pragma once

#include <salvor/scan/engine.h>

#include <cstdint>

namespace salvor::cli {

inline const char* fs_name(int32_t code)
{
    switch (code) {
    case BG_FS_FAT12: return "FAT12";
    case BG_FS_FAT16: return "FAT16";
    case BG_FS_FAT32: return "FAT32";
    case BG_FS_NTFS: return "NTFS";
    case BG_FS_EXFAT: return "exFAT";
    case BG_FS_EXT2: return "ext2";
    case BG_FS_EXT3: return "ext3";
    case BG_FS_EXT4: return "ext4";
    case BG_FS_HFS: return "HFS";
    case BG_FS_HFSPLUS: return "HFS+";
    default: return "unknown";
    }
}

} // namespace salvor::cli
