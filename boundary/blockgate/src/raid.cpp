// Virtual volumes over RAID members and the RAID exports.
#include "internal.h"
#include "raid_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace blockgate {

extern thread_local int g_read_errno;

namespace {

    void find_direct_paths(RaidLayout& layout);

    // Disk number of every virtual volume (never given to a real disk).
    constexpr int32_t virtual_disk_number = 16;

    // One open virtual volume: a disk assembled from the members, and the volume
    // covering the whole of it.
    struct VirtualArray {
        Disk disk; // reads through `assembled`; its volumes are the partitions inside
        BgReader assembled {}; // the array's own reader
        std::unique_ptr<Volume> whole;
        BgReader* through = nullptr; // the member read while no layout is published
        uint64_t first_byte = 0; // where the array's data starts on that member
        std::string name;

        std::mutex lock;
        bool seen_valid = false; // whether `seen` holds a record compiled before
        RaidParams seen {};
        bool layout_ok = false;
        RaidLayout layout;

        enum class Mode { single, mapped, broken };
        // What reads go through now. Called with `lock` held.
        Mode mode()
        {
            RaidParams* ctx = bg_raid_context.load();
            if (!ctx || !whole || ctx->open != 1 || ctx->volume != &whole->record)
                return Mode::single;
            if (!seen_valid || std::memcmp(&seen, ctx, sizeof seen) != 0) {
                std::memcpy(&seen, ctx, sizeof seen);
                seen_valid = true;
                std::string reason;
                layout_ok = compile_layout(seen, layout, reason);
                if (layout_ok)
                    find_direct_paths(layout);
            }
            return layout_ok ? Mode::mapped : Mode::broken;
        }

        uint64_t size_now()
        {
            std::lock_guard guard(lock);
            switch (mode()) {
            case Mode::mapped:
                return layout.size();
            case Mode::broken:
                return 0;
            case Mode::single:
                break;
            }
            const uint64_t s = through->size ? through->size(through) : 0;
            return s > first_byte ? s - first_byte : 0;
        }
    };

    VirtualArray* array_of(BgReader* r) { return static_cast<VirtualArray*>(r->impl); }

    uint32_t array_read_op(BgReader* r, void* buffer, uint32_t count, uint64_t offset)
    {
        VirtualArray* a = array_of(r);
        std::lock_guard guard(a->lock);
        switch (a->mode()) {
        case VirtualArray::Mode::mapped:
            return read_layout(a->layout, buffer, count, offset);
        case VirtualArray::Mode::broken:
            g_read_errno = EINVAL;
            return 0;
        case VirtualArray::Mode::single:
            break;
        }
        g_read_errno = 0;
        BgReader* m = a->through;
        const uint64_t s = m->size ? m->size(m) : 0;
        const uint64_t length = s > a->first_byte ? s - a->first_byte : 0;
        if (offset >= length)
            return 0;
        const auto n = uint32_t(std::min<uint64_t>(count, length - offset));
        return m->read(m, buffer, n, a->first_byte + offset);
    }

    uint32_t array_write_op(BgReader*, const void*, uint32_t, uint64_t)
    {
        errno = EPERM;
        return 0;
    }

    int32_t array_commit_op(BgReader*) { return 0; }

    uint64_t array_size_op(BgReader* r) { return array_of(r)->size_now(); }

    std::mutex g_arrays_lock;
    std::vector<std::unique_ptr<VirtualArray>> g_arrays;

    // A part of another object.
    struct Window {
        BgReader reader {};
        BgReader* object = nullptr;
        uint64_t offset = 0;
        uint64_t length = 0;
        std::string name;
        uint8_t stream_flag = 1;
    };
    std::vector<std::unique_ptr<Window>> g_windows;

    Window* window_of(BgReader* r) { return static_cast<Window*>(r->impl); }

