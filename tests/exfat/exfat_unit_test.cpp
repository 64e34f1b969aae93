// The exFAT engine on byte arrays: boot-sector checks one field at a time,
// the boot regions, entry sets, data layouts and damaged trees.
#include "exfat_test_util.h"
#include "mini_exfat.h"

#include "DeletedSearch.h"
#include "DirectorySet.h"
#include "Volume.h"

#include <memory_volume.h>
#include <test_support.h>

#include <climits>
#include <cstring>
#include <functional>

using namespace exfat_test;
using salvor_test::MemoryVolume;

namespace {

class ExfatUnitTest : public ::testing::Test {
protected:
    void TearDown() override { exfat_exit(); }

    // Opens `image` and runs the search; the result paths.
    std::vector<Found> search(std::vector<uint8_t> image, uint32_t* files = nullptr)
    {
        m_volume = std::make_unique<MemoryVolume>(std::move(image), BG_FS_EXFAT);
        EXPECT_TRUE(exfat_init(m_volume->volume())) << exfat_last_failure();
        ExfatDirNode* root = exfat_search(1, files, nullptr);
        EXPECT_NE(root, nullptr) << exfat_last_failure();
        return collect(root);
    }

    std::unique_ptr<MemoryVolume> m_volume;
};

// ---- Boot sector -------------------------------------------------------------------

TEST(ExfatBootSectorTest, EachBrokenFieldIsRefusedWithItsReason)
{
    using fsprobe::exfat::parse_boot_sector;
    const auto good = MiniExfat::make();
    ASSERT_TRUE(parse_boot_sector(std::span<const uint8_t>(good.data(), 512)));

    struct Case {
        const char* why;
        std::function<void(uint8_t*)> spoil;
    };
    const Case cases[] = {
        { "EXFAT", [](uint8_t* s) { std::memcpy(s + 3, "NTFS    ", 8); } },
        { "bytes-per-sector", [](uint8_t* s) { s[0x6C] = 8; } },
        { "bytes-per-sector", [](uint8_t* s) { s[0x6C] = 13; } },
        { "32 MiB", [](uint8_t* s) { s[0x6C] = 12, s[0x6D] = 14; } },
        { "number of FATs", [](uint8_t* s) { s[0x6E] = 0; } },
        { "number of FATs", [](uint8_t* s) { s[0x6E] = 3; } },
        { "cluster count", [](uint8_t* s) { store_le32(s + 0x5C, 0); } },
        { "cluster count", [](uint8_t* s) { store_le32(s + 0x5C, 0xFFFFFFF6); } },
        { "FAT offset", [](uint8_t* s) { store_le32(s + 0x50, 23); } },
        { "FAT offset", [](uint8_t* s) { store_le32(s + 0x54, 0); } },
        { "FAT too short", [](uint8_t* s) { store_le32(s + 0x54, 31); } },
        { "overlaps", [](uint8_t* s) { store_le32(s + 0x58, 55); } },
        { "volume length", [](uint8_t* s) { store_le64(s + 0x48, 0); } },
        { "volume length", [](uint8_t* s) { store_le64(s + 0x48, ~uint64_t(0)); } },
        { "beyond the volume", [](uint8_t* s) { store_le64(s + 0x48, MiniExfat::sectors - 1); } },
        { "root", [](uint8_t* s) { store_le32(s + 0x60, 1); } },
        { "root", [](uint8_t* s) { store_le32(s + 0x60, MiniExfat::cluster_count + 2); } },
    };
    for (const Case& c : cases) {
        auto bytes = good;
        c.spoil(bytes.data());
        std::string why;
        EXPECT_FALSE(parse_boot_sector(std::span<const uint8_t>(bytes.data(), 512), &why)) << c.why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    // The largest cluster, 32 MiB, is allowed.
    auto bytes = good;
    bytes[0x6C] = 12;
    bytes[0x6D] = 13;
    store_le64(bytes.data() + 0x48, uint64_t(MiniExfat::heap_sector) + (uint64_t(MiniExfat::cluster_count) << 13));
    EXPECT_TRUE(parse_boot_sector(std::span<const uint8_t>(bytes.data(), 512)));
}

TEST_F(ExfatUnitTest, BackupBootRegionIsUsedWhenTheMainOneFails)
{
    // A file only the backup region's root cluster leads to.
    auto image = MiniExfat::make();
    ExfatImage im(image);
    im.add_file("kept.txt", salvor_test::random_bytes(100, 1));
    im.remove("kept.txt");
    image = im.bytes;
    // Main region: the root moved to an empty cluster, the checksum not redone.
    store_le32(image.data() + 0x60, 40);
    store_le32(image.data() + MiniExfat::fat_sector * 512 + 40 * 4, 0xFFFFFFFF);
    auto found = search(image);
    EXPECT_NE(find(found, "kept.txt"), nullptr);

    // The same main sector with its checksum redone wins over the backup.
    MiniExfat::seal_boot_region(image, 0);
    found = search(image);
    EXPECT_EQ(find(found, "kept.txt"), nullptr);

    // An unusable main sector: the backup.
    std::memcpy(image.data() + 0x6C, "\x02", 1);
    found = search(image);
    EXPECT_NE(find(found, "kept.txt"), nullptr);

    // Both unusable: refused, with the reason.
    image[12 * 512 + 0x6E] = 7;
    MemoryVolume vol(image, BG_FS_EXFAT);
    EXPECT_FALSE(exfat_init(vol.volume()));
    EXPECT_NE(std::string(exfat_last_failure()).find("bytes-per-sector"), std::string::npos) << exfat_last_failure();
    EXPECT_EQ(exfat_search(1, nullptr, nullptr), nullptr);
    EXPECT_NE(std::string(exfat_last_failure()), "");
}

TEST_F(ExfatUnitTest, OtherCodesAndNullVolumesAreRefused)
{
    MemoryVolume vol(MiniExfat::make(), BG_FS_FAT32);
    EXPECT_FALSE(exfat_init(vol.volume()));
    EXPECT_NE(std::string(exfat_last_failure()).find("not an exFAT"), std::string::npos);
    EXPECT_FALSE(exfat_init(nullptr));
    EXPECT_NE(std::string(exfat_last_failure()), "");
}

// ---- Entry sets -----------------------------------------------------------------

TEST(ExfatSetTest, DeletedSetChecksumCountsTheInUseBitsAsSet)
{
    auto image = MiniExfat::make();
    ExfatImage im(image);
    im.add_file("a fairly long file name.txt", salvor_test::random_bytes(10, 2));
    const uint64_t at = im.set_offset("a fairly long file name.txt");
    using fsprobe::exfat::parse_file_set;
    auto live = parse_file_set(&im.bytes[at], 4, 0);
    ASSERT_TRUE(live);
    EXPECT_TRUE(live->in_use);
    EXPECT_TRUE(live->checksum_ok);
    EXPECT_EQ(live->entries, 4u);
    im.remove("a fairly long file name.txt");
    auto gone = parse_file_set(&im.bytes[at], 4, 0);
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->in_use);
    EXPECT_TRUE(gone->checksum_ok);
    EXPECT_EQ(gone->name, u16("a fairly long file name.txt"));
    EXPECT_EQ(gone->data_length, 10u);

    // A newer live set written over the deleted one's last name entry cuts
    // it short: what is left is kept, its checksum fails.
    im.bytes[at + 3 * 32] = 0x85;
    auto cut = parse_file_set(&im.bytes[at], 4, 0);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->entries, 3u);
    EXPECT_FALSE(cut->complete);
    EXPECT_FALSE(cut->checksum_ok);
    EXPECT_TRUE(cut->name_short);
    EXPECT_EQ(cut->name, u16("a fairly long f"));
    // No stream extension after the file entry: nothing to decode.
    im.bytes[at + 32] = 0x41;
    EXPECT_FALSE(parse_file_set(&im.bytes[at], 4, 0));
    // The buffer ends after the file entry.
    EXPECT_FALSE(parse_file_set(&im.bytes[at], 1, 0));
}

