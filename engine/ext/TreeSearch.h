// The ext3 family's engine: one open volume, the tree walk's result records
// (Ext3DirNode and Ext3Entry in tree mode, Ext3FoundFile in list mode), the
// chunked reader of list-mode files, and what is known of each found file
// beyond its record (the path of the folder that held its name, its inode's
// time stamps).
#pragma once

#include "FileStream.h"
#include "Volume.h"

#include <fsprobe/ext3.h>
#include <fsprobe/times.h>

#include <optional>
#include <string>
#include <unordered_map>

namespace fsprobe::ext {

class TreeSearch {
public:
    TreeSearch() = default;
    ~TreeSearch() { close(); }
    TreeSearch(const TreeSearch&) = delete;
    TreeSearch& operator=(const TreeSearch&) = delete;

    // Closes what was open (leaving list mode), then opens `volume`; false
    // leaves nothing open.
    bool open(BgVolume* volume);
    bool is_open() const { return m_volume.has_value(); }

    // Tree mode: frees the previous results and walks the tree; the root
    // node, or null when nothing is open or the root cannot be read.
    Ext3DirNode* search_tree();
    // List mode: the same walk; the first found file, or null. The accessors
    // stay in list mode until close().
    Ext3FoundFile* search_list();
    bool list_mode() const { return m_list_mode; }
    // The number of entries of a node of the last search, 0 for any other
    // pointer.
    u32 entry_count(const Ext3DirNode* node) const;

    // One chunk of a list-mode file (see ext3_readfile2); a null file resets
    // the reader.
    ChunkResult read_chunk(Ext3FoundFile* file, u64& position, u8* buffer);
    void reset_reader() { m_stream.reset(); }

    // The path of the live folder whose block held the file's name, relative
    // to the root ("" for the root, "docs/sub" below it); null for a record
    // that is not of the last list-mode search.
    const char* folder_of(const Ext3FoundFile* file) const;
    // The time stamps of the file's inode; nullopt as for folder_of.
    std::optional<FsprobeTimes> times_of(const Ext3FoundFile* file) const;

    void close();

private:
    class Builder;
    struct FoundInfo {
        InodeCopy inode {};
        FsprobeTimes times {};
        const std::string* folder = nullptr; // owned by m_folder_paths
    };

    bool run_walk();
    void free_results();

    std::optional<Volume> m_volume;
    Ext3DirNode* m_root = nullptr;
    Ext3FoundFile* m_list = nullptr;
    bool m_list_mode = false;
    FileStream m_stream;
    // Per node: its entry count and the path of its folder.
    std::unordered_map<const Ext3DirNode*, u32> m_entry_counts;
    std::unordered_map<const Ext3DirNode*, std::string> m_folder_paths;
    std::unordered_map<const Ext3FoundFile*, FoundInfo> m_found;
};

} // namespace fsprobe::ext
