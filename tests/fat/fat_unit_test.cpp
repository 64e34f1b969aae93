// Byte-array tests of the FAT engine: FAT lookups, names, the geometry vote,
// and the directory walk on small hand-built volumes.
#include "fat_test_util.h"

#include <DirEntry.h>
#include <FatVolume.h>
#include <FormatRecovery.h>

#include <disk_builder.h>
#include <memory_volume.h>

#include <blockgate/blockgate.h>

using namespace fsprobe::fat;
using namespace fat_test;
using salvor_test::MemoryVolume;

namespace {

// ---- FAT entry lookup -----------------------------------------------------

TEST(FatTableTest, Fat12EvenAndOddEntriesShareThreeBytes)
{
    // Entries 2 = 0x123 and 3 = 0x456 pack into bytes 3..5 as 23 61 45.
    std::vector<uint8_t> fat = { 0xF8, 0xFF, 0xFF, 0x23, 0x61, 0x45, 0xFF, 0x0F, 0x00 };
    FatTable t(fat, FAT12);
    EXPECT_EQ(t.raw(2), 0x123u);
    EXPECT_EQ(t.raw(3), 0x456u);
    EXPECT_EQ(t.raw(4), 0xFFFu);
    EXPECT_TRUE(t.is_end(*t.raw(4)));
    // FAT12 reports a free entry as it is (0), not as an end.
    EXPECT_EQ(t.next(5), 0u);
    EXPECT_FALSE(t.raw(0).has_value());
    EXPECT_FALSE(t.raw(1).has_value());
}

TEST(FatTableTest, Fat12EntryStraddlingTheEndOfTheFatHasNoValue)
{
    // 5 bytes hold entries 0..2 whole; entry 3 would need bytes 4 and 5.
    std::vector<uint8_t> fat = { 0xF8, 0xFF, 0xFF, 0x34, 0x12 };
    FatTable t(fat, FAT12);
    EXPECT_EQ(t.entry_count(), 3u);
    EXPECT_EQ(t.raw(2), 0x234u);
    EXPECT_FALSE(t.raw(3).has_value());
    EXPECT_FALSE(t.raw(0xFFFFFFFFu).has_value());
}

TEST(FatTableTest, Fat12EntryAcrossASectorBoundaryIsReadFromTwoSectors)
{
    // Entry 341 starts at byte 511 of the FAT: its word spans sectors 0 and 1.
    std::vector<uint8_t> disk(4096, 0);
    const uint64_t fat_at = 1024;
    disk[fat_at + 511] = 0xB0; // odd entry: upper 12 bits of the word 0xABB0
    disk[fat_at + 512] = 0xAB;
    MemoryVolume v(disk);
    FatTable t(v.reader(), fat_at, 1536, FAT12);
    EXPECT_EQ(t.raw(341), 0xABBu);
    // The even neighbour 340 takes the lower 12 bits of the word at 510.
    EXPECT_EQ(t.raw(340), 0x000u);
}

TEST(FatTableTest, Fat16AndFat32FreeEntriesReadAsEndOfChain)
{
    std::vector<uint8_t> f16(64, 0);
    store_le16(&f16[2 * 2], 3);
    store_le16(&f16[3 * 2], 0xFFF7); // bad cluster
    FatTable t16(f16, FAT16);
    EXPECT_EQ(t16.next(2), 3u);
    EXPECT_EQ(t16.next(4), 0xFFF8u);
    EXPECT_TRUE(t16.is_end(0xFFF8));
    EXPECT_TRUE(t16.is_end(*t16.next(3)));
    EXPECT_FALSE(t16.is_end(0xFFF6));

    std::vector<uint8_t> f32(64, 0);
    store_le32(&f32[2 * 4], 0xF0000005); // the top four bits are not part of the entry
    FatTable t32(f32, FAT32);
    EXPECT_EQ(t32.raw(2), 5u);
    EXPECT_EQ(t32.next(3), 0x0FFFFFF8u);
    EXPECT_EQ(t32.raw(3), 0u);
    EXPECT_TRUE(t32.is_end(0x0FFFFFF8));
    EXPECT_FALSE(t32.is_end(0x0FFFFFF6));
}

TEST(FatTableTest, ChainsStopAtLoopsAndAtTheirLimit)
{
    std::vector<uint8_t> f16(64, 0);
    store_le16(&f16[2 * 2], 3);
    store_le16(&f16[3 * 2], 4);
    store_le16(&f16[4 * 2], 2); // back to the start
    store_le16(&f16[5 * 2], 0xFFFF);
    FatTable t(f16, FAT16);
    EXPECT_EQ(follow_chain(t, 2, 100), (std::vector<uint32_t> { 2, 3, 4 }));
    EXPECT_EQ(follow_chain(t, 2, 2), (std::vector<uint32_t> { 2, 3 }));
    EXPECT_EQ(follow_chain(t, 5, 100), (std::vector<uint32_t> { 5 }));
    EXPECT_TRUE(follow_chain(t, 1, 100).empty());
    EXPECT_TRUE(follow_chain(t, 40, 100).empty()); // beyond the FAT
}

// ---- Geometry ---------------------------------------------------------------

TEST(FatGeometryTest, SmallVolumesTakeTheSixteenBitSectorCount)
{
    auto boot = salvor_test::fat_boot_sector(12, 2880, 0, 1, 1, 9);
    auto g = parse_geometry(boot, FAT12);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->total_sectors, 2880u);
    EXPECT_EQ(g->cluster_limit, 2880u);
    EXPECT_EQ(g->root_start, 1u + 2 * 9);
    EXPECT_EQ(g->root_sectors, 512u * 32 / 512);
    EXPECT_EQ(g->data_start, g->root_start + g->root_sectors);
}

