#include "Volume.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace fsprobe::exfat {

namespace {

u32 rotate_add32(u32 sum, u8 byte) { return ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + byte; }
u16 rotate_add16(u16 sum, u8 byte) { return u16(((sum & 1) ? 0x8000u : 0) + (sum >> 1) + byte); }

bool fail(std::string* why, const char* text)
{
    if (why)
        *why = text;
    return false;
}

} // namespace

std::optional<Geometry> parse_boot_sector(std::span<const u8> sector, std::string* why)
{
    ByteView bs(sector);
    if (bs.size() < 512) {
        fail(why, "boot sector shorter than 512 bytes");
        return std::nullopt;
    }
    if (!bs.equals(boot::fs_name, boot::name, 8)) {
        fail(why, "no \"EXFAT   \" name in the boot sector");
        return std::nullopt;
    }
    Geometry g;
    g.bytes_shift = bs.u8_or(boot::bytes_per_sector_shift);
    const u32 spc_shift = bs.u8_or(boot::sectors_per_cluster_shift);
    if (g.bytes_shift < boot::min_bytes_shift || g.bytes_shift > boot::max_bytes_shift) {
        fail(why, "bytes-per-sector shift outside 9..12");
        return std::nullopt;
    }
    if (spc_shift > boot::max_cluster_shift - g.bytes_shift) {
        fail(why, "cluster larger than 32 MiB");
        return std::nullopt;
    }
    g.cluster_shift = g.bytes_shift + spc_shift;
    g.volume_sectors = bs.le64_or(boot::volume_length);
    g.fat_offset = bs.le32_or(boot::fat_offset);
    g.fat_length = bs.le32_or(boot::fat_length);
    g.fat_count = bs.u8_or(boot::fat_count);
    g.heap_offset = bs.le32_or(boot::heap_offset);
    g.cluster_count = bs.le32_or(boot::cluster_count);
    g.root_cluster = bs.le32_or(boot::root_cluster);
    g.volume_flags = bs.le16_or(boot::volume_flags);
    if (g.fat_count != 1 && g.fat_count != 2) {
        fail(why, "number of FATs not 1 or 2");
        return std::nullopt;
    }
    if (g.cluster_count == 0 || g.cluster_count > boot::max_cluster_count) {
        fail(why, "cluster count out of range");
        return std::nullopt;
    }
    // Both boot regions come before the FAT; the FATs come before the heap.
    if (g.fat_offset < 2 * boot::region_sectors || g.fat_length == 0) {
        fail(why, "FAT offset or length out of range");
        return std::nullopt;
    }
    if ((g.fat_length << g.bytes_shift) < (u64(g.cluster_count) + 2) * 4) {
        fail(why, "FAT too short for the cluster count");
        return std::nullopt;
    }
    if (g.fat_offset + g.fat_length * g.fat_count > g.heap_offset) {
        fail(why, "cluster heap overlaps the FAT");
        return std::nullopt;
    }
    // Checked so that the end of the heap cannot overflow below.
    if (g.volume_sectors == 0 || g.volume_sectors > (~u64(0) >> (g.bytes_shift + 1))) {
        fail(why, "volume length out of range");
        return std::nullopt;
    }
    if (g.heap_offset + (u64(g.cluster_count) << spc_shift) > g.volume_sectors) {
        fail(why, "cluster heap beyond the volume length");
        return std::nullopt;
    }
    if (!g.valid_cluster(g.root_cluster)) {
        fail(why, "root directory cluster outside the heap");
        return std::nullopt;
    }
    return g;
}

u32 boot_checksum(std::span<const u8> region, u32 bytes_per_sector)
{
    u32 sum = 0;
    const size_t length = std::min<size_t>(region.size(), size_t(bytes_per_sector) * boot::checksum_sectors);
    for (size_t i = 0; i < length; ++i) {
        if (i == boot::volume_flags || i == boot::volume_flags + 1 || i == boot::percent_in_use)
            continue;
        sum = rotate_add32(sum, region[i]);
    }
    return sum;
}

bool boot_checksum_matches(std::span<const u8> region, u32 bytes_per_sector)
{
    const size_t start = size_t(bytes_per_sector) * boot::checksum_sector;
    if (region.size() < start + bytes_per_sector)
        return false;
    const u32 sum = boot_checksum(region, bytes_per_sector);
    for (size_t i = start; i < start + bytes_per_sector; i += 4)
        if (load_le32(region.data() + i) != sum)
            return false;
    return true;
}

