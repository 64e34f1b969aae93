#include "DeletedSearch.h"

#include <fsprobe/common/alloc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fsprobe::exfat {

struct DeletedSearch::Frame {
    ExfatDirNode* node;
    std::vector<u8> bytes;
    DataLayout layout;
    size_t index;                  // next entry to look at
    bool deleted_mode;             // inside a deleted folder: keep every set
    std::vector<ExfatEntry*> kept;
};

namespace {

ExfatEntry** make_array(const std::vector<ExfatEntry*>& items)
{
    auto** array = engine_new_zeroed<ExfatEntry*>(items.size() + 1);
    std::copy(items.begin(), items.end(), array);
    return array;
}

} // namespace

bool DeletedSearch::open(BgVolume* volume)
{
    close();
    m_failure.clear();
    if (!m_volume.open(volume)) {
        m_failure = "exfat_init: " + m_volume.failure();
        return false;
    }
    m_open = true;
    return true;
}

void DeletedSearch::close()
{
    free_results();
    m_volume.close();
    m_open = false;
}

void DeletedSearch::free_results()
{
    ExfatDirNode* node = m_root;
    while (node) {
        ExfatDirNode* next = node->next;
        for (ExfatEntry** e = node->entries; e && *e; ++e)
            engine_free(*e);
        engine_free(node->entries);
        engine_free(node);
        node = next;
    }
    m_root = m_last = nullptr;
    m_layout_entry = nullptr;
    m_layout = {};
    m_run_starts.clear();
}

DataLayout DeletedSearch::data_layout(u32 first, u64 size, bool no_fat_chain, bool set_in_use, bool check_in_use)
{
    DataLayout layout;
    const Geometry& g = m_volume.geometry();
    const u64 cluster_bytes = g.cluster_bytes();
    const u64 needed = size / cluster_bytes + (size % cluster_bytes ? 1 : 0);
    if (needed == 0)
        return layout;
    if (!g.valid_cluster(first)) {
        layout.flags |= EXFAT_DATA_CUT;
        return layout;
    }
    auto contiguous = [&] {
        const u64 available = u64(g.cluster_count) + 2 - first;
        const u64 count = std::min(needed, available);
        if (count < needed)
            layout.flags |= EXFAT_DATA_CUT;
        layout.runs.push_back({ first, u32(count) });
    };
    if (no_fat_chain || needed > g.cluster_count) {
        // More clusters than the heap holds is a damaged size: no chain or
        // bitmap walk for it.
        contiguous();
    } else {
        std::vector<u32> chain = m_volume.follow_chain(first, needed, !set_in_use);
        if (chain.size() == needed) {
            layout.flags |= EXFAT_DATA_FAT_CHAIN;
            for (u32 n : chain) {
                if (!layout.runs.empty() && layout.runs.back().first + layout.runs.back().count == n)
                    ++layout.runs.back().count;
                else
                    layout.runs.push_back({ n, 1 });
            }
        } else if (!set_in_use && m_volume.has_bitmap()) {
            // The chain is gone (some drivers clear it on deletion). The
            // clusters that follow are the file's, except those a live
            // file holds: those were written between its pieces.
            layout.flags |= EXFAT_DATA_GUESSED;
            layout.runs.push_back({ first, 1 });
            u64 taken = 1;
            u64 skipped = 0;
            u32 n = first + 1;
            while (taken < needed && g.valid_cluster(n) && skipped <= max_skipped_clusters) {
                if (m_volume.allocated(n).value_or(false)) {
                    layout.flags |= EXFAT_DATA_SKIPPED;
                    ++skipped;
                } else {
                    DataLayout::Run& last = layout.runs.back();
                    if (last.first + last.count == n)
                        ++last.count;
                    else
                        layout.runs.push_back({ n, 1 });
                    ++taken;
                }
                ++n;
            }
            if (taken < needed)
                layout.flags |= EXFAT_DATA_CUT;
        } else {
            layout.flags |= EXFAT_DATA_GUESSED;
            contiguous();
        }
    }
    if (check_in_use) {
        u64 left = max_in_use_check;
        for (const DataLayout::Run& run : layout.runs) {
            if (m_volume.any_allocated(run.first, run.count, left)) {
                layout.flags |= EXFAT_DATA_IN_USE;
                break;
            }
            left -= std::min<u64>(left, run.count);
            if (!left)
                break;
        }
    }
    return layout;
}

