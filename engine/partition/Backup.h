// Backup and restore of a disk's partition tables through a small file.
#pragma once

#include <blockgate/blockgate.h>

#include <cstdint>

namespace fsprobe::partition {

// 0 saved, 1 no partition table in sector 0, 2 a read or the write failed.
int32_t backup_tables(BgReader* disk, int fd);
// 0 written back, 1 the file is unusable (nothing written) or a write failed.
int32_t restore_tables(BgReader* disk, int fd);

} // namespace fsprobe::partition
