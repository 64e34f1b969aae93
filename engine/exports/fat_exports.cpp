// C exports of the FAT family: thin wrappers over the process-wide deleted
// search and format recovery. No exception leaves this file.
#include "../fat/DeletedSearch.h"
#include "../fat/FormatRecovery.h"

#include <fsprobe/fat.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

fsprobe::fat::DeletedSearch& deleted_search()
{
    static fsprobe::fat::DeletedSearch instance;
    return instance;
}

fsprobe::fat::FormatRecovery& format_recovery()
{
    static fsprobe::fat::FormatRecovery instance;
    return instance;
}

// Engine allocations end the process when they fail.
[[noreturn]] void out_of_memory()
{
    std::fputs("fsprobe: out of memory\n", stderr);
    std::exit(1);
}

} // namespace

extern "C" {

FSPROBE_API bool fat_init(BgVolume* volume)
{
    try {
        return deleted_search().open(volume);
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        return false;
    }
}

FSPROBE_API FatDirNode* fat_searchfile(int32_t start, uint32_t* file_count, uint32_t* dir_count)
{
    if (!start)
        return nullptr;
    try {
        return deleted_search().search(file_count, dir_count);
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        bg_progress.store(100);
        return nullptr;
    }
}

FSPROBE_API bool fat_readfile(FatEntry* entry, void* buffer, uint32_t length, uint64_t* position)
{
    return deleted_search().read_file(entry, buffer, length, position);
}

FSPROBE_API void fat_exit(void)
{
    deleted_search().close();
}

FSPROBE_API bool fat_fmtRec_init(BgVolume* volume)
{
    try {
        return format_recovery().open(volume);
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        return false;
    }
}

FSPROBE_API FatLostDir** fat_fmtRec_search(int32_t /*fs_code*/)
{
    try {
        return format_recovery().search();
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        bg_progress.store(100);
        return nullptr;
    }
}

FSPROBE_API void fat_fmtStop(void)
{
    format_recovery().stop();
}

FSPROBE_API bool fat_fmtRec_readfile(FatEntry* entry, void* buffer, uint32_t length, uint64_t* position)
{
    return format_recovery().read_file(entry, buffer, length, position);
}

FSPROBE_API int32_t fat_fmtRec_exit(void)
{
    format_recovery().close();
    return 0;
}

} // extern "C"
