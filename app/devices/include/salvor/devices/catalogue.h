// The device catalogue: pseudo drive letters, volume labels, disk display
// names, the device panel's entries and layout, the disk list of Partition
// Recovery with its descriptions, the dynamic/GPT test and resolving a pick.
#pragma once

#include <blockgate/blockgate.h>

#include <cstdint>
#include <string>
#include <vector>

namespace salvor {

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

struct DeviceEntry {
    int disk = -1;          // the disk's index for a volume entry, -1 for a disk header
    int index = 0;          // header: the disk's index; volume: its index within the disk
    std::string text;
    uint64_t size = 0;      // volumes only
    Rect rect;
    bool hand_cursor = true;
    bool pressed = false;
    bool selected = false;
    BgReader* disk_object = nullptr; // headers only
    BgVolume* volume = nullptr;      // volume entries only
};

struct DevicePanel {
    std::vector<DeviceEntry> entries;
    int height = 0;          // running height H of the last disk
    Rect content;            // (0, 0) to (730, H + 20)
    bool scroll_visible = false;
    int scroll_page = 0;
    int scroll_max = 0;
    int system_disk = -1;    // disk number holding the root file system, -1 when unknown
};

struct DiskDescription {
    std::string bus;
    std::string model;
};

// Gives letters from "CDEFGHIJKLMNOPQRSTUVWXYZ" to the volumes whose letter
// is '?', never a letter already in use, until the pool is empty.
void AssignPseudoLetters(BgVolumeNode* volumes);

// ":(NTFS )", ":(FAT32)", ... or ":(Unknown)".
const char* FileSystemLabel(int32_t fs_code);
// The drive letter followed by the file-system label.
std::string VolumeLabel(const BgVolume& volume);

// The name a disk is shown with: the image's file name, or the device path
// and the model ("/dev/sda (Samsung SSD)"). Unique within `disks`: a name
// that another disk already shows gets its disk number appended.
std::string DiskDisplayName(const BgReader& disk, const std::string& sysfs = "/sys");
std::vector<std::string> DiskDisplayNames(BgDiskNode* disks, const std::string& sysfs = "/sys");

// Device panel entries and layout. `system_disk_name` is the device path of
// the disk that holds the root file system (empty when unknown).
DevicePanel BuildDevicePanel(BgDiskNode* disks, BgVolumeNode* volumes, const std::string& system_disk_name,
                             const std::string& sysfs = "/sys");

// The disk that holds "/" ("/dev/sda"), from mountinfo and sysfs; empty when unknown.
std::string SystemDiskName(const std::string& mountinfo = "/proc/self/mountinfo", const std::string& sysfs = "/sys");

// Bus name and model of a disk ("sda"), read from sysfs and rendered the way
// a Windows disk enumeration value reads ("USBSTOR\Disk&Ven_Kingston&Prod_...").
DiskDescription DescribeDisk(const std::string& disk_name, const std::string& sysfs = "/sys");
// The enumeration value of a disk as DescribeDisk builds it (empty when sysfs has nothing).
std::string DiskEnumValue(const std::string& disk_name, const std::string& sysfs = "/sys");
// Bus name and model parsed from an enumeration value.
DiskDescription ParseDiskEnumValue(const std::string& value);

// The disk list rows of Partition Recovery: one per disk header.
struct DiskRow {
    std::string name;
    std::string bus;
    std::string model;
    BgReader* disk = nullptr;
};
std::vector<DiskRow> BuildDiskList(const DevicePanel& panel, const std::string& sysfs = "/sys");

// Dynamic disk (partition type 0x42) or GPT (0xEE) in the MBR: refused in
// Partition Recovery.
bool IsDynamicDisk(BgReader& disk);
bool IsDynamicSector(const uint8_t* sector512);

// The chosen volume of a selected volume entry: the first volume whose drive
// letter equals the label's first character. Null when none.
BgVolume* ResolveVolumePick(const DeviceEntry& entry, BgVolumeNode* volumes);
// The chosen disk of a disk-list row: the first disk whose display name
// equals the row's name (at most 100 characters). Null when none.
BgReader* ResolveDiskPick(const std::string& row_name, BgDiskNode* disks, const std::string& sysfs = "/sys");

} // namespace salvor
