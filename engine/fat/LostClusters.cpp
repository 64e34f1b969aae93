// Deleted files in directory clusters that nothing links to any more. A
// folder that grew past one cluster keeps its later clusters wherever there
// was room; once the folder is deleted its chain is gone from the FAT, and
// the walk from the root reaches only its first cluster (and the clusters the
// continuation takes). After the walk, the clusters that are free in the FAT
// and were not visited are read once, in disk order, and judged strictly by
// their entries; those that hold directory entries become folders of their
// own, chained after the walked tree with no parent.
#include "DeletedSearch.h"

#include "DirEntry.h"

#include <fsprobe/common/alloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

namespace fsprobe::fat {

namespace {

// Index of the first short entry of a cluster (after the long-name slots
// that open it), or nullopt when the cluster holds none.
std::optional<size_t> head_entry(const u8* cluster, size_t length)
{
    for (size_t at = 0; at + dirent::size <= length; at += dirent::size) {
        const u8* e = cluster + at;
        if (e[0] == dirent::mark_end)
            return std::nullopt;
        if (e[dirent::attributes] != dirent::attr_long_name)
            return at / dirent::size;
    }
    return std::nullopt;
}

constexpr int max_lost_depth = 32;
// Matching every tail against every cluster that opens without slots is
// quadratic; beyond this many pairs only clusters that open with slots are
// tried.
constexpr size_t max_open_pairs = size_t(1) << 22;

} // namespace

// Keeps the long-name slots that end a full directory cluster: their short
// entry is the first entry of the folder's next cluster.
void DeletedSearch::keep_tail(const u8* cluster, u32 number, int piece)
{
    const size_t length = m_geometry.cluster_bytes;
    if (!directory_cluster_full(cluster, length))
        return;
    const size_t count = length / dirent::size;
    size_t slots = 0;
    while (slots < count && cluster[(count - 1 - slots) * dirent::size + dirent::attributes] == dirent::attr_long_name)
        ++slots;
    if (slots == 0 || slots >= count || slots > dirent::lfn_max_slots)
        return;
    const u8* from = cluster + (count - slots) * dirent::size;
    m_tails.push_back(LostTail { piece, number, std::vector<u8>(from, from + slots * dirent::size) });
}

bool DeletedSearch::collect_lost_pieces(std::vector<LostPiece>& pieces)
{
    const FatGeometry& g = m_geometry;
    const size_t cb = g.cluster_bytes;
    if (g.total_sectors <= g.data_start || g.sectors_per_cluster == 0)
        return true;
    // Clusters that lie wholly inside the volume and have a FAT entry.
    const u64 in_volume = 2 + (g.total_sectors - g.data_start) / g.sectors_per_cluster;
    const u32 end = u32(std::min<u64>(in_volume, m_fat.entry_count()));
    if (end <= 2)
        return true;
    const LostClusterLimits limits { end, g.total_sectors * g.bytes_per_sector };
    const bool fat32 = g.type == FAT32;
    const size_t batch = std::max<size_t>(1, lost_read_bytes / cb);
    // The kernel copies into a page-aligned buffer several times faster
    // than into one that is not.
    constexpr size_t page = 4096;
    std::vector<u8> storage(batch * cb + page);
    u8* const buffer = storage.data() + (page - reinterpret_cast<uintptr_t>(storage.data()) % page) % page;
    auto free_and_new = [&](u32 n) { return !visited(n) && m_fat.raw(n).value_or(1) == 0; };

    size_t kept = 0;
    const int start_percent = m_percent;
    for (u32 n = 2; n < end;) {
        if (bg_progress.load() > 99 || bg_stop_requested())
            return false;
        if (!free_and_new(n)) {
            ++n;
            continue;
        }
        u32 run = 1;
        while (run < batch && n + run < end && free_and_new(n + run))
            ++run;
        read_bytes(buffer, size_t(run) * cb, g.cluster_offset(n));
        for (u32 k = 0; k < run; ++k) {
            const u8* c = buffer + size_t(k) * cb;
            LostClusterKind kind = judge_lost_cluster(c, cb, limits);
            if (kind == LostClusterKind::none)
                continue;
            // The "." entry of a folder names the folder's own first cluster.
            if (kind == LostClusterKind::first && entry_cluster(c, fat32) != n + k)
                continue;
            if (kept + cb > lost_keep_bytes)
                continue;
            kept += cb;
            LostPiece piece;
            piece.cluster = n + k;
            piece.first = kind == LostClusterKind::first;
            piece.bytes.assign(c, c + cb);
            pieces.push_back(std::move(piece));
        }
        n += run;
        // The rest of the bar, up to 95, follows the clusters passed.
        const int percent = start_percent + int(u64(95 - start_percent) * (n - 2) / (end - 2)) / 5 * 5;
        if (percent > m_percent && percent <= 95) {
            m_percent = percent;
            bg_progress.store(m_percent);
        }
    }
    return true;
}

// A piece goes on where another ends when the long-name slots ending the
// other belong to the short entry that opens it (checksum and first
// character).
void DeletedSearch::link_lost_pieces(std::vector<LostPiece>& pieces)
{
    const size_t cb = m_geometry.cluster_bytes;
    for (size_t i = 0; i < pieces.size(); ++i)
        keep_tail(pieces[i].bytes.data(), pieces[i].cluster, int(i));
    if (m_tails.empty())
        return;

    struct Head {
        size_t piece;
        size_t slots;
    };
    std::vector<Head> heads;
    size_t open_without_slots = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].first)
            continue;
        auto h = head_entry(pieces[i].bytes.data(), cb);
        if (!h)
            continue;
        heads.push_back(Head { i, *h });
        open_without_slots += *h == 0;
    }
    const bool try_open = open_without_slots * m_tails.size() <= max_open_pairs;

    // Checksums are 8 bits and names in one folder often share their first
    // character, so a tail may fit several heads. A folder grows into
    // clusters further on: pairs are taken nearest ahead first, then nearest
    // behind, each tail and head once.
    struct Pair {
        u64 order;
        size_t tail;
        size_t head;
    };
    std::vector<Pair> pairs;
    std::vector<u8> run;
    for (size_t t = 0; t < m_tails.size(); ++t) {
        const LostTail& tail = m_tails[t];
        const u8 checksum = tail.slots[13];
        const size_t tail_slots = tail.slots.size() / dirent::size;
        for (size_t h = 0; h < heads.size(); ++h) {
            const Head& head = heads[h];
            if (int(head.piece) == tail.piece || tail_slots + head.slots > dirent::lfn_max_slots)
                continue;
            const u8* bytes = pieces[head.piece].bytes.data();
            if (head.slots == 0 ? !try_open : bytes[13] != checksum)
                continue;
            run.assign(tail.slots.begin(), tail.slots.end());
            run.insert(run.end(), bytes, bytes + head.slots * dirent::size);
            if (!checked_long_name(run.data(), tail_slots + head.slots, bytes + head.slots * dirent::size, false))
                continue;
            const u32 at = pieces[head.piece].cluster;
            const u64 order = at > tail.cluster ? u64(at - tail.cluster) : (u64(1) << 32) + (tail.cluster - at);
            pairs.push_back(Pair { order, t, h });
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        return a.order != b.order ? a.order < b.order : a.tail < b.tail;
    });
    std::vector<bool> tail_taken(m_tails.size()), head_taken(heads.size());
    for (const Pair& pair : pairs) {
        if (tail_taken[pair.tail] || head_taken[pair.head])
            continue;
        tail_taken[pair.tail] = head_taken[pair.head] = true;
        LostPiece& next = pieces[heads[pair.head].piece];
        if (m_tails[pair.tail].piece >= 0) {
            pieces[size_t(m_tails[pair.tail].piece)].next = int(heads[pair.head].piece);
            next.has_prev = true;
        } else {
            next.tail = int(pair.tail);
        }
    }
}