TEST(FatGeometryTest, Fat32ActiveFatFlagSelectsTheFatRead)
{
    auto boot = salvor_test::fat_boot_sector(32, 200000, 0, 8, 32, 200);
    auto g = parse_geometry(boot, FAT32);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fat_start, 32u);
    store_le16(&boot[0x28], 0x0081); // only FAT 1 is active
    g = parse_geometry(boot, FAT32);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->fat_start, 32u + 200);
    EXPECT_EQ(g->data_start, 32u + 2 * 200);
    store_le16(&boot[0x28], 0x0001); // bit 7 clear: the number is not used
    EXPECT_EQ(parse_geometry(boot, FAT32)->fat_start, 32u);
    store_le16(&boot[0x28], 0x0085); // no FAT 5 on a volume with two
    EXPECT_FALSE(parse_geometry(boot, FAT32));
}

TEST(FatGeometryTest, UnusableFieldsAreRefused)
{
    auto boot = salvor_test::fat_boot_sector(16, 40000, 0, 4, 1, 40);
    ASSERT_TRUE(parse_geometry(boot, FAT16));
    auto bad = boot;
    store_le16(&bad[0x0B], 0);
    EXPECT_FALSE(parse_geometry(bad, FAT16));
    bad = boot;
    store_le16(&bad[0x0B], 768);
    EXPECT_FALSE(parse_geometry(bad, FAT16));
    bad = boot;
    bad[0x0D] = 3;
    EXPECT_FALSE(parse_geometry(bad, FAT16));
    bad = boot;
    bad[0x10] = 0;
    EXPECT_FALSE(parse_geometry(bad, FAT16));
    bad = boot;
    store_le16(&bad[0x16], 0);
    EXPECT_FALSE(parse_geometry(bad, FAT16));
}

// ---- Names ------------------------------------------------------------------

std::vector<uint8_t> short_entry(const char* name11, uint8_t case_flags = 0)
{
    std::vector<uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[12] = case_flags;
    return e;
}

TEST(FatNameTest, EightThreeNamesFollowTheSpaceAndCaseRules)
{
    EXPECT_EQ(short_name(short_entry("README  TXT").data()), u"README.TXT");
    EXPECT_EQ(short_name(short_entry("MAKEFILE   ").data()), u"MAKEFILE");
    EXPECT_EQ(short_name(short_entry("A B     C D").data()), u"A.C"); // both parts end at a space
    EXPECT_EQ(short_name(short_entry("NOTES   TXT", 0x18).data()), u"notes.txt");
    EXPECT_EQ(short_name(short_entry("NOTES   TXT", 0x10).data()), u"NOTES.txt");
    EXPECT_EQ(short_name(short_entry("\x9A" "BER    TXT").data()), u"\u00DCBER.TXT"); // code page 437
}

TEST(FatNameTest, DeletionMarkAndTheE5Substitute)
{
    // A deleted entry keeps the mark as the unit 0x00E5.
    auto deleted = short_entry("\xE5" "LD     TXT");
    EXPECT_EQ(short_name(deleted.data()), u"\u00E5LD.TXT");
    // 0x05 stands for a live name starting with byte 0xE5 (sigma in code page 437).
    auto kanji = short_entry("\x05" "ABC    TXT");
    EXPECT_EQ(short_name(kanji.data()), u"\u03C3ABC.TXT");
}

