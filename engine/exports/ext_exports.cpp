// The ext2 and ext3 export families: translation between the C records and
// the engine in engine/ext. Each family keeps one process-wide state.
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include "../ext/FileStream.h"
#include "../ext/LostFileScan.h"
#include "../ext/TreeWalk.h"
#include "../ext/Volume.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

using namespace fsprobe;

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

template<size_t N>
void set_name(char (&dst)[N], const std::string& name)
{
    size_t n = std::min(name.size(), N - 1);
    std::memcpy(dst, name.data(), n);
    dst[n] = 0;
}

// Room for one more element, so that the push_back after an engine
// allocation cannot throw and lose what was allocated.
template<typename T>
void make_room(std::vector<T>& v)
{
    if (v.size() == v.capacity())
        v.reserve(std::max<size_t>(16, v.size() * 2));
}

// ---------------------------------------------------------------- ext2

struct Ext2State {
    ext::Volume volume;
    Ext2Group* head = nullptr;
};
Ext2State* g_ext2 = nullptr;

void ext2_free_groups(Ext2State& s)
{
    Ext2Group* g = s.head;
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
    s.head = nullptr;
}

class Ext2Builder final : public ext::LostFileSink {
public:
    explicit Ext2Builder(Ext2State& s)
        : m_state(s)
    {
    }
    // Files not yet handed to a group (an allocation failed) are freed here.
    ~Ext2Builder()
    {
        for (Ext2LostFile* f : m_files) {
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
            m_state.head = m_group;
        m_last = m_group;
        m_files.clear();
    }
    void add_file(ext::LostFile&& file) override
    {
        make_room(m_files);
        auto* f = engine_new_zeroed<Ext2LostFile>();
        m_files.push_back(f);
        f->size = file.size;
        if (!file.blocks.empty()) {
            f->block_list = engine_new_zeroed<u32>(file.blocks.size());
            std::memcpy(f->block_list, file.blocks.data(), file.blocks.size() * sizeof(u32));
        }
        f->inode = engine_new_zeroed<u8>(ext::kInodeCopySize);
        std::memcpy(f->inode, file.inode.data(), ext::kInodeCopySize);
        set_utf16_name<sizeof(Ext2LostFile::name) / 2>(f->name, "LostFile(%d)", int(m_files.size() - 1));
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
    Ext2State& m_state;
    Ext2Group* m_group = nullptr;
    Ext2Group* m_last = nullptr;
    std::vector<Ext2LostFile*> m_files;
};

// ---------------------------------------------------------------- ext3

// Engine-side companions of the public records (the public part first).
struct NodeBox {
    Ext3DirNode pub;
    u32 count;
};
struct FoundBox {
    Ext3FoundFile pub;
    u8 inode[ext::kInodeCopySize];
};

struct Ext3State {
    ext::Volume volume;
    Ext3DirNode* root = nullptr;
    Ext3FoundFile* list = nullptr;
    bool list_mode = false;
    ext::FileStream stream;
};
Ext3State* g_ext3 = nullptr;

void ext3_free_results(Ext3State& s)
{
    Ext3DirNode* n = s.root;
    while (n) {
        Ext3DirNode* next = n->next;
        for (Ext3Entry** e = n->entries; e && *e; ++e)
            engine_free(*e);
        engine_free(n->entries);
        engine_free(n);
        n = next;
    }
    s.root = nullptr;
    Ext3FoundFile* f = s.list;
    while (f) {
        Ext3FoundFile* next = f->next;
        engine_free(f);
        f = next;
    }
    s.list = nullptr;
    s.stream.reset();
}

class Ext3Builder final : public ext::TreeSink {
public:
    explicit Ext3Builder(Ext3State& s)
        : m_state(s)
    {
    }
    // Entries of nodes that never got their array (an allocation failed) are
    // freed here; the nodes themselves are in the state's list.
    ~Ext3Builder()
    {
        for (auto& [node, entries] : m_entries)
            if (!node->entries)
                for (Ext3Entry* e : entries)
                    engine_free(e);
    }
    void* begin_directory(void* parent, const std::string& name, u32 inode_number) override
    {
        auto* box = engine_new_zeroed<NodeBox>();
        Ext3DirNode* node = &box->pub;
        node->parent = parent;
        node->inode_number = inode_number;
        set_name(node->name, name);
        node->previous = m_last;
        if (m_last)
            m_last->next = node;
        else
            m_state.root = node;
        m_last = node;
        m_entries[node];
        return node;
    }
    void add_entry(void* directory, const ext::WalkEntry& entry) override
    {
        auto* node = static_cast<Ext3DirNode*>(directory);
        auto& entries = m_entries[node];
        make_room(entries);
        auto* e = engine_new_zeroed<Ext3Entry>();
        entries.push_back(e);
        e->size = ext::inode_size(entry.inode.data());
        std::memcpy(e->inode, entry.inode.data(), ext::kInodeCopySize);
        set_name(e->name, entry.name);
        e->isdir = entry.is_directory ? 1 : 0;

        u16 cls = ext::inode_class(entry.inode.data());
        if (!entry.is_directory && (entry.file_type == ext::kTypeRegular || entry.file_type == ext::kTypeSymlink)
            && (cls == ext::kModeRegular || cls == ext::kModeSymlink)) {
            auto* box = engine_new_zeroed<FoundBox>();
            Ext3FoundFile* f = &box->pub;
            set_name(f->name, entry.name);
            f->size = e->size;
            std::memcpy(box->inode, entry.inode.data(), ext::kInodeCopySize);
            u32 first = ext::inode_pointer(entry.inode.data(), 0);
            if (!ext::inode_is_fast_symlink(entry.inode.data()) && m_state.volume.block_valid(first))
                f->position = u64(first) * m_state.volume.block_size();
            if (m_last_found)
                m_last_found->next = f;
            else
                m_state.list = f;
            m_last_found = f;
        }
    }
    // Gives every node its null-ended entry array.
    void finish()
    {
        for (Ext3DirNode* n = m_state.root; n; n = n->next) {
            auto& v = m_entries[n];
            n->entries = engine_new_zeroed<Ext3Entry*>(v.size() + 1);
            if (!v.empty())
                std::memcpy(n->entries, v.data(), v.size() * sizeof(Ext3Entry*));
            reinterpret_cast<NodeBox*>(n)->count = u32(v.size());
        }
    }

private:
    Ext3State& m_state;
    Ext3DirNode* m_last = nullptr;
    Ext3FoundFile* m_last_found = nullptr;
    std::unordered_map<Ext3DirNode*, std::vector<Ext3Entry*>> m_entries;
};

bool ext3_run_walk(Ext3State& s)
{
    ext3_free_results(s);
    Ext3Builder builder(s);
    bool ok = ext::walk_tree(s.volume, builder);
    builder.finish();
    if (!ok)
        ext3_free_results(s);
    return ok;
}

} // namespace

// ---------------------------------------------------------------- ext2 exports

namespace {

// Why the last call of each family failed.
FailureReason g_ext2_failure;
FailureReason g_ext3_failure;

void free_ext2()
{
    if (!g_ext2)
        return;
    ext2_free_groups(*g_ext2);
    delete g_ext2;
    g_ext2 = nullptr;
}

void free_ext3()
{
    if (!g_ext3)
        return;
    ext3_free_results(*g_ext3);
    delete g_ext3;
    g_ext3 = nullptr;
}

} // namespace

extern "C" FSPROBE_API void ext2_exit(void)
{
    guarded_void(g_ext2_failure, free_ext2);
}

extern "C" FSPROBE_API bool ext2_init(BgVolume* volume)
{
    return guarded(g_ext2_failure, false, [&] {
        free_ext2();
        auto s = std::make_unique<Ext2State>();
        if (!s->volume.open(volume, "ext2"))
            return false;
        g_ext2 = s.release();
        return true;
    });
}

extern "C" FSPROBE_API Ext2Group* ext2_searchfile(void)
{
    return guarded<Ext2Group*>(
        g_ext2_failure, nullptr,
        []() -> Ext2Group* {
            if (!g_ext2) {
                fail("no ext2 volume is open");
                return nullptr;
            }
            ext2_free_groups(*g_ext2);
            Ext2Builder builder(*g_ext2);
            ext::scan_lost_files(g_ext2->volume, builder, bg_progress);
            bg_progress.store(100, std::memory_order_relaxed);
            return g_ext2->head;
        },
        [] {
            // What the scan had found is dropped with it.
            if (g_ext2)
                ext2_free_groups(*g_ext2);
            bg_progress.store(100, std::memory_order_relaxed);
        });
}

extern "C" FSPROBE_API Ext2Group* ext2_get_next(Ext2Group* group)
{
    return guarded<Ext2Group*>(g_ext2_failure, nullptr, [&] { return group ? group->next : nullptr; });
}

extern "C" FSPROBE_API Ext2LostFile** ext2_get_filelist(Ext2Group* group)
{
    return guarded<Ext2LostFile**>(g_ext2_failure, nullptr, [&] { return group ? group->files : nullptr; });
}

extern "C" FSPROBE_API Ext2LostFile* ext2_get_file(Ext2Group* group, uint32_t index)
{
    return guarded<Ext2LostFile*>(g_ext2_failure, nullptr, [&]() -> Ext2LostFile* {
        if (!group || !group->files || index >= group->file_count)
            return nullptr;
        return group->files[index];
    });
}

extern "C" FSPROBE_API const char16_t* ext2_get_filename(const void* item, int32_t kind)
{
    return guarded<const char16_t*>(g_ext2_failure, nullptr, [&]() -> const char16_t* {
        if (!item)
            return nullptr;
        // The names lie at even offsets of records the engine allocates, so the
        // units are aligned although the records are packed.
        const auto* base = static_cast<const char*>(item);
        if (kind == EXT2_NAME_GROUP)
            return reinterpret_cast<const char16_t*>(base + offsetof(Ext2Group, name));
        if (kind == EXT2_NAME_FILE)
            return reinterpret_cast<const char16_t*>(base + offsetof(Ext2LostFile, name));
        return nullptr;
    });
}

extern "C" FSPROBE_API uint64_t ext2_get_filesize(const Ext2LostFile* file)
{
    return guarded<uint64_t>(g_ext2_failure, EXT2_NO_SIZE, [&] { return file ? file->size : EXT2_NO_SIZE; });
}

extern "C" FSPROBE_API uint32_t* ext2_get_fileblocklist(Ext2LostFile* file)
{
    return guarded<uint32_t*>(g_ext2_failure, nullptr, [&] { return file ? file->block_list : nullptr; });
}

extern "C" FSPROBE_API uint32_t ext2_get_blocksize(void)
{
    return guarded<uint32_t>(g_ext2_failure, 0, [] { return g_ext2 ? g_ext2->volume.block_size() : 0; });
}

extern "C" FSPROBE_API bool ext2_readfile(uintptr_t flag, uint32_t count_low, uint32_t count_high, uint64_t* out,
                                          uint32_t block_low, uint32_t block_high, void* buffer)
{
    return guarded(g_ext2_failure, false, [&] {
        if (out)
            *out = 0;
        if (!flag || !g_ext2 || !buffer || block_high != 0 || !g_ext2->volume.block_valid(block_low))
            return false;
        const u32 bs = g_ext2->volume.block_size();
        u64 count = std::min<u64>((u64(count_high) << 32) | count_low, bs);
        if (!g_ext2->volume.read_bytes(buffer, u64(block_low) * bs, count)) {
            fail(read_failure(g_ext2->volume.reader(), "ext2 block " + std::to_string(block_low)));
            return false;
        }
        if (out)
            *out = count;
        return true;
    });
}

extern "C" FSPROBE_API const char* ext2_last_failure(void) { return g_ext2_failure.text(); }

// ---------------------------------------------------------------- ext3 exports

extern "C" FSPROBE_API void ext3_exit(void)
{
    guarded_void(g_ext3_failure, free_ext3);
}

extern "C" FSPROBE_API bool ext3_init(BgVolume* volume)
{
    return guarded(g_ext3_failure, false, [&] {
        free_ext3();
        auto s = std::make_unique<Ext3State>();
        if (!s->volume.open(volume, "ext3"))
            return false;
        g_ext3 = s.release();
        return true;
    });
}

static Ext3DirNode* ext3_search(bool list_mode)
{
    if (!g_ext3) {
        fail("no ext3 volume is open");
        return nullptr;
    }
    g_ext3->list_mode = list_mode;
    if (!ext3_run_walk(*g_ext3)) {
        fail("the ext3 root directory cannot be read");
        return nullptr;
    }
    return g_ext3->root;
}

static void ext3_drop_results()
{
    if (g_ext3)
        ext3_free_results(*g_ext3);
}

extern "C" FSPROBE_API Ext3DirNode* ext3_searchfile(void)
{
    return guarded<Ext3DirNode*>(g_ext3_failure, nullptr, [] { return ext3_search(false); }, ext3_drop_results);
}

extern "C" FSPROBE_API Ext3FoundFile* ext3_searchfile2(void)
{
    return guarded<Ext3FoundFile*>(
        g_ext3_failure, nullptr, [] { return ext3_search(true) ? g_ext3->list : nullptr; }, ext3_drop_results);
}

static bool ext3_in_list_mode() { return g_ext3 && g_ext3->list_mode; }

extern "C" FSPROBE_API void* ext3_get_next(void* item)
{
    return guarded<void*>(g_ext3_failure, nullptr, [&]() -> void* {
        if (!item)
            return nullptr;
        if (ext3_in_list_mode())
            return static_cast<Ext3FoundFile*>(item)->next;
        return static_cast<Ext3DirNode*>(item)->next;
    });
}

extern "C" FSPROBE_API Ext3Entry** ext3_get_filelist(Ext3DirNode* node)
{
    return guarded<Ext3Entry**>(g_ext3_failure, nullptr, [&] { return node ? node->entries : nullptr; });
}

extern "C" FSPROBE_API Ext3Entry* ext3_get_file(Ext3DirNode* node, uint32_t index)
{
    return guarded<Ext3Entry*>(g_ext3_failure, nullptr, [&]() -> Ext3Entry* {
        if (!node || !node->entries || index >= reinterpret_cast<NodeBox*>(node)->count)
            return nullptr;
        return node->entries[index];
    });
}

extern "C" FSPROBE_API const char* ext3_get_filename(const void* item)
{
    return guarded<const char*>(g_ext3_failure, nullptr, [&]() -> const char* {
        if (!item)
            return nullptr;
        if (ext3_in_list_mode())
            return static_cast<const Ext3FoundFile*>(item)->name;
        return static_cast<const Ext3Entry*>(item)->name;
    });
}

extern "C" FSPROBE_API uint64_t ext3_get_filesize(const void* item)
{
    return guarded<uint64_t>(g_ext3_failure, EXT3_NO_SIZE, [&]() -> uint64_t {
        if (!item)
            return EXT3_NO_SIZE;
        if (ext3_in_list_mode())
            return static_cast<const Ext3FoundFile*>(item)->size;
        return static_cast<const Ext3Entry*>(item)->size;
    });
}

extern "C" FSPROBE_API uint8_t ext3_file_isdir(const Ext3Entry* entry)
{
    return guarded<uint8_t>(g_ext3_failure, 0, [&]() -> uint8_t { return entry ? entry->isdir : 0; });
}

extern "C" FSPROBE_API bool ext3_user_set_dirnum(Ext3DirNode* node, int32_t value)
{
    return guarded(g_ext3_failure, false, [&] {
        if (!node)
            return false;
        node->dirnum = value;
        return true;
    });
}

extern "C" FSPROBE_API int32_t ext3_user_get_dirnum(const Ext3DirNode* node)
{
    return guarded<int32_t>(g_ext3_failure, -1, [&] { return node ? node->dirnum : -1; });
}

extern "C" FSPROBE_API bool ext3_user_set_treenode(Ext3DirNode* node, void* value)
{
    return guarded(g_ext3_failure, false, [&] {
        if (!node)
            return false;
        node->treenode = value;
        return true;
    });
}

extern "C" FSPROBE_API void* ext3_user_get_treenode(const Ext3DirNode* node)
{
    return guarded<void*>(g_ext3_failure, nullptr, [&] { return node ? node->treenode : nullptr; });
}

extern "C" FSPROBE_API bool ext3_user_set_parantnode(Ext3DirNode* node, void* value)
{
    return guarded(g_ext3_failure, false, [&] {
        if (!node)
            return false;
        node->parent = value;
        return true;
    });
}

extern "C" FSPROBE_API void* ext3_user_get_parantnode(const Ext3DirNode* node)
{
    return guarded<void*>(g_ext3_failure, nullptr, [&] { return node ? node->parent : nullptr; });
}

extern "C" FSPROBE_API bool ext3_readfile2(Ext3FoundFile* file, uint64_t* out_count, uint64_t* position, void* buffer)
{
    return guarded(
        g_ext3_failure, false,
        [&] {
            if (out_count)
                *out_count = 0;
            if (!file || !g_ext3 || !position || !buffer) {
                if (g_ext3)
                    g_ext3->stream.reset();
                return false;
            }
            auto* box = reinterpret_cast<FoundBox*>(file);
            ext::ChunkResult r = g_ext3->stream.read(g_ext3->volume, file, box->inode, file->size, *position,
                                                     static_cast<u8*>(buffer));
            if (out_count)
                *out_count = r.count;
            return r.more;
        },
        [] {
            if (g_ext3)
                g_ext3->stream.reset();
        });
}

extern "C" FSPROBE_API const char* ext3_last_failure(void) { return g_ext3_failure.text(); }
