// Video formats: ISO base media boxes (mp4, mov, 3gp, m4a), Matroska and
// WebM, FLV, MPEG program streams.
#include "formats.h"

#include <algorithm>
#include <cstring>

namespace carvex {

namespace {

bool box_type_char(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == 0xA9;
}

bool top_level_box(const uint8_t* t)
{
    static const char* const kTop[] = {"moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof", "mfra", "pdin",
                                       "sidx", "ssix", "styp", "emsg", "prft", "pnot", "junk", "udta", "PICT", "beam"};
    for (const char* k : kTop)
        if (std::memcmp(t, k, 4) == 0)
            return true;
    return false;
}

const char* brand_type(const uint8_t* b)
{
    if (std::memcmp(b, "M4A ", 4) == 0 || std::memcmp(b, "M4B ", 4) == 0 || std::memcmp(b, "M4P ", 4) == 0)
        return "m4a";
    if (std::memcmp(b, "qt  ", 4) == 0)
        return "mov";
    if (std::memcmp(b, "3gp", 3) == 0 || std::memcmp(b, "3gs", 3) == 0 || std::memcmp(b, "3ge", 3) == 0)
        return "3gp";
    if (std::memcmp(b, "3g2", 3) == 0)
        return "3g2";
    if (std::memcmp(b, "heic", 4) == 0 || std::memcmp(b, "heix", 4) == 0 || std::memcmp(b, "mif1", 4) == 0)
        return "heic";
    return "mp4";
}

} // namespace

// Box walk from the ftyp box: each top-level box gives its size (32-bit, or
// 64-bit after the type); the file ends before the first thing that is not a
// top-level box, or before a second ftyp (the next file). A movie box is
// required (or a fragment box for fragmented files).
Found find_isobmff(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 16);
    if (!h || std::memcmp(h + 4, "ftyp", 4) != 0)
        return {};
    uint32_t fsz = be32(h);
    if (fsz < 16 || fsz > 4096 || fsz % 4)
        return {};
    for (int i = 8; i < 12; ++i)
        if (!box_type_char(h[i]))
            return {};
    const char* type = brand_type(h + 8);
    uint64_t pos = off + fsz;
    bool moov = false, moof = false, mdat = false;
    for (int guard = 0; guard < 1 << 20; ++guard) {
        const uint8_t* b = s.get(pos, 16);
        if (!b)
            break;
        if (!top_level_box(b + 4))
            break;
        uint64_t size = be32(b);
        if (size == 1) {
            size = be64(b + 8);
            if (size < 16)
                break;
        } else if (size == 0) {
            // The box runs to the end of a file whose end we do not know.
            return {};
        } else if (size < 8) {
            break;
        }
        if (size > s.size() - pos)
            break;
        if (std::memcmp(b + 4, "moov", 4) == 0)
            moov = true;
        if (std::memcmp(b + 4, "moof", 4) == 0)
            moof = true;
        if (std::memcmp(b + 4, "mdat", 4) == 0)
            mdat = true;
        pos += size;
    }
    if (!moov && !(moof && mdat))
        return {};
    if (!moov && !mdat)
        return {};
    if (std::strcmp(type, "mp4") == 0 && !mdat)
        return {};
    return {pos - off, type};
}

namespace {

// EBML variable-length integer: the count of leading zero bits of the first
// byte gives the length. `keep_marker` keeps the length bit (element IDs).
bool ebml_vint(Source& s, uint64_t pos, uint64_t& value, int& len, bool keep_marker)
{
    const uint8_t* p = s.get(pos, 1);
    if (!p || p[0] == 0)
        return false;
    len = 1;
    while (!(p[0] & (0x80 >> (len - 1))))
        ++len;
    if (len > 8)
        return false;
    const uint8_t* q = s.get(pos, len);
    if (!q)
        return false;
    value = keep_marker ? q[0] : (q[0] & (0xFF >> len));
    bool all_ones = (q[0] & (0xFF >> len)) == (0xFF >> len);
    for (int i = 1; i < len; ++i) {
        value = (value << 8) | q[i];
        all_ones = all_ones && q[i] == 0xFF;
    }
    if (!keep_marker && all_ones)
        value = UINT64_MAX; // unknown size
    return true;
}

bool matroska_level1(uint64_t id)
{
    return id == 0x114D9B74 || id == 0x1549A966 || id == 0x1654AE6B || id == 0x1C53BB6B || id == 0x1043A770 ||
           id == 0x1254C367 || id == 0x1941A469 || id == 0x1F43B675 || id == 0xEC || id == 0xBF;
}

bool matroska_cluster_child(uint64_t id)
{
    return id == 0xE7 || id == 0xA3 || id == 0xA0 || id == 0xA7 || id == 0xAB || id == 0xEC || id == 0xBF ||
           id == 0x5854 || id == 0xAF;
}

} // namespace

