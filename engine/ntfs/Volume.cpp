// The open NTFS volume: boot-sector geometry, the MFT map, record reads and
// reads of attribute values at any byte offset.

#include "Ntfs.h"

#include <ondisk/ntfs_boot.h>

#include <algorithm>
#include <cstring>

namespace fsprobe::ntfs {

VolumeState& state()
{
    static VolumeState s;
    return s;
}

u32 volume_read(void* buf, u64 count, u64 offset)
{
    auto& st = state();
    if (!st.volume || !st.volume->reader || !st.volume->reader->read)
        return 0;
    BgReader* r = st.volume->reader;
    u64 done = 0;
    while (done < count) {
        u32 piece = u32(std::min<u64>(count - done, 1u << 30));
        if (offset + done < offset)
            break;
        u32 n = r->read(r, static_cast<u8*>(buf) + done, piece, offset + done);
        done += n;
        if (n < piece)
            break;
    }
    return u32(done);
}

// Index of the run holding cluster `vcn`, or run_count when none does.
static u32 find_run(const Context* ctx, u64 vcn)
{
    u32 i = ctx->run_index;
    if (i < ctx->run_count && ctx->runs[i].vcn <= vcn && vcn - ctx->runs[i].vcn < ctx->runs[i].length)
        return i;
    u32 lo = 0, hi = ctx->run_count;
    while (lo < hi) {
        u32 mid = lo + (hi - lo) / 2;
        const Run& r = ctx->runs[mid];
        if (vcn < r.vcn)
            hi = mid;
        else if (vcn - r.vcn >= r.length)
            lo = mid + 1;
        else
            return mid;
    }
    return ctx->run_count;
}

u64 read_attribute(Context* ctx, u64 offset, void* buf, u64 length)
{
    if (!ctx || !buf || length == 0)
        return 0;
    u8* out = static_cast<u8*>(buf);
    if (!ctx->non_resident) {
        if (offset > ctx->data_size)
            return 0;
        u64 n = std::min<u64>(length, ctx->data_size - offset);
        std::memcpy(out, ctx->attribute + ctx->value_offset + offset, size_t(n));
        return n;
    }
    auto& st = state();
    u64 c = st.read_cluster_size;
    if (c == 0)
        return 0;
    u64 done = 0;
    while (done < length) {
        u64 pos = offset + done;
        if (pos < offset)
            break;
        u32 idx = find_run(ctx, pos / c);
        if (idx >= ctx->run_count)
            break;
        const Run& run = ctx->runs[idx];
        // Byte range of the run; refuse values that would overflow.
        if (run.vcn > ~u64(0) / c || run.length > (~u64(0) - run.vcn * c) / c)
            break;
        u64 run_start = run.vcn * c;
        u64 in_run = pos - run_start;
        u64 n = std::min(run.length * c - in_run, length - done);
        if (run.lcn < 0) {
            std::memset(out + done, 0, size_t(n));
        } else {
            u64 lcn = u64(run.lcn);
            if (lcn > (~u64(0) - st.read_base) / c)
                break;
            u64 disk = st.read_base + lcn * c;
            if (disk + in_run < disk)
                break;
            u32 got = volume_read(out + done, n, disk + in_run);
            if (got < n)
                break; // a short read delivers what came before this stretch
        }
        done += n;
        ctx->run_index = idx;
        ctx->lcn = run.lcn;
        ctx->run_length = run.length;
        if (run.lcn >= 0)
            ctx->lcn_base = run.lcn;
        ctx->run_start = run_start;
    }
    ctx->position = offset + done;
    // Bytes past the initialized size read as zeros whatever the clusters hold.
    if (done && ctx->init_size < ctx->data_size && offset + done > ctx->init_size) {
        u64 from = std::max(offset, ctx->init_size);
        std::memset(out + (from - offset), 0, size_t(offset + done - from));
    }
    return done;
}

bool read_mft_record(u64 number, u8* buf, size_t size)
{
    auto& st = state();
    if (!st.mft || size == 0 || st.record_size == 0 || size < st.record_size)
        return false;
    if (number > ~u64(0) / size)
        return false;
    if (read_attribute(st.mft, number * size, buf, size) != size)
        return false;
    return apply_fixup(buf, st.record_size, st.bytes_per_sector);
}

void reset_listing() { state().listing = nullptr; }

void free_fragments()
{
    auto& st = state();
    for (auto& f : st.fragments) {
        engine_free(f.record);
        release_context(f.context);
        f.record = nullptr;
        f.context = nullptr;
        f.cluster_size = f.found = f.mirror = f.base = 0;
        f.first_lcn = 0;
        std::vector<Extent>().swap(f.extents);
        std::vector<DirSlot>().swap(f.dirs);
        f.dir_count = 0;
        f.self_anchored = false;
    }
    st.first_attributed = -1;
}

bool open_volume(BgVolume* volume)
{
    auto& st = state();
    st.format_mode = false;
    st.format_record = nullptr;
    st.read_base = 0;
    if (!volume || volume->fs_code != BG_FS_NTFS || !volume->boot_sector || !volume->reader) {
        st.cluster_size = 0;
        return false;
    }
    st.volume = volume;
    engine_free(st.record0);
    st.record0 = nullptr;
    release_context(st.file);
    st.file = nullptr;
    release_context(st.mft);
    st.mft = nullptr;
    st.key_low = st.key_high = 0xFFFFFFFF;
    st.position = 0;
    st.format_key = kNoKey;
    st.cluster_size = 0;

    std::memcpy(st.boot, volume->boot_sector, 512);
    auto boot = ondisk::ntfs::parse_boot(ByteView(st.boot, sizeof st.boot));
    if (!boot || boot->record_size == 0)
        return false;
    const u32 bps = boot->bytes_per_sector;
    const u64 cluster = boot->cluster_size;
    const u64 rec = boot->record_size;
    st.bytes_per_sector = bps;
    st.cluster_size = u32(cluster);
    st.read_cluster_size = cluster;
    st.record_size = u32(rec);
    st.index_record_size = boot->index_record_size;

    u64 mft_lcn = boot->mft_lcn;
    st.record0 = static_cast<u8*>(engine_alloc(rec));
    bool ok = mft_lcn <= ~u64(0) / cluster && volume_read(st.record0, rec, mft_lcn * cluster) == rec;
    // Record 0 gets its fix-up too: its run list may cross a sector's last
    // two bytes, and the whole MFT map depends on it.
    if (ok)
        ok = apply_fixup(st.record0, rec, bps);
    if (ok) {
        FindOptions opts;
        opts.record_size = rec;
        opts.follow_lists = false;
        st.mft = find_attribute(st.record0, NTFS_AT_DATA, u"", opts);
        ok = st.mft && st.mft->non_resident && st.mft->run_count > 0;
    }
    if (ok) {
        // A very fragmented MFT keeps the rest of its map in extension
        // records, reachable through the first part of the map.
        FindOptions opts;
        opts.record_size = rec;
        opts.self_number = 0;
        Context* whole = find_attribute(st.record0, NTFS_AT_DATA, u"", opts);
        if (whole && whole->non_resident && whole->run_count >= st.mft->run_count) {
            release_context(st.mft);
            st.mft = whole;
        } else {
            release_context(whole);
        }
    }
    if (!ok) {
        engine_free(st.record0);
        st.record0 = nullptr;
        release_context(st.mft);
        st.mft = nullptr;
        st.cluster_size = 0;
        return false;
    }
    return true;
}

int32_t free_engine()
{
    auto& st = state();
    st.key_low = st.key_high = 0xFFFFFFFF;
    st.position = 0;
    st.format_key = kNoKey;
    st.listing = nullptr;
    engine_free(st.record0);
    st.record0 = nullptr;
    release_context(st.file);
    st.file = nullptr;
    release_context(st.mft);
    st.mft = nullptr;
    free_fragments();
    st.cluster_size = 0;
    st.read_cluster_size = 0;
    st.read_base = 0;
    st.format_mode = false;
    st.format_record = nullptr;
    return 1;
}

} // namespace fsprobe::ntfs
