// Recovery passes and writers on hand-made FAT results: folders per checked
// node, create-new files, skipped clashes, unreadable files removed.
#include <salvor/recovery/recovery.h>
#include <salvor/recovery/target_check.h>
#include <salvor/scan/check_rules.h>
#include <salvor/scan/drivers.h>

#include "disk_builder.h"
#include "memory_volume.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fsprobe/fat.h>

namespace {

using namespace salvor;
using salvor_test::TempDir;
namespace fs = std::filesystem;

TEST(CollectCheckedNodes, PreOrderAndUnchecksWhatItTakes)
{
    MemoryResultTree tree;
    NodeId r = tree.InsertNode(0, "r", 4, 5);
    NodeId a = tree.InsertNode(r, "a", 0, 1);
    NodeId a1 = tree.InsertNode(a, "a1", 0, 1);
    NodeId b = tree.InsertNode(r, "b", 0, 1);
    for (NodeId n : {r, a1, b})
        tree.SetCheckState(n, kChecked);
    std::deque<NodeId> stack;
    CollectCheckedNodes(tree, r, stack);
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(stack[0], r);
    EXPECT_EQ(stack[1], a1);
    EXPECT_EQ(stack[2], b);
    for (NodeId n : {r, a, a1, b})
        EXPECT_EQ(tree.CheckState(n), kUnchecked);
}

TEST(TargetCheck, FuseMountOfTheSourceImage)
{
    TempDir tmp;
    const fs::path img = tmp / "src.img";
    salvor_test::write_file(img, {0});
    fs::create_directory(tmp / "target");
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "target").c_str(), &st), 0);
    const std::string majmin = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    auto mountinfo = [&](const std::string& source) {
        const std::string text = "36 25 " + majmin + " / /mnt rw - fuse " + source + " rw\n";
        salvor_test::write_file(tmp / "mountinfo", std::vector<uint8_t>(text.begin(), text.end()));
        return (tmp / "mountinfo").string();
    };
    EXPECT_TRUE(TargetOnSource((tmp / "target").string(), img.string(), mountinfo(img.string())));
    EXPECT_FALSE(TargetOnSource((tmp / "target").string(), img.string(), mountinfo("/other.img")));
    // The mount source is escaped as mountinfo writes it.
    const fs::path spaced = tmp / "my disk.img";
    salvor_test::write_file(spaced, {0});
    std::string escaped = spaced.string();
    escaped.replace(escaped.find(' '), 1, "\\040");
    EXPECT_TRUE(TargetOnSource((tmp / "target").string(), spaced.string(), mountinfo(escaped)));
}

struct Entries {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<FatEntry*> list;
    void add(const std::u16string& name, uint32_t size, uint32_t first_cluster = 0)
    {
        std::vector<uint8_t> block(sizeof(FatEntry) + 2 * (name.size() + 1), 0);
        auto* e = reinterpret_cast<FatEntry*>(block.data());
        e->size = size;
        e->first_cluster = first_cluster;
        std::memcpy(block.data() + sizeof(FatEntry), name.data(), 2 * name.size());
        blocks.push_back(std::move(block));
        list.push_back(reinterpret_cast<FatEntry*>(blocks.back().data()));
    }
    FatEntry** end()
    {
        list.push_back(nullptr);
        return list.data();
    }
};

struct FatRecovery : ::testing::Test {
    std::vector<uint8_t> image;
    std::unique_ptr<salvor_test::MemoryVolume> volume;
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session{tree, list};
    salvor::NullProgress progress;
    Entries docs_entries, old_entries;
    FatDirNode docs {}, old {};
    NodeId root = 0, docs_node = 0, old_node = 0;
    TempDir out;