FatDirNode* DeletedSearch::build_lost_folder(std::vector<LostPiece>& pieces, size_t first, FatDirNode* parent, int depth)
{
    const FatGeometry& g = m_geometry;
    const bool fat32 = g.type == FAT32;
    LostPiece& head = pieces[first];
    std::vector<u8> dir;
    size_t prefix = 0;
    if (head.tail >= 0) {
        const auto& slots = m_tails[size_t(head.tail)].slots;
        dir.assign(slots.begin(), slots.end());
        prefix = slots.size() / dirent::size;
    }
    for (int i = int(first); i >= 0 && !pieces[size_t(i)].used && dir.size() < dir_buffer_bytes;
         i = pieces[size_t(i)].next) {
        pieces[size_t(i)].used = true;
        dir.insert(dir.end(), pieces[size_t(i)].bytes.begin(), pieces[size_t(i)].bytes.end());
    }

    FatDirNode* node = new_node(parent, head.cluster, true, false);
    EntryArray entries;
    const size_t count = dir.size() / dirent::size;
    for (size_t i = head.first ? 2 : 0; i < count;) {
        const u8* e = dir.data() + i * dirent::size;
        if (e[0] == dirent::mark_end)
            break;
        std::optional<std::u16string> long_name;
        if (e[dirent::attributes] == dirent::attr_long_name) {
            const size_t slots = long_name_run(dir.data(), count, i);
            const size_t at = i + slots;
            if (at >= count || dir[at * dirent::size] == dirent::mark_end)
                break;
            const bool may_be_cut = i == 0 && prefix == 0;
            long_name = checked_long_name(e, slots, dir.data() + at * dirent::size, may_be_cut);
            i = at;
            e = dir.data() + i * dirent::size;
        }
        ++i;
        const u8 attr = e[dirent::attributes];
        if (attr > dirent::attr_max_valid || (attr & dirent::attr_volume_label))
            continue;
        const bool is_dir = attr & dirent::attr_directory;
        const u32 cluster = entry_cluster(e, fat32);
        if (cluster > g.cluster_limit)
            continue;
        const std::u16string name = long_name ? *long_name : short_name(e);
        if (!is_dir) {
            entries.push(make_entry(e, name, fat32, true, false));
            ++m_files;
            node->has_files = 1;
            continue;
        }
        // A folder entry is kept when the folder's first cluster is a lost
        // piece of its own that nothing took yet.
        auto it = std::lower_bound(pieces.begin(), pieces.end(), cluster,
                                   [](const LostPiece& p, u32 c) { return p.cluster < c; });
        if (it == pieces.end() || it->cluster != cluster || !it->first || it->used || depth >= max_lost_depth)
            continue;
        entries.push(make_entry(e, name, fat32, true, true));
        node->entries = entries.data();
        if (!build_lost_folder(pieces, size_t(it - pieces.begin()), node, depth + 1))
            entries.drop_last();
    }
    node->entries = entries.data();
    // A folder that kept nothing (and so has no folders below it) is dropped.
    if (entries.size() == 0 && m_last == node) {
        m_last = node->prev;
        if (m_last)
            m_last->next = nullptr;
        free_entry_array(node->entries);
        engine_free(node);
        --m_dirs;
        return nullptr;
    }
    return node;
}

