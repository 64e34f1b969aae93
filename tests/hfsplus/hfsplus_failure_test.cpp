// Failure reasons of the HFS+ family, allocation failures at the C edge and
// the stop request.
#include "hfsplus_test_util.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/bytes.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace hfsplus_test;
using salvor_test::MemoryVolume;
using salvor_test::random_bytes;

namespace {

// The volume header sits at byte 1024; the catalog file's fork record at 272
// of it, its first extent's block count at 20 of the fork record.
constexpr size_t kHeader = 1024;
constexpr size_t kCatalogFirstCount = kHeader + 272 + 20;

struct Staged {
    HfsPlusImageBuilder builder { BuildOptions { .total_blocks = 2048, .journal = true } };
    std::vector<uint8_t> image;
    Staged()
    {
        uint32_t docs = builder.add_folder(HfsPlusImageBuilder::kRootFolder, "Documents");
        builder.add_file(docs, "kept.txt", random_bytes(5000, 1));
        builder.add_deleted_file(docs, "a.doc", random_bytes(10000, 3), DeletedPlace::NodeFreeSpace, 2);
        builder.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "b.jpg", random_bytes(4096, 4),
                                 DeletedPlace::UnlinkedNode);
        builder.add_deleted_file(docs, "c.pdf", random_bytes(9000, 5), DeletedPlace::Journal);
        image = builder.build();
    }
};

class HfsPlusFailure : public ::testing::Test {
protected:
    void TearDown() override
    {
        fsprobe::fail_engine_allocation(0);
        bg_request_stop(0);
    }
    EngineGuard m_guard;
};

TEST_F(HfsPlusFailure, DamagedVolumesNameWhatFailed)
{
    EXPECT_FALSE(hfsp_init(nullptr));
    EXPECT_STREQ(hfsp_last_failure(), "no volume was given");
    MemoryVolume tiny(std::vector<uint8_t>(1200, 0), BG_FS_HFSPLUS);
    EXPECT_FALSE(hfsp_init(tiny.volume()));
    EXPECT_STREQ(hfsp_last_failure(), "cannot read the HFS+ volume header: the volume ends before it");
    MemoryVolume zeros(std::vector<uint8_t>(64 * 1024, 0), BG_FS_HFSPLUS);
    EXPECT_FALSE(hfsp_init(zeros.volume()));
    EXPECT_STREQ(hfsp_last_failure(), "the HFS+ volume header signature is wrong");
    Staged s;
    auto odd_block = s.image;
    fsprobe::store_be32(odd_block.data() + kHeader + 40, 1000);
    MemoryVolume odd(odd_block, BG_FS_HFSPLUS);
    EXPECT_FALSE(hfsp_init(odd.volume()));
    EXPECT_STREQ(hfsp_last_failure(), "the HFS+ volume header gives an invalid block size");

    // The header is sound but the catalog is not: init succeeds, the search says why.
    auto no_extents = s.image;
    fsprobe::store_be32(no_extents.data() + kCatalogFirstCount, 0);
    MemoryVolume v1(no_extents, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(v1.volume()));
    EXPECT_STREQ(hfsp_last_failure(), "");
    EXPECT_EQ(hfsp_searchfile(), nullptr);
    EXPECT_STREQ(hfsp_last_failure(), "the HFS+ catalog file has no extents");
    EXPECT_EQ(bg_progress.load(), 100);

    auto no_header_node = s.image;
    std::memset(no_header_node.data() + s.builder.layout().catalog_offset, 0, 512);
    MemoryVolume v2(no_header_node, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(v2.volume()));
    EXPECT_EQ(hfsp_searchfile(), nullptr);
    EXPECT_STREQ(hfsp_last_failure(), "the HFS+ catalog header node cannot be read or is damaged");

    // A sound volume: the reason is cleared by the next call that succeeds.
    MemoryVolume good(s.image, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(good.volume()));
    EXPECT_EQ(collect(hfsp_searchfile()).size(), 3u);
    EXPECT_STREQ(hfsp_last_failure(), "");
}

TEST_F(HfsPlusFailure, EveryFailedAllocationOfASearchComesBackAsOutOfMemory)
{
    Staged s;
    MemoryVolume vol(s.image, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 1000u);
        bg_progress.store(0);
        fsprobe::fail_engine_allocation(n);
        HfspFileRecord* head = hfsp_searchfile();
        fsprobe::fail_engine_allocation(0);
        if (head)
            break;
        EXPECT_STREQ(hfsp_last_failure(), "out of memory") << "allocation " << n;
        EXPECT_EQ(bg_progress.load(), 100);
    }
    // Each of the three records and its extent array are allocations.
    EXPECT_GE(n, 4u);
    EXPECT_EQ(collect(hfsp_searchfile()).size(), 3u);
}

TEST_F(HfsPlusFailure, TheStopRequestEndsTheSearch)
{
    Staged s;
    MemoryVolume vol(s.image, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    bg_request_stop(1);
    EXPECT_EQ(hfsp_searchfile(), nullptr);
    EXPECT_STREQ(hfsp_last_failure(), "the scan was stopped");
    EXPECT_EQ(bg_progress.load(), 100);
    bg_request_stop(0);
    EXPECT_EQ(collect(hfsp_searchfile()).size(), 3u);
}

} // namespace
