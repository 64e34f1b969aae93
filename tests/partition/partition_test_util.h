// Helpers of the partition repair tests: lay real-looking FAT and NTFS volumes
// (boot sector plus what the search confirms them by) onto an in-memory disk.
#pragma once

#include "disk_builder.h"

#include <fsprobe/common/bytes.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace partition_test {

using salvor_test::DiskBuilder;

// An NTFS volume of `sectors` sectors at `lba`: boot sector (total = sectors - 1,
// 8 sectors per cluster, $MFT at cluster 4) and the MFT record of $MFT.
inline void put_ntfs(DiskBuilder& d, uint64_t lba, uint64_t sectors, uint32_t hidden, bool with_mft = true)
{
    d.put(lba * 512, salvor_test::ntfs_boot_sector(sectors - 1, hidden, 8, 4));
    if (with_mft) {
        std::vector<uint8_t> rec(1024, 0);
        std::memcpy(rec.data(), "FILE", 4);
        const uint8_t name[] = { 0x24, 0, 0x4D, 0, 0x46, 0, 0x54, 0 };
        std::memcpy(rec.data() + 0xF2, name, sizeof name);
        d.put((lba + 32) * 512, rec);
    }
}

// A FAT volume of type 12, 16 or 32 at `lba` with its first FAT's media entry.
inline void put_fat(DiskBuilder& d, int fat_type, uint64_t lba, uint32_t sectors, uint32_t hidden,
                    bool with_fat = true)
{
    uint8_t spc = fat_type == 32 ? 8 : 1;
    uint16_t reserved = fat_type == 32 ? 32 : 1;
    d.put(lba * 512, salvor_test::fat_boot_sector(fat_type, sectors, hidden, spc, reserved));
    if (with_fat) {
        std::vector<uint8_t> fat = { 0xF8, 0xFF, 0xFF };
        if (fat_type != 12)
            fat.push_back(fat_type == 32 ? 0x0F : 0xFF);
        d.put((lba + reserved) * 512, fat);
    }
}

inline uint32_t entry_field(const std::vector<uint8_t>& disk, uint64_t sector, int slot, int field)
{
    return fsprobe::load_le32(disk.data() + sector * 512 + 446 + 16 * slot + field);
}

} // namespace partition_test