std::vector<uint8_t> lfn_run(const std::u16string& name, bool deleted)
{
    MiniFat16 v;
    size_t slots = (name.size() + 12) / 13;
    for (size_t j = 0; j < slots; ++j) {
        unsigned seq = unsigned(slots - j);
        v.lfn(j * 32, name, seq, deleted ? 0xE5 : uint8_t(seq | (j == 0 ? 0x40 : 0)));
    }
    return std::vector<uint8_t>(v.bytes.begin(), v.bytes.begin() + slots * 32);
}

TEST(FatNameTest, LongNamesReassembleFromLiveAndDeletedSlots)
{
    const std::u16string name = u"Ein sehr langer Dateiname \u00E4\u00F6\u00FC.jpeg";
    for (bool deleted : { false, true }) {
        auto run = lfn_run(name, deleted);
        ASSERT_EQ(long_name_run(run.data(), run.size() / 32, 0), 3u);
        EXPECT_EQ(assemble_long_name(run.data(), 3), name) << "deleted=" << deleted;
    }
    // Exactly 13 units: no terminator, no padding.
    auto exact = lfn_run(u"abcdefghijklm", true);
    EXPECT_EQ(assemble_long_name(exact.data(), 1), u"abcdefghijklm");
    // A name ending inside a slot: the 0 and the 0xFFFF padding are left out.
    auto padded = lfn_run(u"short", false);
    EXPECT_EQ(load_le16(&padded[16]), 0xFFFF); // padding present on disk
    EXPECT_EQ(assemble_long_name(padded.data(), 1), u"short");
}

TEST(FatNameTest, OverlongRunsAreDamage)
{
    std::u16string name(21 * 13, u'x');
    auto run = lfn_run(name, false);
    EXPECT_EQ(long_name_run(run.data(), run.size() / 32, 0), 21u);
    EXPECT_FALSE(assemble_long_name(run.data(), 21));
    EXPECT_FALSE(assemble_long_name(run.data(), 0));
    std::u16string longest(20 * 13, u'y');
    auto ok = lfn_run(longest, false);
    EXPECT_EQ(assemble_long_name(ok.data(), 20), longest);
}

// ---- Geometry vote ----------------------------------------------------------

TEST(FatVoteTest, TenClustersEightySectorsApartGiveEightSectorsPerCluster)
{
    std::vector<FatDirCandidate> c = { { 1000, 20 }, { 1080, 30 } };
    auto v = vote_geometry(c, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->sectors_per_cluster, 8u);
    EXPECT_EQ(v->data_start, 1000u - 8 * 18);
    // The last candidate has no partner after it.
    EXPECT_FALSE(vote_geometry(c, 1));
}

TEST(FatVoteTest, OddSpacingsAndDescendingClustersGiveNoVote)
{
    std::vector<FatDirCandidate> c = { { 1000, 20 }, { 1030, 30 } }; // 3 sectors per cluster
    EXPECT_FALSE(vote_geometry(c, 0));
    c = { { 1000, 30 }, { 1080, 20 } };
    EXPECT_FALSE(vote_geometry(c, 0));
    c = { { 100, 20 }, { 180, 30 } }; // would put cluster 2 before the volume
    EXPECT_FALSE(vote_geometry(c, 0));
}

TEST(FatVoteTest, OneAndTwoSectorClustersVoteLikeTheLargerOnes)
{
    // mkfs.vfat gives small FAT32 volumes 512-byte clusters.
    std::vector<FatDirCandidate> c = { { 2100, 4 }, { 2126, 30 } };
    auto v = vote_geometry(c, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->sectors_per_cluster, 1u);
    EXPECT_EQ(v->data_start, 2098u);
    c = { { 2100, 4 }, { 2152, 30 } };
    v = vote_geometry(c, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->sectors_per_cluster, 2u);
    EXPECT_EQ(v->data_start, 2096u);
    // Directories of different file systems are not a whole number of
    // clusters apart: 27 sectors over 26 clusters is no geometry, and
    // neither is 85 over 10 (which once rounded down to 8).
    c = { { 2100, 4 }, { 2127, 30 } };
    EXPECT_FALSE(vote_geometry(c, 0));
    c = { { 1000, 20 }, { 1085, 30 } };
    EXPECT_FALSE(vote_geometry(c, 0));
}

