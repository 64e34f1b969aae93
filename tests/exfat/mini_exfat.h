// A small exFAT volume made in memory, for unit tests and the fuzz harness:
// 512-byte sectors and clusters, 2 MiB. Sectors 0-11 the boot region, 12-23
// its backup, the FAT at sector 24 (32 sectors), the heap at sector 64:
// cluster 2 the bitmap, 3 the up-case table (ASCII letters only), 4-7 the
// root (a chain).
#pragma once

#include <fsprobe/common/bytes.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace exfat_test {

struct MiniExfat {
    static constexpr uint32_t sectors = 4096;
    static constexpr uint32_t fat_sector = 24;
    static constexpr uint32_t fat_sectors = 32;
    static constexpr uint32_t heap_sector = 64;
    static constexpr uint32_t cluster_count = sectors - heap_sector;
    static constexpr uint32_t root_cluster = 4;

    static uint64_t cluster_offset(uint32_t n) { return (uint64_t(heap_sector) + n - 2) * 512; }

    // Recomputes the boot checksum of the region at `sector` (0 or 12).
    static void seal_boot_region(std::vector<uint8_t>& b, uint32_t sector)
    {
        uint8_t* r = b.data() + uint64_t(sector) * 512;
        uint32_t sum = 0;
        for (size_t i = 0; i < 11 * 512; ++i) {
            if (i == 0x6A || i == 0x6B || i == 0x70)
                continue;
            sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + r[i];
        }
        for (size_t i = 0; i < 512; i += 4)
            fsprobe::store_le32(r + 11 * 512 + i, sum);
    }

    static std::vector<uint8_t> make()
    {
        using fsprobe::store_le16;
        using fsprobe::store_le32;
        using fsprobe::store_le64;
        std::vector<uint8_t> b(size_t(sectors) * 512, 0);
        uint8_t* s = b.data();
        s[0] = 0xEB;
        s[1] = 0x76;
        s[2] = 0x90;
        std::memcpy(s + 3, "EXFAT   ", 8);
        store_le64(s + 0x48, sectors);
        store_le32(s + 0x50, fat_sector);
        store_le32(s + 0x54, fat_sectors);
        store_le32(s + 0x58, heap_sector);
        store_le32(s + 0x5C, cluster_count);
        store_le32(s + 0x60, root_cluster);
        store_le32(s + 0x64, 0x1234ABCD);
        store_le16(s + 0x68, 0x0100);
        s[0x6C] = 9;
        s[0x6D] = 0;
        s[0x6E] = 1;
        s[0x6F] = 0x80;
        store_le16(s + 0x1FE, 0xAA55);
        for (int k = 1; k <= 8; ++k)
            store_le16(s + k * 512 + 0x1FE, 0xAA55);
        seal_boot_region(b, 0);
        std::memcpy(s + 12 * 512, s, 12 * 512);

        // FAT: media and end marks, the bitmap, the up-case table, the root.
        uint8_t* fat = s + uint64_t(fat_sector) * 512;
        store_le32(fat, 0xFFFFFFF8);
        store_le32(fat + 4, 0xFFFFFFFF);
        store_le32(fat + 4 * 2, 0xFFFFFFFF);
        store_le32(fat + 4 * 3, 0xFFFFFFFF);
        for (uint32_t n = 4; n < 7; ++n)
            store_le32(fat + 4 * n, n + 1);
        store_le32(fat + 4 * 7, 0xFFFFFFFF);
        // Bitmap: clusters 2 to 7 in use.
        s[cluster_offset(2)] = 0x3F;
        // Up-case table: 0-0x60 to themselves, a-z to A-Z, the rest to themselves.
        std::vector<uint16_t> table = { 0xFFFF, 0x61 };
        for (uint16_t c = 'A'; c <= 'Z'; ++c)
            table.push_back(c);
        table.push_back(0xFFFF);
        table.push_back(uint16_t(0x10000 - 0x7B));
        uint8_t* up = s + cluster_offset(3);
        uint32_t sum = 0;
        for (size_t i = 0; i < table.size(); ++i)
            store_le16(up + 2 * i, table[i]);
        for (size_t i = 0; i < table.size() * 2; ++i)
            sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + up[i];
        // Root: the bitmap and up-case entries.
        uint8_t* root = s + cluster_offset(root_cluster);
        root[0] = 0x81;
        store_le32(root + 0x14, 2);
        store_le64(root + 0x18, (cluster_count + 7) / 8);
        root[32] = 0x82;
        store_le32(root + 32 + 4, sum);
        store_le32(root + 32 + 0x14, 3);
        store_le64(root + 32 + 0x18, table.size() * 2);
        return b;
    }
};

} // namespace exfat_test
