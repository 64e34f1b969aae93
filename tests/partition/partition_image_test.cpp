// Search and rebuild on disk images made by fdisk/sfdisk, mkntfs and
// mkfs.vfat whose master boot record entries were zeroed: after the rebuild
// sfdisk must list the partitions it listed before, and blockgate must find
// every volume again.
#include <fsprobe/partition.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace salvor_test;

namespace {

struct Layout {
    const char* name;
    std::vector<bool> primary;    // is_ok per found volume
    std::vector<int32_t> codes;   // file-system codes of the volumes
    bool rebuilt;
};

// The partition lines of `sfdisk --dump` ("IMG1 : start=..., size=..., type=...").
std::vector<std::string> partition_lines(const fs::path& image)
{
    std::string out;
    EXPECT_EQ(run("sfdisk --dump '" + image.string() + "' 2>/dev/null", &out), 0);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.find("start=") != std::string::npos)
            lines.push_back(line);
    return lines;
}

std::vector<std::string> dump_lines(const fs::path& dump)
{
    auto bytes = read_file(dump);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.find("start=") != std::string::npos)
            lines.push_back(line);
    return lines;
}

class PartitionImage : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override { bg_set_real_disks(0); }
    void TearDown() override
    {
        bs_exit();
        bg_release_devices();
        bg_clear_images();
    }
};

} // namespace

TEST_P(PartitionImage, SearchAndRebuildRestoreTheLostTable)
{
    const Layout& layout = GetParam();
    for (auto tool : { "fdisk", "sfdisk" })
        if (!require_tool(tool, "fdisk"))
            return;
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("mkfs.vfat", "dosfstools"))
        return;
    TempDir tmp;
    fs::path image = tmp / "disk.img";
    fs::path dump = tmp / "before.dump";
    ASSERT_TRUE(run_fixture("partition-lost-tables.sh", { layout.name, image.string(), dump.string() }));
    auto before = dump_lines(dump);
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(partition_lines(image).empty()) << "the fixture did not lose its table";
    auto sector0 = read_file(image);
    sector0.resize(512);

    ASSERT_EQ(bg_add_image(image.c_str()), 0);
    bg_scan_disks();
    ASSERT_NE(bg_disk_list, nullptr);
    BgReader* disk = bg_disk_list->disk;
    BgVolume* table = bs_recover(disk);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    size_t n = 0;
    while (n < FOUND_VOLUME_TABLE_SIZE && table[n].boot_sector)
        ++n;
    ASSERT_EQ(n, layout.primary.size());
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(table[i].fs_code, layout.codes[i]) << "volume " << i;
        EXPECT_EQ(is_ok(&table[i]), layout.primary[i]) << "volume " << i;
    }
    std::vector<std::pair<uint64_t, int32_t>> found;
    for (size_t i = 0; i < n; ++i)
        found.emplace_back(table[i].start, table[i].fs_code);

    EXPECT_EQ(write_Partition_table(disk), layout.rebuilt);
    bs_exit();
    bg_release_devices();

    if (!layout.rebuilt) {
        auto now = read_file(image);
        now.resize(512);
        EXPECT_TRUE(now == sector0) << "sector 0 changed although the rebuild was refused";
        return;
    }
    EXPECT_EQ(partition_lines(image), before);

    // blockgate reads the new tables and lists each volume with its file system.
    bg_scan_disks();
    bg_scan_volumes();
    std::vector<std::pair<uint64_t, int32_t>> listed;
    for (BgVolumeNode* v = bg_volume_list; v; v = v->next)
        listed.emplace_back(v->volume->start, v->volume->fs_code);
    EXPECT_EQ(listed, found);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PartitionImage,
                         ::testing::Values(Layout { "track", { true, false, false }, { 4, 3, 3 }, true },
                                           Layout { "mib", { true, false, false }, { 4, 3, 3 }, true },
                                           Layout { "fat16", { true }, { 2 }, true },
                                           Layout { "five", { true, true, true, true, true }, { 2, 2, 2, 2, 2 }, false }),
                         [](const auto& info) { return std::string(info.param.name); });