TEST_F(ExfatUnitTest, DamagedSetsAreKeptAndFlagged)
{
    ExfatImage im(MiniExfat::make());
    im.add_file("sum.txt", salvor_test::random_bytes(50, 3));
    im.add_file("hash.txt", salvor_test::random_bytes(50, 4));
    im.add_file("lost name.txt", salvor_test::random_bytes(50, 5));
    const uint64_t sum_at = im.set_offset("sum.txt");
    const uint64_t hash_at = im.set_offset("hash.txt");
    const uint64_t lost_at = im.set_offset("lost name.txt");
    im.remove("sum.txt");
    im.remove("hash.txt");
    im.remove("lost name.txt");
    // A changed size breaks the set checksum.
    im.bytes[sum_at + 32 + 0x18] = 60;
    // A changed name with its checksum redone still fails the name hash.
    im.bytes[hash_at + 64 + 2] = 'x';
    {
        uint16_t sum = 0;
        for (size_t i = 0; i < 96; ++i) {
            if (i == 2 || i == 3)
                continue;
            const uint8_t b = i % 32 == 0 ? uint8_t(im.bytes[hash_at + i] | 0x80) : im.bytes[hash_at + i];
            sum = uint16_t(((sum & 1) ? 0x8000u : 0) + (sum >> 1) + b);
        }
        store_le16(&im.bytes[hash_at + 2], sum);
    }
    // Every name entry overwritten by something else.
    im.bytes[lost_at + 64] = 0xA0;
    uint32_t files = 0;
    auto found = search(im.bytes, &files);
    EXPECT_EQ(files, 3u);
    const Found* sum = find(found, "sum.txt");
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(sum->entry->flags & (EXFAT_SET_CHECKSUM_BAD | EXFAT_NAME_HASH_BAD), EXFAT_SET_CHECKSUM_BAD);
    const Found* hash = find(found, "xash.txt");
    ASSERT_NE(hash, nullptr);
    EXPECT_EQ(hash->entry->flags & (EXFAT_SET_CHECKSUM_BAD | EXFAT_NAME_HASH_BAD), EXFAT_NAME_HASH_BAD);
    char name[64];
    std::snprintf(name, sizeof name, "noname-%016llx", static_cast<unsigned long long>(lost_at));
    const Found* lost = find(found, name);
    ASSERT_NE(lost, nullptr);
    EXPECT_TRUE(lost->entry->flags & EXFAT_NAME_SHORT);
    EXPECT_EQ(read_all(lost->entry, 512), salvor_test::random_bytes(50, 5));
}

