// Photo formats: JPEG, PNG, GIF, BMP, TIFF, ICO.
#include "formats.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace carvex {

namespace {

// Skips entropy-coded JPEG data from `pos`: returns the position of the next
// marker (an 0xFF not followed by a stuffed zero, a restart marker or fill), or
// 0 when the data runs off the volume.
uint64_t skip_entropy(Source& s, uint64_t pos, uint64_t limit)
{
    // Coded data holds an 0xFF (a stuffed one at least) every few hundred
    // bytes; a long stretch without any is not part of this image, and
    // stopping there keeps a header left before an erased area cheap.
    const uint64_t kMaxWithoutFF = uint64_t(1) << 20;
    uint64_t since_ff = 0;
    while (pos < limit) {
        size_t avail = 0;
        const uint8_t* d = s.span(pos, avail);
        if (!d)
            return 0;
        avail = size_t(std::min<uint64_t>(avail, limit - pos));
        const void* f = std::memchr(d, 0xFF, avail);
        if (!f) {
            pos += avail;
            since_ff += avail;
            if (since_ff > kMaxWithoutFF)
                return 0;
            continue;
        }
        since_ff = 0;
        uint64_t at = pos + uint64_t(static_cast<const uint8_t*>(f) - d);
        const uint8_t* two = s.get(at, 2);
        if (!two)
            return 0;
        uint8_t b = two[1];
        if (b == 0x00 || (b >= 0xD0 && b <= 0xD7))
            pos = at + 2;
        else if (b == 0xFF)
            pos = at + 1;
        else
            return at;
    }
    return 0;
}

bool is_sof(uint8_t m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

} // namespace

// Marker walk from SOI to EOI. Segment lengths carry the walk over the header
// segments (EXIF and its embedded thumbnail included); after each SOS the
// entropy-coded data is skipped to the next real marker. Progressive files
// have several scans, each walked the same way.
Found find_jpg(Source& s, uint64_t off)
{
    const uint64_t limit = search_limit(s, off);
    uint64_t pos = off + 2;
    bool sof = false, sos = false;
    for (int guard = 0; guard < 1 << 20; ++guard) {
        const uint8_t* p = s.get(pos, 4);
        if (!p || p[0] != 0xFF)
            return {};
        uint8_t m = p[1];
        if (m == 0xFF) { // fill byte before a marker
            ++pos;
            continue;
        }
        if (m == 0xD9) {
            if (!sof || !sos)
                return {};
            return {pos + 2 - off, "jpg"};
        }
        if (m == 0x01) {
            pos += 2;
            continue;
        }
        if (m == 0x00 || m == 0xD8 || (m >= 0xD0 && m <= 0xD7))
            return {};
        uint16_t len = be16(p + 2);
        if (len < 2)
            return {};
        if (is_sof(m)) {
            if (len < 8)
                return {};
            sof = true;
        }
        uint64_t next = pos + 2 + len;
        if (next >= limit)
            return {};
        if (m == 0xDA) {
            if (!sof)
                return {};
            sos = true;
            next = skip_entropy(s, next, limit);
            if (!next)
                return {};
        }
        pos = next;
    }
    return {};
}

// Chunk walk to IEND: length, type, data, CRC. IHDR first; IEND is empty and
// its CRC is the fixed value of an empty IEND.
Found find_png(Source& s, uint64_t off)
{
    const uint64_t limit = search_limit(s, off);
    uint64_t pos = off + 8;
    for (uint32_t n = 0; n < (1u << 24); ++n) {
        const uint8_t* p = s.get(pos, 8);
        if (!p)
            return {};
        uint32_t len = be32(p);
        if (len > 0x7FFFFFFFu)
            return {};
        for (int i = 4; i < 8; ++i)
            if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= 'a' && p[i] <= 'z')))
                return {};
        if (n == 0 && (std::memcmp(p + 4, "IHDR", 4) != 0 || len != 13))
            return {};
        uint64_t next = pos + 12 + len;
        if (next > limit)
            return {};
        if (std::memcmp(p + 4, "IEND", 4) == 0) {
            const uint8_t* c = s.get(pos + 8, 4);
            if (len != 0 || !c || std::memcmp(c, "\xAE\x42\x60\x82", 4) != 0)
                return {};
            return {next - off, "png"};
        }
        pos = next;
    }
    return {};
}

namespace {

// Skips a chain of GIF data sub-blocks (length byte, data) ended by an empty
// one. Returns the position after the terminator, or 0.
uint64_t gif_subblocks(Source& s, uint64_t pos, uint64_t limit)
{
    while (pos < limit) {
        const uint8_t* p = s.get(pos, 1);
        if (!p)
            return 0;
        pos += 1 + p[0];
        if (p[0] == 0)
            return pos;
    }
    return 0;
}

} // namespace

