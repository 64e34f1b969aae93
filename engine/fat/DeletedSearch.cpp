#include "DeletedSearch.h"

#include "DirEntry.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace fsprobe::fat {

struct DeletedSearch::Frame {
    FatDirNode* node;
    std::vector<u32> clusters; // empty for the fixed root area of FAT12/16
    size_t index;      // next entry to look at
    size_t used;       // bytes of the directory in the buffer
    bool deleted_mode; // reached through a deleted entry: keep everything
    EntryArray entries;
};

bool DeletedSearch::open(BgVolume* volume)
{
    close();
    if (!volume || !volume->reader || !volume->boot_sector) {
        fail("no volume was given");
        return false;
    }
    if (volume->fs_code < BG_FS_FAT12 || volume->fs_code > BG_FS_FAT32) {
        fail("the volume is not FAT12, FAT16 or FAT32");
        return false;
    }
    auto geometry = parse_geometry(std::span<const u8>(volume->boot_sector, 512), FatType(volume->fs_code));
    if (!geometry) {
        static const char* const names[] = { "FAT12", "FAT16", "FAT32" };
        fail(std::string("no ") + names[volume->fs_code - BG_FS_FAT12] + " boot sector at sector 0");
        return false;
    }
    m_geometry = *geometry;
    m_volume = volume;
    m_reader = volume->reader;
    m_fat = FatTable(m_reader, m_geometry.fat_start * m_geometry.bytes_per_sector, m_geometry.fat_bytes(), m_geometry.type);
    m_dir.assign(dir_buffer_bytes, 0);
    m_cluster.assign(m_geometry.cluster_bytes, 0);
    m_probe.assign(m_geometry.cluster_bytes, 0);
    m_visited.assign(m_fat.entry_count() / 32 + 1, 0);
    m_live_walked.assign(m_fat.entry_count() / 32 + 1, 0);
    return true;
}

void DeletedSearch::close()
{
    free_results();
    m_volume = nullptr;
    m_reader = nullptr;
    m_fat = FatTable();
    m_dir = {};
    m_cluster = {};
    m_probe = {};
    m_visited = {};
    m_live_walked = {};
}

void DeletedSearch::free_results()
{
    FatDirNode* node = m_root;
    while (node) {
        FatDirNode* next = node->next;
        free_entry_array(node->entries);
        engine_free(node);
        node = next;
    }
    m_root = m_last = nullptr;
}

// Bit (n - 1) mod 32 of word n / 32 stands for cluster n.
bool DeletedSearch::visited(u32 n) const
{
    size_t word = n / 32;
    return word < m_visited.size() && (m_visited[word] >> ((n - 1) % 32)) & 1;
}

void DeletedSearch::mark_visited(u32 n)
{
    size_t word = n / 32;
    if (word < m_visited.size())
        m_visited[word] |= u32(1) << ((n - 1) % 32);
}

size_t DeletedSearch::read_bytes(u8* into, size_t length, u64 offset)
{
    u32 got = m_reader->read(m_reader, into, u32(length), offset);
    got = std::min<u32>(got, u32(length));
    if (got < length)
        std::memset(into + got, 0, length - got);
    return got;
}

size_t DeletedSearch::read_root_area()
{
    const FatGeometry& g = m_geometry;
    size_t length = size_t(std::min<u64>(g.root_sectors * g.bytes_per_sector, dir_buffer_bytes));
    read_bytes(m_dir.data(), length, g.root_start * g.bytes_per_sector);
    return length;
}

size_t DeletedSearch::read_clusters(const std::vector<u32>& clusters)
{
    const FatGeometry& g = m_geometry;
    size_t used = 0;
    // Neighbouring clusters are read in one go.
    for (size_t i = 0; i < clusters.size();) {
        size_t run = 1;
        while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run)
            ++run;
        size_t length = run * g.cluster_bytes;
        if (used + length > m_dir.size())
            break;
        read_bytes(m_dir.data() + used, length, g.cluster_offset(clusters[i]));
        used += length;
        i += run;
    }
    return used;
}

