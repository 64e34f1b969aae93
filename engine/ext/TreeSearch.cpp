#include "TreeSearch.h"

#include "TreeWalk.h"

#include <fsprobe/common/failure.h>
#include <fsprobe/common/alloc.h>

#include <cstring>
#include <vector>

namespace fsprobe::ext {

namespace {

template<size_t N>
void set_name(char (&dst)[N], const std::string& name)
{
    size_t n = std::min(name.size(), N - 1);
    std::memcpy(dst, name.data(), n);
    dst[n] = 0;
}

} // namespace

// Turns the walk's directories and entries into the C records.
class TreeSearch::Builder final : public TreeSink {
public:
    explicit Builder(TreeSearch& search)
        : m_search(search)
    {
    }
    // Entries of nodes that never got their array (an allocation failed) are
    // freed here; the nodes themselves are in the search's list.
    ~Builder()
    {
        for (auto& [node, entries] : m_entries)
            if (!node->entries)
                for (Ext3Entry* e : entries)
                    engine_free(e);
    }
    void* begin_directory(void* parent, const std::string& name, u32 inode_number) override
    {
        auto* node = engine_new_zeroed<Ext3DirNode>();
        node->parent = parent;
        node->inode_number = inode_number;
        set_name(node->name, name);
        node->previous = m_last;
        if (m_last)
            m_last->next = node;
        else
            m_search.m_root = node;
        m_last = node;
        m_entries[node];
        // The walk bounds the depth, and every name is at most 255 bytes.
        std::string path;
        if (parent) {
            const std::string& up = m_search.m_folder_paths[static_cast<Ext3DirNode*>(parent)];
            path = up.empty() ? name : up + "/" + name;
        }
        m_search.m_folder_paths[node] = std::move(path);
        return node;
    }
    void add_entry(void* directory, const WalkEntry& entry) override
    {
        auto* node = static_cast<Ext3DirNode*>(directory);
        auto& entries = m_entries[node];
        // Room first: the push after an allocation must not throw.
        if (entries.size() == entries.capacity())
            entries.reserve(std::max<size_t>(16, entries.size() * 2));
        auto* e = engine_new_zeroed<Ext3Entry>();
        entries.push_back(e);
        e->size = inode_size(entry.inode.data());
        std::memcpy(e->inode, entry.inode.data(), kInodeCopySize);
        set_name(e->name, entry.name);
        e->isdir = entry.is_directory ? 1 : 0;

        u16 cls = inode_class(entry.inode.data());
        if (!entry.is_directory && (entry.file_type == kTypeRegular || entry.file_type == kTypeSymlink)
            && (cls == kModeRegular || cls == kModeSymlink)) {
            auto* f = engine_new_zeroed<Ext3FoundFile>();
            set_name(f->name, entry.name);
            f->size = e->size;
            u32 first = inode_pointer(entry.inode.data(), 0);
            if (!inode_is_fast_symlink(entry.inode.data()) && m_search.m_volume->block_valid(first))
                f->position = u64(first) * m_search.m_volume->block_size();
            m_search.m_found[f] = FoundInfo { entry.inode, entry.times, &m_search.m_folder_paths[node] };
            if (m_last_found)
                m_last_found->next = f;
            else
                m_search.m_list = f;
            m_last_found = f;
        }
    }
    // Gives every node its null-ended entry array.
    void finish()
    {
        for (Ext3DirNode* n = m_search.m_root; n; n = n->next) {
            auto& v = m_entries[n];
            n->entries = engine_new_zeroed<Ext3Entry*>(v.size() + 1);
            if (!v.empty())
                std::memcpy(n->entries, v.data(), v.size() * sizeof(Ext3Entry*));
            m_search.m_entry_counts[n] = u32(v.size());
        }
    }

private:
    TreeSearch& m_search;
    Ext3DirNode* m_last = nullptr;
    Ext3FoundFile* m_last_found = nullptr;
    std::unordered_map<Ext3DirNode*, std::vector<Ext3Entry*>> m_entries;
};

bool TreeSearch::open(BgVolume* volume)
{
    close();
    Volume v;
    if (!v.open(volume, "ext3"))
        return false;
    m_volume = std::move(v);
    return true;
}

bool TreeSearch::run_walk()
{
    free_results();
    Builder builder(*this);
    bool ok = walk_tree(*m_volume, builder);
    builder.finish();
    if (!ok) {
        free_results();
        fail("the ext3 root directory cannot be read");
    }
    return ok;
}

Ext3DirNode* TreeSearch::search_tree()
{
    if (!m_volume) {
        fail("no ext3 volume is open");
        return nullptr;
    }
    m_list_mode = false;
    return run_walk() ? m_root : nullptr;
}

Ext3FoundFile* TreeSearch::search_list()
{
    if (!m_volume) {
        fail("no ext3 volume is open");
        return nullptr;
    }
    m_list_mode = true;
    return run_walk() ? m_list : nullptr;
}

u32 TreeSearch::entry_count(const Ext3DirNode* node) const
{
    auto it = m_entry_counts.find(node);
    return it == m_entry_counts.end() ? 0 : it->second;
}

ChunkResult TreeSearch::read_chunk(Ext3FoundFile* file, u64& position, u8* buffer)
{
    auto it = m_found.find(file);
    if (!m_volume || !buffer || it == m_found.end()) {
        m_stream.reset();
        return {};
    }
    return m_stream.read(*m_volume, file, it->second.inode.data(), file->size, position, buffer);
}

const char* TreeSearch::folder_of(const Ext3FoundFile* file) const
{
    auto it = m_found.find(file);
    return it == m_found.end() ? nullptr : it->second.folder->c_str();
}

std::optional<FsprobeTimes> TreeSearch::times_of(const Ext3FoundFile* file) const
{
    auto it = m_found.find(file);
    if (it == m_found.end())
        return std::nullopt;
    return it->second.times;
}

void TreeSearch::free_results()
{
    Ext3DirNode* n = m_root;
    while (n) {
        Ext3DirNode* next = n->next;
        for (Ext3Entry** e = n->entries; e && *e; ++e)
            engine_free(*e);
        engine_free(n->entries);
        engine_free(n);
        n = next;
    }
    m_root = nullptr;
    Ext3FoundFile* f = m_list;
    while (f) {
        Ext3FoundFile* next = f->next;
        engine_free(f);
        f = next;
    }
    m_list = nullptr;
    m_entry_counts.clear();
    m_folder_paths.clear();
    m_found.clear();
    m_stream.reset();
}

void TreeSearch::close()
{
    free_results();
    m_volume.reset();
    m_list_mode = false;
}

} // namespace fsprobe::ext
