// C exports of the partition repair family. Nothing thrown inside may cross
// the C boundary: an exception becomes the export's failure value.
#include <fsprobe/partition.h>

#include "Backup.h"
#include "Rebuild.h"
#include "Search.h"

#include <fsprobe/common/failure.h>

using namespace fsprobe::partition;
using fsprobe::guarded;
using fsprobe::guarded_void;

static_assert(BS_CHECK_OK == backup_check::ok && BS_CHECK_UNREADABLE == backup_check::unreadable
              && BS_CHECK_FIRST_NOT_MBR == backup_check::first_not_mbr
              && BS_CHECK_OUTSIDE_DISK == backup_check::outside_disk
              && BS_CHECK_NOT_IN_CHAIN == backup_check::not_in_chain
              && BS_CHECK_INSIDE_VOLUME == backup_check::inside_volume
              && BS_CHECK_VOLUME_BEYOND == backup_check::volume_beyond
              && BS_CHECK_NOT_TABLE_SECTOR == backup_check::not_table_sector
              && BS_CHECK_INSIDE_DISK_VOLUME == backup_check::inside_disk_volume);

namespace {

// The one search of the exports (one disk at a time).
VolumeSearch g_search;

// Why the last partition call failed.
fsprobe::FailureReason g_failure;

} // namespace

namespace fsprobe::partition {

const SearchState& search_state() { return g_search.state(); }

} // namespace fsprobe::partition

extern "C" {

FSPROBE_API int32_t bs_backup(BgReader* disk, int fd)
{
    return guarded<int32_t>(g_failure, BS_BACKUP_IO_ERROR, [&] { return backup_tables(disk, fd); });
}

FSPROBE_API int32_t bs_backup_current(BgReader* disk, int fd)
{
    return guarded<int32_t>(g_failure, BS_BACKUP_IO_ERROR, [&] { return backup_current_state(disk, fd); });
}

FSPROBE_API int32_t bs_back(BgReader* disk, int fd)
{
    return guarded<int32_t>(g_failure, BS_BACK_FAILED, [&] { return restore_tables(disk, fd); });
}

FSPROBE_API int32_t bs_check_backup(BgReader* disk, int fd, uint32_t* record)
{
    return guarded<int32_t>(g_failure, BS_CHECK_UNREADABLE, [&] { return check_backup(disk, fd, record); });
}

FSPROBE_API BgVolume* bs_recover(BgReader* disk)
{
    return guarded<BgVolume*>(
        g_failure, nullptr, [&] { return g_search.search(disk); },
        [] {
            g_search.release();
            bg_progress.store(100);
        });
}

FSPROBE_API bool is_ok(BgVolume* record)
{
    return guarded(g_failure, false, [&] { return g_search.judge_primary(record); });
}

FSPROBE_API bool write_Partition_table(BgReader* disk)
{
    return guarded(g_failure, false, [&] { return rebuild_tables(disk, g_search.state()); });
}

FSPROBE_API void bs_exit(void)
{
    guarded_void(g_failure, [] { g_search.release(); });
}

FSPROBE_API const char* partition_last_failure(void) { return g_failure.text(); }

} // extern "C"
