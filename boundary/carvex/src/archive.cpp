// Compressed archives: gzip (by decoding its deflate stream), 7z, RAR.
#include "checksum.h"
#include "formats.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace carvex {

namespace {

class BitReader {
public:
    BitReader(Source& s, uint64_t pos, uint64_t limit)
        : m_s(s)
        , m_pos(pos)
        , m_limit(limit)
    {
    }
    bool need(int n)
    {
        while (m_count < n) {
            if (m_pos >= m_limit)
                return false;
            const uint8_t* p = m_s.get(m_pos, 1);
            if (!p)
                return false;
            m_bits |= uint64_t(*p) << m_count;
            m_count += 8;
            ++m_pos;
        }
        return true;
    }
    bool bits(int n, uint32_t& out)
    {
        if (n == 0) {
            out = 0;
            return true;
        }
        if (!need(n))
            return false;
        out = uint32_t(m_bits & ((uint64_t(1) << n) - 1));
        m_bits >>= n;
        m_count -= n;
        return true;
    }
    void align()
    {
        m_bits >>= m_count % 8;
        m_count -= m_count % 8;
    }
    // Byte position of the next unread whole byte (after align()).
    uint64_t byte_pos() const { return m_pos - uint64_t(m_count / 8); }
    void skip_to(uint64_t pos)
    {
        m_pos = pos;
        m_bits = 0;
        m_count = 0;
    }

private:
    Source& m_s;
    uint64_t m_pos, m_limit;
    uint64_t m_bits = 0;
    int m_count = 0;
};

// A canonical Huffman code given by its code lengths.
struct Huffman {
    uint16_t count[16] = {};
    uint16_t symbol[320] = {};
    bool build(const uint8_t* lengths, int n)
    {
        std::memset(count, 0, sizeof count);
        for (int i = 0; i < n; ++i)
            ++count[lengths[i]];
        if (count[0] == n)
            return true; // no codes: valid only if never used
        int left = 1;
        for (int len = 1; len < 16; ++len) {
            left <<= 1;
            left -= count[len];
            if (left < 0)
                return false; // over-subscribed
        }
        uint16_t offs[16];
        offs[1] = 0;
        for (int len = 1; len < 15; ++len)
            offs[len + 1] = uint16_t(offs[len] + count[len]);
        for (int i = 0; i < n; ++i)
            if (lengths[i])
                symbol[offs[lengths[i]]++] = uint16_t(i);
        return true;
    }
    // Decodes one symbol, reading the code bit by bit (codes are stored
    // most significant bit first).
    int decode(BitReader& br) const
    {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len < 16; ++len) {
            uint32_t b;
            if (!br.bits(1, b))
                return -1;
            code |= int(b);
            int c = count[len];
            if (code - c < first)
                return symbol[index + (code - first)];
            index += c;
            first += c;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }
};

const uint16_t kLenBase[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Decodes a deflate stream only to learn where it ends and to check what it
// produces: the output is kept in a 32 KiB window for back-references and
// run through CRC-32, never stored.
class Inflater {
public:
    Inflater(BitReader& br)
        : m_br(br)
        , m_window(32768)
    {
    }
    uint32_t crc() const { return ~m_crc; }
    uint64_t total() const { return m_total; }

    bool run()
    {
        for (int blocks = 0; blocks < (1 << 26); ++blocks) {
            uint32_t final_block, type;
            if (!m_br.bits(1, final_block) || !m_br.bits(2, type))
                return false;
            bool ok = type == 0 ? stored() : type == 1 ? fixed() : type == 2 ? dynamic() : false;
            if (!ok)
                return false;
            if (final_block)
                return true;
        }
        return false;
    }

private:
    void put(uint8_t b)
    {
        m_window[m_total & 32767] = b;
        m_crc = kCrc32Table[(m_crc ^ b) & 0xFF] ^ (m_crc >> 8);
        ++m_total;
    }
    bool stored()
    {
        m_br.align();
        uint32_t len, nlen;
        if (!m_br.bits(16, len) || !m_br.bits(16, nlen) || (len ^ 0xFFFF) != nlen)
            return false;
        for (uint32_t i = 0; i < len; ++i) {
            uint32_t b;
            if (!m_br.bits(8, b))
                return false;
            put(uint8_t(b));
        }
        return true;
    }
    bool codes(const Huffman& lit, const Huffman& dist)
    {
        for (;;) {
            int sym = lit.decode(m_br);
            if (sym < 0)
                return false;
            if (sym < 256) {
                put(uint8_t(sym));
                continue;
            }
            if (sym == 256)
                return true;
            sym -= 257;
            if (sym >= 29)
                return false;
            uint32_t extra;
            if (!m_br.bits(kLenExtra[sym], extra))
                return false;
            uint32_t len = kLenBase[sym] + extra;
            int ds = dist.decode(m_br);
            if (ds < 0 || ds >= 30 || !m_br.bits(kDistExtra[ds], extra))
                return false;
            uint32_t d = kDistBase[ds] + extra;
            if (d > m_total || d > 32768)
                return false;
            for (uint32_t i = 0; i < len; ++i)
                put(m_window[(m_total - d) & 32767]);
        }
    }
    bool fixed()
    {
        uint8_t l[320];
        int i = 0;
        for (; i < 144; ++i)
            l[i] = 8;
        for (; i < 256; ++i)
            l[i] = 9;
        for (; i < 280; ++i)
            l[i] = 7;
        for (; i < 288; ++i)
            l[i] = 8;
        Huffman lit, dist;
        lit.build(l, 288);
        uint8_t d[30];
        std::memset(d, 5, sizeof d);
        dist.build(d, 30);
        return codes(lit, dist);
    }
    bool dynamic()
    {
        uint32_t hlit, hdist, hclen;
        if (!m_br.bits(5, hlit) || !m_br.bits(5, hdist) || !m_br.bits(4, hclen))
            return false;
        hlit += 257;
        hdist += 1;
        hclen += 4;
        if (hlit > 286 || hdist > 30)
            return false;
        static const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        uint8_t cl[19] = {};
        for (uint32_t i = 0; i < hclen; ++i) {
            uint32_t v;
            if (!m_br.bits(3, v))
                return false;
            cl[kOrder[i]] = uint8_t(v);
        }
        Huffman clh;
        if (!clh.build(cl, 19))
            return false;
        uint8_t lens[320] = {};
        uint32_t n = 0;
        while (n < hlit + hdist) {
            int sym = clh.decode(m_br);
            if (sym < 0)
                return false;
            if (sym < 16) {
                lens[n++] = uint8_t(sym);
                continue;
            }
            uint32_t rep, v = 0;
            if (sym == 16) {
                if (n == 0 || !m_br.bits(2, rep))
                    return false;
                v = lens[n - 1];
                rep += 3;
            } else if (sym == 17) {
                if (!m_br.bits(3, rep))
                    return false;
                rep += 3;
            } else {
                if (!m_br.bits(7, rep))
                    return false;
                rep += 11;
            }
            if (n + rep > hlit + hdist)
                return false;
            while (rep--)
                lens[n++] = uint8_t(v);
        }
        if (lens[256] == 0)
            return false;
        Huffman lit, dist;
        if (!lit.build(lens, int(hlit)) || !dist.build(lens + hlit, int(hdist)))
            return false;
        return codes(lit, dist);
    }

    BitReader& m_br;
    std::vector<uint8_t> m_window;
    uint32_t m_crc = 0xFFFFFFFFu;
    uint64_t m_total = 0;
};

} // namespace

// gzip member: header fields, the deflate stream decoded to its last block,
// then CRC-32 and length of the data, both checked. Members that follow
// directly (a concatenated gzip file) belong to the same file.
Found find_gz(Source& s, uint64_t off)
{
    const uint64_t limit = search_limit(s, off, uint64_t(2) << 30);
    uint64_t pos = off;
    int members = 0;
    for (; members < 1024; ++members) {
        const uint8_t* h = s.get(pos, 10);
        if (!h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0))
            break;
        uint8_t flags = h[3];
        uint64_t p = pos + 10;
        if (flags & 4) {
            const uint8_t* x = s.get(p, 2);
            if (!x)
                break;
            p += 2 + le16(x);
        }
        bool bad = false;
        for (int f : {8, 16}) {
            if (!(flags & f))
                continue;
            uint64_t z = find_bytes(s, p, std::min(limit, p + 65536), "\0", 1);
            if (z == UINT64_MAX) {
                bad = true;
                break;
            }
            p = z + 1;
        }
        if (bad)
            break;
        if (flags & 2)
            p += 2;
        BitReader br(s, p, limit);
        Inflater inf(br);
        if (!inf.run())
            break;
        br.align();
        uint64_t t = br.byte_pos();
        const uint8_t* tr = s.get(t, 8);
        if (!tr || le32(tr) != inf.crc() || le32(tr + 4) != uint32_t(inf.total()))
            break;
        pos = t + 8;
    }
    if (!members)
        return {};
    return {pos - off, "gz"};
}

