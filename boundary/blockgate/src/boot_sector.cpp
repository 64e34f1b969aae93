// Volume boot sector tests and file-system detection.
#include "internal.h"

#include <fsprobe/common/bytes.h>

#include <cstring>

using namespace fsprobe;

namespace blockgate {

namespace {

bool valid_jump(const uint8_t* s)
{
    return (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
}

bool valid_bytes_per_sector(uint32_t bps)
{
    return bps >= 512 && bps <= 4096 && is_power_of_two(bps);
}

struct FatGeometry {
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint64_t total_sectors = 0;
    uint64_t clusters = 0;
    int32_t code = 0;
};

// Validates the BIOS parameter block of a FAT boot sector and decides the FAT
// type from the cluster count, as FAT itself defines it.
bool parse_fat(const uint8_t* s, FatGeometry& g)
{
    if (!valid_jump(s))
        return false;
    if (std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 3, "EXFAT   ", 8) == 0)
        return false;
    uint32_t bps = load_le16(s + 0x0B);
    uint32_t spc = s[0x0D];
    uint32_t reserved = load_le16(s + 0x0E);
    uint32_t fats = s[0x10];
    uint32_t root_entries = load_le16(s + 0x11);
    uint32_t total16 = load_le16(s + 0x13);
    uint8_t media = s[0x15];
    uint32_t fat16_size = load_le16(s + 0x16);
    uint32_t total32 = load_le32(s + 0x20);
    if (!valid_bytes_per_sector(bps) || !is_power_of_two(spc) || spc > 128)
        return false;
    if (reserved == 0 || fats == 0 || fats > 4)
        return false;
    if (media != 0xF0 && media < 0xF8)
        return false;
    uint64_t total = total16 ? total16 : total32;
    if (total == 0)
        return false;
    uint32_t fat_size = fat16_size ? fat16_size : load_le32(s + 0x24);
    if (fat_size == 0)
        return false;
    uint64_t root_sectors = (uint64_t(root_entries) * 32 + bps - 1) / bps;
    uint64_t meta = uint64_t(reserved) + uint64_t(fats) * fat_size + root_sectors;
    if (meta >= total)
        return false;
    uint64_t clusters = (total - meta) / spc;
    g.bytes_per_sector = bps;
    g.sectors_per_cluster = spc;
    g.total_sectors = total;
    g.clusters = clusters;
    // The cluster count decides between FAT12 and FAT16. A parameter block
    // whose 16-bit FAT size is 0 has the FAT32 layout (root in a cluster, the
    // 32-bit FAT size at 0x24) whatever its count: small FAT32 volumes exist
    // (mkfs.fat -F 32 on large sectors) and only a FAT32 reader can walk them.
    if (fat16_size == 0)
        g.code = BG_FS_FAT32;
    else if (clusters < 4085)
        g.code = BG_FS_FAT12;
    else if (clusters < 65525)
        g.code = BG_FS_FAT16;
    else
        return false; // a FAT16 layout cannot address that many clusters
    if (g.code == BG_FS_FAT32 && root_entries != 0)
        return false;
    return true;
}

uint32_t ntfs_cluster_size(const uint8_t* s)
{
    uint32_t bps = load_le16(s + 0x0B);
    uint8_t spc = s[0x0D];
    if (spc == 0)
        return 0;
    // Values above 0x80 give the cluster size as a negative power of two.
    if (spc > 0x80) {
        uint32_t shift = 256u - spc;
        return shift < 32 ? (1u << shift) : 0;
    }
    if (!is_power_of_two(spc))
        return 0;
    return bps * spc;
}

bool parse_ntfs(const uint8_t* s, uint64_t& size)
{
    if (std::memcmp(s + 3, "NTFS    ", 8) != 0 || !valid_jump(s))
        return false;
    uint32_t bps = load_le16(s + 0x0B);
    if (!valid_bytes_per_sector(bps) || ntfs_cluster_size(s) == 0)
        return false;
    uint64_t total = load_le64(s + 0x28);
    uint64_t mft = load_le64(s + 0x30);
    if (total == 0 || mft == 0)
        return false;
    // The total excludes the backup boot sector at the end.
    size = (total + 1) * bps;
    return true;
}

bool is_exfat(const uint8_t* s)
{
    return std::memcmp(s + 3, "EXFAT   ", 8) == 0;
}

} // namespace

bool looks_like_volume_boot(const uint8_t* sector)
{
    FatGeometry g;
    uint64_t size = 0;
    return parse_fat(sector, g) || parse_ntfs(sector, size) || is_exfat(sector);
}

int32_t detect_file_system(BgReader* reader, const uint8_t* boot)
{
    uint64_t size = 0;
    if (parse_ntfs(boot, size))
        return BG_FS_NTFS;
    if (is_exfat(boot))
        return BG_FS_EXFAT;
    FatGeometry g;
    if (parse_fat(boot, g))
        return g.code;

    uint8_t sb[1024] {};
    if (reader->read(reader, sb, sizeof sb, 1024) < 256)
        return BG_FS_UNKNOWN;
    // ext2/3/4 superblock at byte 1024: magic at 0x38, features at 0x5C..0x64.
    if (load_le16(sb + 0x38) == 0xEF53) {
        uint32_t compat = load_le32(sb + 0x5C);
        uint32_t incompat = load_le32(sb + 0x60);
        uint32_t ro_compat = load_le32(sb + 0x64);
        // extents, 64bit, flex_bg, mmp, ea_inode, inline_data, csum_seed, largedir
        const uint32_t ext4_incompat = 0x0040 | 0x0080 | 0x0200 | 0x0100 | 0x0400 | 0x8000 | 0x2000 | 0x4000;
        // huge_file, gdt_csum, dir_nlink, extra_isize, quota, bigalloc, metadata_csum
        const uint32_t ext4_ro_compat = 0x0008 | 0x0010 | 0x0020 | 0x0040 | 0x0100 | 0x0200 | 0x0400;
        if ((incompat & ext4_incompat) || (ro_compat & ext4_ro_compat))
            return BG_FS_EXT4;
        if (compat & 0x0004) // has_journal
            return BG_FS_EXT3;
        return BG_FS_EXT2;
    }
    // HFS+ / HFSX volume header, or a classic HFS master directory block.
    uint16_t sig = load_be16(sb);
    if ((sig == 0x482B && load_be16(sb + 2) == 4) || (sig == 0x4858 && load_be16(sb + 2) == 5))
        return BG_FS_HFSPLUS;
    if (sig == 0x4244)
        return BG_FS_HFS;
    return BG_FS_UNKNOWN;
}

} // namespace blockgate

