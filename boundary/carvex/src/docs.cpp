// Documents and programs: PDF, ZIP (and the Office and OpenDocument files
// inside), OLE compound files, RTF, PE executables, SQLite, HTML and XML.
#include "formats.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace carvex {

namespace {

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
bool is_space(uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// After an %%EOF: does an incremental update follow ("N G obj" or "xref")?
bool pdf_continues(Source& s, uint64_t pos)
{
    const uint8_t* p = s.get(pos, std::min<uint64_t>(64, s.size() - pos));
    if (!p || s.size() - pos < 8)
        return false;
    size_t n = size_t(std::min<uint64_t>(64, s.size() - pos)), i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\r' || p[i] == '\n' || p[i] == '\t'))
        ++i;
    if (n - i >= 4 && std::memcmp(p + i, "xref", 4) == 0)
        return true;
    size_t d = i;
    while (d < n && is_digit(p[d]))
        ++d;
    if (d == i || d >= n || p[d] != ' ')
        return false;
    size_t g = ++d;
    while (d < n && is_digit(p[d]))
        ++d;
    return d > g && n - d >= 4 && std::memcmp(p + d, " obj", 4) == 0;
}

} // namespace

// Searches for %%EOF (with its line end); when an incremental update follows
// it, the search goes on to the next %%EOF: the file ends at the last %%EOF
// of that run.
Found find_pdf(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 8);
    if (!h || std::memcmp(h, "%PDF-", 5) != 0 || !is_digit(h[5]) || h[6] != '.')
        return {};
    const uint64_t limit = search_limit(s, off);
    uint64_t from = off + 8;
    for (int guard = 0; guard < 100000; ++guard) {
        uint64_t at = find_bytes(s, from, limit, "%%EOF", 5);
        if (at == UINT64_MAX)
            return {};
        uint64_t end = at + 5;
        const uint8_t* e = s.get(end, std::min<uint64_t>(2, s.size() - end));
        if (e && end < s.size()) {
            if (e[0] == '\r' && end + 1 < s.size() && e[1] == '\n')
                end += 2;
            else if (e[0] == '\r' || e[0] == '\n')
                end += 1;
        }
        if (!pdf_continues(s, end))
            return {end - off, "pdf"};
        from = end;
    }
    return {};
}

namespace {

struct ZipInfo {
    std::string first_name;
    std::string mimetype;
    const char* kind = nullptr; // from central directory names
};

void zip_classify_name(ZipInfo& z, const uint8_t* name, size_t n)
{
    auto starts = [&](const char* pfx) {
        size_t l = std::strlen(pfx);
        return n >= l && std::memcmp(name, pfx, l) == 0;
    };
    if (z.kind)
        return;
    if (starts("word/document.xml"))
        z.kind = "docx";
    else if (starts("xl/workbook.xml"))
        z.kind = "xlsx";
    else if (starts("ppt/presentation.xml"))
        z.kind = "pptx";
}

const char* zip_type(const ZipInfo& z)
{
    if (z.first_name == "mimetype") {
        if (z.mimetype == "application/vnd.oasis.opendocument.text")
            return "odt";
        if (z.mimetype == "application/vnd.oasis.opendocument.spreadsheet")
            return "ods";
        if (z.mimetype == "application/vnd.oasis.opendocument.presentation")
            return "odp";
        if (z.mimetype == "application/epub+zip")
            return "epub";
    }
    return z.kind ? z.kind : "zip";
}

// Walks the central directory at `cd`: returns the position after its last
// entry and counts the entries; 0 when the first record is not an entry.
uint64_t zip_central(Source& s, uint64_t cd, uint64_t& entries, ZipInfo& z)
{
    uint64_t pos = cd;
    entries = 0;
    for (;;) {
        const uint8_t* c = s.get(pos, 46);
        if (!c || std::memcmp(c, "PK\1\2", 4) != 0)
            break;
        uint32_t nl = le16(c + 28), xl = le16(c + 30), cl = le16(c + 32);
        if (const uint8_t* name = s.get(pos + 46, nl))
            zip_classify_name(z, name, nl);
        pos += 46 + uint64_t(nl) + xl + cl;
        if (++entries > (1u << 24))
            return 0;
    }
    return entries ? pos : 0;
}

// The end records after the central directory: an optional ZIP64 end record
// and locator, then the end of central directory record with its comment.
// Checks that they describe the directory just walked.
uint64_t zip_end(Source& s, uint64_t off, uint64_t cd, uint64_t pos, uint64_t entries)
{
    const uint8_t* e = s.get(pos, 56);
    if (e && std::memcmp(e, "PK\6\6", 4) == 0) {
        uint64_t rsz = le64(e + 4);
        if (rsz < 44 || rsz > (1u << 20))
            return 0;
        if (le64(e + 32) != entries || le64(e + 48) != cd - off)
            return 0;
        pos += 12 + rsz;
        const uint8_t* l = s.get(pos, 20);
        if (!l || std::memcmp(l, "PK\6\7", 4) != 0)
            return 0;
        pos += 20;
        e = s.get(pos, 22);
        if (!e || std::memcmp(e, "PK\5\6", 4) != 0)
            return 0;
        uint64_t end = pos + 22 + le16(e + 20);
        return end <= s.size() ? end : 0;
    }
    e = s.get(pos, 22);
    if (!e || std::memcmp(e, "PK\5\6", 4) != 0)
        return 0;
    uint32_t total = le16(e + 10), cdoff = le32(e + 16);
    if (total != 0xFFFF && total != (entries & 0xFFFF))
        return 0;
    if (cdoff != 0xFFFFFFFFu && cdoff != uint32_t(cd - off))
        return 0;
    uint64_t end = pos + 22 + le16(e + 20);
    return end <= s.size() ? end : 0;
}

} // namespace

