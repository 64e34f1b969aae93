// What a scan and its listings work on: the chosen source, the result views
// and the state the drivers leave for the listings and the recovery passes.
#pragma once

#include <salvor/scan/result_model.h>

#include <blockgate/blockgate.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace salvor {

enum RecoveryMode : int {
    kModeDeleted = 1,
    kModeFormat = 2,
    kModePartition = 3,
    kModeRaw = 4,
};

// Raw categories, in the order their nodes are made.
enum RawCategory : int { kPhoto = 0, kMusic = 1, kVideo = 2, kOthers = 3 };

struct RawSelection {
    bool photo = true;
    bool music = true;
    bool video = true;
    bool others = true;
    bool enabled(int category) const
    {
        switch (category) {
        case kPhoto: return photo;
        case kMusic: return music;
        case kVideo: return video;
        case kOthers: return others;
        default: return false;
        }
    }
};

struct ScanSession {
    ScanSession(ResultTree& t, ResultList& l) : tree(t), list(l) {}

    ResultTree& tree;
    ResultList& list;
    RecoveryMode mode = kModeDeleted;
    // The file-system code of the scan: the chosen volume's own code in
    // Deleted Recovery, the user's choice in Format Recovery.
    int32_t fs_code = 0;
    BgVolume* volume = nullptr;
    // Text of the root node (the volume label of the catalogue).
    std::string source_label;
    // The folder node whose files the list shows.
    NodeId current_folder = 0;
    // Head of the NTFS result list (NtfsFileInfo* or NtfsFormatInfo*).
    void* ntfs_head = nullptr;
    // Folder node of each placed NTFS record. Kept here rather than in the
    // records, whose placement field is 32 bits wide and cannot hold a node
    // handle of a 64-bit program.
    std::unordered_map<const void*, NodeId> ntfs_placement;
    // The placed records of each folder node, in list order: made from
    // ntfs_placement by the first listing that needs it, so that listing
    // every folder walks the result list once rather than once per folder.
    // Made again when the list head or the number of placed records changes.
    struct NtfsFolderIndex {
        const void* head = nullptr;
        size_t placed = 0;
        std::unordered_map<NodeId, std::vector<const void*>> records;
    } ntfs_index;
    // Raw Recovery: the category nodes of this scan (0 when not made).
    NodeId category_node[4] = {0, 0, 0, 0};
    RawSelection raw;
    uint64_t raw_totals[4] = {0, 0, 0, 0};
    // Why the last scan could not read the volume ("" when it could): a scan
    // that found nothing and a scan that could not look are told apart.
    std::string failure;
    // Set once an engine holds scan state; the clean-up clears it.
    std::atomic<int32_t> scan_state{0};
    // The file-system code the engine clean-up works on (fixed by the scan).
    int32_t cleanup_fs_code = 0;
    RecoveryMode cleanup_mode = kModeDeleted;
};

} // namespace salvor