    void SetUp() override
    {
        image.assign(1 << 20, 0);
        auto boot = salvor_test::fat_boot_sector(16, 2048, 0, 4, 4, 8);
        std::copy(boot.begin(), boot.end(), image.begin());
        volume = std::make_unique<salvor_test::MemoryVolume>(image, BG_FS_FAT16);
        ASSERT_GT(bg_volume_cluster_size(volume->volume()), 0u);
        session.volume = volume->volume();
        session.fs_code = 2;
        session.mode = kModeDeleted;
        docs_entries.add(u"EMPTY.TXT", 0);
        docs_entries.add(u"\u00e5NREAD.BIN", 5000, 0); // cluster 0: the engine cannot read it
        docs.entries = docs_entries.end();
        old_entries.add(u"OLD.TXT", 0);
        old.entries = old_entries.end();
        root = tree.InsertNode(0, "F:(FAT16)", kImageRoot, kImageRootSelected);
        docs_node = tree.InsertNode(root, "Docs", 0, 1);
        old_node = tree.InsertNode(docs_node, "Old", 0, 1);
        tree.SetItemData(docs_node, reinterpret_cast<uintptr_t>(&docs));
        tree.SetItemData(old_node, reinterpret_cast<uintptr_t>(&old));
    }
};

TEST_F(FatRecovery, CheckedNodesBecomeSiblingFolders)
{
    tree.SetCheckState(docs_node, kChecked);
    tree.SetCheckState(old_node, kChecked);
    RecoveryJob job(session, progress);
    job.target = out.path().string();
    RecoverCheckedNodes(job);
    EXPECT_TRUE(fs::is_regular_file(out / "Docs/EMPTY.TXT"));
    EXPECT_EQ(fs::file_size(out / "Docs/EMPTY.TXT"), 0u);
    EXPECT_TRUE(fs::is_regular_file(out / "Old/OLD.TXT"));
    EXPECT_FALSE(fs::exists(out / "Docs/Old"));
    // Nothing of the unreadable file could be read: no file is left behind.
    EXPECT_FALSE(fs::exists(out / "Docs/_NREAD.BIN"));
    EXPECT_EQ(job.stats.written, 0u);
    EXPECT_EQ(job.stats.empty, 2u); // both files have size 0: created, nothing to write
    EXPECT_EQ(job.stats.failed, 1u);
    EXPECT_EQ(tree.CheckState(docs_node), kUnchecked);
}

TEST_F(FatRecovery, ExistingFilesAreNeverOverwritten)
{
    fs::create_directories(out / "Docs");
    salvor_test::write_file(out / "Docs/EMPTY.TXT", {'k', 'e', 'e', 'p'});
    session.current_folder = docs_node;
    FillResultList(session);
    ASSERT_EQ(list.RowCount(), 2u);
    SelectAll(list);
    RecoveryJob job(session, progress);
    job.target = out.path().string();
    RecoverCheckedRows(job);
    EXPECT_EQ(salvor_test::read_file(out / "Docs/EMPTY.TXT"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(job.stats.skipped, 1u);
    EXPECT_EQ(job.stats.failed, 1u);
    EXPECT_EQ(list.CheckState(0), kChecked); // not written: still checked
    EXPECT_EQ(progress.last_status, "Recovering:_NREAD.BIN");

    // A symbolic link in the way is not followed either.
    fs::create_symlink(out / "elsewhere", out / "Docs/link.txt");
    RecoveryJob again(session, progress);
    EXPECT_EQ(WriteRecoveredFile(again, reinterpret_cast<uintptr_t>(old_entries.list[0]),
                                 (out / "Docs/link.txt").string()),
              WriteStatus::kSkipped);
    EXPECT_FALSE(fs::exists(out / "elsewhere"));
}

TEST_F(FatRecovery, AStopRemovesThePartFile)
{
    session.current_folder = docs_node;
    progress.stop = true;
    RecoveryJob job(session, progress);
    EXPECT_EQ(WriteRecoveredFile(job, reinterpret_cast<uintptr_t>(docs_entries.list[1]),
                                 (out / "part.bin").string()),
              WriteStatus::kCancelled);
    EXPECT_FALSE(fs::exists(out / "part.bin"));
    EXPECT_TRUE(job.stats.cancelled);
}

} // namespace
