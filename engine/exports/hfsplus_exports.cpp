// C exports of the HFS+ family: argument checks and translation to the one
// process-wide engine object.
#include <fsprobe/hfsplus.h>

#include "../hfsplus/Engine.h"

using namespace fsprobe::hfsplus;

namespace {

Engine& engine()
{
    static Engine instance;
    return instance;
}

} // namespace

extern "C" {

FSPROBE_API bool hfsp_init(BgVolume* volume) { return engine().open(volume); }

FSPROBE_API HfspFileRecord* hfsp_searchfile(void) { return engine().search(); }

FSPROBE_API HfspFileRecord* hfsp_get_next(HfspFileRecord* record) { return record ? record->next : nullptr; }

FSPROBE_API HfspFileRecord* hfsp_get_pre(HfspFileRecord* record) { return record ? record->pre : nullptr; }

FSPROBE_API char* hfsp_get_filename(HfspFileRecord* record) { return record ? record->name : nullptr; }

FSPROBE_API uint64_t hfsp_get_filesize(HfspFileRecord* record) { return record ? record->size : 0; }

FSPROBE_API uint64_t hfsp_get_startsec(HfspFileRecord* record) { return record ? record->start : ~uint64_t(0); }

FSPROBE_API uint64_t hfsp_get_blocksize(void) { return engine().block_size(); }

FSPROBE_API bool hfsp_readfile(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer)
{
    return engine().read(record, length, position, buffer);
}

FSPROBE_API int32_t hfsp_get_readerror(void) { return engine().read_error(); }

FSPROBE_API void hfsp_exit(void) { engine().close(); }

FSPROBE_API const char* hfsp_get_folder(const HfspFileRecord* record)
{
    return record ? engine().folder_of(record) : nullptr;
}

FSPROBE_API bool hfsp_get_times(const HfspFileRecord* record, FsprobeTimes* times)
{
    auto found = record ? engine().times_of(record) : std::nullopt;
    if (!times)
        return false;
    *times = found.value_or(FsprobeTimes {});
    return found.has_value();
}

} // extern "C"
