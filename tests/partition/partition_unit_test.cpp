// CHS addresses, type ids, sector counts and the table layout of the rebuild,
// checked on plain values.
#include "Definitions.h"
#include "Rebuild.h"

#include <fsprobe/common/bytes.h>

#include <gtest/gtest.h>

using namespace fsprobe;
using namespace fsprobe::partition;

namespace {

std::array<u8, 3> chs(u64 x) { return chs_address(x, 63); }

const u8* slot(const TableWrite& w, int i) { return w.bytes.data() + 16 * i; }
u32 first_of(const TableWrite& w, int i) { return load_le32(slot(w, i) + 8); }
u32 count_of(const TableWrite& w, int i) { return load_le32(slot(w, i) + 12); }
bool slot_empty(const TableWrite& w, int i)
{
    for (int k = 0; k < 16; ++k)
        if (slot(w, i)[k])
            return false;
    return true;
}

FoundVolume vol(u64 start, u64 sectors, u32 hidden, i32 code, bool first = false)
{
    FoundVolume v;
    v.start_sector = start;
    v.sectors = sectors;
    v.hidden = hidden;
    v.fs_code = code;
    v.first_found = first;
    return v;
}

} // namespace

TEST(PartitionChs, EncodesHeadSectorAndCylinder)
{
    EXPECT_EQ(chs(0), (std::array<u8, 3> { 0, 1, 0 }));
    EXPECT_EQ(chs(63), (std::array<u8, 3> { 1, 1, 0 }));
    // The usual 1 MiB start: head 32, sector 33, cylinder 0.
    EXPECT_EQ(chs(2048), (std::array<u8, 3> { 0x20, 0x21, 0x00 }));
    // Cylinder 1 starts at 255 * 63.
    EXPECT_EQ(chs(255 * 63), (std::array<u8, 3> { 0, 1, 1 }));
    // Cylinder 1023, last head, last sector: bits 8-9 of the cylinder in the sector byte.
    u64 last = 1024ull * 255 * 63 - 1;
    EXPECT_EQ(chs(last), (std::array<u8, 3> { 254, 0xC0 | 63, 0xFF }));
    // Cylinder 0x2A5: bits 8-9 = 2 -> 0x80 in the sector byte.
    EXPECT_EQ(chs(0x2A5ull * 255 * 63 + 5), (std::array<u8, 3> { 0, 0x80 | 6, 0xA5 }));
}

TEST(PartitionChs, CylinderAbove1023GivesFeFfFf)
{
    EXPECT_EQ(chs(1024ull * 255 * 63), (std::array<u8, 3> { 0xFE, 0xFF, 0xFF }));
    EXPECT_EQ(chs(~u64(0)), (std::array<u8, 3> { 0xFE, 0xFF, 0xFF }));
    // A degenerate geometry must not divide by zero.
    EXPECT_EQ(chs_address(100, 0), (std::array<u8, 3> { 0xFE, 0xFF, 0xFF }));
}

TEST(PartitionTypes, MapsBothWays)
{
    EXPECT_EQ(type_id_for_code(1), 0x01);
    EXPECT_EQ(type_id_for_code(2), 0x06);
    EXPECT_EQ(type_id_for_code(3), 0x0C);
    EXPECT_EQ(type_id_for_code(4), 0x07);
    EXPECT_EQ(type_id_for_code(5), 0x00);
    EXPECT_EQ(type_id_for_code(0), 0x00);

    const std::pair<u8, i32> known[] = { { 0x01, 1 }, { 0x11, 1 }, { 0x06, 2 }, { 0x0E, 2 }, { 0x14, 2 },
                                         { 0x16, 2 }, { 0x0B, 3 }, { 0x0C, 3 }, { 0x1B, 3 }, { 0x1C, 3 },
                                         { 0x07, 4 }, { 0x17, 4 } };
    for (int id = 0; id < 256; ++id) {
        i32 want = 0;
        for (auto& k : known)
            if (k.first == id)
                want = k.second;
        EXPECT_EQ(code_for_type_id(u8(id)), want) << "type id " << id;
    }
}