void DeletedSearch::build_lost_folders(std::vector<LostPiece>& pieces)
{
    const bool fat32 = m_geometry.type == FAT32;
    const size_t cb = m_geometry.cluster_bytes;
    // Folders whose entry lies in another piece are built below that piece.
    for (const LostPiece& p : pieces) {
        const size_t from = p.first ? 2 : 0;
        for (size_t at = from * dirent::size; at + dirent::size <= cb; at += dirent::size) {
            const u8* e = p.bytes.data() + at;
            if (e[0] == dirent::mark_end)
                break;
            const u8 attr = e[dirent::attributes];
            if (attr == dirent::attr_long_name || !(attr & dirent::attr_directory))
                continue;
            const u32 cluster = entry_cluster(e, fat32);
            auto it = std::lower_bound(pieces.begin(), pieces.end(), cluster,
                                       [](const LostPiece& q, u32 c) { return q.cluster < c; });
            if (it != pieces.end() && it->cluster == cluster && it->first && it->cluster != p.cluster)
                it->referenced = true;
        }
    }
    // Tops first; then what a loop of references or links left over.
    for (int pass = 0; pass < 3; ++pass)
        for (size_t i = 0; i < pieces.size(); ++i) {
            const LostPiece& p = pieces[i];
            if (p.used || (pass < 2 && p.has_prev) || (pass < 1 && p.referenced))
                continue;
            build_lost_folder(pieces, i, nullptr, 0);
        }
}

} // namespace fsprobe::fat
