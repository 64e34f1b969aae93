// Partition-table backup file: a headerless run of 72-byte records (u64 byte
// offset of the table sector, then its bytes 446..509), the master boot record
// first, then the extended boot records in chain order.
#include "Backup.h"

#include "Definitions.h"

#include <algorithm>
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

namespace {

bool is_extended_type(u8 type) { return type == 0x05 || type == type_extended_lba || type == 0x85; }

struct Entry {
    u8 type;
    u32 first;
    u32 count;
};

Entry entry_of(const u8* records, u32 record, u32 i)
{
    const u8* e = records + record * backup_record_bytes + 8 + 16 * i;
    return {e[4], load_le32(e + 8), load_le32(e + 12)};
}

u64 offset_of(const u8* records, u32 record) { return load_le64(records + record * backup_record_bytes); }

// A volume that a record describes: [start, end) in bytes.
struct Described {
    u64 start;
    u64 end;
    u32 record;
};

// The chain and volume test for one sector size of the entries.
BackupCheck check_with_sector_size(const u8* records, u32 count, u64 disk_size, u32 ss)
{
    // The chain as the backup follows it: each extended entry of the master
    // boot record starts a chain at its first sector; each extended boot
    // record links to the next through its first extended entry, counted
    // from the start of the extended partition. A chain may end early (its
    // next sector had no signature when the backup was made), but a record
    // is never anywhere else.
    u32 next_record = 1;
    u64 seen[max_backup_records] {};
    u32 seen_count = 0;
    for (u32 i = 0; i < 4 && next_record < count; ++i) {
        const Entry e = entry_of(records, 0, i);
        if (!is_extended_type(e.type) || e.count == 0 || e.first == 0)
            continue;
        const u64 ext_start = u64(e.first) * ss;
        u64 at = ext_start;
        while (next_record < count && offset_of(records, next_record) == at) {
            if (std::find(seen, seen + seen_count, at) != seen + seen_count)
                break; // a loop: the backup stops there too
            seen[seen_count++] = at;
            const u32 r = next_record++;
            u64 link = 0;
            for (u32 j = 0; j < 4; ++j) {
                const Entry l = entry_of(records, r, j);
                if (l.type == 0 || l.count == 0)
                    continue;
                if (is_extended_type(l.type) && link == 0 && l.first != 0)
                    link = ext_start + u64(l.first) * ss;
            }
            if (link == 0)
                break;
            at = link;
        }
    }
    if (next_record < count)
        return {backup_check::not_in_chain, next_record};

    // The volumes the records describe: primaries from the start of the
    // disk, logical drives from their own extended boot record.
    Described volumes[max_backup_records * 4] {};
    u32 volume_count = 0;
    for (u32 r = 0; r < count; ++r) {
        const u64 base = r == 0 ? 0 : offset_of(records, r);
        for (u32 i = 0; i < 4; ++i) {
            const Entry e = entry_of(records, r, i);
            if (e.type == 0 || e.count == 0 || e.first == 0 || is_extended_type(e.type))
                continue;
            const u64 start = sat_add(base, sat_mul(e.first, ss));
            volumes[volume_count++] = {start, sat_add(start, sat_mul(e.count, ss)), r};
        }
    }
    for (u32 r = 0; r < count; ++r) {
        const u64 at = offset_of(records, r);
        for (u32 v = 0; v < volume_count; ++v)
            if (at >= volumes[v].start && at < volumes[v].end)
                return {backup_check::inside_volume, r};
    }
    // A file with extended boot records is a real table chain; one of
    // another, larger disk describes volumes this disk does not reach. (A
    // single record may be sector 0 saved as it was, boot code and all.)
    if (count > 1 && disk_size) {
        for (u32 v = 0; v < volume_count; ++v)
            if (volumes[v].start >= disk_size)
                return {backup_check::volume_beyond, volumes[v].record};
    }
    return {backup_check::ok, 0};
}

// Reads the first records of the backup file (at most 25); the count of
// records read, or 0 when the file is empty, unreadable or malformed.
u32 read_backup_file(int fd, u8* in, size_t capacity)
{
    size_t got = 0;
    while (got < capacity) {
        ssize_t n = ::pread(fd, in + got, capacity - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        got += size_t(n);
    }
    if (got == 0 || got % backup_record_bytes != 0)
        return 0;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size % backup_record_bytes != 0)
        return 0;
    return u32(got / backup_record_bytes);
}

BackupCheck check_against_disk(BgReader* disk, const u8* in, u32 count)
{
    const u64 disk_size = disk->size ? disk->size(disk) : 0;
    u32 sizes[3] = {512, 4096, 0};
    u32 size_count = 2;
    const u32 own = disk->bytes_per_sector;
    if (own != 512 && own != 4096 && own >= 512 && own <= 65536 && (own & (own - 1)) == 0)
        sizes[size_count++] = own;
    BackupCheck c = check_records(in, count, disk_size, sizes, size_count);
    if (c.result != backup_check::ok)
        return c;
    // A record inside a volume the disk has now (by its current table; a
    // volume from offset 0 is a disk without one) would write into it.
    for (u32 r = 1; r < count; ++r) {
        const u64 at = offset_of(in, r);
        for (BgVolumeNode* v = bg_volume_list; v; v = v->next) {
            const BgVolume* vol = v->volume;
            if (vol->disk_number != disk->disk_number || vol->start == 0)
                continue;
            if (at >= vol->start && at - vol->start < vol->size)
                return {backup_check::inside_disk_volume, r};
        }
    }
    // Where an extended boot record goes, the disk holds one now (the
    // signature, and no volume boot sector) or a wiped table (zeros from
    // byte 446 on). Anything else is data: the file describes another
    // disk's layout, and the record would land in a volume of this one.
    for (u32 r = 1; r < count; ++r) {
        u8 sector[sector_bytes] {};
        if (!disk->read || disk->read(disk, sector, sector_bytes, offset_of(in, r)) < sector_bytes)
            return {backup_check::not_table_sector, r};
        bool wiped = true;
        for (u32 i = table_offset; i < sector_bytes; ++i)
            wiped = wiped && sector[i] == 0;
        if (wiped)
            continue;
        BgVolume info {};
        const bool boot = bg_test_fat_boot(disk, sector, &info) == 0 || bg_test_other_boot(sector, &info) == 0
                          || bg_test_ntfs_boot(disk, sector, &info) == 0;
        if (boot || !has_signature(sector))
            return {backup_check::not_table_sector, r};
    }
    return c;
}

} // namespace