// The chain of a deleted directory is gone from the FAT. Its first cluster
// (in m_cluster) is where the walk starts; when that cluster is full, the
// directory went on in a later cluster: the first one ahead that is free,
// unvisited, not the start of another directory and made of plausible
// entries is taken, and so on while each taken cluster is full.
std::vector<u32> DeletedSearch::deleted_dir_clusters(u32 first)
{
    std::vector<u32> clusters { first };
    const size_t max_clusters = dir_buffer_bytes / m_geometry.cluster_bytes;
    const u8* last = m_cluster.data();
    std::vector<u8> previous;
    u32 current = first;
    while (clusters.size() < max_clusters && directory_cluster_full(last, m_geometry.cluster_bytes)) {
        bool taken = false;
        const u32 end = u32(std::min<u64>(u64(current) + 1 + continuation_window, m_fat.entry_count()));
        for (u32 n = current + 1; n < end; ++n) {
            if (visited(n) || m_fat.raw(n).value_or(1) != 0)
                continue;
            read_bytes(m_probe.data(), m_probe.size(), m_geometry.cluster_offset(n));
            if (starts_with_dot_entries(m_probe.data(), m_probe.size())
                || !plausible_directory_cluster(m_probe.data(), m_probe.size()))
                continue;
            mark_visited(n);
            clusters.push_back(n);
            previous = m_probe;
            last = previous.data();
            current = n;
            taken = true;
            break;
        }
        if (!taken)
            break;
    }
    return clusters;
}

// A deleted directory is followed when its first cluster is unvisited, free
// or the end of a chain in the FAT, and begins with "." and "..".
bool DeletedSearch::follow_deleted_dir(u32 cluster)
{
    if (cluster < 2 || cluster >= m_fat.entry_count() || visited(cluster))
        return false;
    auto value = m_fat.raw(cluster);
    if (!value || (*value != 0 && !m_fat.is_end(*value)))
        return false;
    mark_visited(cluster);
    read_bytes(m_cluster.data(), m_cluster.size(), m_geometry.cluster_offset(cluster));
    return starts_with_dot_entries(m_cluster.data(), m_cluster.size());
}

FatDirNode* DeletedSearch::new_node(FatDirNode* parent, u32 cluster, bool deleted, bool root)
{
    auto* node = engine_new_zeroed<FatDirNode>();
    node->prev = m_last;
    node->parent = parent;
    node->first_cluster = cluster;
    node->deleted = deleted ? 1 : 0;
    node->root = root ? 1 : 0;
    if (m_last)
        m_last->next = node;
    else
        m_root = node;
    m_last = node;
    ++m_dirs;
    return node;
}

// The walk moves the bar with the root entries only, to 50: 5 per step of
// 0.1 of the root's entries in use; the pass over the free clusters takes it
// on to 95. It stays below 100 until the search is over, so that its own
// progress is never taken for a stop request.
void DeletedSearch::root_progress(size_t index)
{
    double denominator = m_root_in_use > 1 ? double(m_root_in_use - 1) : 1.0;
    double fraction = double(index + 1) / denominator;
    if (fraction >= m_threshold && m_percent < 50) {
        m_percent += 5;
        m_threshold += 0.1;
        bg_progress.store(m_percent);
    }
}

