// Deleted-file search on an intact FAT12/16/32 volume: a walk of the
// directory tree from the root that keeps deleted files and folders, and
// reads a kept file back as a contiguous run of clusters.
#pragma once

#include "FatVolume.h"

#include <fsprobe/fat.h>

#include <vector>

namespace fsprobe::fat {

class DeletedSearch {
public:
    DeletedSearch() = default;
    ~DeletedSearch() { close(); }
    DeletedSearch(const DeletedSearch&) = delete;
    DeletedSearch& operator=(const DeletedSearch&) = delete;

    bool open(BgVolume* volume);
    FatDirNode* search(u32* file_count, u32* dir_count);
    bool read_file(const FatEntry* entry, void* buffer, u32 length, u64* position);
    void close();

    bool is_open() const { return m_volume != nullptr; }
    const FatGeometry& geometry() const { return m_geometry; }

    // A directory buffer holds at most this much of one directory.
    static constexpr size_t dir_buffer_bytes = 1024 * 1024;
    // How far past a full cluster of a deleted directory its next cluster
    // is looked for.
    static constexpr u32 continuation_window = 64;
    // Free clusters are read in runs of at most this many bytes.
    static constexpr size_t lost_read_bytes = 1024 * 1024;
    // At most this much of lost directory clusters is kept for the listing.
    static constexpr size_t lost_keep_bytes = 64 * 1024 * 1024;

private:
    struct Frame;
    // A free, unvisited cluster judged to hold directory entries.
    struct LostPiece {
        u32 cluster = 0;
        bool first = false;        // starts with "." and ".."
        std::vector<u8> bytes;
        int next = -1;             // the piece that goes on where this one ends
        int tail = -1;             // a walked folder's tail that leads into this one
        bool has_prev = false;
        bool referenced = false;   // a folder entry of another piece points here
        bool used = false;
    };
    // Long-name slots ending a full directory cluster.
    struct LostTail {
        int piece = -1;            // -1: a folder the walk read
        u32 cluster = 0;           // the cluster it ends
        std::vector<u8> slots;
    };

    size_t read_root_area();
    size_t read_clusters(const std::vector<u32>& clusters);
    std::vector<u32> deleted_dir_clusters(u32 first);
    size_t read_bytes(u8* into, size_t length, u64 offset);
    bool visited(u32 n) const;
    void mark_visited(u32 n);
    bool follow_deleted_dir(u32 cluster);
    FatDirNode* new_node(FatDirNode* parent, u32 cluster, bool deleted, bool root);
    void free_results();
    void root_progress(size_t index);

    // After the walk: free clusters nothing visited that hold directory
    // entries become folders of their own, chained after the walked tree.
    bool collect_lost_pieces(std::vector<LostPiece>& pieces);
    void keep_tail(const u8* cluster, u32 number, int piece);
    void link_lost_pieces(std::vector<LostPiece>& pieces);
    void build_lost_folders(std::vector<LostPiece>& pieces);
    FatDirNode* build_lost_folder(std::vector<LostPiece>& pieces, size_t first, FatDirNode* parent, int depth);

    BgVolume* m_volume = nullptr;
    BgReader* m_reader = nullptr;
    FatGeometry m_geometry;
    FatTable m_fat;
    std::vector<u8> m_dir;
    std::vector<u8> m_cluster;
    std::vector<u8> m_probe;
    std::vector<u32> m_visited;
    // Live directories already walked: a live directory is entered once,
    // which ends folder loops and cross-linked folders in damaged trees.
    std::vector<u32> m_live_walked;
    FatDirNode* m_root = nullptr;
    FatDirNode* m_last = nullptr;
    u32 m_files = 0;
    u32 m_dirs = 0;
    // Root progress: entries in use, next threshold, percent reached.
    size_t m_root_in_use = 0;
    double m_threshold = 0.05;
    int m_percent = 0;
    // Long-name slots that end a full cluster of a deleted folder: the rest
    // of the name may lie in a cluster found later.
    std::vector<LostTail> m_tails;
};

} // namespace fsprobe::fat