u32 table_checksum(std::span<const u8> bytes)
{
    u32 sum = 0;
    for (u8 b : bytes)
        sum = rotate_add32(sum, b);
    return sum;
}

RegionReader::RegionReader(BgReader* reader, std::vector<Extent> extents)
    : m_reader(reader)
    , m_extents(std::move(extents))
{
    for (const Extent& e : m_extents)
        m_size += e.length;
}

bool RegionReader::load(u64 window_start)
{
    constexpr u64 window = 64 * 1024;
    m_window.resize(window);
    const u64 want = std::min<u64>(window, m_size - window_start);
    size_t filled = 0;
    u64 logical = 0;
    for (const Extent& e : m_extents) {
        if (filled == want)
            break;
        const u64 at = window_start + filled;
        if (at >= logical + e.length) {
            logical += e.length;
            continue;
        }
        const u64 inside = at - logical;
        const size_t piece = size_t(std::min<u64>(e.length - inside, want - filled));
        const u32 got = m_reader->read(m_reader, m_window.data() + filled, u32(piece), e.offset + inside);
        filled += std::min<size_t>(got, piece);
        if (got < piece)
            break;
        logical += e.length;
    }
    m_window_start = window_start;
    m_window_length = filled;
    return filled > 0;
}

bool RegionReader::read(u64 offset, u8* out, size_t length)
{
    if (!m_reader || !in_bounds(m_size, offset, length))
        return false;
    constexpr u64 window = 64 * 1024;
    for (size_t i = 0; i < length; ++i) {
        const u64 at = offset + i;
        if (at < m_window_start || at >= m_window_start + m_window_length) {
            load(at / window * window);
            if (at < m_window_start || at >= m_window_start + m_window_length)
                return false;
        }
        out[i] = m_window[at - m_window_start];
    }
    return true;
}

bool Upcase::load(std::span<const u8> stored)
{
    m_map.clear();
    if (stored.size() < 2 || stored.size() % 2)
        return false;
    std::vector<char16_t> map(0x10000);
    for (u32 i = 0; i < 0x10000; ++i)
        map[i] = char16_t(i);
    // A unit 0xFFFF followed by a count stands for that many units that map
    // to themselves.
    u32 index = 0;
    const size_t units = stored.size() / 2;
    for (size_t i = 0; i < units && index < 0x10000; ++i) {
        const u16 unit = load_le16(stored.data() + 2 * i);
        if (unit == 0xFFFF && i + 1 < units) {
            index += load_le16(stored.data() + 2 * (i + 1));
            ++i;
            continue;
        }
        map[index++] = char16_t(unit);
    }
    m_map = std::move(map);
    return true;
}

u16 name_hash(const std::u16string& name, const Upcase& upcase)
{
    u16 hash = 0;
    for (char16_t c : name) {
        const u16 u = upcase.upper(c);
        hash = rotate_add16(hash, u8(u));
        hash = rotate_add16(hash, u8(u >> 8));
    }
    return hash;
}

size_t Volume::read_bytes(u8* into, size_t length, u64 offset) const
{
    size_t done = 0;
    // The read operation takes 32-bit counts.
    while (done < length) {
        const u32 piece = u32(std::min<size_t>(length - done, 1u << 30));
        u32 got = m_reader->read(m_reader, into + done, piece, offset + done);
        got = std::min(got, piece);
        done += got;
        if (got < piece)
            break;
    }
    if (done < length)
        std::memset(into + done, 0, length - done);
    return done;
}

bool Volume::read_boot_region(std::vector<u8>& region, u64 sector, u32 bytes_per_sector)
{
    region.assign(size_t(bytes_per_sector) * boot::region_sectors, 0);
    return read_bytes(region.data(), region.size(), sector * bytes_per_sector) == region.size();
}

void Volume::close()
{
    m_reader = nullptr;
    m_geo = Geometry();
    m_fat = RegionReader();
    m_bitmap = RegionReader();
    m_upcase = Upcase();
    m_notes.clear();
}

