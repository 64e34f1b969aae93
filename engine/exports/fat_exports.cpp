// C exports of the FAT family: thin wrappers over the process-wide deleted
// search and format recovery. No exception leaves this file.
#include "../fat/DeletedSearch.h"
#include "../fat/FormatRecovery.h"

#include <fsprobe/common/failure.h>
#include <fsprobe/fat.h>

using fsprobe::guarded;
using fsprobe::guarded_void;

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

// Why the last FAT call failed.
fsprobe::FailureReason g_failure;

// A scan that ends by an exception still ends: its watcher waits for 100.
void end_progress() { bg_progress.store(100); }

} // namespace

extern "C" {

FSPROBE_API bool fat_init(BgVolume* volume)
{
    return guarded(g_failure, false, [&] { return deleted_search().open(volume); });
}

FSPROBE_API FatDirNode* fat_searchfile(int32_t start, uint32_t* file_count, uint32_t* dir_count)
{
    return guarded<FatDirNode*>(
        g_failure, nullptr,
        [&]() -> FatDirNode* {
            if (!start)
                return nullptr;
            return deleted_search().search(file_count, dir_count);
        },
        end_progress);
}

FSPROBE_API bool fat_readfile(FatEntry* entry, void* buffer, uint32_t length, uint64_t* position)
{
    return guarded(g_failure, false, [&] { return deleted_search().read_file(entry, buffer, length, position); });
}

FSPROBE_API void fat_exit(void)
{
    guarded_void(g_failure, [] { deleted_search().close(); });
}

FSPROBE_API bool fat_fmtRec_init(BgVolume* volume)
{
    return guarded(g_failure, false, [&] { return format_recovery().open(volume); });
}

FSPROBE_API FatLostDir** fat_fmtRec_search(int32_t /*fs_code*/)
{
    return guarded<FatLostDir**>(g_failure, nullptr, [] { return format_recovery().search(); }, end_progress);
}

// Called from another thread while a search runs: it leaves the reason of
// that search alone (and a store to an atomic flag cannot throw).
FSPROBE_API void fat_fmtStop(void)
{
    format_recovery().stop();
}

FSPROBE_API bool fat_fmtRec_readfile(FatEntry* entry, void* buffer, uint32_t length, uint64_t* position)
{
    return guarded(g_failure, false, [&] { return format_recovery().read_file(entry, buffer, length, position); });
}

FSPROBE_API int32_t fat_fmtRec_exit(void)
{
    return guarded<int32_t>(g_failure, -1, [] {
        format_recovery().close();
        return 0;
    });
}

FSPROBE_API const char* fat_last_failure(void) { return g_failure.text(); }

} // extern "C"
