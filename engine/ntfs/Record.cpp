// MFT record parsing: update-sequence fix-up, run lists, attribute lookup
// (following attribute lists into extension records) and attribute contexts.

#include "Volume.h"

#include <algorithm>
#include <cstring>

namespace fsprobe::ntfs {

const u8* decode_run(const u8* p, const u8* end, i64* delta, u64* length)
{
    *delta = 0;
    *length = 0;
    if (!p || p >= end || *p == 0)
        return nullptr;
    unsigned len_size = *p & 0x0F;
    unsigned off_size = *p >> 4;
    if (len_size > 8 || off_size > 8 || u64(end - p) < 1 + u64(len_size) + off_size)
        return nullptr;
    const u8* q = p + 1;
    u64 len = 0;
    for (unsigned i = 0; i < len_size; ++i)
        len |= u64(q[i]) << (8 * i);
    q += len_size;
    *length = len;
    if (off_size == 0) {
        *delta = -1; // sparse
        return q;
    }
    u64 off = 0;
    for (unsigned i = 0; i < off_size; ++i)
        off |= u64(q[i]) << (8 * i);
    // Sign-extend from the top byte of the field.
    if (off_size < 8 && (q[off_size - 1] & 0x80))
        off |= ~u64(0) << (8 * off_size);
    *delta = i64(off);
    return q + off_size;
}

bool apply_fixup(u8* record, size_t size, u32 sector)
{
    if (!record || size < 0x30 || sector < 256 || (sector & 1))
        return false;
    u16 usa_off = load_le16(record + kRecUsaOffset);
    u16 usa_count = load_le16(record + kRecUsaCount);
    if (usa_count < 2 || !in_bounds(size, usa_off, u64(usa_count) * 2))
        return false;
    if (u64(usa_count - 1) * sector > size)
        return false;
    const u8* usa = record + usa_off;
    u16 usn = load_le16(usa);
    for (u32 k = 1; k < usa_count; ++k) {
        u8* tail = record + size_t(k) * sector - 2;
        if (load_le16(tail) != usn)
            return false;
        tail[0] = usa[2 * k];
        tail[1] = usa[2 * k + 1];
    }
    return true;
}

const u8* resident_value(const AttrRef& a, u32* length)
{
    *length = 0;
    if (a.non_resident)
        return nullptr;
    u32 vlen = load_le32(a.p + kAttrValueLength);
    u16 voff = load_le16(a.p + kAttrValueOffset);
    if (!in_bounds(a.length, voff, vlen))
        return nullptr;
    *length = vlen;
    return a.p + voff;
}

bool attribute_name_is(const AttrRef& a, const char16_t* name, size_t units)
{
    u8 len = a.p[kAttrNameLength];
    if (len != units)
        return false;
    const u8* n = a.p + load_le16(a.p + kAttrNameOffset);
    for (size_t i = 0; i < units; ++i)
        if (load_le16(n + 2 * i) != u16(name[i]))
            return false;
    return true;
}

static size_t u16_length(const char16_t* s)
{
    size_t n = 0;
    if (s)
        while (s[n] && n < 255)
            ++n;
    return n;
}

ContextPtr make_context(const std::vector<AttrRef>& pieces)
{
    if (pieces.empty())
        return nullptr;
    const AttrRef& first = pieces.front();
    auto ctx = std::make_unique<Context>();
    ctx->type = first.type;
    ctx->non_resident = first.non_resident;
    ctx->attribute.assign(first.p, first.p + first.length);
    if (!first.non_resident) {
        u32 vlen = 0;
        const u8* v = resident_value(first, &vlen);
        if (!v)
            return nullptr;
        ctx->value_offset = u32(v - first.p);
        ctx->data_size = vlen;
        ctx->init_size = vlen;
        ctx->alloc_size = vlen;
        return ctx;
    }
    ctx->alloc_size = load_le64(first.p + kAttrAllocSize);
    ctx->data_size = load_le64(first.p + kAttrDataSize);
    ctx->init_size = std::min(load_le64(first.p + kAttrInitSize), ctx->data_size);

    size_t capacity = 0;
    for (const auto& piece : pieces)
        capacity += piece.length / 2 + 1;
    ctx->runs.reserve(capacity);
    u64 next_vcn = load_le64(first.p + kAttrFirstVcn);
    for (const auto& piece : pieces) {
        if (!piece.non_resident || load_le64(piece.p + kAttrFirstVcn) != next_vcn)
            break; // a gap or an overlap: keep what is contiguous
        u16 runs_off = load_le16(piece.p + kAttrRunsOffset);
        if (runs_off >= piece.length)
            break;
        const u8* p = piece.p + runs_off;
        const u8* end = piece.p + piece.length;
        i64 base = 0; // each piece's run list starts from LCN 0
        bool damaged = false;
        while (p && p < end && *p) {
            i64 delta;
            u64 len;
            const u8* q = decode_run(p, end, &delta, &len);
            if (!q || len == 0 || next_vcn + len < next_vcn) {
                damaged = true;
                break;
            }
            i64 lcn = -1;
            if (p[0] >> 4) {
                // LCN arithmetic without signed overflow.
                u64 sum = u64(base) + u64(delta);
                lcn = i64(sum);
                if (lcn < 0 || (delta > 0 && lcn < base) || (delta < 0 && lcn > base)) {
                    damaged = true;
                    break;
                }
                base = lcn;
            }
            ctx->runs.push_back(Run { next_vcn, len, lcn });
            next_vcn += len;
            p = q;
        }
        if (damaged)
            break;
    }
    if (!ctx->runs.empty()) {
        ctx->lcn = ctx->runs[0].lcn;
        ctx->run_length = ctx->runs[0].length;
        ctx->lcn_base = ctx->lcn < 0 ? 0 : ctx->lcn;
    }
    return ctx;
}

u64 attribute_size(const Context* ctx) { return ctx ? ctx->data_size : 0; }

bool read_file_name(const Context* ctx, FileName* out)
{
    if (!ctx || ctx->non_resident || ctx->type != NTFS_AT_FILE_NAME)
        return false;
    if (ctx->data_size < kFnName)
        return false;
    const u8* v = ctx->value();
    u8 units = v[kFnNameLength];
    if (kFnName + u64(units) * 2 > ctx->data_size)
        return false;
    out->parent = load_le64(v + kFnParent);
    out->created = load_le64(v + kFnCreated);
    out->real_size = load_le64(v + kFnRealSize);
    out->flags = load_le32(v + kFnFlags);
    out->name_length = units;
    out->name_space = v[kFnNamespace];
    out->name = v + kFnName;
    return true;
}

static u8 file_name_space(const AttrRef& a)
{
    u32 vlen = 0;
    const u8* v = resident_value(a, &vlen);
    if (!v || vlen < kFnName)
        return 0xFF;
    return v[kFnNamespace];
}

// Candidate chooser shared by the base walk and the attribute-list walk: a
// DOS-only $FILE_NAME is only taken when no other name turns up.
struct Chooser {
    explicit Chooser(u32 wanted)
        : type(wanted)
    {
    }

