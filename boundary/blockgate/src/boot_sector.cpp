// Volume boot sector tests and file-system detection.
#include "internal.h"

#include <ondisk/ext_features.h>
#include <ondisk/fat_boot.h>
#include <ondisk/ntfs_boot.h>

using namespace ondisk;

namespace blockgate {

namespace {

ByteView sector_view(const uint8_t* s)
{
    return ByteView(s, boot_sector_size);
}

std::optional<fat::Identified> parse_fat(const uint8_t* s)
{
    return fat::identify(sector_view(s));
}

std::optional<ntfs::BootSector> parse_ntfs(const uint8_t* s)
{
    return ntfs::identify(sector_view(s));
}

bool is_exfat(const uint8_t* s)
{
    return has_oem_name(sector_view(s), "EXFAT   ");
}

} // namespace

bool looks_like_volume_boot(const uint8_t* sector)
{
    return parse_fat(sector) || parse_ntfs(sector) || is_exfat(sector);
}

int32_t detect_file_system(BgReader* reader, const uint8_t* boot)
{
    if (parse_ntfs(boot))
        return BG_FS_NTFS;
    if (is_exfat(boot))
        return BG_FS_EXFAT;
    if (auto fat = parse_fat(boot))
        return int32_t(fat->type);

    uint8_t sb[1024] {};
    if (reader->read(reader, sb, sizeof sb, 1024) < 256)
        return BG_FS_UNKNOWN;
    static_assert(sizeof sb == ext::superblock_size && ext::superblock_offset == 1024);
    if (load_le16(sb + ext::superblock::magic) == ext::magic) {
        switch (ext::kind_of(load_le32(sb + ext::superblock::feature_compat),
                             load_le32(sb + ext::superblock::feature_incompat),
                             load_le32(sb + ext::superblock::feature_ro_compat))) {
        case ext::Kind::ext4: return BG_FS_EXT4;
        case ext::Kind::ext3: return BG_FS_EXT3;
        case ext::Kind::ext2: return BG_FS_EXT2;
        }
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
    auto fat = parse_fat(sector);
    if (!fat)
        return 1;
    if (record) {
        record->fs_code = int32_t(fat->type);
        record->size = fat->boot.total_sectors * fat->boot.bytes_per_sector;
    }
    return 0;
}

BG_API int32_t bg_test_ntfs_boot(BgReader*, const uint8_t* sector, BgVolume* record)
{
    if (!sector)
        return 1;
    auto ntfs = parse_ntfs(sector);
    if (!ntfs)
        return 1;
    if (record) {
        record->fs_code = BG_FS_NTFS;
        record->size = ntfs->volume_bytes();
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
    if (has_boot_jump(sector_view(sector)) && !parse_fat(sector) && fat::names_fat_type(sector_view(sector)))
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
        auto fat = parse_fat(s);
        return fat ? fat->boot.cluster_bytes() : 0;
    }
    case BG_FS_NTFS: {
        auto ntfs = ntfs::parse_boot(sector_view(s));
        return ntfs ? uint32_t(ntfs->cluster_size) : 0;
    }
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
