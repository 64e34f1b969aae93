// Failure reasons of the NTFS family, allocation failures at the C edge and
// the stop request.
#include "ntfs_builder.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/ntfs.h>

#include <gtest/gtest.h>
#include <memory_volume.h>

#include <string>

using namespace ntfs_test;
using salvor_test::MemoryVolume;

namespace {

constexpr uint32_t kCluster = 1024;
constexpr uint64_t kMftLcn = 16;

class NtfsFailure : public ::testing::Test {
protected:
    void SetUp() override { NTFS_Free_Glod_Exit(); }
    void TearDown() override
    {
        fsprobe::fail_engine_allocation(0);
        bg_request_stop(0);
        NTFS_Free_Glod_Exit();
    }
    // A volume whose MFT holds `deleted` deleted files with data.
    static VolumeImage staged(uint32_t deleted)
    {
        VolumeImage img(1 << 20, kCluster, kMftLcn, 64);
        for (uint32_t i = 0; i < deleted; ++i) {
            std::u16string name = u"gone" + std::u16string(1, char16_t(u'a' + i)) + u".bin";
            img.put_record(30 + i, mft_record(30 + i, 0, { resident_attr(0x30, file_name_value(5, name, 1)),
                                                           resident_attr(0x80, Bytes(100 + i, uint8_t(i))) }));
        }
        return img;
    }
    static size_t count(NtfsFileInfo* head)
    {
        size_t n = 0;
        for (NtfsFileInfo* f = head; f; f = f->next)
            ++n;
        return n;
    }
};

TEST_F(NtfsFailure, DamagedVolumesNameWhatFailed)
{
    EXPECT_FALSE(Initi_Ntfs_InFo(nullptr));
    EXPECT_STREQ(ntfs_last_failure(), "no volume was given");
    VolumeImage img = staged(1);
    MemoryVolume fat(img.bytes(), BG_FS_FAT32);
    EXPECT_FALSE(Initi_Ntfs_InFo(fat.volume()));
    EXPECT_STREQ(ntfs_last_failure(), "the volume is not NTFS");
    EXPECT_EQ(Ntfs_Get_Del_File(), nullptr);
    EXPECT_STREQ(ntfs_last_failure(), "no NTFS volume is open");

    struct Case {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
        const char* reason;
    };
    const uint64_t rec0 = kMftLcn * kCluster;
    const Case cases[] = {
        { "sectors per cluster", 0x0D, { 3 }, "the NTFS boot sector gives an invalid sector or cluster size" },
        { "record size", 0x40, { 0x07 }, "the NTFS boot sector gives an invalid cluster or MFT record size" },
        { "MFT cluster", 0x30, { 0, 0, 0, 1 }, "cannot read MFT record 0: the volume ends before it" },
        { "fix-up", size_t(rec0 + 510), { 0x77, 0x77 }, "MFT record 0 failed its fix-up" },
    };
    for (const Case& c : cases) {
        VolumeImage damaged = staged(1);
        std::copy(c.bytes.begin(), c.bytes.end(), damaged.bytes().begin() + c.offset);
        MemoryVolume vol(damaged.bytes(), BG_FS_NTFS);
        EXPECT_FALSE(Initi_Ntfs_InFo(vol.volume())) << c.what;
        EXPECT_STREQ(ntfs_last_failure(), c.reason) << c.what;
    }
    // Record 0 without its $DATA.
    VolumeImage no_data = staged(1);
    no_data.put_record(0, mft_record(0, 1, { resident_attr(0x30, file_name_value(5, u"$MFT", 3)) }));
    MemoryVolume v(no_data.bytes(), BG_FS_NTFS);
    EXPECT_FALSE(Initi_Ntfs_InFo(v.volume()));
    EXPECT_STREQ(ntfs_last_failure(), "MFT record 0 has no usable $DATA attribute");

    MemoryVolume good(img.bytes(), BG_FS_NTFS);
    EXPECT_TRUE(Initi_Ntfs_InFo(good.volume()));
    EXPECT_STREQ(ntfs_last_failure(), "");
    NtfsFileInfo* head = Ntfs_Get_Del_File();
    EXPECT_EQ(count(head), 1u);
    EXPECT_STREQ(ntfs_last_failure(), "");
    NTFS_Free_File_Info(head);
}

TEST_F(NtfsFailure, EveryFailedAllocationOfTheScanComesBackAsOutOfMemory)
{
    VolumeImage img = staged(5);
    MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 1000u);
        bg_progress.store(0);
        fsprobe::fail_engine_allocation(n);
        NtfsFileInfo* head = Ntfs_Get_Del_File();
        fsprobe::fail_engine_allocation(0);
        if (head) {
            EXPECT_EQ(count(head), 5u);
            NTFS_Free_File_Info(head);
            break;
        }
        EXPECT_STREQ(ntfs_last_failure(), "out of memory") << "allocation " << n;
        EXPECT_EQ(bg_progress.load(), 100);
    }
    // One record per file.
    EXPECT_EQ(n, 6u);
}

TEST_F(NtfsFailure, TheStopRequestEndsTheScan)
{
    VolumeImage img = staged(5);
    MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    bg_request_stop(1);
    NtfsFileInfo* head = Ntfs_Get_Del_File();
    // The scan stops after its first step (record 0), before the files.
    EXPECT_EQ(count(head), 0u);
    NTFS_Free_File_Info(head);
    bg_request_stop(0);
    head = Ntfs_Get_Del_File();
    EXPECT_EQ(count(head), 5u);
    NTFS_Free_File_Info(head);
}

} // namespace