// Local headers are walked while their sizes are known; then the central
// directory and the end records. An entry written with a data descriptor
// (sizes after the data) switches to a search for the end of central
// directory record, accepted only when its directory offset leads to a
// central directory that ends right before it.
Found find_zip(Source& s, uint64_t off)
{
    ZipInfo z;
    uint64_t pos = off;
    bool search = false;
    for (uint64_t n = 0;; ++n) {
        const uint8_t* h = s.get(pos, 30);
        if (!h)
            return {};
        if (std::memcmp(h, "PK\1\2", 4) == 0)
            break;
        if (std::memcmp(h, "PK\3\4", 4) != 0)
            return {};
        uint32_t flags = le16(h + 6), method = le16(h + 8), nl = le16(h + 26), xl = le16(h + 28);
        uint64_t csize = le32(h + 18);
        if (nl == 0 || method > 99)
            return {};
        const uint8_t* name = s.get(pos + 30, nl);
        if (!name)
            return {};
        if (n == 0)
            z.first_name.assign(reinterpret_cast<const char*>(name), nl);
        if (flags & 8) {
            search = true;
            break;
        }
        if (csize == 0xFFFFFFFFu) {
            // ZIP64 extra field (ID 1) holds the real sizes.
            const uint8_t* x = s.get(pos + 30 + nl, xl);
            if (!x)
                return {};
            bool found = false;
            for (uint32_t i = 0; i + 4 <= xl;) {
                uint32_t id = le16(x + i), len = le16(x + i + 2);
                if (id == 1 && len >= 16 && i + 4 + 16 <= xl) {
                    csize = le64(x + i + 4 + 8);
                    found = true;
                    break;
                }
                i += 4 + len;
            }
            if (!found)
                return {};
        }
        if (n == 0 && method == 0 && nl == 8 && csize < 100)
            if (const uint8_t* m = s.get(pos + 30 + nl + xl, size_t(csize)))
                z.mimetype.assign(reinterpret_cast<const char*>(m), size_t(csize));
        uint64_t next = pos + 30 + nl + xl + csize;
        if (next > s.size())
            return {};
        pos = next;
    }
    if (!search) {
        uint64_t entries = 0;
        uint64_t after = zip_central(s, pos, entries, z);
        if (!after)
            return {};
        uint64_t end = zip_end(s, off, pos, after, entries);
        if (!end)
            return {};
        return {end - off, zip_type(z)};
    }
    const uint64_t limit = search_limit(s, off, uint64_t(4) << 30);
    uint64_t from = pos;
    for (int guard = 0; guard < 1 << 16; ++guard) {
        uint64_t at = find_bytes(s, from, limit, "PK\5\6", 4);
        if (at == UINT64_MAX)
            return {};
        from = at + 1;
        const uint8_t* e = s.get(at, 22);
        if (!e)
            continue;
        uint64_t cd = off + le32(e + 16);
        uint32_t cdsize = le32(e + 12);
        if (le32(e + 16) == 0xFFFFFFFFu) {
            // ZIP64: the locator right before gives the ZIP64 end record.
            const uint8_t* l = at >= 20 ? s.get(at - 20, 20) : nullptr;
            if (!l || std::memcmp(l, "PK\6\7", 4) != 0)
                continue;
            const uint8_t* r = s.get(off + le64(l + 8), 56);
            if (!r || std::memcmp(r, "PK\6\6", 4) != 0)
                continue;
            cd = off + le64(r + 48);
            cdsize = 0;
        }
        if (cd < pos || cd >= at)
            continue;
        ZipInfo zz = z;
        uint64_t entries = 0;
        uint64_t after = zip_central(s, cd, entries, zz);
        if (!after || (cdsize && after != cd + cdsize))
            continue;
        uint64_t end = zip_end(s, off, cd, after, entries);
        if (!end)
            continue;
        return {end - off, zip_type(zz)};
    }
    return {};
}

