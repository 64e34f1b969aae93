// The real-disk enumeration, on a fake /sys tree.
#include "internal.h"

#include <gtest/gtest.h>
#include <test_support.h>

#include <fstream>

using namespace salvor_test;

namespace {

void put(const fs::path& p, const std::string& text)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

TEST(SysfsDisks, ListsWholeDisksWithPartitionsAndSkipsTheRest)
{
    TempDir t;
    fs::path b = t.path() / "block";
    put(b / "sda" / "size", "2048000");
    put(b / "sda" / "queue" / "logical_block_size", "512");
    // Partitions listed out of order, plus the 1 KiB stub of an extended partition.
    put(b / "sda" / "sda2" / "partition", "2");
    put(b / "sda" / "sda2" / "start", "4096");
    put(b / "sda" / "sda2" / "size", "8192");
    put(b / "sda" / "sda1" / "partition", "1");
    put(b / "sda" / "sda1" / "start", "2048");
    put(b / "sda" / "sda1" / "size", "2048");
    put(b / "sda" / "sda3" / "partition", "3");
    put(b / "sda" / "sda3" / "start", "12288");
    put(b / "sda" / "sda3" / "size", "2");
    put(b / "nvme0n1" / "size", "100");
    put(b / "nvme0n1" / "queue" / "logical_block_size", "4096");
    put(b / "nvme0c0n1" / "size", "100"); // controller path, not a disk
    put(b / "loop0" / "size", "100");      // no backing file: unused
    put(b / "loop1" / "size", "100");
    put(b / "loop1" / "loop" / "backing_file", "/tmp/x.img");
    put(b / "dm-0" / "size", "100");
    put(b / "mmcblk0boot0" / "size", "100");
    put(b / "mmcblk0" / "size", "100");

    auto disks = blockgate::list_sys_disks(t.path().string());
    std::vector<std::string> names;
    for (auto& d : disks)
        names.push_back(d.name);
    EXPECT_EQ(names, (std::vector<std::string> { "loop1", "mmcblk0", "nvme0n1", "sda" }));

    auto& sda = disks.back();
    EXPECT_EQ(sda.dev, "/dev/sda");
    EXPECT_EQ(sda.size, 2048000ull * 512);
    ASSERT_EQ(sda.partitions.size(), 2u);
    EXPECT_EQ(sda.partitions[0].start, 2048ull * 512);
    EXPECT_EQ(sda.partitions[0].length, 2048ull * 512);
    EXPECT_EQ(sda.partition_devs[0], "/dev/sda1");
    EXPECT_EQ(sda.partitions[1].start, 4096ull * 512);
    EXPECT_EQ(sda.partition_devs[1], "/dev/sda2");
    EXPECT_EQ(disks[2].logical_block, 4096u);
}

TEST(SysfsDisks, MissingTreeGivesNoDisks)
{
    EXPECT_TRUE(blockgate::list_sys_disks("/nonexistent-sys").empty());
}

} // namespace
