// Sound formats: MP3, FLAC, Ogg, MIDI; RIFF (WAV, AVI) and ASF (WMA, WMV)
// live here too because their walks are alike.
#include "checksum.h"
#include "formats.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace carvex {

namespace {

struct MpegFrame {
    int version; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer;   // 3 Layer I, 2 Layer II, 1 Layer III (header coding)
    int rate_index;
    uint32_t length;
};

// Decodes an MPEG audio frame header; false when it is not one.
bool mpeg_frame(const uint8_t* h, MpegFrame& f)
{
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return false;
    int version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
    int br = h[2] >> 4, sr = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
    if (version == 1 || layer == 0 || br == 0 || br == 15 || sr == 3 || (h[3] & 3) == 2)
        return false;
    static const uint16_t kRate[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    static const uint16_t kBitrate[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // V1 L1
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // V1 L2
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // V1 L3
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // V2 L1
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // V2 L2, L3
    };
    uint32_t rate = kRate[version == 3 ? 0 : version == 2 ? 1 : 2][sr];
    int table = version == 3 ? (layer == 3 ? 0 : layer == 2 ? 1 : 2) : (layer == 3 ? 3 : 4);
    uint32_t kbps = kBitrate[table][br];
    uint32_t len;
    if (layer == 3)
        len = (12 * kbps * 1000 / rate + pad) * 4;
    else if (layer == 1 && version != 3)
        len = 72 * kbps * 1000 / rate + pad;
    else
        len = 144 * kbps * 1000 / rate + pad;
    if (len < 21)
        return false;
    f = {version, layer, sr, len};
    return true;
}

} // namespace

// An ID3v2 tag (its size is in the tag header) or none, then a run of MPEG
// audio frames with one version, layer and sample rate, then an optional APE
// tag and ID3v1 tag. Without an ID3v2 tag the run must be long to count.
Found find_mp3(Source& s, uint64_t off)
{
    uint64_t pos = off;
    bool tagged = false;
    const uint8_t* p = s.get(off, 10);
    if (!p)
        return {};
    if (std::memcmp(p, "ID3", 3) == 0) {
        if (p[3] < 2 || p[3] > 4 || p[4] == 0xFF || (p[6] | p[7] | p[8] | p[9]) & 0x80)
            return {};
        uint32_t size = (uint32_t(p[6]) << 21) | (uint32_t(p[7]) << 14) | (uint32_t(p[8]) << 7) | p[9];
        pos += 10 + size + ((p[3] == 4 && (p[5] & 0x10)) ? 10 : 0);
        tagged = true;
        // Some writers pad past the declared tag size with zeros.
        for (int i = 0; i < 1 << 16; ++i) {
            const uint8_t* z = s.get(pos, 1);
            if (!z || *z != 0)
                break;
            ++pos;
        }
    }
    MpegFrame first{}, f{};
    uint64_t frames = 0;
    while (true) {
        const uint8_t* h = s.get(pos, 4);
        if (!h || !mpeg_frame(h, f))
            break;
        if (frames == 0)
            first = f;
        else if (f.version != first.version || f.layer != first.layer || f.rate_index != first.rate_index)
            break;
        if (f.length > s.size() - pos)
            break;
        pos += f.length;
        ++frames;
    }
    if (frames < (tagged ? 1u : 8u))
        return {};
    // APEv2 tag with its header (footer flags say whether a header precedes).
    if (const uint8_t* a = s.get(pos, 32); a && std::memcmp(a, "APETAGEX", 8) == 0) {
        uint32_t size = le32(a + 12), flags = le32(a + 20);
        if (size >= 32 && size < (16u << 20) && (flags & (1u << 29)) && 32 + uint64_t(size) <= s.size() - pos)
            pos += 32 + size;
    }
    if (const uint8_t* t = s.get(pos, 128); t && std::memcmp(t, "TAG", 3) == 0)
        pos += 128;
    return {pos - off, "mp3"};
}

namespace {

// UTF-8-style coded frame or sample number of a FLAC frame header.
bool flac_utf8(const uint8_t* p, size_t avail, size_t& used)
{
    uint8_t b = p[0];
    int extra;
    if (b < 0x80)
        extra = 0;
    else if ((b & 0xE0) == 0xC0)
        extra = 1;
    else if ((b & 0xF0) == 0xE0)
        extra = 2;
    else if ((b & 0xF8) == 0xF0)
        extra = 3;
    else if ((b & 0xFC) == 0xF8)
        extra = 4;
    else if ((b & 0xFE) == 0xFC)
        extra = 5;
    else if (b == 0xFE)
        extra = 6;
    else
        return false;
    if (size_t(1 + extra) > avail)
        return false;
    for (int i = 1; i <= extra; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return false;
    used = size_t(1 + extra);
    return true;
}

// Checks a FLAC frame header at p (CRC-8 included); returns its block size in
// samples, 0 when it is not a frame header.
uint32_t flac_frame_header(const uint8_t* p, size_t avail, bool fixed_block)
{
    if (avail < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return 0;
    if (bool(p[1] & 1) != !fixed_block)
        return 0;
    uint32_t bs = p[2] >> 4, sr = p[2] & 15, ch = p[3] >> 4, ss = (p[3] >> 1) & 7;
    if (bs == 0 || sr == 15 || ch > 10 || ss == 3 || (p[3] & 1))
        return 0;
    size_t used = 0;
    if (!flac_utf8(p + 4, avail - 4, used))
        return 0;
    size_t at = 4 + used;
    uint32_t block;
    if (bs == 1)
        block = 192;
    else if (bs <= 5)
        block = 576u << (bs - 2);
    else if (bs == 6) {
        if (at + 1 > avail)
            return 0;
        block = p[at] + 1u;
        at += 1;
    } else if (bs == 7) {
        if (at + 2 > avail)
            return 0;
        block = be16(p + at) + 1u;
        at += 2;
    } else
        block = 256u << (bs - 8);
    if (sr == 12)
        at += 1;
    else if (sr == 13 || sr == 14)
        at += 2;
    if (at + 1 > avail)
        return 0;
    if (crc8_flac(p, at) != p[at])
        return 0;
    return block;
}

} // namespace

namespace {

bool flac_header_at(Source& s, uint64_t at, bool fixed_block)
{
    if (at >= s.size())
        return false;
    size_t avail = size_t(std::min<uint64_t>(16, s.size() - at));
    const uint8_t* h = s.get(at, avail);
    return h && flac_frame_header(h, avail, fixed_block) != 0;
}

// End of the frame at `pos`: the first point where the running CRC-16 over
// the frame comes out zero (a frame with its CRC appended checks to zero) and
// either this is the last frame or the next frame header follows. `weak` gets
// the first CRC match, for a stream whose length is unknown.
uint64_t flac_frame_end(Source& s, uint64_t pos, uint64_t cap, bool last_frame, bool fixed_block, uint64_t& weak)
{
    uint16_t crc = 0;
    weak = 0;
    for (uint64_t q = pos; q < cap;) {
        size_t n = 0;
        const uint8_t* d = s.span(q, n);
        if (!d)
            return 0;
        n = size_t(std::min<uint64_t>({uint64_t(n), cap - q, Source::kOverlap}));
        for (size_t i = 0; i < n; ++i) {
            crc = crc16_flac_byte(crc, d[i]);
            if (crc != 0 || q + i + 1 - pos < 10)
                continue;
            uint64_t cand = q + i + 1;
            if (last_frame)
                return cand;
            if (!weak)
                weak = cand;
            if (flac_header_at(s, cand, fixed_block))
                return cand;
            d = s.get(q, n);
            if (!d)
                return 0;
        }
        q += n;
    }
    return 0;
}

} // namespace

// Metadata blocks (STREAMINFO first, last-block flag), then audio frames.
// Frames carry no length: a frame ends where its CRC-16 checks out and the
// next frame header (with its own CRC-8) follows, or, for the last frame,
// where the sample count of STREAMINFO is reached.
Found find_flac(Source& s, uint64_t off)
{
    uint64_t pos = off + 4;
    uint64_t total = 0;
    uint32_t max_frame = 0;
    bool fixed_block = true;
    for (int i = 0;; ++i) {
        if (i > 4096)
            return {};
        const uint8_t* h = s.get(pos, 4);
        if (!h)
            return {};
        uint32_t type = h[0] & 0x7F, len = be24(h + 1);
        if (type == 127 || (i == 0 && (type != 0 || len != 34)) || (i > 0 && type == 0))
            return {};
        bool last_block = h[0] & 0x80;
        if (i == 0) {
            const uint8_t* si = s.get(pos + 4, 34);
            if (!si)
                return {};
            uint32_t min_block = be16(si), max_block = be16(si + 2);
            max_frame = be24(si + 7);
            total = (uint64_t(si[13] & 15) << 32) | be32(si + 14);
            if (min_block < 16 || max_block < min_block)
                return {};
            fixed_block = min_block == max_block;
        }
        pos += 4 + uint64_t(len);
        if (last_block)
            break;
    }
    const uint64_t limit = search_limit(s, off, uint64_t(4) << 30);
    const uint64_t frame_cap = max_frame ? uint64_t(max_frame) + 16 : uint64_t(1) << 20;
    uint64_t samples = 0;
    for (uint64_t frames = 0; pos < limit; ++frames) {
        size_t avail = size_t(std::min<uint64_t>(16, s.size() - pos));
        const uint8_t* h = s.get(pos, avail);
        uint32_t block = h ? flac_frame_header(h, avail, fixed_block) : 0;
        if (!block)
            return {};
        bool last = total && samples + block >= total;
        uint64_t weak = 0;
        uint64_t end = flac_frame_end(s, pos, std::min(limit, pos + frame_cap), last, fixed_block, weak);
        if (!end) {
            if (!total && weak && frames)
                return {weak - off, "flac"};
            return {};
        }
        samples += block;
        pos = end;
        if (last)
            return {pos - off, "flac"};
    }
    return {};
}

// Page chain: each page is checked with its CRC; streams open with a BOS page
// and close with an EOS page, and the file ends when the last open stream
// closes (or at the last valid page of a stream cut short).
Found find_ogg(Source& s, uint64_t off)
{
    std::map<uint32_t, uint32_t> open; // serial -> next page sequence number
    uint64_t pos = off;
    bool any = false;
    for (uint64_t pages = 0; pages < (uint64_t(1) << 26); ++pages) {
        const uint8_t* h = s.get(pos, 27);
        if (!h || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0 || (h[5] & ~7))
            break;
        uint32_t nseg = h[26];
        const uint8_t* hs = s.get(pos, 27 + nseg);
        if (!hs)
            break;
        uint32_t body = 0;
        for (uint32_t i = 0; i < nseg; ++i)
            body += hs[27 + i];
        uint32_t len = 27 + nseg + body;
        const uint8_t* page = s.get(pos, len);
        if (!page)
            break;
        uint32_t crc = le32(page + 22);
        uint8_t zero[4] = {0, 0, 0, 0};
        uint32_t c = crc32_ogg(0, page, 22);
        c = crc32_ogg(c, zero, 4);
        c = crc32_ogg(c, page + 26, len - 26);
        if (c != crc)
            break;
        uint8_t flags = page[5];
        uint32_t serial = le32(page + 14), seq = le32(page + 18);
        auto it = open.find(serial);
        if (flags & 2) {
            if (it != open.end() || (any && open.empty()))
                break; // a new stream after all closed: the next file
            if (!any && seq != 0)
                return {};
            open[serial] = seq + 1;
        } else {
            if (it == open.end() || it->second != seq)
                break;
            it->second = seq + 1;
        }
        if (!any && !(flags & 2))
            return {};
        any = true;
        pos += len;
        if (flags & 4) {
            open.erase(serial);
            if (open.empty())
                return {pos - off, "ogg"};
        }
    }
    if (!any)
        return {};
    return {pos - off, "ogg"};
}

// Header chunk with the track count, then that many chunks.
Found find_mid(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 14);
    if (!h || std::memcmp(h, "MThd", 4) != 0 || be32(h + 4) != 6)
        return {};
    uint32_t format = be16(h + 8), tracks = be16(h + 10);
    if (format > 2 || tracks == 0 || (format == 0 && tracks != 1))
        return {};
    uint64_t pos = off + 14;
    uint32_t seen = 0;
    for (int guard = 0; seen < tracks && guard < 1 << 16; ++guard) {
        const uint8_t* c = s.get(pos, 8);
        if (!c)
            return {};
        for (int i = 0; i < 4; ++i)
            if (c[i] < 0x20 || c[i] > 0x7E)
                return {};
        if (std::memcmp(c, "MTrk", 4) == 0)
            ++seen;
        pos += 8 + uint64_t(be32(c + 4));
        if (pos > s.size())
            return {};
    }
    if (seen < tracks)
        return {};
    return {pos - off, "mid"};
}

namespace {

bool fourcc(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

// Walks the sub-chunks of a RIFF form from `pos`; returns the end of the last
// well-formed chunk not past `limit`.
uint64_t riff_walk(Source& s, uint64_t pos, uint64_t limit, bool& saw_fmt)
{
    for (int guard = 0; guard < 1 << 20 && pos + 8 <= limit; ++guard) {
        const uint8_t* c = s.get(pos, 8);
        if (!c || !fourcc(c))
            break;
        if (std::memcmp(c, "fmt ", 4) == 0 || std::memcmp(c, "LIST", 4) == 0)
            saw_fmt = true;
        uint64_t size = le32(c + 4);
        uint64_t next = pos + 8 + size;
        if (next > limit)
            break;
        pos = next + (size & 1 && next < limit ? 1 : 0);
    }
    return pos;
}

} // namespace

// RIFF size field, checked by walking the form's chunks; OpenDML AVI files
// continue with further RIFF AVIX forms.
Found find_riff(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 20);
    if (!h || std::memcmp(h, "RIFF", 4) != 0)
        return {};
    const char* type;
    if (std::memcmp(h + 8, "WAVE", 4) == 0)
        type = "wav";
    else if (std::memcmp(h + 8, "AVI ", 4) == 0)
        type = "avi";
    else
        return {};
    if (!fourcc(h + 12))
        return {};
    uint64_t size = le32(h + 4);
    uint64_t end;
    bool saw = false;
    if (size >= 12 && size != 0xFFFFFFFFu && size <= s.size() - off - 8) {
        end = off + 8 + size;
        uint64_t walked = riff_walk(s, off + 12, end, saw);
        if (walked + 1 < end || !saw)
            return {};
    } else {
        // A writer that never came back to fill in the size: the chunks
        // themselves tell where the data stops.
        end = riff_walk(s, off + 12, s.size(), saw);
        if (!saw || end <= off + 12)
            return {};
    }
    if (type[0] == 'a') {
        for (int guard = 0; guard < 4096; ++guard) {
            const uint8_t* x = s.get(end, 12);
            if (!x || std::memcmp(x, "RIFF", 4) != 0 || std::memcmp(x + 8, "AVIX", 4) != 0)
                break;
            uint64_t xs = le32(x + 4);
            if (xs < 4 || xs > s.size() - end - 8)
                break;
            end += 8 + xs;
        }
    }
    return {end - off, type};
}

namespace {

const uint8_t kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kAsfData[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kAsfSimpleIndex[16] = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
const uint8_t kAsfIndex[16] = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
const uint8_t kAsfMediaIndex[16] = {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C};
const uint8_t kAsfTimecodeIndex[16] = {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C};
const uint8_t kAsfFileProps[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t kAsfStreamProps[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11, 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t kAsfAudio[16] = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
const uint8_t kAsfVideo[16] = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

} // namespace

// Object walk: header object, data object, then index objects. The type
// follows the streams in the header: any video stream makes it wmv, audio
// alone wma. The file size in the file properties object must agree.
Found find_asf(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 30);
    if (!h || std::memcmp(h, kAsfHeader, 16) != 0)
        return {};
    uint64_t hsize = le64(h + 16);
    uint32_t nobj = le32(h + 24);
    if (hsize < 30 || hsize > (64u << 20) || hsize > s.size() - off || nobj > 4096)
        return {};
    bool audio = false, video = false;
    uint64_t declared = 0;
    uint64_t pos = off + 30;
    for (uint32_t i = 0; i < nobj; ++i) {
        const uint8_t* o = s.get(pos, 24);
        if (!o)
            return {};
        uint64_t osz = le64(o + 16);
        if (osz < 24 || osz > off + hsize - pos)
            return {};
        if (std::memcmp(o, kAsfFileProps, 16) == 0) {
            const uint8_t* fp = s.get(pos, 48);
            if (!fp || osz < 48)
                return {};
            declared = le64(fp + 40);
        } else if (std::memcmp(o, kAsfStreamProps, 16) == 0) {
            const uint8_t* sp = s.get(pos, 40);
            if (!sp || osz < 40)
                return {};
            audio |= std::memcmp(sp + 24, kAsfAudio, 16) == 0;
            video |= std::memcmp(sp + 24, kAsfVideo, 16) == 0;
        }
        pos += osz;
    }
    pos = off + hsize;
    const uint8_t* d = s.get(pos, 24);
    if (!d || std::memcmp(d, kAsfData, 16) != 0)
        return {};
    uint64_t dsize = le64(d + 16);
    if (dsize < 50 || dsize > s.size() - pos)
        return {};
    pos += dsize;
    for (int guard = 0; guard < 64; ++guard) {
        const uint8_t* o = s.get(pos, 24);
        if (!o)
            break;
        if (std::memcmp(o, kAsfSimpleIndex, 16) != 0 && std::memcmp(o, kAsfIndex, 16) != 0 &&
            std::memcmp(o, kAsfMediaIndex, 16) != 0 && std::memcmp(o, kAsfTimecodeIndex, 16) != 0)
            break;
        uint64_t osz = le64(o + 16);
        if (osz < 24 || osz > s.size() - pos)
            break;
        pos += osz;
    }
    uint64_t size = pos - off;
    // Trust the declared size when the walk reached exactly there or when the
    // walk fell short of a declared end that still lies on the volume (index
    // objects of a kind not listed above).
    if (declared && declared != size && declared > size && declared <= s.size() - off && declared - size < (64u << 20))
        size = declared;
    return {size, video ? "wmv" : audio ? "wma" : "asf"};
}

} // namespace carvex
