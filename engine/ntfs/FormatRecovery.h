// Format recovery: a sector-by-sector search of a volume for the MFT records
// of old NTFS file systems, the old MFTs re-anchored on the volume, and the
// parent links between the records found.
#pragma once

#include "Ntfs.h"

#include <array>

namespace fsprobe::ntfs {

// One run of an old MFT on the volume.
struct Extent {
    u64 disk_start;
    u64 disk_end;
    u64 clusters;
    u32 first_record;
    u32 records;
};

struct DirSlot {
    u32 record;
    NtfsFormatInfo* dir;
};

// One old MFT met by the scan.
struct MftFragment {
    std::vector<u8> record; // copy of its $MFT record (1024 bytes)
    ContextPtr context;     // its $DATA
    u64 cluster_size = 0;   // C; 0: entry free
    u64 found = 0;          // F: where the old MFT itself lay
    u64 mirror = 0;         // where its mirror copy lies
    u64 base = 0;           // B: volume offset of the old cluster 0
    i64 first_lcn = 0;      // L
    std::vector<Extent> extents;
    u32 dir_count = 0;          // record count of the old MFT
    std::vector<DirSlot> dirs;  // directories by record number (sorted)
    // No $MFT record of this old file system survives: its records are
    // grouped by their own cluster size, read from cluster 0 of the volume
    // and linked by the record numbers in their own headers.
    bool self_anchored = false;
};

constexpr int kFragments = 16;

struct FragmentTable {
    std::array<MftFragment, kFragments> fragments;
    int first_attributed = -1;
};

class FormatRecovery {
public:
    // Scans the whole device; the list is the caller's until it frees it
    // with free_format_info. Drives bg_progress.
    NtfsFormatInfo* search(BgVolume* device);

    // Fills `out` with the parent directory of a record and returns the
    // parent's record; null at the root or when the parent is unknown.
    NtfsFormatInfo* parent_of(const NtfsFormatInfo* record, NtfsNameParent* out) const;

    // Where a record's old volume lay: its device, old cluster size and the
    // device offset of its old cluster 0. Nullopt without a known geometry.
    std::optional<ClusterMap> clusters_of(const NtfsFormatInfo* record) const;
    BgVolume* device() const { return m_device; }

    // The directory indexes point into the list: forget them when the list
    // is freed.
    void forget_directories();
    void clear();

private:
    const MftFragment* fragment_for(const NtfsFormatInfo* record) const;

    BgVolume* m_device = nullptr;
    FragmentTable m_table;
};

void free_format_info(NtfsFormatInfo* head);

} // namespace fsprobe::ntfs
