// Raw Recovery on a carved image: type nodes under their categories, the
// listing of a type, and the category pass that writes checked types only.
#include <salvor/recovery/recovery.h>
#include <salvor/scan/check_rules.h>
#include <salvor/scan/drivers.h>

#include "file_volume.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>


namespace {

using namespace salvor;
using namespace salvor_test;

NodeId child_named(const ResultTree& tree, NodeId parent, const std::string& text)
{
    for (NodeId c = tree.FirstChild(parent); c; c = tree.NextSibling(c))
        if (tree.Text(c) == text)
            return c;
    return 0;
}

TEST(RawRecovery, TypeNodesListingAndCategoryPass)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "raw.img";
    ASSERT_TRUE(run_fixture("cli-raw.sh", {img.string(), (tmp / "files.tsv").string()}));
    std::map<std::string, std::string> sha;
    {
        std::ifstream in(tmp / "files.tsv");
        std::string name, size, hash;
        while (in >> name >> size >> hash)
            sha[name] = hash;
    }

    FileVolume vol(img.string(), BG_FS_FAT32);
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession s(tree, list);
    s.volume = vol.volume();
    s.source_label = "R:(FAT32)";
    s.raw = RawSelection{true, false, false, true}; // photo and others
    NullProgress progress;
    // With Music off, the wav counts as "other".
    ASSERT_EQ(RunRawScan(s, progress), 4);
    const NodeId root = tree.FirstRoot();
    // Only the enabled categories have nodes, in their order.
    const NodeId photo = tree.FirstChild(root);
    ASSERT_NE(photo, 0u);
    EXPECT_EQ(tree.Text(photo), "PHOTO");
    const NodeId others = tree.NextSibling(photo);
    EXPECT_EQ(tree.Text(others), "OTHERS");
    EXPECT_EQ(tree.NextSibling(others), 0u);
    const NodeId png = child_named(tree, photo, "PNG(1)");
    const NodeId bmp = child_named(tree, photo, "BMP(1)");
    ASSERT_NE(png, 0u);
    ASSERT_NE(bmp, 0u);
    EXPECT_NE(child_named(tree, others, "ZIP(1)"), 0u);
    EXPECT_NE(child_named(tree, others, "WAV(1)"), 0u);

    // The listing of a type node.
    s.current_folder = png;
    FillResultList(s);
    ASSERT_EQ(list.RowCount(), 1u);
    EXPECT_EQ(list.Text(0, 0), "0.png");
    EXPECT_EQ(list.Text(0, 1), "3.61KB");
    // A category node lists nothing.
    list.Clear();
    s.current_folder = photo;
    FillResultList(s);
    EXPECT_EQ(list.RowCount(), 0u);

    // Only PNG checked: PHOTO/PNG(1)/0.png is written, OTHERS is removed again.
    tree.SetCheckState(png, kChecked);
    RecoveryJob job(s, progress);
    job.target = (tmp / "out").string();
    ASSERT_TRUE(MakeFolder(job.target));
    RecoverRawCategories(job);
    EXPECT_EQ(sha256_file(tmp / "out/PHOTO/PNG(1)/0.png"), sha["image.png"]);
    EXPECT_FALSE(fs::exists(tmp / "out/PHOTO/BMP(1)"));
    EXPECT_FALSE(fs::exists(tmp / "out/OTHERS"));
    EXPECT_EQ(tree.CheckState(png), kUnchecked);
    EXPECT_EQ(job.stats.written, 1u);

    // The list pass of a type node: target/PHOTO/BMP(<checked rows>)/0.bmp.
    list.Clear();
    s.current_folder = bmp;
    FillResultList(s);
    SelectAll(list);
    RecoveryJob rows(s, progress);
    rows.target = (tmp / "out").string();
    RecoverRawRows(rows);
    EXPECT_EQ(sha256_file(tmp / "out/PHOTO/BMP(1)/0.bmp"), sha["picture.bmp"]);
    EXPECT_EQ(list.CheckState(0), kUnchecked);

    EngineCleanup(s);
    EXPECT_EQ(s.engine, nullptr);
    EXPECT_TRUE(s.result.files.empty());
}

} // namespace

