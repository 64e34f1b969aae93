// Backup and restore of a disk's partition tables through a small file.
#pragma once

#include <blockgate/blockgate.h>

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
// 0 written back, 1 the file is unusable (nothing written) or a write failed.
int32_t restore_tables(BgReader* disk, int fd);

} // namespace fsprobe::partition
