// Geometry of a FAT volume from its boot sector, and lookups in its FAT.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>

#include <optional>
#include <span>
#include <vector>

namespace fsprobe::fat {

struct FatGeometry {
    FatType type = FAT12;
    u32 bytes_per_sector = 0;
    u32 sectors_per_cluster = 0;
    u32 cluster_bytes = 0;
    u64 reserved_sectors = 0;
    u32 fat_count = 0;
    u64 sectors_per_fat = 0;
    u64 fat_start = 0;        // sector of the FAT that is read (active-FAT rule on FAT32)
    u64 root_start = 0;       // FAT12/16: first sector of the fixed root area
    u64 root_sectors = 0;     // FAT12/16: sectors of the fixed root area
    u32 root_cluster = 0;     // FAT32: first cluster of the root directory
    u64 data_start = 0;       // sector of cluster 2
    u64 total_sectors = 0;
    u32 cluster_limit = 0;    // total sectors / sectors per cluster

    u64 fat_bytes() const { return sectors_per_fat * bytes_per_sector; }
    // Byte offset of cluster n (n >= 2) on the volume.
    u64 cluster_offset(u32 n) const
    {
        return (data_start + u64(n - 2) * sectors_per_cluster) * bytes_per_sector;
    }
};

// Decodes the boot sector of a FAT volume of the given type. The total sector
// count comes from the 32-bit field, or from the 16-bit one when that is 0.
// Nullopt when a field makes the geometry unusable.
std::optional<FatGeometry> parse_geometry(std::span<const u8> boot_sector, FatType type);

// The FAT of a volume, read through the volume's reader with a small cache,
// or held in memory. Entries outside the FAT (and cluster numbers 0 and 1)
// have no value.
class FatTable {
public:
    FatTable() = default;
    FatTable(BgReader* reader, u64 offset, u64 bytes, FatType type);
    FatTable(std::span<const u8> bytes, FatType type);

    // The stored value of entry n: 12, 16 or 28 bits.
    std::optional<u32> raw(u32 n);
    // The next cluster after n as the walk sees it: on FAT16 and FAT32 a free
    // entry reads as end of chain.
    std::optional<u32> next(u32 n);
    // End of chain (bad-cluster marks count as an end too).
    bool is_end(u32 value) const;
    // Number of entries the FAT holds (clusters 0 .. count - 1).
    u32 entry_count() const { return m_entries; }
    FatType type() const { return m_type; }

private:
    bool fetch(u64 offset, u8* out, size_t length);

    BgReader* m_reader = nullptr;
    std::span<const u8> m_memory;
    u64 m_offset = 0;
    u64 m_bytes = 0;
    FatType m_type = FAT12;
    u32 m_entries = 0;
    std::vector<u8> m_cache;
    u64 m_cache_start = ~u64(0);
    size_t m_cache_len = 0;
};

// Clusters of the chain from `first`, in order, at most `max_clusters`,
// stopping at an end value, a value outside the FAT or a cluster met before.
std::vector<u32> follow_chain(FatTable& fat, u32 first, size_t max_clusters);

} // namespace fsprobe::fat
