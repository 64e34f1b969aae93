// The ext2 family's engine: one open volume, the deleted-inode scan's result
// records (Ext2Group, Ext2LostFile) and what is known of each found file
// beyond them (its inode's time stamps and, once asked for, a surviving
// directory entry that still names it).
#pragma once

#include "Volume.h"

#include <fsprobe/ext2.h>
#include <fsprobe/times.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace fsprobe::ext {

class LostFileSearch {
public:
    LostFileSearch() = default;
    ~LostFileSearch() { close(); }
    LostFileSearch(const LostFileSearch&) = delete;
    LostFileSearch& operator=(const LostFileSearch&) = delete;

    // Closes what was open, then opens `volume`; false leaves nothing open.
    bool open(BgVolume* volume);
    bool is_open() const { return m_volume.has_value(); }
    // The block size, 0 when nothing is open.
    u32 block_size() const { return m_volume ? m_volume->block_size() : 0; }

    // Frees the previous results and scans the inode tables; `progress` as in
    // scan_lost_files. Returns the first group, null when nothing is open.
    Ext2Group* search(std::atomic<int32_t>& progress);

    // Reads the first `count` bytes (at most one block) of block `block` into
    // `buffer`; false for a block that is not a data block of the volume.
    bool read_block(u64 block, u64 count, void* buffer, u64& got) const;

    // The folder (relative to the root, "" for the root itself) and name of
    // a surviving directory entry that still names the file's inode; null for
    // both when no entry does or `file` is not a record of the last search.
    // The first call walks the directory tree once.
    const char* folder_of(const Ext2LostFile* file);
    const char* name_of(const Ext2LostFile* file);
    // The time stamps of the file's inode; nullopt for a record not of the
    // last search.
    std::optional<FsprobeTimes> times_of(const Ext2LostFile* file) const;

    void close();

private:
    class Builder;
    class NameFinder;
    struct FileInfo {
        u32 inode_number = 0;
        FsprobeTimes times {};
        bool named = false;
        std::string folder;
        std::string name;
    };

    void free_results();
    void find_names();

    std::optional<Volume> m_volume;
    Ext2Group* m_head = nullptr;
    std::unordered_map<const Ext2LostFile*, FileInfo> m_info;
    bool m_names_found = false;
};

} // namespace fsprobe::ext
