// C exports of the HFS+ family: argument checks and translation only.
#include <fsprobe/hfsplus.h>

#include "../hfsplus/Engine.h"

using namespace fsprobe::hfsplus;

extern "C" {

FSPROBE_API bool hfsp_init(BgVolume* volume) { return engine_init(volume); }

FSPROBE_API HfspFileRecord* hfsp_searchfile(void) { return engine_search(); }

FSPROBE_API HfspFileRecord* hfsp_get_next(HfspFileRecord* record) { return record ? record->next : nullptr; }

FSPROBE_API HfspFileRecord* hfsp_get_pre(HfspFileRecord* record) { return record ? record->pre : nullptr; }

FSPROBE_API char* hfsp_get_filename(HfspFileRecord* record) { return record ? record->name : nullptr; }

FSPROBE_API uint64_t hfsp_get_filesize(HfspFileRecord* record) { return record ? record->size : 0; }

FSPROBE_API uint64_t hfsp_get_startsec(HfspFileRecord* record) { return record ? record->start : ~uint64_t(0); }

FSPROBE_API uint64_t hfsp_get_blocksize(void) { return engine_block_size(); }

FSPROBE_API bool hfsp_readfile(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer)
{
    return engine_read(record, length, position, buffer);
}

FSPROBE_API int32_t hfsp_get_readerror(void) { return engine_read_error(); }

FSPROBE_API void hfsp_exit(void) { engine_exit(); }

} // extern "C"