using namespace blockgate;

extern "C" {

BG_API int32_t bg_test_fat_boot(BgReader*, const uint8_t* sector, BgVolume* record)
{
    if (!sector)
        return 1;
    FatGeometry g;
    if (!parse_fat(sector, g))
        return 1;
    if (record) {
        record->fs_code = g.code;
        record->size = g.total_sectors * g.bytes_per_sector;
    }
    return 0;
}

BG_API int32_t bg_test_ntfs_boot(BgReader*, const uint8_t* sector, BgVolume* record)
{
    if (!sector)
        return 1;
    uint64_t size = 0;
    if (!parse_ntfs(sector, size))
        return 1;
    if (record) {
        record->fs_code = BG_FS_NTFS;
        record->size = size;
    }
    return 0;
}

BG_API int32_t bg_test_other_boot(const uint8_t* sector, BgVolume* record)
{
    if (!sector)
        return 1;
    if (is_exfat(sector)) {
        if (record) {
            record->fs_code = BG_FS_EXFAT;
            // Volume length in sectors at 0x48, bytes-per-sector shift at 0x6C.
            uint32_t shift = sector[0x6C];
            if (shift >= 9 && shift <= 12)
                record->size = load_le64(sector + 0x48) << shift;
        }
        return 0;
    }
    // A boot sector that names a FAT type but whose parameters fail the FAT
    // test is still a volume's first sector, not a partition table.
    FatGeometry g;
    if (valid_jump(sector) && !parse_fat(sector, g)
        && (std::memcmp(sector + 0x36, "FAT12   ", 8) == 0 || std::memcmp(sector + 0x36, "FAT16   ", 8) == 0
            || std::memcmp(sector + 0x52, "FAT32   ", 8) == 0))
        return 0;
    return 1;
}

BG_API uint32_t bg_volume_cluster_size(BgVolume* volume)
{
    if (!volume || !volume->boot_sector)
        return 0;
    const uint8_t* s = volume->boot_sector;
    switch (volume->fs_code) {
    case BG_FS_FAT12:
    case BG_FS_FAT16:
    case BG_FS_FAT32: {
        FatGeometry g;
        return parse_fat(s, g) ? g.bytes_per_sector * g.sectors_per_cluster : 0;
    }
    case BG_FS_NTFS:
        return ntfs_cluster_size(s);
    case BG_FS_EXFAT: {
        uint32_t shift = uint32_t(s[0x6C]) + s[0x6D];
        return shift < 32 ? (1u << shift) : 0;
    }
    case BG_FS_EXT2:
    case BG_FS_EXT3:
    case BG_FS_EXT4:
    case BG_FS_HFSPLUS: {
        BgReader* r = volume->reader;
        if (!r)
            return 0;
        uint8_t sb[512] {};
        if (r->read(r, sb, sizeof sb, 1024) != sizeof sb)
            return 0;
        if (volume->fs_code == BG_FS_HFSPLUS)
            return load_be32(sb + 0x28);
        uint32_t log = load_le32(sb + 0x18);
        return log <= 6 ? (1024u << log) : 0;
    }
    default:
        return 0;
    }
}

} // extern "C"
