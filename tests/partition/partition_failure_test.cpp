// Failure reasons of the partition family, allocation failures at the C edge,
// the stop request, and searches as objects of their own.
#include "Search.h"
#include "partition_test_util.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/partition.h>

#include "memory_volume.h"

#include <gtest/gtest.h>

using namespace partition_test;
using salvor_test::MemoryVolume;

namespace {

size_t table_size(const BgVolume* table)
{
    size_t n = 0;
    while (table && n < FOUND_VOLUME_TABLE_SIZE && table[n].boot_sector)
        ++n;
    return n;
}

class PartitionFailure : public ::testing::Test {
protected:
    void TearDown() override
    {
        fsprobe::fail_engine_allocation(0);
        bg_request_stop(0);
        bs_exit();
    }
};

TEST_F(PartitionFailure, SearchAndRebuildNameWhatFailed)
{
    EXPECT_EQ(bs_recover(nullptr), nullptr);
    EXPECT_STREQ(partition_last_failure(), "no disk was given");

    DiskBuilder d(2048 + 5 * 4096 + 64);
    for (int i = 0; i < 5; ++i)
        put_fat(d, 16, 2048 + i * 4096, 4096, 2048 + i * 4096);
    MemoryVolume odd(d.bytes());
    odd.reader()->sectors_per_track = 0;
    EXPECT_EQ(bs_recover(odd.reader()), nullptr);
    EXPECT_STREQ(partition_last_failure(), "the disk's geometry is unusable for the search");

    // Five primaries do not fit the master boot record.
    MemoryVolume disk(d.bytes());
    disk.allow_writes(true);
    BgVolume* table = bs_recover(disk.reader());
    ASSERT_EQ(table_size(table), 5u);
    EXPECT_STREQ(partition_last_failure(), "");
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(is_ok(&table[i]));
    EXPECT_FALSE(write_Partition_table(disk.reader()));
    EXPECT_STREQ(partition_last_failure(), "more than four master boot record entries would be needed");
    EXPECT_FALSE(write_Partition_table(nullptr));
    EXPECT_STREQ(partition_last_failure(), "no disk was given");
    bs_exit();

    // Nothing found: nothing to write.
    DiskBuilder blank(5000);
    MemoryVolume empty(blank.bytes());
    empty.allow_writes(true);
    EXPECT_EQ(table_size(bs_recover(empty.reader())), 0u);
    EXPECT_FALSE(write_Partition_table(empty.reader()));
    EXPECT_STREQ(partition_last_failure(), "no volume was found to describe");
    EXPECT_EQ(empty.writes(), 0u);

    // A disk that refuses the write says where.
    DiskBuilder one(8000);
    put_fat(one, 16, 63, 7000, 63);
    MemoryVolume locked(one.bytes());
    ASSERT_EQ(table_size(bs_recover(locked.reader())), 1u);
    EXPECT_FALSE(write_Partition_table(locked.reader()));
    EXPECT_STREQ(partition_last_failure(), "writing the partition table at sector 0 failed");
    locked.allow_writes(true);
    EXPECT_TRUE(write_Partition_table(locked.reader()));
    EXPECT_STREQ(partition_last_failure(), "");

    // More than twenty volumes: the designed refusal, with its reason.
    DiskBuilder many(64 + 21 * 2100);
    for (int i = 0; i < 21; ++i)
        put_fat(many, 12, 64 + i * 2100, 2000, 64 + i * 2100);
    MemoryVolume crowded(many.bytes());
    EXPECT_EQ(bs_recover(crowded.reader()), nullptr);
    EXPECT_STREQ(partition_last_failure(), "the search found twenty volumes and gave up");
}

TEST_F(PartitionFailure, FailedAllocationsAndTheStopRequestLeaveNoTable)
{
    DiskBuilder d(20000);
    put_fat(d, 16, 100, 8000, 100);
    put_fat(d, 16, 10000, 8000, 10000);
    MemoryVolume disk(d.bytes());
    // The track buffer, then each boot-sector copy.
    for (uint64_t n = 1; n <= 3; ++n) {
        bg_progress.store(0);
        fsprobe::fail_engine_allocation(n);
        EXPECT_EQ(bs_recover(disk.reader()), nullptr) << n;
        fsprobe::fail_engine_allocation(0);
        EXPECT_STREQ(partition_last_failure(), "out of memory") << n;
        EXPECT_EQ(bg_progress.load(), 100) << n;
        EXPECT_EQ(fsprobe::partition::search_state().found[0].boot_sector, nullptr) << n;
    }
    EXPECT_EQ(table_size(bs_recover(disk.reader())), 2u);

    // A stop requested before the search starts is not lost when the search
    // resets the progress: nothing is found, the copies are gone.
    bg_request_stop(1);
    EXPECT_EQ(bs_recover(disk.reader()), nullptr);
    EXPECT_STREQ(partition_last_failure(), "the search was stopped");
    EXPECT_EQ(bg_progress.load(), 100);
    EXPECT_EQ(fsprobe::partition::search_state().found[0].boot_sector, nullptr);
    bg_request_stop(0);
    EXPECT_EQ(table_size(bs_recover(disk.reader())), 2u);
}

TEST_F(PartitionFailure, SearchesAreObjectsOfTheirOwn)
{
    DiskBuilder a(20000), b(20000);
    put_fat(a, 16, 100, 8000, 100);
    put_fat(a, 16, 10000, 8000, 10000);
    put_ntfs(b, 2048, 8000, 2048);
    MemoryVolume da(a.bytes()), db(b.bytes());
    ASSERT_EQ(table_size(bs_recover(da.reader())), 2u);
    {
        fsprobe::partition::VolumeSearch first, second;
        ASSERT_EQ(table_size(first.search(db.reader())), 1u);
        ASSERT_EQ(table_size(second.search(da.reader())), 2u);
        EXPECT_EQ(first.state().found[0].fs_code, BG_FS_NTFS);
        EXPECT_EQ(first.state().disk, db.reader());
        EXPECT_EQ(second.state().found[1].start, 10000u * 512);
        first.release();
        EXPECT_EQ(first.state().found[0].boot_sector, nullptr);
        EXPECT_NE(second.state().found[0].boot_sector, nullptr);
    } // the objects free their copies
    // The search behind the exports kept its own table.
    EXPECT_EQ(fsprobe::partition::search_state().disk, da.reader());
    EXPECT_EQ(table_size(fsprobe::partition::search_state().found), 2u);
}

} // namespace