TEST(FatVoteTest, TheMajorityOfPairsWins)
{
    // Pairs (0,2) and (0,3) agree on 16 sectors per cluster, (0,1) says 8;
    // (2,3) agrees with 16 too but comes from another A and is not counted,
    // which still leaves 16 ahead.
    std::vector<FatDirCandidate> c = { { 5000, 100 }, { 5040, 105 }, { 5160, 110 }, { 5320, 120 } };
    auto v = vote_geometry(c, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->sectors_per_cluster, 16u);
    EXPECT_EQ(v->data_start, 5000u - 16 * 98);
    // Equal counts: the earliest vote wins.
    c = { { 5000, 100 }, { 5040, 105 }, { 5160, 110 } };
    v = vote_geometry(c, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->sectors_per_cluster, 8u);
}

// ---- The directory walk -----------------------------------------------------

class FatWalkTest : public ::testing::Test {
protected:
    void TearDown() override { fat_exit(); }

    std::vector<Found> scan(MiniFat16& fat, uint32_t* files = nullptr, uint32_t* dirs = nullptr)
    {
        volume = std::make_unique<MemoryVolume>(fat.bytes, BG_FS_FAT16);
        EXPECT_TRUE(fat_init(volume->volume()));
        uint32_t f = 0, d = 0;
        FatDirNode* root = fat_searchfile(1, &f, &d);
        EXPECT_NE(root, nullptr);
        EXPECT_EQ(bg_progress.load(), 100);
        if (files)
            *files = f;
        if (dirs)
            *dirs = d;
        return root ? collect(root) : std::vector<Found> {};
    }

    std::unique_ptr<MemoryVolume> volume;
};

constexpr uint16_t date_2015 = (35 << 9) | (6 << 5) | 15; // 2015-06-15
constexpr uint16_t time_102030 = (10 << 11) | (20 << 5) | 15;

TEST_F(FatWalkTest, KeepsDeletedEntriesAndFollowsDeletedFolders)
{
    MiniFat16 v;
    // Root: a live file (not kept), a deleted file with deleted long-name
    // slots, a live folder, a deleted folder, and a deleted folder whose
    // cluster was reused.
    v.entry(v.root_entry(0), "LIVE    TXT", 0x20, 2, 100);
    v.set_fat(2, 0xFFFF);
    const std::u16string long_name = u"Holiday Photo 2015.jpg";
    v.lfn(v.root_entry(1), long_name, 2, 0xE5);
    v.lfn(v.root_entry(2), long_name, 1, 0xE5);
    v.entry(v.root_entry(3), "\xE5" "OLIDA~1JPG", 0x20, 3, 1500, date_2015, time_102030);
    v.entry(v.root_entry(4), "PHOTOS     ", 0x10, 10, 0);
    v.set_fat(10, 0xFFFF);
    v.dot_entries(10, 0);
    v.entry(v.cluster_entry(10, 2), "KEEP    JPG", 0x20, 11, 10);
    v.set_fat(11, 0xFFFF);
    v.entry(v.cluster_entry(10, 3), "\xE5" "ONE    JPG", 0x20, 12, 700);
    v.entry(v.root_entry(5), "\xE5" "LDDIR     ", 0x10, 20, 0);
    v.dot_entries(20, 0);
    v.entry(v.cluster_entry(20, 2), "INSIDE  TXT", 0x20, 21, 30); // live-looking file of a deleted folder
    v.entry(v.cluster_entry(20, 3), "SUB        ", 0x10, 22, 0);  // a subfolder: counts as deleted
    v.dot_entries(22, 20);
    v.entry(v.cluster_entry(22, 2), "DEEP    BIN", 0x20, 23, 40);
    v.entry(v.root_entry(6), "\xE5" "EUSED     ", 0x10, 30, 0);
    v.dot_entries(30, 0);
    v.set_fat(30, 31); // the cluster now belongs to another chain
    v.set_fat(31, 0xFFFF);
    v.entry(v.root_entry(7), "\xE5" "ODOTS     ", 0x10, 40, 0); // no "." and ".."

    uint32_t files = 0, dirs = 0;
    auto found = scan(v, &files, &dirs);
    std::vector<std::string> paths;
    for (auto& f : found)
        paths.push_back(f.path);
    EXPECT_EQ(paths, (std::vector<std::string> { "Holiday Photo 2015.jpg", "PHOTOS", "PHOTOS/_ONE.JPG", "_LDDIR",
                                                 "_LDDIR/INSIDE.TXT", "_LDDIR/SUB", "_LDDIR/SUB/DEEP.BIN" }));
    EXPECT_EQ(files, 4u);
    EXPECT_EQ(dirs, 4u); // root, PHOTOS, _LDDIR, SUB

    const FatEntry* photo = found[0].entry;
    EXPECT_EQ(photo->first_cluster, 3u);
    EXPECT_EQ(photo->size, 1500u);
    EXPECT_EQ(+photo->year, 35);
    EXPECT_EQ(+photo->month, 6);
    EXPECT_EQ(+photo->day, 15);
    EXPECT_EQ(+photo->hour, 10);
    EXPECT_EQ(+photo->minute, 20);
    EXPECT_EQ(+photo->seconds2, 15);
    EXPECT_EQ(+photo->is_directory, 0);
}

