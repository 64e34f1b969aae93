// The machine's real disks, from /sys/block.
#include "internal.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace blockgate {

namespace {

std::string read_line(const fs::path& p)
{
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

uint64_t read_number(const fs::path& p)
{
    std::string s = read_line(p);
    try {
        return s.empty() ? 0 : std::stoull(s);
    } catch (...) {
        return 0;
    }
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Whole disks worth listing: SCSI/SATA/USB, NVMe namespaces, SD/MMC cards,
// virtio, old IDE, Xen, and loop devices that have a backing file.
bool wanted_disk(const fs::path& dir, const std::string& name)
{
    if (starts_with(name, "sd") || starts_with(name, "vd") || starts_with(name, "hd") || starts_with(name, "xvd"))
        return true;
    if (starts_with(name, "nvme"))
        return name.find('n', 4) != std::string::npos && name.find('c', 4) == std::string::npos;
    if (starts_with(name, "mmcblk"))
        return name.find("boot") == std::string::npos && name.find("rpmb") == std::string::npos;
    if (starts_with(name, "loop"))
        return !read_line(dir / "loop" / "backing_file").empty();
    return false;
}

} // namespace

std::vector<SysDisk> list_sys_disks(const std::string& sys_root)
{
    std::vector<SysDisk> disks;
    fs::path block = fs::path(sys_root) / "block";
    std::error_code ec;
    if (!fs::is_directory(block, ec))
        return disks;
    for (auto& entry : fs::directory_iterator(block, ec)) {
        std::string name = entry.path().filename().string();
        fs::path dir = entry.path();
        if (!wanted_disk(dir, name))
            continue;
        SysDisk d;
        d.name = name;
        d.dev = "/dev/" + name;
        // sysfs counts sizes and starts in 512-byte units whatever the sector size.
        d.size = read_number(dir / "size") * 512;
        uint64_t lbs = read_number(dir / "queue" / "logical_block_size");
        d.logical_block = lbs >= 512 && lbs <= 65536 ? uint32_t(lbs) : 512;
        std::vector<std::pair<uint64_t, std::string>> parts;
        for (auto& sub : fs::directory_iterator(dir, ec)) {
            if (!fs::exists(sub.path() / "partition", ec))
                continue;
            PartitionSpan span { read_number(sub.path() / "start") * 512, read_number(sub.path() / "size") * 512 };
            // Skip the 1 KiB stub that stands for an extended partition.
            if (span.length <= 1024)
                continue;
            d.partitions.push_back(span);
            d.partition_devs.push_back("/dev/" + sub.path().filename().string());
        }
        std::vector<size_t> order(d.partitions.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return d.partitions[a].start < d.partitions[b].start; });
        SysDisk sorted = d;
        for (size_t i = 0; i < order.size(); ++i) {
            sorted.partitions[i] = d.partitions[order[i]];
            sorted.partition_devs[i] = d.partition_devs[order[i]];
        }
        disks.push_back(std::move(sorted));
    }
    std::sort(disks.begin(), disks.end(), [](const SysDisk& a, const SysDisk& b) { return a.name < b.name; });
    return disks;
}

} // namespace blockgate
