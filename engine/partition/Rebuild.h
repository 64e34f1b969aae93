// The rebuild of the master boot record table and the extended boot record
// chain from the volumes a search found.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>

#include <array>
#include <vector>

namespace fsprobe::partition {

// What the rebuild needs of one found volume (in 512-byte sectors).
struct FoundVolume {
    u64 start_sector = 0;
    u64 sectors = 0;      // the volume's length
    u32 hidden = 0;       // hidden sectors of its boot sector (after the kind test)
    i32 fs_code = 0;
    bool first_found = false;
};

// A 66-byte table write: entries plus signature at `sector` * 512 + 446.
struct TableWrite {
    u64 sector = 0;
    std::array<u8, table_write_bytes> bytes {};
};

enum class RebuildStatus {
    Ok,
    NothingFound,    // no volume: writing four empty entries would erase the table
    TooManyPrimaries, // more than four master boot record entries needed
    Unrepresentable,  // a start or distance beyond what a 32-bit entry holds
};

struct RebuildPlan {
    RebuildStatus status = RebuildStatus::Ok;
    std::vector<TableWrite> extended; // in chain order
    TableWrite master;                // sector 0
    u32 master_entries = 0;
};

// Lays out the new tables. Volumes must be in ascending order of start, as the
// search lists them. Pure: reads and writes nothing.
RebuildPlan plan_rebuild(const std::vector<FoundVolume>& volumes, u32 sectors_per_track);

struct SearchState;

// Runs the rebuild for the table a search left in `state` on `disk`.
bool rebuild_tables(BgReader* disk, const SearchState& state);

} // namespace fsprobe::partition