TEST_F(FatWalkTest, TreeNodesCarryTheirFlags)
{
    MiniFat16 v;
    v.entry(v.root_entry(0), "\xE5" "ILE    TXT", 0x20, 5, 10);
    v.entry(v.root_entry(1), "\xE5" "IR        ", 0x10, 6, 0);
    v.dot_entries(6, 0);
    volume = std::make_unique<MemoryVolume>(v.bytes, BG_FS_FAT16);
    ASSERT_TRUE(fat_init(volume->volume()));
    FatDirNode* root = fat_searchfile(1, nullptr, nullptr);
    ASSERT_NE(root, nullptr);
    // Packed records: fields are copied out before they are compared.
    FatDirNode* parent = root->parent;
    FatDirNode* prev = root->prev;
    FatDirNode* dir = root->next;
    EXPECT_EQ(+root->root, 1);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(prev, nullptr);
    EXPECT_EQ(+root->has_files, 1);
    EXPECT_EQ(+root->deleted, 0);
    ASSERT_NE(dir, nullptr);
    FatDirNode* dir_prev = dir->prev;
    FatDirNode* dir_next = dir->next;
    FatEntry** dir_entries = dir->entries;
    uint32_t dir_cluster = dir->first_cluster;
    void* tree_node = dir->tree_node;
    EXPECT_EQ(+dir->deleted, 1);
    EXPECT_EQ(+dir->root, 0);
    EXPECT_EQ(+dir->has_files, 0);
    EXPECT_EQ(dir_prev, root);
    EXPECT_EQ(dir_cluster, 6u);
    EXPECT_EQ(dir_entries[0], nullptr);
    EXPECT_EQ(dir_next, nullptr);
    EXPECT_EQ(tree_node, nullptr);
    // A zero start flag searches nothing.
    EXPECT_EQ(fat_searchfile(0, nullptr, nullptr), nullptr);
}

TEST_F(FatWalkTest, LoopsInTheTreeAndInChainsEnd)
{
    MiniFat16 v;
    // A folder that lists itself and its parent again, and a folder whose
    // chain loops back on itself.
    v.entry(v.root_entry(0), "LOOP       ", 0x10, 10, 0);
    v.set_fat(10, 0xFFFF);
    v.dot_entries(10, 0);
    v.entry(v.cluster_entry(10, 2), "SELF       ", 0x10, 10, 0);
    v.entry(v.cluster_entry(10, 3), "\xE5" "ONE    TXT", 0x20, 40, 5);
    v.entry(v.root_entry(1), "CHAIN      ", 0x10, 12, 0);
    v.set_fat(12, 13);
    v.set_fat(13, 12);
    v.dot_entries(12, 0);
    v.entry(v.cluster_entry(12, 2), "\xE5" "IRST   TXT", 0x20, 41, 5);
    for (size_t i = 3; i < 16; ++i) // live files fill the first cluster
        v.entry(v.cluster_entry(12, i), "LIVE    TXT", 0x20, 0, 0);
    v.entry(v.cluster_entry(13, 0), "\xE5" "ECOND  TXT", 0x20, 42, 5);
    uint32_t files = 0;
    auto found = scan(v, &files);
    std::vector<std::string> paths;
    for (auto& f : found)
        paths.push_back(f.path);
    EXPECT_EQ(paths, (std::vector<std::string> { "LOOP", "LOOP/_ONE.TXT", "CHAIN", "CHAIN/_IRST.TXT", "CHAIN/_ECOND.TXT" }));
    EXPECT_EQ(files, 3u);
}