namespace {

class OleFile {
public:
    OleFile(Source& s, uint64_t off, uint32_t shift)
        : m_s(s)
        , m_off(off)
        , m_ss(1u << shift)
    {
    }
    uint64_t sector_at(uint32_t n) const { return m_off + (uint64_t(n) + 1) * m_ss; }
    // FAT entry n, through the list of FAT sectors.
    bool fat(uint32_t n, uint32_t& out)
    {
        uint32_t per = m_ss / 4, idx = n / per;
        if (idx >= m_fat.size())
            return false;
        const uint8_t* p = m_s.get(sector_at(m_fat[idx]) + (n % per) * 4, 4);
        if (!p)
            return false;
        out = le32(p);
        return true;
    }
    Source& m_s;
    uint64_t m_off;
    uint32_t m_ss;
    std::vector<uint32_t> m_fat;
};

bool utf16_name_is(const uint8_t* e, const char* name)
{
    size_t l = std::strlen(name);
    uint32_t bytes = le16(e + 64);
    if (bytes != (l + 1) * 2)
        return false;
    for (size_t i = 0; i < l; ++i)
        if (e[2 * i] != uint8_t(name[i]) || e[2 * i + 1] != 0)
            return false;
    return true;
}

} // namespace

// Compound file: the header lists the FAT sectors (and the DIFAT chain lists
// more); the file ends after the highest sector the FAT marks as used. The
// directory's stream names tell Word, Excel and PowerPoint files apart.
Found find_ole(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 512);
    if (!h || std::memcmp(h, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) != 0)
        return {};
    uint32_t major = le16(h + 26), shift = le16(h + 30);
    if (le16(h + 28) != 0xFFFE || le16(h + 32) != 6 || !((major == 3 && shift == 9) || (major == 4 && shift == 12)))
        return {};
    uint32_t nfat = le32(h + 44), first_dir = le32(h + 48), first_difat = le32(h + 68), ndifat = le32(h + 72);
    OleFile f(s, off, shift);
    uint64_t max_sectors = (s.size() - off) / f.m_ss;
    if (nfat == 0 || nfat > max_sectors || ndifat > max_sectors)
        return {};
    std::vector<uint8_t> head(h, h + 512);
    uint64_t top = 0; // highest used sector + 1
    for (uint32_t i = 0; i < 109 && f.m_fat.size() < nfat; ++i) {
        uint32_t v = le32(head.data() + 76 + i * 4);
        if (v >= max_sectors)
            return {};
        f.m_fat.push_back(v);
    }
    uint32_t d = first_difat;
    for (uint32_t k = 0; k < ndifat && f.m_fat.size() < nfat; ++k) {
        if (d >= max_sectors)
            return {};
        top = std::max<uint64_t>(top, uint64_t(d) + 1);
        uint32_t per = f.m_ss / 4 - 1;
        const uint8_t* p = s.get(f.sector_at(d), f.m_ss);
        if (!p)
            return {};
        std::vector<uint8_t> sec(p, p + f.m_ss);
        for (uint32_t i = 0; i < per && f.m_fat.size() < nfat; ++i) {
            uint32_t v = le32(sec.data() + i * 4);
            if (v >= max_sectors)
                return {};
            f.m_fat.push_back(v);
        }
        d = le32(sec.data() + per * 4);
    }
    if (f.m_fat.size() != nfat)
        return {};
    for (uint32_t i = 0; i < nfat; ++i) {
        const uint8_t* p = s.get(f.sector_at(f.m_fat[i]), f.m_ss);
        if (!p)
            return {};
        top = std::max<uint64_t>(top, uint64_t(f.m_fat[i]) + 1);
        for (uint32_t j = 0; j < f.m_ss / 4; ++j)
            if (le32(p + j * 4) != 0xFFFFFFFFu)
                top = std::max<uint64_t>(top, uint64_t(i) * (f.m_ss / 4) + j + 1);
    }
    if (first_dir >= top)
        return {};
    uint64_t size = (top + 1) * f.m_ss;
    if (size > s.size() - off)
        return {};
    // Directory entries (128 bytes) along the directory chain.
    const char* type = "ole";
    uint32_t sec = first_dir;
    for (int hops = 0; hops < 64 && sec < top; ++hops) {
        const uint8_t* p = s.get(f.sector_at(sec), f.m_ss);
        if (!p)
            break;
        std::vector<uint8_t> dir(p, p + f.m_ss);
        for (uint32_t e = 0; e < f.m_ss / 128; ++e) {
            const uint8_t* en = dir.data() + e * 128;
            if (utf16_name_is(en, "WordDocument"))
                type = "doc";
            else if (utf16_name_is(en, "Workbook") || utf16_name_is(en, "Book"))
                type = "xls";
            else if (utf16_name_is(en, "PowerPoint Document"))
                type = "ppt";
        }
        if (std::strcmp(type, "ole") != 0)
            break;
        uint32_t next;
        if (!f.fat(sec, next))
            break;
        sec = next;
    }
    return {size, type};
}

