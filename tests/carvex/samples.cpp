#include "samples.h"

#include <test_support.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace carvex_test {

namespace {

void put(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void put32le(Bytes& b, uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i))); }
void put32be(Bytes& b, uint32_t v) { for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i))); }
void set16le(Bytes& b, size_t at, uint32_t v) { b[at] = uint8_t(v); b[at + 1] = uint8_t(v >> 8); }
void set32le(Bytes& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i)); }
void put_vint(Bytes& b, uint64_t v)
{
    do {
        uint8_t c = v & 0x7F;
        v >>= 7;
        b.push_back(uint8_t(c | (v ? 0x80 : 0)));
    } while (v);
}

} // namespace

uint32_t crc32(const uint8_t* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

Bytes make_midi()
{
    Bytes b;
    put(b, "MThd");
    put32be(b, 6);
    b.insert(b.end(), {0, 1, 0, 2, 0, 96});
    Bytes t1 = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xFF, 0x2F, 0x00};
    Bytes t2 = {0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00};
    for (auto* t : {&t1, &t2}) {
        put(b, "MTrk");
        put32be(b, uint32_t(t->size()));
        b.insert(b.end(), t->begin(), t->end());
    }
    return b;
}

Bytes make_rtf()
{
    Bytes b;
    put(b, "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 Carved text with \\{escaped\\} braces "
           "and a backslash \\\\ {\\b bold}\\par\r\n}\r\n");
    return b;
}

Bytes make_rtf_with_binary()
{
    Bytes b;
    put(b, "{\\rtf1\\ansi{\\*\\picprop}{\\pict\\bin8 ");
    b.insert(b.end(), {'}', '}', '}', '{', 0, 0xFF, '}', '\\'});
    put(b, "}\\par done}\n");
    return b;
}

Bytes make_html()
{
    Bytes b;
    put(b, "<!DOCTYPE html>\n<html lang=\"en\"><head><title>Carved</title></head>\n<body><p>An html page "
           "that mentions </html> only at its end.</p>\n");
    for (int i = 0; i < 40; ++i)
        put(b, "<p>line " + std::to_string(i) + "</p>\n");
    put(b, "</body></HTML>\r\n");
    return b;
}

