// The search, the primary/logical judgement and the rebuild on in-memory disks.
#include "Search.h"
#include "partition_test_util.h"

#include <fsprobe/partition.h>

#include "memory_volume.h"

#include <gtest/gtest.h>

using namespace partition_test;
using fsprobe::load_le32;
using salvor_test::MemoryVolume;

namespace {

struct Found {
    uint64_t start;
    uint64_t size;
    int32_t code;
};

// Runs the search and collects the table; bs_exit is left to the fixture.
std::vector<Found> search(MemoryVolume& disk, BgVolume** table_out = nullptr)
{
    BgVolume* table = bs_recover(disk.reader());
    if (table_out)
        *table_out = table;
    std::vector<Found> out;
    if (!table)
        return out;
    for (int i = 0; i < FOUND_VOLUME_TABLE_SIZE && table[i].boot_sector; ++i)
        out.push_back({ table[i].start, table[i].size, table[i].fs_code });
    return out;
}

class PartitionSearch : public ::testing::Test {
protected:
    void TearDown() override { bs_exit(); }
};

} // namespace

TEST_F(PartitionSearch, FindsConfirmedVolumesWithTheirFields)
{
    DiskBuilder d(40000);
    put_ntfs(d, 63, 10000, 63);
    put_fat(d, 32, 10063 + 63, 12000, 63);
    put_fat(d, 16, 30000, 8000, 30000);
    MemoryVolume disk(d.bytes());
    BgVolume* table = nullptr;
    auto found = search(disk, &table);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].start, 63u * 512);
    EXPECT_EQ(found[0].size, 10000u * 512);
    EXPECT_EQ(found[0].code, 4);
    EXPECT_EQ(found[1].start, 10126u * 512);
    EXPECT_EQ(found[1].size, 12000u * 512);
    EXPECT_EQ(found[1].code, 3);
    EXPECT_EQ(found[2].start, 30000u * 512);
    EXPECT_EQ(found[2].code, 2);
    EXPECT_EQ(table[0].first_found, 1);
    EXPECT_EQ(table[1].first_found, 0);
    EXPECT_EQ(table[0].reader, nullptr);
    EXPECT_EQ(std::memcmp(table[1].boot_sector, d.bytes().data() + 10126 * 512, 512), 0);
    EXPECT_EQ(table[3].boot_sector, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    EXPECT_EQ(disk.writes(), 0u);
}

TEST_F(PartitionSearch, UnconfirmedBootSectorsAreNotListed)
{
    DiskBuilder d(30000);
    put_ntfs(d, 63, 10000, 63, /*with_mft=*/false);
    put_fat(d, 32, 12000, 8000, 12000, /*with_fat=*/false);
    put_fat(d, 16, 22000, 6000, 22000);
    MemoryVolume disk(d.bytes());
    auto found = search(disk);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].start, 22000u * 512);
}

// Volumes that follow each other without a gap (the usual layout of
// 1 MiB-aligned partitions whose sizes are whole MiB) are all found.
TEST_F(PartitionSearch, FindsVolumesThatFollowWithoutGap)
{
    DiskBuilder d(2048 + 4 * 4096 + 100);
    for (int i = 0; i < 4; ++i)
        put_fat(d, 16, 2048 + i * 4096, 4096, 2048 + i * 4096);
    MemoryVolume disk(d.bytes());
    auto found = search(disk);
    ASSERT_EQ(found.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(found[i].start, uint64_t(2048 + i * 4096) * 512);
}

TEST_F(PartitionSearch, StopsAtTwentyVolumesAndWhenCancelled)
{
    DiskBuilder d(64 + 21 * 2100);
    for (int i = 0; i < 21; ++i)
        put_fat(d, 12, 64 + i * 2100, 2000, 64 + i * 2100);
    MemoryVolume disk(d.bytes());
    BgVolume* table = reinterpret_cast<BgVolume*>(1);
    search(disk, &table);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    // The copies of the refused search are gone; releasing again is harmless.
    EXPECT_EQ(fsprobe::partition::search_state().found[0].boot_sector, nullptr);
    bs_exit();

    EXPECT_EQ(bs_recover(nullptr), nullptr);
    EXPECT_EQ(bg_progress.load(), 100);

    // A geometry without sectors per track cannot be searched (and must not hang).
    MemoryVolume odd(d.bytes());
    odd.reader()->sectors_per_track = 0;
    EXPECT_EQ(bs_recover(odd.reader()), nullptr);

    // A geometry claiming an enormous disk ends at the object's real end.
    bs_exit();
    DiskBuilder one(8000);
    put_fat(one, 16, 63, 7000, 63);
    MemoryVolume small(one.bytes());
    small.reader()->cylinders = uint64_t(1) << 40;
    EXPECT_EQ(search(small).size(), 1u);
}

TEST_F(PartitionSearch, SecondSearchReplacesTheFirst)
{
    DiskBuilder a(20000), b(20000);
    put_fat(a, 16, 100, 8000, 100);
    put_fat(a, 16, 10000, 8000, 10000);
    put_ntfs(b, 2048, 8000, 2048);
    MemoryVolume da(a.bytes()), db(b.bytes());
    ASSERT_EQ(search(da).size(), 2u);
    auto second = search(db); // no bs_exit in between: nothing may leak or linger
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].code, 4);
}

