// The target folder of a recovery: nothing is made through a link or outside
// the target, and found files whose names clash are all written, under
// numbered names, while a second run into the same folder writes nothing new.
#include <salvor/recovery/recovery.h>
#include <salvor/recovery/target_folder.h>
#include <salvor/scan/check_rules.h>
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include "disk_builder.h"
#include "memory_volume.h"
#include "test_engine.h"
#include "test_support.h"

#include <gtest/gtest.h>


#include <cstring>
#include <set>
#include <unistd.h>

namespace {

using namespace salvor;
using salvor_test::TempDir;
using salvor_test::NodeOf;
using salvor_test::RunTestScan;
namespace fs = std::filesystem;

size_t entries_below(const fs::path& dir)
{
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
        ++n;
    return n;
}

bool valid_utf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((uint8_t(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

TEST(NumberedName, KeepsTheExtensionAndFits255Bytes)
{
    EXPECT_EQ(NumberedName("_EST.TXT", 2), "_EST (2).TXT");
    EXPECT_EQ(NumberedName("README", 3), "README (3)");
    EXPECT_EQ(NumberedName(".bashrc", 2), ".bashrc (2)");
    EXPECT_EQ(NumberedName("archive.tar.gz", 12), "archive.tar (12).gz");

    // A name already at the limit: the stem gives way, on a character
    // boundary, and the extension stays.
    std::string accented;
    for (int i = 0; i < 125; ++i)
        accented += "\xC3\xA9";
    accented += "x.pdf"; // 255 bytes
    for (unsigned n : {2u, 10u, 99999u}) {
        const std::string numbered = NumberedName(accented, n);
        EXPECT_LE(numbered.size(), 255u);
        const std::string tail = " (" + std::to_string(n) + ").pdf";
        EXPECT_EQ(numbered.substr(numbered.size() - tail.size()), tail);
        EXPECT_TRUE(valid_utf8(numbered)) << n;
    }
    const std::string plain(255, 'a');
    EXPECT_EQ(NumberedName(plain, 2), std::string(251, 'a') + " (2)");
}

struct Planted : ::testing::Test {
    TempDir tmp;
    fs::path target, outside;
    TargetFolder folder;
    std::string reason;

    void SetUp() override
    {
        target = tmp / "target";
        outside = tmp / "outside";
        fs::create_directories(target / "Real");
        fs::create_directories(target / "A");
        fs::create_directories(outside);
        ASSERT_TRUE(folder.Open(target.string(), reason)) << reason;
    }
    void TearDown() override { EXPECT_TRUE(fs::is_empty(outside)) << "something was written outside"; }
};

TEST_F(Planted, LinksAndFilesInPlaceOfFoldersAreRefused)
{
    fs::create_directory_symlink(outside, target / "Docs");           // at the top
    fs::create_directory_symlink(outside, target / "A/My Documents"); // deeper
    fs::create_directory_symlink(target / "Real", target / "Inner");  // to a folder inside the target
    fs::create_symlink(outside / "new", target / "Dangling");         // to nothing yet
    salvor_test::write_file(target / "File", {'x'});

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"Docs"}, "Docs is a symbolic link"},
        {{"Docs", "Sub"}, "Docs is a symbolic link"},
        {{"A", "My Documents"}, "A/My Documents is a symbolic link"},
        {{"Inner"}, "Inner is a symbolic link"},
        {{"Dangling"}, "Dangling is a symbolic link"},
        {{"File", "Sub"}, "File is not a folder"},
        {{"A", ".."}, "not a valid folder name"},
    };
    for (const auto& [components, why] : refused) {
        reason.clear();
        EXPECT_FALSE(folder.OpenFolder(components, reason).valid()) << why;
        EXPECT_NE(reason.find(why), std::string::npos) << reason;
    }
    EXPECT_TRUE(fs::is_empty(target / "Real"));
    EXPECT_EQ(salvor_test::read_file(target / "File"), std::vector<uint8_t>{'x'});

    // What is sound still opens, and missing folders are made.
    TargetDir made = folder.OpenFolder({"A", "New", "Deep"}, reason);
    ASSERT_TRUE(made.valid()) << reason;
    EXPECT_TRUE(fs::is_directory(target / "A/New/Deep"));
    EXPECT_EQ(made.shown(), target.string() + "/A/New/Deep");
}

TEST_F(Planted, RecoveryPassCountsRefusedFilesAsFailed)
{
    // A folder node whose folder in the target is a planted link: its files
    // fail with the reason and nothing reaches the link's target.
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session(tree, list);
    session.mode = kModeRaw; // rows of the list pass need no engine here
    NullProgress progress;
    const NodeId root = tree.InsertNode(0, "root", 0, 1);
    const NodeId docs = tree.InsertNode(root, "Docs", 0, 1);
    fs::create_directory_symlink(outside, target / "Docs");
    session.current_folder = docs;
    list.AppendRow("a.txt", "1B", "", 1);
    list.AppendRow("b.txt", "1B", "", 2);
    SelectAll(list);
    RecoveryJob job(session, progress);
    job.target = target.string();
    RecoverCheckedRows(job);
    EXPECT_EQ(job.stats.failed, 2u);
    ASSERT_EQ(job.stats.failure_reasons.size(), 1u);
    EXPECT_NE(job.stats.failure_reasons.begin()->first.find("Docs is a symbolic link"), std::string::npos);
    EXPECT_EQ(job.stats.failure_reasons.begin()->second, 2u);
    EXPECT_EQ(list.CheckState(0), kChecked); // not written: still checked
}

TEST(TargetFolderNames, ClashesInOneRunAreNumberedASecondRunSkips)
{
    TempDir tmp;
    salvor_test::write_file(tmp / "old.txt", {'k'}); // there before the run
    auto run = [&](std::vector<std::string>& names, std::vector<int>& errors) {
        TargetFolder folder;
        std::string reason;
        ASSERT_TRUE(folder.Open(tmp.path().string(), reason));
        TargetDir top = folder.OpenFolder({}, reason);
        for (const std::string name : {"_EST.TXT", "_EST.TXT", "_EST.TXT", "old.txt", "old.txt", "X", ""}) {
            CreatedFile f = folder.CreateFile(top, name);
            names.push_back(f.name);
            errors.push_back(f.error);
            if (f.fd >= 0)
                ::close(f.fd);
        }
        // A folder asked for where this run made a file takes a numbered
        // name, the same each time.
        TargetDir x = folder.OpenFolder({"X", "in"}, reason);
        ASSERT_TRUE(x.valid()) << reason;
        EXPECT_EQ(x.shown(), tmp.path().string() + "/X (2)/in");
        EXPECT_EQ(folder.OpenFolder({"X"}, reason).shown(), tmp.path().string() + "/X (2)");
    };
    std::vector<std::string> names;
    std::vector<int> errors;
    run(names, errors);
    EXPECT_EQ(names, (std::vector<std::string>{"_EST.TXT", "_EST (2).TXT", "_EST (3).TXT", "old.txt", "old (2).txt",
                                               "X", "_"}));
    EXPECT_EQ(errors, (std::vector<int>{0, 0, 0, EEXIST, 0, 0, 0}));
    EXPECT_EQ(salvor_test::read_file(tmp / "old.txt"), std::vector<uint8_t>{'k'});
    const size_t after_first = entries_below(tmp.path());

    // A second run meets only names that were there before it: all skipped.
    names.clear();
    errors.clear();
    run(names, errors);
    EXPECT_EQ(names, (std::vector<std::string>{"_EST.TXT", "_EST (2).TXT", "_EST (3).TXT", "old.txt", "old (2).txt",
                                               "X", "_"}));
    EXPECT_EQ(errors, std::vector<int>(7, EEXIST));
    EXPECT_EQ(entries_below(tmp.path()), after_first);
}

// Found names that clash once cleaned: the deletion mark, a separator, two
// long names cut to the same 255 bytes, and two folders of the same name.
TEST(RecoveryNames, CleanedNamesThatClashAreAllWritten)
{
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session(tree, list);
    session.source_label = "F:(FAT16)";
    NullProgress progress;

    std::string accented;
    for (int i = 0; i < 140; ++i)
        accented += "\xC3\xA9";
    std::vector<salvor_test::TestFile> files;
    for (const std::string name : std::vector<std::string>{"_EST.TXT", "_EST.TXT", "A/B.TXT", "A_B.TXT",
                                                           accented + "-one.pdf", accented + "-two.pdf"}) {
        salvor_test::TestFile f;
        f.folder = "Docs";
        f.name = SafeName(name);
        files.push_back(f);
    }
    RunTestScan(session, files);
    // A second folder of the same text shares the first one's target folder.
    const NodeId root = tree.FirstRoot();
    const NodeId docs_node = NodeOf(tree, "Docs");
    ASSERT_NE(docs_node, 0u);
    session.result.folders.push_back({"Docs", kRootFolder, {}, {}, false});
    FoundFile clash;
    clash.name = "A_B.TXT";
    clash.record = uint64_t(1);
    session.result.files.push_back(clash);
    session.result.folders.back().files.push_back(uint32_t(session.result.files.size() - 1));
    const NodeId more_node = tree.InsertNode(root, "Docs", 0, 1);
    tree.SetItemData(more_node, session.result.folders.size());

    TempDir out;
    auto recover = [&] {
        tree.SetCheckState(docs_node, kChecked);
        tree.SetCheckState(more_node, kChecked);
        RecoveryJob job(session, progress);
        job.target = out.path().string();
        RecoverCheckedNodes(job);
        return job.stats;
    };
    const RecoveryStats first = recover();
    EXPECT_EQ(first.empty, 7u); // all of size 0: created, nothing to write
    EXPECT_EQ(first.skipped, 0u);
    EXPECT_EQ(first.failed, 0u);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(out / "Docs")) {
        names.insert(e.path().filename().string());
        EXPECT_LE(e.path().filename().string().size(), 255u);
        EXPECT_TRUE(valid_utf8(e.path().filename().string())) << e.path();
    }
    EXPECT_EQ(names.size(), 7u);
    for (const std::string name : {"_EST.TXT", "_EST (2).TXT", "A_B.TXT", "A_B (2).TXT", "A_B (3).TXT"})
        EXPECT_TRUE(names.count(name)) << name;
    size_t pdfs = 0;
    for (const auto& name : names)
        if (name.size() > 4 && name.substr(name.size() - 4) == ".pdf")
            ++pdfs;
    EXPECT_EQ(pdfs, 2u);

    // A second run into the same folder skips every file and adds nothing.
    const RecoveryStats second = recover();
    EXPECT_EQ(second.skipped, 7u);
    EXPECT_EQ(second.empty + second.written + second.failed, 0u);
    EXPECT_EQ(entries_below(out / "Docs"), 7u);
}

} // namespace
