// The lost-volume search, the primary/logical judgement of a found volume and
// the state they leave for the rebuild.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>

namespace fsprobe::partition {

// What a search leaves: the found-volume table (ended by the first record
// without a boot-sector copy) and the disk geometry it was made with.
struct SearchState {
    BgVolume found[max_found_volumes] {};
    BgReader* disk = nullptr;
    u32 sectors_per_track = 0;
    u32 bytes_per_sector = 0;
};

// The lost-volume search of one disk at a time; it owns the boot-sector
// copies of its table until release() or the next search.
class VolumeSearch {
public:
    VolumeSearch() = default;
    ~VolumeSearch() { release(); }
    VolumeSearch(const VolumeSearch&) = delete;
    VolumeSearch& operator=(const VolumeSearch&) = delete;

    // Runs the search on `disk`; returns the found-volume table or null.
    BgVolume* search(BgReader* disk);
    // True for a primary partition, false for a logical drive (whose copy's
    // hidden sectors then hold the distance from its extended boot record).
    bool judge_primary(BgVolume* record);
    // Frees the boot-sector copies and clears their pointers.
    void release();

    const SearchState& state() const { return m_state; }

private:
    SearchState m_state;
};

// The state of the search behind the C exports (one disk at a time).
const SearchState& search_state();

// The first of the two confirmations, exposed for tests: does the 1024-byte
// buffer hold the MFT record of $MFT?
bool is_mft_record_of_mft(const u8* record, size_t size);
// Sectors per cluster of an NTFS boot sector (the search counts them as
// 512-byte sectors), 0 when invalid.
u64 ntfs_cluster_sectors(const u8* boot_sector);

} // namespace fsprobe::partition