std::vector<u8> DeletedSearch::read_runs(const DataLayout& layout, u64 bytes)
{
    const Geometry& g = m_volume.geometry();
    u64 total = 0;
    for (const DataLayout::Run& run : layout.runs)
        total += u64(run.count) << g.cluster_shift;
    bytes = std::min({ bytes, total, max_dir_read });
    bytes -= bytes % dirent::size;
    std::vector<u8> out(size_t(bytes), 0);
    u64 done = 0;
    for (const DataLayout::Run& run : layout.runs) {
        if (done >= bytes)
            break;
        const u64 piece = std::min<u64>(u64(run.count) << g.cluster_shift, bytes - done);
        m_volume.read_bytes(out.data() + done, size_t(piece), g.cluster_offset(run.first));
        done += piece;
    }
    return out;
}

ExfatEntry* DeletedSearch::make_entry(const FileSet& set, bool deleted, u64 entry_offset)
{
    std::u16string name = set.name;
    if (name.empty()) {
        char text[32];
        std::snprintf(text, sizeof text, "noname-%016llx", static_cast<unsigned long long>(entry_offset));
        for (const char* p = text; *p; ++p)
            name.push_back(char16_t(*p));
    }
    auto* e = static_cast<ExfatEntry*>(engine_alloc(sizeof(ExfatEntry) + 2 * (name.size() + 1)));
    e->size = set.data_length;
    e->valid_size = set.valid_length;
    e->first_cluster = set.first_cluster;
    e->attributes = set.attributes;
    e->no_fat_chain = set.no_fat_chain() ? 1 : 0;
    e->is_directory = set.is_directory() ? 1 : 0;
    e->create_time = set.create_time;
    e->modify_time = set.modify_time;
    e->access_time = set.access_time;
    e->create_10ms = set.create_10ms;
    e->modify_10ms = set.modify_10ms;
    e->create_utc_offset = set.create_utc;
    e->modify_utc_offset = set.modify_utc;
    e->access_utc_offset = set.access_utc;
    e->deleted = deleted ? 1 : 0;
    e->set_in_use = set.in_use ? 1 : 0;
    u8 flags = 0;
    if (!set.complete || !set.checksum_ok)
        flags |= EXFAT_SET_CHECKSUM_BAD;
    if (set.name_short)
        flags |= EXFAT_NAME_SHORT;
    else if (m_volume.upcase().loaded() && name_hash(set.name, m_volume.upcase()) != set.name_hash)
        flags |= EXFAT_NAME_HASH_BAD;
    if (!set.is_directory() && deleted)
        flags |= data_layout(set.first_cluster, set.data_length, set.no_fat_chain(), set.in_use, !set.in_use).flags;
    e->flags = flags;
    e->name_length = u16(name.size());
    e->entry_offset = entry_offset;
    char16_t* out = reinterpret_cast<char16_t*>(reinterpret_cast<u8*>(e) + sizeof(ExfatEntry));
    std::memcpy(out, name.data(), 2 * name.size());
    return e;
}

