// The open NTFS volume: boot-sector geometry, the MFT map, record reads and
// reads of attribute values at any byte offset.

#include "Volume.h"

#include <fsprobe/common/failure.h>
#include <ondisk/ntfs_boot.h>

#include <algorithm>
#include <cstring>

namespace fsprobe::ntfs {

u32 read_device(BgVolume* device, void* buf, u64 count, u64 offset)
{
    if (!device || !device->reader || !device->reader->read)
        return 0;
    BgReader* r = device->reader;
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
static u32 find_run(const Context& ctx, u64 vcn)
{
    const u32 count = u32(ctx.runs.size());
    u32 i = ctx.run_index;
    if (i < count && ctx.runs[i].vcn <= vcn && vcn - ctx.runs[i].vcn < ctx.runs[i].length)
        return i;
    u32 lo = 0, hi = count;
    while (lo < hi) {
        u32 mid = lo + (hi - lo) / 2;
        const Run& r = ctx.runs[mid];
        if (vcn < r.vcn)
            hi = mid;
        else if (vcn - r.vcn >= r.length)
            lo = mid + 1;
        else
            return mid;
    }
    return count;
}

u64 read_attribute(Context& ctx, u64 offset, void* buf, u64 length, const ClusterMap& map)
{
    if (!buf || length == 0)
        return 0;
    u8* out = static_cast<u8*>(buf);
    if (!ctx.non_resident) {
        if (offset > ctx.data_size)
            return 0;
        u64 n = std::min<u64>(length, ctx.data_size - offset);
        std::memcpy(out, ctx.value() + offset, size_t(n));
        return n;
    }
    const u64 c = map.cluster_size;
    if (c == 0)
        return 0;
    u64 done = 0;
    while (done < length) {
        u64 pos = offset + done;
        if (pos < offset)
            break;
        u32 idx = find_run(ctx, pos / c);
        if (idx >= ctx.runs.size())
            break;
        const Run& run = ctx.runs[idx];
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
            if (lcn > (~u64(0) - map.base) / c)
                break;
            u64 disk = map.base + lcn * c;
            if (disk + in_run < disk)
                break;
            u32 got = read_device(map.device, out + done, n, disk + in_run);
            if (got < n)
                break; // a short read delivers what came before this stretch
        }
        done += n;
        ctx.run_index = idx;
        ctx.lcn = run.lcn;
        ctx.run_length = run.length;
        if (run.lcn >= 0)
            ctx.lcn_base = run.lcn;
        ctx.run_start = run_start;
    }
    ctx.position = offset + done;
    // Bytes past the initialized size read as zeros whatever the clusters hold.
    if (done && ctx.init_size < ctx.data_size && offset + done > ctx.init_size) {
        u64 from = std::max(offset, ctx.init_size);
        std::memset(out + (from - offset), 0, size_t(offset + done - from));
    }
    return done;
}

bool Volume::read_mft_record(u64 number, u8* buf, size_t size)
{
    if (!m_mft || size == 0 || m_geometry.record_size == 0 || size < m_geometry.record_size)
        return false;
    if (number > ~u64(0) / size)
        return false;
    if (read_mft(number * size, buf, size) != size)
        return false;
    return apply_fixup(buf, m_geometry.record_size, m_geometry.bytes_per_sector);
}

ContextPtr Volume::find_attribute(const u8* record, u64 number, u32 type, const char16_t* name)
{
    FindOptions opts;
    opts.record_size = m_geometry.record_size;
    opts.volume = this;
    opts.self_number = u32(number);
    return ntfs::find_attribute(record, type, name, opts);
}

void Volume::close()
{
    m_device = nullptr;
    m_geometry = Geometry {};
    std::vector<u8>().swap(m_record0);
    m_mft.reset();
}

bool Volume::open(BgVolume* volume)
{
    if (!accepts(volume)) {
        m_geometry.cluster_size = 0;
        fail(!volume || !volume->reader ? "no volume was given" : "the volume is not NTFS");
        return false;
    }
    close();
    m_device = volume;

    std::memcpy(m_boot, volume->boot_sector, 512);
    auto boot = ondisk::ntfs::parse_boot(ByteView(m_boot, sizeof m_boot));
    if (!boot) {
        fail("the NTFS boot sector gives an invalid sector or cluster size");
        return false;
    }
    if (boot->record_size == 0) {
        fail("the NTFS boot sector gives an invalid cluster or MFT record size");
        return false;
    }
    const u32 bps = boot->bytes_per_sector;
    const u64 cluster = boot->cluster_size;
    const u64 rec = boot->record_size;
    m_geometry.bytes_per_sector = bps;
    m_geometry.cluster_size = u32(cluster);
    m_geometry.record_size = u32(rec);
    m_geometry.index_record_size = boot->index_record_size;

    u64 mft_lcn = boot->mft_lcn;
    m_record0.assign(rec, 0);
    bool ok = mft_lcn <= ~u64(0) / cluster && read(m_record0.data(), rec, mft_lcn * cluster) == rec;
    if (!ok)
        fail(mft_lcn <= ~u64(0) / cluster ? read_failure(volume->reader, "MFT record 0")
                                          : std::string("the NTFS boot sector puts the MFT beyond any volume"));
    // Record 0 gets its fix-up too: its run list may cross a sector's last
    // two bytes, and the whole MFT map depends on it.
    if (ok) {
        ok = apply_fixup(m_record0.data(), rec, bps);
        if (!ok)
            fail("MFT record 0 failed its fix-up");
    }
    if (ok) {
        FindOptions opts;
        opts.record_size = rec;
        m_mft = ntfs::find_attribute(m_record0.data(), NTFS_AT_DATA, u"", opts);
        ok = m_mft && m_mft->non_resident && !m_mft->runs.empty();
        if (!ok)
            fail(load_le32(m_record0.data()) != kFileMagic ? "MFT record 0 is not a FILE record"
                 : m_mft                                   ? "the $DATA of MFT record 0 has no runs"
                                                           : "MFT record 0 has no usable $DATA attribute");
    }
    if (ok) {
        // A very fragmented MFT keeps the rest of its map in extension
        // records, reachable through the first part of the map.
        ContextPtr whole = find_attribute(m_record0.data(), 0, NTFS_AT_DATA, u"");
        if (whole && whole->non_resident && whole->runs.size() >= m_mft->runs.size())
            m_mft = std::move(whole);
    }
    if (!ok) {
        close();
        return false;
    }
    return true;
}

} // namespace fsprobe::ntfs
