// Format recovery: a sector-by-sector search of the volume for MFT records of
// old NTFS file systems, re-anchoring of each old MFT found, and the parent
// links between the records found.

#include "FormatRecovery.h"

#include <ondisk/ntfs_boot.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

namespace fsprobe::ntfs {

namespace {

constexpr u64 kSector = 512;
constexpr u64 kChunk = 128 * kSector;
constexpr u64 kRecord = 1024;

// Extension records of an old MFT are not reachable through the new one: no
// attribute list is followed.
FindOptions scan_options()
{
    FindOptions o;
    o.record_size = kRecord;
    return o;
}

// A 1024-byte record at volume position `pos`, from the chunk when it lies
// wholly inside, else read directly. The update-sequence fix-up is applied
// when it succeeds; a torn record is used as read.
bool load_record(BgVolume* device, const u8* chunk, u64 chunk_off, u64 got, u64 pos, u8* out)
{
    if (pos >= chunk_off && pos - chunk_off <= got && got - (pos - chunk_off) >= kRecord)
        std::memcpy(out, chunk + (pos - chunk_off), kRecord);
    else if (read_device(device, out, kRecord, pos) != kRecord)
        return false;
    if (load_le32(out) != kFileMagic)
        return false;
    u8 fixed[kRecord];
    std::memcpy(fixed, out, kRecord);
    if (apply_fixup(fixed, kRecord, 512))
        std::memcpy(out, fixed, kRecord);
    return true;
}

u64 total_clusters(const Context& c)
{
    u64 n = 0;
    for (const Run& r : c.runs)
        n += r.length;
    return n;
}

// Disk extents of an old MFT: its first run where the MFT was found, each
// later run at B + LCN x C. Record numbers run on from one extent to the next.
void build_extents(MftFragment& f)
{
    f.extents.clear();
    const Context& c = *f.context;
    u32 next_record = 0;
    for (size_t i = 0; i < c.runs.size(); ++i) {
        const Run& r = c.runs[i];
        if (r.length == 0 || r.lcn < 0)
            break;
        if (r.length > (~u64(0) / 2) / f.cluster_size)
            break;
        u64 bytes = r.length * f.cluster_size;
        u64 start;
        if (i == 0) {
            start = f.found;
        } else {
            i64 d = r.lcn - f.first_lcn;
            u64 delta = u64(d < 0 ? -d : d);
            if (delta > (~u64(0) / 2) / f.cluster_size)
                break;
            delta *= f.cluster_size;
            if (d < 0 && delta > f.found)
                break;
            start = d < 0 ? f.found - delta : f.found + delta;
        }
        if (start + bytes < start)
            break;
        u64 count = bytes / kRecord;
        if (count > 0xFFFFFFFFu - next_record)
            break;
        f.extents.push_back(Extent { start, start + bytes, r.length, next_record, u32(count) });
        next_record += u32(count);
    }
}

const Extent* extent_of(const MftFragment& f, u64 pos)
{
    for (const auto& e : f.extents)
        if (pos >= e.disk_start && pos < e.disk_end)
            return &e;
    return nullptr;
}

// The file system now on the volume. After a format in place its MFT lies
// where the old one did; its own metadata (the records below the first user
// record, the files under $Extend) and its MFT mirror belong to the new file
// system and are not old files. Its user files, in use or not, are listed:
// a volume that was never formatted (or an array put together again) keeps
// all its files live.
struct LiveVolume {
    static constexpr u64 kFirstUserRecord = 24;
    static constexpr u64 kExtendRecord = 11;

    bool known = false;
    u64 record_size = 0;
    std::vector<Extent> extents; // its MFT on disk; record numbers run on
    std::vector<u8> in_use;      // its MFT's $BITMAP
    u64 mirror_start = 0;
    u64 mirror_end = 0;
    std::set<u64> extend_members; // record numbers met below $Extend