TEST_F(PartitionSearch, IsOkJudgesPrimaryAndLogicalDrives)
{
    DiskBuilder d(40000);
    put_ntfs(d, 63, 10000, 63); // primary right after the first track
    const uint64_t ebr1 = 10063, l1 = ebr1 + 63;
    put_fat(d, 32, l1, 9000, 63); // logical drive with its distance, as Windows writes it
    const uint64_t ebr2 = l1 + 9000, l2 = ebr2 + 63;
    put_fat(d, 32, l2, 9000, uint32_t(l2)); // logical drive carrying its absolute start
    d.write_table(ebr2, { { 0, 0x0C, 63, 9000 } });
    const uint64_t p = 30000;
    put_fat(d, 16, p, 8000, uint32_t(p)); // primary, no record in the track before
    MemoryVolume disk(d.bytes());
    BgVolume* table = nullptr;
    ASSERT_EQ(search(disk, &table).size(), 4u);
    EXPECT_TRUE(is_ok(&table[0]));
    EXPECT_FALSE(is_ok(&table[1]));
    EXPECT_EQ(load_le32(table[1].boot_sector + 0x1C), 63u);
    EXPECT_FALSE(is_ok(&table[2]));
    EXPECT_EQ(load_le32(table[2].boot_sector + 0x1C), 63u); // corrected to the distance
    EXPECT_TRUE(is_ok(&table[3]));
    EXPECT_FALSE(is_ok(nullptr));
    EXPECT_EQ(disk.writes(), 0u);
}

// An NTFS logical drive's record counts the whole partition (total + 1).
TEST_F(PartitionSearch, IsOkRecognisesTheRecordOfAnNtfsLogicalDrive)
{
    DiskBuilder d(20000);
    const uint64_t ebr = 4000, l = ebr + 63;
    put_ntfs(d, l, 10000, uint32_t(l));
    d.write_table(ebr, { { 0, 0x07, 63, 10000 } });
    MemoryVolume disk(d.bytes());
    BgVolume* table = nullptr;
    ASSERT_EQ(search(disk, &table).size(), 1u);
    EXPECT_FALSE(is_ok(&table[0]));
    EXPECT_EQ(load_le32(table[0].boot_sector + 0x1C), 63u);
}

TEST_F(PartitionSearch, RebuildWritesOnlyTheTableBytes)
{
    DiskBuilder d(40000);
    std::vector<uint8_t> code(446, 0x90);
    d.put(0, code);
    put_ntfs(d, 63, 10000, 63);
    const uint64_t ebr1 = 10063, l1 = ebr1 + 63, ebr2 = l1 + 9000, l2 = ebr2 + 63;
    put_fat(d, 32, l1, 9000, 63);
    put_fat(d, 32, l2, 9000, 63);
    MemoryVolume disk(d.bytes());
    disk.allow_writes(true);
    BgVolume* table = nullptr;
    ASSERT_EQ(search(disk, &table).size(), 3u);
    for (int i = 0; i < 3; ++i)
        is_ok(&table[i]);
    auto before = disk.bytes();
    ASSERT_TRUE(write_Partition_table(disk.reader()));
    auto& after = disk.bytes();
    // Only bytes 446..511 of sector 0 and of the two records changed.
    for (size_t i = 0; i < after.size(); ++i) {
        uint64_t sector = i / 512, off = i % 512;
        bool table_bytes = (sector == 0 || sector == ebr1 || sector == ebr2) && off >= 446;
        if (!table_bytes && after[i] != before[i]) {
            ADD_FAILURE() << "byte " << i << " changed";
            break;
        }
    }
    EXPECT_EQ(entry_field(after, 0, 0, 8), 63u);
    EXPECT_EQ(entry_field(after, 0, 0, 12), 10000u);
    EXPECT_EQ(after[446], 0x80);
    EXPECT_EQ(after[446 + 16 + 4], 0x0F);
    EXPECT_EQ(entry_field(after, 0, 1, 8), ebr1);
    EXPECT_EQ(entry_field(after, 0, 1, 12), l2 + 9000 - ebr1);
    EXPECT_EQ(entry_field(after, ebr1, 0, 8), 63u);
    EXPECT_EQ(entry_field(after, ebr1, 1, 8), ebr2 - ebr1);
    EXPECT_EQ(entry_field(after, ebr2, 0, 12), 9000u);
    EXPECT_EQ(after[ebr2 * 512 + 510], 0x55);
    EXPECT_EQ(after[ebr2 * 512 + 511], 0xAA);
}

TEST_F(PartitionSearch, RebuildRefusesFivePrimariesAndAnEmptySearch)
{
    DiskBuilder d(2048 + 5 * 4096 + 64);
    for (int i = 0; i < 5; ++i)
        put_fat(d, 16, 2048 + i * 4096, 4096, 2048 + i * 4096);
    MemoryVolume disk(d.bytes());
    disk.allow_writes(true);
    BgVolume* table = nullptr;
    ASSERT_EQ(search(disk, &table).size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(is_ok(&table[i]));
    auto before = disk.bytes();
    EXPECT_FALSE(write_Partition_table(disk.reader()));
    EXPECT_EQ(disk.writes(), 0u);
    EXPECT_TRUE(disk.bytes() == before);
    bs_exit();

    DiskBuilder blank(5000);
    blank.mbr({ { 0x80, 0x83, 2048, 2000 } });
    MemoryVolume empty(blank.bytes());
    empty.allow_writes(true);
    EXPECT_TRUE(search(empty).empty());
    EXPECT_FALSE(write_Partition_table(empty.reader()));
    EXPECT_EQ(empty.writes(), 0u);
}