TEST_F(FatWalkTest, AFullDeletedFolderGoesOnInTheNextPlausibleFreeCluster)
{
    MiniFat16 v;
    v.entry(v.root_entry(0), "\xE5" "IG        ", 0x10, 50, 0);
    v.dot_entries(50, 0);
    for (size_t i = 2; i < 16; ++i) // the first cluster is full
        v.entry(v.cluster_entry(50, i), "\xE5" "A      TXT", 0x20, 0, 0);
    v.dot_entries(51, 0);           // another folder's start
    v.set_fat(52, 0xFFFF);          // in use by a live file
    v.entry(v.cluster_entry(52, 0), "\xE5" "WRONG  TXT", 0x20, 0, 0);
    v.fill(53, 0x01);               // free, but file data
    v.entry(v.cluster_entry(54, 0), "\xE5" "B      TXT", 0x20, 0, 0);
    v.entry(v.cluster_entry(54, 1), "\xE5" "C      TXT", 0x20, 0, 0);
    v.entry(v.cluster_entry(55, 0), "\xE5" "NOTMINE TXT", 0x20, 0, 0); // 54 ended: not read
    uint32_t files = 0;
    auto found = scan(v, &files);
    ASSERT_EQ(found.size(), 17u);
    EXPECT_EQ(files, 16u);
    EXPECT_EQ(found[15].path, "_IG/_B.TXT");
    EXPECT_EQ(found[16].path, "_IG/_C.TXT");
}

TEST_F(FatWalkTest, ALiveFolderThatReusedADeletedFoldersClusterIsStillWalked)
{
    MiniFat16 v;
    v.entry(v.root_entry(0), "\xE5" "LD        ", 0x10, 60, 0);
    v.entry(v.root_entry(1), "NEW        ", 0x10, 60, 0);
    v.set_fat(60, 0xFFFF);
    v.dot_entries(60, 0);
    v.entry(v.cluster_entry(60, 2), "\xE5" "       TXT", 0x20, 0, 0);
    auto found = scan(v);
    std::vector<std::string> paths;
    for (auto& f : found)
        paths.push_back(f.path);
    EXPECT_EQ(paths, (std::vector<std::string> { "_LD", "_LD/_.TXT", "NEW", "NEW/_.TXT" }));
}

TEST_F(FatWalkTest, DamagedEntriesAreSkipped)
{
    MiniFat16 v;
    v.entry(v.root_entry(0), "LABEL      ", 0x08, 0, 0);
    v.entry(v.root_entry(1), "\xE5" "AMAGED TXT", 0x80, 5, 10);        // attribute above 63
    v.entry(v.root_entry(2), "\xE5" "AR     TXT", 0x20, 5000, 10);     // cluster past the volume
    v.entry(v.root_entry(3), "\xE5" "ERO    TXT", 0x20, 0, 0);         // empty file
    std::u16string name(21 * 13, u'n');
    for (unsigned k = 0; k < 21; ++k)
        v.lfn(v.root_entry(4 + k), name, 21 - k, 0xE5);
    v.entry(v.root_entry(25), "\xE5" "ONGRUN TXT", 0x20, 6, 10);       // keeps its 8.3 name
    auto found = scan(v);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "_ERO.TXT");
    EXPECT_EQ(found[1].path, "_ONGRUN.TXT");
}

TEST_F(FatWalkTest, CountsStartAfreshAtEverySearch)
{
    MiniFat16 v;
    v.entry(v.root_entry(0), "\xE5" "NE     TXT", 0x20, 5, 10);
    volume = std::make_unique<MemoryVolume>(v.bytes, BG_FS_FAT16);
    ASSERT_TRUE(fat_init(volume->volume()));
    uint32_t files = 0, dirs = 0;
    ASSERT_NE(fat_searchfile(1, &files, &dirs), nullptr);
    ASSERT_NE(fat_searchfile(1, &files, &dirs), nullptr);
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(dirs, 1u);
}

TEST_F(FatWalkTest, ReadsAContiguousRunOfClustersInChunks)
{
    MiniFat16 v;
    v.entry(v.root_entry(0), "\xE5" "ATA    BIN", 0x20, 7, 1300);
    v.fill(7, 'a');
    v.fill(8, 'b');
    v.fill(9, 'c');
    volume = std::make_unique<MemoryVolume>(v.bytes, BG_FS_FAT16);
    ASSERT_TRUE(fat_init(volume->volume()));
    FatDirNode* root = fat_searchfile(1, nullptr, nullptr);
    ASSERT_NE(root, nullptr);
    FatEntry* e = root->entries[0];
    ASSERT_NE(e, nullptr);
    auto data = read_all(fat_readfile, e, 512);
    ASSERT_EQ(data.size(), 1300u);
    EXPECT_EQ(data[0], 'a');
    EXPECT_EQ(data[600], 'b');
    EXPECT_EQ(data[1299], 'c');

    std::vector<uint8_t> buf(512, 0xEE);
    uint64_t pos = 2;
    EXPECT_TRUE(fat_readfile(e, buf.data(), 512, &pos));
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(buf[0], 'c');
    EXPECT_FALSE(fat_readfile(nullptr, buf.data(), 512, &pos));
    EXPECT_FALSE(fat_readfile(e, nullptr, 512, &pos));
    EXPECT_FALSE(fat_readfile(e, buf.data(), 0, &pos));
    // Past the end of the volume the read fails and the buffer is zeros.
    pos = MiniFat16::total_sectors;
    EXPECT_FALSE(fat_readfile(e, buf.data(), 512, &pos));
    EXPECT_EQ(buf[0], 0);
}