    // The record number under the current MFT of an in-use record at `pos`.
    std::optional<u64> in_use_number(u64 pos) const
    {
        if (!known)
            return std::nullopt;
        for (const auto& e : extents) {
            if (pos < e.disk_start || pos >= e.disk_end)
                continue;
            u64 number = e.first_record + (pos - e.disk_start) / record_size;
            if (number / 8 < in_use.size() && (in_use[size_t(number / 8)] >> (number % 8)) & 1)
                return number;
            return std::nullopt;
        }
        return std::nullopt;
    }

    // True when `pos` holds metadata of the current file system whatever
    // the record says: its mirror, or a system record of its MFT.
    bool holds_system(u64 pos) const
    {
        if (!known)
            return false;
        if (pos >= mirror_start && pos < mirror_end)
            return true;
        auto number = in_use_number(pos);
        return number && *number < kFirstUserRecord;
    }

    // True for an in-use record of the current MFT filed under $Extend, at
    // any depth ($Extend\$RmMetadata\$TxfLog\... on volumes Windows made).
    // A folder is met before the records it holds, which come later in
    // its MFT.
    bool holds_extend_member(u64 pos, u64 parent)
    {
        auto number = in_use_number(pos);
        if (!number)
            return false;
        const u64 p = parent & 0xFFFFFFFFFFFFull;
        if (p != kExtendRecord && !extend_members.count(p))
            return false;
        extend_members.insert(*number);
        return true;
    }
};

// Reads the current boot sector and its MFT record 0. Leaves `known` false
// when the volume holds no readable NTFS now (then nothing is excluded).
LiveVolume load_live(BgVolume* device, u64 volume_size)
{
    LiveVolume live;
    u8 boot[512];
    if (read_device(device, boot, sizeof boot, 0) != sizeof boot || std::memcmp(boot + 3, "NTFS    ", 8) != 0)
        return live;
    auto geometry = ondisk::ntfs::parse_boot(ByteView(boot, sizeof boot));
    if (!geometry || geometry->record_size == 0)
        return live;
    const u64 bps = geometry->bytes_per_sector;
    const u64 c = geometry->cluster_size;
    const u64 rec_size = geometry->record_size;
    const u64 mft_lcn = geometry->mft_lcn;
    const u64 mirr_lcn = geometry->mft_mirror_lcn;
    if (mft_lcn >= volume_size / c || mirr_lcn >= volume_size / c)
        return live;
    std::vector<u8> rec(static_cast<size_t>(rec_size));
    if (read_device(device, rec.data(), rec_size, mft_lcn * c) != rec_size || load_le32(rec.data()) != kFileMagic
        || !apply_fixup(rec.data(), rec.size(), u32(bps)))
        return live;
    FindOptions opts;
    opts.record_size = rec_size;
    ContextPtr data = find_attribute(rec.data(), NTFS_AT_DATA, u"", opts);
    ContextPtr bitmap = find_attribute(rec.data(), NTFS_AT_BITMAP, u"", opts);
    bool ok = data && data->non_resident && bitmap;
    u32 next_record = 0;
    for (size_t i = 0; ok && i < data->runs.size(); ++i) {
        const Run& r = data->runs[i];
        if (r.lcn < 0 || r.length == 0 || u64(r.lcn) >= volume_size / c || r.length > volume_size / c)
            break;
        u64 count = r.length * c / rec_size;
        if (count > 0xFFFFFFFFu - next_record)
            break;
        live.extents.push_back(Extent { u64(r.lcn) * c, u64(r.lcn) * c + r.length * c, r.length, next_record, u32(count) });
        next_record += u32(count);
    }
    // One bit per record of the MFT; no more than the volume can hold.
    const u64 bitmap_bytes = ok ? std::min<u64>(attribute_size(bitmap.get()), volume_size / rec_size / 8 + 1) : 0;
    if (ok && bitmap_bytes) {
        live.in_use.resize(size_t(bitmap_bytes));
        ok = read_attribute(*bitmap, 0, live.in_use.data(), bitmap_bytes, ClusterMap { device, c, 0 }) == bitmap_bytes;
    }
    if (!ok || live.extents.empty() || live.in_use.empty())
        return LiveVolume {};
    live.record_size = rec_size;
    live.mirror_start = mirr_lcn * c;
    live.mirror_end = live.mirror_start + std::max<u64>(4 * rec_size, c);
    live.known = true;
    return live;
}

// What a record tells of its own old volume: the cluster size of its
// non-resident $DATA (0 when it has none or it makes no sense) and its own
// record number (records written before NTFS 3.1 have none).
struct OwnGeometry {
    u64 cluster = 0;
    u32 number = 0;
    bool numbered = false;
};

OwnGeometry own_geometry(const u8* rec, const Context* data)
{
    OwnGeometry g;
    // The number at 0x2C is there when the update sequence array follows it.
    if (load_le16(rec + kRecUsaOffset) >= kRecNumber + 4) {
        g.numbered = true;
        g.number = load_le32(rec + kRecNumber);
    }
    if (data && data->non_resident) {
        u64 clusters = total_clusters(*data);
        if (clusters && data->alloc_size % clusters == 0) {
            u64 c = data->alloc_size / clusters;
            if (c >= 512 && c <= (2u << 20) && is_power_of_two(c))
                g.cluster = c;
        }
    }
    return g;
}

struct Scan {
    FragmentTable& table;
    BgVolume* device;
    NtfsFormatInfo* head = nullptr;
    NtfsFormatInfo* tail = nullptr;
    int current = -1; // where the last table search stopped
    bool table_full = false;
    std::vector<OwnGeometry> own; // per record of the list, in list order

