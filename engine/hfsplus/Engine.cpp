#include "Engine.h"

#include "CatalogScan.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>
#include <fsprobe/common/utf.h>

#include <algorithm>
#include <cstring>

namespace fsprobe::hfsplus {

namespace {

// Allocation blocks are powers of two from 512 bytes; anything above 1 MiB is
// taken as a damaged header (callers allocate one block per read).
constexpr u32 kMaxBlockSize = 1u << 20;

bool block_size_usable(u32 block_size)
{
    return is_power_of_two(block_size) && block_size >= 512 && block_size <= kMaxBlockSize;
}

// One date of a catalog record as a time stamp; 0 is unset.
FsprobeTime hfs_date(u32 date)
{
    FsprobeTime t {};
    if (date != 0) {
        t.present = 1;
        t.seconds = i64(date) - kSecondsFrom1904To1970;
    }
    return t;
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

void Engine::free_records()
{
    HfspFileRecord* r = m_head;
    while (r) {
        HfspFileRecord* next = r->next;
        engine_free(r->extents);
        engine_free(r);
        r = next;
    }
    m_head = nullptr;
    m_reading = nullptr;
    m_remaining = 0;
    m_logical = 0;
    m_dates.clear();
    m_folders.clear();
    m_paths.clear();
}

void Engine::raise_progress(double fraction)
{
    // Steps of 5; 100 is left for the end of the search.
    while (fraction >= m_threshold && bg_progress.load(std::memory_order_relaxed) < 95) {
        bg_progress.fetch_add(5, std::memory_order_relaxed);
        m_threshold += 0.05;
    }
}

bool Engine::open(BgVolume* volume)
{
    if (!volume) {
        fail("no volume was given");
        return false;
    }
    close();
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
    m_volume = volume;
    m_header = engine_new_zeroed<VolumeHeader>();
    *m_header = h;
    m_access = { reader, size, h.block_size, h.total_blocks };
    return true;
}

HfspFileRecord* Engine::search()
{
    bg_progress.store(0, std::memory_order_relaxed);
    m_threshold = 0.05;
    free_records();
    if (!m_header || m_header->total_blocks == 0) {
        fail(m_header ? "the HFS+ volume header gives no blocks" : "no HFS+ volume is open");
        bg_progress.store(100, std::memory_order_relaxed);
        return nullptr;
    }
    ScanHooks hooks;
    hooks.progress = [this](double fraction) { raise_progress(fraction); };
    hooks.cancel = [] { return bg_progress.load(std::memory_order_relaxed) >= 100 || bg_stop_requested(); };
    auto result = scan_catalog(m_access, *m_header, hooks);
    if (result) {
        HfspFileRecord* tail = nullptr;
        for (const auto& c : result->deleted) {
            HfspFileRecord* r = make_record(c, m_access.block_size);
            m_dates[r] = Dates { c.create_date, c.content_mod_date, c.attribute_mod_date, c.access_date };
            r->pre = tail;
            if (tail)
                tail->next = r;
            else
                m_head = r;
            tail = r;
        }
        m_folders = std::move(result->folders);
    }
    bg_progress.store(100, std::memory_order_relaxed);
    return m_head;
}

uint64_t Engine::block_size() const { return m_header ? m_header->block_size : 0; }

bool Engine::read(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer)
{
    if (!record || !length || !position || !buffer || !m_header) {
        m_reading = nullptr;
        m_remaining = 0;
        if (length)
            *length = 0;
        return false;
    }
    const u32 k = m_access.block_size;
    if (record != m_reading || m_remaining == 0) {
        m_reading = record;
        m_remaining = record->size;
        m_logical = 0;
        m_read_error = 0;
        if (*position == 0)
            *position = record->start;
    }
    ForkMap map = record_map(record, k);
    u64 chunk = std::min<u64>(m_remaining, k);
    std::memset(buffer, 0, k);
    bool ok = true;
    if (chunk > 0) {
        auto piece = map.map(m_logical);
        ok = piece && piece->contiguous >= chunk && m_access.read(buffer, chunk, piece->volume_offset);
    }
    if (!ok) {
        m_read_error = 1;
        m_remaining = 0;
        m_reading = nullptr;
        *length = 0;
        return false;
    }
    if (m_remaining > k) {
        m_remaining -= k;
        m_logical += k;
        auto next = map.map(m_logical);
        *position = next ? next->volume_offset : *position + k;
        *length = k;
        return true;
    }
    m_remaining = 0;
    m_reading = nullptr;
    *length = 0;
    return false;
}

const char* Engine::folder_of(const HfspFileRecord* record)
{
    if (!m_dates.count(record))
        return nullptr;
    u32 parent = record->parent_id;
    auto it = m_paths.find(parent);
    if (it == m_paths.end())
        it = m_paths.emplace(parent, folder_path(m_folders, parent).value_or(std::string())).first;
    return it->second.c_str();
}

std::optional<FsprobeTimes> Engine::times_of(const HfspFileRecord* record) const
{
    auto it = m_dates.find(record);
    if (it == m_dates.end())
        return std::nullopt;
    FsprobeTimes t {};
    t.created = hfs_date(it->second.create);
    t.modified = hfs_date(it->second.content_modify);
    t.changed = hfs_date(it->second.attribute_modify);
    t.accessed = hfs_date(it->second.access);
    return t;
}

void Engine::close()
{
    free_records();
    engine_free(m_header);
    m_header = nullptr;
    m_volume = nullptr;
    m_access = {};
    m_read_error = 0;
}

} // namespace fsprobe::hfsplus