// EBML header (its DocType tells mkv from webm), then the Segment whose size
// gives the end. A Segment of unknown size (a live recording) is walked
// element by element until something that is not a Segment child.
Found find_ebml(Source& s, uint64_t off)
{
    uint64_t id, size;
    int il, sl;
    if (!ebml_vint(s, off, id, il, true) || id != 0x1A45DFA3)
        return {};
    if (!ebml_vint(s, off + il, size, sl, false) || size > 4096)
        return {};
    uint64_t body = off + il + sl, hend = body + size;
    const char* type = nullptr;
    for (uint64_t pos = body; pos < hend;) {
        uint64_t cid, csz;
        int cl, csl;
        if (!ebml_vint(s, pos, cid, cl, true) || !ebml_vint(s, pos + cl, csz, csl, false) || csz > hend - pos)
            return {};
        if (cid == 0x4282) {
            const uint8_t* t = s.get(pos + cl + csl, size_t(csz));
            if (!t)
                return {};
            if (csz >= 8 && std::memcmp(t, "matroska", 8) == 0)
                type = "mkv";
            else if (csz >= 4 && std::memcmp(t, "webm", 4) == 0)
                type = "webm";
        }
        pos += cl + csl + csz;
    }
    if (!type)
        return {};
    uint64_t pos = hend;
    if (!ebml_vint(s, pos, id, il, true) || id != 0x18538067 || !ebml_vint(s, pos + il, size, sl, false))
        return {};
    uint64_t seg = pos + il + sl;
    {
        uint64_t cid;
        int cl;
        if (!ebml_vint(s, seg, cid, cl, true) || !matroska_level1(cid))
            return {};
    }
    if (size != UINT64_MAX) {
        if (size > s.size() - seg)
            return {};
        return {seg + size - off, type};
    }
    pos = seg;
    bool in_cluster = false;
    for (int guard = 0; guard < 1 << 24; ++guard) {
        uint64_t cid, csz;
        int cl, csl;
        if (!ebml_vint(s, pos, cid, cl, true) || !ebml_vint(s, pos + cl, csz, csl, false))
            break;
        bool level1 = matroska_level1(cid);
        if (!level1 && !(in_cluster && matroska_cluster_child(cid)))
            break;
        if (level1)
            in_cluster = false;
        if (csz == UINT64_MAX) {
            if (cid != 0x1F43B675)
                break;
            in_cluster = true;
            pos += cl + csl;
            continue;
        }
        if (csz > s.size() - pos - cl - csl)
            break;
        pos += cl + csl + csz;
    }
    if (pos <= seg)
        return {};
    return {pos - off, type};
}

// Tag chain: every tag is followed by the size of the tag before it, which
// must match; the file ends after the last matching tag.
Found find_flv(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 13);
    if (!h || std::memcmp(h, "FLV\x01", 4) != 0 || (h[4] & ~5) != 0)
        return {};
    uint32_t hsize = be32(h + 5);
    if (hsize < 9 || hsize > 1024)
        return {};
    const uint8_t* p0 = s.get(off + hsize, 4);
    if (!p0 || be32(p0) != 0)
        return {};
    uint64_t pos = off + hsize + 4;
    uint64_t tags = 0;
    for (;; ++tags) {
        const uint8_t* t = s.get(pos, 11);
        if (!t)
            break;
        uint8_t type = t[0] & 0x1F;
        if ((t[0] & 0xC0) || (type != 8 && type != 9 && type != 18) || be24(t + 8) != 0)
            break;
        uint32_t dsize = be24(t + 1);
        const uint8_t* prev = s.get(pos + 11 + dsize, 4);
        if (!prev || be32(prev) != dsize + 11)
            break;
        pos += 11 + uint64_t(dsize) + 4;
    }
    if (!tags)
        return {};
    return {pos - off, "flv"};
}

// Pack walk: pack headers (MPEG-1 or MPEG-2 layout), system headers and PES
// packets with their lengths, up to the program end code or the last valid
// packet.
Found find_mpg(Source& s, uint64_t off)
{
    uint64_t pos = off, good = off;
    uint64_t packs = 0, packets = 0, last_scr = 0;
    for (int guard = 0; guard < 1 << 26; ++guard) {
        const uint8_t* p = s.get(pos, std::min<uint64_t>(14, s.size() - pos));
        if (!p || s.size() - pos < 4 || p[0] != 0 || p[1] != 0 || p[2] != 1)
            break;
        uint8_t code = p[3];
        uint64_t next;
        if (code == 0xB9) {
            good = pos + 4;
            break;
        }
        if (s.size() - pos < 14)
            break;
        if (code == 0xBA) {
            // The system clock reference only grows within one stream: a pack
            // whose clock goes back starts the next file.
            uint64_t scr;
            if ((p[4] & 0xC4) == 0x44 && (p[6] & 4) && (p[8] & 4) && (p[9] & 1) && (p[12] & 3) == 3) {
                next = pos + 14 + (p[13] & 7);
                scr = (uint64_t((p[4] >> 3) & 7) << 30) | (uint64_t(p[4] & 3) << 28) | (uint64_t(p[5]) << 20) |
                      (uint64_t((p[6] >> 3) & 0x1F) << 15) | (uint64_t(p[6] & 3) << 13) | (uint64_t(p[7]) << 5) |
                      uint64_t((p[8] >> 3) & 0x1F);
            } else if ((p[4] & 0xF1) == 0x21 && (p[6] & 1) && (p[8] & 1) && (p[9] & 0x80) && (p[11] & 1)) {
                next = pos + 12;
                scr = (uint64_t((p[4] >> 1) & 7) << 30) | (uint64_t(p[5]) << 22) | (uint64_t(p[6] >> 1) << 15) |
                      (uint64_t(p[7]) << 7) | uint64_t(p[8] >> 1);
            } else {
                break;
            }
            if (packs && scr < last_scr)
                break;
            last_scr = scr;
            ++packs;
        } else if (code >= 0xBB) {
            next = pos + 6 + uint64_t(be16(p + 4));
            ++packets;
        } else {
            break;
        }
        if (next > s.size())
            break;
        pos = good = next;
    }
    if (packs < 2 || packets < 1)
        return {};
    return {good - off, "mpg"};
}

} // namespace carvex
