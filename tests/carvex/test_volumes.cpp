// Scans of real volumes: a FAT32 volume filled with real files and formatted
// again, and a third-party exFAT image.
#include "samples.h"

#include <carvex/carvex.h>
#include <file_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace carvex_test;

namespace {

struct Item {
    std::string type;
    uint64_t offset;
    std::string sha;
    uint64_t size;
};

std::vector<Item> carve_all(BgVolume* volume)
{
    std::vector<Item> out;
    EXPECT_GE(cx_scan_volume(volume), 0);
    while (const char* t = cx_next_type()) {
        for (int32_t i = 0; CxItem* item = cx_get_item(t, i); ++i) {
            Bytes data(cx_item_size(item));
            uint64_t done = 0;
            while (done < data.size()) {
                uint32_t want = uint32_t(std::min<uint64_t>(65536, data.size() - done));
                uint32_t n = cx_read_item(volume, item, data.data() + done, want);
                if (n == 0)
                    break;
                done += n;
            }
            cx_end_read();
            EXPECT_EQ(done, data.size());
            out.push_back({t, cx_item_offset(item), salvor_test::sha256_hex(data), data.size()});
        }
    }
    return out;
}

} // namespace

TEST(CarvexVolumes, ReformattedFat32GivesBackEveryFileByteExact)
{
    salvor_test::TempDir dir;
    auto samples = tool_made_samples(dir.path() / "media", 2);
    ASSERT_FALSE(samples.empty());
    for (auto& s : hand_made_samples()) {
        salvor_test::write_file(dir.path() / "media" / s.name, s.bytes);
        samples.push_back(s);
    }
    ASSERT_TRUE(salvor_test::run_fixture("carvex-fat32.sh", {(dir.path() / "fat32.img").string(), (dir.path() / "media").string()}));
    salvor_test::FileVolume vol((dir.path() / "fat32.img").string(), BG_FS_FAT32);
    auto items = carve_all(vol.volume());
    std::map<std::string, const Item*> by_sha;
    for (auto& it : items)
        by_sha[it.sha] = &it;
    std::set<std::string> wanted;
    for (auto& s : samples) {
        std::string sha = salvor_test::sha256_hex(s.bytes);
        wanted.insert(sha);
        auto it = by_sha.find(sha);
        if (it == by_sha.end()) {
            ADD_FAILURE() << s.name << " (" << s.bytes.size() << " bytes) was not carved byte-exact";
            continue;
        }
        EXPECT_EQ(it->second->type, s.type) << s.name;
    }
    for (auto& it : items)
        if (!wanted.count(it.sha) && it.size > 64)
            ADD_FAILURE() << "carved " << it.type << " of " << it.size << " bytes at " << it.offset << " matches no file";
    cx_release();
}

TEST(CarvexVolumes, ExfatImageGivesItsJpegs)
{
    salvor_test::TempDir dir;
    auto img = salvor_test::shared_image("exfat/go-exfat-test.exfat", dir.path());
    if (!img)
        GTEST_SKIP() << "shared test images absent";
    salvor_test::FileVolume vol(img->string(), BG_FS_EXFAT);
    auto items = carve_all(vol.volume());
    // The two photos of the image (one deleted), as The Sleuth Kit's icat
    // extracts them.
    std::set<std::string> jpgs;
    for (auto& it : items)
        if (it.type == "jpg")
            jpgs.insert(it.sha);
    EXPECT_TRUE(jpgs.count("b92686b5cae39150b4e631c6d9a8daec651410317b1c3c9732bca79a2013fe78")) << "2-delahaye-type-165-cabriolet-dsc_8025.jpg";
    EXPECT_TRUE(jpgs.count("68870dfaacb8c1c555972dbdef5a607fe63aeaed059e82c102db0f3f33fa2a4f")) << "8fd71ab132c59bf33cd7890c0acebf12.jpg (deleted)";
    EXPECT_EQ(jpgs.size(), 2u);
    for (auto& it : items)
        if (it.type != "jpg")
            ADD_FAILURE() << "unexpected " << it.type << " of " << it.size << " bytes at " << it.offset;
    cx_release();
}
