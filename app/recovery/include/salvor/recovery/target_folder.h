// The folder a recovery writes into, held open by its descriptor. Every
// folder and file of a recovery is made relative to it, one name at a time,
// without following a symbolic link: whatever the target already holds, no
// recovered path can lead out of it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace salvor {

// An open folder below the target. Moves, never copies.
class TargetDir {
public:
    TargetDir() = default;
    TargetDir(int fd, std::string shown) : m_fd(fd), m_shown(std::move(shown)) {}
    ~TargetDir();
    TargetDir(TargetDir&& other) noexcept;
    TargetDir& operator=(TargetDir&& other) noexcept;
    TargetDir(const TargetDir&) = delete;
    TargetDir& operator=(const TargetDir&) = delete;

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // The folder's path, for status texts and messages.
    const std::string& shown() const { return m_shown; }

private:
    int m_fd = -1;
    std::string m_shown;
};

// What TargetFolder::CreateFile made.
struct CreatedFile {
    int fd = -1;      // open for writing, or -1
    int error = 0;    // errno of a failed creation; EEXIST: the name was there before this run
    std::string name; // the name tried last: the found name, or a numbered one
};

class TargetFolder {
public:
    TargetFolder() = default;
    ~TargetFolder();
    TargetFolder(const TargetFolder&) = delete;
    TargetFolder& operator=(const TargetFolder&) = delete;

    // Opens `path`, an existing folder. The path is the user's choice, so
    // links in it are followed; nothing below it ever is. False with the
    // reason when it cannot be opened.
    bool Open(const std::string& path, std::string& reason);
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }

    // The folder `components` below the target (each one a single name),
    // made where missing. A component that is a symbolic link (even to a
    // folder inside the target) or another non-folder refuses the path:
    // an invalid TargetDir and the reason. A component at which this run
    // already made a file takes the next numbered name instead, the same
    // one each time it is asked for.
    TargetDir OpenFolder(const std::vector<std::string>& components, std::string& reason);

    // Makes the folder `components` the target itself: later calls work
    // below it (a list pass writes into a folder named after the list).
    bool Enter(const std::vector<std::string>& components, std::string& reason);

    // Creates a new file (O_CREAT|O_EXCL, no link followed) for a found file
    // named `name` in `dir`. The first time this run asks for a name in a
    // folder, that name is taken; a name this run has already used there
    // (for a file written, skipped or failed, or for a folder) gives the
    // next free "stem (n).ext" instead, so two found files that clash are
    // both written. A name that exists already and was not made by this run
    // fails with EEXIST: it is left untouched and the file is skipped, so a
    // second run into the same folder writes nothing new.
    CreatedFile CreateFile(const TargetDir& dir, const std::string& name);

    // Removes a file that CreateFile made (a copy that failed or stopped).
    void RemoveFile(int dir_fd, const std::string& name);

    // Removes the folder `name` directly below the target when it is empty.
    void RemoveEmptyFolder(const std::string& name);

private:
    enum class Use { kFile, kFolder };
    int enter_one(int parent, const std::string& shown, const std::string& name, std::string& used,
                  std::string& reason);
    std::string key(int dir_fd, const std::string& name) const;
    bool made_here(int dir_fd, const std::string& name) const;

    int m_fd = -1;
    std::string m_path;
    // Names this run used, by folder (device and inode) and name.
    std::unordered_map<std::string, Use> m_used;
    // Files this run created (device, inode): on a target that folds case,
    // "A.TXT" finds "a.txt" of this run under another name.
    std::set<std::pair<dev_t, ino_t>> m_created;
};

// `name` numbered as the n-th file of that name: "stem (n).ext", the stem
// cut (on a character boundary) so the whole fits in 255 bytes.
std::string NumberedName(const std::string& name, unsigned n);

} // namespace salvor
