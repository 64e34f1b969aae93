// Failure reasons of the ext2 and ext3 families, allocation failures at the C
// edge, the stop request, and the export guard itself.
#include "ext_builder.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include <memory_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace salvor_test;
using ext_test::ExtBuilder;

namespace {

// ---------------------------------------------------------------- the guard

TEST(ExportGuard, ResultsExceptionsAndNestedCalls)
{
    fsprobe::FailureReason reason;
    // A failure value keeps the reason its call recorded; the first one stands.
    EXPECT_FALSE(fsprobe::guarded(reason, false, [] {
        fsprobe::fail("the cause");
        fsprobe::fail("a consequence");
        return false;
    }));
    EXPECT_STREQ(reason.text(), "the cause");
    // Any other result clears it, even when something was noted on the way.
    EXPECT_EQ(fsprobe::guarded<int>(reason, -1, [] {
                  fsprobe::fail("a damaged item, skipped");
                  return 7;
              }),
              7);
    EXPECT_STREQ(reason.text(), "");

    // Exceptions become the failure value with their reason, and the undo runs.
    bool undone = false;
    EXPECT_EQ(fsprobe::guarded<int*>(
                  reason, nullptr, []() -> int* { throw std::bad_alloc(); }, [&] { undone = true; }),
              nullptr);
    EXPECT_TRUE(undone);
    EXPECT_STREQ(reason.text(), "out of memory");
    EXPECT_EQ(fsprobe::guarded<int>(reason, -1, []() -> int { throw std::length_error("vector"); }), -1);
    EXPECT_NE(std::string(reason.text()).find("too large"), std::string::npos);
    EXPECT_EQ(fsprobe::guarded<int>(reason, -1, []() -> int { throw std::runtime_error("boom"); }), -1);
    EXPECT_STREQ(reason.text(), "internal error: boom");
    EXPECT_EQ(fsprobe::guarded<int>(reason, -1, []() -> int { throw 42; }), -1);
    EXPECT_STREQ(reason.text(), "internal error");

    // A call of the same family inside a call keeps the outer call's reason
    // and does not end the outer call's recording.
    fsprobe::FailureReason other;
    EXPECT_FALSE(fsprobe::guarded(reason, false, [&] {
        fsprobe::guarded(reason, 0, [] { return 1; });
        fsprobe::guarded(other, false, [] {
            fsprobe::fail("other family");
            return false;
        });
        fsprobe::fail("outer");
        return false;
    }));
    EXPECT_STREQ(reason.text(), "outer");
    EXPECT_STREQ(other.text(), "other family");
    // Outside any call, fail() records nowhere.
    fsprobe::fail("nobody listens");
    EXPECT_STREQ(reason.text(), "outer");
}

// ---------------------------------------------------------------- ext2

class ExtFailure : public ::testing::Test {
protected:
    void TearDown() override
    {
        fsprobe::fail_engine_allocation(0);
        bg_request_stop(0);
        ext2_exit();
        ext3_exit();
    }
    // Four lost inodes, and four folders each with a live file and a
    // deleted name left in the slack of its block.
    static ExtBuilder staged()
    {
        ExtBuilder b;
        uint32_t lf = b.make_dir_inode(11, 2);
        b.link(2, lf, "lost+found", 2);
        for (int i = 0; i < 4; ++i) {
            b.make_file(random_bytes(3000 + 100 * i, 10 + i), 50 + i);
            uint32_t sub = b.make_dir_inode(b.new_inode_number(), 2);
            b.link(2, sub, "sub" + std::to_string(i), 2);
            uint32_t kept = b.link(sub, b.make_file(random_bytes(200, 20 + i), 0), "in" + std::to_string(i), 1);
            b.link(sub, b.make_file(random_bytes(1500, 30 + i), 60 + i), "gone" + std::to_string(i), 1);
            b.unlink_last(sub, kept);
        }
        return b;
    }
    static size_t ext2_files(Ext2Group* head)
    {
        size_t n = 0;
        for (Ext2Group* g = head; g; g = ext2_get_next(g))
            n += g->file_count;
        return n;
    }
    static size_t ext3_nodes(Ext3DirNode* root)
    {
        size_t n = 0;
        for (void* item = root; item; item = ext3_get_next(item))
            ++n;
        return n;
    }
};

TEST_F(ExtFailure, DamagedVolumesNameWhatFailed)
{
    struct Case {
        uint32_t offset;
        uint16_t value;
        const char* reason;
    };
    const Case cases[] = {
        { 0x38, 0xEF54, "the %s superblock magic is wrong" },
        { 0x4C, 2, "the %s superblock revision is not 0 or 1" },
        { 0x18, 9, "the %s superblock block size is too large" },
        { 0x28, 0, "the %s superblock inodes per group are invalid" },
    };
    for (const Case& c : cases) {
        ExtBuilder b;
        ExtBuilder::put16(b.bytes().data() + 1024 + c.offset, c.value);
        MemoryVolume vol(b.bytes(), BG_FS_EXT2);
        char want[128];
        EXPECT_FALSE(ext2_init(vol.volume()));
        std::snprintf(want, sizeof want, c.reason, "ext2");
        EXPECT_STREQ(ext2_last_failure(), want);
        EXPECT_FALSE(ext3_init(vol.volume()));
        std::snprintf(want, sizeof want, c.reason, "ext3");
        EXPECT_STREQ(ext3_last_failure(), want);
    }

    // Cut short before the superblock ends, and before the descriptors.
    ExtBuilder b;
    b.bytes().resize(1500);
    MemoryVolume cut(b.bytes(), BG_FS_EXT2);
    EXPECT_FALSE(ext2_init(cut.volume()));
    EXPECT_STREQ(ext2_last_failure(), "cannot read the ext2 superblock: the volume ends before it");
    b.bytes().resize(2048);
    MemoryVolume cut2(b.bytes(), BG_FS_EXT2);
    EXPECT_FALSE(ext3_init(cut2.volume()));
    EXPECT_STREQ(ext3_last_failure(), "cannot read the ext3 group descriptors: the volume ends before it");

    // No volume, no search without one; a good volume clears the reason.
    EXPECT_FALSE(ext2_init(nullptr));
    EXPECT_STREQ(ext2_last_failure(), "no volume was given");
    EXPECT_EQ(ext2_searchfile(), nullptr);
    EXPECT_STREQ(ext2_last_failure(), "no ext2 volume is open");
    EXPECT_EQ(ext3_searchfile2(), nullptr);
    EXPECT_STREQ(ext3_last_failure(), "no ext3 volume is open");
    ExtBuilder good = staged();
    MemoryVolume vol(good.bytes(), BG_FS_EXT2);
    EXPECT_TRUE(ext2_init(vol.volume()));
    EXPECT_STREQ(ext2_last_failure(), "");
    // The families keep their own reasons.
    EXPECT_STREQ(ext3_last_failure(), "no ext3 volume is open");
}

TEST_F(ExtFailure, EveryFailedAllocationOfAScanComesBackAsOutOfMemory)
{
    ExtBuilder b = staged();
    MemoryVolume vol(b.bytes(), BG_FS_EXT2);
    ASSERT_TRUE(ext2_init(vol.volume()));
    const size_t expected = ext2_files(ext2_searchfile());
    ASSERT_GE(expected, 4u);
    ASSERT_TRUE(ext3_init(vol.volume()));
    const size_t nodes = ext3_nodes(ext3_searchfile());
    ASSERT_EQ(nodes, 5u); // the root and the four folders

    // The n-th engine allocation of the scan fails, for every n until the
    // scan needs fewer: each time the failure value and the reason come
    // back, the progress ends, and the engine is usable right after.
    for (int mode = 0; mode < 3; ++mode) {
        uint64_t n = 1;
        for (;; ++n) {
            ASSERT_LT(n, 10000u);
            bg_progress.store(0);
            fsprobe::fail_engine_allocation(n);
            bool failed;
            if (mode == 0)
                failed = ext2_searchfile() == nullptr;
            else if (mode == 1)
                failed = ext3_searchfile() == nullptr;
            else
                failed = ext3_searchfile2() == nullptr;
            fsprobe::fail_engine_allocation(0);
            if (!failed)
                break;
            const char* reason = mode == 0 ? ext2_last_failure() : ext3_last_failure();
            EXPECT_STREQ(reason, "out of memory") << "mode " << mode << " allocation " << n;
            if (mode == 0)
                EXPECT_EQ(bg_progress.load(), 100);
        }
        EXPECT_GT(n, 1u) << "mode " << mode;
    }
    EXPECT_EQ(ext2_files(ext2_searchfile()), expected);
    EXPECT_STREQ(ext2_last_failure(), "");
    EXPECT_EQ(ext3_nodes(ext3_searchfile()), nodes);
    EXPECT_STREQ(ext3_last_failure(), "");
    size_t listed = 0;
    for (void* f = ext3_searchfile2(); f; f = ext3_get_next(f))
        ++listed;
    EXPECT_EQ(listed, 4u);
}

TEST_F(ExtFailure, TheStopRequestEndsTheLostFileScan)
{
    ExtBuilder b = staged();
    MemoryVolume vol(b.bytes(), BG_FS_EXT2);
    ASSERT_TRUE(ext2_init(vol.volume()));
    bg_request_stop(1);
    EXPECT_EQ(bg_stop_requested(), 1);
    EXPECT_EQ(ext2_files(ext2_searchfile()), 0u);
    EXPECT_EQ(bg_progress.load(), 100);
    bg_request_stop(0);
    EXPECT_GE(ext2_files(ext2_searchfile()), 4u);
}

} // namespace
