#include <ondisk/ntfs_boot.h>

namespace ondisk::ntfs {

u64 sectors_per_cluster(u8 field)
{
    if (field <= 0x80)
        return is_power_of_two(field) ? field : 0;
    const u32 shift = 256u - field;
    // 2^12 sectors of the smallest sector size already make the largest cluster.
    return shift <= 12 ? u64(1) << shift : 0;
}

u64 record_size_from(i8 field, u64 cluster_size)
{
    if (field > 0)
        return cluster_size <= ~u64(0) / u64(field) ? u64(field) * cluster_size : 0;
    if (field < -31)
        return 0;
    return u64(1) << -field;
}

u64 BootSector::volume_bytes() const
{
    if (total_sectors == ~u64(0) || total_sectors + 1 > ~u64(0) / bytes_per_sector)
        return ~u64(0);
    return (total_sectors + 1) * bytes_per_sector;
}

std::optional<BootSector> parse_boot(ByteView s)
{
    if (!s.has(0, boot_sector_size))
        return std::nullopt;
    BootSector b;
    b.bytes_per_sector = s.le16_or(boot::bytes_per_sector);
    b.sectors_per_cluster = sectors_per_cluster(s.u8_or(boot::sectors_per_cluster));
    if (!valid_bytes_per_sector(b.bytes_per_sector) || b.sectors_per_cluster == 0)
        return std::nullopt;
    b.cluster_size = b.bytes_per_sector * b.sectors_per_cluster;
    if (b.cluster_size > max_cluster_size)
        return std::nullopt;
    b.total_sectors = s.le64_or(boot::total_sectors);
    b.mft_lcn = s.le64_or(boot::mft_lcn);
    b.mft_mirror_lcn = s.le64_or(boot::mft_mirror_lcn);
    const u64 record = record_size_from(i8(s.u8_or(boot::clusters_per_record)), b.cluster_size);
    if (record >= b.bytes_per_sector && record <= max_record_size && is_power_of_two(record))
        b.record_size = u32(record);
    const u64 index = record_size_from(i8(s.u8_or(boot::clusters_per_index)), b.cluster_size);
    if (index <= max_index_record_size)
        b.index_record_size = u32(index);
    return b;
}

std::optional<BootSector> identify(ByteView s)
{
    if (!s.has(0, boot_sector_size) || !has_oem_name(s, "NTFS    ") || !has_boot_jump(s))
        return std::nullopt;
    auto b = parse_boot(s);
    if (!b || b->total_sectors == 0 || b->mft_lcn == 0)
        return std::nullopt;
    return b;
}

} // namespace ondisk::ntfs
