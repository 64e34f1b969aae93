// salvor-cli partitions: search a disk for lost FAT and NTFS volumes, rebuild
// its partition table, and back up or restore its tables through a file.
// Writes happen only with --yes, and only after the current tables were
// saved to a new backup file in the working directory.
#include "commands.h"
#include "fs_names.h"
#include "output.h"

#include <salvor/partition/partition_tools.h>
#include <salvor/scan/text.h>

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

int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "salvor-cli: %s\n", message.c_str());
    return status;
}

// Why the disk at `path` cannot be used.
std::string refusal_text(const OpenedDisk& disk, const std::string& path)
{
    switch (disk.refusal()) {
    case DiskRefusal::cannot_open:
        return "cannot open " + shown(path) + ": " + open_error_text(path, disk.error());
    case DiskRefusal::no_disk:
        return "cannot open " + shown(path);
    case DiskRefusal::cannot_read:
        return "cannot read " + shown(path) + ": " + std::strerror(disk.error());
    default:
        return DiskRefusalText(disk.refusal());
    }
}

// Saves the disk's current tables (sector 0 as it is when it holds none) to a
// new file in the working directory; returns its name, or "" with `error` set.
std::string save_current_tables(PartitionTools& tools, const std::string& disk_path, std::string& error)
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
        const BackupStatus rc = tools.BackupCurrent(fd);
        const bool closed = ::close(fd) == 0;
        if (rc == BackupStatus::ok && closed)
            return name;
        ::unlink(name.c_str());
        error = rc == BackupStatus::no_table ? DiskRefusalText(DiskRefusal::gpt_disk)
                                             : "cannot save the current tables to " + name;
        return {};
    }
    error = "cannot find a free backup file name";
    return {};
}

std::string found_name(const FoundPartition& f)
{
    return "partition" + std::to_string(f.number);
}

void print_found(const std::vector<FoundPartition>& found, bool json)
{
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& f : found)
            list.push_back({{"name", found_name(f)},
                            {"start", f.start},
                            {"size", f.size},
                            {"fs_code", f.fs_code},
                            {"fs", fs_name(f.fs_code)},
                            {"state", f.primary ? "Primary partition" : "Extended partition"}});
        std::cout << dump_json(nlohmann::ordered_json({{"partitions", list}})) << "\n";
        return;
    }
    for (const auto& f : found)
        std::cout << found_name(f) << "\t" << FormatSize(f.size) << "\t" << fs_name(f.fs_code) << "\t"
                  << (f.primary ? "Primary partition" : "Extended partition") << "\tstart " << f.start << "\n";
    std::cout << found.size() << " partitions found\n";
}

} // namespace

int run_partitions(const PartitionOptions& o)
{
    OpenedDisk disk(o.disk);
    if (disk.refusal() != DiskRefusal::none)
        return fail(kExitSource, refusal_text(disk, o.disk));
    PartitionTools& tools = *disk.tools();
    std::string error;

    if (o.action == "search") {
        print_found(tools.Search(), o.json);
        return kExitOk;
    }
    if (o.action == "backup") {
        int fd = ::open(o.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(kExitSource, "cannot create " + shown(o.file) + ": " + std::strerror(errno));
        const BackupStatus rc = tools.Backup(fd);
        const bool closed = ::close(fd) == 0;
        if (rc != BackupStatus::ok || !closed) {
            ::unlink(o.file.c_str());
            return fail(kExitSource, rc == BackupStatus::no_table ? "the disk holds no partition table"
                                                                  : "cannot save the tables to " + shown(o.file));
        }
        std::cout << "saved the partition tables of " << shown(o.disk) << " to " << shown(o.file) << "\n";
        return kExitOk;
    }
    if (o.action == "rebuild") {
        const auto found = tools.Search();
        print_found(found, false);
        if (found.empty())
            return fail(kExitSource, "no volume found: nothing to rebuild");
        if (!o.yes) {
            std::cout << "nothing written (add --yes to write the new partition table)\n";
            return kExitOk;
        }
        const std::string saved = save_current_tables(tools, o.disk, error);
        if (saved.empty())
            return fail(kExitSource, error);
        std::cout << "saved the current tables to " << shown(saved) << "\n";
        if (!tools.Rebuild())
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
        BackupCheck check;
        if (BackupFileSizeFits(uint64_t(st.st_size)))
            check = tools.CheckBackup(fd);
        else
            check.fault = BackupFault::unreadable;
        if (!check.ok()) {
            ::close(fd);
            return fail(kExitSource, "refused to restore " + shown(o.file) + ": " + check.reason() + "; nothing written");
        }
        if (!o.yes) {
            ::close(fd);
            std::cout << shown(o.file) << " holds " << uint64_t(st.st_size) / kBackupRecordBytes
                      << " table records; nothing written (add --yes to restore them)\n";
            return kExitOk;
        }
        const std::string saved = save_current_tables(tools, o.disk, error);
        if (saved.empty()) {
            ::close(fd);
            return fail(kExitSource, error);
        }
        std::cout << "saved the current tables to " << shown(saved) << "\n";
        const bool restored = tools.Restore(fd);
        ::close(fd);
        if (!restored)
            return fail(kExitSource, "the tables could not be restored from " + shown(o.file));
        std::cout << "restored the partition tables of " << shown(o.disk) << " from " << shown(o.file) << "\n";
        return kExitOk;
    }
    return fail(kExitUsage, "unknown partitions action '" + o.action + "' (search, rebuild, backup, restore)");
}

} // namespace salvor::cli
