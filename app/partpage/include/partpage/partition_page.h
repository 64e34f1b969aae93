// The Partition Recovery page of the main dialog: the backup and restore of
// the selected disk's partition tables through a file, the search of a disk
// for lost FAT and NTFS volumes on the progress dialog's worker, the list of
// what it found and the rebuild of the table from it.
//
// Every write to a disk (a restore or a rebuild) is preceded by a check that
// the disk can be opened for writing and by a new, time-stamped backup of its
// current tables beside the offered backup file; a write whose backup cannot
// be saved first is not made.
#pragma once

#include <salvor/scan/result_model.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

struct BgReader;

namespace salvor {

class MainHost;
class PartitionTools;

// The command that restarts the machine after a write to the system disk
// ("systemctl reboot"). Tests replace it; null gives the command back.
using RebootCommand = std::function<void()>;
void SetRebootCommand(RebootCommand command);

// The file-system text of the "FileSystem" column: " FAT12 ", " FAT16 ",
// " FAT32 " or " NTFS " for the found volumes' codes, "" for any other.
std::string FoundFileSystemText(int32_t fs_code);

// The folder of partition backups under the user's home
// ("~/REVuvi Deverode"), "" when the home folder is unknown.
std::string PartitionBackupFolder();
// The backup file offered in the file dialogs (".../ZRPartitionBackup.bin"),
// "" when the home folder is unknown.
std::string OfferedBackupPath();

// 0 when the disk (or image) can be opened for writing, else the errno of
// the failed open.
int DiskWriteError(const BgReader& disk);

class PartitionPage {
public:
    explicit PartitionPage(MainHost& host);
    ~PartitionPage();
    PartitionPage(const PartitionPage&) = delete;
    PartitionPage& operator=(const PartitionPage&) = delete;

    // Backup (6025) and restore (6026) of the selected disk-list row's tables.
    void Backup();
    void Restore();

    // The disk the search is to run on (the recover-partition button 6027
    // when `from_button`, else Next/Scan): the selected row, found among the
    // listed disks, refused when it is a dynamic or GPT disk or cannot be
    // read. Null, after its message, when refused. The disk becomes the
    // searched disk.
    BgReader* PickDisk(bool from_button);

    // The progress dialog's worker for the partition search: the tree root,
    // the search of the picked disk and the list of what it found. Views are
    // touched on the main dialog's thread only.
    void RunSearch(ProgressSink& progress);

    // The Recover button in Partition Recovery, after the common checks:
    // rebuilds the searched disk's table once the user confirmed.
    void Rebuild();

    // Releases the search (the engine clean-up of Partition Recovery); the
    // page goes back to no searched disk.
    void Release();

    BgReader* SearchedDisk() const { return m_disk; }
    // The time-stamped backup saved before the last write ("" when none).
    const std::string& LastSavedTables() const { return m_saved_tables; }

private:
    // Shows a message box over the main dialog.
    int Message(int style, int mask, const std::string& text);
    // The selection check and the file dialog of Backup and Restore: the
    // chosen path, or nullopt when there is nothing to do.
    std::optional<std::string> AskBackupFile(bool save);
    // The disk of the selected disk-list row; null after "System erroe...!".
    BgReader* SelectedDisk();
    // Checks that `disk` can be written and saves its current tables to a
    // new file; false, after a message saying why, when either fails
    // (nothing may then be written).
    bool PrepareWrite(BgReader& disk);
    bool IsSystemDisk(const BgReader& disk) const;
    void Reboot();

    MainHost& m_host;
    // The disk of the last pick and the tools that searched it.
    BgReader* m_disk = nullptr;
    std::unique_ptr<PartitionTools> m_tools;
    // The disk-list text of the picked disk: the tree root's text.
    std::string m_disk_row;
    std::string m_saved_tables;
};

} // namespace salvor
