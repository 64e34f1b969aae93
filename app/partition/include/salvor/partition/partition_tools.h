// The partition tools of Partition Recovery as typed calls: the search for
// lost FAT and NTFS volumes, the rebuild of the partition table from what it
// found, and the backup, check and restore of a disk's tables through a file.
// salvor-cli and the desktop page both go through here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BgReader;

namespace salvor {

// A volume the lost-volume search found.
struct FoundPartition {
    uint32_t number = 0;  // its place in the search's results (0, 1, ...)
    uint64_t start = 0;   // byte offset on the disk
    uint64_t size = 0;    // bytes
    int32_t fs_code = 0;  // BgFsCode: FAT12, FAT16, FAT32 or NTFS
    bool primary = false; // a primary partition, else a logical drive
};

// Why the partition tools refuse a disk.
enum class DiskRefusal {
    none,
    cannot_open,  // the image or device cannot be opened (error: its errno)
    cannot_read,  // it opened but cannot be read (error: its errno)
    no_disk,      // nothing was listed for it
    dynamic_disk, // a dynamic disk (partition type 0x42)
    gpt_disk,     // a GPT disk (protective entry 0xEE)
};
// The refusal as the user reads it (dynamic and GPT disks; "" for the others,
// whose text names the disk and the error).
const char* DiskRefusalText(DiskRefusal refusal);

enum class BackupStatus {
    ok,
    no_table, // sector 0 holds no partition table (a GPT disk for a backup of the current tables)
    failed,   // a read of the disk or the write of the file failed
};

// What a check of a backup file against a disk found.
enum class BackupFault {
    none,
    unreadable,          // empty, unreadable, or not whole 72-byte records (at most 25)
    first_not_mbr,       // the first record is not the master boot record
    outside_disk,        // a record is not at a sector of this disk
    not_in_chain,        // a record is not where the extended entries before it point
    inside_volume,       // a record lies inside a volume the file describes
    volume_beyond,       // a record describes a volume beyond the end of the disk
    not_table_sector,    // a record's sector holds data, not a table
    inside_disk_volume,  // a record lies inside a volume of the disk's current table
    other,
};
struct BackupCheck {
    BackupFault fault = BackupFault::none;
    uint32_t record = 0; // the record at fault (from 0)

    bool ok() const { return fault == BackupFault::none; }
    // Why the file was refused ("record 2 is not at a sector of this disk").
    std::string reason() const;
};

// Backup files are headerless runs of 72-byte records, at most 25.
inline constexpr uint64_t kBackupRecordBytes = 72;
inline constexpr uint64_t kBackupMaxRecords = 25;
// A file of `bytes` could be a backup file: whole records, one to 25.
constexpr bool BackupFileSizeFits(uint64_t bytes)
{
    return bytes > 0 && bytes % kBackupRecordBytes == 0 && bytes <= kBackupMaxRecords * kBackupRecordBytes;
}

// The tools on one disk object (owned by blockgate, valid while its disk list
// lives). One disk at a time: the engine keeps the results of one search,
// which belong to the object that made it until it goes or another object
// searches. An object that does not own the search (a backup or a restore)
// neither frees it nor rebuilds from it.
class PartitionTools {
public:
    explicit PartitionTools(BgReader* disk);
    ~PartitionTools();
    PartitionTools(const PartitionTools&) = delete;
    PartitionTools& operator=(const PartitionTools&) = delete;

    // Dynamic and GPT disks are refused by the search and the rebuild.
    DiskRefusal Refusal() const;

    // Searches the whole disk (bg_progress moves from 0 to 100). Empty when
    // nothing was found or the search was stopped.
    std::vector<FoundPartition> Search();
    // Writes a partition table describing what this object's last Search
    // found. False, with nothing written, when the engine holds no search of
    // this object, it found nothing or more than four primary entries would
    // be needed; false also when a write failed.
    bool Rebuild();

    // Writes the disk's tables to the open, empty, writable file `fd`.
    BackupStatus Backup(int fd);
    // As Backup, but a disk without a table (wiped, or a bare volume) gets its
    // sector 0 as it is, so a following write can be undone; no_table only for
    // a GPT disk.
    BackupStatus BackupCurrent(int fd);
    // Whether the backup file `fd` can be written back to this disk; writes nothing.
    BackupCheck CheckBackup(int fd);
    // Writes the tables of the backup file `fd` back (after the same check).
    bool Restore(int fd);

private:
    BgReader* m_disk;
};

// An image file or device opened as the only disk, for salvor-cli: the device
// lists hold just it until this object goes (then the real disks are listed
// again).
class OpenedDisk {
public:
    explicit OpenedDisk(const std::string& path);
    ~OpenedDisk();
    OpenedDisk(const OpenedDisk&) = delete;
    OpenedDisk& operator=(const OpenedDisk&) = delete;

    // none when the tools can be used on the disk.
    DiskRefusal refusal() const { return m_refusal; }
    int error() const { return m_error; }
    // Null unless refusal() is none.
    PartitionTools* tools() { return m_tools.get(); }

private:
    DiskRefusal m_refusal = DiskRefusal::none;
    int m_error = 0;
    std::unique_ptr<PartitionTools> m_tools;
};

} // namespace salvor