// Brace matching over the text: escaped braces and \binN payloads are
// skipped; the file ends at the brace closing the outer group (with the line
// end a writer adds).
Found find_rtf(Source& s, uint64_t off)
{
    const uint64_t limit = search_limit(s, off, uint64_t(512) << 20);
    int64_t depth = 0;
    uint64_t pos = off;
    while (pos < limit) {
        size_t n = 0;
        const uint8_t* d = s.span(pos, n);
        if (!d)
            return {};
        n = size_t(std::min<uint64_t>({uint64_t(n), limit - pos, Source::kOverlap / 2}));
        size_t i = 0;
        for (; i < n; ++i) {
            uint8_t c = d[i];
            if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (--depth == 0) {
                    uint64_t end = pos + i + 1;
                    if (const uint8_t* t = s.get(end, std::min<uint64_t>(2, s.size() - end)); t && end < s.size()) {
                        if (t[0] == '\r' && end + 1 < s.size() && t[1] == '\n')
                            end += 2;
                        else if (t[0] == '\n' || t[0] == '\r' || t[0] == 0)
                            end += 1;
                    }
                    return {end - off, "rtf"};
                }
                if (depth < 0)
                    return {};
            } else if (c == '\\') {
                if (i + 1 >= n)
                    break; // re-read the escape in the next window
                uint8_t e = d[i + 1];
                if (e == '{' || e == '}' || e == '\\') {
                    ++i;
                } else if (e == 'b' && i + 4 < n && d[i + 2] == 'i' && d[i + 3] == 'n' && is_digit(d[i + 4])) {
                    uint64_t len = 0;
                    size_t j = i + 4;
                    while (j < n && is_digit(d[j]) && len < (uint64_t(1) << 40))
                        len = len * 10 + (d[j++] - '0');
                    if (j >= n)
                        break;
                    if (d[j] == ' ')
                        ++j;
                    pos += j + len;
                    i = n + 1; // window consumed
                    break;
                }
            } else if (c == 0) {
                return {};
            }
        }
        if (i <= n)
            pos += i;
        if (i == 0)
            return {};
    }
    return {};
}

