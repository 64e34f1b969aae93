// An exFAT volume: the checked boot region, the FAT, the allocation bitmap
// and the up-case table, each read through bounded, cached reads.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fsprobe::exfat {

struct Geometry {
    u32 bytes_shift = 9;
    u32 cluster_shift = 9;       // bytes per cluster = 1 << cluster_shift
    u64 volume_sectors = 0;
    u64 fat_offset = 0;          // sector of the FAT in use
    u64 fat_length = 0;          // sectors per FAT
    u32 fat_count = 1;
    u64 heap_offset = 0;         // sector of cluster 2
    u32 cluster_count = 0;
    u32 root_cluster = 0;
    u16 volume_flags = 0;

    u32 bytes_per_sector() const { return u32(1) << bytes_shift; }
    u32 cluster_bytes() const { return u32(1) << cluster_shift; }
    // Clusters 2 .. cluster_count + 1 make the heap.
    bool valid_cluster(u64 n) const { return n >= fat::first_cluster && n < u64(cluster_count) + 2; }
    u64 cluster_offset(u32 n) const { return (heap_offset << bytes_shift) + (u64(n - 2) << cluster_shift); }
};

// Decodes the main boot sector of a boot region (at least 512 bytes) and
// checks every field the engine relies on. On failure `why` names the field.
std::optional<Geometry> parse_boot_sector(std::span<const u8> sector, std::string* why = nullptr);

// The boot checksum of the first 11 sectors of a boot region of
// `bytes_per_sector` sectors (region holds at least 11 of them).
u32 boot_checksum(std::span<const u8> region, u32 bytes_per_sector);

// True when sector 11 of the region repeats the checksum of sectors 0-10.
bool boot_checksum_matches(std::span<const u8> region, u32 bytes_per_sector);

// The 32-bit rotate-and-add checksum of the up-case table.
u32 table_checksum(std::span<const u8> bytes);

// Reads a byte range of the volume made of extents, through one aligned
// 64 KiB window. Reads outside the range, or that the device delivers short,
// fail.
class RegionReader {
public:
    struct Extent {
        u64 offset = 0;  // byte offset on the volume
        u64 length = 0;
    };
    RegionReader() = default;
    RegionReader(BgReader* reader, std::vector<Extent> extents);

    u64 size() const { return m_size; }
    bool read(u64 offset, u8* out, size_t length);

private:
    bool load(u64 window_start);

    BgReader* m_reader = nullptr;
    std::vector<Extent> m_extents;
    u64 m_size = 0;
    std::vector<u8> m_window;
    u64 m_window_start = ~u64(0);
    size_t m_window_length = 0;
};

// The up-case table, expanded: 65536 units.
class Upcase {
public:
    // Expands the stored (possibly compressed) table. False when it is damaged.
    bool load(std::span<const u8> stored);
    bool loaded() const { return !m_map.empty(); }
    char16_t upper(char16_t c) const { return m_map.empty() ? c : m_map[c]; }

private:
    std::vector<char16_t> m_map;
};

// The name hash a stream extension stores for a name, from its up-cased units.
u16 name_hash(const std::u16string& name, const Upcase& upcase);

class Volume {
public:
    // Opens the volume: reads the boot region (the backup one when the main
    // one fails its checks), the FAT, and finds the allocation bitmap and the
    // up-case table in the root directory. On failure, failure() says why.
    bool open(BgVolume* volume);
    void close();

    const Geometry& geometry() const { return m_geo; }
    BgReader* reader() const { return m_reader; }
    const std::string& failure() const { return m_failure; }
    // What open noticed without refusing the volume (bad boot checksum,
    // backup boot region used, no usable bitmap or up-case table).
    const std::vector<std::string>& notes() const { return m_notes; }

    // The FAT entry of cluster n; nullopt outside the heap or unreadable.
    std::optional<u32> fat_entry(u32 n);
    // Whether the bitmap marks cluster n as in use; nullopt without a
    // bitmap or outside the heap.
    std::optional<bool> allocated(u32 n);
    bool has_bitmap() const { return m_bitmap.size() != 0; }
    // Whether the bitmap marks any of `count` clusters from `first` as in
    // use, looking at no more than `limit` of them (bits past the bitmap
    // count as free).
    bool any_allocated(u32 first, u64 count, u64 limit);
    const Upcase& upcase() const { return m_upcase; }

    // The clusters of a chain that is expected to hold `needed` clusters,
    // followed through the FAT while each cluster is in the heap, not met
    // before and, with `through_free`, free in the bitmap. Stops after
    // `needed` clusters.
    std::vector<u32> follow_chain(u32 first, u64 needed, bool through_free);

    // Reads `length` bytes at a volume byte offset; zero-fills what could
    // not be read and returns the bytes read.
    size_t read_bytes(u8* into, size_t length, u64 offset) const;

private:
    bool read_boot_region(std::vector<u8>& region, u64 sector, u32 bytes_per_sector);
    void find_root_metadata();

    BgReader* m_reader = nullptr;
    u64 m_volume_bytes = 0;
    Geometry m_geo;
    RegionReader m_fat;
    RegionReader m_bitmap;
    Upcase m_upcase;
    std::string m_failure;
    std::vector<std::string> m_notes;
};

} // namespace fsprobe::exfat
