// Device catalogue: letters, labels, names, panel layout, descriptions, picks.
#include <salvor/devices/catalogue.h>

#include "memory_volume.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

namespace {

using namespace salvor;
using salvor_test::TempDir;
namespace fs = std::filesystem;

// Hand-made disk and volume lists, as blockgate hands them out.
struct Lists {
    std::deque<BgReader> disks;
    std::deque<BgVolume> volumes;
    std::vector<BgDiskNode> disk_nodes;
    std::vector<BgVolumeNode> volume_nodes;
    std::deque<std::string> names;

    void disk(int32_t number, const std::string& name)
    {
        names.push_back(name);
        BgReader r {};
        r.disk_number = number;
        r.name = names.back().c_str();
        r.bytes_per_sector = 512;
        disks.push_back(r);
    }
    void volume(int32_t disk, char letter, int32_t fs, uint64_t size = 1 << 20)
    {
        BgVolume v {};
        v.disk_number = disk;
        v.drive_letter = letter;
        v.fs_code = fs;
        v.size = size;
        volumes.push_back(v);
    }
    void link()
    {
        disk_nodes.resize(disks.size());
        for (size_t i = 0; i < disks.size(); ++i)
            disk_nodes[i] = BgDiskNode{i + 1 < disks.size() ? &disk_nodes[i + 1] : nullptr, &disks[i]};
        volume_nodes.resize(volumes.size());
        for (size_t i = 0; i < volumes.size(); ++i)
            volume_nodes[i] = BgVolumeNode{i + 1 < volumes.size() ? &volume_nodes[i + 1] : nullptr, &volumes[i]};
    }
    BgDiskNode* disk_list() { return disk_nodes.empty() ? nullptr : &disk_nodes[0]; }
    BgVolumeNode* volume_list() { return volume_nodes.empty() ? nullptr : &volume_nodes[0]; }
};

TEST(Catalogue, PseudoLettersSkipLettersInUse)
{
    Lists l;
    l.disk(0, "/dev/sda");
    l.volume(0, 'C', 4);
    l.volume(0, '?', 3);
    l.volume(0, 'E', 4);
    l.volume(0, '?', 6);
    l.link();
    AssignPseudoLetters(l.volume_list());
    EXPECT_EQ(l.volumes[0].drive_letter, 'C');
    EXPECT_EQ(l.volumes[1].drive_letter, 'D');
    EXPECT_EQ(l.volumes[2].drive_letter, 'E');
    EXPECT_EQ(l.volumes[3].drive_letter, 'F');
    EXPECT_EQ(VolumeLabel(l.volumes[1]), "D:(FAT32)");
    EXPECT_EQ(VolumeLabel(l.volumes[3]), "F:(EXT2 )");
    EXPECT_STREQ(FileSystemLabel(4), ":(NTFS )");
    EXPECT_STREQ(FileSystemLabel(10), ":(HFS+ )");
    EXPECT_STREQ(FileSystemLabel(42), ":(Unknown)");
}

TEST(Catalogue, PseudoLettersRunOutWithoutReuse)
{
    Lists l;
    l.disk(0, "/dev/sda");
    for (int i = 0; i < 30; ++i)
        l.volume(0, '?', 4);
    l.link();
    AssignPseudoLetters(l.volume_list());
    std::string given;
    for (const auto& v : l.volumes)
        given += v.drive_letter;
    EXPECT_EQ(given, "CDEFGHIJKLMNOPQRSTUVWXYZ??????");
}

TEST(Catalogue, PanelLayoutFiveVolumesTakeTwoRows)
{
    Lists l;
    l.disk(0, "/dev/sda");
    l.disk(1, "/images/card.img");
    for (int i = 0; i < 5; ++i)
        l.volume(0, '?', 4);
    l.volume(1, '?', 3);
    l.link();
    TempDir sys;
    DevicePanel p = BuildDevicePanel(l.disk_list(), l.volume_list(), "/dev/sda", sys.path().string());
    ASSERT_EQ(p.entries.size(), 8u);
    EXPECT_EQ(p.entries[0].disk, -1);
    EXPECT_EQ(p.entries[0].rect.top, 0);
    EXPECT_EQ(p.entries[0].rect.bottom, 30);
    // Fifth volume: second icon row, first column.
    EXPECT_EQ(p.entries[5].rect.left, 100);
    EXPECT_EQ(p.entries[5].rect.top, 30 + 80);
    EXPECT_EQ(p.entries[4].rect.left, 3 * 160 + 100);
    // The next disk's header lies 190 pixels below the first.
    EXPECT_EQ(p.entries[6].disk, -1);
    EXPECT_EQ(p.entries[6].rect.top, 190);
    EXPECT_EQ(p.entries[6].text, "card.img");
    EXPECT_EQ(p.entries[7].disk, 1);
    EXPECT_EQ(p.entries[7].text, "H:(FAT32)");
    EXPECT_EQ(p.system_disk, 0);
    EXPECT_EQ(p.height, 190 + 30 + 80);
    EXPECT_TRUE(p.scroll_visible);
    EXPECT_EQ(p.scroll_max, p.height + 20);
    // Picking an entry resolves to its volume.
    EXPECT_EQ(ResolveVolumePick(p.entries[7], l.volume_list()), &l.volumes[5]);
}

TEST(Catalogue, DisplayNamesAreUniqueAndResolveBack)
{
    Lists l;
    l.disk(0, "/a/disk.img");
    l.disk(1, "/b/disk.img");
    l.disk(2, "/dev/sdz");
    l.link();
    TempDir sys;
    fs::create_directories(sys / "block/sdz/device");
    salvor_test::write_file(sys / "block/sdz/device/model", {'U', 'l', 't', 'r', 'a', ' ', ' ', '\n'});
    auto names = DiskDisplayNames(l.disk_list(), sys.path().string());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "disk.img");
    EXPECT_NE(names[1], names[0]);
    EXPECT_EQ(names[2], "/dev/sdz (Ultra)");
    EXPECT_EQ(ResolveDiskPick(names[1], l.disk_list(), sys.path().string()), &l.disks[1]);
    EXPECT_EQ(ResolveDiskPick("nothing", l.disk_list(), sys.path().string()), nullptr);
}