    void append(NtfsFormatInfo* rec)
    {
        if (tail)
            tail->next = rec;
        else
            head = rec;
        tail = rec;
    }

    void add_file(const u8* rec, const FileName& fn, u64 pos)
    {
        FindOptions opts = scan_options();
        bool dir = load_le16(rec + kRecFlags) & kRecDirectory;
        u64 size = 0;
        OwnGeometry geometry = own_geometry(rec, nullptr);
        if (!dir) {
            ContextPtr data = find_attribute(rec, NTFS_AT_DATA, u"", opts);
            if (!data)
                return;
            size = attribute_size(data.get());
            geometry = own_geometry(rec, data.get());
        }
        auto* info = static_cast<NtfsFormatInfo*>(engine_alloc(sizeof(NtfsFormatInfo) + size_t(fn.name_length) * 2 + 2));
        int index = NTFS_FORMAT_UNATTRIBUTED;
        MftFragment& f0 = table.fragments[0];
        if (f0.context && extent_of(f0, pos) && current >= 0 && table.fragments[current].cluster_size
            && table.fragments[current].context) {
            index = current;
            if (table.first_attributed < 0)
                table.first_attributed = current;
        }
        info->kind = u8((dir ? 1 : 0) | (index << 2));
        info->name_length = fn.name_length;
        info->parent = u32(fn.parent);
        info->created = fn.created;
        info->size = size;
        info->position = pos;
        std::memcpy(info->name, fn.name, size_t(fn.name_length) * 2);
        append(info);
        own.push_back(geometry);
    }

