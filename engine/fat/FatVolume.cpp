#include "FatVolume.h"

#include <algorithm>
#include <unordered_set>

namespace fsprobe::fat {

std::optional<FatGeometry> parse_geometry(std::span<const u8> boot_sector, FatType type)
{
    if (type < FAT12 || type > FAT32)
        return std::nullopt;
    auto bs = ondisk::fat::parse_boot(ByteView(boot_sector));
    if (!bs)
        return std::nullopt;
    FatGeometry g;
    g.type = type;
    g.bytes_per_sector = bs->bytes_per_sector;
    g.sectors_per_cluster = bs->sectors_per_cluster;
    g.reserved_sectors = bs->reserved_sectors;
    g.fat_count = bs->fat_count;
    g.cluster_bytes = bs->cluster_bytes();
    // The engine counts from the 32-bit field and falls back on the 16-bit one.
    g.total_sectors = bs->total_sectors32 ? bs->total_sectors32 : bs->total_sectors16;
    g.cluster_limit = u32(std::min<u64>(g.total_sectors / g.sectors_per_cluster, 0xFFFFFFFFu));

    if (type == FAT32) {
        g.sectors_per_fat = bs->sectors_per_fat32;
        if (g.sectors_per_fat == 0)
            return std::nullopt;
        g.fat_start = g.reserved_sectors;
        if (bs->fat32_flags & ondisk::fat::fat32_single_active_fat) {
            u32 active = bs->fat32_flags & ondisk::fat::fat32_active_fat_mask;
            if (active >= g.fat_count)
                return std::nullopt;
            g.fat_start += u64(active) * g.sectors_per_fat;
        }
        g.data_start = g.reserved_sectors + u64(g.fat_count) * g.sectors_per_fat;
        g.root_cluster = bs->root_cluster;
        if (g.root_cluster < 2)
            return std::nullopt;
    } else {
        g.sectors_per_fat = bs->sectors_per_fat16;
        if (g.sectors_per_fat == 0)
            return std::nullopt;
        g.fat_start = g.reserved_sectors;
        g.root_start = g.reserved_sectors + u64(g.fat_count) * g.sectors_per_fat;
        g.root_sectors = bs->root_dir_sectors();
        g.data_start = g.root_start + g.root_sectors;
    }
    return g;
}

static u32 entries_for(u64 bytes, FatType type)
{
    u64 n = 0;
    switch (type) {
    case FAT12: n = bytes * 2 / 3; break;
    case FAT16: n = bytes / 2; break;
    case FAT32: n = bytes / 4; break;
    }
    return u32(std::min<u64>(n, 0x10000000u));
}

FatTable::FatTable(BgReader* reader, u64 offset, u64 bytes, FatType type)
    : m_reader(reader)
    , m_offset(offset)
    , m_bytes(bytes)
    , m_type(type)
    , m_entries(entries_for(bytes, type))
{
}

FatTable::FatTable(std::span<const u8> bytes, FatType type)
    : m_memory(bytes)
    , m_bytes(bytes.size())
    , m_type(type)
    , m_entries(entries_for(bytes.size(), type))
{
}

bool FatTable::fetch(u64 offset, u8* out, size_t length)
{
    if (!in_bounds(m_bytes, offset, length))
        return false;
    if (!m_reader) {
        std::memcpy(out, m_memory.data() + offset, length);
        return true;
    }
    // A window of 64 KiB of the FAT, aligned, keeps chain walks to few reads.
    constexpr u64 window = 64 * 1024;
    for (size_t i = 0; i < length; ++i) {
        u64 at = offset + i;
        if (at < m_cache_start || at >= m_cache_start + m_cache_len) {
            u64 start = at / window * window;
            u64 want = std::min<u64>(window, m_bytes - start);
            m_cache.resize(window);
            u32 got = m_reader->read(m_reader, m_cache.data(), u32(want), m_offset + start);
            m_cache_start = start;
            m_cache_len = std::min<u64>(got, want);
            if (at >= m_cache_start + m_cache_len)
                return false;
        }
        out[i] = m_cache[at - m_cache_start];
    }
    return true;
}

std::optional<u32> FatTable::raw(u32 n)
{
    if (n < 2 || n >= m_entries)
        return std::nullopt;
    u8 b[4] = {};
    switch (m_type) {
    case FAT12: {
        // Byte n + n/2 holds the entry; an odd entry takes the upper 12 bits
        // of the 16-bit word there, an even one the lower 12.
        u64 at = u64(n) + n / 2;
        if (!fetch(at, b, 2))
            return std::nullopt;
        u16 word = load_le16(b);
        return (n & 1) ? u32(word >> 4) : u32(word & 0x0FFF);
    }
    case FAT16:
        if (!fetch(u64(n) * 2, b, 2))
            return std::nullopt;
        return u32(load_le16(b));
    case FAT32:
        if (!fetch(u64(n) * 4, b, 4))
            return std::nullopt;
        return load_le32(b) & 0x0FFFFFFF;
    }
    return std::nullopt;
}

std::optional<u32> FatTable::next(u32 n)
{
    auto v = raw(n);
    if (v && *v == 0) {
        if (m_type == FAT16)
            return 0xFFF8u;
        if (m_type == FAT32)
            return 0x0FFFFFF8u;
    }
    return v;
}

bool FatTable::is_end(u32 value) const
{
    switch (m_type) {
    case FAT12: return value >= 0xFF7;
    case FAT16: return value >= 0xFFF7;
    case FAT32: return value >= 0x0FFFFFF7;
    }
    return true;
}

std::vector<u32> follow_chain(FatTable& fat, u32 first, size_t max_clusters)
{
    std::vector<u32> chain;
    if (first < 2 || first >= fat.entry_count() || max_clusters == 0)
        return chain;
    std::unordered_set<u32> seen;
    u32 n = first;
    while (chain.size() < max_clusters) {
        if (!seen.insert(n).second)
            break; // the chain loops back
        chain.push_back(n);
        auto v = fat.next(n);
        if (!v || fat.is_end(*v) || *v < 2 || *v >= fat.entry_count())
            break;
        n = *v;
    }
    return chain;
}

} // namespace fsprobe::fat
