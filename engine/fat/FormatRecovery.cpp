#include "FormatRecovery.h"

#include "DirEntry.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace fsprobe::fat {

static constexpr size_t sector_bytes = 512;

bool is_directory_start(const u8* sector)
{
    u8 attr = sector[dirent::attributes];
    return sector[0] == '.' && std::memcmp(sector, dot_name, 11) == 0
        && std::memcmp(sector + dirent::size, dotdot_name, 11) == 0 && (attr & dirent::attr_directory)
        && attr <= dirent::attr_max_valid;
}

std::optional<GeometryVote> vote_geometry(std::span<const FatDirCandidate> candidates, size_t index)
{
    struct Vote {
        GeometryVote geometry;
        size_t from; // index of the A that proposed it first
        u32 count;
    };
    std::vector<Vote> votes;
    size_t pairs = 0;
    const size_t n = candidates.size();
    for (size_t a = index; a < n && a < index + 9 && pairs < 10; ++a) {
        for (size_t b = a + 1; b < n && pairs < 10; ++b) {
            ++pairs;
            const FatDirCandidate& A = candidates[a];
            const FatDirCandidate& B = candidates[b];
            if (B.cluster <= A.cluster || B.sector <= A.sector || A.cluster < 2)
                continue;
            // Two directories of one file system lie a whole number of
            // clusters apart; a remainder means they do not share one.
            const u64 sectors = B.sector - A.sector;
            const u64 clusters = B.cluster - A.cluster;
            if (sectors % clusters != 0)
                continue;
            u64 s = sectors / clusters;
            if (s < 1 || s > 128 || !is_power_of_two(s))
                continue;
            u64 before = s * (A.cluster - 2);
            if (A.sector <= before)
                continue;
            GeometryVote g { u32(s), A.sector - before };
            auto same = std::find_if(votes.begin(), votes.end(), [&](const Vote& v) {
                return v.geometry.sectors_per_cluster == g.sectors_per_cluster && v.geometry.data_start == g.data_start;
            });
            if (same != votes.end()) {
                if (same->from == a)
                    ++same->count;
            } else if (votes.size() < 100) {
                votes.push_back(Vote { g, a, 1 });
            }
        }
    }
    const Vote* best = nullptr;
    for (const Vote& v : votes)
        if (!best || v.count > best->count)
            best = &v;
    if (!best)
        return std::nullopt;
    return best->geometry;
}

bool FormatRecovery::open(BgVolume* volume)
{
    close();
    if (!volume || !volume->reader) {
        fail("no volume was given");
        return false;
    }
    m_volume = volume;
    m_reader = volume->reader;
    m_size = volume->size ? volume->size : m_reader->size(m_reader);
    m_type = volume->fs_code;
    m_stop.store(0);
    m_results = static_cast<FatLostDir**>(engine_alloc((FAT_FMT_MAX_TREES + 1) * sizeof(FatLostDir*)));
    m_scan.assign(chunk_bytes, 0);
    m_dir.assign(chunk_bytes, 0);
    if (m_type >= BG_FS_FAT12 && m_type <= BG_FS_FAT32 && volume->boot_sector) {
        m_current = parse_geometry(std::span<const u8>(volume->boot_sector, 512), FatType(m_type));
        if (m_current)
            m_current_fat = FatTable(m_reader, m_current->fat_start * m_current->bytes_per_sector,
                                     m_current->fat_bytes(), m_current->type);
    }
    return true;
}

void FormatRecovery::free_trees()
{
    if (m_first)
        discard_from(m_first);
    if (m_results)
        std::memset(m_results, 0, (FAT_FMT_MAX_TREES + 1) * sizeof(FatLostDir*));
    m_result_count = 0;
}

void FormatRecovery::close()
{
    free_trees();
    engine_free(m_results);
    m_results = nullptr;
    m_candidates = {};
    for (auto& row : m_seen)
        row = {};
    for (auto& row : m_seen_overflow)
        row = {};
    m_geometries.clear();
    m_scan = {};
    m_dir = {};
    m_current.reset();
    m_current_fat = FatTable();
    m_volume = nullptr;
    m_reader = nullptr;
    m_size = 0;
    m_type = 0;
    m_stop.store(0);
}

size_t FormatRecovery::read_sectors(u8* into, size_t length, u64 sector512)
{
    u32 got = m_reader->read(m_reader, into, u32(length), sector512 * sector_bytes);
    got = std::min<u32>(got, u32(length));
    if (got < length)
        std::memset(into + got, 0, length - got);
    return got;
}

