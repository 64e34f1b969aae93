// The lost-volume search, the primary/logical judgement of a found volume and
// the process-wide state they share with the rebuild.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>

namespace fsprobe::partition {

struct SearchState {
    BgVolume found[max_found_volumes] {};
    BgReader* disk = nullptr;
    u32 sectors_per_track = 0;
    u32 bytes_per_sector = 0;
};

// The one state of the search and rebuild exports (one disk at a time).
SearchState& search_state();

// Runs the search on `disk`; returns the found-volume table or null.
BgVolume* search_volumes(BgReader* disk);
// True for a primary partition, false for a logical drive (whose copy's
// hidden sectors then hold the distance from its extended boot record).
bool judge_primary(BgVolume* record);
// Frees the boot-sector copies and clears their pointers.
void release_found();

// The first of the two confirmations, exposed for tests: does the 1024-byte
// buffer hold the MFT record of $MFT?
bool is_mft_record_of_mft(const u8* record, size_t size);
// Sectors per cluster of an NTFS boot sector (the search counts them as
// 512-byte sectors), 0 when invalid.
u64 ntfs_cluster_sectors(const u8* boot_sector);

} // namespace fsprobe::partition
