// Partition-table backup file: a headerless run of 72-byte records (u64 byte
// offset of the table sector, then its bytes 446..509), the master boot record
// first, then the extended boot records in chain order.
#include "Backup.h"

#include "Definitions.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace fsprobe::partition {

namespace {

bool has_signature(const u8* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// A protective 0xEE entry: the real table is a GPT, which these records cannot hold.
bool is_protective_mbr(const u8* sector)
{
    for (u32 i = 0; i < 4; ++i)
        if (sector[table_offset + 16 * i + 4] == 0xEE)
            return true;
    return false;
}

void put_record(u8* out, u32 index, u64 offset, const u8* sector)
{
    u8* r = out + index * backup_record_bytes;
    store_le64(r, offset);
    std::memcpy(r + 8, sector + table_offset, table_bytes);
}

bool write_all(int fd, const u8* data, size_t bytes)
{
    ssize_t written;
    do {
        written = ::write(fd, data, bytes);
    } while (written < 0 && errno == EINTR);
    return written == ssize_t(bytes);
}

} // namespace

int32_t backup_tables(BgReader* disk, int fd)
{
    u8 sector[sector_bytes] {};
    BgVolume info {};
    u8 out[max_backup_records * backup_record_bytes] {};
    if (!disk || !disk->read)
        return 2;
    if (disk->read(disk, sector, sector_bytes, 0) < sector_bytes)
        return 2;
    if (!has_signature(sector))
        return 1;
    // Sector 0 of a memory card formatted without a table is a volume boot
    // sector that also ends in 0x55 0xAA.
    if (bg_test_fat_boot(disk, sector, &info) == 0 || bg_test_other_boot(sector, &info) == 0
        || bg_test_ntfs_boot(disk, sector, &info) == 0)
        return 1;
    if (is_protective_mbr(sector))
        return 1;
    u32 count = 0;
    put_record(out, count++, 0, sector);

    // Must follow the read of sector 0 above: the list describes the disk
    // whose sector 0 was read last.
    const uint64_t* further = bg_extended_list();
    if (!further)
        return 2;
    for (u32 k = 0; further[k] != 0; ++k) {
        if (count == max_backup_records)
            return 2; // more table sectors than a backup file holds
        std::memset(sector, 0, sizeof sector);
        if (disk->read(disk, sector, sector_bytes, further[k]) < sector_bytes)
            return 2;
        put_record(out, count++, further[k], sector);
    }

    return write_all(fd, out, size_t(count) * backup_record_bytes) ? 0 : 2;
}

int32_t backup_current_state(BgReader* disk, int fd)
{
    const int32_t rc = backup_tables(disk, fd);
    if (rc != 1)
        return rc;
    u8 sector[sector_bytes] {};
    if (disk->read(disk, sector, sector_bytes, 0) < sector_bytes)
        return 2;
    if (has_signature(sector) && is_protective_mbr(sector))
        return 1;
    u8 out[backup_record_bytes] {};
    put_record(out, 0, 0, sector);
    return write_all(fd, out, sizeof out) ? 0 : 2;
}

int32_t restore_tables(BgReader* disk, int fd)
{
    u8 in[max_backup_records * backup_record_bytes] {};
    u8 sector_tail[table_write_bytes] {};
    sector_tail[64] = 0x55;
    sector_tail[65] = 0xAA;
    if (!disk || !disk->write)
        return 1;

    // Read the file directly: the disk object's handle and read-ahead window
    // belong to the disk.
    size_t got = 0;
    while (got < sizeof in) {
        ssize_t n = ::pread(fd, in + got, sizeof in - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 1;
        if (n == 0)
            break;
        got += size_t(n);
    }
    if (got == 0 || got % backup_record_bytes != 0)
        return 1;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size % backup_record_bytes != 0)
        return 1;

    // Check every record before the first write: a wrong or damaged file
    // must not put 66 bytes at arbitrary places of the disk.
    u32 count = u32(got / backup_record_bytes);
    u64 disk_size = disk->size ? disk->size(disk) : 0;
    for (u32 k = 0; k < count; ++k) {
        u64 offset = load_le64(in + k * backup_record_bytes);
        if (k == 0 && offset != 0)
            return 1;
        if (k > 0 && offset == 0)
            return 1;
        if (offset % sector_bytes != 0)
            return 1;
        if (disk_size && (offset > disk_size || disk_size - offset < sector_bytes))
            return 1;
    }

    bool failed = false;
    for (u32 k = count; k-- > 0;) {
        const u8* r = in + k * backup_record_bytes;
        std::memcpy(sector_tail, r + 8, table_bytes);
        u64 offset = load_le64(r);
        if (disk->write(disk, sector_tail, table_write_bytes, offset + table_offset) != table_write_bytes)
            failed = true;
        if (disk->commit && disk->commit(disk) == 0)
            failed = true;
    }
    return failed ? 1 : 0;
}

} // namespace fsprobe::partition