    uint32_t window_read_op(BgReader* r, void* buffer, uint32_t count, uint64_t offset)
    {
        Window* w = window_of(r);
        if (offset >= w->length) {
            g_read_errno = 0;
            return 0;
        }
        const auto n = uint32_t(std::min<uint64_t>(count, w->length - offset));
        return w->object->read(w->object, buffer, n, w->offset + offset);
    }

    uint64_t window_size_op(BgReader* r) { return window_of(r)->length; }

    // Members that are image files of this library (or windows of them) are read
    // straight from the file.
    void find_direct_paths(RaidLayout& layout)
    {
        for (uint32_t i = 0; i < layout.members; ++i) {
            layout.fd[i] = -1;
            BgReader* r = layout.member[i];
            if (r == BG_RAID_MISSING)
                continue;
            uint64_t base = 0;
            uint64_t length = r->size(r);
            while (r->read == &window_read_op) {
                Window* w = window_of(r);
                base += w->offset;
                r = w->object;
            }
            if (Disk* d = image_disk_of(r)) {
                if (base > d->size)
                    continue;
                layout.fd[i] = d->fd;
                layout.base[i] = base;
                layout.limit[i] = std::min(length, d->size - base);
            }
        }
    }

    // The array whose whole volume is `volume`. Called with g_arrays_lock held.
    VirtualArray* find_array(const BgVolume* volume)
    {
        for (auto& a : g_arrays)
            if (&a->whole->record == volume)
                return a.get();
        return nullptr;
    }

    void unpublish(VirtualArray& a)
    {
        RaidParams* ctx = bg_raid_context.load();
        if (ctx && ctx->volume == &a.whole->record)
            bg_raid_context.store(nullptr);
    }

} // namespace

void append_array_volumes(std::vector<BgVolumeNode>& nodes)
{
    std::lock_guard guard(g_arrays_lock);
    for (auto& a : g_arrays) {
        if (a->disk.volumes.empty())
            nodes.push_back({ nullptr, &a->whole->record });
        for (auto& v : a->disk.volumes)
            nodes.push_back({ nullptr, &v->record });
    }
}

void release_arrays()
{
    std::vector<std::unique_ptr<VirtualArray>> gone;
    {
        std::lock_guard guard(g_arrays_lock);
        gone.swap(g_arrays);
    }
    for (auto& a : gone)
        unpublish(*a);
    gone.clear();
    std::lock_guard guard(g_arrays_lock);
    g_windows.clear();
}

} // namespace blockgate

using namespace blockgate;

