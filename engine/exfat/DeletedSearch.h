// Deleted-file search on an exFAT volume: a walk of the folder tree from the
// root that keeps deleted entry sets with their paths, and reads a kept
// file's data back.
#pragma once

#include "DirectorySet.h"
#include "Volume.h"

#include <fsprobe/exfat.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace fsprobe::exfat {

// Where the data of a stream lies: runs of clusters in file order, and the
// EXFAT_DATA_* flags that say how they were found.
struct DataLayout {
    struct Run {
        u32 first = 0;
        u32 count = 0;
    };
    std::vector<Run> runs;
    u8 flags = 0;
};

class DeletedSearch {
public:
    DeletedSearch() = default;
    ~DeletedSearch() { close(); }
    DeletedSearch(const DeletedSearch&) = delete;
    DeletedSearch& operator=(const DeletedSearch&) = delete;

    bool open(BgVolume* volume);
    ExfatDirNode* search(u32* file_count, u32* dir_count);
    bool read_file(const ExfatEntry* entry, void* buffer, u32 length, u64* position);
    void close();

    bool is_open() const { return m_open; }
    const Volume& volume() const { return m_volume; }
    const std::string& failure() const { return m_failure; }

    // The clusters of `size` bytes of data from `first`: contiguous with
    // `no_fat_chain`, else along the FAT chain (only through clusters free
    // in the bitmap unless `set_in_use`), else the first cluster and the
    // clusters free in the bitmap after it (a deleted set), else contiguous. Runs never leave
    // the cluster heap. With `check_in_use`, flags clusters a live object
    // holds now (for a deleted set).
    DataLayout data_layout(u32 first, u64 size, bool no_fat_chain, bool set_in_use, bool check_in_use);

    // At most this much of one directory is read.
    static constexpr u64 max_dir_read = 64ull * 1024 * 1024;
    // The clusters of one file checked against the bitmap: 64 GiB of
    // 4 KiB clusters. A larger size is damage or a file too large to matter
    // for the check.
    static constexpr u64 max_in_use_check = u64(1) << 24;
    // When a lost chain is replaced by the free clusters after the first,
    // at most this many clusters in use are stepped over.
    static constexpr u64 max_skipped_clusters = u64(1) << 22;
    // Folders nested deeper than this are kept but not walked.
    static constexpr size_t max_depth = 512;

private:
    struct Frame;

    std::vector<u8> read_runs(const DataLayout& layout, u64 bytes);
    ExfatEntry* make_entry(const FileSet& set, bool deleted, u64 entry_offset);
    ExfatDirNode* new_node(ExfatDirNode* parent, ExfatEntry* self, u32 cluster, bool deleted, bool root);
    void free_results();
    void progress(size_t index);
    const DataLayout& layout_of(const ExfatEntry* entry);

    Volume m_volume;
    bool m_open = false;
    std::string m_failure;
    ExfatDirNode* m_root = nullptr;
    ExfatDirNode* m_last = nullptr;
    u32 m_files = 0;
    u32 m_dirs = 0;
    std::unordered_set<u32> m_walked;
    // Root progress: entries before the end mark, next threshold, percent.
    size_t m_root_entries = 0;
    double m_threshold = 0.05;
    int m_percent = 0;
    // The layout of the file read last, kept across its chunks.
    const ExfatEntry* m_layout_entry = nullptr;
    DataLayout m_layout;
    std::vector<u64> m_run_starts;
};

} // namespace fsprobe::exfat