ExfatDirNode* DeletedSearch::new_node(ExfatDirNode* parent, ExfatEntry* self, u32 cluster, bool deleted, bool root)
{
    auto* node = engine_new_zeroed<ExfatDirNode>();
    node->prev = m_last;
    node->parent = parent;
    node->self = self;
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

// The root's entries move the bar to 95 in steps of 5; it stays below 100
// until the search is over, so that its own progress is never taken for a
// stop request.
void DeletedSearch::progress(size_t index)
{
    const double denominator = m_root_entries > 1 ? double(m_root_entries) : 1.0;
    const double fraction = double(index + 1) / denominator;
    while (fraction >= m_threshold && m_percent < 95) {
        m_percent += 5;
        m_threshold += 0.05;
        bg_progress.store(m_percent);
    }
}

ExfatDirNode* DeletedSearch::search(u32* file_count, u32* dir_count)
{
    m_failure.clear();
    if (!m_open) {
        m_failure = "exfat_search: no volume is open";
        return nullptr;
    }
    free_results();
    m_files = m_dirs = 0;
    m_walked.clear();
    bg_progress.store(0);
    m_threshold = 0.05;
    m_percent = 0;

    const Geometry& g = m_volume.geometry();
    DataLayout root_layout;
    for (u32 n : m_volume.follow_chain(g.root_cluster, max_directory_bytes >> g.cluster_shift, false)) {
        m_walked.insert(n);
        if (!root_layout.runs.empty() && root_layout.runs.back().first + root_layout.runs.back().count == n)
            ++root_layout.runs.back().count;
        else
            root_layout.runs.push_back({ n, 1 });
    }
    std::vector<u8> root_bytes = read_runs(root_layout, max_directory_bytes);
    if (root_bytes.empty()) {
        m_failure = "exfat_search: the root directory cannot be read";
        bg_progress.store(100);
        return nullptr;
    }
    ExfatDirNode* root = new_node(nullptr, nullptr, g.root_cluster, false, true);
    root->walked = 1;
    m_root_entries = 0;
    while (m_root_entries < root_bytes.size() / dirent::size
           && root_bytes[m_root_entries * dirent::size] != dirent::end_of_directory)
        ++m_root_entries;

    std::vector<Frame> stack;
    stack.push_back(Frame { root, std::move(root_bytes), std::move(root_layout), 0, false, {} });
    bool stopped = false;
    while (!stack.empty()) {
        bool descended = false;
        Frame& f = stack.back();
        const bool in_root = stack.size() == 1;
        const size_t count = f.bytes.size() / dirent::size;
        while (!stopped && f.index < count) {
            if (bg_progress.load() > 99) {
                stopped = true;
                break;
            }
            const size_t i = f.index;
            const u8* e = f.bytes.data() + i * dirent::size;
            if (e[dirent::type] == dirent::end_of_directory) {
                f.index = count;
                break;
            }
            auto set = parse_file_set(f.bytes.data(), count, i);
            f.index = i + (set ? std::max<size_t>(set->entries, 1) : 1);
            if (in_root)
                progress(f.index - 1);
            if (!set)
                continue;
            const bool deleted = !set->in_use || f.deleted_mode;
            if (!set->is_directory() && !deleted)
                continue; // a live file
            // The byte offset of the file entry on the volume.
            u64 entry_offset = 0;
            {
                u64 at = u64(i) * dirent::size;
                for (const DataLayout::Run& run : f.layout.runs) {
                    const u64 run_bytes = u64(run.count) << g.cluster_shift;
                    if (at < run_bytes) {
                        entry_offset = g.cluster_offset(run.first) + at;
                        break;
                    }
                    at -= run_bytes;
                }
            }
            ExfatEntry* entry = make_entry(*set, deleted, entry_offset);
            f.kept.push_back(entry);
            if (!set->is_directory()) {
                ++m_files;
                ++f.node->files_below;
                continue;
            }

            ExfatDirNode* child = new_node(f.node, entry, set->first_cluster, deleted, false);
            // A deleted folder is walked when its first cluster is free: in
            // use, it belongs to something else now. Clusters walked before
            // mean a loop or a cross link.
            bool walk = g.valid_cluster(set->first_cluster) && !m_walked.count(set->first_cluster)
                && stack.size() < max_depth;
            if (walk && !set->in_use && m_volume.allocated(set->first_cluster).value_or(false))
                walk = false;
            DataLayout layout;
            if (walk) {
                const u64 dir_bytes = std::min(set->data_length, max_directory_bytes);
                layout = data_layout(set->first_cluster, dir_bytes, set->no_fat_chain(), set->in_use, false);
                for (const DataLayout::Run& run : layout.runs)
                    for (u32 k = 0; k < run.count; ++k)
                        m_walked.insert(run.first + k);
                walk = !layout.runs.empty();
            }
            if (!walk) {
                child->entries = make_array({});
                continue;
            }
            child->walked = 1;
            std::vector<u8> bytes = read_runs(layout, set->data_length);
            stack.push_back(Frame { child, std::move(bytes), std::move(layout), 0, deleted, {} });
            descended = true;
            break;
        }
        if (descended)
            continue;
        Frame& done = stack.back();
        done.node->entries = make_array(done.kept);
        stack.pop_back();
    }

    // Each node adds its total to its parent; children come after parents.
    for (ExfatDirNode* n = m_last; n; n = n->prev)
        if (n->parent)
            n->parent->files_below += n->files_below;

    bg_progress.store(100);
    if (file_count)
        *file_count = m_files;
    if (dir_count)
        *dir_count = m_dirs;
    return root;
}

const DataLayout& DeletedSearch::layout_of(const ExfatEntry* entry)
{
    if (entry != m_layout_entry) {
        m_layout = data_layout(entry->first_cluster, entry->size, entry->no_fat_chain, entry->set_in_use, false);
        m_run_starts.clear();
        u64 at = 0;
        for (const DataLayout::Run& run : m_layout.runs) {
            m_run_starts.push_back(at);
            at += u64(run.count) << m_volume.geometry().cluster_shift;
        }
        m_layout_entry = entry;
    }
    return m_layout;
}

bool DeletedSearch::read_file(const ExfatEntry* entry, void* buffer, u32 length, u64* position)
{
    m_failure.clear();
    if (!entry || !buffer || !length || !position) {
        m_failure = "exfat_readfile: null record, buffer or position, or zero length";
        return false;
    }
    if (!m_open) {
        m_failure = "exfat_readfile: no volume is open";
        return false;
    }
    if (entry->is_directory) {
        m_failure = "exfat_readfile: the entry is a folder";
        return false;
    }
    if (*position >= entry->size) {
        m_failure = "exfat_readfile: position at or past the end of the file";
        return false;
    }
    const u64 start = *position;
    const u64 want = std::min<u64>(length, entry->size - start);
    // Only the bytes that belong to the file are written: a large buffer
    // for a small file costs nothing extra.
    std::memset(buffer, 0, size_t(want));
    *position += want;
    const u64 readable_end = std::min(start + want, std::min(entry->valid_size, entry->size));

    const DataLayout& layout = layout_of(entry);
    const Geometry& g = m_volume.geometry();
    u8* out = static_cast<u8*>(buffer);
    u64 at = start;
    while (at < readable_end) {
        // The run holding file offset `at`.
        auto it = std::upper_bound(m_run_starts.begin(), m_run_starts.end(), at);
        if (it == m_run_starts.begin()) {
            m_failure = "exfat_readfile: no clusters for this part of the file";
            return false;
        }
        const size_t r = size_t(it - m_run_starts.begin()) - 1;
        const DataLayout::Run& run = layout.runs[r];
        const u64 inside = at - m_run_starts[r];
        const u64 run_bytes = u64(run.count) << g.cluster_shift;
        if (inside >= run_bytes) {
            m_failure = "exfat_readfile: the data runs past the cluster heap";
            return false;
        }
        const size_t piece = size_t(std::min(run_bytes - inside, readable_end - at));
        const u64 offset = g.cluster_offset(run.first) + inside;
        if (m_volume.read_bytes(out + (at - start), piece, offset) < piece) {
            m_failure = "exfat_readfile: read error or end of the volume at byte " + std::to_string(offset);
            return false;
        }
        at += piece;
    }
    return true;
}

} // namespace fsprobe::exfat
