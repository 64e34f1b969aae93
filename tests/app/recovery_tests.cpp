// Recovery passes and writers on hand-made FAT results: folders per checked
// node, create-new files, skipped clashes, unreadable files removed.
#include <salvor/recovery/recovery.h>
#include <salvor/recovery/target_check.h>
#include <salvor/scan/check_rules.h>
#include <salvor/scan/drivers.h>

#include "disk_builder.h"
#include "memory_volume.h"
#include "test_engine.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>


namespace {

using namespace salvor;
using salvor_test::NodeOf;
using salvor_test::RunTestScan;
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

salvor_test::TestFile file(const std::string& folder, const std::string& name, std::vector<uint8_t> data,
                           std::set<size_t> unreadable = {})
{
    salvor_test::TestFile f;
    f.folder = folder;
    f.name = name;
    f.data = std::move(data);
    f.unreadable = std::move(unreadable);
    return f;
}

struct Recovery : ::testing::Test {
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session{tree, list};
    salvor::NullProgress progress;
    NodeId docs_node = 0, old_node = 0;
    TempDir out;

    void SetUp() override
    {
        session.source_label = "F:(FAT16)";
        session.fs_code = BG_FS_FAT16;
        RunTestScan(session, {file("Docs", "EMPTY.TXT", {}), file("Docs", "_NREAD.BIN", std::vector<uint8_t>(5000, 'u'), {0, 1}),
                              file("Docs/Old", "OLD.TXT", {})});
        docs_node = NodeOf(tree, "Docs");
        old_node = NodeOf(tree, "Docs/Old");
        ASSERT_NE(old_node, 0u);
    }
    uintptr_t item_of(const std::string& name) const
    {
        for (size_t i = 0; i < session.result.files.size(); ++i)
            if (session.result.files[i].name == name)
                return i + 1;
        return 0;
    }
};

TEST_F(Recovery, CheckedNodesBecomeSiblingFolders)
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
    EXPECT_EQ(job.stats.failure_reasons.begin()->first, "nothing of its data could be read from the source");
    EXPECT_EQ(tree.CheckState(docs_node), kUnchecked);
}

TEST_F(Recovery, ExistingFilesAreNeverOverwritten)
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
    EXPECT_EQ(progress.last_status, "Recovering:_NREAD.BIN"); // no space on FAT and NTFS

    // A symbolic link in the way is not followed either.
    fs::create_symlink(out / "elsewhere", out / "Docs/link.txt");
    RecoveryJob again(session, progress);
    EXPECT_EQ(WriteRecoveredFile(again, item_of("OLD.TXT"), (out / "Docs/link.txt").string()),
              WriteStatus::kSkipped);
    EXPECT_FALSE(fs::exists(out / "elsewhere"));
}

TEST_F(Recovery, AStopRemovesThePartFile)
{
    progress.stop = true;
    RecoveryJob job(session, progress);
    EXPECT_EQ(WriteRecoveredFile(job, item_of("_NREAD.BIN"), (out / "part.bin").string()), WriteStatus::kCancelled);
    EXPECT_FALSE(fs::exists(out / "part.bin"));
    EXPECT_TRUE(job.stats.cancelled);
}

// What the one copy loop makes of the ways a stream can fall short.
TEST(RecoveryWriter, UnreadablePiecesEarlyEndsAndDamagedSizes)
{
    std::vector<uint8_t> image(1 << 20, 0);
    salvor_test::MemoryVolume volume(image, BG_FS_FAT16);
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session(tree, list);
    session.volume = volume.volume();
    salvor::NullProgress progress;
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 1);
    salvor_test::TestFile holes = file("", "holes.bin", data, {1}); // bytes 4096..8191
    salvor_test::TestFile short_stream = file("", "short.bin", data);
    short_stream.ends_after = 5000;
    salvor_test::TestFile beyond = file("", "beyond.bin", std::vector<uint8_t>(3 * 4096, 'b'), {2});
    beyond.size = uint64_t(4) << 20; // more than the 1 MiB volume holds
    salvor_test::TestFile nothing = file("", "nothing.bin", data, {0, 1, 2});
    RunTestScan(session, {holes, short_stream, beyond, nothing}, 4096);

    TempDir out;
    RecoveryJob job(session, progress);
    auto write = [&](size_t item, const char* name) {
        return WriteRecoveredFile(job, item, (out / name).string());
    };
    // An unreadable piece is zeros in its place; the rest stays where it was.
    ASSERT_EQ(write(1, "holes.bin"), WriteStatus::kWritten);
    std::vector<uint8_t> expected = data;
    std::fill(expected.begin() + 4096, expected.begin() + 8192, 0);
    EXPECT_EQ(salvor_test::read_file(out / "holes.bin"), expected);
    // A stream that ends early leaves the rest of the file as zeros.
    ASSERT_EQ(write(2, "short.bin"), WriteStatus::kWritten);
    expected = data;
    std::fill(expected.begin() + 5000, expected.end(), 0);
    EXPECT_EQ(salvor_test::read_file(out / "short.bin"), expected);
    // A size beyond the volume: written up to the first unreadable piece.
    ASSERT_EQ(write(3, "beyond.bin"), WriteStatus::kDamaged);
    EXPECT_EQ(salvor_test::read_file(out / "beyond.bin"), std::vector<uint8_t>(2 * 4096, 'b'));
    // Nothing readable: failed, and no file is left.
    EXPECT_EQ(write(4, "nothing.bin"), WriteStatus::kFailed);
    EXPECT_FALSE(fs::exists(out / "nothing.bin"));
    // An item no scan made.
    EXPECT_EQ(write(99, "stray.bin"), WriteStatus::kFailed);
    EXPECT_FALSE(fs::exists(out / "stray.bin"));
    EXPECT_EQ(job.stats.written, 2u);
    EXPECT_EQ(job.stats.damaged, 1u);
    EXPECT_EQ(job.stats.failed, 2u);
    EXPECT_EQ(job.stats.bytes, 2 * data.size() + 2 * 4096);
}

} // namespace
