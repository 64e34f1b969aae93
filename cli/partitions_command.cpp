// salvor-cli partitions: search a disk for lost FAT and NTFS volumes, rebuild
// its partition table, and back up or restore its tables through a file.
// Writes happen only with --yes, and only after the current tables were
// saved to a new backup file in the working directory.
#include "commands.h"
#include "fs_names.h"
#include "output.h"

#include <salvor/devices/catalogue.h>
#include <salvor/scan/text.h>

#include <blockgate/blockgate.h>
#include <fsprobe/partition.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor::cli {

namespace {

struct DiskScope {
    ~DiskScope()
    {
        bs_exit();
        bg_release_devices();
        bg_clear_images();
        bg_set_real_disks(1);
    }
};

int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "salvor-cli: %s\n", message.c_str());
    return status;
}

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

BgReader* open_disk(const std::string& path, std::string& error)
{
    bg_set_real_disks(0);
    bg_clear_images();
    if (int32_t err = bg_add_image(path.c_str())) {
        error = "cannot open " + shown(path) + ": " + open_error_text(path, err);
        return nullptr;
    }
    bg_scan_disks();
    bg_scan_volumes();
    if (!bg_disk_list) {
        error = "cannot open " + shown(path);
        return nullptr;
    }
    BgReader* disk = bg_disk_list->disk;
    if (int32_t err = bg_last_error(disk)) {
        error = "cannot read " + shown(path) + ": " + std::strerror(err);
        return nullptr;
    }
    if (IsDynamicDisk(*disk)) {
        error = has_gpt_entry(*disk) ? "GPT disks are not supported by the partition rebuild"
                                     : "Can not recover dynamic disks, please select another disk";
        return nullptr;
    }
    return disk;
}

// Saves the disk's current tables (sector 0 as it is when it holds none) to a
// new file in the working directory; returns its name, or "" with `error` set.
std::string save_current_tables(BgReader* disk, const std::string& disk_path, std::string& error)
{
    std::string base = disk_path.substr(disk_path.find_last_of('/') + 1);
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    for (int n = 0; n < 100; ++n) {
        std::string name = "salvor-tables-" + base + "-" + stamp;
        if (n) {
            name += '-';
            name += std::to_string(n);
        }
        name += ".bin";
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            error = "cannot create the backup file " + name + ": " + std::strerror(errno);
            return {};
        }
        const int32_t rc = bs_backup_current(disk, fd);
        const bool closed = ::close(fd) == 0;
        if (rc == BS_BACKUP_OK && closed)
            return name;
        ::unlink(name.c_str());
        error = rc == BS_BACKUP_NO_TABLE ? "GPT disks are not supported by the partition rebuild"
                                         : "cannot save the current tables to " + name;
        return {};
    }
    error = "cannot find a free backup file name";
    return {};
}

// Why bs_check_backup refused a backup file.
std::string backup_fault(int32_t check, uint32_t record)
{
    const std::string r = "record " + std::to_string(record);
    switch (check) {
    case BS_CHECK_UNREADABLE:
        return "the file is empty, unreadable or not a whole number of 72-byte records (at most 25)";
    case BS_CHECK_FIRST_NOT_MBR:
        return "its first record is not the master boot record (offset 0)";
    case BS_CHECK_OUTSIDE_DISK:
        return r + " is not at a sector of this disk";
    case BS_CHECK_NOT_IN_CHAIN:
        return r + " is not where the extended entries before it point";
    case BS_CHECK_INSIDE_VOLUME:
        return r + " lies inside a volume that the file itself describes";
    case BS_CHECK_VOLUME_BEYOND:
        return r + " describes a volume beyond the end of this disk (a backup of another disk?)";
    case BS_CHECK_NOT_TABLE_SECTOR:
        return r + " would overwrite data on this disk, not a partition table (a backup of another disk?)";
    case BS_CHECK_INSIDE_DISK_VOLUME:
        return r + " lies inside a volume of this disk (a backup of another disk?)";
    default:
        return "it does not describe a partition table chain";
    }
}

struct Found {
    std::string name;
    uint64_t start = 0;
    uint64_t size = 0;
    int32_t fs_code = 0;
    bool primary = false;
};

std::vector<Found> search(BgReader* disk)
{
    std::vector<Found> out;
    BgVolume* table = bs_recover(disk);
    if (!table)
        return out;
    for (uint32_t i = 0; i < FOUND_VOLUME_TABLE_SIZE && table[i].boot_sector; ++i) {
        Found f;
        char name[32];
        std::snprintf(name, sizeof name, "partition%u", i);
        f.name = name;
        f.start = table[i].start;
        f.size = table[i].size;
        f.fs_code = table[i].fs_code;
        // Called on every record in order: the rebuild relies on it.
        f.primary = is_ok(&table[i]);
        out.push_back(f);
    }
    return out;
}

