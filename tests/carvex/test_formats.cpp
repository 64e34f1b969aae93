// Every format the carver knows, placed on an in-memory volume at sector
// boundaries with random bytes around it: each file must be found once, with
// its exact size and type, and read back byte for byte.
#include "samples.h"

#include <carvex/carvex.h>
#include <memory_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

using namespace carvex_test;

namespace {

struct Carved {
    std::string type;
    uint64_t offset;
    uint64_t size;
    Bytes bytes;
};

// Scans the volume and reads every item back through the sequential reads,
// in pieces of an odd size to exercise the read position.
std::vector<Carved> carve(salvor_test::MemoryVolume& vol)
{
    std::vector<Carved> out;
    EXPECT_GE(cx_scan_volume(vol.volume()), 0);
    EXPECT_EQ(bg_progress.load(), 100);
    std::set<std::string> types;
    while (const char* t = cx_next_type()) {
        EXPECT_TRUE(types.insert(t).second) << "type reported twice: " << t;
        for (int32_t i = 0;; ++i) {
            CxItem* item = cx_get_item(t, i);
            if (!item)
                break;
            Carved c{t, cx_item_offset(item), cx_item_size(item), {}};
            uint8_t buf[3001];
            for (;;) {
                uint32_t n = cx_read_item(vol.volume(), item, buf, sizeof buf);
                if (n == 0)
                    break;
                c.bytes.insert(c.bytes.end(), buf, buf + n);
            }
            cx_end_read();
            EXPECT_EQ(c.bytes.size(), c.size) << t << " item " << i;
            out.push_back(std::move(c));
        }
    }
    return out;
}

void expect_all_found(const std::vector<Sample>& samples, uint64_t seed)
{
    Layout l = lay_out(samples, seed);
    salvor_test::MemoryVolume vol(l.image);
    std::vector<Carved> found = carve(vol);
    std::map<uint64_t, const Carved*> by_offset;
    for (auto& c : found)
        by_offset[c.offset] = &c;
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        auto it = by_offset.find(l.offsets[i]);
        if (it == by_offset.end()) {
            ADD_FAILURE() << s.name << " (" << s.bytes.size() << " bytes) not found";
            continue;
        }
        const Carved& c = *it->second;
        EXPECT_EQ(c.type, s.type) << s.name;
        EXPECT_EQ(c.size, s.bytes.size()) << s.name;
        EXPECT_TRUE(c.bytes == s.bytes) << s.name << ": bytes read back differ";
        by_offset.erase(it);
    }
    for (auto& [off, c] : by_offset)
        ADD_FAILURE() << "unexpected " << c->type << " item at " << off << " of " << c->size << " bytes";
    cx_release();
}

} // namespace

TEST(CarvexFormats, HandMadeFilesFoundWithExactEnds)
{
    expect_all_found(hand_made_samples(), 1);
}

TEST(CarvexFormats, SameFileTwiceBackToBackGivesTwoItems)
{
    for (auto& s : hand_made_samples()) {
        Bytes image = s.bytes;
        image.resize((image.size() + 511) / 512 * 512, 0);
        size_t second = image.size();
        image.insert(image.end(), s.bytes.begin(), s.bytes.end());
        // Text formats: the first copy is padded with spaces, not zeros, so
        // that the text runs on into the second copy.
        if (s.type == "html" || s.type == "xml")
            std::fill(image.begin() + s.bytes.size(), image.begin() + second, ' ');
        image.resize(image.size() + 4096, 0);
        salvor_test::MemoryVolume vol(image);
        ASSERT_GE(cx_scan_volume(vol.volume()), 0);
        CxItem* a = cx_get_item(s.type.c_str(), 0);
        CxItem* b = cx_get_item(s.type.c_str(), 1);
        ASSERT_TRUE(a && b) << s.name;
        EXPECT_EQ(cx_item_offset(b), second) << s.name;
        EXPECT_EQ(cx_item_size(b), s.bytes.size()) << s.name;
        EXPECT_LE(cx_item_size(a), second) << s.name;
        if (s.type != "html" && s.type != "xml") {
            EXPECT_EQ(cx_item_size(a), s.bytes.size()) << s.name;
        }
        cx_release();
    }
}