// PE image: the end of the furthest section's raw data, or of the
// certificate table (stored by file offset after the sections).
Found find_pe(Source& s, uint64_t off)
{
    const uint8_t* m = s.get(off, 64);
    if (!m || m[0] != 'M' || m[1] != 'Z')
        return {};
    uint32_t pe = le32(m + 60);
    if (pe < 64 || pe > (1u << 16))
        return {};
    const uint8_t* h = s.get(off + pe, 24);
    if (!h || std::memcmp(h, "PE\0\0", 4) != 0)
        return {};
    uint32_t nsec = le16(h + 6), optsize = le16(h + 20), chars = le16(h + 22);
    if (nsec == 0 || nsec > 96 || optsize < 96)
        return {};
    const uint8_t* opt = s.get(off + pe + 24, optsize);
    if (!opt)
        return {};
    uint32_t magic = le16(opt);
    if (magic != 0x10B && magic != 0x20B)
        return {};
    uint64_t end = le32(opt + 60); // SizeOfHeaders
    uint32_t dd = magic == 0x10B ? 96 : 112;
    uint32_t ndirs = optsize >= dd + 4 ? le32(opt + dd - 4) : 0;
    std::vector<uint8_t> o(opt, opt + optsize);
    const uint8_t* sec = s.get(off + pe + 24 + optsize, nsec * 40);
    if (!sec)
        return {};
    for (uint32_t i = 0; i < nsec; ++i) {
        const uint8_t* e = sec + i * 40;
        uint32_t raw = le32(e + 16), ptr = le32(e + 20);
        if (raw && ptr)
            end = std::max<uint64_t>(end, uint64_t(ptr) + raw);
    }
    if (ndirs > 4 && optsize >= dd + 5 * 8) {
        uint32_t cert = le32(o.data() + dd + 32), cert_size = le32(o.data() + dd + 36);
        if (cert && cert_size && cert >= end && cert - end < 4096)
            end = uint64_t(cert) + cert_size;
    }
    if (end < pe + 24u + optsize || end > s.size() - off)
        return {};
    return {end, (chars & 0x2000) ? "dll" : "exe"};
}

// Database header: page size times the page count (valid when the change
// counter matches the version-valid-for number).
Found find_sqlite(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, 100);
    if (!h || std::memcmp(h, "SQLite format 3\0", 16) != 0)
        return {};
    uint32_t ps = be16(h + 16);
    if (ps == 1)
        ps = 65536;
    if (ps < 512 || (ps & (ps - 1)))
        return {};
    uint32_t pages = be32(h + 28);
    if (pages == 0 || be32(h + 24) != be32(h + 92))
        return {};
    uint64_t size = uint64_t(ps) * pages;
    if (size > s.size() - off)
        return {};
    return {size, "sqlite"};
}

namespace {

bool text_byte(uint8_t c) { return c >= 0x20 ? c != 0x7F : (c == '\t' || c == '\n' || c == '\r' || c == '\f'); }

bool ieq(const uint8_t* p, const char* lit)
{
    for (size_t i = 0; lit[i]; ++i)
        if (std::tolower(p[i]) != lit[i])
            return false;
    return true;
}

bool markup_start(Source& s, uint64_t pos)
{
    const uint8_t* p = s.get(pos, std::min<uint64_t>(16, s.size() - pos));
    if (!p || s.size() - pos < 16)
        return false;
    size_t i = (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) ? 3 : 0;
    return ieq(p + i, "<!doctype html") || ieq(p + i, "<html") || std::memcmp(p + i, "<?xml", 5) == 0;
}

} // namespace