void print_found(const std::vector<Found>& found, bool json)
{
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& f : found)
            list.push_back({{"name", f.name},
                            {"start", f.start},
                            {"size", f.size},
                            {"fs_code", f.fs_code},
                            {"fs", fs_name(f.fs_code)},
                            {"state", f.primary ? "Primary partition" : "Extended partition"}});
        std::cout << dump_json(nlohmann::ordered_json({{"partitions", list}})) << "\n";
        return;
    }
    for (const auto& f : found)
        std::cout << f.name << "\t" << FormatSize(f.size) << "\t" << fs_name(f.fs_code) << "\t"
                  << (f.primary ? "Primary partition" : "Extended partition") << "\tstart " << f.start << "\n";
    std::cout << found.size() << " partitions found\n";
}

} // namespace

int run_partitions(const PartitionOptions& o)
{
    DiskScope scope;
    std::string error;
    BgReader* disk = open_disk(o.disk, error);
    if (!disk)
        return fail(kExitSource, error);

    if (o.action == "search") {
        print_found(search(disk), o.json);
        return kExitOk;
    }
    if (o.action == "backup") {
        int fd = ::open(o.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(kExitSource, "cannot create " + shown(o.file) + ": " + std::strerror(errno));
        const int32_t rc = bs_backup(disk, fd);
        const bool closed = ::close(fd) == 0;
        if (rc != BS_BACKUP_OK || !closed) {
            ::unlink(o.file.c_str());
            return fail(kExitSource, rc == BS_BACKUP_NO_TABLE ? "the disk holds no partition table"
                                                               : "cannot save the tables to " + shown(o.file));
        }
        std::cout << "saved the partition tables of " << shown(o.disk) << " to " << shown(o.file) << "\n";
        return kExitOk;
    }
    if (o.action == "rebuild") {
        const auto found = search(disk);
        print_found(found, false);
        if (found.empty())
            return fail(kExitSource, "no volume found: nothing to rebuild");
        if (!o.yes) {
            std::cout << "nothing written (add --yes to write the new partition table)\n";
            return kExitOk;
        }
        const std::string saved = save_current_tables(disk, o.disk, error);
        if (saved.empty())
            return fail(kExitSource, error);
        std::cout << "saved the current tables to " << shown(saved) << "\n";
        if (!write_Partition_table(disk))
            return fail(kExitSource, "the partition table could not be written");
        std::cout << "wrote the rebuilt partition table to " << shown(o.disk) << "\n";
        return kExitOk;
    }
    if (o.action == "restore") {
        // Never blocks: a FIFO opened for reading would wait for a writer.
        int fd = ::open(o.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            return fail(kExitSource, "cannot open " + shown(o.file) + ": " + std::strerror(errno));
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const std::string kind = S_ISREG(st.st_mode) ? "unreadable" : file_kind(st);
            ::close(fd);
            return fail(kExitSource, shown(o.file) + " is " + kind + ", not a partition backup file");
        }
        const bool sane = st.st_size > 0 && st.st_size % sizeof(PartitionBackupRecord) == 0 &&
                          st.st_size <= off_t(PARTITION_BACKUP_MAX_RECORDS * sizeof(PartitionBackupRecord));
        uint32_t record = 0;
        const int32_t check = sane ? bs_check_backup(disk, fd, &record) : int32_t(BS_CHECK_UNREADABLE);
        if (check != BS_CHECK_OK) {
            ::close(fd);
            return fail(kExitSource, "refused to restore " + shown(o.file) + ": " + backup_fault(check, record) +
                                         "; nothing written");
        }
        if (!o.yes) {
            ::close(fd);
            std::cout << shown(o.file) << " holds " << st.st_size / off_t(sizeof(PartitionBackupRecord))
                      << " table records; nothing written (add --yes to restore them)\n";
            return kExitOk;
        }
        const std::string saved = save_current_tables(disk, o.disk, error);
        if (saved.empty()) {
            ::close(fd);
            return fail(kExitSource, error);
        }
        std::cout << "saved the current tables to " << shown(saved) << "\n";
        const int32_t rc = bs_back(disk, fd);
        ::close(fd);
        if (rc != BS_BACK_OK)
            return fail(kExitSource, "the tables could not be restored from " + shown(o.file));
        std::cout << "restored the partition tables of " << shown(o.disk) << " from " << shown(o.file) << "\n";
        return kExitOk;
    }
    return fail(kExitUsage, "unknown partitions action '" + o.action + "' (search, rebuild, backup, restore)");
}

} // namespace salvor::cli