BackupCheck check_records(const u8* records, u32 count, u64 disk_size, const u32* sector_sizes,
                          u32 sector_size_count)
{
    if (!records || count == 0 || count > max_backup_records)
        return {backup_check::unreadable, 0};
    if (offset_of(records, 0) != 0)
        return {backup_check::first_not_mbr, 0};
    for (u32 k = 0; k < count; ++k) {
        const u64 offset = offset_of(records, k);
        if (offset % sector_bytes != 0 || (disk_size && (offset > disk_size || disk_size - offset < sector_bytes)))
            return {backup_check::outside_disk, k};
    }
    // The entries do not say whether they count 512- or 4096-byte sectors:
    // the file passes when it makes sense with one of them. Otherwise the
    // fault reported is the one found furthest into the file.
    BackupCheck worst {backup_check::unreadable, 0};
    bool first = true;
    for (u32 i = 0; i < sector_size_count; ++i) {
        const BackupCheck c = check_with_sector_size(records, count, disk_size, sector_sizes[i]);
        if (c.result == backup_check::ok)
            return c;
        if (first || c.record > worst.record)
            worst = c;
        first = false;
    }
    return worst;
}

int32_t check_backup(BgReader* disk, int fd, uint32_t* record)
{
    u8 in[max_backup_records * backup_record_bytes] {};
    if (record)
        *record = 0;
    if (!disk)
        return backup_check::unreadable;
    const u32 count = read_backup_file(fd, in, sizeof in);
    if (count == 0)
        return backup_check::unreadable;
    const BackupCheck c = check_against_disk(disk, in, count);
    if (record)
        *record = c.record;
    return c.result;
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
    const u32 count = read_backup_file(fd, in, sizeof in);
    if (count == 0)
        return 1;
    // Check every record before the first write: a wrong or damaged file
    // must not put 66 bytes at arbitrary places of the disk.
    if (check_against_disk(disk, in, count).result != backup_check::ok)
        return 1;

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
