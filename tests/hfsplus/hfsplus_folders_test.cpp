// Deleted HFS+ files' own folders (hfsp_get_folder, through the live
// catalog's folder threads) and catalog dates (hfsp_get_times).
#include "hfsplus_test_util.h"

#include "CatalogScan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <file_volume.h>
#include <map>
#include <regex>
#include <sstream>

using namespace hfsplus_test;
using salvor_test::MemoryVolume;
using salvor_test::random_bytes;

namespace {

constexpr int64_t k1904To1970 = 2082844800;

TEST(HfsPlusFolders, DeletedFilesGetTheirFolderPathAndDates)
{
    EngineGuard guard;
    HfsPlusImageBuilder b(BuildOptions { .total_blocks = 2048, .journal = true });
    const uint32_t root = HfsPlusImageBuilder::kRootFolder;
    uint32_t users = b.add_folder(root, "Users");
    uint32_t anna = b.add_folder(users, "anna");
    // A ':' in a name the user typed is a '/' on disk, shown as ':' again.
    uint32_t letters = b.add_folder(anna, "Letters:2020");
    uint32_t mum = b.add_deleted_file(letters, "mum.odt", random_bytes(5000, 1), DeletedPlace::NodeFreeSpace);
    b.set_dates(mum, 0xD0000000u, 0xDA000000u, 0xDA000001u, 0xDB000000u);
    b.add_deleted_file(anna, "from journal.txt", random_bytes(300, 2), DeletedPlace::Journal);
    uint32_t top = b.add_deleted_file(root, "top.bin", random_bytes(4096, 3), DeletedPlace::UnlinkedNode);
    b.set_dates(top, 0, 0, 0, 0);
    // Parents that do not resolve: a file's id (no folder), two folders that
    // name each other as parent, and a folder named "..".
    uint32_t kept = b.add_file(users, "kept.txt", random_bytes(10, 4));
    b.add_deleted_file(kept, "parent is a file", random_bytes(10, 5), DeletedPlace::NodeFreeSpace);
    uint32_t loop_a = b.next_id();
    ASSERT_EQ(b.add_folder(loop_a + 1, "a"), loop_a);
    ASSERT_EQ(b.add_folder(loop_a, "b"), loop_a + 1);
    b.add_deleted_file(loop_a, "in a loop", random_bytes(10, 6), DeletedPlace::NodeFreeSpace);
    uint32_t dots = b.add_folder(root, "..");
    b.add_deleted_file(dots, "under dots", random_bytes(10, 7), DeletedPlace::UnlinkedNode);

    MemoryVolume vol(b.build(), BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    std::map<std::string, HfspFileRecord*> by_name;
    for (auto* r : list)
        by_name[r->name] = r;
    ASSERT_EQ(by_name.size(), 6u) << names_of(list);
    const std::map<std::string, std::string> folders {
        { "mum.odt", "Users/anna/Letters:2020" },
        { "from journal.txt", "Users/anna" },
        { "top.bin", "" },
        { "parent is a file", "" },
        { "in a loop", "" },
        { "under dots", "" },
    };
    for (auto& [name, folder] : folders) {
        ASSERT_TRUE(by_name.count(name)) << name;
        const char* got = hfsp_get_folder(by_name[name]);
        ASSERT_NE(got, nullptr) << name;
        EXPECT_EQ(got, folder) << name;
    }

    FsprobeTimes t {};
    ASSERT_TRUE(hfsp_get_times(by_name["mum.odt"], &t));
    EXPECT_EQ(t.created.present, 1);
    EXPECT_EQ(t.created.seconds, int64_t(0xD0000000u) - k1904To1970);
    EXPECT_EQ(t.modified.seconds, int64_t(0xDA000000u) - k1904To1970);
    EXPECT_EQ(t.changed.seconds, int64_t(0xDA000001u) - k1904To1970);
    EXPECT_EQ(t.accessed.seconds, int64_t(0xDB000000u) - k1904To1970);
    EXPECT_EQ(t.modified.nanoseconds, 0u);
    EXPECT_EQ(t.deleted.present, 0);
    // Unset dates are absent.
    ASSERT_TRUE(hfsp_get_times(by_name["top.bin"], &t));
    EXPECT_EQ(t.created.present + t.modified.present + t.changed.present + t.accessed.present, 0);
    EXPECT_EQ(t.created.seconds, 0);

    // Null, foreign and stale records.
    HfspFileRecord foreign {};
    EXPECT_EQ(hfsp_get_folder(nullptr), nullptr);
    EXPECT_EQ(hfsp_get_folder(&foreign), nullptr);
    EXPECT_FALSE(hfsp_get_times(&foreign, &t));
    EXPECT_FALSE(hfsp_get_times(by_name["mum.odt"], nullptr));
    HfspFileRecord* stale = by_name["mum.odt"];
    hfsp_searchfile();
    EXPECT_EQ(hfsp_get_folder(stale), nullptr);
}

TEST(HfsPlusFolders, PathResolutionIsBoundedAndSafe)
{
    using namespace fsprobe::hfsplus;
    FolderLinks links;
    // A chain of kMaxFolderDepth folders below the root resolves; one more does not.
    for (uint32_t i = 0; i <= kMaxFolderDepth; ++i)
        links[100 + i] = { i == 0 ? kRootFolderId : 100 + i - 1, "f" + std::to_string(i) };
    auto deepest = folder_path(links, 100 + kMaxFolderDepth - 1);
    ASSERT_TRUE(deepest.has_value());
    EXPECT_EQ(deepest->substr(0, 6), "f0/f1/");
    EXPECT_EQ(std::count(deepest->begin(), deepest->end(), '/'), long(kMaxFolderDepth) - 1);
    EXPECT_FALSE(folder_path(links, 100 + kMaxFolderDepth).has_value());
    EXPECT_EQ(folder_path(links, kRootFolderId), std::string());
    // A self loop, an unknown id, an empty name, "." and a NUL in a name.
    links[50] = { 50, "self" };
    links[51] = { kRootFolderId, "" };
    links[52] = { kRootFolderId, "." };
    links[53] = { kRootFolderId, std::string("a\0b", 3) };
    EXPECT_FALSE(folder_path(links, 50).has_value());
    EXPECT_FALSE(folder_path(links, 49).has_value());
    EXPECT_FALSE(folder_path(links, 51).has_value());
    EXPECT_FALSE(folder_path(links, 52).has_value());
    EXPECT_EQ(folder_path(links, 53), std::string("a_b"));
    // The root's own parent (id 1) never stands for the root.
    links[54] = { kRootParentId, "beside the root" };
    EXPECT_FALSE(folder_path(links, 54).has_value());
}

} // namespace

namespace {

// Live folders with their paths as The Sleuth Kit lists them, by id.
std::map<uint32_t, std::string> folders_by_fls(const std::string& image)
{
    std::map<uint32_t, std::string> folders;
    std::string out;
    if (salvor_test::run("timeout 60 fls -r -D -p -f hfs '" + image + "' 2>/dev/null", &out) != 0)
        return folders;
    std::istringstream in(out);
    std::string line;
    std::regex entry(R"(^d/d (\d+):\t(.*)$)");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, entry))
            folders[uint32_t(std::stoul(m[1]))] = m[2];
    }
    return folders;
}

} // namespace

