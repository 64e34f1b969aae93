// Backup and restore of a disk's partition tables through a small file.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/common/bytes.h>

#include <cstdint>

namespace fsprobe::partition {

// 0 saved, 1 no partition table in sector 0, 2 a read or the write failed.
int32_t backup_tables(BgReader* disk, int fd);
// Saves what a write to the tables would change, before that write: the
// tables as backup_tables saves them, or, when sector 0 holds no table (wiped
// to zeros, or a volume boot sector), sector 0's bytes 446..509 as they are in
// one record, so the write can always be undone. 0 saved, 1 a GPT disk (its
// tables do not fit the file), 2 a read or the write failed.
int32_t backup_current_state(BgReader* disk, int fd);
// 0 written back, 1 the file is unusable or refused by check_backup (nothing
// written) or a write failed.
int32_t restore_tables(BgReader* disk, int fd);

// Results of the check of a backup file (the BS_CHECK_* values).
namespace backup_check {
constexpr i32 ok = 0;
constexpr i32 unreadable = 1;
constexpr i32 first_not_mbr = 2;
constexpr i32 outside_disk = 3;
constexpr i32 not_in_chain = 4;
constexpr i32 inside_volume = 5;
constexpr i32 volume_beyond = 6;
constexpr i32 not_table_sector = 7;
constexpr i32 inside_disk_volume = 8;
} // namespace backup_check

// Whether the records of a backup file describe one table chain that can be
// written to `disk`; a BS_CHECK_* result, the record at fault in `*record`.
int32_t check_backup(BgReader* disk, int fd, uint32_t* record);

// The same check on records already read (`count` records of 72 bytes).
// `disk_size` 0 means unknown; `sector_sizes` are the sector sizes the
// extended entries may count in (the table itself does not say which).
struct BackupCheck {
    int32_t result = 0;
    uint32_t record = 0;
};
BackupCheck check_records(const u8* records, u32 count, u64 disk_size, const u32* sector_sizes,
                          u32 sector_size_count);

} // namespace fsprobe::partition
