// The device catalogue.
#include <salvor/devices/catalogue.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace salvor {

namespace {

std::string read_trimmed(const std::string& path)
{
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t'))
        s.pop_back();
    size_t start = s.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : s.substr(start);
}

std::string real_path(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// "/dev/sda" -> "sda"; anything else (an image) -> "".
std::string device_base(const std::string& path)
{
    if (path.rfind("/dev/", 0) != 0)
        return {};
    return path.substr(5);
}

std::string registry_text(std::string s)
{
    for (char& c : s)
        if (c == ' ')
            c = '_';
    return s;
}

} // namespace

void AssignPseudoLetters(BgVolumeNode* volumes)
{
    std::string pool = "CDEFGHIJKLMNOPQRSTUVWXYZ";
    for (BgVolumeNode* v = volumes; v; v = v->next) {
        const char letter = v->volume->drive_letter;
        pool.erase(std::remove(pool.begin(), pool.end(), letter), pool.end());
    }
    for (BgVolumeNode* v = volumes; v && !pool.empty(); v = v->next) {
        if (v->volume->drive_letter != '?')
            continue;
        v->volume->drive_letter = pool.front();
        pool.erase(pool.begin());
    }
}

const char* FileSystemLabel(int32_t fs_code)
{
    switch (fs_code) {
    case BG_FS_FAT12: return ":(FAT12)";
    case BG_FS_FAT16: return ":(FAT16)";
    case BG_FS_FAT32: return ":(FAT32)";
    case BG_FS_NTFS: return ":(NTFS )";
    case BG_FS_EXFAT: return ":(exFAT)";
    case BG_FS_EXT2: return ":(EXT2 )";
    case BG_FS_EXT3: return ":(EXT3 )";
    case BG_FS_EXT4: return ":(EXT4 )";
    case BG_FS_HFS: return ":(HFS )";
    case BG_FS_HFSPLUS: return ":(HFS+ )";
    default: return ":(Unknown)";
    }
}

std::string VolumeLabel(const BgVolume& volume)
{
    return std::string(1, volume.drive_letter) + FileSystemLabel(volume.fs_code);
}

std::string DiskDisplayName(const BgReader& disk, const std::string& sysfs)
{
    const std::string path = disk.name ? disk.name : "";
    const std::string base = device_base(path);
    if (base.empty()) {
        const size_t slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }
    const std::string model = read_trimmed(sysfs + "/block/" + base + "/device/model");
    return model.empty() ? path : path + " (" + model + ")";
}

std::vector<std::string> DiskDisplayNames(BgDiskNode* disks, const std::string& sysfs)
{
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (BgDiskNode* d = disks; d; d = d->next) {
        std::string name = DiskDisplayName(*d->disk, sysfs);
        if (!seen.insert(name).second) {
            name += " #" + std::to_string(int32_t(d->disk->disk_number));
            seen.insert(name);
        }
        names.push_back(name);
    }
    return names;
}

DevicePanel BuildDevicePanel(BgDiskNode* disks, BgVolumeNode* volumes, const std::string& system_disk_name,
                             const std::string& sysfs)
{
    DevicePanel panel;
    AssignPseudoLetters(volumes);
    const std::vector<std::string> names = DiskDisplayNames(disks, sysfs);
    int h = 0, k = 0;
    size_t name_index = 0;
    for (BgDiskNode* d = disks; d; d = d->next, ++name_index) {
        BgReader* disk = d->disk;
        const int32_t number = disk->disk_number;
        if (number == 16)
            continue;
        DeviceEntry header;
        header.disk = -1;
        header.index = k;
        header.text = names[name_index];
        header.rect = Rect{40, h, 390, h + 30};
        header.disk_object = disk;
        panel.entries.push_back(header);
        h += 30;
        if (!system_disk_name.empty() && disk->name && system_disk_name == disk->name)
            panel.system_disk = number;
        int i = 0;
        for (BgVolumeNode* v = volumes; v; v = v->next) {
            BgVolume* vol = v->volume;
            if (vol->disk_number != number)
                continue;
            DeviceEntry e;
            e.disk = k;
            e.index = i;
            e.size = vol->size;
            e.text = VolumeLabel(*vol);
            e.volume = vol;
            const int left = (i % 4) * 160 + 100;
            const int top = h + (i / 4) * 80;
            e.rect = Rect{left, top, left + 60, top + 60};
            panel.entries.push_back(e);
            ++i;
        }
        if (i > 0)
            h += ((i - 1) / 4) * 80 + 80;
        ++k;
    }
    panel.height = h;
    panel.content = Rect{0, 0, 730, h + 20};
    if (h >= 241) {
        panel.scroll_visible = true;
        panel.scroll_page = 240;
        panel.scroll_max = h + 20;
    }
    return panel;
}

std::string SystemDiskName(const std::string& mountinfo, const std::string& sysfs)
{
    std::ifstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, majmin, root, mount_point;
        f >> id >> parent >> majmin >> root >> mount_point;
        if (mount_point != "/")
            continue;
        const std::string dev = real_path(sysfs + "/dev/block/" + majmin);
        if (dev.empty())
            return {};
        // A partition's folder lies inside its disk's folder.
        std::string disk_dir = dev;
        struct stat st {};
        if (::stat((dev + "/partition").c_str(), &st) == 0)
            disk_dir = dev.substr(0, dev.find_last_of('/'));
        return "/dev/" + disk_dir.substr(disk_dir.find_last_of('/') + 1);
    }
    return {};
}

