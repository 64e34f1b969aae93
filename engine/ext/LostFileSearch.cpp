#include "LostFileSearch.h"

#include "LostFileScan.h"
#include "TreeWalk.h"

#include <fsprobe/common/failure.h>
#include <fsprobe/common/alloc.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace fsprobe::ext {

namespace {

template<size_t N>
void set_utf16_name(void* dst, const char* fmt, int value)
{
    // The name fields sit in packed records: build the name here and copy its
    // bytes, never binding a reference to the field.
    char text[N];
    char16_t units[N] {};
    std::snprintf(text, sizeof text, fmt, value);
    for (size_t i = 0; text[i] && i + 1 < N; ++i)
        units[i] = char16_t(u8(text[i]));
    std::memcpy(dst, units, sizeof units);
}

// Entry file types that agree with an inode's mode class.
bool type_matches(u8 file_type, const u8* inode)
{
    u16 cls = inode_class(inode);
    return (file_type == kTypeRegular && cls == kModeRegular) || (file_type == kTypeSymlink && cls == kModeSymlink);
}

} // namespace

// Turns the scan's groups and files into the C records.
class LostFileSearch::Builder final : public LostFileSink {
public:
    explicit Builder(LostFileSearch& search)
        : m_search(search)
    {
    }
    // Files not yet handed to a group (an allocation failed) are freed here.
    ~Builder()
    {
        for (Ext2LostFile* f : m_files) {
            m_search.m_info.erase(f);
            engine_free(f->block_list);
            engine_free(f->inode);
            engine_free(f);
        }
    }
    void begin_group(u32 group) override
    {
        m_group = engine_new_zeroed<Ext2Group>();
        set_utf16_name<sizeof(Ext2Group::name) / 2>(m_group->name, "Group(%d)", int(group));
        m_group->previous = m_last;
        if (m_last)
            m_last->next = m_group;
        else
            m_search.m_head = m_group;
        m_last = m_group;
        m_files.clear();
    }
    void add_file(LostFile&& file) override
    {
        // Room first: the push after an allocation must not throw.
        if (m_files.size() == m_files.capacity())
            m_files.reserve(std::max<size_t>(16, m_files.size() * 2));
        auto* f = engine_new_zeroed<Ext2LostFile>();
        m_files.push_back(f);
        f->size = file.size;
        if (!file.blocks.empty()) {
            f->block_list = engine_new_zeroed<u32>(file.blocks.size());
            std::memcpy(f->block_list, file.blocks.data(), file.blocks.size() * sizeof(u32));
        }
        f->inode = engine_new_zeroed<u8>(kInodeCopySize);
        std::memcpy(f->inode, file.inode.data(), kInodeCopySize);
        set_utf16_name<sizeof(Ext2LostFile::name) / 2>(f->name, "LostFile(%d)", int(m_files.size() - 1));
        m_search.m_info[f] = FileInfo { file.inode_number, file.times, false, {}, {} };
    }
    void end_group(u32) override
    {
        // One spare null slot ends the array for callers that walk it.
        m_group->files = engine_new_zeroed<Ext2LostFile*>(m_files.size() + 1);
        if (!m_files.empty())
            std::memcpy(m_group->files, m_files.data(), m_files.size() * sizeof(Ext2LostFile*));
        m_group->file_count = u32(m_files.size());
        m_files.clear();
    }

private:
    LostFileSearch& m_search;
    Ext2Group* m_group = nullptr;
    Ext2Group* m_last = nullptr;
    std::vector<Ext2LostFile*> m_files;
};

// Collects, from the tree walk, the first entry naming each found inode.
class LostFileSearch::NameFinder final : public TreeSink {
public:
    explicit NameFinder(std::unordered_map<u32, std::vector<FileInfo*>>& wanted)
        : m_wanted(wanted)
    {
    }
    void* begin_directory(void* parent, const std::string& name, u32) override
    {
        const std::string* up = static_cast<const std::string*>(parent);
        std::string path = !up ? std::string() : up->empty() ? name : *up + "/" + name;
        m_paths.push_back(std::make_unique<std::string>(std::move(path)));
        return m_paths.back().get();
    }
    void add_entry(void* directory, const WalkEntry& entry) override
    {
        if (entry.is_directory || !type_matches(entry.file_type, entry.inode.data()))
            return;
        auto it = m_wanted.find(entry.inode_number);
        if (it == m_wanted.end())
            return;
        for (FileInfo* info : it->second) {
            info->named = true;
            info->folder = *static_cast<const std::string*>(directory);
            info->name = entry.name;
        }
        m_wanted.erase(it);
    }

private:
    std::unordered_map<u32, std::vector<FileInfo*>>& m_wanted;
    std::vector<std::unique_ptr<std::string>> m_paths;
};

bool LostFileSearch::open(BgVolume* volume)
{
    close();
    Volume v;
    if (!v.open(volume, "ext2"))
        return false;
    m_volume = std::move(v);
    return true;
}

Ext2Group* LostFileSearch::search(std::atomic<int32_t>& progress)
{
    if (!m_volume) {
        fail("no ext2 volume is open");
        return nullptr;
    }
    free_results();
    Builder builder(*this);
    scan_lost_files(*m_volume, builder, progress);
    progress.store(100, std::memory_order_relaxed);
    return m_head;
}

bool LostFileSearch::read_block(u64 block, u64 count, void* buffer, u64& got) const
{
    got = 0;
    if (!m_volume || !buffer || !m_volume->block_valid(block))
        return false;
    const u32 bs = m_volume->block_size();
    count = std::min<u64>(count, bs);
    if (!m_volume->read_bytes(buffer, block * bs, count))
        return false;
    got = count;
    return true;
}

void LostFileSearch::find_names()
{
    if (m_names_found || !m_volume)
        return;
    m_names_found = true;
    std::unordered_map<u32, std::vector<FileInfo*>> wanted;
    for (auto& [record, info] : m_info)
        wanted[info.inode_number].push_back(&info);
    NameFinder finder(wanted);
    walk_tree(*m_volume, finder);
}

const char* LostFileSearch::folder_of(const Ext2LostFile* file)
{
    auto it = m_info.find(file);
    if (it == m_info.end())
        return nullptr;
    find_names();
    return it->second.named ? it->second.folder.c_str() : nullptr;
}

const char* LostFileSearch::name_of(const Ext2LostFile* file)
{
    auto it = m_info.find(file);
    if (it == m_info.end())
        return nullptr;
    find_names();
    return it->second.named ? it->second.name.c_str() : nullptr;
}

std::optional<FsprobeTimes> LostFileSearch::times_of(const Ext2LostFile* file) const
{
    auto it = m_info.find(file);
    if (it == m_info.end())
        return std::nullopt;
    return it->second.times;
}

void LostFileSearch::free_results()
{
    Ext2Group* g = m_head;
    while (g) {
        Ext2Group* next = g->next;
        for (u32 i = 0; g->files && i < g->file_count; ++i) {
            Ext2LostFile* f = g->files[i];
            if (!f)
                continue;
            engine_free(f->block_list);
            engine_free(f->inode);
            engine_free(f);
        }
        engine_free(g->files);
        engine_free(g);
        g = next;
    }
    m_head = nullptr;
    m_info.clear();
    m_names_found = false;
}

void LostFileSearch::close()
{
    free_results();
    m_volume.reset();
}

} // namespace fsprobe::ext
