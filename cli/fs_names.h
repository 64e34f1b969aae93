// Names of the file-system codes as the command-line tool prints them.
#pragma once

#include <cstdint>

namespace salvor::cli {

inline const char* fs_name(int32_t code)
{
    switch (code) {
    case 1: return "FAT12";
    case 2: return "FAT16";
    case 3: return "FAT32";
    case 4: return "NTFS";
    case 5: return "exFAT";
    case 6: return "ext2";
    case 7: return "ext3";
    case 8: return "ext4";
    case 9: return "HFS";
    case 10: return "HFS+";
    default: return "unknown";
    }
}

} // namespace salvor::cli
