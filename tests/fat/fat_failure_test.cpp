// Failure reasons of the FAT family, allocation failures at the C edge and
// the stop request.
#include "fat_test_util.h"

#include <fsprobe/common/alloc.h>

#include <memory_volume.h>

#include <blockgate/blockgate.h>

#include <memory>

using namespace fat_test;
using salvor_test::MemoryVolume;

namespace {

class FatFailure : public ::testing::Test {
protected:
    void TearDown() override
    {
        fsprobe::fail_engine_allocation(0);
        bg_request_stop(0);
        fat_exit();
        fat_fmtRec_exit();
    }
    // A root with deleted files and a folder holding more.
    static MiniFat16 staged()
    {
        MiniFat16 v;
        v.entry(v.root_entry(0), "\xE5" "NE     TXT", 0x20, 3, 700);
        v.entry(v.root_entry(1), "DOCS       ", 0x10, 10, 0);
        v.set_fat(10, 0xFFFF);
        v.dot_entries(10, 0);
        for (uint32_t i = 0; i < 6; ++i) {
            char name[12];
            std::snprintf(name, sizeof name, "\xE5" "ILE%u   BIN", i);
            v.entry(v.cluster_entry(10, 2 + i), name, 0x20, 20 + i, 100 + i);
        }
        v.entry(v.root_entry(2), "\xE5" "LD        ", 0x10, 30, 0);
        v.dot_entries(30, 0);
        v.entry(v.cluster_entry(30, 2), "INNER   TXT", 0x20, 31, 10);
        return v;
    }
    size_t search_count()
    {
        uint32_t files = 0, dirs = 0;
        FatDirNode* root = fat_searchfile(1, &files, &dirs);
        return root ? collect(root).size() : 0;
    }
};

TEST_F(FatFailure, DamagedVolumesNameWhatFailed)
{
    EXPECT_FALSE(fat_init(nullptr));
    EXPECT_STREQ(fat_last_failure(), "no volume was given");

    MiniFat16 v = staged();
    MemoryVolume ntfs(v.bytes, BG_FS_NTFS);
    EXPECT_FALSE(fat_init(ntfs.volume()));
    EXPECT_STREQ(fat_last_failure(), "the volume is not FAT12, FAT16 or FAT32");

    // Bytes per sector, sectors per cluster, then the number of FATs.
    for (size_t field : { size_t(0x0B), size_t(0x0D), size_t(0x10) }) {
        MiniFat16 damaged = staged();
        damaged.bytes[field] = 0;
        damaged.bytes[field == 0x0B ? 0x0C : field] = 0;
        MemoryVolume vol(damaged.bytes, BG_FS_FAT16);
        EXPECT_FALSE(fat_init(vol.volume())) << field;
        EXPECT_STREQ(fat_last_failure(), "no FAT16 boot sector at sector 0") << field;
        MemoryVolume as32(damaged.bytes, BG_FS_FAT32);
        EXPECT_FALSE(fat_init(as32.volume())) << field;
        EXPECT_STREQ(fat_last_failure(), "no FAT32 boot sector at sector 0") << field;
    }
    // Format recovery needs a volume too; the next good call clears the reason.
    EXPECT_FALSE(fat_fmtRec_init(nullptr));
    EXPECT_STREQ(fat_last_failure(), "no volume was given");
    MemoryVolume good(v.bytes, BG_FS_FAT16);
    EXPECT_TRUE(fat_init(good.volume()));
    EXPECT_STREQ(fat_last_failure(), "");
    EXPECT_EQ(search_count(), 10u);
    EXPECT_STREQ(fat_last_failure(), "");
}

TEST_F(FatFailure, EveryFailedAllocationOfASearchComesBackAsOutOfMemory)
{
    MiniFat16 v = staged();
    MemoryVolume vol(v.bytes, BG_FS_FAT16);
    ASSERT_TRUE(fat_init(vol.volume()));
    const size_t expected = search_count();
    ASSERT_EQ(expected, 10u); // _NE.TXT, DOCS and its six, _LD and INNER.TXT
    uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 1000u);
        bg_progress.store(0);
        fsprobe::fail_engine_allocation(n);
        uint32_t files = 0, dirs = 0;
        FatDirNode* root = fat_searchfile(1, &files, &dirs);
        fsprobe::fail_engine_allocation(0);
        if (root)
            break;
        EXPECT_STREQ(fat_last_failure(), "out of memory") << "allocation " << n;
        EXPECT_EQ(bg_progress.load(), 100);
    }
    EXPECT_GT(n, 10u);
    EXPECT_EQ(search_count(), expected);

    // Format recovery over the same bytes: every failure is a null result.
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    FatLostDir** whole = fat_fmtRec_search(BG_FS_FAT16);
    ASSERT_NE(whole, nullptr);
    const size_t trees = collect(whole).size();
    for (n = 1;; ++n) {
        ASSERT_LT(n, 1000u);
        fsprobe::fail_engine_allocation(n);
        FatLostDir** tops = fat_fmtRec_search(BG_FS_FAT16);
        fsprobe::fail_engine_allocation(0);
        if (tops)
            break;
        EXPECT_STREQ(fat_last_failure(), "out of memory") << "allocation " << n;
    }
    EXPECT_EQ(collect(fat_fmtRec_search(BG_FS_FAT16)).size(), trees);
}

TEST_F(FatFailure, TheStopRequestEndsBothSearches)
{
    MiniFat16 v = staged();
    MemoryVolume vol(v.bytes, BG_FS_FAT16);
    ASSERT_TRUE(fat_init(vol.volume()));
    bg_request_stop(1);
    EXPECT_EQ(search_count(), 0u);
    EXPECT_EQ(bg_progress.load(), 100);
    // The format scan stops before its first chunk: no candidate, no tree.
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    FatLostDir** tops = fat_fmtRec_search(BG_FS_FAT16);
    ASSERT_NE(tops, nullptr);
    EXPECT_EQ(tops[0], nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    bg_request_stop(0);
    EXPECT_EQ(search_count(), 10u);
}

} // namespace
