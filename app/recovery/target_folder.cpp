// The target folder of a recovery: folders and files made relative to its
// descriptor, one name at a time, never through a symbolic link.
#include <salvor/recovery/target_folder.h>
#include <salvor/scan/text.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor {

namespace {

constexpr size_t kMaxName = 255;
// Numbered names tried for one found name before giving up.
constexpr unsigned kMaxNumber = 100000;

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

// A found name as a single path component: an empty one becomes "_"; one
// that could name another place (a separator, "." or "..") or is too long
// is refused. The scan drivers clean names already; this is the last guard.
bool component(const std::string& name, std::string& out)
{
    out = name.empty() ? "_" : name;
    return out.size() <= kMaxName && out != "." && out != ".." && out.find('/') == std::string::npos &&
           out.find('\0') == std::string::npos;
}

} // namespace

TargetDir::~TargetDir()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

TargetDir::TargetDir(TargetDir&& other) noexcept : m_fd(other.m_fd), m_shown(std::move(other.m_shown))
{
    other.m_fd = -1;
}

TargetDir& TargetDir::operator=(TargetDir&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        m_shown = std::move(other.m_shown);
        other.m_fd = -1;
    }
    return *this;
}

std::string NumberedName(const std::string& name, unsigned n)
{
    const std::string suffix = " (" + std::to_string(n) + ")";
    // The extension as a cut name keeps it: after a dot that does not start
    // the name, at most 32 bytes.
    const size_t dot = name.rfind('.');
    const bool has_ext = dot != std::string::npos && dot != 0 && name.size() - dot <= 32;
    const std::string ext = has_ext ? name.substr(dot) : std::string();
    std::string stem = has_ext ? name.substr(0, dot) : name;
    if (stem.size() + suffix.size() + ext.size() > kMaxName)
        stem = TruncateUtf8(stem, kMaxName - suffix.size() - ext.size());
    return stem + suffix + ext;
}

TargetFolder::~TargetFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TargetFolder::Open(const std::string& path, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        reason = "cannot open the target folder " + path + ": " + std::strerror(errno);
        return false;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_path = path;
    return true;
}

std::string TargetFolder::key(int dir_fd, const std::string& name) const
{
    struct stat st {};
    if (::fstat(dir_fd, &st) != 0)
        return {};
    std::string k(sizeof st.st_dev + sizeof st.st_ino, '\0');
    std::memcpy(k.data(), &st.st_dev, sizeof st.st_dev);
    std::memcpy(k.data() + sizeof st.st_dev, &st.st_ino, sizeof st.st_ino);
    return k + name;
}

bool TargetFolder::made_here(int dir_fd, const std::string& name) const
{
    struct stat st {};
    return ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           m_created.count({st.st_dev, st.st_ino});
}

// Opens (making it when missing) the folder `name` in `parent`; -1 with the
// reason when the place is a link or no folder. `used` receives the name
// taken, numbered when this run made a file of that name there.
int TargetFolder::enter_one(int parent, const std::string& shown, const std::string& name, std::string& used,
                            std::string& reason)
{
    std::string base;
    if (!component(name, base)) {
        reason = joined(shown, name) + ": not a valid folder name";
        return -1;
    }
    for (unsigned n = 1; n <= kMaxNumber; ++n) {
        used = n == 1 ? base : NumberedName(base, n);
        const std::string k = key(parent, used);
        if (k.empty()) {
            reason = shown + ": " + std::strerror(errno);
            return -1;
        }
        auto it = m_used.find(k);
        if (it != m_used.end() && it->second == Use::kFile)
            continue; // a file of this run holds the name: the folder takes the next
        m_used.emplace(k, Use::kFolder);
        if (::mkdirat(parent, used.c_str(), 0755) != 0 && errno != EEXIST) {
            reason = joined(shown, used) + ": " + std::strerror(errno);
            return -1;
        }
        const int fd = ::openat(parent, used.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        const int err = errno;
        struct stat st {};
        if (::fstatat(parent, used.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) {
                reason = joined(shown, used) + " is a symbolic link: not followed";
                return -1;
            }
            if (!S_ISDIR(st.st_mode)) {
                if (S_ISREG(st.st_mode) && m_created.count({st.st_dev, st.st_ino}))
                    continue; // this run's file under a name that differs only in case
                reason = joined(shown, used) + " is not a folder";
                return -1;
            }
        }
        reason = joined(shown, used) + ": " + std::strerror(err);
        return -1;
    }
    reason = joined(shown, base) + ": no free name";
    return -1;
}

TargetDir TargetFolder::OpenFolder(const std::vector<std::string>& components, std::string& reason)
{
    if (m_fd < 0) {
        reason = "no target folder";
        return {};
    }
    TargetDir dir(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0), m_path);
    if (!dir.valid()) {
        reason = m_path + ": " + std::strerror(errno);
        return {};
    }
    for (const auto& name : components) {
        std::string used;
        const int fd = enter_one(dir.fd(), dir.shown(), name, used, reason);
        if (fd < 0)
            return {};
        dir = TargetDir(fd, joined(dir.shown(), used));
    }
    return dir;
}

bool TargetFolder::Enter(const std::vector<std::string>& components, std::string& reason)
{
    TargetDir dir = OpenFolder(components, reason);
    if (!dir.valid())
        return false;
    const int fd = ::fcntl(dir.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        reason = dir.shown() + ": " + std::strerror(errno);
        return false;
    }
    ::close(m_fd);
    m_fd = fd;
    m_path = dir.shown();
    return true;
}

CreatedFile TargetFolder::CreateFile(const TargetDir& dir, const std::string& name)
{
    CreatedFile out;
    std::string base;
    if (!dir.valid()) {
        out.error = EBADF;
        return out;
    }
    if (!component(name, base)) {
        out.name = name;
        out.error = EINVAL;
        return out;
    }
    for (unsigned n = 1; n <= kMaxNumber; ++n) {
        out.name = n == 1 ? base : NumberedName(base, n);
        const std::string k = key(dir.fd(), out.name);
        if (k.empty()) {
            out.error = errno;
            return out;
        }
        if (!m_used.emplace(k, Use::kFile).second)
            continue; // this run used the name already
        out.fd = ::openat(dir.fd(), out.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (out.fd >= 0) {
            struct stat st {};
            if (::fstat(out.fd, &st) == 0)
                m_created.insert({st.st_dev, st.st_ino});
            return out;
        }
        out.error = errno;
        if (out.error == EEXIST && made_here(dir.fd(), out.name))
            continue; // this run's file under a name that differs only in case
        return out;
    }
    out.error = EEXIST;
    return out;
}

void TargetFolder::RemoveFile(int dir_fd, const std::string& name)
{
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        m_created.erase({st.st_dev, st.st_ino});
    ::unlinkat(dir_fd, name.c_str(), 0);
}

void TargetFolder::RemoveEmptyFolder(const std::string& name)
{
    std::string base;
    if (m_fd >= 0 && component(name, base))
        ::unlinkat(m_fd, base.c_str(), AT_REMOVEDIR); // fails on a folder that holds anything
}

} // namespace salvor