void FormatRecovery::scan()
{
    int percent = 0;
    double threshold = 0.05;
    for (u64 offset = 0; offset < m_size; offset += chunk_bytes) {
        // The stop request is honoured between chunks: a worker thread
        // cannot be killed here, and a whole-disk scan takes long.
        if (m_stop.load() || bg_stop_requested())
            break;
        size_t want = size_t(std::min<u64>(chunk_bytes, m_size - offset));
        u32 got = m_reader->read(m_reader, m_scan.data(), u32(want), offset);
        got = std::min<u32>(got, u32(want));
        const u8* data = m_scan.data();
        for (size_t p = 0; p + sector_bytes <= got; p += sector_bytes) {
            if (data[p] != '.' || !is_directory_start(data + p))
                continue;
            if (m_candidates.size() >= max_candidates)
                break;
            m_candidates.push_back(FatDirCandidate { (offset + p) / sector_bytes, entry_cluster(data + p, true) });
        }
        double fraction = double(offset + want) / double(m_size);
        while (fraction >= threshold && percent < 95) {
            percent += 5;
            threshold += 0.05;
            bg_progress.store(percent);
        }
    }
}

bool FormatRecovery::in_current_use(const FatDirCandidate& c)
{
    if (m_type == BG_FS_NTFS)
        return false;
    if (m_type < BG_FS_FAT12 || m_type > BG_FS_FAT32)
        return true;
    if (!m_current)
        return false; // the current boot sector is unusable: nothing to test against
    const FatGeometry& g = *m_current;
    u64 byte = c.sector * sector_bytes;
    u64 data = g.data_start * g.bytes_per_sector;
    if (byte <= data)
        return true;
    u64 cluster = (byte - data) / g.cluster_bytes + 2;
    if (cluster > 0xFFFFFFFFu)
        return false;
    auto value = m_current_fat.raw(u32(cluster));
    return value && *value != 0;
}

std::optional<u32> FormatRecovery::kept_geometry(const FatDirCandidate& c) const
{
    if (!m_current || m_current->bytes_per_sector < sector_bytes || c.cluster < 2)
        return std::nullopt;
    const FatGeometry& g = *m_current;
    const u64 per_sector = g.bytes_per_sector / sector_bytes;
    const u64 s = u64(g.sectors_per_cluster) * per_sector;
    if (s < 1 || s > 128 || !is_power_of_two(s))
        return std::nullopt;
    const u64 data_start = g.data_start * per_sector;
    if (c.sector != data_start + s * (c.cluster - 2))
        return std::nullopt;
    return u32(s);
}

static size_t seen_row(u32 s) { return size_t(std::countr_zero(s)) & 7; }

bool FormatRecovery::seen(u32 s, u32 cluster) const
{
    size_t row = seen_row(s);
    const auto& r = m_seen[row];
    if (std::find(r.begin(), r.end(), cluster) != r.end())
        return true;
    return m_seen_overflow[row].count(cluster) != 0;
}

bool FormatRecovery::add_seen(u32 s, u32 cluster)
{
    size_t row = seen_row(s);
    if (m_seen[row].size() < seen_row_limit)
        m_seen[row].push_back(cluster);
    else
        m_seen_overflow[row].insert(cluster);
    return true;
}

u32 FormatRecovery::geometry_id(u32 s, u64 data_start)
{
    for (size_t i = 0; i < m_geometries.size(); ++i)
        if (m_geometries[i].sectors_per_cluster == s && m_geometries[i].data_start == data_start)
            return u32(i + 1);
    m_geometries.push_back(GeometryVote { s, data_start });
    return u32(m_geometries.size());
}

FatLostDir* FormatRecovery::new_node(FatLostDir* parent, u32 cluster, u64 data_start)
{
    auto* node = engine_new_zeroed<FatLostDir>();
    node->prev = m_last;
    node->old_data_start = u32(std::min<u64>(data_start, 0xFFFFFFFFu));
    node->first_cluster = cluster;
    node->parent = parent ? parent : node;
    node->top = parent ? 0 : 1;
    if (m_last)
        m_last->next = node;
    else
        m_first = node;
    m_last = node;
    return node;
}

void FormatRecovery::discard_from(FatLostDir* first)
{
    m_last = first->prev;
    if (m_last)
        m_last->next = nullptr;
    else
        m_first = nullptr;
    for (FatLostDir* node = first; node;) {
        FatLostDir* next = node->next;
        free_entry_array(node->entries);
        engine_free(node);
        node = next;
    }
}

