// The core's typed device list and partition tools on small built disks: the
// values the CLI prints and the refusals it explains.
#include <salvor/devices/device_list.h>
#include <salvor/partition/partition_tools.h>

#include <disk_builder.h>
#include <test_support.h>

#include <blockgate/blockgate.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace salvor;

namespace {

// A 64 MiB disk: one FAT16 primary at sector 2048, 40000 sectors long.
std::vector<uint8_t> fat_disk()
{
    salvor_test::DiskBuilder d(131072);
    d.mbr({ { 0x80, 0x06, 2048, 40000 } });
    d.put(2048ull * 512, salvor_test::fat_boot_sector(16, 40000, 2048, 4, 1, 40));
    // The first FAT begins with the media byte: the search confirms FAT volumes by it.
    d.put(2049ull * 512, { 0xF8, 0xFF, 0xFF, 0xFF });
    return d.bytes();
}

class ImageOnly : public ::testing::Test {
protected:
    void SetUp() override { bg_set_real_disks(0); }
    void TearDown() override { bg_set_real_disks(1); }
    salvor_test::TempDir dir;
};

TEST_F(ImageOnly, DeviceListIsCopiedOutAndReleased)
{
    const auto image = dir / "disk.img";
    salvor_test::write_file(image, fat_disk());
    DeviceListing listing = ListDevices({ image.string() });
    ASSERT_TRUE(listing.ok());
    ASSERT_EQ(listing.disks.size(), 1u);
    const DiskInfo& disk = listing.disks[0];
    EXPECT_EQ(disk.name, image.string());
    EXPECT_EQ(disk.size, 131072u * 512);
    EXPECT_EQ(disk.sector_size, 512u);
    EXPECT_EQ(disk.open_error, 0);
    ASSERT_EQ(disk.volumes.size(), 1u);
    EXPECT_EQ(disk.volumes[0].start, 2048u * 512);
    EXPECT_EQ(disk.volumes[0].size, 40000u * 512);
    EXPECT_EQ(disk.volumes[0].fs_code, BG_FS_FAT16);
    // Nothing stays behind: no device list, no registered image.
    EXPECT_EQ(bg_disk_list, nullptr);
    EXPECT_TRUE(ListDevices({}).disks.empty());

    // An image that cannot be opened names itself and its error; the images
    // registered before it are forgotten too.
    listing = ListDevices({ image.string(), (dir / "missing.img").string() });
    EXPECT_FALSE(listing.ok());
    EXPECT_EQ(listing.failed_image, (dir / "missing.img").string());
    EXPECT_EQ(listing.image_error, ENOENT);
    EXPECT_TRUE(listing.disks.empty());
    EXPECT_TRUE(ListDevices({}).disks.empty());
}

TEST_F(ImageOnly, PartitionToolsSearchAndExplainRefusals)
{
    auto bytes = fat_disk();
    const auto image = dir / "disk.img";
    salvor_test::write_file(image, bytes);
    {
        OpenedDisk disk(image.string());
        ASSERT_EQ(disk.refusal(), DiskRefusal::none);
        auto found = disk.tools()->Search();
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].number, 0u);
        EXPECT_EQ(found[0].start, 2048u * 512);
        EXPECT_EQ(found[0].size, 40000u * 512);
        EXPECT_EQ(found[0].fs_code, BG_FS_FAT16);
        EXPECT_TRUE(found[0].primary);

        // A backup file whose first record is not the master boot record.
        const auto backup = dir / "bad.bin";
        std::vector<uint8_t> record(kBackupRecordBytes, 0);
        record[0] = 1; // offset 1
        salvor_test::write_file(backup, record);
        int fd = ::open(backup.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        BackupCheck check = disk.tools()->CheckBackup(fd);
        ::close(fd);
        EXPECT_EQ(check.fault, BackupFault::first_not_mbr);
        EXPECT_EQ(check.reason(), "its first record is not the master boot record (offset 0)");
    }
    EXPECT_TRUE(BackupFileSizeFits(72));
    EXPECT_TRUE(BackupFileSizeFits(25 * 72));
    EXPECT_FALSE(BackupFileSizeFits(0));
    EXPECT_FALSE(BackupFileSizeFits(26 * 72));
    EXPECT_FALSE(BackupFileSizeFits(100));

    // Dynamic and GPT disks are refused with the designed texts.
    for (uint8_t type : { 0x42, 0xEE }) {
        bytes[446 + 4] = type;
        salvor_test::write_file(image, bytes);
        OpenedDisk disk(image.string());
        const DiskRefusal want = type == 0xEE ? DiskRefusal::gpt_disk : DiskRefusal::dynamic_disk;
        EXPECT_EQ(disk.refusal(), want);
        EXPECT_EQ(disk.tools(), nullptr);
        EXPECT_STREQ(DiskRefusalText(disk.refusal()), type == 0xEE
                         ? "GPT disks are not supported by the partition rebuild"
                         : "Can not recover dynamic disks, please select another disk");
    }
    OpenedDisk missing((dir / "missing.img").string());
    EXPECT_EQ(missing.refusal(), DiskRefusal::cannot_open);
    EXPECT_EQ(missing.error(), ENOENT);
}

// The engine keeps one search: a tools object that did not make it (a
// backup or a restore on the side) neither frees it nor writes a table from
// it, so the searching object can still rebuild afterwards.
TEST_F(ImageOnly, OnlyTheSearchingToolsRebuildFromTheSearch)
{
    auto bytes = fat_disk();
    std::fill(bytes.begin() + 446, bytes.begin() + 510, 0);
    const auto image = dir / "disk.img";
    salvor_test::write_file(image, bytes);
    OpenedDisk disk(image.string());
    ASSERT_EQ(disk.refusal(), DiskRefusal::none);
    PartitionTools& searching = *disk.tools();
    ASSERT_EQ(searching.Search().size(), 1u);
    {
        PartitionTools other(bg_disk_list->disk);
        EXPECT_FALSE(other.Rebuild());
        EXPECT_EQ(salvor_test::read_file(image), bytes);
    }
    ASSERT_TRUE(searching.Rebuild());
    const auto after = salvor_test::read_file(image);
    EXPECT_EQ(after[446 + 4], 0x06);
    EXPECT_EQ(after[446 + 8] | after[446 + 9] << 8, 2048);

    // A second object's search takes the engine's results over; the first
    // can no longer write from them.
    std::fill(bytes.begin() + 446, bytes.begin() + 510, 0);
    salvor_test::write_file(image, bytes);
    PartitionTools second(bg_disk_list->disk);
    ASSERT_EQ(second.Search().size(), 1u);
    EXPECT_FALSE(searching.Rebuild());
    EXPECT_EQ(salvor_test::read_file(image), bytes);
}

} // namespace
