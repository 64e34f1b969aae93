// C exports of the partition repair family.
#include <fsprobe/partition.h>

#include "Backup.h"
#include "Rebuild.h"
#include "Search.h"

using namespace fsprobe::partition;

extern "C" {

FSPROBE_API int32_t bs_backup(BgReader* disk, int fd) { return backup_tables(disk, fd); }

FSPROBE_API int32_t bs_back(BgReader* disk, int fd) { return restore_tables(disk, fd); }

FSPROBE_API BgVolume* bs_recover(BgReader* disk) { return search_volumes(disk); }

FSPROBE_API bool is_ok(BgVolume* record) { return judge_primary(record); }

FSPROBE_API bool write_Partition_table(BgReader* disk) { return rebuild_tables(disk); }

FSPROBE_API void bs_exit(void) { release_found(); }

} // extern "C"