bool Volume::open(BgVolume* volume)
{
    close();
    m_failure.clear();
    if (!volume || !volume->reader || !volume->boot_sector) {
        m_failure = "no volume";
        return false;
    }
    if (volume->fs_code != BG_FS_EXFAT) {
        m_failure = "not an exFAT volume (file-system code " + std::to_string(volume->fs_code) + ")";
        return false;
    }
    m_reader = volume->reader;
    m_volume_bytes = m_reader->size ? m_reader->size(m_reader) : volume->size;

    // The sector size of the main boot sector also places the backup region.
    std::string main_why;
    auto main_geo = parse_boot_sector(std::span<const u8>(volume->boot_sector, 512), &main_why);
    const u32 shift = volume->boot_sector[boot::bytes_per_sector_shift];
    const u32 bps = (shift >= boot::min_bytes_shift && shift <= boot::max_bytes_shift) ? (1u << shift) : 512;
    std::vector<u8> region;
    bool main_sum = false;
    if (main_geo) {
        main_sum = read_boot_region(region, 0, bps) && boot_checksum_matches(region, bps);
        // The copy given with the volume may differ from what is read now.
        main_geo = parse_boot_sector(std::span<const u8>(region.data(), 512), &main_why);
        main_sum = main_sum && main_geo;
    }
    if (main_geo && main_sum) {
        m_geo = *main_geo;
    } else {
        std::vector<u8> backup;
        std::string backup_why;
        std::optional<Geometry> backup_geo;
        bool backup_sum = false;
        if (read_boot_region(backup, boot::region_sectors, bps)) {
            backup_geo = parse_boot_sector(std::span<const u8>(backup.data(), 512), &backup_why);
            backup_sum = backup_geo && boot_checksum_matches(backup, bps);
        }
        if (backup_geo && backup_sum) {
            m_geo = *backup_geo;
            m_notes.push_back(main_geo ? "main boot region fails its checksum; the backup region is used"
                                       : "main boot sector unusable (" + main_why + "); the backup region is used");
        } else if (main_geo) {
            m_geo = *main_geo;
            m_notes.push_back("boot checksum does not match");
        } else if (backup_geo) {
            m_geo = *backup_geo;
            m_notes.push_back("main boot sector unusable (" + main_why + "); the backup region, whose checksum does not match, is used");
        } else {
            m_failure = "boot sector: " + main_why;
            m_reader = nullptr;
            return false;
        }
    }
    if ((m_geo.heap_offset << m_geo.bytes_shift) + (u64(m_geo.cluster_count) << m_geo.cluster_shift) > m_volume_bytes)
        m_notes.push_back("the volume ends before its cluster heap does");

    const u32 active = (m_geo.fat_count == 2 && (m_geo.volume_flags & boot::volume_flag_active_fat)) ? 1 : 0;
    const u64 fat_start = (m_geo.fat_offset + u64(active) * m_geo.fat_length) << m_geo.bytes_shift;
    m_fat = RegionReader(m_reader, { { fat_start, (u64(m_geo.cluster_count) + 2) * 4 } });
    find_root_metadata();
    return true;
}

std::optional<u32> Volume::fat_entry(u32 n)
{
    if (!m_geo.valid_cluster(n))
        return std::nullopt;
    u8 b[4];
    if (!m_fat.read(u64(n) * 4, b, 4))
        return std::nullopt;
    return load_le32(b);
}

std::optional<bool> Volume::allocated(u32 n)
{
    if (!m_geo.valid_cluster(n) || !has_bitmap())
        return std::nullopt;
    const u64 bit = n - 2;
    u8 byte = 0;
    if (!m_bitmap.read(bit / 8, &byte, 1))
        return std::nullopt;
    return bool((byte >> (bit % 8)) & 1);
}

bool Volume::any_allocated(u32 first, u64 count, u64 limit)
{
    if (!m_geo.valid_cluster(first) || !has_bitmap())
        return false;
    u64 bit = first - 2;
    const u64 end = std::min({ bit + std::min(count, limit), m_bitmap.size() * 8, u64(m_geo.cluster_count) });
    while (bit < end) {
        u8 byte = 0;
        if (!m_bitmap.read(bit / 8, &byte, 1))
            return false;
        if (bit % 8 == 0 && end - bit >= 8) {
            if (byte)
                return true;
            bit += 8;
            continue;
        }
        if ((byte >> (bit % 8)) & 1)
            return true;
        ++bit;
    }
    return false;
}

