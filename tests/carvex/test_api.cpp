// The operations as the raw scan and the recovery writer call them: progress
// in steps of 5 up to 100, a stop through bg_progress, the type and item
// numbering, and the sequential reads.
#include "samples.h"

#include <carvex/carvex.h>
#include <memory_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

using namespace carvex_test;

namespace {

// A large volume whose bytes are computed on demand: zeros, with a copy of
// one sample file at every `spacing` bytes. Reads can be slowed down and can
// fail inside a chosen range.
class GeneratedVolume {
public:
    GeneratedVolume(uint64_t size, Bytes sample, uint64_t spacing)
        : m_size(size)
        , m_sample(std::move(sample))
        , m_spacing(spacing)
    {
        std::memset(&m_reader, 0, sizeof m_reader);
        std::memset(&m_volume, 0, sizeof m_volume);
        m_reader.name = "generated";
        m_reader.read = &GeneratedVolume::read_op;
        m_reader.size = &GeneratedVolume::size_op;
        m_reader.bytes_per_sector = 512;
        m_reader.handle = -1;
        m_reader.impl = this;
        m_volume.size = size;
        m_volume.drive_letter = '?';
        m_volume.reader = &m_reader;
    }
    BgVolume* volume() { return &m_volume; }
    std::atomic<int> delay_us{0};
    uint64_t fail_from = UINT64_MAX, fail_to = 0;
    std::vector<int32_t> progress_seen;

private:
    static uint32_t read_op(BgReader* r, void* buf, uint32_t count, uint64_t off)
    {
        auto* s = static_cast<GeneratedVolume*>(r->impl);
        s->progress_seen.push_back(bg_progress.load());
        if (int d = s->delay_us.load())
            std::this_thread::sleep_for(std::chrono::microseconds(d));
        if (off >= s->m_size)
            return 0;
        uint64_t n = std::min<uint64_t>(count, s->m_size - off);
        if (off < s->fail_to && off + n > s->fail_from) {
            if (off >= s->fail_from)
                return 0;
            n = s->fail_from - off; // short read up to the bad range
        }
        auto* out = static_cast<uint8_t*>(buf);
        std::memset(out, 0, n);
        uint64_t first = off / s->m_spacing;
        for (uint64_t k = first; k * s->m_spacing < off + n; ++k) {
            uint64_t start = k * s->m_spacing;
            uint64_t a = std::max(start, off), b = std::min(start + s->m_sample.size(), off + n);
            if (a < b)
                std::memcpy(out + (a - off), s->m_sample.data() + (a - start), b - a);
        }
        return uint32_t(n);
    }
    static uint64_t size_op(BgReader* r) { return static_cast<GeneratedVolume*>(r->impl)->m_size; }

    uint64_t m_size;
    Bytes m_sample;
    uint64_t m_spacing;
    BgReader m_reader;
    BgVolume m_volume;
};

int32_t count_items(const char* type)
{
    int32_t n = 0;
    while (cx_get_item(type, n))
        ++n;
    return n;
}

} // namespace

TEST(CarvexApi, ProgressRisesInStepsOfFiveToHundred)
{
    GeneratedVolume gv(uint64_t(96) << 20, make_jpeg_like(1), uint64_t(3) << 20);
    bg_progress.store(42);
    ASSERT_EQ(cx_scan_volume(gv.volume()), 32);
    EXPECT_EQ(bg_progress.load(), 100);
    ASSERT_FALSE(gv.progress_seen.empty());
    EXPECT_EQ(gv.progress_seen.front(), 0);
    std::set<int32_t> distinct(gv.progress_seen.begin(), gv.progress_seen.end());
    for (size_t i = 1; i < gv.progress_seen.size(); ++i)
        ASSERT_GE(gv.progress_seen[i], gv.progress_seen[i - 1]);
    for (int32_t v : distinct)
        EXPECT_EQ(v % 5, 0) << v;
    // Every step is passed through (a volume this size is read in many
    // pieces per step).
    for (int32_t v = 0; v <= 95; v += 5)
        EXPECT_TRUE(distinct.count(v)) << "step " << v << " never seen";
    EXPECT_EQ(count_items("jpg"), 32);
    cx_release();
}