TEST(CarvexFormats, ToolMadeMediaAndDocumentsFoundWithExactEnds)
{
    salvor_test::TempDir dir;
    auto samples = tool_made_samples(dir.path() / "media", 1);
    ASSERT_FALSE(samples.empty());
    std::set<std::string> types;
    for (auto& s : samples)
        types.insert(s.type);
    for (const char* t : {"jpg", "png", "gif", "bmp", "tif", "ico", "mp3", "wav", "flac", "ogg", "m4a", "wma", "avi", "mp4",
                          "mov", "3gp", "mkv", "webm", "wmv", "flv", "mpg", "zip", "docx", "xlsx", "pptx", "odt", "ods",
                          "gz", "7z", "sqlite"})
        EXPECT_TRUE(types.count(t)) << "the fixture made no " << t;
    expect_all_found(samples, 2);
    // Back to back with no gap at all, each file twice in a row (the second
    // copy must not be taken for a continuation of the first).
    Layout tight;
    for (auto& s : samples) {
        for (int copy = 0; copy < 2; ++copy) {
            tight.offsets.push_back(tight.image.size());
            tight.image.insert(tight.image.end(), s.bytes.begin(), s.bytes.end());
            tight.image.resize((tight.image.size() + 511) / 512 * 512, 0);
        }
    }
    salvor_test::MemoryVolume vol(tight.image);
    auto found = carve(vol);
    EXPECT_EQ(found.size(), 2 * samples.size());
    std::set<uint64_t> starts(tight.offsets.begin(), tight.offsets.end());
    for (auto& c : found)
        EXPECT_TRUE(starts.count(c.offset)) << c.type << " item at " << c.offset << " where no file starts";
    std::multiset<std::string> want, got;
    for (auto& s : samples)
        for (int copy = 0; copy < 2; ++copy)
            want.insert(salvor_test::sha256_hex(s.bytes));
    for (auto& c : found)
        got.insert(salvor_test::sha256_hex(c.bytes));
    EXPECT_EQ(want, got);
    cx_release();
}

TEST(CarvexFormats, FileInsideAnotherFileIsNotReportedSeparately)
{
    Bytes jpeg = make_jpeg_like(31);
    Bytes pdf = make_pdf_with(jpeg);
    salvor_test::MemoryVolume vol(lay_out({{"x.pdf", "pdf", pdf}}, 3).image);
    auto found = carve(vol);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, "pdf");
    EXPECT_EQ(found[0].size, pdf.size());
    cx_release();
    // The same JPEG on its own is found.
    salvor_test::MemoryVolume alone(lay_out({{"x.jpg", "jpg", jpeg}}, 3).image);
    found = carve(alone);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, "jpg");
    cx_release();
}

TEST(CarvexFormats, ExifThumbnailIsPartOfItsPhoto)
{
    // A photo whose EXIF segment carries a thumbnail JPEG that starts on a
    // sector boundary: one item, the whole photo.
    Bytes thumb = make_jpeg_like(51);
    Bytes photo = make_jpeg_like(52);
    Bytes app1 = {'E', 'x', 'i', 'f', 0, 0};
    size_t at = 2 + 4 + app1.size(); // SOI, marker and length, "Exif\0\0"
    app1.resize(app1.size() + (512 - at % 512) % 512, 0);
    app1.insert(app1.end(), thumb.begin(), thumb.end());
    ASSERT_LT(app1.size() + 2, 65536u);
    Bytes outer = {0xFF, 0xD8, 0xFF, 0xE1, uint8_t((app1.size() + 2) >> 8), uint8_t(app1.size() + 2)};
    outer.insert(outer.end(), app1.begin(), app1.end());
    outer.insert(outer.end(), photo.begin() + 2, photo.end());
    ASSERT_EQ(std::search(outer.begin(), outer.end(), thumb.begin(), thumb.end()) - outer.begin(), 512);
    salvor_test::MemoryVolume vol(lay_out({{"exif.jpg", "jpg", outer}}, 6).image);
    auto found = carve(vol);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].size, outer.size());
    EXPECT_TRUE(found[0].bytes == outer);
    cx_release();
}

TEST(CarvexFormats, DamagedFilesAreNotReportedWithWrongEnds)
{
    // Files whose end structure is gone: the scan must not invent an end.
    auto cut = [](Bytes b, size_t keep) {
        b.resize(keep);
        return b;
    };
    Bytes jpeg = make_jpeg_like(41);
    Bytes rar = make_rar4();
    Bytes broken_rar = rar;
    broken_rar[7 + 13 + 5] ^= 0x40; // file header damaged: its CRC no longer matches
    std::vector<Sample> samples = {
        {"cut.jpg", "", cut(jpeg, jpeg.size() - 700)},
        {"cut.pdf", "", cut(make_pdf(), 300)},
        {"cut.mid", "", cut(make_midi(), 30)},
    };
    Layout l = lay_out(samples, 4);
    // Overwrite the random tails after each cut file with zeros, so that the
    // marker scans cannot find an end in noise by chance either.
    salvor_test::MemoryVolume vol(l.image);
    auto found = carve(vol);
    for (auto& c : found)
        ADD_FAILURE() << "reported " << c.type << " at " << c.offset << " size " << c.size;
    cx_release();
    salvor_test::MemoryVolume rv(lay_out({{"bad.rar", "rar", broken_rar}}, 5).image);
    found = carve(rv);
    for (auto& c : found)
        EXPECT_LT(c.size, rar.size()) << "a damaged header was walked over";
    cx_release();
}