// ---- Data --------------------------------------------------------------------------

TEST_F(ExfatUnitTest, ChainsThatDoNotHoldAreReadFromTheFreeClustersThatFollow)
{
    ExfatImage im(MiniExfat::make());
    using Place = ExfatImage::Place;
    auto data = salvor_test::random_bytes(3 * 512, 6);
    // A chain that loops back after two clusters.
    auto looped = im.add_file("loop.bin", data, Place::chain);
    // A chain whose second cluster a newer live file took.
    auto taken = im.add_file("taken.bin", data, Place::chain);
    im.remove("loop.bin");
    im.remove("taken.bin");
    im.set_fat(looped[1], looped[0]);
    im.add_file("live.bin", salvor_test::random_bytes(512, 7), Place::explicit_clusters, { taken[1] });
    // Without a bitmap the clusters after the first are read as they come.
    auto no_bitmap = im.bytes;
    no_bitmap[MiniExfat::cluster_offset(MiniExfat::root_cluster)] = 0x01;
    const uint32_t mask = EXFAT_DATA_FAT_CHAIN | EXFAT_DATA_GUESSED | EXFAT_DATA_SKIPPED | EXFAT_DATA_IN_USE;

    auto found = search(im.bytes);
    const Found* loop = find(found, "loop.bin");
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->entry->flags & mask, EXFAT_DATA_GUESSED);
    EXPECT_EQ(read_all(loop->entry, 1000), data);
    // The live file's cluster is stepped over: it may have been written
    // between the pieces. Here it was not, and the rest comes from after it.
    const Found* stepped = find(found, "taken.bin");
    ASSERT_NE(stepped, nullptr);
    EXPECT_EQ(stepped->entry->flags & mask, EXFAT_DATA_GUESSED | EXFAT_DATA_SKIPPED);
    auto back = read_all(stepped->entry, 512);
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 512, back.begin()));
    EXPECT_TRUE(std::equal(data.begin() + 1024, data.end(), back.begin() + 512));

    found = search(no_bitmap);
    stepped = find(found, "taken.bin");
    ASSERT_NE(stepped, nullptr);
    EXPECT_EQ(stepped->entry->flags & mask, EXFAT_DATA_GUESSED);
    back = read_all(stepped->entry, 512);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 512, back.begin()));
    EXPECT_EQ(std::vector<uint8_t>(back.begin() + 512, back.begin() + 1024), salvor_test::random_bytes(512, 7));
}