TEST(PartitionEntry, CountIsCappedAndChsCoversFirstAndLastSector)
{
    EXPECT_EQ(cap_sectors(0xFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(cap_sectors(0x100000000ull), 0xFFFFFFFFu);
    EXPECT_EQ(cap_sectors(12345), 12345u);

    auto e = encode_entry(0x80, 0x07, 63, 1000, 63, 63);
    EXPECT_EQ(e[0], 0x80);
    EXPECT_EQ(e[4], 0x07);
    EXPECT_EQ(load_le32(&e[8]), 63u);
    EXPECT_EQ(load_le32(&e[12]), 1000u);
    auto first = chs_address(63, 63);
    auto last = chs_address(63 + 1000 - 1, 63);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), &e[1]));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), &e[5]));

    // A volume larger than 0xFFFFFFFF sectors keeps its start and a capped count.
    auto plan = plan_rebuild({ vol(2048, 0x123456789ull, 2048, 4, true) }, 63);
    ASSERT_EQ(plan.status, RebuildStatus::Ok);
    EXPECT_EQ(first_of(plan.master, 0), 2048u);
    EXPECT_EQ(count_of(plan.master, 0), 0xFFFFFFFFu);
}

TEST(PartitionRebuildPlan, OnePrimaryNtfs)
{
    auto plan = plan_rebuild({ vol(63, 20000, 63, 4, true) }, 63);
    ASSERT_EQ(plan.status, RebuildStatus::Ok);
    EXPECT_TRUE(plan.extended.empty());
    EXPECT_EQ(plan.master.sector, 0u);
    EXPECT_EQ(slot(plan.master, 0)[0], 0x80);
    EXPECT_EQ(slot(plan.master, 0)[4], 0x07);
    EXPECT_EQ(first_of(plan.master, 0), 63u);
    EXPECT_EQ(count_of(plan.master, 0), 20000u);
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(slot_empty(plan.master, i));
    EXPECT_EQ(plan.master.bytes[64], 0x55);
    EXPECT_EQ(plan.master.bytes[65], 0xAA);
}

// Track-aligned layout: the links land exactly one track before each logical drive.
TEST(PartitionRebuildPlan, TrackAlignedLogicalChain)
{
    const u64 ntfs_len = 10000, ebr1 = 63 + ntfs_len, l1 = ebr1 + 63, l1_len = 5000;
    const u64 ebr2 = l1 + l1_len, l2 = ebr2 + 63, l2_len = 6000;
    auto plan = plan_rebuild({ vol(63, ntfs_len, 63, 4, true), vol(l1, l1_len, 63, 3), vol(l2, l2_len, 63, 3) }, 63);
    ASSERT_EQ(plan.status, RebuildStatus::Ok);
    ASSERT_EQ(plan.extended.size(), 2u);
    EXPECT_EQ(plan.master_entries, 2u);
    // Extended partition entry: from the first record to the end of the last drive.
    EXPECT_EQ(slot(plan.master, 1)[4], 0x0F);
    EXPECT_EQ(slot(plan.master, 1)[0], 0x00);
    EXPECT_EQ(first_of(plan.master, 1), ebr1);
    EXPECT_EQ(count_of(plan.master, 1), l2 + l2_len - ebr1);

    const TableWrite& a = plan.extended[0];
    EXPECT_EQ(a.sector, ebr1);
    EXPECT_EQ(slot(a, 0)[4], 0x0C);
    EXPECT_EQ(first_of(a, 0), 63u);
    EXPECT_EQ(count_of(a, 0), l1_len);
    EXPECT_EQ(slot(a, 1)[4], 0x05);
    EXPECT_EQ(first_of(a, 1), l2 - 63 - ebr1); // the sector one track before the next drive
    EXPECT_EQ(count_of(a, 1), l2_len + 63);
    EXPECT_TRUE(slot_empty(a, 2));
    EXPECT_TRUE(slot_empty(a, 3));

    const TableWrite& b = plan.extended[1];
    EXPECT_EQ(b.sector, ebr2);
    EXPECT_EQ(first_of(b, 0), 63u);
    EXPECT_TRUE(slot_empty(b, 1)); // the end of the chain
    EXPECT_EQ(b.bytes[64], 0x55);
    EXPECT_EQ(b.bytes[65], 0xAA);
}