TEST(CarvexApi, SettingProgressToHundredStopsTheScanWithWhatItFound)
{
    Bytes jpeg = make_jpeg_like(2);
    GeneratedVolume gv(uint64_t(4) << 30, jpeg, uint64_t(1) << 20);
    gv.delay_us = 20000; // a full scan would take well over a minute
    std::atomic<int32_t> result{-2};
    bg_progress.store(0); // what the progress dialog does before it starts the worker
    auto started = std::chrono::steady_clock::now();
    std::thread worker([&] { result = cx_scan_volume(gv.volume()); });
    while (bg_progress.load() < 5 && std::chrono::steady_clock::now() - started < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(bg_progress.load(), 5);
    auto stop = std::chrono::steady_clock::now();
    bg_progress.store(100);
    worker.join();
    auto took = std::chrono::steady_clock::now() - stop;
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(bg_progress.load(), 100);
    int32_t n = count_items("jpg");
    EXPECT_GE(n, 200); // 5 % of 4 GiB with one file per MiB
    EXPECT_LT(n, 4096);
    EXPECT_EQ(result.load(), n);
    for (int32_t i = 0; i < n; ++i) {
        CxItem* item = cx_get_item("jpg", i);
        EXPECT_EQ(cx_item_offset(item), uint64_t(i) << 20);
        EXPECT_EQ(cx_item_size(item), jpeg.size());
    }
    cx_release();
}

TEST(CarvexApi, TheStopRequestStopsTheScanWithWhatItFound)
{
    Bytes jpeg = make_jpeg_like(3);
    GeneratedVolume gv(uint64_t(4) << 30, jpeg, uint64_t(1) << 20);
    gv.delay_us = 20000;
    std::atomic<int32_t> result{-2};
    bg_request_stop(0);
    bg_progress.store(0);
    auto started = std::chrono::steady_clock::now();
    std::thread worker([&] { result = cx_scan_volume(gv.volume()); });
    while (bg_progress.load() < 5 && std::chrono::steady_clock::now() - started < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(bg_progress.load(), 5);
    // The progress is left as it is: the request alone stops the scan.
    auto stop = std::chrono::steady_clock::now();
    bg_request_stop(1);
    worker.join();
    bg_request_stop(0);
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(2));
    EXPECT_EQ(bg_progress.load(), 100);
    int32_t n = count_items("jpg");
    EXPECT_GE(n, 200);
    EXPECT_LT(n, 4096);
    EXPECT_EQ(result.load(), n);
    cx_release();
}

TEST(CarvexApi, TypesItemsAndSequentialReads)
{
    std::vector<Sample> samples = {{"a.jpg", "jpg", make_jpeg_like(3)}, {"b.mid", "mid", make_midi()},
                                   {"c.jpg", "jpg", make_jpeg_like(4)}, {"d.rtf", "rtf", make_rtf()}};
    Layout l = lay_out(samples, 9);
    salvor_test::MemoryVolume vol(l.image);
    ASSERT_EQ(cx_scan_volume(vol.volume()), 4);

    // Every type once, null after the last, then the list starts again.
    std::vector<std::string> types;
    while (const char* t = cx_next_type())
        types.push_back(t);
    EXPECT_EQ(types, (std::vector<std::string>{"jpg", "mid", "rtf"}));
    ASSERT_NE(cx_next_type(), nullptr);
    while (cx_next_type()) {
    }

    // Items from 0 without gaps; the name is matched without regard to case.
    EXPECT_EQ(count_items("jpg"), 2);
    EXPECT_EQ(cx_get_item("JPG", 1), cx_get_item("jpg", 1));
    EXPECT_EQ(cx_get_item("jpg", -1), nullptr);
    EXPECT_EQ(cx_get_item("png", 0), nullptr);
    EXPECT_EQ(cx_get_item(nullptr, 0), nullptr);
    EXPECT_EQ(cx_get_item("PHOTO", 0), nullptr);
    EXPECT_EQ(cx_item_size(nullptr), 0u);

    // Sequential reads cover exactly the item; cx_end_read starts over, and
    // so does a read of another item.
    CxItem* a = cx_get_item("jpg", 0);
    CxItem* c = cx_get_item("jpg", 1);
    const Bytes& want = samples[0].bytes;
    Bytes got(want.size() + 100, 0xEE);
    uint32_t first = cx_read_item(vol.volume(), a, got.data(), 1000);
    ASSERT_EQ(first, 1000u);
    uint32_t rest = cx_read_item(vol.volume(), a, got.data() + 1000, uint32_t(got.size() - 1000));
    EXPECT_EQ(first + rest, want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
    EXPECT_EQ(got[want.size()], 0xEE) << "read past the item's end";
    uint8_t one[16];
    EXPECT_EQ(cx_read_item(vol.volume(), a, one, sizeof one), 0u);
    cx_end_read();
    ASSERT_EQ(cx_read_item(vol.volume(), a, one, 4), 4u);
    EXPECT_EQ(std::memcmp(one, want.data(), 4), 0);
    ASSERT_EQ(cx_read_item(vol.volume(), c, one, 4), 4u);
    EXPECT_EQ(std::memcmp(one, samples[2].bytes.data(), 4), 0);
    cx_end_read();

    // A second scan replaces the first; release forgets everything.
    salvor_test::MemoryVolume empty(Bytes(64 * 1024, 0));
    EXPECT_EQ(cx_scan_volume(empty.volume()), 0);
    EXPECT_EQ(cx_next_type(), nullptr);
    EXPECT_EQ(cx_get_item("jpg", 0), nullptr);
    cx_release();
    EXPECT_EQ(cx_next_type(), nullptr);
}

TEST(CarvexApi, UnreadableVolumeAndFailedReadsAreNotSuccesses)
{
    bg_progress.store(35);
    EXPECT_EQ(cx_scan_volume(nullptr), -1);
    EXPECT_EQ(bg_progress.load(), 100);

    Bytes jpeg = make_jpeg_like(5);
    GeneratedVolume gv(uint64_t(8) << 20, jpeg, uint64_t(4) << 20);
    ASSERT_EQ(cx_scan_volume(gv.volume()), 2);
    CxItem* item = cx_get_item("jpg", 1);
    ASSERT_NE(item, nullptr);
    // The middle of the second file becomes unreadable after the scan.
    gv.fail_from = (uint64_t(4) << 20) + 1024;
    gv.fail_to = gv.fail_from + 512;
    Bytes buf(jpeg.size());
    uint32_t n = cx_read_item(gv.volume(), item, buf.data(), uint32_t(buf.size()));
    EXPECT_EQ(n, 1024u) << "bytes that could not be read were reported as read";
    cx_end_read();
    cx_release();
}

TEST(CarvexApi, HeaderBeforeAnErasedAreaDoesNotMakeTheScanReadItAgain)
{
    // A JPEG and a PDF whose bodies were erased: their end searches must give
    // up at the zeros instead of reading on to their limits.
    Bytes jpeg = make_jpeg_like(6);
    Bytes pdf = make_pdf();
    for (Bytes head : {Bytes(jpeg.begin(), jpeg.begin() + 600), Bytes(pdf.begin(), pdf.begin() + 200)}) {
        GeneratedVolume gv(uint64_t(256) << 20, head, uint64_t(64) << 20);
        EXPECT_EQ(cx_scan_volume(gv.volume()), 0);
        // One pass over 256 MiB takes 64 reads of 4 MiB.
        EXPECT_LT(gv.progress_seen.size(), 80u) << "the erased area was searched again after each header";
        cx_release();
    }
}

TEST(CarvexApi, EachTypeNameHasOneCategory)
{
    struct Expect {
        const char* type;
        int32_t category;
    };
    for (Expect e : std::initializer_list<Expect>{
             {"jpg", CX_CATEGORY_PHOTO}, {"JPG", CX_CATEGORY_PHOTO}, {"heic", CX_CATEGORY_PHOTO},
             {"tiff", CX_CATEGORY_PHOTO}, {"jpeg", CX_CATEGORY_PHOTO},
             // Windows Media Audio and AIFF are music, never video.
             {"wma", CX_CATEGORY_MUSIC}, {"WMA", CX_CATEGORY_MUSIC}, {"aiff", CX_CATEGORY_MUSIC},
             {"mp3", CX_CATEGORY_MUSIC}, {"mid", CX_CATEGORY_MUSIC}, {"mp+", CX_CATEGORY_MUSIC},
             {"mkv", CX_CATEGORY_VIDEO}, {"webm", CX_CATEGORY_VIDEO}, {"asf", CX_CATEGORY_VIDEO},
             {"wmv", CX_CATEGORY_VIDEO}, {"3g2", CX_CATEGORY_VIDEO}, {"mpeg", CX_CATEGORY_VIDEO},
             {"pdf", CX_CATEGORY_OTHERS}, {"docx", CX_CATEGORY_OTHERS}, {"sqlite", CX_CATEGORY_OTHERS},
             {"rtf", CX_CATEGORY_OTHERS},
             // Whole names only.
             {"", -1}, {"jp", -1}, {"g.jp", -1}, {"peg.jpg", -1}, {"jpg ", -1}, {"photo", -1}, {"FAT16", -1},
             {"ntfs", -1}})
        EXPECT_EQ(cx_type_category(e.type), e.category) << e.type;
    EXPECT_EQ(cx_type_category(nullptr), -1);

    // Every type a scan reports has a category.
    std::vector<Sample> samples = {{"a.jpg", "jpg", make_jpeg_like(3)}, {"b.mid", "mid", make_midi()},
                                   {"d.rtf", "rtf", make_rtf()}};
    Layout l = lay_out(samples, 9);
    salvor_test::MemoryVolume vol(l.image);
    ASSERT_EQ(cx_scan_volume(vol.volume()), 3);
    int types = 0;
    while (const char* t = cx_next_type()) {
        EXPECT_GE(cx_type_category(t), 0) << t;
        ++types;
    }
    EXPECT_EQ(types, 3);
    cx_release();
}
