#include <ondisk/fat_boot.h>

namespace ondisk::fat {

std::optional<BootSector> parse_boot(ByteView s)
{
    if (!s.has(0, boot_sector_size))
        return std::nullopt;
    BootSector b;
    b.bytes_per_sector = s.le16_or(boot::bytes_per_sector);
    b.sectors_per_cluster = s.u8_or(boot::sectors_per_cluster);
    b.reserved_sectors = s.le16_or(boot::reserved_sectors);
    b.fat_count = s.u8_or(boot::fat_count);
    b.root_entries = s.le16_or(boot::root_entries);
    b.total_sectors16 = s.le16_or(boot::total_sectors16);
    b.total_sectors32 = s.le32_or(boot::total_sectors32);
    b.total_sectors = b.total_sectors16 ? b.total_sectors16 : b.total_sectors32;
    b.media = s.u8_or(boot::media);
    b.sectors_per_fat16 = s.le16_or(boot::sectors_per_fat16);
    b.sectors_per_fat32 = s.le32_or(boot::sectors_per_fat32);
    b.fat32_flags = s.le16_or(boot::fat32_flags);
    b.root_cluster = s.le32_or(boot::fat32_root_cluster) & cluster_mask32;
    if (!valid_bytes_per_sector(b.bytes_per_sector) || !is_power_of_two(b.sectors_per_cluster) || b.fat_count == 0)
        return std::nullopt;
    return b;
}

std::optional<Identified> identify(ByteView s)
{
    if (!s.has(0, boot_sector_size) || !has_boot_jump(s))
        return std::nullopt;
    if (has_oem_name(s, "NTFS    ") || has_oem_name(s, "EXFAT   "))
        return std::nullopt;
    auto b = parse_boot(s);
    if (!b || b->reserved_sectors == 0 || b->fat_count > 4)
        return std::nullopt;
    if (b->media != 0xF0 && b->media < 0xF8)
        return std::nullopt;
    if (b->total_sectors == 0 || b->sectors_per_fat() == 0)
        return std::nullopt;
    if (b->first_data_sector() >= b->total_sectors)
        return std::nullopt;
    Identified id;
    id.boot = *b;
    id.clusters = b->cluster_count();
    if (b->fat32_layout())
        id.type = Type::fat32;
    else if (id.clusters < fat12_cluster_limit)
        id.type = Type::fat12;
    else if (id.clusters < fat16_cluster_limit)
        id.type = Type::fat16;
    else
        return std::nullopt; // a FAT16 layout cannot address that many clusters
    if (id.type == Type::fat32 && b->root_entries != 0)
        return std::nullopt;
    return id;
}

bool names_fat_type(ByteView s)
{
    return s.equals(boot::fat16_type_name, "FAT12   ", 8) || s.equals(boot::fat16_type_name, "FAT16   ", 8)
        || s.equals(boot::fat32_type_name, "FAT32   ", 8);
}

} // namespace ondisk::fat
