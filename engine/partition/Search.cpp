// Lost-volume search: reads the disk one track at a time and takes every
// 512-byte sector that passes blockgate's NTFS or FAT boot-sector test and
// whose file system confirms it (NTFS: the MFT record of $MFT where the boot
// sector puts it; FAT: the media descriptor entry at the start of the first
// FAT). After a found volume the search goes on right after its end.
#include "Search.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>
#include <ondisk/ntfs_boot.h>

#include <algorithm>
#include <cstring>

namespace fsprobe::partition {

namespace {

// A zero-filled engine allocation released on every way out.
class TrackBuffer {
public:
    explicit TrackBuffer(size_t size)
        : m_data(static_cast<u8*>(engine_alloc(size)))
        , m_size(size)
    {
    }
    ~TrackBuffer() { engine_free(m_data); }
    TrackBuffer(const TrackBuffer&) = delete;
    TrackBuffer& operator=(const TrackBuffer&) = delete;
    u8* data() { return m_data; }
    size_t size() const { return m_size; }

private:
    u8* m_data;
    size_t m_size;
};

// Reads `count` bytes at byte offset `sector * 512`, clearing the buffer
// first. True only when everything was read.
bool read_exact(BgReader* disk, u8* buffer, u32 count, u64 sector)
{
    std::memset(buffer, 0, count);
    if (sector > ~u64(0) / sector_bytes)
        return false;
    return disk->read(disk, buffer, count, sector * sector_bytes) == count;
}

bool confirm_ntfs(BgReader* disk, const u8* candidate, u64 candidate_sector)
{
    u64 cluster = ntfs_cluster_sectors(candidate);
    u64 mft = load_le64(candidate + boot::ntfs_mft_cluster);
    if (cluster == 0 || mft > (~u64(0) - candidate_sector) / cluster)
        return false;
    u8 record[1024];
    if (!read_exact(disk, record, sizeof record, cluster * mft + candidate_sector))
        return false;
    return is_mft_record_of_mft(record, sizeof record);
}

bool confirm_fat(BgReader* disk, const u8* candidate, u64 candidate_sector)
{
    u64 reserved = load_le16(candidate + boot::reserved_sectors);
    u8 fat[sector_bytes];
    if (!read_exact(disk, fat, sizeof fat, sat_add(reserved, candidate_sector)))
        return false;
    // The first FAT entry holds the media descriptor with all other bits set.
    return (fat[0] == 0xF8 || fat[0] == 0xF0) && fat[1] == 0xFF && fat[2] == 0xFF;
}

} // namespace

bool is_mft_record_of_mft(const u8* record, size_t size)
{
    static const u8 name[8] = { 0x24, 0x00, 0x4D, 0x00, 0x46, 0x00, 0x54, 0x00 }; // "$MFT" UTF-16LE
    if (size < 4 || std::memcmp(record, "FILE", 4) != 0)
        return false;
    for (size_t i = 0; i + sizeof name <= size; ++i)
        if (record[i] == 0x24 && std::memcmp(record + i, name, sizeof name) == 0)
            return true;
    return false;
}

u64 ntfs_cluster_sectors(const u8* boot_sector)
{
    // Above 0x80 the byte is a negative power of two of the sector count.
    return ondisk::ntfs::sectors_per_cluster(boot_sector[boot::sectors_per_cluster]);
}

void VolumeSearch::release()
{
    for (u32 i = 0; i < max_found_volumes && m_state.found[i].boot_sector; ++i) {
        engine_free(m_state.found[i].boot_sector);
        m_state.found[i].boot_sector = nullptr;
    }
}

BgVolume* VolumeSearch::search(BgReader* disk)
{
    bg_progress.store(0);
    // Copies a caller never released are freed rather than lost.
    release();
    std::memset(m_state.found, 0, sizeof m_state.found);
    m_state.disk = disk;
    m_state.sectors_per_track = disk ? disk->sectors_per_track : 0;
    m_state.bytes_per_sector = disk ? disk->bytes_per_sector : 0;
    const u32 S = m_state.sectors_per_track;
    const u32 B = m_state.bytes_per_sector;
    if (!disk || !disk->read || S == 0 || S > 0x10000 || B < sector_bytes) {
        fail(!disk || !disk->read ? "no disk was given" : "the disk's geometry is unusable for the search");
        bg_progress.store(100);
        return nullptr;
    }

    // The geometry counts sectors of B bytes; the search counts 512-byte ones.
    u64 disk_sectors = sat_mul(sat_mul(sat_mul(disk->cylinders, disk->tracks_per_cylinder), S), B / sector_bytes);
    // The geometry rounds up to whole cylinders; never walk past the object's
    // real end (a wrong geometry must not turn into billions of empty reads).
    if (disk->size) {
        u64 bytes = disk->size(disk);
        disk_sectors = std::min(disk_sectors, bytes / sector_bytes + (bytes % sector_bytes ? 1 : 0));
    }
    TrackBuffer track(size_t(S) * sector_bytes);
    u64 P = 0;
    u32 count = 0;
    for (;;) {
        // Another party setting the percent to 100 stops the search.
        if (bg_progress.load() >= 100 || bg_stop_requested()) {
            release();
            fail("the search was stopped");
            bg_progress.store(100);
            return nullptr;
        }
        u32 whole = 0;
        if (P <= ~u64(0) / sector_bytes) {
            std::memset(track.data(), 0, track.size());
            whole = disk->read(disk, track.data(), u32(track.size()), P * sector_bytes) / sector_bytes;
        }
        bool found = false;
        for (u32 i = 0; i < whole && i < S; ++i) {
            const u8* candidate = track.data() + size_t(i) * sector_bytes;
            u64 at = P + i;
            BgVolume ntfs_info {};
            BgVolume fat_info {};
            bool ntfs = bg_test_ntfs_boot(disk, candidate, &ntfs_info) == 0 && confirm_ntfs(disk, candidate, at);
            bool fat = !ntfs && bg_test_fat_boot(disk, candidate, &fat_info) == 0 && confirm_fat(disk, candidate, at);
            if (!ntfs && !fat)
                continue;

            auto* copy = static_cast<u8*>(engine_alloc(sector_bytes));
            std::memcpy(copy, candidate, sector_bytes);
            BgVolume& r = m_state.found[count];
            r.start = at * sector_bytes;
            r.first_found = count == 0 ? 1 : 0;
            r.boot_sector = copy;
            u64 length;
            if (ntfs) {
                length = sat_add(load_le64(candidate + boot::ntfs_total_sectors), 1);
                r.fs_code = ntfs_info.fs_code;
            } else {
                length = fat_total_sectors(candidate);
                r.fs_code = fat_info.fs_code;
            }
            r.size = sat_mul(length, sector_bytes);
            ++count;
            P = sat_add(at, length);
            found = true;

            if (bg_progress.fetch_add(5) + 5 >= 100) {
                release();
                fail(count >= 20 ? "the search found twenty volumes and gave up" : "the search was stopped");
                return nullptr;
            }
            break;
        }
        if (count == max_found_volumes)
            break;
        if (found) {
            if (P >= disk_sectors)
                break;
            continue;
        }
        if (sat_add(P, S) >= disk_sectors)
            break;
        P += S;
    }
    bg_progress.store(100);
    return m_state.found;
}

bool VolumeSearch::judge_primary(BgVolume* record)
{
    if (!record || !record->boot_sector)
        return false;
    u8* boot = record->boot_sector;
    u64 start_sector = record->start / sector_bytes;
    u32 hidden = load_le32(boot + boot::hidden_sectors);
    if (start_sector > 0xFFFFFFFFull || hidden != start_sector)
        return false;
    const u32 S = m_state.sectors_per_track;
    // A volume inside the first track has no track before it to look at.
    if (S == 0 || start_sector <= S)
        return true;
    BgReader* disk = m_state.disk;
    if (!disk || !disk->read)
        return true;

    TrackBuffer track(size_t(S) * sector_bytes);
    if (!read_exact(disk, track.data(), u32(track.size()), start_sector - S))
        return true; // unreadable: no extended boot record confirmed

    // The volume's own length, as the entry of its extended boot record would
    // give it. NTFS's total leaves out the backup boot sector at the end, so
    // the entry may hold either the total or the whole partition.
    u64 total;
    u64 alternative;
    if (record->fs_code == 4) {
        total = load_le64(boot + boot::ntfs_total_sectors);
        alternative = sat_add(total, 1);
    } else {
        total = fat_total_sectors(boot);
        alternative = total;
    }
    for (u32 k = 0; k < S; ++k) {
        const u8* s = track.data() + size_t(k) * sector_bytes;
        if (s[510] != 0x55 || s[511] != 0xAA)
            continue;
        const u8* e = s + table_offset;
        i32 code = code_for_type_id(e[4]);
        u64 count = load_le32(e + 12);
        if (load_le32(e + 8) != S - k || code == 0 || code != record->fs_code)
            continue;
        if (count != total && count != alternative)
            continue;
        store_le32(boot + boot::hidden_sectors, S - k);
        return false;
    }
    return true;
}

} // namespace fsprobe::partition
