// Refusal of a target folder on the source volume.
#include <salvor/recovery/target_check.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace salvor {

namespace {

std::string real_path(const std::string& path)
{
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf))
        return buf;
    return path;
}

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

// The mount source of the file system with device number `dev`.
std::string mount_source(dev_t dev, const std::string& mountinfo)
{
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
        return unescape(source);
    }
    return {};
}

} // namespace

bool TargetOnSource(const std::string& target, const std::string& source, const std::string& mountinfo,
                    const std::string& sysfs)
{
    struct stat t {}, s {};
    if (::stat(target.c_str(), &t) != 0 || ::stat(source.c_str(), &s) != 0)
        return false;
    const std::string src = real_path(source);
    if (S_ISBLK(s.st_mode)) {
        if (t.st_dev == s.st_rdev)
            return true;
        // A partition of the source disk, or the disk of a source partition.
        const std::string base = sysfs + "/dev/block/" + std::to_string(major(t.st_dev)) + ":" +
                                 std::to_string(minor(t.st_dev));
        const std::string parent_dev = read_line(base + "/../dev");
        const std::string source_dev = std::to_string(major(s.st_rdev)) + ":" + std::to_string(minor(s.st_rdev));
        if (!read_line(base + "/partition").empty() && parent_dev == source_dev)
            return true;
    }
    const std::string mounted = mount_source(t.st_dev, mountinfo);
    if (mounted.empty())
        return false;
    if (real_path(mounted) == src)
        return true;
    // A loop device backed by the source image.
    if (mounted.rfind("/dev/loop", 0) == 0) {
        std::string name = mounted.substr(5);
        const size_t p = name.find('p');
        if (p != std::string::npos && p > 4)
            name = name.substr(0, p); // loop0p1 -> loop0
        const std::string backing = read_line(sysfs + "/block/" + name + "/loop/backing_file");
        if (!backing.empty() && real_path(backing) == src)
            return true;
    }
    return false;
}

} // namespace salvor
