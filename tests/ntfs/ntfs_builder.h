// Builders for synthetic NTFS structures: MFT records with attributes, run
// lists and a minimal volume (boot sector + MFT) in memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ntfs_test {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, size_t off, uint16_t v) { b[off] = uint8_t(v); b[off + 1] = uint8_t(v >> 8); }
inline void put32(Bytes& b, size_t off, uint32_t v) { for (int i = 0; i < 4; ++i) b[off + i] = uint8_t(v >> (8 * i)); }
inline void put64(Bytes& b, size_t off, uint64_t v) { for (int i = 0; i < 8; ++i) b[off + i] = uint8_t(v >> (8 * i)); }

inline Bytes utf16(const std::u16string& s)
{
    Bytes b(s.size() * 2);
    for (size_t i = 0; i < s.size(); ++i)
        put16(b, 2 * i, uint16_t(s[i]));
    return b;
}

// $FILE_NAME value.
inline Bytes file_name_value(uint64_t parent, const std::u16string& name, uint8_t name_space, uint32_t flags = 0,
                             uint64_t created = 0x01D0000000000000ull, uint64_t real_size = 0)
{
    Bytes v(0x42 + name.size() * 2, 0);
    put64(v, 0x00, parent);
    put64(v, 0x08, created);
    put64(v, 0x30, real_size);
    put32(v, 0x38, flags);
    v[0x40] = uint8_t(name.size());
    v[0x41] = name_space;
    Bytes n = utf16(name);
    std::memcpy(v.data() + 0x42, n.data(), n.size());
    return v;
}

inline Bytes resident_attr(uint32_t type, const Bytes& value, const std::u16string& name = u"", uint16_t id = 0)
{
    size_t name_off = 0x18;
    size_t value_off = (name_off + name.size() * 2 + 7) & ~size_t(7);
    size_t len = (value_off + value.size() + 7) & ~size_t(7);
    Bytes a(len, 0);
    put32(a, 0, type);
    put32(a, 4, uint32_t(len));
    a[8] = 0;
    a[9] = uint8_t(name.size());
    put16(a, 0x0A, uint16_t(name_off));
    put16(a, 0x0E, id);
    put32(a, 0x10, uint32_t(value.size()));
    put16(a, 0x14, uint16_t(value_off));
    Bytes n = utf16(name);
    if (!n.empty())
        std::memcpy(a.data() + name_off, n.data(), n.size());
    if (!value.empty())
        std::memcpy(a.data() + value_off, value.data(), value.size());
    return a;
}

inline Bytes nonresident_attr(uint32_t type, const Bytes& runs, uint64_t first_vcn, uint64_t last_vcn, uint64_t alloc,
                              uint64_t size, const std::u16string& name = u"", uint16_t id = 0, uint64_t init = ~0ull)
{
    size_t name_off = 0x40;
    size_t runs_off = (name_off + name.size() * 2 + 7) & ~size_t(7);
    size_t len = (runs_off + runs.size() + 1 + 7) & ~size_t(7);
    Bytes a(len, 0);
    put32(a, 0, type);
    put32(a, 4, uint32_t(len));
    a[8] = 1;
    a[9] = uint8_t(name.size());
    put16(a, 0x0A, uint16_t(name_off));
    put16(a, 0x0E, id);
    put64(a, 0x10, first_vcn);
    put64(a, 0x18, last_vcn);
    put16(a, 0x20, uint16_t(runs_off));
    put64(a, 0x28, alloc);
    put64(a, 0x30, size);
    put64(a, 0x38, init == ~0ull ? size : init);
    Bytes n = utf16(name);
    if (!n.empty())
        std::memcpy(a.data() + name_off, n.data(), n.size());
    std::memcpy(a.data() + runs_off, runs.data(), runs.size());
    return a;
}

// An MFT record of `size` bytes with the given attributes and the
// update-sequence array applied for `sector`-byte strides.
inline Bytes mft_record(uint32_t number, uint16_t flags, const std::vector<Bytes>& attrs, size_t size = 1024,
                        uint32_t sector = 512, uint64_t base_ref = 0, uint16_t usn = 0x0A0B)
{
    Bytes r(size, 0);
    std::memcpy(r.data(), "FILE", 4);
    uint16_t strides = uint16_t(size / sector);
    put16(r, 0x04, 0x30);
    put16(r, 0x06, uint16_t(strides + 1));
    put16(r, 0x10, 1);
    put16(r, 0x12, 1);
    size_t first = (0x30 + 2 * (strides + 1) + 7) & ~size_t(7);
    put16(r, 0x14, uint16_t(first));
    put16(r, 0x16, flags);
    put32(r, 0x1C, uint32_t(size));
    put64(r, 0x20, base_ref);
    put32(r, 0x2C, number);
    size_t off = first;
    for (const auto& a : attrs) {
        std::memcpy(r.data() + off, a.data(), a.size());
        off += a.size();
    }
    put32(r, off, 0xFFFFFFFF);
    put32(r, 0x18, uint32_t(off + 8));
    put16(r, 0x30, usn);
    for (uint16_t k = 1; k <= strides; ++k) {
        size_t tail = size_t(k) * sector - 2;
        r[0x30 + 2 * k] = r[tail];
        r[0x30 + 2 * k + 1] = r[tail + 1];
        put16(r, tail, usn);
    }
    return r;
}

// A minimal NTFS volume: 512-byte sectors, `cluster` bytes per cluster,
// 1024-byte records, the MFT at cluster `mft_lcn` holding `records` records
// in one run. Records are placed with put_record.
class VolumeImage {
public:
    VolumeImage(uint64_t bytes, uint32_t cluster, uint64_t mft_lcn, uint32_t records)
        : m_bytes(bytes, 0)
        , m_cluster(cluster)
        , m_mft_lcn(mft_lcn)
    {
        Bytes& b = m_bytes;
        b[0] = 0xEB;
        b[1] = 0x52;
        b[2] = 0x90;
        std::memcpy(b.data() + 3, "NTFS    ", 8);
        put16(b, 0x0B, 512);
        b[0x0D] = uint8_t(cluster / 512);
        put64(b, 0x28, bytes / 512 - 1);
        put64(b, 0x30, mft_lcn);
        put64(b, 0x38, mft_lcn + 100);
        b[0x40] = 0xF6; // 1024-byte records
        b[0x44] = 0xF4; // 4096-byte index blocks
        b[510] = 0x55;
        b[511] = 0xAA;
        uint64_t mft_bytes = uint64_t(records) * 1024;
        uint64_t clusters = (mft_bytes + cluster - 1) / cluster;
        Bytes runs = { 0x32, uint8_t(clusters), uint8_t(clusters >> 8), uint8_t(mft_lcn), uint8_t(mft_lcn >> 8),
                       uint8_t(mft_lcn >> 16) };
        put_record(0, mft_record(0, 1, { resident_attr(0x30, file_name_value(5, u"$MFT", 3)),
                                         nonresident_attr(0x80, runs, 0, clusters - 1, clusters * cluster, mft_bytes) }));
    }
    void put_record(uint32_t number, const Bytes& rec) { put(m_mft_lcn * m_cluster + uint64_t(number) * 1024, rec); }
    void put(uint64_t offset, const Bytes& data) { std::memcpy(m_bytes.data() + offset, data.data(), data.size()); }
    Bytes& bytes() { return m_bytes; }

private:
    Bytes m_bytes;
    uint32_t m_cluster;
    uint64_t m_mft_lcn;
};

} // namespace ntfs_test