Bytes make_xml()
{
    Bytes b;
    put(b, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- a catalog -->\n<catalog>\n");
    for (int i = 0; i < 30; ++i)
        put(b, "  <item id=\"" + std::to_string(i) + "\">value</item>\n");
    put(b, "</catalog>\n");
    return b;
}

namespace {

// Objects of a small PDF, the xref table and trailer.
std::string pdf_body(const std::vector<std::string>& objects, size_t base, std::vector<size_t>& offsets, std::string& text)
{
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(base + text.size());
        text += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    return text;
}

} // namespace

Bytes make_pdf()
{
    std::string t = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offs;
    std::string objs;
    pdf_body({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>"},
             t.size(), offs, objs);
    t += objs;
    size_t xref = t.size();
    t += "xref\n0 4\n0000000000 65535 f \n";
    char line[32];
    for (size_t o : offs) {
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
        t += line;
    }
    t += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    // Incremental update: a new Info object and a second xref section.
    size_t info = t.size();
    t += "4 0 obj\n<< /Producer (salvor test) >>\nendobj\n";
    size_t xref2 = t.size();
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", info);
    t += "xref\n4 1\n" + std::string(line) + "trailer\n<< /Size 5 /Root 1 0 R /Info 4 0 R /Prev " + std::to_string(xref) +
         " >>\nstartxref\n" + std::to_string(xref2) + "\n%%EOF\r\n";
    return Bytes(t.begin(), t.end());
}

Bytes make_pdf_with(const Bytes& inner)
{
    std::string head = "%PDF-1.5\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n";
    std::string sh = "3 0 obj\n<< /Type /XObject /Subtype /Image /Filter /DCTDecode /Length " + std::to_string(inner.size()) + " >>\nstream\n";
    // Comment padding so that the stream data starts at a 512-byte boundary.
    size_t used = head.size() + sh.size();
    size_t pad = (1024 - used % 512) % 512;
    if (pad < 3)
        pad += 512;
    head += "%" + std::string(pad - 2, 'x') + "\n";
    Bytes b(head.begin(), head.end());
    put(b, sh);
    EXPECT_EQ(b.size() % 512, 0u);
    b.insert(b.end(), inner.begin(), inner.end());
    put(b, "\nendstream\nendobj\nxref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n0\n%%EOF\n");
    return b;
}

Bytes make_ole(const std::string& stream, uint64_t seed)
{
    const uint32_t kFree = 0xFFFFFFFFu, kEnd = 0xFFFFFFFEu, kFatSect = 0xFFFFFFFDu;
    const uint32_t data_sectors = 9;
    Bytes b(512, 0);
    const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(b.data(), sig, 8);
    set16le(b, 24, 0x3E);
    set16le(b, 26, 3);
    set16le(b, 28, 0xFFFE);
    set16le(b, 30, 9);
    set16le(b, 32, 6);
    set32le(b, 44, 1);    // FAT sectors
    set32le(b, 48, 1);    // first directory sector
    set32le(b, 56, 4096); // mini stream cutoff
    set32le(b, 60, kEnd);
    set32le(b, 68, kEnd);
    for (int i = 0; i < 109; ++i)
        set32le(b, 76 + i * 4, i == 0 ? 0 : kFree);
    // Sector 0: the FAT.
    Bytes fat(512, 0xFF);
    set32le(fat, 0, kFatSect);
    set32le(fat, 4, kEnd);
    for (uint32_t s = 2; s < 2 + data_sectors; ++s)
        set32le(fat, s * 4, s + 1 < 2 + data_sectors ? s + 1 : kEnd);
    b.insert(b.end(), fat.begin(), fat.end());
    // Sector 1: the directory (root entry and the stream).
    Bytes dir(512, 0);
    auto entry = [&](int i, const std::string& name, uint8_t type, uint32_t child, uint32_t start, uint32_t size) {
        uint8_t* e = dir.data() + i * 128;
        for (size_t k = 0; k < name.size(); ++k)
            e[2 * k] = uint8_t(name[k]);
        e[64] = uint8_t((name.size() + 1) * 2);
        e[66] = type;
        e[67] = 1;
        for (int k : {68, 72})
            std::memset(e + k, 0xFF, 4);
        std::memcpy(e + 76, &child, 4);
        std::memcpy(e + 116, &start, 4);
        std::memcpy(e + 120, &size, 4);
    };
    entry(0, "Root Entry", 5, 1, kEnd, 0);
    entry(1, stream, 2, kFree, 2, data_sectors * 512);
    for (int i = 2; i < 4; ++i)
        for (int k : {68, 72, 76})
            std::memset(dir.data() + i * 128 + k, 0xFF, 4);
    b.insert(b.end(), dir.begin(), dir.end());
    Bytes data = salvor_test::random_bytes(data_sectors * 512, seed);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes make_pe(bool dll)
{
    Bytes b(0x888, 0);
    b[0] = 'M';
    b[1] = 'Z';
    set32le(b, 0x3C, 0x80);
    std::memcpy(b.data() + 0x80, "PE\0\0", 4);
    size_t coff = 0x84;
    set16le(b, coff + 0, 0x8664);
    set16le(b, coff + 2, 2);
    set16le(b, coff + 16, 240);
    set16le(b, coff + 18, dll ? 0x2022 : 0x0022);
    size_t opt = coff + 20;
    set16le(b, opt, 0x20B);
    set32le(b, opt + 56, 0x3000);  // SizeOfImage
    set32le(b, opt + 60, 0x200);   // SizeOfHeaders
    set32le(b, opt + 108, 16);     // NumberOfRvaAndSizes
    set32le(b, opt + 112 + 32, 0x800); // certificate table: file offset
    set32le(b, opt + 112 + 36, 0x88);
    size_t sec = opt + 240;
    const char* names[2] = {".text", ".data"};
    uint32_t raw[2][2] = {{0x200, 0x400}, {0x600, 0x200}};
    for (int i = 0; i < 2; ++i) {
        uint8_t* e = b.data() + sec + i * 40;
        std::memcpy(e, names[i], std::strlen(names[i]));
        set32le(b, sec + i * 40 + 8, raw[i][1]);
        set32le(b, sec + i * 40 + 12, 0x1000 * (i + 1));
        set32le(b, sec + i * 40 + 16, raw[i][1]);
        set32le(b, sec + i * 40 + 20, raw[i][0]);
    }
    Bytes code = salvor_test::random_bytes(0x688, 77);
    std::memcpy(b.data() + 0x200, code.data(), code.size());
    return b;
}

Bytes make_rar4()
{
    Bytes b = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    auto block = [&](Bytes h) {
        uint32_t c = crc32(h.data() + 2, h.size() - 2) & 0xFFFF;
        set16le(h, 0, c);
        b.insert(b.end(), h.begin(), h.end());
    };
    Bytes main = {0, 0, 0x73, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0};
    block(main);
    Bytes data = salvor_test::random_bytes(3000, 5);
    std::string name = "notes.bin";
    Bytes fh(32, 0);
    fh[2] = 0x74;
    set16le(fh, 3, 0x8000);
    set16le(fh, 5, uint32_t(32 + name.size()));
    set32le(fh, 7, uint32_t(data.size()));
    set32le(fh, 11, uint32_t(data.size()));
    set32le(fh, 16, crc32(data.data(), data.size()));
    fh[24] = 29;
    fh[25] = 0x30;
    set16le(fh, 26, uint32_t(name.size()));
    put(fh, name);
    block(fh);
    b.insert(b.end(), data.begin(), data.end());
    Bytes end = {0, 0, 0x7B, 0x00, 0x40, 7, 0};
    block(end);
    return b;
}

Bytes make_rar5()
{
    Bytes b = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
    auto block = [&](const Bytes& body, const Bytes& data) {
        Bytes h;
        put_vint(h, body.size());
        h.insert(h.end(), body.begin(), body.end());
        put32le(b, crc32(h.data(), h.size()));
        b.insert(b.end(), h.begin(), h.end());
        b.insert(b.end(), data.begin(), data.end());
    };
    block({1, 0, 0}, {});
    Bytes data = salvor_test::random_bytes(2500, 6);
    Bytes fh = {2, 2};
    put_vint(fh, data.size());
    fh.push_back(0);                 // file flags
    put_vint(fh, data.size());       // unpacked size
    fh.push_back(0x20);              // attributes
    fh.push_back(0);                 // compression: stored
    fh.push_back(1);                 // host OS
    std::string name = "data.bin";
    put_vint(fh, name.size());
    put(fh, name);
    block(fh, data);
    block({5, 0, 0}, {});
    return b;
}

Bytes make_jpeg_like(uint64_t seed)
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    b.insert(b.end(), {0xFF, 0xDB, 0x00, 0x43, 0x00});
    for (int i = 0; i < 64; ++i)
        b.push_back(uint8_t(1 + i % 7));
    b.insert(b.end(), {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01, 0x11, 0x00});
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    Bytes r = salvor_test::random_bytes(3000, seed);
    for (size_t i = 0; i < r.size(); ++i) {
        b.push_back(r[i]);
        if (r[i] == 0xFF)
            b.push_back(0x00);
        if (i == 1500)
            b.insert(b.end(), {0xFF, 0xD3}); // a restart marker inside the scan
    }
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

std::vector<Sample> hand_made_samples()
{
    return {
        {"song.mid", "mid", make_midi()},
        {"letter.rtf", "rtf", make_rtf()},
        {"picture.rtf", "rtf", make_rtf_with_binary()},
        {"page.html", "html", make_html()},
        {"catalog.xml", "xml", make_xml()},
        {"updated.pdf", "pdf", make_pdf()},
        {"report.doc", "doc", make_ole("WordDocument", 11)},
        {"table.xls", "xls", make_ole("Workbook", 12)},
        {"talk.ppt", "ppt", make_ole("PowerPoint Document", 13)},
        {"tool.exe", "exe", make_pe(false)},
        {"lib.dll", "dll", make_pe(true)},
        {"old.rar", "rar", make_rar4()},
        {"new.rar", "rar", make_rar5()},
        {"skeleton.jpg", "jpg", make_jpeg_like(21)},
    };
}

std::vector<Sample> tool_made_samples(const std::filesystem::path& dir, int variant)
{
    if (!salvor_test::run_fixture("carvex-media.sh", {dir.string(), std::to_string(variant)}))
        return {};
    // Extension -> reported type, where they differ.
    static const std::map<std::string, std::string> kType = {{"tone.m4a", "m4a"}, {"stream.zip", "zip"}};
    std::vector<Sample> out;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        std::string ext = e.path().extension().string().substr(1);
        auto it = kType.find(name);
        out.push_back({name, it != kType.end() ? it->second : ext, salvor_test::read_file(e.path())});
    }
    std::sort(out.begin(), out.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
    return out;
}

Layout lay_out(const std::vector<Sample>& samples, uint64_t seed)
{
    Layout l;
    uint64_t k = seed;
    auto next = [&] {
        k = k * 6364136223846793005ull + 1442695040888963407ull;
        return k >> 33;
    };
    for (const Sample& s : samples) {
        size_t gap = 512 * (1 + next() % 4) + (512 - l.image.size() % 512) % 512;
        Bytes r = salvor_test::random_bytes(gap, next());
        l.image.insert(l.image.end(), r.begin(), r.end());
        l.offsets.push_back(l.image.size());
        l.image.insert(l.image.end(), s.bytes.begin(), s.bytes.end());
    }
    Bytes tail = salvor_test::random_bytes(2048 + (512 - l.image.size() % 512) % 512, next());
    l.image.insert(l.image.end(), tail.begin(), tail.end());
    return l;
}

} // namespace carvex_test