FatDirNode* DeletedSearch::search(u32* file_count, u32* dir_count)
{
    if (!m_volume) {
        fail("no FAT volume is open");
        return nullptr;
    }
    free_results();
    m_files = m_dirs = 0;
    std::fill(m_visited.begin(), m_visited.end(), 0);
    std::fill(m_live_walked.begin(), m_live_walked.end(), 0);
    m_tails.clear();
    bg_progress.store(0);
    m_threshold = 0.1;
    m_percent = 0;

    const FatGeometry& g = m_geometry;
    const bool fat32 = g.type == FAT32;
    u32 root_cluster = fat32 ? g.root_cluster : 0;
    std::vector<u32> root_clusters;
    if (fat32)
        root_clusters = follow_chain(m_fat, root_cluster, dir_buffer_bytes / g.cluster_bytes);
    if (fat32 ? root_clusters.empty() : g.root_sectors == 0) {
        // Nothing to walk; the bar still ends, or the caller would wait for it.
        fail(fat32 ? "the FAT32 root directory's cluster chain is unreadable" : "the FAT root directory has no sectors");
        bg_progress.store(100);
        return nullptr;
    }
    for (u32 c : root_clusters)
        mark_visited(c);
    if (fat32)
        m_live_walked[root_cluster / 32] |= u32(1) << (root_cluster % 32);
    size_t used = fat32 ? read_clusters(root_clusters) : read_root_area();
    FatDirNode* root = new_node(nullptr, root_cluster, false, true);
    m_root_in_use = 0;
    while (m_root_in_use < used / dirent::size && m_dir[m_root_in_use * dirent::size] != dirent::mark_end)
        ++m_root_in_use;

    std::vector<Frame> stack;
    stack.push_back(Frame { root, std::move(root_clusters), 0, used, false, {} });
    bool stopped = false;
    while (!stack.empty()) {
        bool descended = false;
        if (!stopped) {
            Frame& f = stack.back();
            const bool in_root = stack.size() == 1;
            const size_t count = f.used / dirent::size;
            std::optional<std::u16string> long_name;
            while (f.index < count) {
                if (bg_progress.load() > 99 || bg_stop_requested()) {
                    stopped = true;
                    break;
                }
                const size_t i = f.index;
                const u8* e = m_dir.data() + i * dirent::size;
                if (e[0] == dirent::mark_end) {
                    f.index = count;
                    break;
                }
                const u8 attr = e[dirent::attributes];
                if (attr == dirent::attr_long_name) {
                    size_t run = long_name_run(m_dir.data(), count, i);
                    long_name = assemble_long_name(e, run);
                    f.index = i + run;
                    if (in_root)
                        root_progress(f.index - 1);
                    continue;
                }
                f.index = i + 1;
                if (in_root)
                    root_progress(i);
                if (attr > dirent::attr_max_valid || (attr & dirent::attr_volume_label)) {
                    long_name.reset();
                    continue;
                }
                std::u16string name = long_name ? std::move(*long_name) : short_name(e);
                long_name.reset();

                const bool is_dir = attr & dirent::attr_directory;
                // Inside a deleted directory every subdirectory counts as deleted.
                const bool deleted = e[0] == dirent::mark_deleted || (f.deleted_mode && is_dir);
                if (!is_dir && !deleted && !f.deleted_mode)
                    continue; // a live file of a live directory
                const u32 cluster = entry_cluster(e, fat32);
                if (cluster > g.cluster_limit)
                    continue;
                f.entries.push(make_entry(e, name, fat32, true, is_dir));
                f.node->entries = f.entries.data();
                if (!is_dir) {
                    ++m_files;
                    f.node->has_files = 1;
                    continue;
                }

                // Every directory entry kept has exactly one node, so a
                // directory that is not entered is dropped again.
                bool enter;
                if (deleted) {
                    enter = follow_deleted_dir(cluster);
                } else {
                    // A live directory walked before is a loop (or a cross
                    // link) in a damaged tree. One first reached through a
                    // deleted entry whose cluster it reused is still walked.
                    enter = cluster >= 2 && cluster < m_fat.entry_count()
                        && !((m_live_walked[cluster / 32] >> (cluster % 32)) & 1);
                    if (enter) {
                        m_live_walked[cluster / 32] |= u32(1) << (cluster % 32);
                        mark_visited(cluster);
                        enter = !follow_chain(m_fat, cluster, 1).empty();
                    }
                }
                if (!enter) {
                    f.entries.drop_last();
                    f.node->entries = f.entries.data();
                    continue;
                }
                FatDirNode* child = new_node(f.node, cluster, deleted, false);
                child->entries = nullptr;
                std::vector<u32> clusters = deleted
                    ? deleted_dir_clusters(cluster)
                    : follow_chain(m_fat, cluster, dir_buffer_bytes / g.cluster_bytes);
                size_t child_used = read_clusters(clusters);
                // A deleted folder may go on in a cluster found after the
                // walk; a long name may straddle the two.
                if (deleted && child_used >= g.cluster_bytes && child_used == clusters.size() * g.cluster_bytes)
                    keep_tail(m_dir.data() + child_used - g.cluster_bytes, clusters.back(), -1);
                // Subdirectories start after their "." and ".." entries.
                stack.push_back(Frame { child, std::move(clusters), 2, child_used, deleted, {} });
                descended = true;
                break;
            }
        }
        if (descended)
            continue;
        Frame& done = stack.back();
        done.node->entries = done.entries.data();
        stack.pop_back();
        if (!stack.empty() && !stopped) {
            Frame& parent = stack.back();
            parent.used = parent.clusters.empty() ? read_root_area() : read_clusters(parent.clusters);
        }
    }

    if (!stopped) {
        std::vector<LostPiece> pieces;
        collect_lost_pieces(pieces);
        link_lost_pieces(pieces);
        build_lost_folders(pieces);
    }

    bg_progress.store(100);
    if (file_count)
        *file_count = m_files;
    if (dir_count)
        *dir_count = m_dirs;
    return root;
}

bool DeletedSearch::read_file(const FatEntry* entry, void* buffer, u32 length, u64* position)
{
    if (!entry || !buffer || !length || !position || !m_volume)
        return false;
    std::memset(buffer, 0, length);
    const FatGeometry& g = m_geometry;
    u32 cluster = entry->first_cluster;
    if (cluster < 2)
        return false;
    u64 sector = g.data_start + u64(cluster - 2) * g.sectors_per_cluster + *position;
    u32 got = m_reader->read(m_reader, buffer, length, sector * g.bytes_per_sector);
    *position += length / g.bytes_per_sector;
    return got >= length;
}

} // namespace fsprobe::fat