std::vector<u32> Volume::follow_chain(u32 first, u64 needed, bool through_free)
{
    std::vector<u32> chain;
    if (!m_geo.valid_cluster(first) || needed == 0)
        return chain;
    needed = std::min<u64>(needed, m_geo.cluster_count);
    std::unordered_set<u32> seen;
    u32 n = first;
    while (chain.size() < needed) {
        if (through_free && allocated(n).value_or(false))
            break;
        if (needed > 1 && !seen.insert(n).second)
            break; // the chain loops back
        chain.push_back(n);
        if (chain.size() == needed)
            break;
        auto next = fat_entry(n);
        if (!next || !m_geo.valid_cluster(*next))
            break;
        n = *next;
    }
    return chain;
}

// The bitmap and up-case table are described by critical entries of the
// root directory. Either may be missing on a damaged volume: the search
// then goes without it.
void Volume::find_root_metadata()
{
    const u32 cluster_bytes = m_geo.cluster_bytes();
    std::vector<u32> root = follow_chain(m_geo.root_cluster, max_directory_bytes / cluster_bytes, false);
    std::vector<u8> cluster(cluster_bytes);
    const u32 active = (m_geo.fat_count == 2 && (m_geo.volume_flags & boot::volume_flag_active_fat)) ? 1 : 0;
    std::optional<std::pair<u32, u64>> bitmap, upcase;
    u32 upcase_sum = 0;
    bool ended = false;
    for (size_t c = 0; c < root.size() && !ended && !(bitmap && upcase); ++c) {
        read_bytes(cluster.data(), cluster.size(), m_geo.cluster_offset(root[c]));
        for (size_t off = 0; off + dirent::size <= cluster.size(); off += dirent::size) {
            const u8* e = cluster.data() + off;
            const u8 type = e[dirent::type];
            if (type == dirent::end_of_directory) {
                ended = true;
                break;
            }
            if (type == dirent::type_bitmap && !bitmap && (e[dirent::bitmap_flags] & 1) == active)
                bitmap = std::pair(load_le32(e + dirent::first_cluster), load_le64(e + dirent::data_length));
            if (type == dirent::type_upcase && !upcase) {
                upcase = std::pair(load_le32(e + dirent::first_cluster), load_le64(e + dirent::data_length));
                upcase_sum = load_le32(e + dirent::upcase_checksum);
            }
        }
    }

    // The extents of a metadata stream: its FAT chain, or contiguous
    // clusters when the chain does not hold.
    auto extents_of = [&](u32 first, u64 length) {
        std::vector<RegionReader::Extent> extents;
        const u64 needed = (length + cluster_bytes - 1) / cluster_bytes;
        std::vector<u32> chain = follow_chain(first, needed, false);
        if (chain.size() < needed) {
            if (!m_geo.valid_cluster(first) || u64(first) - 2 + needed > m_geo.cluster_count)
                return extents;
            chain.clear();
            for (u64 i = 0; i < needed; ++i)
                chain.push_back(u32(first + i));
        }
        u64 left = length;
        for (u32 n : chain) {
            const u64 piece = std::min<u64>(left, cluster_bytes);
            if (!extents.empty() && extents.back().offset + extents.back().length == m_geo.cluster_offset(n))
                extents.back().length += piece;
            else
                extents.push_back({ m_geo.cluster_offset(n), piece });
            left -= piece;
        }
        return extents;
    };

    const u64 bitmap_bytes = (u64(m_geo.cluster_count) + 7) / 8;
    if (!bitmap) {
        m_notes.push_back("no allocation bitmap in the root directory");
    } else if (bitmap->second < bitmap_bytes) {
        m_notes.push_back("allocation bitmap shorter than the cluster count");
    } else {
        auto extents = extents_of(bitmap->first, bitmap_bytes);
        if (extents.empty())
            m_notes.push_back("allocation bitmap outside the cluster heap");
        else
            m_bitmap = RegionReader(m_reader, std::move(extents));
    }

    // The table maps 65536 units at most: 128 KiB uncompressed.
    constexpr u64 max_upcase_bytes = 128 * 1024;
    if (!upcase || upcase->second == 0 || upcase->second > max_upcase_bytes) {
        m_notes.push_back("no usable up-case table in the root directory");
        return;
    }
    auto extents = extents_of(upcase->first, upcase->second);
    RegionReader table(m_reader, std::move(extents));
    std::vector<u8> stored(size_t(table.size()));
    if (stored.empty() || !table.read(0, stored.data(), stored.size()) || table_checksum(stored) != upcase_sum
        || !m_upcase.load(stored))
        m_notes.push_back("up-case table unreadable or damaged");
}

} // namespace fsprobe::exfat
