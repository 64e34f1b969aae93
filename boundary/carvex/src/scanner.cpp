#include "scanner.h"

#include <cctype>
#include <cstring>

namespace carvex {

const TypeInfo kTypes[] = {
    {"jpg", Category::photo}, {"png", Category::photo}, {"gif", Category::photo}, {"bmp", Category::photo},
    {"tif", Category::photo}, {"ico", Category::photo}, {"heic", Category::photo},

    {"mp3", Category::music}, {"wav", Category::music}, {"flac", Category::music}, {"ogg", Category::music},
    {"m4a", Category::music}, {"wma", Category::music}, {"mid", Category::music},

    {"avi", Category::video}, {"mp4", Category::video}, {"mov", Category::video}, {"3gp", Category::video},
    {"3g2", Category::video}, {"mkv", Category::video}, {"webm", Category::video}, {"wmv", Category::video},
    {"asf", Category::video}, {"flv", Category::video}, {"mpg", Category::video},

    {"pdf", Category::others}, {"zip", Category::others}, {"docx", Category::others}, {"xlsx", Category::others},
    {"pptx", Category::others}, {"odt", Category::others}, {"ods", Category::others}, {"odp", Category::others},
    {"epub", Category::others}, {"doc", Category::others}, {"xls", Category::others}, {"ppt", Category::others},
    {"ole", Category::others}, {"rtf", Category::others}, {"gz", Category::others}, {"7z", Category::others},
    {"rar", Category::others}, {"exe", Category::others}, {"dll", Category::others}, {"sqlite", Category::others},
    {"html", Category::others}, {"xml", Category::others},
};
const uint32_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

namespace {

// Other extensions of photos, music and video, which the scan never reports
// but whose kind is known: the names volumes and other programs give them.
const TypeInfo kOtherNames[] = {
    {"rle", Category::photo}, {"dib", Category::photo}, {"tiff", Category::photo}, {"jpeg", Category::photo},
    {"jpe", Category::photo}, {"icon", Category::photo}, {"exif", Category::photo},

    {"mp1", Category::music}, {"mp2", Category::music}, {"aac", Category::music}, {"aa", Category::music},
    {"ape", Category::music}, {"fla", Category::music}, {"mpc", Category::music}, {"mp+", Category::music},
    {"aif", Category::music}, {"aifc", Category::music}, {"aiff", Category::music}, {"midi", Category::music},
    {"rmi", Category::music}, {"snd", Category::music}, {"au", Category::music}, {"ac3", Category::music},
    {"a52", Category::music}, {"dts", Category::music}, {"dtswav", Category::music},

    {"wm", Category::video}, {"wmp", Category::video}, {"ram", Category::video}, {"rm", Category::video},
    {"rmvb", Category::video}, {"rpm", Category::video}, {"scm", Category::video}, {"ra", Category::video},
    {"realpix", Category::video}, {"dat", Category::video}, {"evo", Category::video}, {"qt", Category::video},
    {"air", Category::video}, {"3gp2", Category::video}, {"3gpp", Category::video}, {"amr", Category::video},
    {"amv", Category::video}, {"bik", Category::video}, {"csf", Category::video}, {"d2v", Category::video},
    {"dsm", Category::video}, {"dsv", Category::video}, {"ivf", Category::video}, {"m1v", Category::video},
    {"m2p", Category::video}, {"m2ts", Category::video}, {"m2v", Category::video}, {"m4b", Category::video},
    {"m4p", Category::video}, {"m4v", Category::video}, {"mpe", Category::video}, {"mpeg", Category::video},
    {"mts", Category::video}, {"ogm", Category::video}, {"pmp", Category::video}, {"pmp2", Category::video},
    {"pss", Category::video}, {"pva", Category::video}, {"ratdvd", Category::video}, {"smk", Category::video},
    {"tp", Category::video}, {"tpr", Category::video}, {"ts", Category::video}, {"vg2", Category::video},
    {"vid", Category::video}, {"vob", Category::video}, {"vp6", Category::video}, {"wv", Category::video},
    {"asm", Category::video}, {"avsts", Category::video}, {"divx", Category::video}, {"flic", Category::video},
    {"fli", Category::video}, {"flc", Category::video},
};

bool same_name(const char* lower, const char* name)
{
    while (*lower && *name && *lower == std::tolower(uint8_t(*name)))
        ++lower, ++name;
    return !*lower && !*name;
}

} // namespace

int type_index(const char* name)
{
    if (!name)
        return -1;
    for (uint32_t i = 0; i < kTypeCount; ++i)
        if (same_name(kTypes[i].name, name))
            return int(i);
    return -1;
}

int type_category(const char* name)
{
    if (int t = type_index(name); t >= 0)
        return int(kTypes[t].category);
    if (!name)
        return -1;
    for (const TypeInfo& other : kOtherNames)
        if (same_name(other.name, name))
            return int(other.category);
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
