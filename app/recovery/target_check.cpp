// Refusal of a target folder on the source volume.
#include <salvor/recovery/target_check.h>

#include <fcntl.h>
#include <fstream>
#include <linux/loop.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace salvor {

namespace {

std::string read_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

// mountinfo escapes blanks and a few others as \ooo.
std::string unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            int v = 0;
            bool ok = true;
            for (size_t k = 1; k <= 3; ++k) {
                if (i + k >= s.size() || s[i + k] < '0' || s[i + k] > '7') {
                    ok = false;
                    break;
                }
                v = v * 8 + (s[i + k] - '0');
            }
            if (ok) {
                out += char(v);
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// The mount sources of the file system with device number `dev` (a file
// system mounted at several places is listed once per mount).
std::vector<std::string> mount_sources(dev_t dev, const std::string& mountinfo)
{
    std::vector<std::string> out;
    std::ifstream in(mountinfo);
    std::string line;
    const std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majmin;
        fields >> id >> parent >> majmin;
        if (majmin != want)
            continue;
        const size_t sep = line.find(" - ");
        if (sep == std::string::npos)
            continue;
        std::istringstream tail(line.substr(sep + 3));
        std::string fstype, source;
        tail >> fstype >> source;
        out.push_back(unescape(source));
    }
    return out;
}

// What a source is, independent of the path that named it: an image file by
// its device and inode, a block device by its device number.
struct Identity {
    bool block = false;
    dev_t dev = 0; // the file's file system (image) or the device itself (block)
    ino_t ino = 0;
};

bool same(const Identity& a, const struct stat& b)
{
    if (a.block)
        return S_ISBLK(b.st_mode) && b.st_rdev == a.dev;
    return S_ISREG(b.st_mode) && b.st_dev == a.dev && b.st_ino == a.ino;
}

// The directory of a block device in sysfs, for a partition its disk's.
std::string whole_device_dir(dev_t dev, const std::string& sysfs)
{
    const std::string base = sysfs + "/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    if (!read_line(base + "/partition").empty())
        return base + "/..";
    return base;
}

// A loop device (or a partition of one) backed by the source: the backing
// file as the loop driver holds it (device and inode, which survive a rename
// or another hard link), else the backing file's name in sysfs.
bool loop_backed_by(dev_t dev, const Identity& source, const std::string& sysfs)
{
    const std::string dir = whole_device_dir(dev, sysfs);
    const std::string backing = read_line(dir + "/loop/backing_file");
    if (backing.empty())
        return false; // not a loop device, or one without a file
    if (sysfs == "/sys") {
        const std::string whole = read_line(dir + "/dev");
        int fd = whole.empty() ? -1 : ::open(("/dev/block/" + whole).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            loop_info64 info {};
            const bool got = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
            ::close(fd);
            if (got && !source.block && dev_t(info.lo_device) == source.dev && ino_t(info.lo_inode) == source.ino)
                return true;
        }
    }
    struct stat b {};
    return ::stat(backing.c_str(), &b) == 0 && same(source, b);
}

} // namespace

bool TargetOnSource(const std::string& target, const std::string& source, const std::string& mountinfo,
                    const std::string& sysfs)
{
    struct stat t {}, s {};
    if (::stat(target.c_str(), &t) != 0 || ::stat(source.c_str(), &s) != 0)
        return false;
    Identity id;
    if (S_ISBLK(s.st_mode)) {
        id.block = true;
        id.dev = s.st_rdev;
        if (t.st_dev == s.st_rdev)
            return true;
        // A partition of the source disk, or the disk of a source partition.
        const std::string base = sysfs + "/dev/block/" + std::to_string(major(t.st_dev)) + ":" +
                                 std::to_string(minor(t.st_dev));
        const std::string parent_dev = read_line(base + "/../dev");
        const std::string source_dev = std::to_string(major(s.st_rdev)) + ":" + std::to_string(minor(s.st_rdev));
        if (!read_line(base + "/partition").empty() && parent_dev == source_dev)
            return true;
    } else {
        id.dev = s.st_dev;
        id.ino = s.st_ino;
    }
    // The target's file system: mounted from the source itself (a FUSE
    // mount names the image file), or from a loop device backed by it.
    for (const std::string& mounted : mount_sources(t.st_dev, mountinfo)) {
        struct stat m {};
        if (::stat(mounted.c_str(), &m) == 0 && same(id, m))
            return true;
        if (m.st_mode != 0 && S_ISBLK(m.st_mode) && loop_backed_by(m.st_rdev, id, sysfs))
            return true;
    }
    // A loop device that mountinfo does not name as such (a mount through
    // a device-mapper name or a renamed node): the target's device itself.
    if (major(t.st_dev) != 0 && loop_backed_by(t.st_dev, id, sysfs))
        return true;
    return false;
}

} // namespace salvor