extern "C" {

BG_API std::atomic<RaidParams*> bg_raid_context { nullptr };
BG_API std::atomic<int32_t> bg_raid_state { 0 };

BG_API BgVolume* bg_open_virtual_volume(BgReader* const* members, const BgRaidOpen* layout)
{
    if (!members || !layout)
        return nullptr;
    BgReader* through = nullptr;
    // The list may sit unaligned inside a packed record: entries are copied out.
    const auto* bytes = reinterpret_cast<const uint8_t*>(members);
    for (uint32_t i = 0; i <= BG_RAID_MAX_MEMBERS; ++i) {
        BgReader* entry = nullptr;
        std::memcpy(&entry, bytes + i * sizeof entry, sizeof entry);
        if (!entry)
            break;
        const bool wanted = layout->member == 0xFF ? entry != BG_RAID_MISSING : i == layout->member;
        if (wanted) {
            through = entry;
            break;
        }
    }
    if (!through || through == BG_RAID_MISSING || !through->read || !through->size)
        return nullptr;
    const uint32_t bps = through->bytes_per_sector ? through->bytes_per_sector : 512;
    const uint64_t first_byte = uint64_t(layout->first_sector) * bps;
    if (first_byte >= through->size(through))
        return nullptr;

    auto a = std::make_unique<VirtualArray>();
    a->through = through;
    a->first_byte = first_byte;
    a->name = std::string("raid:") + (through->name ? through->name : "member");
    BgReader& r = a->assembled;
    r.disk_number = virtual_disk_number;
    r.name = a->name.c_str();
    r.write = &array_write_op;
    r.read = &array_read_op;
    r.size = &array_size_op;
    r.commit = &array_commit_op;
    r.tracks_per_cylinder = 255;
    r.sectors_per_track = 63;
    r.bytes_per_sector = bps;
    r.handle = -1;
    r.stream_flag = &a->disk.stream_flag;
    r.impl = a.get();

    Disk& d = a->disk;
    d.path = a->name;
    d.is_image = true;
    d.source = &a->assembled;
    d.sector_size = bps;
    d.size = array_size_op(&r);
    init_disk_reader(d, virtual_disk_number);

    a->whole = std::make_unique<Volume>();
    Volume& v = *a->whole;
    v.disk = &d;
    v.start = 0;
    v.length = d.size;
    v.whole_source = true;
    v.name = a->name;
    init_volume_reader(v);
    std::memset(&v.record, 0, sizeof v.record);
    v.record.disk_number = virtual_disk_number;
    v.record.size = d.size;
    v.record.drive_letter = '?';
    v.record.reader = &v.reader;
    v.record.boot_sector = v.boot;
    if (v.reader.read(&v.reader, v.boot, 512, 0) == 512)
        v.record.fs_code = detect_file_system(&v.reader, v.boot);

    BgVolume* out = &v.record;
    std::lock_guard guard(g_arrays_lock);
    g_arrays.push_back(std::move(a));
    return out;
}

BG_API int32_t bg_probe_volume(BgVolume* volume)
{
    if (!volume)
        return -1;
    VirtualArray* a = nullptr;
    {
        std::lock_guard guard(g_arrays_lock);
        a = find_array(volume);
    }
    if (!a) {
        // Any other volume: its file system judged afresh.
        BgReader* r = volume->reader;
        uint8_t boot[512] {};
        if (!r || !r->read || r->read(r, boot, 512, 0) != 512)
            return -1;
        return detect_file_system(r, boot);
    }
    Volume& v = *a->whole;
    Disk& d = a->disk;
    d.size = array_size_op(&a->assembled);
    v.length = d.size;
    v.record.size = d.size;
    init_disk_reader(d, virtual_disk_number);
    std::vector<std::unique_ptr<Volume>> old;
    old.swap(d.volumes);
    std::memset(v.boot, 0, sizeof v.boot);
    int32_t result = -1;
    v.record.fs_code = BG_FS_UNKNOWN;
    if (d.size >= 512 && v.reader.read(&v.reader, v.boot, 512, 0) == 512) {
        v.record.fs_code = detect_file_system(&v.reader, v.boot);
        result = v.record.fs_code;
        if (v.record.fs_code == BG_FS_UNKNOWN) {
            // An array holding a partition table: its partitions are volumes.
            TableScan t = scan_tables(d);
            if (t.has_table && !t.bare_file_system) {
                d.sector_size = t.sector_size;
                for (size_t i = 0; i < t.partitions.size(); ++i)
                    add_volume(d, t.partitions[i].start, t.partitions[i].length, a->name + "#" + std::to_string(i + 1));
            }
        }
    }
    rebuild_volume_list();
    return result;
}

BG_API uint32_t bg_virtual_partitions(BgVolume* volume, BgVolume** out, uint32_t capacity)
{
    std::lock_guard guard(g_arrays_lock);
    VirtualArray* a = volume ? find_array(volume) : nullptr;
    if (!a)
        return 0;
    const auto& parts = a->disk.volumes;
    for (uint32_t i = 0; out && i < capacity && i < parts.size(); ++i)
        out[i] = &parts[i]->record;
    return uint32_t(parts.size());
}

BG_API void bg_close_volume(BgVolume* volume)
{
    std::unique_ptr<VirtualArray> gone;
    {
        std::lock_guard guard(g_arrays_lock);
        auto it = std::find_if(
            g_arrays.begin(), g_arrays.end(), [&](const auto& a) { return &a->whole->record == volume; });
        if (it == g_arrays.end())
            return;
        gone = std::move(*it);
        g_arrays.erase(it);
    }
    unpublish(*gone);
    gone.reset();
    rebuild_volume_list();
}

BG_API void bg_free_volume(BgVolume* volume) { bg_close_volume(volume); }

BG_API int32_t bg_is_virtual_volume(const BgVolume* volume)
{
    std::lock_guard guard(g_arrays_lock);
    return volume && find_array(volume) ? 1 : 0;
}

BG_API BgReader* bg_open_window(BgReader* object, uint64_t offset, uint64_t length)
{
    if (!object || object == BG_RAID_MISSING || !object->read || !object->size || length == 0)
        return nullptr;
    const uint64_t size = object->size(object);
    if (offset >= size || length > size - offset)
        return nullptr;
    auto w = std::make_unique<Window>();
    w->object = object;
    w->offset = offset;
    w->length = length;
    w->name = std::string(object->name ? object->name : "member") + "@" + std::to_string(offset);
    BgReader& r = w->reader;
    r = *object;
    r.name = w->name.c_str();
    r.write = &array_write_op;
    r.read = &window_read_op;
    r.size = &window_size_op;
    r.commit = &array_commit_op;
    const uint32_t bps = object->bytes_per_sector ? object->bytes_per_sector : 512;
    r.cylinders = (length / bps + 255 * 63 - 1) / (255 * 63);
    r.stream_flag = &w->stream_flag;
    r.impl = w.get();
    BgReader* out = &w->reader;
    std::lock_guard guard(g_arrays_lock);
    g_windows.push_back(std::move(w));
    return out;
}

BG_API int32_t bg_raid_check(const RaidParams* params, char* reason, uint32_t capacity)
{
    std::string why;
    RaidLayout layout;
    if (!params)
        why = "no array description";
    else if (compile_layout(*params, layout, why))
        return 0;
    if (reason && capacity) {
        const size_t n = std::min<size_t>(why.size(), capacity - 1);
        std::memcpy(reason, why.data(), n);
        reason[n] = 0;
    }
    return 1;
}

BG_API int32_t bg_raid_fill(const RaidParams* params, uint8_t* const* buffers, uint32_t length)
{
    if (!params || !buffers || params->level != BG_RAID_LEVEL_PARITY)
        return 0;
    const uint32_t count = params->member_count;
    if (count < 2 || count > BG_RAID_MAX_MEMBERS)
        return 0;
    int32_t missing = -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (!params->members[i])
            return 0; // the list ends early
        if (params->members[i] == BG_RAID_MISSING) {
            if (missing >= 0)
                return 0;
            missing = int32_t(i);
        }
        if (!buffers[i])
            return 0;
    }
    if (missing < 0)
        return 0;
    uint8_t* target = buffers[missing];
    std::memset(target, 0, length);
    for (uint32_t i = 0; i < count; ++i)
        if (int32_t(i) != missing)
            xor_into(target, buffers[i], length);
    return 1;
}

BG_API uint32_t bg_raid_map_block(const RaidParams* params, uint64_t block)
{
    constexpr uint32_t unusable = 0xFFFF;
    if (!params)
        return unusable;
    const uint32_t count = params->member_count;
    if (count == 0 || count > BG_RAID_MAX_MEMBERS)
        return unusable;
    if (params->level == BG_RAID_LEVEL_PARITY && (count < 2 || params->layout > BG_RAID_PARITY_LAST))
        return unusable;
    if (params->level > BG_RAID_LEVEL_PARITY)
        return unusable;
    const BlockPlace p = place_block(params->level, params->layout, count, block);
    return (p.column & 0xFF) | (p.parity & 0xFF) << 8;
}

} // extern "C"