TEST_F(ExfatUnitTest, ReadsStopAtTheHeapAndZeroPastTheValidSize)
{
    ExfatImage im(MiniExfat::make());
    auto data = salvor_test::random_bytes(2000, 8);
    im.add_file("valid.bin", data);
    im.add_file("edge.bin", salvor_test::random_bytes(1024, 9));
    const uint64_t valid_at = im.set_offset("valid.bin");
    const uint64_t edge_at = im.set_offset("edge.bin");
    im.remove("valid.bin");
    im.remove("edge.bin");
    // Only 1500 bytes were written; a file that would run past the heap.
    store_le64(&im.bytes[valid_at + 32 + 0x08], 1500);
    store_le32(&im.bytes[edge_at + 32 + 0x14], MiniExfat::cluster_count + 1);
    auto found = search(im.bytes);

    const Found* valid = find(found, "valid.bin");
    ASSERT_NE(valid, nullptr);
    EXPECT_EQ(valid->entry->valid_size, 1500u);
    bool ok = false;
    auto back = read_all(valid->entry, 512, &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(back.size(), 2000u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 1500, back.begin()));
    EXPECT_EQ(std::count(back.begin() + 1500, back.end(), 0), 500);

    const Found* edge = find(found, "edge.bin");
    ASSERT_NE(edge, nullptr);
    EXPECT_TRUE(edge->entry->flags & EXFAT_DATA_CUT);
    std::vector<uint8_t> buffer(512);
    uint64_t position = 0;
    EXPECT_TRUE(exfat_readfile(edge->entry, buffer.data(), 512, &position)); // the last cluster
    EXPECT_FALSE(exfat_readfile(edge->entry, buffer.data(), 512, &position));
    EXPECT_NE(std::string(exfat_last_failure()), "");
    EXPECT_EQ(position, 1024u);

    // Arguments and positions out of range.
    position = 2000;
    EXPECT_FALSE(exfat_readfile(valid->entry, buffer.data(), 512, &position));
    EXPECT_FALSE(exfat_readfile(nullptr, buffer.data(), 512, &position));
    EXPECT_FALSE(exfat_readfile(valid->entry, nullptr, 512, &position));
    EXPECT_FALSE(exfat_readfile(valid->entry, buffer.data(), 0, &position));
    EXPECT_FALSE(exfat_readfile(valid->entry, buffer.data(), 512, nullptr));
}

// ---- Trees -------------------------------------------------------------------------

TEST_F(ExfatUnitTest, LoopsAndReusedFolderClustersEndTheWalk)
{
    ExfatImage im(MiniExfat::make());
    im.mkdir("live");
    im.mkdir("gone");
    im.add_file("gone/inside.txt", salvor_test::random_bytes(10, 10));
    // A live folder whose first cluster is the root: a loop.
    im.mkdir("loop");
    im.remove("gone");
    store_le32(&im.bytes[im.set_offset("loop") + 32 + 0x14], MiniExfat::root_cluster);
    store_le16(&im.bytes[im.set_offset("loop") + 2], fsprobe::exfat::set_checksum(&im.bytes[im.set_offset("loop")], 3, false));
    uint32_t files = 0;
    auto found = search(im.bytes, &files);
    EXPECT_EQ(files, 1u);
    EXPECT_NE(find(found, "gone/inside.txt"), nullptr);
    const Found* loop = find(found, "loop");
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(found.size(), 4u);

    // The deleted folder's cluster taken by a new file: it is kept, not walked.
    ExfatImage again(im.bytes);
    ASSERT_NE(find(found, "gone"), nullptr);
    again.add_file("new.bin", salvor_test::random_bytes(512, 11), ExfatImage::Place::explicit_clusters,
                   { find(found, "gone")->entry->first_cluster });
    found = search(again.bytes, &files);
    EXPECT_EQ(files, 0u);
    const Found* gone = find(found, "gone");
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(find(found, "gone/inside.txt"), nullptr);
}

// ---- Times -------------------------------------------------------------------------

TEST(ExfatTimeTest, TimestampsDecodeWithTheirOffsets)
{
    // 1980-01-01 00:00:00, no offset.
    const uint32_t epoch = (1u << 21) | (1u << 16);
    EXPECT_EQ(exfat_unix_time(epoch, 0, 0, nullptr), 315532800);
    // 2000-02-29 23:59:58.99 at UTC-1 (-4 quarter hours): the next day in UTC.
    const uint32_t leap = (20u << 25) | (2u << 21) | (29u << 16) | (23u << 11) | (59u << 5) | 29u;
    uint32_t ns = 0;
    EXPECT_EQ(exfat_unix_time(leap, 199, 0x80 | 0x7C, &ns), 951868798 + 1 + 3600);
    EXPECT_EQ(ns, 990000000u);
    // An offset without its valid bit is ignored.
    EXPECT_EQ(exfat_unix_time(leap, 0, 0x7C, nullptr), 951868798);
    for (uint32_t bad : { 0u, epoch & ~(31u << 16), epoch | (13u << 21), epoch | (24u << 11), epoch | (60u << 5),
                          epoch | 30u })
        EXPECT_EQ(exfat_unix_time(bad, 0, 0, nullptr), INT64_MIN) << std::hex << bad;
    EXPECT_EQ(exfat_unix_time(epoch, 200, 0, nullptr), INT64_MIN);
}

