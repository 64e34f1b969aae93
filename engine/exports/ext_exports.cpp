// The ext2 and ext3 export families: translation between the C ABI and the
// engines in engine/ext. Each family keeps one process-wide engine object.
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include "../ext/LostFileSearch.h"
#include "../ext/TreeSearch.h"

#include <fsprobe/common/failure.h>

using namespace fsprobe;

namespace {

// The process-wide engines of the two families.
ext::LostFileSearch& lost_file_search()
{
    static ext::LostFileSearch instance;
    return instance;
}

ext::TreeSearch& tree_search()
{
    static ext::TreeSearch instance;
    return instance;
}

// Why the last call of each family failed.
FailureReason g_ext2_failure;
FailureReason g_ext3_failure;

// A scan that ends by an exception still ends: its watcher waits for 100.
void end_progress() { bg_progress.store(100, std::memory_order_relaxed); }

} // namespace

// ---------------------------------------------------------------- ext2 exports

extern "C" FSPROBE_API void ext2_exit(void)
{
    guarded_void(g_ext2_failure, [] { lost_file_search().close(); });
}

extern "C" FSPROBE_API bool ext2_init(BgVolume* volume)
{
    return guarded(g_ext2_failure, false, [&] { return lost_file_search().open(volume); });
}

extern "C" FSPROBE_API Ext2Group* ext2_searchfile(void)
{
    return guarded<Ext2Group*>(g_ext2_failure, nullptr, [] { return lost_file_search().search(bg_progress); },
                               end_progress);
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
    return guarded<uint32_t>(g_ext2_failure, 0, [] { return lost_file_search().block_size(); });
}

extern "C" FSPROBE_API bool ext2_readfile(uintptr_t flag, uint32_t count_low, uint32_t count_high, uint64_t* out,
                                          uint32_t block_low, uint32_t block_high, void* buffer)
{
    return guarded<bool>(g_ext2_failure, false, [&]() -> bool {
        u64 got = 0;
        bool ok = flag && block_high == 0
            && lost_file_search().read_block(block_low, (u64(count_high) << 32) | count_low, buffer, got);
        if (out)
            *out = got;
        return ok;
    });
}

// ---------------------------------------------------------------- ext3 exports

extern "C" FSPROBE_API void ext3_exit(void)
{
    guarded_void(g_ext3_failure, [] { tree_search().close(); });
}

extern "C" FSPROBE_API bool ext3_init(BgVolume* volume)
{
    return guarded(g_ext3_failure, false, [&] { return tree_search().open(volume); });
}

extern "C" FSPROBE_API Ext3DirNode* ext3_searchfile(void)
{
    return guarded<Ext3DirNode*>(g_ext3_failure, nullptr, [] { return tree_search().search_tree(); });
}

extern "C" FSPROBE_API Ext3FoundFile* ext3_searchfile2(void)
{
    return guarded<Ext3FoundFile*>(g_ext3_failure, nullptr, [] { return tree_search().search_list(); });
}

static bool ext3_in_list_mode() { return tree_search().list_mode(); }

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
        if (!node || !node->entries || index >= tree_search().entry_count(node))
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
    return guarded<bool>(g_ext3_failure, false, [&]() -> bool {
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
    return guarded<bool>(g_ext3_failure, false, [&]() -> bool {
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
    return guarded<bool>(g_ext3_failure, false, [&]() -> bool {
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
    return guarded<bool>(g_ext3_failure, false, [&]() -> bool {
        if (out_count)
            *out_count = 0;
        if (!file || !position || !buffer) {
            tree_search().reset_reader();
            return false;
        }
        ext::ChunkResult r = tree_search().read_chunk(file, *position, static_cast<u8*>(buffer));
        if (out_count)
            *out_count = r.count;
        return r.more;
    });
}

// ---------------------------------------------------------------- folders and times

namespace {

bool put_times(const std::optional<FsprobeTimes>& times, FsprobeTimes* out)
{
    if (!out)
        return false;
    *out = times.value_or(FsprobeTimes {});
    return times.has_value();
}

} // namespace

extern "C" FSPROBE_API const char* ext2_get_folder(const Ext2LostFile* file)
{
    return guarded<const char*>(g_ext2_failure, nullptr, [&]() -> const char* {
        return file ? lost_file_search().folder_of(file) : nullptr;
    });
}

extern "C" FSPROBE_API const char* ext2_get_realname(const Ext2LostFile* file)
{
    return guarded<const char*>(g_ext2_failure, nullptr, [&]() -> const char* {
        return file ? lost_file_search().name_of(file) : nullptr;
    });
}

extern "C" FSPROBE_API bool ext2_get_times(const Ext2LostFile* file, FsprobeTimes* times)
{
    return guarded<bool>(g_ext2_failure, false, [&]() -> bool {
        return put_times(file ? lost_file_search().times_of(file) : std::nullopt, times);
    });
}

extern "C" FSPROBE_API const char* ext3_get_folder(const Ext3FoundFile* file)
{
    return guarded<const char*>(g_ext3_failure, nullptr, [&]() -> const char* {
        return file ? tree_search().folder_of(file) : nullptr;
    });
}

extern "C" FSPROBE_API bool ext3_get_times(const Ext3FoundFile* file, FsprobeTimes* times)
{
    return guarded<bool>(g_ext3_failure, false, [&]() -> bool {
        return put_times(file ? tree_search().times_of(file) : std::nullopt, times);
    });
}

extern "C" FSPROBE_API const char* ext2_last_failure(void) { return g_ext2_failure.text(); }

extern "C" FSPROBE_API const char* ext3_last_failure(void) { return g_ext3_failure.text(); }