    // A $MFT record at `pos`. Returns the next position to examine.
    u64 add_mft(const u8* chunk, u64 chunk_off, u64 got, const u8* rec, u64 pos)
    {
        u64 pass = pos + kSector;
        FindOptions opts = scan_options();
        ContextPtr data = find_attribute(rec, NTFS_AT_DATA, u"", opts);
        u64 clusters = data && data->non_resident ? total_clusters(*data) : 0;
        if (!clusters || data->runs[0].lcn < 0)
            return pass;
        u8 mirr[kRecord];
        ContextPtr mirr_data;
        if (load_record(device, chunk, chunk_off, got, pos + kRecord, mirr))
            mirr_data = find_attribute(mirr, NTFS_AT_DATA, u"", opts);
        if (!mirr_data || !mirr_data->non_resident || mirr_data->runs.empty() || mirr_data->runs[0].lcn < 0)
            return pass;
        i64 mirr_lcn = mirr_data->runs[0].lcn;
        mirr_data.reset();

        int free_slot = -1;
        for (int i = 0; i < kFragments; ++i) {
            MftFragment& f = table.fragments[i];
            if (!f.cluster_size) {
                free_slot = i;
                break;
            }
            if (f.mirror == pos || f.found == pos) {
                current = i;
                return pos + 9 * kSector;
            }
        }
        if (free_slot < 0) {
            table_full = true;
            return pos;
        }
        current = free_slot;
        u64 c = data->alloc_size / clusters;
        i64 l = data->runs[0].lcn;
        if (c < 512 || c > (2u << 20) || !is_power_of_two(c) || u64(l) > pos / c)
            return pass;
        // The mirror copy of record 0 is met as often as the MFT itself (a
        // new format may have overwritten the old MFT but not its mirror).
        // The MFT is followed by record 4; the four-record mirror is not.
        u8 rec4[kRecord];
        bool primary = load_record(device, chunk, chunk_off, got, pos + 4 * kRecord, rec4)
            && load_le32(rec4 + kRecNumber) == 4;
        u64 base;
        u64 found;
        u64 mirror;
        if (!primary && u64(mirr_lcn) <= pos / c) {
            base = pos - u64(mirr_lcn) * c;
            found = base + u64(l) * c;
            mirror = pos;
        } else {
            base = pos - u64(l) * c;
            found = pos;
            if (u64(mirr_lcn) > (~u64(0) - base) / c)
                return pass;
            mirror = base + u64(mirr_lcn) * c;
        }
        MftFragment& f = table.fragments[free_slot];
        f.record.assign(rec, rec + kRecord);
        f.context = std::move(data);
        f.cluster_size = c;
        f.found = found;
        f.mirror = mirror;
        f.base = base;
        f.first_lcn = l;
        build_extents(f);
        return pos + 25 * kSector;
    }
};

// A free slot of the fragment table made into a group of records whose old
// MFT was not found; -1 when the table is full.
int new_group(FragmentTable& table, u64 cluster)
{
    for (int i = 0; i < kFragments; ++i) {
        MftFragment& f = table.fragments[i];
        if (f.cluster_size || f.context)
            continue;
        f.self_anchored = true;
        f.cluster_size = cluster;
        f.base = 0; // formatted in place: the old cluster 0 is the volume's
        f.dir_count = 0xFFFFFFFFu;
        return i;
    }
    return -1;
}

// Attribution of unplaced records and the per-fragment directory indexes.
void link(FragmentTable& table, NtfsFormatInfo* head, const std::vector<OwnGeometry>& own)
{
    for (auto& f : table.fragments) {
        if (!f.context || !f.cluster_size)
            continue;
        build_extents(f);
        u64 clusters = total_clusters(*f.context);
        u64 count = clusters <= (~u64(0) / f.cluster_size) ? clusters * f.cluster_size / kRecord : 0;
        f.dir_count = u32(std::min<u64>(count, 0xFFFFFFFFu));
        f.dirs.clear();
    }
    std::vector<NtfsFormatInfo*> records;
    for (NtfsFormatInfo* r = head; r; r = r->next)
        records.push_back(r);
    // Records outside every found MFT that know their own number.
    std::vector<size_t> loose;
    int last_frag = -1;
    const Extent* last_ext = nullptr;
    for (size_t k = 0; k < records.size(); ++k) {
        NtfsFormatInfo* r = records[k];
        if (NTFS_FORMAT_FRAGMENT(r) != NTFS_FORMAT_UNATTRIBUTED)
            continue;
        int index = -1;
        // Consecutive records of one extent are placed without a new search.
        if (last_ext && r->position >= last_ext->disk_start && r->position < last_ext->disk_end) {
            index = last_frag;
        } else {
            for (int i = 0; i < kFragments && index < 0; ++i) {
                if (!table.fragments[i].context)
                    continue;
                if (const Extent* e = extent_of(table.fragments[i], r->position)) {
                    index = i;
                    last_frag = i;
                    last_ext = e;
                }
            }
        }
        if (index < 0 && k < own.size() && own[k].numbered) {
            loose.push_back(k);
            continue;
        }
        if (index < 0)
            index = table.first_attributed >= 0 ? table.first_attributed : NTFS_FORMAT_UNATTRIBUTED;
        r->kind = u8((r->kind & 0x03) | (index << 2));
    }

    // One group per cluster size. Directories and files with resident data
    // have none: they join the group of their nearest neighbour on disk (the
    // records of one MFT lie together).
    std::map<u64, int> group_of;
    std::vector<int> slot(loose.size(), -1);
    for (size_t j = 0; j < loose.size(); ++j) {
        u64 c = own[loose[j]].cluster;
        if (!c)
            continue;
        auto it = group_of.find(c);
        if (it == group_of.end())
            it = group_of.emplace(c, new_group(table, c)).first;
        slot[j] = it->second;
    }
    int near = -1;
    for (size_t j = 0; j < loose.size(); ++j) {
        if (own[loose[j]].cluster)
            near = slot[j];
        else
            slot[j] = near;
    }
    near = -1;
    for (size_t j = loose.size(); j-- > 0;) {
        if (own[loose[j]].cluster)
            near = slot[j];
        else if (slot[j] < 0)
            slot[j] = near;
    }
    int nominal = -2;
    for (size_t j = 0; j < loose.size(); ++j) {
        NtfsFormatInfo* r = records[loose[j]];
        int index = slot[j];
        if (index < 0 && group_of.empty() && !own[loose[j]].cluster) {
            // Nothing here holds clusters: the group only needs a read size.
            if (nominal == -2)
                nominal = new_group(table, 4096);
            index = nominal;
        }
        if (index < 0) {
            index = table.first_attributed >= 0 ? table.first_attributed : NTFS_FORMAT_UNATTRIBUTED;
        } else if (r->kind & 1) {
            table.fragments[index].dirs.push_back(DirSlot { own[loose[j]].number, r });
        }
        r->kind = u8((r->kind & 0x03) | (index << 2));
    }

    for (NtfsFormatInfo* r : records) {
        if (!(r->kind & 1))
            continue;
        int index = NTFS_FORMAT_FRAGMENT(r);
        if (index >= kFragments)
            continue;
        MftFragment& f = table.fragments[index];
        if (!f.context)
            continue;
        const Extent* e = extent_of(f, r->position);
        if (!e)
            continue;
        u64 number = e->first_record + (r->position - e->disk_start) / kRecord;
        if (number < f.dir_count)
            f.dirs.push_back(DirSlot { u32(number), r });
    }
    for (auto& f : table.fragments)
        std::stable_sort(f.dirs.begin(), f.dirs.end(), [](const DirSlot& a, const DirSlot& b) { return a.record < b.record; });
}

} // namespace

const MftFragment* FormatRecovery::fragment_for(const NtfsFormatInfo* record) const
{
    if (!record)
        return nullptr;
    int index = NTFS_FORMAT_FRAGMENT(record);
    if (index == NTFS_FORMAT_UNATTRIBUTED)
        index = m_table.first_attributed;
    if (index < 0 || index >= kFragments || !m_table.fragments[index].cluster_size)
        return nullptr;
    return &m_table.fragments[index];
}

std::optional<ClusterMap> FormatRecovery::clusters_of(const NtfsFormatInfo* record) const
{
    const MftFragment* f = fragment_for(record);
    if (!f)
        return std::nullopt;
    return ClusterMap { m_device, f->cluster_size, f->base };
}

void FormatRecovery::clear()
{
    m_table = FragmentTable {};
}

void FormatRecovery::forget_directories()
{
    for (auto& f : m_table.fragments)
        std::vector<DirSlot>().swap(f.dirs);
}

NtfsFormatInfo* FormatRecovery::search(BgVolume* volume)
{
    bg_progress.store(0, std::memory_order_relaxed);
    if (!volume || !volume->reader)
        return nullptr;
    m_device = volume;
    clear();
    std::vector<u8> buf(kChunk);
    Scan scan { m_table, volume, nullptr, nullptr, -1, false, {} };
    // A failed allocation ends the scan by an exception: the list so far goes.
    struct PartialList {
        Scan& scan;
        bool kept = false;
        ~PartialList()
        {
            if (!kept)
                free_format_info(scan.head);
        }
    } partial { scan };
    u64 size = volume->size;
    LiveVolume live = load_live(volume, size);
    double threshold = 0.05;
    bool early = false;
    u64 chunk_off = 0;
    u64 next_pos = 0;
    u8 rec[kRecord];
    while (!scan.table_full) {
        u32 got = read_device(volume, buf.data(), kChunk, chunk_off);
        if (got == 0)
            break;
        u64 pos = std::max(next_pos, chunk_off);
        while (pos + kSector <= chunk_off + got && !scan.table_full) {
            const u8* s = buf.data() + (pos - chunk_off);
            if (load_le32(s) != kFileMagic || live.holds_system(pos) || !load_record(volume, buf.data(), chunk_off, got, pos, rec)
                || load_le64(rec + kRecBaseRef) != 0) {
                // Not a record, a record of the file system now on the volume, or an
                // extension record (its base record is found on its own).
                pos += kSector;
                continue;
            }
            FileName fn;
            ContextPtr fn_ctx = find_attribute(rec, NTFS_AT_FILE_NAME, u"", scan_options());
            if (!read_file_name(fn_ctx.get(), &fn) || live.holds_extend_member(pos, fn.parent)) {
                pos += kSector;
                continue;
            }
            static const u8 kMftName[8] = { '$', 0, 'M', 0, 'F', 0, 'T', 0 };
            bool is_mft = fn.name_length == 4 && std::memcmp(fn.name, kMftName, 8) == 0;
            if (is_mft) {
                pos = scan.add_mft(buf.data(), chunk_off, got, rec, pos);
                continue;
            }
            scan.add_file(rec, fn, pos);
            pos += kSector;
        }
        next_pos = pos;
        if (scan.table_full)
            break;
        u64 next = chunk_off + kChunk;
        if (volume->fs_code == BG_FS_NTFS ? next + 512 >= size : next >= size)
            break;
        chunk_off = next;
        if (double(chunk_off) / double(size) >= threshold) {
            bg_progress.fetch_add(5, std::memory_order_relaxed);
            threshold += 0.05;
        }
        if (bg_progress.load(std::memory_order_relaxed) > 99 || bg_stop_requested()) {
            early = true;
            break;
        }
    }
    link(m_table, scan.head, scan.own);
    if (!early)
        bg_progress.store(100, std::memory_order_relaxed);
    partial.kept = true;
    return scan.head;
}

NtfsFormatInfo* FormatRecovery::parent_of(const NtfsFormatInfo* record, NtfsNameParent* out) const
{
    if (!record || !out)
        return nullptr;
    u32 p = record->parent;
    int index = NTFS_FORMAT_FRAGMENT(record);
    if (index < kFragments) {
        const MftFragment& f = m_table.fragments[index];
        if ((f.context || f.self_anchored) && p < f.dir_count) {
            auto it = std::upper_bound(f.dirs.begin(), f.dirs.end(), p,
                                       [](u32 v, const DirSlot& s) { return v < s.record; });
            if (it != f.dirs.begin() && (it - 1)->record == p && (it - 1)->dir != record) {
                NtfsFormatInfo* d = (it - 1)->dir;
                out->reference_low = p;
                out->reference_high = 0;
                out->name_length = d->name_length;
                out->flags = d->kind & 1;
                out->fragment = u8(NTFS_FORMAT_FRAGMENT(d));
                std::memset(out->name, 0, sizeof out->name);
                std::memcpy(out->name, d->name, std::min<size_t>(size_t(d->name_length) * 2, 256));
                return d;
            }
        }
    }
    out->fragment = u8(index);
    out->name_length = 0;
    out->flags = 0;
    std::memset(out->name, 0, sizeof out->name);
    out->reference_low = p == kRootRecord ? kRootRecord : 0;
    out->reference_high = 0;
    return nullptr;
}

void free_format_info(NtfsFormatInfo* head)
{
    while (head) {
        NtfsFormatInfo* next = head->next;
        engine_free(head);
        head = next;
    }
}

} // namespace fsprobe::ntfs
