// C exports of the partition repair family. Nothing thrown inside may cross
// the C boundary: an exception becomes the export's failure value.
#include <fsprobe/partition.h>

#include "Backup.h"
#include "Rebuild.h"
#include "Search.h"

using namespace fsprobe::partition;

static_assert(BS_CHECK_OK == backup_check::ok && BS_CHECK_UNREADABLE == backup_check::unreadable
              && BS_CHECK_FIRST_NOT_MBR == backup_check::first_not_mbr
              && BS_CHECK_OUTSIDE_DISK == backup_check::outside_disk
              && BS_CHECK_NOT_IN_CHAIN == backup_check::not_in_chain
              && BS_CHECK_INSIDE_VOLUME == backup_check::inside_volume
              && BS_CHECK_VOLUME_BEYOND == backup_check::volume_beyond
              && BS_CHECK_NOT_TABLE_SECTOR == backup_check::not_table_sector
              && BS_CHECK_INSIDE_DISK_VOLUME == backup_check::inside_disk_volume);

extern "C" {

FSPROBE_API int32_t bs_backup(BgReader* disk, int fd)
{
    try {
        return backup_tables(disk, fd);
    } catch (...) {
        return BS_BACKUP_IO_ERROR;
    }
}

FSPROBE_API int32_t bs_backup_current(BgReader* disk, int fd)
{
    try {
        return backup_current_state(disk, fd);
    } catch (...) {
        return BS_BACKUP_IO_ERROR;
    }
}

FSPROBE_API int32_t bs_back(BgReader* disk, int fd)
{
    try {
        return restore_tables(disk, fd);
    } catch (...) {
        return BS_BACK_FAILED;
    }
}

FSPROBE_API int32_t bs_check_backup(BgReader* disk, int fd, uint32_t* record)
{
    try {
        return check_backup(disk, fd, record);
    } catch (...) {
        return BS_CHECK_UNREADABLE;
    }
}

FSPROBE_API BgVolume* bs_recover(BgReader* disk)
{
    try {
        return search_volumes(disk);
    } catch (...) {
        release_found();
        bg_progress.store(100);
        return nullptr;
    }
}

FSPROBE_API bool is_ok(BgVolume* record)
{
    try {
        return judge_primary(record);
    } catch (...) {
        return false;
    }
}

FSPROBE_API bool write_Partition_table(BgReader* disk)
{
    try {
        return rebuild_tables(disk);
    } catch (...) {
        return false;
    }
}

FSPROBE_API void bs_exit(void) { release_found(); }

} // extern "C"
