// The ext2 and ext3 export families: translation between the C ABI and the
// engines in engine/ext. Each family keeps one process-wide engine object.
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include "../ext/LostFileSearch.h"
#include "../ext/TreeSearch.h"

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

} // namespace

// ---------------------------------------------------------------- ext2 exports

extern "C" FSPROBE_API void ext2_exit(void) { lost_file_search().close(); }

extern "C" FSPROBE_API bool ext2_init(BgVolume* volume) { return lost_file_search().open(volume); }

extern "C" FSPROBE_API Ext2Group* ext2_searchfile(void) { return lost_file_search().search(bg_progress); }

extern "C" FSPROBE_API Ext2Group* ext2_get_next(Ext2Group* group) { return group ? group->next : nullptr; }

extern "C" FSPROBE_API Ext2LostFile** ext2_get_filelist(Ext2Group* group) { return group ? group->files : nullptr; }

extern "C" FSPROBE_API Ext2LostFile* ext2_get_file(Ext2Group* group, uint32_t index)
{
    if (!group || !group->files || index >= group->file_count)
        return nullptr;
    return group->files[index];
}

extern "C" FSPROBE_API const char16_t* ext2_get_filename(const void* item, int32_t kind)
{
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
}

extern "C" FSPROBE_API uint64_t ext2_get_filesize(const Ext2LostFile* file) { return file ? file->size : EXT2_NO_SIZE; }

extern "C" FSPROBE_API uint32_t* ext2_get_fileblocklist(Ext2LostFile* file) { return file ? file->block_list : nullptr; }

extern "C" FSPROBE_API uint32_t ext2_get_blocksize(void) { return lost_file_search().block_size(); }

extern "C" FSPROBE_API bool ext2_readfile(uintptr_t flag, uint32_t count_low, uint32_t count_high, uint64_t* out,
                                          uint32_t block_low, uint32_t block_high, void* buffer)
{
    u64 got = 0;
    bool ok = flag && block_high == 0
        && lost_file_search().read_block(block_low, (u64(count_high) << 32) | count_low, buffer, got);
    if (out)
        *out = got;
    return ok;
}

// ---------------------------------------------------------------- ext3 exports

extern "C" FSPROBE_API void ext3_exit(void) { tree_search().close(); }

extern "C" FSPROBE_API bool ext3_init(BgVolume* volume) { return tree_search().open(volume); }

extern "C" FSPROBE_API Ext3DirNode* ext3_searchfile(void) { return tree_search().search_tree(); }

extern "C" FSPROBE_API Ext3FoundFile* ext3_searchfile2(void) { return tree_search().search_list(); }

static bool ext3_in_list_mode() { return tree_search().list_mode(); }

extern "C" FSPROBE_API void* ext3_get_next(void* item)
{
    if (!item)
        return nullptr;
    if (ext3_in_list_mode())
        return static_cast<Ext3FoundFile*>(item)->next;
    return static_cast<Ext3DirNode*>(item)->next;
}

extern "C" FSPROBE_API Ext3Entry** ext3_get_filelist(Ext3DirNode* node) { return node ? node->entries : nullptr; }

extern "C" FSPROBE_API Ext3Entry* ext3_get_file(Ext3DirNode* node, uint32_t index)
{
    if (!node || !node->entries || index >= tree_search().entry_count(node))
        return nullptr;
    return node->entries[index];
}

extern "C" FSPROBE_API const char* ext3_get_filename(const void* item)
{
    if (!item)
        return nullptr;
    if (ext3_in_list_mode())
        return static_cast<const Ext3FoundFile*>(item)->name;
    return static_cast<const Ext3Entry*>(item)->name;
}

extern "C" FSPROBE_API uint64_t ext3_get_filesize(const void* item)
{
    if (!item)
        return EXT3_NO_SIZE;
    if (ext3_in_list_mode())
        return static_cast<const Ext3FoundFile*>(item)->size;
    return static_cast<const Ext3Entry*>(item)->size;
}

extern "C" FSPROBE_API uint8_t ext3_file_isdir(const Ext3Entry* entry) { return entry ? entry->isdir : 0; }

extern "C" FSPROBE_API bool ext3_user_set_dirnum(Ext3DirNode* node, int32_t value)
{
    if (!node)
        return false;
    node->dirnum = value;
    return true;
}

extern "C" FSPROBE_API int32_t ext3_user_get_dirnum(const Ext3DirNode* node) { return node ? node->dirnum : -1; }

extern "C" FSPROBE_API bool ext3_user_set_treenode(Ext3DirNode* node, void* value)
{
    if (!node)
        return false;
    node->treenode = value;
    return true;
}

extern "C" FSPROBE_API void* ext3_user_get_treenode(const Ext3DirNode* node) { return node ? node->treenode : nullptr; }

extern "C" FSPROBE_API bool ext3_user_set_parantnode(Ext3DirNode* node, void* value)
{
    if (!node)
        return false;
    node->parent = value;
    return true;
}

extern "C" FSPROBE_API void* ext3_user_get_parantnode(const Ext3DirNode* node) { return node ? node->parent : nullptr; }

extern "C" FSPROBE_API bool ext3_readfile2(Ext3FoundFile* file, uint64_t* out_count, uint64_t* position, void* buffer)
{
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
    return file ? lost_file_search().folder_of(file) : nullptr;
}

extern "C" FSPROBE_API const char* ext2_get_realname(const Ext2LostFile* file)
{
    return file ? lost_file_search().name_of(file) : nullptr;
}

extern "C" FSPROBE_API bool ext2_get_times(const Ext2LostFile* file, FsprobeTimes* times)
{
    return put_times(file ? lost_file_search().times_of(file) : std::nullopt, times);
}

extern "C" FSPROBE_API const char* ext3_get_folder(const Ext3FoundFile* file)
{
    return file ? tree_search().folder_of(file) : nullptr;
}

extern "C" FSPROBE_API bool ext3_get_times(const Ext3FoundFile* file, FsprobeTimes* times)
{
    return put_times(file ? tree_search().times_of(file) : std::nullopt, times);
}