// ---- Fuzz seeds -------------------------------------------------------------------

// Writes the seeds of exfat_walk_fuzz into tests/exfat/fuzz-seeds. Run by hand:
//   exfat_unit_test --gtest_also_run_disabled_tests --gtest_filter='*WriteFuzzSeeds*'
TEST(ExfatFuzzSeeds, DISABLED_WriteFuzzSeeds)
{
    using Place = ExfatImage::Place;
    ExfatImage im(MiniExfat::make());
    im.mkdir("DCIM");
    im.mkdir("DCIM/100MEDIA");
    im.add_file("DCIM/100MEDIA/IMG_0001.JPG", salvor_test::random_bytes(1500, 1));
    im.add_file("DCIM/100MEDIA/clip.mp4", salvor_test::random_bytes(2500, 2), Place::chain);
    im.add_file(std::string(40, 'n') + "\xc3\xa9.txt", salvor_test::random_bytes(300, 3));
    im.mkdir("trip");
    im.mkdir("trip/day");
    im.add_file("trip/day/a.jpg", salvor_test::random_bytes(700, 4), Place::chain);
    im.add_file("trip/b.txt", salvor_test::random_bytes(10, 5));
    im.add_file("empty", {});
    im.remove("DCIM/100MEDIA/clip.mp4");
    im.remove(std::string(40, 'n') + "\xc3\xa9.txt");
    im.remove("trip");
    im.remove("empty");
    constexpr uint32_t clusters = 24;
    auto heap = [&](const std::vector<uint8_t>& bytes, size_t skip) {
        const size_t from = MiniExfat::cluster_offset(MiniExfat::root_cluster) + skip;
        return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + clusters * 512 - skip);
    };
    auto with_fat = [&](const std::vector<uint8_t>& bytes, uint8_t flags) {
        std::vector<uint8_t> seed { uint8_t(flags | 1) };
        const uint16_t length = (clusters + 6) * 4;
        seed.push_back(uint8_t(length));
        seed.push_back(uint8_t(length >> 8));
        const uint8_t* fat = bytes.data() + MiniExfat::fat_sector * 512;
        seed.insert(seed.end(), fat, fat + length);
        return seed;
    };
    const auto dir = salvor_test::source_dir() / "tests/exfat/fuzz-seeds";
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, std::vector<uint8_t> seed, const std::vector<uint8_t>& rest) {
        seed.insert(seed.end(), rest.begin(), rest.end());
        salvor_test::write_file(dir / name, seed);
    };
    write("tree.bin", with_fat(im.bytes, 0), heap(im.bytes, 64));
    write("tree_no_fat.bin", { 0 }, heap(im.bytes, 64));
    write("tree_with_metadata.bin", with_fat(im.bytes, 8), heap(im.bytes, 0));

    // A chain that loops, a checksum that fails, a name length of 255 with
    // one name entry, a secondary count of 255.
    ExfatImage bad(im.bytes);
    const auto& chained = im.clusters_of("DCIM/100MEDIA/IMG_0001.JPG");
    bad.set_fat(chained.back(), chained.front());
    bad.add_file("damaged.bin", salvor_test::random_bytes(900, 6), Place::chain);
    const uint64_t at = bad.set_offset("damaged.bin");
    bad.remove("damaged.bin");
    bad.bytes[at + 32 + 3] = 255;
    bad.add_file("count.bin", salvor_test::random_bytes(20, 7));
    bad.bytes[bad.set_offset("count.bin") + 1] = 255;
    write("damaged.bin", with_fat(bad.bytes, 0), heap(bad.bytes, 64));

    // Geometry: a larger cluster count and cluster, the checksum redone.
    std::vector<uint8_t> geometry(im.bytes.begin() + 0x48, im.bytes.begin() + 0x70);
    store_le32(geometry.data() + (0x5C - 0x48), 0x7FFFFFFF);
    geometry[0x6D - 0x48] = 3;
    std::vector<uint8_t> seed { 2 | 4 };
    seed.insert(seed.end(), geometry.begin(), geometry.end());
    write("geometry.bin", seed, heap(im.bytes, 64));
}

} // namespace