TEST(FatInitTest, RefusesOtherVolumes)
{
    MiniFat16 v;
    MemoryVolume ntfs(v.bytes, BG_FS_NTFS);
    EXPECT_FALSE(fat_init(ntfs.volume()));
    EXPECT_FALSE(fat_init(nullptr));
    MemoryVolume zero(std::vector<uint8_t>(8192, 0), BG_FS_FAT16);
    EXPECT_FALSE(fat_init(zero.volume()));
    EXPECT_EQ(fat_searchfile(1, nullptr, nullptr), nullptr);
    fat_exit();
}

// ---- Format recovery on a hand-built old volume ----------------------------

// An old file system with 8 sectors per cluster and cluster 2 at sector 64,
// under a volume now holding something else (code 4: nothing is skipped).
struct OldVolume {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(512 * 2048, 0);
    static uint64_t at(uint32_t cluster, size_t index) { return (64 + uint64_t(cluster - 2) * 8) * 512 + index * 32; }
    void entry(uint64_t off, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size)
    {
        uint8_t* e = &bytes[off];
        std::memcpy(e, name11, 11);
        e[11] = attr;
        store_le16(e + 20, uint16_t(cluster >> 16));
        store_le16(e + 26, uint16_t(cluster));
        store_le32(e + 28, size);
    }
    void dir(uint32_t cluster, uint32_t parent)
    {
        entry(at(cluster, 0), ".          ", 0x10, cluster, 0);
        entry(at(cluster, 1), "..         ", 0x10, parent, 0);
    }
};

TEST(FatFormatTest, RebuildsNestedTreesAndReadsWithTheOldGeometry)
{
    OldVolume o;
    o.dir(10, 0);
    o.entry(OldVolume::at(10, 2), "A       TXT", 0x20, 30, 5000);
    o.entry(OldVolume::at(10, 3), "SUB        ", 0x10, 12, 0);
    o.dir(12, 10);
    o.entry(OldVolume::at(12, 2), "SUBSUB     ", 0x10, 15, 0);
    o.dir(15, 12);
    o.entry(OldVolume::at(15, 2), "\xE5" "       BIN", 0x20, 40, 10);
    o.dir(20, 0); // a second lost folder, its own tree
    o.entry(OldVolume::at(20, 2), "B       TXT", 0x20, 41, 7);
    o.dir(25, 0); // an empty folder: no tree
    for (size_t i = 0; i < 5000; ++i)
        o.bytes[(64 + 28 * 8) * 512 + i] = uint8_t(i * 7);

    MemoryVolume vol(o.bytes, BG_FS_NTFS);
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    FatLostDir** tops = fat_fmtRec_search(BG_FS_NTFS);
    ASSERT_NE(tops, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    auto found = collect(tops);
    std::vector<std::string> paths;
    for (auto& f : found)
        paths.push_back(f.path);
    EXPECT_EQ(paths, (std::vector<std::string> { "Dir0/A.TXT", "Dir0/SUB", "Dir0/SUB/SUBSUB", "Dir0/SUB/SUBSUB/_.BIN",
                                                 "Dir1/B.TXT" }));
    ASSERT_NE(tops[0], nullptr);
    uint32_t data_start = tops[0]->old_data_start;
    uint32_t cluster = tops[0]->first_cluster;
    FatLostDir* sub = tops[0]->next;
    FatLostDir* sub_parent = sub->parent;
    EXPECT_EQ(data_start, 64u);
    EXPECT_EQ(cluster, 10u);
    EXPECT_EQ(sub_parent, tops[0]);
    EXPECT_EQ(sub->name[0], 0);
    EXPECT_EQ(+sub->top, 0);
    EXPECT_EQ(tops[2], nullptr);

    FatEntry* a = found[0].entry;
    EXPECT_EQ(+a->year, 0);
    auto data = read_all(fat_fmtRec_readfile, a, 4096);
    ASSERT_EQ(data.size(), 5000u);
    for (size_t i = 0; i < 5000; ++i)
        ASSERT_EQ(data[i], uint8_t(i * 7)) << i;
    // A record of the other engine is refused.
    FatEntry stray {};
    stray.first_cluster = 30;
    stray.size = 10;
    uint64_t pos = 0;
    std::vector<uint8_t> buf(512);
    EXPECT_FALSE(fat_fmtRec_readfile(&stray, buf.data(), 512, &pos));
    EXPECT_EQ(fat_fmtRec_exit(), 0);
}

TEST(FatFormatTest, ALoopOfLostFoldersIsWalkedOnce)
{
    OldVolume o;
    o.dir(10, 0);
    o.entry(OldVolume::at(10, 2), "CHILD      ", 0x10, 11, 0);
    o.dir(11, 10);
    o.entry(OldVolume::at(11, 2), "BACK       ", 0x10, 10, 0); // points at its parent
    o.entry(OldVolume::at(11, 3), "F       TXT", 0x20, 50, 1);
    MemoryVolume vol(o.bytes, BG_FS_NTFS);
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    FatLostDir** tops = fat_fmtRec_search(BG_FS_NTFS);
    ASSERT_NE(tops, nullptr);
    auto found = collect(tops);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "Dir0/CHILD");
    EXPECT_EQ(found[1].path, "Dir0/CHILD/F.TXT");
    fat_fmtRec_exit();
}