// Walks the one cluster of `node` that m_dir holds, from index 2.
void FormatRecovery::walk(FatLostDir* node, u32 s, u64 data_start, u32 geometry, size_t depth)
{
    EntryArray entries;
    node->entries = entries.data();
    const size_t cluster_bytes = size_t(s) * sector_bytes;
    const size_t count = cluster_bytes / dirent::size;
    const u64 own_sector = data_start + u64(s) * (node->first_cluster - 2);
    std::optional<std::u16string> long_name;
    for (size_t i = 2; i < count; ++i) {
        if (m_stop.load() || bg_stop_requested())
            break;
        const u8* e = m_dir.data() + i * dirent::size;
        if (e[0] == dirent::mark_end)
            break;
        const u8 attr = e[dirent::attributes];
        if (attr == dirent::attr_long_name) {
            size_t run = long_name_run(m_dir.data(), count, i);
            long_name = assemble_long_name(e, run);
            i += run - 1;
            continue;
        }
        if (attr > dirent::attr_max_valid || (attr & dirent::attr_volume_label)) {
            long_name.reset();
            continue;
        }
        // The buffer is reused for a child directory: keep the entry.
        u8 entry[dirent::size];
        std::memcpy(entry, e, sizeof entry);
        std::u16string name = long_name ? std::move(*long_name) : short_name(entry);
        long_name.reset();
        const u32 cluster = entry_cluster(entry, true);
        if (!(attr & dirent::attr_directory)) {
            auto* rec = make_entry(entry, name, true, true, false);
            rec->geometry = geometry;
            entries.push(rec);
            node->entries = entries.data();
            continue;
        }
        // A directory entry either becomes a node of its own or is not kept.
        if (attr >= 32 || cluster < 2 || depth + 1 >= max_depth || seen(s, cluster))
            continue;
        add_seen(s, cluster);
        read_sectors(m_dir.data(), cluster_bytes, data_start + u64(s) * (cluster - 2));
        if (starts_with_dot_entries(m_dir.data(), cluster_bytes)) {
            auto* rec = make_entry(entry, name, true, true, true);
            rec->geometry = geometry;
            entries.push(rec);
            node->entries = entries.data();
            FatLostDir* child = new_node(node, cluster, data_start);
            walk(child, s, data_start, geometry, depth + 1);
        }
        read_sectors(m_dir.data(), cluster_bytes, own_sector);
    }
    node->entries = entries.data();
}

FatLostDir** FormatRecovery::search()
{
    if (!m_volume) {
        fail("no volume is open for format recovery");
        return nullptr;
    }
    free_trees();
    m_candidates.clear();
    for (auto& row : m_seen)
        row.clear();
    for (auto& row : m_seen_overflow)
        row.clear();
    m_geometries.clear();
    bg_progress.store(0);

    scan();

    // The last candidates have no later partner to vote with; they take the
    // geometry found last, most likely that of the same old file system.
    std::optional<GeometryVote> last_vote;
    for (size_t i = 0; i < m_candidates.size(); ++i) {
        if (m_stop.load() || bg_stop_requested() || m_result_count >= FAT_FMT_MAX_TREES)
            break;
        const FatDirCandidate cand = m_candidates[i];
        if (in_current_use(cand))
            continue;
        if (cand.cluster < 2)
            continue;
        auto vote = vote_geometry(m_candidates, i);
        if (vote)
            last_vote = vote;
        // A geometry that puts this directory's own cluster on its sector is
        // taken first: the vote's when it does, else that of the boot sector
        // now on the volume (a format with default settings keeps it, and a
        // lone directory has no partner to vote with); else the vote, or the
        // one found last.
        std::optional<u32> spc;
        if (vote && vote->data_start + u64(vote->sectors_per_cluster) * (cand.cluster - 2) == cand.sector)
            spc = vote->sectors_per_cluster;
        else if (auto kept = kept_geometry(cand))
            spc = kept;
        else if (vote || last_vote)
            spc = (vote ? vote : last_vote)->sectors_per_cluster;
        if (!spc)
            continue;
        const u32 s = *spc;
        const u64 before = u64(s) * (cand.cluster - 2);
        if (cand.sector < before)
            continue;
        const u64 data_start = cand.sector - before;
        if (seen(s, cand.cluster))
            continue;
        add_seen(s, cand.cluster);

        FatLostDir* top = new_node(nullptr, cand.cluster, data_start);
        read_sectors(m_dir.data(), size_t(s) * sector_bytes, cand.sector);
        const bool has_entry = m_dir[2 * dirent::size] != dirent::mark_end;
        walk(top, s, data_start, geometry_id(s, data_start), 0);
        if (has_entry && top->entries && top->entries[0]) {
            std::snprintf(top->name, sizeof top->name, "Dir%zu", m_result_count);
            m_results[m_result_count++] = top;
        } else {
            discard_from(top);
        }
    }
    bg_progress.store(100);
    return m_results;
}

bool FormatRecovery::read_file(const FatEntry* entry, void* buffer, u32 length, u64* position)
{
    if (!entry || !buffer || !length || !position || !m_volume)
        return false;
    std::memset(buffer, 0, length);
    if (entry->geometry == 0 || entry->geometry > m_geometries.size() || entry->first_cluster < 2)
        return false;
    const GeometryVote& g = m_geometries[entry->geometry - 1];
    u64 sector = g.data_start + u64(g.sectors_per_cluster) * (entry->first_cluster - 2) + *position;
    u32 got = m_reader->read(m_reader, buffer, length, sector * sector_bytes);
    *position += length / sector_bytes;
    return got >= length;
}

} // namespace fsprobe::fat
