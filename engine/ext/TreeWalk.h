// The directory-tree walk of ext3 (and ext2) volumes. From the root, every
// live directory is walked block by block; inside each block the walk steps
// from entry to entry by the entry's own length (8 bytes plus the name rounded
// up to 4) rather than by its record length, so that entries left in the slack
// of a record by a deletion are visited as well.
#pragma once

#include "Volume.h"

#include <optional>
#include <string>
#include <vector>

namespace fsprobe::ext {

struct WalkEntry {
    u32 inode_number = 0;
    InodeCopy inode {};
    FsprobeTimes times {}; // from the whole on-disk inode
    std::string name;      // as stored, with '/' and NUL bytes replaced by '_'
    u8 file_type = 0;      // 1 regular file, 2 directory, 7 symbolic link
    bool is_directory = false;
};

// Receives the walk's results. Directory handles are the sink's own.
class TreeSink {
public:
    virtual ~TreeSink() = default;
    // A directory about to be walked (the root first, with parent null and an
    // empty name). Returns the handle passed with its entries.
    virtual void* begin_directory(void* parent, const std::string& name, u32 inode_number) = 0;
    // A live subdirectory (is_directory) or a deleted non-directory of `directory`.
    virtual void add_entry(void* directory, const WalkEntry& entry) = 0;
};

// Directories deeper than this are recorded but not descended into.
inline constexpr size_t kMaxWalkDepth = 256;
// At most this much of a directory is read.
inline constexpr u64 kMaxDirectoryBytes = 512 * 1024;

// Reads the data of a directory inode (mode class directory) up to
// kMaxDirectoryBytes, in whole blocks; nullopt when it is not a directory or a
// block cannot be read.
std::optional<std::vector<u8>> read_directory(const Volume& volume, const u8* inode);

// Walks the tree from the root inode. False when the root cannot be read.
bool walk_tree(const Volume& volume, TreeSink& sink);

} // namespace fsprobe::ext
