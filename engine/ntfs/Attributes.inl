// Attribute walk over a record buffer; included by Ntfs.h.
#pragma once

namespace fsprobe::ntfs {

template<typename Fn>
void for_each_attribute(const u8* record, size_t size, Fn&& fn)
{
    if (!record || size < 0x18)
        return;
    size_t off = load_le16(record + kRecFirstAttr);
    // Every attribute is at least a 0x18-byte resident header; the walk only
    // moves forward, so it ends after at most size / 0x18 steps.
    while (in_bounds(size, off, 4)) {
        u32 type = load_le32(record + off);
        if (type == kAttrEnd)
            return;
        if (!in_bounds(size, off, 0x18))
            return;
        u32 length = load_le32(record + off + kAttrLength);
        if (length < 0x18 || !in_bounds(size, off, length))
            return;
        AttrRef a;
        a.p = record + off;
        a.length = length;
        a.type = type;
        a.non_resident = record[off + kAttrNonResident] != 0;
        if (a.non_resident && length < kAttrNonResidentHeader)
            return;
        // The name must lie inside the attribute.
        u8 name_len = a.p[kAttrNameLength];
        u16 name_off = load_le16(a.p + kAttrNameOffset);
        if (name_len && !in_bounds(length, name_off, u64(name_len) * 2))
            return;
        if (!fn(a))
            return;
        off += length;
    }
}

} // namespace fsprobe::ntfs