// 1 MiB-aligned layout: each link must point at the next drive's own record,
// 2048 sectors before it, not one track before it.
TEST(PartitionRebuildPlan, MiBAlignedLinksReachTheNextRecord)
{
    const u64 ebr1 = 2048 + 20480, l1 = ebr1 + 2048, l1_len = 8192;
    const u64 ebr2 = l1 + l1_len, l2 = ebr2 + 2048, l2_len = 8192;
    const u64 ebr3 = l2 + l2_len, l3 = ebr3 + 2048, l3_len = 4096;
    auto plan = plan_rebuild({ vol(2048, 20480, 2048, 4, true), vol(l1, l1_len, 2048, 3), vol(l2, l2_len, 2048, 3),
                               vol(l3, l3_len, 2048, 2) },
                             63);
    ASSERT_EQ(plan.status, RebuildStatus::Ok);
    ASSERT_EQ(plan.extended.size(), 3u);
    EXPECT_EQ(plan.extended[0].sector, ebr1);
    EXPECT_EQ(plan.extended[1].sector, ebr2);
    EXPECT_EQ(plan.extended[2].sector, ebr3);
    EXPECT_EQ(first_of(plan.extended[0], 1), ebr2 - ebr1);
    EXPECT_EQ(count_of(plan.extended[0], 1), l2_len + 2048);
    EXPECT_EQ(first_of(plan.extended[1], 1), ebr3 - ebr1);
    EXPECT_EQ(slot(plan.extended[2], 0)[4], 0x06);
    EXPECT_EQ(first_of(plan.master, 1), ebr1);
    EXPECT_EQ(count_of(plan.master, 1), l3 + l3_len - ebr1);
}

TEST(PartitionRebuildPlan, PrimaryAfterLogicalClosesTheExtendedPartition)
{
    const u64 ebr = 63 + 1000, l = ebr + 63, p2 = l + 3000;
    auto plan = plan_rebuild({ vol(63, 1000, 63, 3, true), vol(l, 3000, 63, 3), vol(p2, 500, u32(p2), 2) }, 63);
    ASSERT_EQ(plan.status, RebuildStatus::Ok);
    ASSERT_EQ(plan.extended.size(), 1u);
    // No link from the last logical drive to a primary.
    EXPECT_TRUE(slot_empty(plan.extended[0], 1));
    EXPECT_EQ(count_of(plan.master, 1), l + 3000 - ebr);
    EXPECT_EQ(slot(plan.master, 2)[4], 0x06);
    EXPECT_EQ(first_of(plan.master, 2), p2);
    EXPECT_EQ(slot(plan.master, 2)[0], 0x00);
}

TEST(PartitionRebuildPlan, RefusesNothingAndFivePrimaries)
{
    EXPECT_EQ(plan_rebuild({}, 63).status, RebuildStatus::NothingFound);
    std::vector<FoundVolume> five;
    for (u64 i = 0; i < 5; ++i)
        five.push_back(vol(2048 + i * 4096, 4096, u32(2048 + i * 4096), 3, i == 0));
    auto plan = plan_rebuild(five, 63);
    EXPECT_EQ(plan.status, RebuildStatus::TooManyPrimaries);
    EXPECT_TRUE(plan.extended.empty());
}

// A hidden-sectors field that cannot describe an extended boot record (0, or
// pointing into the previous volume) must not put a record on top of data.
TEST(PartitionRebuildPlan, ImplausibleHiddenSectorsStayPrimary)
{
    auto plan = plan_rebuild({ vol(2048, 4096, 2048, 3, true), vol(8192, 4096, 0, 3), vol(16384, 4096, 10000, 3) }, 63);
    ASSERT_EQ(plan.status, RebuildStatus::Ok);
    EXPECT_TRUE(plan.extended.empty());
    EXPECT_EQ(plan.master_entries, 3u);
    EXPECT_EQ(first_of(plan.master, 1), 8192u);
    EXPECT_EQ(first_of(plan.master, 2), 16384u);
}