// HTML and XML: the text runs until the first byte that is not text; the
// file ends after the last closing tag of the root element in that run (with
// its line end), or at the end of the run when there is none.
Found find_markup(Source& s, uint64_t off)
{
    const uint8_t* h = s.get(off, std::min<uint64_t>(512, s.size() - off));
    if (!h || s.size() - off < 16)
        return {};
    size_t n = size_t(std::min<uint64_t>(512, s.size() - off)), i = 0;
    if (n >= 3 && h[0] == 0xEF && h[1] == 0xBB && h[2] == 0xBF)
        i = 3;
    while (i < n && i < 64 && is_space(h[i]) && h[i] != 0)
        ++i;
    if (n - i < 16)
        return {};
    std::string root;
    const char* type;
    if (ieq(h + i, "<!doctype html") || ieq(h + i, "<html")) {
        root = "html";
        type = "html";
    } else if (std::memcmp(h + i, "<?xml", 5) == 0 && is_space(h[i + 5])) {
        type = "xml";
        // Skip declarations, comments and processing instructions to the
        // root element's name.
        size_t j = i;
        for (int guard = 0; guard < 64 && j < n; ++guard) {
            while (j < n && is_space(h[j]) && h[j] != 0)
                ++j;
            if (j + 1 >= n || h[j] != '<')
                return {};
            if (h[j + 1] == '?' || h[j + 1] == '!') {
                const char* close = (j + 3 < n && h[j + 1] == '!' && h[j + 2] == '-' && h[j + 3] == '-') ? "-->" : ">";
                const void* e = memmem(h + j, n - j, close, std::strlen(close));
                if (!e)
                    return {};
                j = size_t(static_cast<const uint8_t*>(e) - h) + std::strlen(close);
                continue;
            }
            size_t k = j + 1;
            while (k < n && !is_space(h[k]) && h[k] != '>' && h[k] != '/')
                ++k;
            root.assign(reinterpret_cast<const char*>(h + j + 1), k - j - 1);
            break;
        }
        if (root.empty() || root.size() > 64)
            return {};
        if (root == "html")
            type = "html";
    } else {
        return {};
    }
    std::string close = "</" + root;
    for (auto& c : close)
        c = char(std::tolower(uint8_t(c)));
    const uint64_t limit = search_limit(s, off, uint64_t(64) << 20);
    uint64_t pos = off, last_close = 0;
    size_t matched = 0;
    bool in_close = false;
    while (pos < limit) {
        // A new document at a sector boundary ends this one (files stored
        // back to back with no gap between them).
        if (pos > off && pos % 512 == 0 && markup_start(s, pos))
            break;
        size_t avail = 0;
        const uint8_t* p = s.span(pos, avail);
        if (!p)
            break;
        avail = size_t(std::min<uint64_t>({uint64_t(avail), limit - pos, 512 - pos % 512}));
        size_t k = 0;
        for (; k < avail; ++k) {
            uint8_t c = p[k];
            if (!text_byte(c))
                break;
            if (in_close) {
                if (c == '>') {
                    last_close = pos + k + 1;
                    in_close = false;
                } else if (!is_space(c)) {
                    in_close = false;
                }
                continue;
            }
            if (uint8_t(std::tolower(c)) == uint8_t(close[matched])) {
                if (++matched == close.size()) {
                    matched = 0;
                    in_close = true;
                }
            } else {
                matched = uint8_t(std::tolower(c)) == uint8_t(close[0]) ? 1 : 0;
            }
        }
        pos += k;
        if (k < avail)
            break;
    }
    uint64_t end = pos;
    if (last_close) {
        end = last_close;
        if (const uint8_t* t = s.get(end, std::min<uint64_t>(2, s.size() - end)); t && end < s.size()) {
            if (t[0] == '\r' && end + 1 < s.size() && t[1] == '\n')
                end += 2;
            else if (t[0] == '\n')
                end += 1;
        }
    }
    if (end - off < 16)
        return {};
    return {end - off, type};
}

} // namespace carvex
