#include "Engine.h"

#include "CatalogScan.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>
#include <fsprobe/common/utf.h>

#include <algorithm>
#include <cstring>

namespace fsprobe::hfsplus {

namespace {

struct EngineState {
    BgVolume* volume = nullptr;
    VolumeHeader* header = nullptr; // converted header, engine-allocated
    VolumeAccess access;
    HfspFileRecord* head = nullptr;
    // The file being read.
    HfspFileRecord* reading = nullptr;
    u64 remaining = 0;
    u64 logical = 0;
    int32_t read_error = 0;
    // Progress of the search.
    double threshold = 0.05;
};

EngineState g_state;

void free_records()
{
    HfspFileRecord* r = g_state.head;
    while (r) {
        HfspFileRecord* next = r->next;
        engine_free(r->extents);
        engine_free(r);
        r = next;
    }
    g_state.head = nullptr;
    g_state.reading = nullptr;
    g_state.remaining = 0;
    g_state.logical = 0;
}

// Allocation blocks are powers of two from 512 bytes; anything above 1 MiB is
// taken as a damaged header (callers allocate one block per read).
constexpr u32 kMaxBlockSize = 1u << 20;

bool block_size_usable(u32 block_size)
{
    return is_power_of_two(block_size) && block_size >= 512 && block_size <= kMaxBlockSize;
}

void raise_progress(double fraction)
{
    // Steps of 5; 100 is left for the end of the search.
    while (fraction >= g_state.threshold && bg_progress.load(std::memory_order_relaxed) < 95) {
        bg_progress.fetch_add(5, std::memory_order_relaxed);
        g_state.threshold += 0.05;
    }
}

void fill_record(HfspFileRecord& record, const Candidate& c, u32 block_size);

// A record of its own (freed again when filling it fails).
HfspFileRecord* make_record(const Candidate& c, u32 block_size)
{
    auto* r = engine_new_zeroed<HfspFileRecord>();
    try {
        fill_record(*r, c, block_size);
    } catch (...) {
        engine_free(r);
        throw;
    }
    return r;
}

void fill_record(HfspFileRecord& record, const Candidate& c, u32 block_size)
{
    HfspFileRecord* r = &record;
    std::string name = utf8_truncate(c.name, HFSP_NAME_BYTES - 1);
    std::memcpy(r->name, name.data(), name.size());
    r->size = c.logical_size;
    r->file_id = c.file_id;
    r->parent_id = c.parent_id;
    r->found_in = c.found_in;
    r->extent_count = u32(c.extents.size());
    if (!c.extents.empty()) {
        r->extents = engine_new_zeroed<HfspExtent>(c.extents.size());
        for (size_t i = 0; i < c.extents.size(); ++i)
            r->extents[i] = { c.extents[i].start_block, c.extents[i].block_count };
        r->start = u64(c.extents[0].start_block) * block_size;
    }
}

ForkMap record_map(const HfspFileRecord* r, u32 block_size)
{
    ForkMap map(block_size);
    for (u32 i = 0; r->extents && i < r->extent_count; ++i)
        map.append(r->extents[i].start_block, r->extents[i].block_count);
    return map;
}

} // namespace

bool engine_init(BgVolume* volume)
{
    if (!volume) {
        fail("no volume was given");
        return false;
    }
    engine_exit();
    BgReader* reader = volume->reader;
    if (!reader || !reader->read) {
        fail("the volume has no reader");
        return false;
    }
    u64 size = volume->size;
    if (reader->size)
        size = size ? std::min(size, reader->size(reader)) : reader->size(reader);
    u8 raw[kVolumeHeaderSize];
    VolumeAccess probe { reader, size, 0, 0 };
    if (!probe.read(raw, sizeof raw, kVolumeHeaderOffset)) {
        fail(read_failure(reader, "the HFS+ volume header"));
        return false;
    }
    VolumeHeader h = convert_volume_header(raw);
    if (h.signature != kSignatureHfsPlus && h.signature != kSignatureHfsx) {
        fail("the HFS+ volume header signature is wrong");
        return false;
    }
    if (!block_size_usable(h.block_size)) {
        fail("the HFS+ volume header gives an invalid block size");
        return false;
    }
    g_state.volume = volume;
    g_state.header = engine_new_zeroed<VolumeHeader>();
    *g_state.header = h;
    g_state.access = { reader, size, h.block_size, h.total_blocks };
    return true;
}

HfspFileRecord* engine_search()
{
    bg_progress.store(0, std::memory_order_relaxed);
    g_state.threshold = 0.05;
    free_records();
    if (!g_state.header || g_state.header->total_blocks == 0) {
        fail(g_state.header ? "the HFS+ volume header gives no blocks" : "no HFS+ volume is open");
        bg_progress.store(100, std::memory_order_relaxed);
        return nullptr;
    }
    ScanHooks hooks;
    hooks.progress = raise_progress;
    hooks.cancel = [] { return bg_progress.load(std::memory_order_relaxed) >= 100 || bg_stop_requested(); };
    auto result = scan_catalog(g_state.access, *g_state.header, hooks);
    if (result) {
        HfspFileRecord* tail = nullptr;
        for (const auto& c : result->deleted) {
            HfspFileRecord* r = make_record(c, g_state.access.block_size);
            r->pre = tail;
            if (tail)
                tail->next = r;
            else
                g_state.head = r;
            tail = r;
        }
    }
    bg_progress.store(100, std::memory_order_relaxed);
    return g_state.head;
}

uint64_t engine_block_size() { return g_state.header ? g_state.header->block_size : 0; }

bool engine_read(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer)
{
    if (!record || !length || !position || !buffer || !g_state.header) {
        g_state.reading = nullptr;
        g_state.remaining = 0;
        if (length)
            *length = 0;
        return false;
    }
    const u32 k = g_state.access.block_size;
    if (record != g_state.reading || g_state.remaining == 0) {
        g_state.reading = record;
        g_state.remaining = record->size;
        g_state.logical = 0;
        g_state.read_error = 0;
        if (*position == 0)
            *position = record->start;
    }
    ForkMap map = record_map(record, k);
    u64 chunk = std::min<u64>(g_state.remaining, k);
    std::memset(buffer, 0, k);
    bool ok = true;
    if (chunk > 0) {
        auto piece = map.map(g_state.logical);
        ok = piece && piece->contiguous >= chunk && g_state.access.read(buffer, chunk, piece->volume_offset);
    }
    if (!ok) {
        g_state.read_error = 1;
        g_state.remaining = 0;
        g_state.reading = nullptr;
        *length = 0;
        return false;
    }
    if (g_state.remaining > k) {
        g_state.remaining -= k;
        g_state.logical += k;
        auto next = map.map(g_state.logical);
        *position = next ? next->volume_offset : *position + k;
        *length = k;
        return true;
    }
    g_state.remaining = 0;
    g_state.reading = nullptr;
    *length = 0;
    return false;
}

int32_t engine_read_error() { return g_state.read_error; }

void engine_exit()
{
    free_records();
    engine_free(g_state.header);
    g_state.header = nullptr;
    g_state.volume = nullptr;
    g_state.access = {};
    g_state.read_error = 0;
}

} // namespace fsprobe::hfsplus