// Block walk: screen descriptor and colour table, then extensions and images
// (each with its sub-block chain) up to the trailer 0x3B.
Found find_gif(Source& s, uint64_t off)
{
    const uint64_t limit = search_limit(s, off);
    const uint8_t* h = s.get(off, 13);
    if (!h || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0))
        return {};
    uint64_t pos = off + 13;
    if (h[10] & 0x80)
        pos += 3u << ((h[10] & 7) + 1);
    int images = 0;
    for (int guard = 0; guard < 1 << 22; ++guard) {
        const uint8_t* p = s.get(pos, 1);
        if (!p)
            return {};
        if (p[0] == 0x3B)
            return images ? Found{pos + 1 - off, "gif"} : Found{};
        if (p[0] == 0x21) {
            pos = gif_subblocks(s, pos + 2, limit);
        } else if (p[0] == 0x2C) {
            const uint8_t* d = s.get(pos, 11);
            if (!d)
                return {};
            pos += 10;
            if (d[9] & 0x80)
                pos += 3u << ((d[9] & 7) + 1);
            const uint8_t* lzw = s.get(pos, 1);
            if (!lzw || *lzw < 1 || *lzw > 12)
                return {};
            pos = gif_subblocks(s, pos + 1, limit);
            ++images;
        } else {
            return {};
        }
        if (!pos)
            return {};
    }
    return {};
}

// The file header gives the size; the info header must agree with it (pixel
// data offset inside the file, pixel rows of an uncompressed image fitting).
Found find_bmp(Source& s, uint64_t off)
{
    const uint8_t* p = s.get(off, 54);
    if (!p || p[0] != 'B' || p[1] != 'M')
        return {};
    uint32_t fsize = le32(p + 2), data = le32(p + 10), hdr = le32(p + 14);
    if (hdr != 12 && hdr != 40 && hdr != 52 && hdr != 56 && hdr != 64 && hdr != 108 && hdr != 124)
        return {};
    if (le32(p + 6) != 0 && hdr == 12)
        return {};
    if (data < 14 + hdr || data >= fsize || fsize > s.size() - off)
        return {};
    int64_t w, h;
    uint32_t planes, bpp, comp = 0;
    if (hdr == 12) {
        w = le16(p + 18);
        h = le16(p + 20);
        planes = le16(p + 22);
        bpp = le16(p + 24);
    } else {
        w = int32_t(le32(p + 18));
        h = int32_t(le32(p + 22));
        planes = le16(p + 26);
        bpp = le16(p + 28);
        comp = le32(p + 30);
    }
    if (planes != 1 || w <= 0 || h == 0 || w > 1 << 20 || h > 1 << 20 || h < -(1 << 20))
        return {};
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return {};
    if (comp == 0 || comp == 3 || comp == 6) {
        uint64_t row = ((uint64_t(w) * bpp + 31) / 32) * 4;
        uint64_t need = data + row * uint64_t(h < 0 ? -h : h);
        if (need > fsize || fsize - need > (1u << 20))
            return {};
    } else if (comp > 6) {
        return {};
    }
    return {fsize, "bmp"};
}

namespace {

class TiffWalker {
public:
    TiffWalker(Source& s, uint64_t off, bool le)
        : m_s(s)
        , m_off(off)
        , m_le(le)
    {
    }
    uint32_t u16(const uint8_t* p) const { return m_le ? le16(p) : be16(p); }
    uint32_t u32(const uint8_t* p) const { return m_le ? le32(p) : be32(p); }

    // Value i of an entry's SHORT or LONG array.
    bool value(uint32_t type, uint32_t count, const uint8_t* entry, uint32_t i, uint64_t& out)
    {
        // Damaged IFDs may point many times at the same huge arrays.
        if (m_budget == 0)
            return false;
        --m_budget;
        uint32_t sz = type == 3 ? 2 : 4;
        uint64_t at;
        if (uint64_t(count) * sz <= 4) {
            const uint8_t* v = entry + 8 + i * sz;
            out = sz == 2 ? u16(v) : u32(v);
            return true;
        }
        at = m_off + u32(entry + 8) + uint64_t(i) * sz;
        const uint8_t* v = m_s.get(at, sz);
        if (!v)
            return false;
        out = sz == 2 ? u16(v) : u32(v);
        return true;
    }

