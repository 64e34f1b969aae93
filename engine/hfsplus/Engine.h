// The process-wide HFS+ engine behind the hfsp_ exports (one volume at a time).
#pragma once

#include <fsprobe/hfsplus.h>

#include <cstdint>

namespace fsprobe::hfsplus {

bool engine_init(BgVolume* volume);
HfspFileRecord* engine_search();
uint64_t engine_block_size();
bool engine_read(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer);
int32_t engine_read_error();
void engine_exit();

} // namespace fsprobe::hfsplus