TEST(FatFormatTest, CandidatesInUseByTheCurrentFatAreSkippedAndOtherCodesSkipAll)
{
    OldVolume o;
    o.dir(10, 0);
    o.entry(OldVolume::at(10, 2), "A       TXT", 0x20, 30, 5);
    o.dir(12, 0);
    o.entry(OldVolume::at(12, 2), "B       TXT", 0x20, 31, 5);
    o.dir(14, 0);
    o.entry(OldVolume::at(14, 2), "C       TXT", 0x20, 32, 5);
    {
        MemoryVolume vol(o.bytes, 6 /* ext2 */);
        ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
        FatLostDir** tops = fat_fmtRec_search(6);
        ASSERT_NE(tops, nullptr);
        EXPECT_EQ(tops[0], nullptr);
        fat_fmtRec_exit();
    }
    // A current FAT16 with 1 sector per cluster whose cluster 2 is sector 40:
    // the old folder at sector 128 is its cluster 90 (in use), the one at
    // sector 144 its cluster 106 (free).
    auto boot = salvor_test::fat_boot_sector(16, 2048, 0, 1, 1, 8);
    store_le16(&boot[0x11], 128); // 8 root sectors: data at 1 + 16 + 8 = 25
    std::memcpy(o.bytes.data(), boot.data(), 512);
    uint32_t c1 = (128 - 25) + 2;
    store_le16(&o.bytes[512 + 2 * c1], 0xFFFF);
    MemoryVolume vol(o.bytes, BG_FS_FAT16);
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    FatLostDir** tops = fat_fmtRec_search(BG_FS_FAT16);
    ASSERT_NE(tops, nullptr);
    auto found = collect(tops);
    // The last folder has no later partner to vote with: it takes the
    // geometry found last.
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "Dir0/B.TXT");
    EXPECT_EQ(found[1].path, "Dir1/C.TXT");
    fat_fmtRec_exit();
}

TEST(FatFormatTest, StopEndsTheSearchWithWhatWasBuilt)
{
    OldVolume o;
    o.dir(10, 0);
    o.entry(OldVolume::at(10, 2), "A       TXT", 0x20, 30, 5);
    o.dir(12, 0);
    o.entry(OldVolume::at(12, 2), "B       TXT", 0x20, 31, 5);
    MemoryVolume vol(o.bytes, BG_FS_NTFS);
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    fat_fmtStop();
    FatLostDir** tops = fat_fmtRec_search(BG_FS_NTFS);
    ASSERT_NE(tops, nullptr);
    EXPECT_EQ(tops[0], nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    // A new init clears the request.
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    tops = fat_fmtRec_search(BG_FS_NTFS);
    ASSERT_NE(tops, nullptr);
    EXPECT_NE(tops[0], nullptr);
    fat_fmtRec_exit();
    EXPECT_FALSE(fat_fmtRec_init(nullptr));
}

} // namespace
