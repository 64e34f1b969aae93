// Deleted-file search over the MFT, parent lookup and directory listings.

#include "Deleted.h"

#include <fsprobe/common/failure.h>

#include <algorithm>
#include <cstring>

namespace fsprobe::ntfs {

static void copy_name(u8* dst, const u8* src, u8 units)
{
    std::memcpy(dst, src, std::min<size_t>(size_t(units) * 2, 256));
}

// Progress in steps of 5: at most one rise per call, when `fraction` has
// reached the threshold.
struct Progress {
    double threshold = 0.05;
    void step(double fraction)
    {
        if (fraction >= threshold) {
            bg_progress.fetch_add(5, std::memory_order_relaxed);
            threshold += 0.05;
        }
    }
};

// Examines one fixed-up record of the scan; appends a found deleted file.
static void examine_record(Volume& volume, const u8* rec, u64 number, NtfsFileInfo** head, NtfsFileInfo** tail)
{
    if (load_le32(rec) != kFileMagic || load_le16(rec + kRecFlags) != 0)
        return;
    // An extension record carries attributes of another file; it is not a
    // file of its own even when it holds names or data.
    if (load_le64(rec + kRecBaseRef) != 0)
        return;
    ContextPtr fn_ctx = volume.find_attribute(rec, number, NTFS_AT_FILE_NAME, u"");
    FileName fn;
    if (!read_file_name(fn_ctx.get(), &fn))
        return;
    ContextPtr data = volume.find_attribute(rec, number, NTFS_AT_DATA, u"");
    if (!data)
        return;
    auto* info = engine_new_zeroed<NtfsFileInfo>();
    info->state = 0;
    info->record_number = number;
    info->parent_reference = fn.parent;
    info->created = fn.created;
    info->name_length = fn.name_length;
    copy_name(info->name, fn.name, fn.name_length);
    info->size = attribute_size(data.get());
    if (*tail)
        (*tail)->next = info;
    else
        *head = info;
    *tail = info;
}

NtfsFileInfo* find_deleted_files(Volume& volume)
{
    if (!volume.is_open()) {
        fail("no NTFS volume is open");
        return nullptr;
    }
    bg_progress.store(0, std::memory_order_relaxed);
    const Context& mft = *volume.mft();
    const u64 c = volume.cluster_size();
    const u64 r = volume.record_size();
    const u32 bytes_per_sector = volume.geometry().bytes_per_sector;
    // A step is one cluster, or one record when records span clusters.
    const u64 step_bytes = std::max(c, r);
    const u64 per_step = step_bytes / r;
    u64 clusters = 0;
    if (!mft.runs.empty()) {
        const Run& last = mft.runs.back();
        clusters = last.vcn + last.length;
    }
    u64 mft_bytes = clusters <= ~u64(0) / c ? clusters * c : 0;
    // A damaged run list can claim an MFT far larger than the volume (sparse
    // runs cost no space on disk); no real MFT outgrows its volume.
    if (volume.device() && mft_bytes > volume.device()->size)
        mft_bytes = volume.device()->size;
    const u64 steps = mft_bytes / step_bytes;

    NtfsFileInfo* head = nullptr;
    NtfsFileInfo* tail = nullptr;
    // A failed allocation ends the scan by an exception: the list so far goes.
    struct PartialList {
        NtfsFileInfo*& head;
        bool kept = false;
        ~PartialList()
        {
            for (NtfsFileInfo* f = kept ? nullptr : head; f;) {
                NtfsFileInfo* next = f->next;
                engine_free(f);
                f = next;
            }
        }
    } partial { head };
    Progress progress;
    // Several steps are read at once; each record is checked on its own.
    const u64 batch_steps = std::max<u64>(1, (256u << 10) / step_bytes);
    std::vector<u8> batch(size_t(batch_steps * step_bytes));
    bool stopped = false;
    for (u64 first = 0; first < steps && !stopped; first += batch_steps) {
        u64 count = std::min(batch_steps, steps - first);
        u64 got = volume.read_mft(first * step_bytes, batch.data(), count * step_bytes);
        for (u64 s = 0; s < count; ++s) {
            u64 step = first + s;
            if ((s + 1) * step_bytes <= got) {
                u8* base = batch.data() + s * step_bytes;
                for (u64 i = 0; i < per_step; ++i) {
                    u8* rec = base + i * r;
                    if (load_le32(rec) != kFileMagic || !apply_fixup(rec, r, bytes_per_sector))
                        continue;
                    examine_record(volume, rec, step * per_step + i, &head, &tail);
                }
            }
            progress.step(double(step) / double(steps));
            if (bg_progress.load(std::memory_order_relaxed) >= 100 || bg_stop_requested()) {
                stopped = true;
                break;
            }
        }
    }
    if (!stopped)
        bg_progress.store(100, std::memory_order_relaxed);
    partial.kept = true;
    return head;
}

int32_t name_parent(Volume& volume, u32 number, NtfsNameParent* out)
{
    if (!out || !volume.is_open())
        return 0;
    std::vector<u8> rec(volume.record_size());
    if (!volume.read_mft_record(number, rec.data(), rec.size()))
        return 0;
    ContextPtr fn_ctx = volume.find_attribute(rec.data(), number, NTFS_AT_FILE_NAME, u"");
    FileName fn;
    bool ok = read_file_name(fn_ctx.get(), &fn);
    u64 parent = fn.parent;
    if (!ok)
        return 0;
    out->reference_low = u32(parent);
    out->reference_high = u32(parent >> 32);
    if (!volume.read_mft_record(u32(parent), rec.data(), rec.size()))
        return 0;
    fn_ctx = volume.find_attribute(rec.data(), u32(parent), NTFS_AT_FILE_NAME, u"");
    ok = read_file_name(fn_ctx.get(), &fn);
    if (ok) {
        out->flags = u8(load_le16(rec.data() + kRecFlags));
        out->name_length = fn.name_length;
        std::memset(out->name, 0, sizeof out->name);
        copy_name(out->name, fn.name, fn.name_length);
    }
    return ok ? 1 : 0;
}

u32 full_name(Volume& volume, u32 number, char16_t* out, u32 capacity)
{
    if (!volume.is_open())
        return 0;
    std::vector<u8> rec(volume.record_size());
    if (!volume.read_mft_record(number, rec.data(), rec.size()))
        return 0;
    ContextPtr fn_ctx = volume.find_attribute(rec.data(), number, NTFS_AT_FILE_NAME, u"");
    FileName fn;
    u32 units = 0;
    if (read_file_name(fn_ctx.get(), &fn)) {
        units = fn.name_length;
        for (u32 i = 0; out && i < units && i < capacity; ++i)
            out[i] = char16_t(load_le16(fn.name + 2 * i));
    }
    return units;
}

// Appends the entries of one index node [p, end) to the listing.
static void list_entries(const u8* p, const u8* end, NtfsFileInfo*& listing, NtfsFileInfo** tail)
{
    while (end - p >= 16) {
        u16 len = load_le16(p + 8);
        u8 flags = p[12];
        if (flags & 0x02)
            return; // last entry
        if (len < 16 || len > end - p)
            return;
        u16 key_len = load_le16(p + 10);
        if (key_len >= kFnName && len >= 16 + kFnName) {
            u8 units = p[80];
            u64 ref = load_le64(p);
            bool fits = 16 + kFnName + u64(units) * 2 <= len && kFnName + u64(units) * 2 <= key_len;
            if (fits && u32(ref) > 23 && p[81] != kNamespaceDos) {
                auto* info = engine_new_zeroed<NtfsFileInfo>();
                info->record_number = ref;
                info->parent_reference = load_le64(p + 16);
                info->created = load_le64(p + 24);
                info->name_length = units;
                copy_name(info->name, p + 82, units);
                if (load_le32(p + 16 + kFnFlags) & kFnFlagDirectory) {
                    info->state = 1;
                } else {
                    info->size = load_le64(p + 16 + kFnRealSize);
                }
                if (*tail)
                    (*tail)->next = info;
                else
                    listing = info;
                *tail = info;
            }
        }
        p += len;
    }
}

bool list_directory(Volume& volume, u32 number, NtfsFileInfo*& listing)
{
    if (!volume.is_open())
        return false;
    std::vector<u8> rec(volume.record_size());
    if (!volume.read_mft_record(number, rec.data(), rec.size()))
        return true;
    ContextPtr root = volume.find_attribute(rec.data(), number, NTFS_AT_INDEX_ROOT, u"$I30");
    if (!root || root->non_resident || root->data_size < 32)
        return false;
    // Find the current end of an earlier listing, so entries are appended.
    NtfsFileInfo* tail = listing;
    for (int guard = 0; tail && tail->next && guard < (1 << 24); ++guard)
        tail = tail->next;

    const u8* v = root->value();
    u64 vlen = root->data_size;
    u32 entries_off = load_le32(v + 16);
    u32 total = load_le32(v + 16 + 4);
    u8 header_flags = v[16 + 12];
    u32 block_size = load_le32(v + 8);
    if (16 + u64(entries_off) < vlen) {
        u64 end = std::min<u64>(vlen, 16 + u64(total));
        if (end > 16 + u64(entries_off))
            list_entries(v + 16 + entries_off, v + end, listing, &tail);
    }
    root.reset();
    if (!(header_flags & 0x01))
        return true;

    ContextPtr alloc = volume.find_attribute(rec.data(), number, NTFS_AT_INDEX_ALLOCATION, u"$I30");
    ContextPtr bitmap_ctx = volume.find_attribute(rec.data(), number, NTFS_AT_BITMAP, u"$I30");
    bool ok = alloc && bitmap_ctx && block_size >= 512 && block_size <= (1u << 20) && is_power_of_two(block_size);
    if (ok) {
        u64 blocks = alloc->data_size / block_size;
        u64 bitmap_len = std::min<u64>(attribute_size(bitmap_ctx.get()), (blocks + 7) / 8);
        std::vector<u8> bitmap(static_cast<size_t>(bitmap_len));
        if (bitmap_len)
            bitmap.resize(size_t(volume.read_attribute(*bitmap_ctx, 0, bitmap.data(), bitmap_len)));
        std::vector<u8> block(block_size);
        for (u64 k = 0; k < blocks; ++k) {
            if (k / 8 >= bitmap.size() || !(bitmap[k / 8] & (1u << (k % 8))))
                continue;
            if (volume.read_attribute(*alloc, k * block_size, block.data(), block_size) != block_size)
                break;
            if (load_le32(block.data()) != kIndxMagic
                || !apply_fixup(block.data(), block_size, volume.geometry().bytes_per_sector))
                break;
            u32 eoff = load_le32(block.data() + 24);
            u32 etotal = load_le32(block.data() + 28);
            u64 end = std::min<u64>(block_size, 24 + u64(etotal));
            if (24 + u64(eoff) < end)
                list_entries(block.data() + 24 + eoff, block.data() + end, listing, &tail);
        }
    }
    return ok;
}

u64 file_size(Volume& volume, u32 low, u32 high, const NtfsFileInfo* head)
{
    u64 wanted = (u64(high) << 32) | low;
    size_t guard = 0;
    for (const NtfsFileInfo* r = head; r && guard < (size_t(1) << 26); r = r->next, ++guard)
        if (r->record_number == wanted && r->state == 0)
            return r->size;
    if (!volume.is_open() || volume.record_size() == 0)
        return 0;
    std::vector<u8> rec(volume.record_size());
    if (!volume.read_mft_record(low, rec.data(), rec.size()))
        return 0;
    ContextPtr data = volume.find_attribute(rec.data(), low, NTFS_AT_DATA, u"");
    return attribute_size(data.get());
}

void free_file_info(NtfsFileInfo* head)
{
    while (head) {
        NtfsFileInfo* next = head->next;
        engine_free(head);
        head = next;
    }
}

} // namespace fsprobe::ntfs
