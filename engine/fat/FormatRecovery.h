// Format recovery: finds the first clusters of the directories of an old FAT
// file system by their "." and ".." entries, estimates the old cluster size
// and data start from their positions, and rebuilds the lost trees.
#pragma once

#include "FatVolume.h"

#include <fsprobe/fat.h>

#include <array>
#include <unordered_set>
#include <atomic>
#include <optional>
#include <span>
#include <vector>

namespace fsprobe::fat {

// A sector that begins like the first cluster of a directory.
struct FatDirCandidate {
    u64 sector;   // 512-byte sectors from the start of the volume
    u32 cluster;  // the directory's own first cluster, from its "." entry
};

struct GeometryVote {
    u32 sectors_per_cluster; // in 512-byte sectors
    u64 data_start;          // 512-byte sector of the old cluster 2
};

// Estimates the old geometry around candidate `index` by voting over at most
// 10 pairs (A, B): A is this candidate or one of the next 8, B a later one.
// A pair with B's cluster above A's proposes s = sector distance / cluster
// distance; a whole s of 1 to 128 (a power of two) with room before A votes for
// (s, A.sector - s * (A.cluster - 2)). A vote equal to an earlier one counts
// for it only when both came from the same A. The highest count wins, the
// earliest among equals.
std::optional<GeometryVote> vote_geometry(std::span<const FatDirCandidate> candidates, size_t index);

// True when a 512-byte sector starts with a "." entry of a directory and a
// ".." entry.
bool is_directory_start(const u8* sector);

class FormatRecovery {
public:
    FormatRecovery() = default;
    ~FormatRecovery() { close(); }
    FormatRecovery(const FormatRecovery&) = delete;
    FormatRecovery& operator=(const FormatRecovery&) = delete;

    bool open(BgVolume* volume);
    FatLostDir** search();
    void stop() { m_stop.store(1); }
    bool read_file(const FatEntry* entry, void* buffer, u32 length, u64* position);
    void close();

    const std::vector<FatDirCandidate>& candidates() const { return m_candidates; }

    static constexpr size_t chunk_bytes = 512 * 1024;
    static constexpr size_t seen_row_limit = 4000;
    // Bounds the memory of the candidate list on a volume full of
    // directory-like sectors.
    static constexpr size_t max_candidates = size_t(1) << 22;
    // Deeper nesting than this is taken for damage.
    static constexpr size_t max_depth = 512;

private:
    void scan();
    bool in_current_use(const FatDirCandidate& c);
    // Sectors per cluster (512-byte sectors) of the boot sector now on the
    // volume when its geometry puts the candidate's cluster on its sector.
    std::optional<u32> kept_geometry(const FatDirCandidate& c) const;
    bool seen(u32 s, u32 cluster) const;
    bool add_seen(u32 s, u32 cluster);
    u32 geometry_id(u32 s, u64 data_start);
    size_t read_sectors(u8* into, size_t length, u64 sector512);
    FatLostDir* new_node(FatLostDir* parent, u32 cluster, u64 data_start);
    void walk(FatLostDir* node, u32 s, u64 data_start, u32 geometry, size_t depth);
    void discard_from(FatLostDir* first);
    void free_trees();

    BgVolume* m_volume = nullptr;
    BgReader* m_reader = nullptr;
    u64 m_size = 0;
    int m_type = 0;
    std::optional<FatGeometry> m_current;
    FatTable m_current_fat;
    std::atomic<u8> m_stop { 0 };
    std::vector<u8> m_scan;
    std::vector<u8> m_dir;
    std::vector<FatDirCandidate> m_candidates;
    // Row k: directory clusters already turned into nodes under 1 << k
    // sectors per cluster, searched up to seen_row_limit entries; clusters
    // past that go to the overflow set so that nothing is walked twice.
    std::array<std::vector<u32>, 8> m_seen;
    std::array<std::unordered_set<u32>, 8> m_seen_overflow;
    std::vector<GeometryVote> m_geometries; // entry geometry ids count from 1
    FatLostDir** m_results = nullptr;
    size_t m_result_count = 0;
    FatLostDir* m_first = nullptr;
    FatLostDir* m_last = nullptr;
};

} // namespace fsprobe::fat