std::string DiskEnumValue(const std::string& disk_name, const std::string& sysfs)
{
    const std::string dev = sysfs + "/block/" + disk_name + "/device";
    const std::string where = real_path(dev);
    const std::string vendor = registry_text(read_trimmed(dev + "/vendor"));
    const std::string model = registry_text(read_trimmed(dev + "/model"));
    const std::string rev = registry_text(read_trimmed(dev + "/rev"));
    if (where.empty() && model.empty())
        return {};
    std::string bus = "SCSI";
    if (where.find("/usb") != std::string::npos)
        bus = "USBSTOR";
    else if (where.find("/ata") != std::string::npos)
        bus = "IDE";
    else if (disk_name.rfind("nvme", 0) == 0)
        bus = "NVME";
    else if (disk_name.rfind("mmcblk", 0) == 0)
        bus = "SD";
    else if (where.find("/virtio") != std::string::npos)
        bus = "VIRTIO";
    if (bus == "IDE")
        return bus + "\\Disk" + model + "___" + rev + "\\0";
    return bus + "\\Disk&Ven_" + vendor + "&Prod_" + model + "&Rev_" + rev + "\\0";
}

DiskDescription ParseDiskEnumValue(const std::string& value)
{
    DiskDescription d;
    const size_t sep = value.find('\\');
    if (sep == std::string::npos)
        return d;
    d.bus = value.substr(0, sep);
    if (d.bus == "IDE") {
        if (value.size() < d.bus.size() + 5)
            return d;
        const std::string rest = value.substr(d.bus.size() + 5);
        d.model = rest.substr(0, rest.find("___"));
        return d;
    }
    if (value.size() < d.bus.size() + 10)
        return d;
    std::string rest = value.substr(d.bus.size() + 10);
    const size_t prod = rest.find("&Prod_");
    const std::string vendor = rest.substr(0, prod);
    d.model = "Ven:" + vendor + "  Prod:";
    if (prod != std::string::npos) {
        rest = rest.substr(prod + 6);
        d.model += rest.substr(0, rest.find("&Rev"));
    }
    return d;
}

DiskDescription DescribeDisk(const std::string& disk_name, const std::string& sysfs)
{
    const std::string value = DiskEnumValue(disk_name, sysfs);
    return value.empty() ? DiskDescription{} : ParseDiskEnumValue(value);
}

std::vector<DiskRow> BuildDiskList(const DevicePanel& panel, const std::string& sysfs)
{
    std::vector<DiskRow> rows;
    for (const auto& e : panel.entries) {
        if (e.disk != -1)
            continue;
        DiskRow row;
        row.name = e.text;
        row.disk = e.disk_object;
        const std::string base = e.disk_object && e.disk_object->name ? device_base(e.disk_object->name) : "";
        if (!base.empty()) {
            DiskDescription d = DescribeDisk(base, sysfs);
            row.bus = d.bus;
            row.model = d.model;
        }
        rows.push_back(row);
    }
    return rows;
}

bool IsDynamicSector(const uint8_t* sector)
{
    for (int offset : {450, 466, 482, 498})
        if (sector[offset] == 0x42 || sector[offset] == 0xEE)
            return true;
    return false;
}

bool IsDynamicDisk(BgReader& disk)
{
    uint32_t bytes = disk.bytes_per_sector;
    if (bytes < 512 || bytes > 65536)
        bytes = 512;
    std::vector<uint8_t> sector(bytes, 0);
    if (disk.read)
        disk.read(&disk, sector.data(), bytes, 0);
    return IsDynamicSector(sector.data());
}

BgVolume* ResolveVolumePick(const DeviceEntry& entry, BgVolumeNode* volumes)
{
    if (entry.text.empty())
        return nullptr;
    for (BgVolumeNode* v = volumes; v; v = v->next)
        if (v->volume->drive_letter == entry.text[0])
            return v->volume;
    return nullptr;
}

BgReader* ResolveDiskPick(const std::string& row_name, BgDiskNode* disks, const std::string& sysfs)
{
    const std::string name = row_name.substr(0, 100);
    const std::vector<std::string> names = DiskDisplayNames(disks, sysfs);
    size_t i = 0;
    for (BgDiskNode* d = disks; d; d = d->next, ++i)
        if (names[i] == name)
            return d->disk;
    return nullptr;
}

} // namespace salvor
