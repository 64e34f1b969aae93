// The FAT engine on real volumes: fixture images made with mkfs.vfat and
// mtools, and third-party images.
#include "fat_test_util.h"

#include <file_volume.h>
#include <test_support.h>

#include <blockgate/blockgate.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

using namespace fat_test;
using salvor_test::FileVolume;
using salvor_test::TempDir;

namespace {

std::vector<std::vector<std::string>> read_tsv(const salvor_test::fs::path& path)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

bool have_fat_tools()
{
    return salvor_test::require_tool("mkfs.vfat", "dosfstools") && salvor_test::require_tool("mcopy", "mtools");
}

// ---- Deleted-file search on FAT12, FAT16 and FAT32 ------------------------

class FatDeletedVolumeTest : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { fat_exit(); }
};

TEST_P(FatDeletedVolumeTest, FindsDeletedFilesAndFoldersButNoLiveFile)
{
    if (!have_fat_tools())
        return;
    const int bits = GetParam();
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-deleted.sh", { tmp.path().string(), std::to_string(bits) }));
    const int code = bits == 12 ? BG_FS_FAT12 : bits == 16 ? BG_FS_FAT16 : BG_FS_FAT32;
    FileVolume vol((tmp / "volume.img").string(), code);
    ASSERT_TRUE(fat_init(vol.volume()));
    uint32_t files = 0, dirs = 0;
    FatDirNode* root = fat_searchfile(1, &files, &dirs);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    auto found = collect(root);

    auto deleted = read_tsv(tmp / "deleted.tsv");
    ASSERT_EQ(deleted.size(), 9u);
    EXPECT_EQ(files, deleted.size());
    // Root, the live folders, the deleted folder and its subfolder.
    EXPECT_EQ(dirs, 5u);
    const uint32_t chunk = uint32_t(bits == 32 ? 512 : bits == 16 ? 2048 : 512);
    for (const auto& row : deleted) {
        ASSERT_EQ(row.size(), 5u);
        std::string path = row[0];
        if (row[4] == "1") {
            // Without a long name the first character is lost to the mark.
            size_t slash = path.rfind('/');
            path.replace(slash == std::string::npos ? 0 : slash + 1, 1, "_");
        }
        const Found* f = find(found, path);
        ASSERT_NE(f, nullptr) << "not found: " << path;
        EXPECT_EQ(+f->entry->is_directory, 0) << path;
        EXPECT_EQ(std::to_string(f->entry->size), row[1]) << path;
        EXPECT_EQ(std::to_string(1980 + f->entry->year), row[3]) << path;
        auto data = read_all(fat_readfile, f->entry, chunk);
        EXPECT_EQ(salvor_test::sha256_hex(data), row[2]) << path;
    }
    for (const auto& row : read_tsv(tmp / "deldirs.tsv")) {
        const Found* f = find(found, row[0]);
        ASSERT_NE(f, nullptr) << "folder not found: " << row[0];
        EXPECT_EQ(+f->entry->is_directory, 1);
    }
    for (const auto& row : read_tsv(tmp / "live.tsv"))
        EXPECT_EQ(find(found, row[0]), nullptr) << "live file reported: " << row[0];
    // Live folders are kept (they lead to the deleted files in them).
    EXPECT_NE(find(found, "Camera Roll"), nullptr);
    EXPECT_NE(find(found, "Live Docs"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, FatDeletedVolumeTest, ::testing::Values(12, 16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

TEST(FatActiveFatTest, Fat32WithOnlyFatOneActiveReadsFatOne)
{
    if (!have_fat_tools())
        return;
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-deleted.sh", { tmp.path().string(), "32" }));
    auto bytes = salvor_test::read_file(tmp / "volume.img");
    const uint32_t reserved = load_le16(&bytes[0x0E]);
    const uint32_t fat_sectors = fsprobe::load_le32(&bytes[0x24]);
    // FAT 0 is spoilt (every entry points far away); FAT 1 is intact and
    // marked as the only active one.
    std::memset(&bytes[reserved * 512], 0x01, size_t(fat_sectors) * 512);
    store_le16(&bytes[0x28], 0x0081);
    salvor_test::write_file(tmp / "active1.img", bytes);
    FileVolume vol((tmp / "active1.img").string(), BG_FS_FAT32);
    ASSERT_TRUE(fat_init(vol.volume()));
    uint32_t files = 0;
    FatDirNode* root = fat_searchfile(1, &files, nullptr);
    ASSERT_NE(root, nullptr);
    auto found = collect(root);
    EXPECT_EQ(files, 9u);
    EXPECT_NE(find(found, "Old Projects/Deep Folder/inner file.bin"), nullptr);
    fat_exit();

    // With the flag cleared FAT 0 is read: the deleted folder's first cluster
    // is not free there, so the folder is not followed.
    store_le16(&bytes[0x28], 0x0001);
    salvor_test::write_file(tmp / "active0.img", bytes);
    FileVolume vol0((tmp / "active0.img").string(), BG_FS_FAT32);
    ASSERT_TRUE(fat_init(vol0.volume()));
    root = fat_searchfile(1, &files, nullptr);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(find(collect(root), "Old Projects"), nullptr);
    fat_exit();
}

// ---- Format recovery ---------------------------------------------------------

class FatFormatVolumeTest : public ::testing::TestWithParam<std::string> {
protected:
    void TearDown() override { fat_fmtRec_exit(); }
};

TEST_P(FatFormatVolumeTest, OldTreesComeBackWithTheirFiles)
{
    if (!have_fat_tools())
        return;
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-format.sh", { tmp.path().string(), GetParam() }));
    FileVolume vol((tmp / "volume.img").string(), BG_FS_FAT32);
    ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
    FatLostDir** tops = fat_fmtRec_search(BG_FS_FAT32);
    ASSERT_NE(tops, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    size_t count = 0;
    for (FatLostDir** t = tops; *t; ++t, ++count)
        EXPECT_EQ(std::string((*t)->name), "Dir" + std::to_string(count));
    EXPECT_GE(count, 3u); // DCIM, Music and Documents lost their parent, the root
    auto found = collect(tops);

    // Paths below each top node, without the "Dir%d" part.
    std::map<std::string, const Found*> below;
    for (const Found& f : found)
        below[f.path.substr(f.path.find('/') + 1)] = &f;
    for (const auto& row : read_tsv(tmp / "files.tsv")) {
        std::string rest = row[0].substr(row[0].find('/') + 1);
        auto it = below.find(rest);
        ASSERT_NE(it, below.end()) << "not found: " << row[0];
        const FatEntry* e = it->second->entry;
        EXPECT_EQ(std::to_string(e->size), row[1]) << row[0];
        auto data = read_all(fat_fmtRec_readfile, const_cast<FatEntry*>(e), 4096);
        EXPECT_EQ(salvor_test::sha256_hex(data), row[2]) << row[0];
    }
    // The nested folders are there as folders.
    ASSERT_NE(below.find("100CANON/Edits"), below.end());
    EXPECT_EQ(+below["100CANON/Edits"]->entry->is_directory, 1);
    ASSERT_NE(below.find("Deep/Deeper/Deepest"), below.end());
}

INSTANTIATE_TEST_SUITE_P(Reformat, FatFormatVolumeTest, ::testing::Values("same", "larger"),
                         [](const auto& info) { return info.param == "same" ? "SameClusterSize" : "LargerClusters"; });

// ---- Folders in clusters no folder links to ------------------------------

class FatLostClustersTest : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { fat_exit(); }
};

// A deleted folder of 200 long-named files whose clusters lie far apart: the
// walk reaches its first cluster only, the pass over the free clusters finds
// the rest. Each file comes back once, with its long name, byte for byte.
TEST_P(FatLostClustersTest, ScatteredFolderComesBackWhole)
{
    if (!have_fat_tools())
        return;
    const int bits = GetParam();
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-scattered.sh", { tmp.path().string(), std::to_string(bits) }));
    FileVolume vol((tmp / "volume.img").string(), bits == 16 ? BG_FS_FAT16 : BG_FS_FAT32);
    ASSERT_TRUE(fat_init(vol.volume()));
    uint32_t files = 0, dirs = 0;
    FatDirNode* root = fat_searchfile(1, &files, &dirs);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    auto found = collect(root);

    const auto expected = read_tsv(tmp / "files.tsv");
    ASSERT_EQ(expected.size(), 200u);
    std::map<std::string, std::vector<const Found*>> by_name;
    size_t lost = 0;
    for (const Found& f : found) {
        const bool in_lost = f.path.rfind("Lost files/", 0) == 0;
        lost += in_lost;
        const std::string name = f.path.substr(f.path.rfind('/') + 1);
        if (f.path.find("scattered folder") != std::string::npos || in_lost)
            by_name[name].push_back(&f);
    }
    for (const auto& row : expected) {
        auto it = by_name.find(row[0]);
        ASSERT_NE(it, by_name.end()) << "not found with its long name: " << row[0];
        ASSERT_EQ(it->second.size(), 1u) << "listed twice: " << row[0];
        const Found* f = it->second[0];
        const std::string& path = f->path;
        EXPECT_TRUE(path == "Scattered Folder/" + row[0] || path.rfind("Lost files/Folder", 0) == 0) << path;
        EXPECT_EQ(std::to_string(f->entry->size), row[1]) << path;
        EXPECT_EQ(salvor_test::sha256_hex(read_all(fat_readfile, f->entry, 4096)), row[2]) << path;
    }
    // Most of the folder lies in clusters only the pass finds; nothing else
    // is listed under "Lost files".
    EXPECT_GT(lost, 150u);
    EXPECT_EQ(by_name.size(), expected.size());
}

// Free space full of random bytes and of deleted files' data (text, upper-case
// text, random, zeros, a program, an archive) makes no lost folder.
TEST_P(FatLostClustersTest, NoPhantomsFromFileDataOrRandomBytes)
{
    if (!have_fat_tools())
        return;
    const int bits = GetParam();
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-noise.sh", { tmp.path().string(), std::to_string(bits) }));
    FileVolume vol((tmp / "volume.img").string(), bits == 16 ? BG_FS_FAT16 : BG_FS_FAT32);
    ASSERT_TRUE(fat_init(vol.volume()));
    uint32_t files = 0, dirs = 0;
    FatDirNode* root = fat_searchfile(1, &files, &dirs);
    ASSERT_NE(root, nullptr);
    auto found = collect(root);
    for (const Found& f : found)
        EXPECT_NE(f.path.rfind("Lost files/", 0), 0u) << f.path;
    // The six deleted files, the live folder "Kept".
    EXPECT_EQ(files, 6u);
    EXPECT_EQ(dirs, 2u);
}

INSTANTIATE_TEST_SUITE_P(Fat16And32, FatLostClustersTest, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

// ---- Third-party images --------------------------------------------------------

std::optional<salvor_test::fs::path> image(const std::string& name, const TempDir& tmp)
{
    return salvor_test::shared_image("fat/" + name, tmp.path());
}

TEST(FatSharedImageTest, DeletedFolderWith254Entries)
{
    TempDir tmp;
    auto img = image("fat_deleted_dir_2.raw", tmp);
    if (!img)
        GTEST_SKIP() << "shared test images absent";
    FileVolume vol(img->string(), BG_FS_FAT16);
    ASSERT_TRUE(fat_init(vol.volume()));
    uint32_t files = 0, dirs = 0;
    FatDirNode* root = fat_searchfile(1, &files, &dirs);
    ASSERT_NE(root, nullptr);
    auto found = collect(root);
    // Two deleted folders in the root: the first (cluster 3) held 250 files
    // over four clusters (3, 5, 6, 7: cluster 4 is the second folder), the
    // second two files with long names. fls -r -d lists the same 254.
    ASSERT_EQ(found.size(), 254u);
    EXPECT_EQ(files, 252u);
    EXPECT_EQ(dirs, 3u);
    ASSERT_EQ(found[0].path, "_");
    EXPECT_EQ(found[0].entry->first_cluster, 3u);
    std::set<std::string> names;
    for (size_t i = 1; i <= 250; ++i) {
        const std::string& p = found[i].path;
        ASSERT_EQ(p.substr(0, 3), "_/_") << i;
        EXPECT_EQ(p.find_first_not_of("0123456789", 3), std::string::npos) << p;
        EXPECT_EQ(+found[i].entry->is_directory, 0);
        names.insert(p);
    }
    // The names are the file numbers without their first digit: "_", "_0" to "_99".
    EXPECT_EQ(names.size(), 111u);
    EXPECT_EQ(found[251].path, "_");
    EXPECT_EQ(found[251].entry->first_cluster, 4u);
    EXPECT_EQ(found[252].path, "_/2.txt");
    EXPECT_EQ(found[253].path, "_/22.txt");
    fat_exit();
}

TEST(FatSharedImageTest, DamagedFatcatImagesAreWalkedToTheEnd)
{
    for (const char* name : { "fatcat-directory-loop.img", "fatcat-infinite-file.img", "fatcat-two-file-same-cluster.img",
                              "fatcat-deleted.img" }) {
        TempDir tmp;
        auto img = image(name, tmp);
        if (!img)
            GTEST_SKIP() << "shared test images absent";
        FileVolume vol(img->string(), BG_FS_FAT32);
        ASSERT_TRUE(fat_init(vol.volume())) << name;
        auto t0 = std::chrono::steady_clock::now();
        uint32_t files = 0, dirs = 0;
        FatDirNode* root = fat_searchfile(1, &files, &dirs);
        ASSERT_NE(root, nullptr) << name;
        EXPECT_EQ(bg_progress.load(), 100);
        auto found = collect(root);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20)) << name;
        // Every kept file can be read without a fault.
        for (const Found& f : found)
            if (!f.entry->is_directory)
                read_all(fat_readfile, f.entry, 4096);
        if (std::string(name) == "fatcat-deleted.img") {
            EXPECT_NE(find(found, "deleted/file.txt"), nullptr);
            EXPECT_NE(find(found, "deleted/.file.txt.swp"), nullptr);
        }
        fat_exit();

        // The format scan gets through the same damage.
        ASSERT_TRUE(fat_fmtRec_init(vol.volume()));
        ASSERT_NE(fat_fmtRec_search(BG_FS_FAT32), nullptr) << name;
        fat_fmtRec_exit();
    }
}

TEST(FatSharedImageTest, TwoKilobyteSectorsOfFat32Small)
{
    TempDir tmp;
    auto img = image("fat32_small.raw", tmp);
    if (!img)
        GTEST_SKIP() << "shared test images absent";
    FileVolume vol(img->string(), BG_FS_FAT32, 0, 0, 2048);
    ASSERT_TRUE(fat_init(vol.volume()));
    uint32_t files = 0, dirs = 0;
    FatDirNode* root = fat_searchfile(1, &files, &dirs);
    ASSERT_NE(root, nullptr);
    auto found = collect(root);
    // 2048-byte sectors, 32 sectors per cluster: the live folder "test" holds
    // 1.TXT, 2.TXT (live, not kept) and a deleted vim swap file whose name
    // survives in its deleted long-name slot.
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "test");
    EXPECT_EQ(found[0].entry->first_cluster, 3u);
    EXPECT_EQ(found[1].path, "test/.2.TXT.swp");
    EXPECT_EQ(+found[1].entry->is_directory, 0);
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(dirs, 2u);
    fat_exit();
}

TEST(FatSharedImageTest, OtherRealImagesOpenAndWalk)
{
    struct Img {
        const char* name;
        int code;
    };
    for (Img i : { Img { "fat12.raw", BG_FS_FAT12 }, Img { "fat16_moved.raw", BG_FS_FAT16 },
                   Img { "fat_noloop.raw", BG_FS_FAT16 }, Img { "fat_unusual_cluster.raw", BG_FS_FAT12 },
                   Img { "fat_unusual_label.raw", BG_FS_FAT12 } }) {
        TempDir tmp;
        auto img = image(i.name, tmp);
        if (!img)
            GTEST_SKIP() << "shared test images absent";
        FileVolume vol(img->string(), i.code);
        ASSERT_TRUE(fat_init(vol.volume())) << i.name;
        FatDirNode* root = fat_searchfile(1, nullptr, nullptr);
        ASSERT_NE(root, nullptr) << i.name;
        collect(root);
        fat_exit();
    }
}

} // namespace
