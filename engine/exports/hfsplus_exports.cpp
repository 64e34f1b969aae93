// C exports of the HFS+ family: argument checks and translation to the one
// process-wide engine object.
#include <fsprobe/hfsplus.h>

#include "../hfsplus/Engine.h"

#include <fsprobe/common/failure.h>

using namespace fsprobe::hfsplus;
using fsprobe::guarded;
using fsprobe::guarded_void;

namespace {

// Why the last HFS+ call failed.
fsprobe::FailureReason g_failure;

// A search that ends by an exception still ends: its watcher waits for 100.
void end_progress() { bg_progress.store(100, std::memory_order_relaxed); }

} // namespace

namespace {

Engine& engine()
{
    static Engine instance;
    return instance;
}

} // namespace

extern "C" {

FSPROBE_API bool hfsp_init(BgVolume* volume)
{
    return guarded(g_failure, false, [&] { return engine().open(volume); });
}

FSPROBE_API HfspFileRecord* hfsp_searchfile(void)
{
    return guarded<HfspFileRecord*>(g_failure, nullptr, [] { return engine().search(); }, end_progress);
}

FSPROBE_API HfspFileRecord* hfsp_get_next(HfspFileRecord* record)
{
    return guarded<HfspFileRecord*>(g_failure, nullptr, [&] { return record ? record->next : nullptr; });
}

FSPROBE_API HfspFileRecord* hfsp_get_pre(HfspFileRecord* record)
{
    return guarded<HfspFileRecord*>(g_failure, nullptr, [&] { return record ? record->pre : nullptr; });
}

FSPROBE_API char* hfsp_get_filename(HfspFileRecord* record)
{
    return guarded<char*>(g_failure, nullptr, [&] { return record ? record->name : nullptr; });
}

FSPROBE_API uint64_t hfsp_get_filesize(HfspFileRecord* record)
{
    return guarded<uint64_t>(g_failure, 0, [&] { return record ? record->size : 0; });
}

FSPROBE_API uint64_t hfsp_get_startsec(HfspFileRecord* record)
{
    return guarded<uint64_t>(g_failure, ~uint64_t(0), [&] { return record ? record->start : ~uint64_t(0); });
}

FSPROBE_API uint64_t hfsp_get_blocksize(void)
{
    return guarded<uint64_t>(g_failure, 0, [] { return engine().block_size(); });
}

FSPROBE_API bool hfsp_readfile(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer)
{
    return guarded(g_failure, false, [&] { return engine().read(record, length, position, buffer); });
}

FSPROBE_API int32_t hfsp_get_readerror(void)
{
    return guarded<int32_t>(g_failure, 1, [] { return engine().read_error(); });
}

FSPROBE_API void hfsp_exit(void)
{
    guarded_void(g_failure, [] { engine().close(); });
}

FSPROBE_API const char* hfsp_get_folder(const HfspFileRecord* record)
{
    return guarded<const char*>(g_failure, nullptr,
                                [&]() -> const char* { return record ? engine().folder_of(record) : nullptr; });
}

FSPROBE_API bool hfsp_get_times(const HfspFileRecord* record, FsprobeTimes* times)
{
    return guarded(g_failure, false, [&] {
        auto found = record ? engine().times_of(record) : std::nullopt;
        if (!times)
            return false;
        *times = found.value_or(FsprobeTimes {});
        return found.has_value();
    });
}

FSPROBE_API const char* hfsp_last_failure(void) { return g_failure.text(); }

} // extern "C"