TEST(Catalogue, DiskDescriptionFromSysfs)
{
    TempDir sys;
    const fs::path dev = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0";
    fs::create_directories(dev);
    auto put = [&](const char* name, const std::string& text) {
        salvor_test::write_file(dev / name, std::vector<uint8_t>(text.begin(), text.end()));
    };
    put("vendor", "Kingston\n");
    put("model", "DataTraveler    \n");
    put("rev", "1.00\n");
    fs::create_directories(sys / "block/sdb");
    fs::create_directory_symlink(dev, sys / "block/sdb/device");
    EXPECT_EQ(DiskEnumValue("sdb", sys.path().string()), "USBSTOR\\Disk&Ven_Kingston&Prod_DataTraveler&Rev_1.00\\0");
    DiskDescription d = DescribeDisk("sdb", sys.path().string());
    EXPECT_EQ(d.bus, "USBSTOR");
    EXPECT_EQ(d.model, "Ven:Kingston  Prod:DataTraveler");

    DiskDescription ide = ParseDiskEnumValue("IDE\\DiskWDC_WD5000AAKS___01.03B01\\5&1234");
    EXPECT_EQ(ide.bus, "IDE");
    EXPECT_EQ(ide.model, "WDC_WD5000AAKS");
    // Damaged values give what can be read, never more.
    EXPECT_EQ(ParseDiskEnumValue("USBSTOR\\Dis").model, "");
    EXPECT_EQ(ParseDiskEnumValue("").bus, "");
    EXPECT_EQ(DescribeDisk("sdq", sys.path().string()).bus, "");
}

TEST(Catalogue, DynamicAndGptDisksAreRefused)
{
    std::vector<uint8_t> disk(4096, 0);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    disk[450] = 0x07;
    {
        salvor_test::MemoryVolume v(disk);
        EXPECT_FALSE(IsDynamicDisk(*v.reader()));
    }
    disk[466] = 0x42;
    {
        salvor_test::MemoryVolume v(disk);
        EXPECT_TRUE(IsDynamicDisk(*v.reader()));
    }
    disk[466] = 0;
    disk[450] = 0xEE;
    {
        salvor_test::MemoryVolume v(disk);
        EXPECT_TRUE(IsDynamicDisk(*v.reader()));
    }
    // A disk shorter than one sector is judged on the zero-filled rest.
    salvor_test::MemoryVolume tiny(std::vector<uint8_t>(100, 0));
    EXPECT_FALSE(IsDynamicDisk(*tiny.reader()));
}

} // namespace