    // Walks every IFD reachable from the first; returns the end of the
    // furthest structure or data block, 0 on damage.
    uint64_t walk(uint32_t first)
    {
        std::vector<uint32_t> queue{first}, seen;
        bool image_data = false;
        while (!queue.empty()) {
            uint32_t ifd = queue.back();
            queue.pop_back();
            if (ifd < 8 || std::find(seen.begin(), seen.end(), ifd) != seen.end())
                continue;
            if (seen.size() >= 256)
                return 0;
            seen.push_back(ifd);
            const uint8_t* c = m_s.get(m_off + ifd, 2);
            if (!c)
                return 0;
            uint32_t n = u16(c);
            if (n == 0 || n > 1000)
                return 0;
            const uint8_t* e = m_s.get(m_off + ifd + 2, n * 12 + 4);
            if (!e)
                return 0;
            bump(uint64_t(ifd) + 2 + n * 12 + 4);
            std::vector<uint8_t> entries(e, e + n * 12 + 4);
            uint32_t next = u32(entries.data() + n * 12);
            uint64_t strip_off[2] = {0, 0}, strip_cnt[2] = {0, 0};
            const uint8_t* off_entry[2] = {nullptr, nullptr};
            const uint8_t* cnt_entry[2] = {nullptr, nullptr};
            uint64_t jpeg_at = 0, jpeg_len = 0;
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t* en = entries.data() + i * 12;
                uint32_t tag = u16(en), type = u16(en + 2), count = u32(en + 4);
                static const uint8_t kSize[19] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
                if (type == 0 || type > 18 || kSize[type] == 0)
                    continue;
                uint64_t bytes = uint64_t(count) * kSize[type];
                if (bytes > 4)
                    bump(uint64_t(u32(en + 8)) + bytes);
                int k = -1;
                if (tag == 273 || tag == 324)
                    k = 0, off_entry[tag == 324] = en, strip_off[tag == 324] = count;
                if (tag == 279 || tag == 325)
                    k = 1, cnt_entry[tag == 325] = en, strip_cnt[tag == 325] = count;
                (void)k;
                if (tag == 513 && count == 1)
                    jpeg_at = u32(en + 8);
                if (tag == 514 && count == 1)
                    jpeg_len = u32(en + 8);
                if ((tag == 330 || tag == 34665 || tag == 34853 || tag == 40965) && (type == 4 || type == 13)) {
                    for (uint32_t j = 0; j < count && j < 64; ++j) {
                        uint64_t v;
                        if (!value(4, count, en, j, v))
                            return 0;
                        queue.push_back(uint32_t(v));
                    }
                }
            }
            for (int t = 0; t < 2; ++t) {
                if (!off_entry[t] || !cnt_entry[t] || strip_off[t] != strip_cnt[t] || strip_off[t] > (1u << 20))
                    continue;
                uint32_t ot = u16(off_entry[t] + 2), ct = u16(cnt_entry[t] + 2);
                if ((ot != 3 && ot != 4) || (ct != 3 && ct != 4))
                    return 0;
                for (uint32_t j = 0; j < strip_off[t]; ++j) {
                    uint64_t o, c2;
                    if (!value(ot, uint32_t(strip_off[t]), off_entry[t], j, o) || !value(ct, uint32_t(strip_cnt[t]), cnt_entry[t], j, c2))
                        return 0;
                    bump(o + c2);
                }
                image_data = true;
            }
            if (jpeg_at && jpeg_len) {
                bump(jpeg_at + jpeg_len);
                image_data = true;
            }
            if (next)
                queue.push_back(next);
        }
        return image_data ? m_end : 0;
    }

private:
    void bump(uint64_t end) { m_end = std::max(m_end, end); }
    Source& m_s;
    uint64_t m_off;
    bool m_le;
    uint64_t m_end = 8;
    uint64_t m_budget = uint64_t(1) << 22;
};

} // namespace

// IFD walk: the end is the furthest byte of any IFD, tag value, strip or tile,
// following next-IFD links and the EXIF, GPS and sub-IFD pointers.
Found find_tif(Source& s, uint64_t off)
{
    const uint8_t* p = s.get(off, 8);
    if (!p)
        return {};
    bool le = std::memcmp(p, "II*\0", 4) == 0;
    if (!le && std::memcmp(p, "MM\0*", 4) != 0)
        return {};
    TiffWalker w(s, off, le);
    uint32_t first = w.u32(p + 4);
    uint64_t end = w.walk(first);
    if (!end || end > s.size() - off)
        return {};
    return {end, "tif"};
}

// Icon directory: each entry gives the size and offset of its image, which
// must start as a PNG or a BITMAPINFOHEADER.
Found find_ico(Source& s, uint64_t off)
{
    const uint8_t* p = s.get(off, 6);
    if (!p || le16(p) != 0 || le16(p + 2) != 1)
        return {};
    uint32_t n = le16(p + 4);
    if (n == 0 || n > 256)
        return {};
    const uint8_t* d = s.get(off + 6, n * 16);
    if (!d)
        return {};
    std::vector<uint8_t> dir(d, d + n * 16);
    uint64_t end = 6 + uint64_t(n) * 16;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = dir.data() + i * 16;
        uint32_t planes = le16(e + 4), bpp = le16(e + 6), size = le32(e + 8), at = le32(e + 12);
        if (e[3] != 0 && e[3] != 0xFF)
            return {};
        if (planes > 1 || (bpp != 0 && bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32))
            return {};
        if (size < 8 || at < 6 + n * 16 || size > (16u << 20))
            return {};
        const uint8_t* img = s.get(off + at, 8);
        if (!img)
            return {};
        if (std::memcmp(img, "\x89PNG\r\n\x1a\n", 8) != 0 && le32(img) != 40)
            return {};
        end = std::max(end, uint64_t(at) + size);
    }
    if (end > s.size() - off)
        return {};
    return {end, "ico"};
}

} // namespace carvex