TEST(HfsPlusFolders, LiveFolderPathsMatchTheSleuthKit)
{
    salvor_test::TempDir tmp;
    if (!salvor_test::shared_testdata_dir())
        GTEST_SKIP() << "the shared test images (../shared/testdata) are absent";
    if (!salvor_test::require_tool("fls", "sleuthkit"))
        return;
    size_t compared = 0;
    for (const char* name : { "hfsplus/hfsp-many2.img", "hfsplus/dfvfs-hfsplus.raw", "hfsplus/hfsplus_go.raw" }) {
        SCOPED_TRACE(name);
        auto path = salvor_test::shared_image(name, tmp.path());
        if (!path)
            continue;
        salvor_test::FileVolume vol(path->string(), BG_FS_HFSPLUS);
        uint8_t raw[512];
        ASSERT_EQ(vol.reader()->read(vol.reader(), raw, 512, 1024), 512u);
        auto header = fsprobe::hfsplus::convert_volume_header(raw);
        fsprobe::hfsplus::VolumeAccess access { vol.reader(), vol.volume()->size, header.block_size, header.total_blocks };
        auto result = fsprobe::hfsplus::scan_catalog(access, header, {});
        ASSERT_TRUE(result.has_value());
        auto theirs = folders_by_fls(path->string());
        ASSERT_FALSE(theirs.empty());
        for (auto& [id, fls_path] : theirs) {
            // The Sleuth Kit shows control characters (the private folders'
            // NULs and the like) as '^'.
            if (fls_path.find('^') != std::string::npos)
                continue;
            auto ours = fsprobe::hfsplus::folder_path(result->folders, id);
            ASSERT_TRUE(ours.has_value()) << "folder " << id << " " << fls_path;
            EXPECT_EQ(*ours, fls_path) << "folder " << id;
            ++compared;
        }
        std::remove(path->c_str());
    }
    EXPECT_GT(compared, 100u);
}
