#include <salvor/partition/partition_tools.h>

#include <salvor/devices/catalogue.h>

#include <blockgate/blockgate.h>
#include <fsprobe/partition.h>

#include <cstdio>

namespace salvor {

static_assert(sizeof(PartitionBackupRecord) == kBackupRecordBytes);
static_assert(PARTITION_BACKUP_MAX_RECORDS == kBackupMaxRecords);

namespace {

// The object whose search the engine holds now (the engine keeps one).
PartitionTools* g_search_owner = nullptr;

// A protective 0xEE entry in the master boot record: the disk's real table
// is a GPT.
bool has_gpt_entry(BgReader& disk)
{
    uint8_t sector[512] {};
    if (!disk.read || disk.read(&disk, sector, sizeof sector, 0) != sizeof sector)
        return false;
    for (int i = 0; i < 4; ++i)
        if (sector[446 + 16 * i + 4] == 0xEE)
            return true;
    return false;
}

BackupStatus backup_status(int32_t rc)
{
    switch (rc) {
    case BS_BACKUP_OK: return BackupStatus::ok;
    case BS_BACKUP_NO_TABLE: return BackupStatus::no_table;
    default: return BackupStatus::failed;
    }
}

BackupFault backup_fault(int32_t check)
{
    switch (check) {
    case BS_CHECK_OK: return BackupFault::none;
    case BS_CHECK_UNREADABLE: return BackupFault::unreadable;
    case BS_CHECK_FIRST_NOT_MBR: return BackupFault::first_not_mbr;
    case BS_CHECK_OUTSIDE_DISK: return BackupFault::outside_disk;
    case BS_CHECK_NOT_IN_CHAIN: return BackupFault::not_in_chain;
    case BS_CHECK_INSIDE_VOLUME: return BackupFault::inside_volume;
    case BS_CHECK_VOLUME_BEYOND: return BackupFault::volume_beyond;
    case BS_CHECK_NOT_TABLE_SECTOR: return BackupFault::not_table_sector;
    case BS_CHECK_INSIDE_DISK_VOLUME: return BackupFault::inside_disk_volume;
    default: return BackupFault::other;
    }
}

} // namespace

const char* DiskRefusalText(DiskRefusal refusal)
{
    switch (refusal) {
    case DiskRefusal::dynamic_disk: return "Can not recover dynamic disks, please select another disk";
    case DiskRefusal::gpt_disk: return "GPT disks are not supported by the partition rebuild";
    default: return "";
    }
}

std::string BackupCheck::reason() const
{
    const std::string r = "record " + std::to_string(record);
    switch (fault) {
    case BackupFault::none:
        return "";
    case BackupFault::unreadable:
        return "the file is empty, unreadable or not a whole number of 72-byte records (at most 25)";
    case BackupFault::first_not_mbr:
        return "its first record is not the master boot record (offset 0)";
    case BackupFault::outside_disk:
        return r + " is not at a sector of this disk";
    case BackupFault::not_in_chain:
        return r + " is not where the extended entries before it point";
    case BackupFault::inside_volume:
        return r + " lies inside a volume that the file itself describes";
    case BackupFault::volume_beyond:
        return r + " describes a volume beyond the end of this disk (a backup of another disk?)";
    case BackupFault::not_table_sector:
        return r + " would overwrite data on this disk, not a partition table (a backup of another disk?)";
    case BackupFault::inside_disk_volume:
        return r + " lies inside a volume of this disk (a backup of another disk?)";
    case BackupFault::other:
        break;
    }
    return "it does not describe a partition table chain";
}

PartitionTools::PartitionTools(BgReader* disk)
    : m_disk(disk)
{
}

PartitionTools::~PartitionTools()
{
    if (g_search_owner == this) {
        bs_exit();
        g_search_owner = nullptr;
    }
}

DiskRefusal PartitionTools::Refusal() const
{
    if (!m_disk || !IsDynamicDisk(*m_disk))
        return DiskRefusal::none;
    return has_gpt_entry(*m_disk) ? DiskRefusal::gpt_disk : DiskRefusal::dynamic_disk;
}

std::vector<FoundPartition> PartitionTools::Search()
{
    std::vector<FoundPartition> out;
    // A search replaces the engine's results without freeing them.
    if (g_search_owner)
        bs_exit();
    g_search_owner = this;
    BgVolume* table = bs_recover(m_disk);
    if (!table)
        return out;
    for (uint32_t i = 0; i < FOUND_VOLUME_TABLE_SIZE && table[i].boot_sector; ++i) {
        FoundPartition f;
        f.number = i;
        f.start = table[i].start;
        f.size = table[i].size;
        f.fs_code = table[i].fs_code;
        // Called on every record in order: the rebuild relies on it.
        f.primary = is_ok(&table[i]);
        out.push_back(f);
    }
    return out;
}

bool PartitionTools::Rebuild()
{
    // The engine keeps one search for all disks: only the disk this object
    // searched may get a table made from it.
    return m_disk && g_search_owner == this && write_Partition_table(m_disk);
}

BackupStatus PartitionTools::Backup(int fd)
{
    return backup_status(bs_backup(m_disk, fd));
}

BackupStatus PartitionTools::BackupCurrent(int fd)
{
    return backup_status(bs_backup_current(m_disk, fd));
}

BackupCheck PartitionTools::CheckBackup(int fd)
{
    BackupCheck check;
    uint32_t record = 0;
    check.fault = backup_fault(bs_check_backup(m_disk, fd, &record));
    check.record = check.ok() ? 0 : record;
    return check;
}

bool PartitionTools::Restore(int fd)
{
    return bs_back(m_disk, fd) == BS_BACK_OK;
}

OpenedDisk::OpenedDisk(const std::string& path)
{
    bg_set_real_disks(0);
    bg_clear_images();
    if (int32_t err = bg_add_image(path.c_str())) {
        m_refusal = DiskRefusal::cannot_open;
        m_error = err;
        return;
    }
    bg_scan_disks();
    bg_scan_volumes();
    if (!bg_disk_list) {
        m_refusal = DiskRefusal::no_disk;
        return;
    }
    BgReader* disk = bg_disk_list->disk;
    if (int32_t err = bg_last_error(disk)) {
        m_refusal = DiskRefusal::cannot_read;
        m_error = err;
        return;
    }
    auto tools = std::make_unique<PartitionTools>(disk);
    m_refusal = tools->Refusal();
    if (m_refusal == DiskRefusal::none)
        m_tools = std::move(tools);
}

OpenedDisk::~OpenedDisk()
{
    m_tools.reset();
    bs_exit();
    bg_release_devices();
    bg_clear_images();
    bg_set_real_disks(1);
}

} // namespace salvor
