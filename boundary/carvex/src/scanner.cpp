#include "scanner.h"

#include <cctype>
#include <cstring>

namespace carvex {

const char* const kTypeNames[] = {
    // photo
    "jpg", "png", "gif", "bmp", "tif", "ico", "heic",
    // music
    "mp3", "wav", "flac", "ogg", "m4a", "wma", "mid",
    // video
    "avi", "mp4", "mov", "3gp", "3g2", "mkv", "webm", "wmv", "asf", "flv", "mpg",
    // others
    "pdf", "zip", "docx", "xlsx", "pptx", "odt", "ods", "odp", "epub", "doc", "xls", "ppt", "ole", "rtf", "gz",
    "7z", "rar", "exe", "dll", "sqlite", "html", "xml"};
const uint32_t kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

int type_index(const char* name)
{
    if (!name)
        return -1;
    for (uint32_t i = 0; i < kTypeCount; ++i) {
        const char* a = kTypeNames[i];
        const char* b = name;
        while (*a && *b && *a == std::tolower(uint8_t(*b)))
            ++a, ++b;
        if (!*a && !*b)
            return int(i);
    }
    return -1;
}

namespace {

bool starts(const uint8_t* p, size_t n, const char* lit, size_t len)
{
    return n >= len && std::memcmp(p, lit, len) == 0;
}

} // namespace

Found probe(Source& s, uint64_t off, const uint8_t* p, size_t n)
{
    if (n < 8)
        return {};
    if (std::memcmp(p + 4, "ftyp", 4) == 0)
        if (Found f = find_isobmff(s, off))
            return f;
    switch (p[0]) {
    case 0xFF:
        if (p[1] == 0xD8 && p[2] == 0xFF)
            return find_jpg(s, off);
        if ((p[1] & 0xE0) == 0xE0)
            return find_mp3(s, off);
        break;
    case 0x89:
        if (starts(p, n, "\x89PNG\r\n\x1a\n", 8))
            return find_png(s, off);
        break;
    case 'G':
        if (starts(p, n, "GIF8", 4))
            return find_gif(s, off);
        break;
    case 'B':
        if (p[1] == 'M')
            return find_bmp(s, off);
        break;
    case 'I':
        if (starts(p, n, "II*\0", 4))
            return find_tif(s, off);
        if (starts(p, n, "ID3", 3))
            return find_mp3(s, off);
        break;
    case 'M':
        if (starts(p, n, "MM\0*", 4))
            return find_tif(s, off);
        if (starts(p, n, "MThd", 4))
            return find_mid(s, off);
        if (p[1] == 'Z')
            return find_pe(s, off);
        break;
    case 0x00:
        if (p[1] == 0 && p[2] == 1 && p[3] == 0)
            return find_ico(s, off);
        if (p[1] == 0 && p[2] == 1 && p[3] == 0xBA)
            return find_mpg(s, off);
        break;
    case 'R':
        if (starts(p, n, "RIFF", 4))
            return find_riff(s, off);
        if (starts(p, n, "Rar!\x1A\x07", 6))
            return find_rar(s, off);
        break;
    case 'f':
        if (starts(p, n, "fLaC", 4))
            return find_flac(s, off);
        break;
    case 'O':
        if (starts(p, n, "OggS", 4))
            return find_ogg(s, off);
        break;
    case 0x30:
        if (starts(p, n, "\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8))
            return find_asf(s, off);
        break;
    case 0x1A:
        if (starts(p, n, "\x1A\x45\xDF\xA3", 4))
            return find_ebml(s, off);
        break;
    case 'F':
        if (starts(p, n, "FLV\x01", 4))
            return find_flv(s, off);
        break;
    case '%':
        if (starts(p, n, "%PDF-", 5))
            return find_pdf(s, off);
        break;
    case 'P':
        if (starts(p, n, "PK\3\4", 4))
            return find_zip(s, off);
        break;
    case 0xD0:
        if (starts(p, n, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8))
            return find_ole(s, off);
        break;
    case '{':
        if (starts(p, n, "{\\rtf", 5))
            return find_rtf(s, off);
        break;
    case 0x1F:
        if (p[1] == 0x8B && p[2] == 8)
            return find_gz(s, off);
        break;
    case '7':
        if (starts(p, n, "7z\xBC\xAF\x27\x1C", 6))
            return find_7z(s, off);
        break;
    case 'S':
        if (starts(p, n, "SQLite format 3", 16))
            return find_sqlite(s, off);
        break;
    case '<':
    case 0xEF:
    case ' ':
    case '\t':
    case '\r':
    case '\n':
        return find_markup(s, off);
    default:
        break;
    }
    return {};
}

void scan(Source& s, ScanResult& out, const std::function<bool(int32_t)>& progress)
{
    out.by_type.assign(kTypeCount, {});
    const uint64_t size = s.size();
    int32_t step = 0;
    uint64_t pos = 0;
    uint64_t sectors = 0;
    while (pos < size) {
        if ((++sectors & 63) == 0 || pos >= size) {
            int32_t now = int32_t((pos * 20) / (size ? size : 1)) * 5;
            if (now > 95)
                now = 95;
            while (step < now) {
                step += 5;
                if (!progress(step)) {
                    out.stopped = true;
                    return;
                }
            }
            if (!progress(0)) {
                out.stopped = true;
                return;
            }
        }
        size_t n = size_t(std::min<uint64_t>(64, size - pos));
        const uint8_t* p = s.get(pos, n);
        if (!p) {
            if (s.stopped()) {
                out.stopped = true;
                return;
            }
            pos += kSector; // unreadable sector: go on with the next
            continue;
        }
        Found f = probe(s, pos, p, n);
        if (s.stopped()) {
            out.stopped = true;
            return;
        }
        if (f && f.size <= size - pos) {
            int t = type_index(f.type);
            if (t >= 0) {
                out.items.push_back(CxItem{pos, f.size, uint32_t(t)});
                out.by_type[size_t(t)].push_back(&out.items.back());
                uint64_t end = pos + f.size;
                pos = (end + kSector - 1) / kSector * kSector;
                continue;
            }
        }
        pos += kSector;
    }
    while (step < 95) {
        step += 5;
        if (!progress(step)) {
            out.stopped = true;
            return;
        }
    }
}

} // namespace carvex