// Signature header: the next header's offset and size give the end; the
// start header's CRC and the next header's CRC are both checked.
Found find_7z(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 32);
    if (!h || std::memcmp(h, "7z\xBC\xAF\x27\x1C", 6) != 0 || h[6] != 0)
        return {};
    if (crc32_ieee(0, h + 12, 20) != le32(h + 8))
        return {};
    uint64_t next_off = le64(h + 12), next_size = le64(h + 20);
    uint32_t next_crc = le32(h + 28);
    if (next_size == 0 || next_size > (uint64_t(1) << 32) || next_off > s.size())
        return {};
    uint64_t end = 32 + next_off + next_size;
    if (end > s.size() - off)
        return {};
    uint32_t c = 0;
    for (uint64_t p = off + 32 + next_off, left = next_size; left;) {
        size_t n = size_t(std::min<uint64_t>(left, Source::kOverlap));
        const uint8_t* d = s.get(p, n);
        if (!d)
            return {};
        c = crc32_ieee(c, d, n);
        p += n;
        left -= n;
    }
    if (c != next_crc)
        return {};
    return {end, "7z"};
}

namespace {

bool rar5_vint(const uint8_t* p, size_t avail, size_t& at, uint64_t& v)
{
    v = 0;
    for (int shift = 0; shift < 64 && at < avail; shift += 7) {
        uint8_t b = p[at++];
        v |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

} // namespace

// Block walk to the end-of-archive block, each block header checked with its
// CRC (RAR 4: low 16 bits of CRC-32; RAR 5: CRC-32 over the header).
Found find_rar(Source& s, uint64_t off)
{
    const uint8_t* m = s.get(off, 8);
    if (!m)
        return {};
    if (std::memcmp(m, "Rar!\x1A\x07\x00", 7) == 0) {
        uint64_t pos = off + 7;
        int blocks = 0;
        for (; blocks < (1 << 24); ++blocks) {
            const uint8_t* b = s.get(pos, 7);
            if (!b)
                break;
            uint32_t type = b[2], flags = le16(b + 3), size = le16(b + 5);
            if (type < 0x72 || type > 0x7B || size < 7)
                break;
            const uint8_t* hd = s.get(pos, size);
            if (!hd || (crc32_ieee(0, hd + 2, size - 2) & 0xFFFF) != le16(b))
                break;
            uint64_t add = 0;
            if ((flags & 0x8000) || type == 0x74) {
                if (size < 11)
                    break;
                add = le32(hd + 7);
                if (type == 0x74 && (flags & 0x100) && size >= 36)
                    add |= uint64_t(le32(hd + 32)) << 32;
            }
            pos += size + add;
            if (pos > s.size())
                return {};
            if (type == 0x7B)
                return {pos - off, "rar"};
        }
        if (blocks < 2)
            return {};
        return {pos - off, "rar"};
    }
    if (std::memcmp(m, "Rar!\x1A\x07\x01\x00", 8) == 0) {
        uint64_t pos = off + 8;
        for (int blocks = 0; blocks < (1 << 24); ++blocks) {
            const uint8_t* b = s.get(pos, std::min<uint64_t>(32, s.size() - pos));
            if (!b || s.size() - pos < 7)
                return {};
            size_t at = 4;
            uint64_t hsize;
            if (!rar5_vint(b, 32, at, hsize) || hsize == 0 || hsize > (2u << 20) - 3)
                return {};
            const uint8_t* hd = s.get(pos + 4, at - 4 + size_t(hsize));
            if (!hd || crc32_ieee(0, hd, at - 4 + size_t(hsize)) != le32(b))
                return {};
            size_t total = at - 4 + size_t(hsize), q = at - 4;
            uint64_t type, flags, extra = 0, data = 0;
            if (!rar5_vint(hd, total, q, type) || !rar5_vint(hd, total, q, flags))
                return {};
            if ((flags & 1) && !rar5_vint(hd, total, q, extra))
                return {};
            if ((flags & 2) && !rar5_vint(hd, total, q, data))
                return {};
            if (type == 4 || type == 0 || type > 5)
                return {}; // encrypted headers cannot be walked
            if (data > s.size() - pos)
                return {};
            pos += 4 + total + data;
            if (pos > s.size())
                return {};
            if (type == 5)
                return {pos - off, "rar"};
        }
        return {};
    }
    return {};
}

} // namespace carvex