    u32 type;
    ContextPtr held_dos;
    ContextPtr found;

    // Returns true when the search is over.
    bool offer(const AttrRef& a)
    {
        if (type == NTFS_AT_FILE_NAME) {
            if (a.non_resident)
                return false;
            u8 ns = file_name_space(a);
            if (ns == 0xFF)
                return false;
            ContextPtr c = make_context({ a });
            if (!c)
                return false;
            if (ns == kNamespaceDos) {
                held_dos = std::move(c);
                return false;
            }
            found = std::move(c);
            return true;
        }
        found = make_context({ a });
        return found != nullptr;
    }
    ContextPtr result() { return found ? std::move(found) : std::move(held_dos); }
};

namespace {

struct ListEntry {
    u64 vcn;
    u32 record;
    u16 id;
};

// Reads the value of an attribute list (resident, or through the volume).
std::vector<u8> list_value(const AttrRef& a, Volume& volume)
{
    std::vector<u8> value;
    if (!a.non_resident) {
        u32 len = 0;
        const u8* v = resident_value(a, &len);
        if (v)
            value.assign(v, v + len);
        return value;
    }
    ContextPtr c = make_context({ a });
    if (!c)
        return value;
    // An attribute list describes at most a few thousand attributes.
    constexpr u64 kMaxList = 4u << 20;
    if (c->data_size && c->data_size <= kMaxList) {
        value.resize(size_t(c->data_size));
        if (volume.read_attribute(*c, 0, value.data(), value.size()) != value.size())
            value.clear();
    }
    return value;
}

} // namespace

ContextPtr find_attribute(const u8* record, u32 type, const char16_t* name, const FindOptions& opts)
{
    if (!record)
        return nullptr;
    size_t units = u16_length(name);
    size_t size = opts.record_size;
    Chooser base(type);
    const u8* list_attr = nullptr;
    AttrRef list_ref;
    for_each_attribute(record, size, [&](const AttrRef& a) {
        if (a.type == NTFS_AT_ATTRIBUTE_LIST && !list_attr) {
            list_attr = a.p;
            list_ref = a;
        }
        if (a.type == type && attribute_name_is(a, name, units))
            return !base.offer(a);
        return true;
    });
    Volume* volume = opts.volume;
    if (!list_attr || !volume || !volume->is_open())
        return base.result();

    // The attribute list names every attribute of the file and the record that
    // holds it; pieces of one non-resident attribute are listed in VCN order.
    std::vector<u8> value = list_value(list_ref, *volume);
    std::vector<ListEntry> entries;
    size_t off = 0;
    while (off + 0x1A <= value.size()) {
        const u8* e = value.data() + off;
        u16 elen = load_le16(e + 4);
        if (elen < 0x1A || off + elen > value.size())
            break;
        u8 nlen = e[6];
        u8 noff = e[7];
        if (load_le32(e) == type && nlen == units && in_bounds(elen, noff, u64(nlen) * 2)) {
            bool same = true;
            for (size_t i = 0; i < units && same; ++i)
                same = load_le16(e + noff + 2 * i) == u16(name[i]);
            if (same)
                entries.push_back({ load_le64(e + 8), u32(load_le64(e + 0x10) & 0xFFFFFFFF), load_le16(e + 0x18) });
        }
        off += elen;
    }
    if (entries.empty())
        return base.result();

    u32 self = opts.self_number;
    if (self == 0xFFFFFFFF && load_le16(record + kRecUsaOffset) >= 0x30)
        self = load_le32(record + kRecNumber);
    struct Loaded {
        u32 number;
        std::vector<u8> bytes;
    };
    std::vector<Loaded> loaded;
    auto record_of = [&](u32 number) -> const u8* {
        if (number == self)
            return record;
        for (auto& l : loaded)
            if (l.number == number)
                return l.bytes.data();
        std::vector<u8> buf(size);
        if (!volume->read_mft_record(number, buf.data(), size))
            return nullptr;
        // An extension record must belong to this file.
        if (load_le32(buf.data()) != kFileMagic)
            return nullptr;
        u32 base_of = u32(load_le64(buf.data() + kRecBaseRef) & 0xFFFFFFFF);
        if (self != 0xFFFFFFFF && base_of != self)
            return nullptr;
        loaded.push_back({ number, std::move(buf) });
        return loaded.back().bytes.data();
    };

    std::vector<AttrRef> pieces;
    Chooser chooser(type);
    bool done = false;
    for (const auto& entry : entries) {
        if (done)
            break;
        const u8* rec = record_of(entry.record);
        if (!rec)
            continue;
        AttrRef hit;
        for_each_attribute(rec, size, [&](const AttrRef& a) {
            if (a.type != type || !attribute_name_is(a, name, units))
                return true;
            if (load_le16(a.p + 0x0E) == entry.id) {
                hit = a;
                return false;
            }
            return true;
        });
        if (!hit.p)
            continue;
        if (type == NTFS_AT_FILE_NAME)
            done = chooser.offer(hit);
        else if (hit.non_resident)
            pieces.push_back(hit);
        else if (pieces.empty()) {
            chooser.offer(hit);
            done = true;
        }
    }
    if (!pieces.empty()) {
        std::stable_sort(pieces.begin(), pieces.end(), [](const AttrRef& x, const AttrRef& y) {
            return load_le64(x.p + kAttrFirstVcn) < load_le64(y.p + kAttrFirstVcn);
        });
        if (ContextPtr joined = make_context(pieces))
            return joined;
    }
    if (ContextPtr via_list = chooser.result())
        return via_list;
    return base.result();
}

} // namespace fsprobe::ntfs
