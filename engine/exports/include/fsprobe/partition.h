// fsprobe partition repair: backup and restore of a disk's partition tables,
// the search for lost FAT and NTFS volumes and the rebuild of the tables.
//
// Backup and restore keep no state. The search, the kind test and the rebuild
// share one process-wide state (one disk at a time); call them in the order
// bs_recover, is_ok on every record in order, write_Partition_table, bs_exit.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// One record of the backup file: the file is a headerless run of these (at
// most 25, the master boot record first, then the extended boot records in
// chain order), little-endian.
struct [[gnu::packed]] PartitionBackupRecord {
    uint64_t offset;     // byte offset of the table sector on the disk (0: MBR)
    uint8_t entries[64]; // bytes 446..509 of that sector: the four entries
};
static_assert(sizeof(PartitionBackupRecord) == 72);
static_assert(offsetof(PartitionBackupRecord, entries) == 8);

enum {
    PARTITION_BACKUP_MAX_RECORDS = 25,
    FOUND_VOLUME_TABLE_SIZE = 24,
};

// Results of bs_backup.
enum {
    BS_BACKUP_OK = 0,
    BS_BACKUP_NO_TABLE = 1, // sector 0 holds no partition table
    BS_BACKUP_IO_ERROR = 2, // a read of the disk or the write of the file failed
};
// Results of bs_back.
enum {
    BS_BACK_OK = 0,
    BS_BACK_FAILED = 1, // file empty, unreadable, malformed, refused by bs_check_backup, or a disk write failed
};
// Results of bs_check_backup: whether a backup file describes a table chain
// that can be written to this disk. Every result but BS_CHECK_OK names the
// record at fault through the index argument.
enum {
    BS_CHECK_OK = 0,
    BS_CHECK_UNREADABLE = 1,      // empty, unreadable, or not a whole number of 72-byte records
    BS_CHECK_FIRST_NOT_MBR = 2,   // the first record is not the master boot record (offset 0)
    BS_CHECK_OUTSIDE_DISK = 3,    // a record's offset is not a sector of this disk
    BS_CHECK_NOT_IN_CHAIN = 4,    // a record is not where the extended entry before it points
    BS_CHECK_INSIDE_VOLUME = 5,   // a record lies inside a volume that the records describe
    BS_CHECK_VOLUME_BEYOND = 6,   // a record describes a volume starting beyond the end of the disk
    BS_CHECK_NOT_TABLE_SECTOR = 7, // a record's sector on the disk holds data, not a table (nor zeros)
    BS_CHECK_INSIDE_DISK_VOLUME = 8, // a record lies inside a volume of the disk's current table
};

// Saves the partition tables of `disk` to the open, writable, empty file `fd`
// (written with one write). Returns a BS_BACKUP_* result.
FSPROBE_API int32_t bs_backup(BgReader* disk, int fd);

// Saves what a table write would change, before it: as bs_backup, except that
// a disk whose sector 0 holds no table (all zeros after a wipe, or a volume
// boot sector) gets one record of sector 0 as it is, so the write can always
// be undone by bs_back. BS_BACKUP_NO_TABLE only for a GPT disk, whose tables a
// backup file cannot hold.
FSPROBE_API int32_t bs_backup_current(BgReader* disk, int fd);
// Writes the tables saved in the backup file `fd` back to `disk`, last record
// first; only bytes 446..511 of each recorded sector change. The file is read
// from offset 0 whatever its position. Returns a BS_BACK_* result.
FSPROBE_API int32_t bs_back(BgReader* disk, int fd);
// Checks the backup file `fd` against `disk` without writing anything: the
// first record is the master boot record, every further record lies where
// the chain of extended entries before it points (the chain bs_backup
// follows), no record lies inside a volume that the records describe, and
// every extended boot record's sector on the disk holds a table or zeros now
// (not a volume boot sector, not data) and lies in no volume that the disk's
// current table gives (the volume list of the last bg_scan_volumes). Returns a BS_CHECK_* result; the record
// at fault goes to `*record` (when not null). bs_back runs the same check
// before its first write.
FSPROBE_API int32_t bs_check_backup(BgReader* disk, int fd, uint32_t* record);

// Searches `disk` track by track for FAT and NTFS volumes. Returns the first
// of FOUND_VOLUME_TABLE_SIZE records (the table ends at the first record whose
// boot_sector is null), or null when the disk object is null, the search was
// stopped (bg_progress set to 100 by another party) or twenty volumes were
// found. Of each record: size, fs_code (1..4), start (byte offset), first_found
// and boot_sector (a 512-byte copy owned by the engine) are set. Sets
// bg_progress to 100 when it returns.
FSPROBE_API BgVolume* bs_recover(BgReader* disk);

// True when the found volume `record` is a primary partition, false when it is
// a logical drive (its boot sector's hidden-sectors field may be corrected to
// the distance from its extended boot record).
FSPROBE_API bool is_ok(BgVolume* record);

// Writes a new master boot record table (and one extended boot record per
// logical drive) describing the volumes found by the last bs_recover, after
// is_ok ran on each. False, with nothing written, when no volume was found or
// more than four master boot record entries would be needed; false also when a
// write to the disk failed.
FSPROBE_API bool write_Partition_table(BgReader* disk);

// Frees the boot-sector copies of the found-volume table.
FSPROBE_API void bs_exit(void);

// Why the last call of the partition family failed: "" after a call that
// succeeded, else a short reason naming what failed. Valid until the
// family's next call.
FSPROBE_API const char* partition_last_failure(void);

} // extern "C"
