// What a scan and its listings work on: the chosen source, the engine that
// scans it, what it found, and the result views made from that.
#pragma once

#include <salvor/scan/engine.h>
#include <salvor/scan/result_model.h>

#include <memory>
#include <string>
#include <vector>

namespace salvor {

struct ScanSession {
    ScanSession(ResultTree& t, ResultList& l) : tree(t), list(l) {}

    ResultTree& tree;
    ResultList& list;
    RecoveryMode mode = kModeDeleted;
    // The file-system code of the scan: the chosen volume's own code in
    // Deleted Recovery, the user's choice in Format Recovery.
    BgFsCode fs_code = BG_FS_UNKNOWN;
    BgVolume* volume = nullptr;
    // Text of the root node (the volume label of the catalogue).
    std::string source_label;
    // The folder node whose files the list shows.
    NodeId current_folder = 0;
    RawSelection raw;
    // The engine of the last scan; it holds its state until the clean-up.
    std::unique_ptr<Engine> engine;
    // What the last scan found; the tree's nodes stand for its folders
    // (item data: folder index + 1), the list's rows for its files (item
    // data: file index + 1).
    ScanResult result;
    // Why the last scan could not read the volume ("" when it could): a scan
    // that found nothing and a scan that could not look are told apart.
    std::string failure;

    // The found file a row's item data stands for, or null.
    const FoundFile* FileOfItem(uintptr_t item) const
    {
        return item >= 1 && item <= result.files.size() ? &result.files[item - 1] : nullptr;
    }
    // The folder a tree node stands for, or -1.
    int64_t FolderOfNode(NodeId node) const
    {
        const uintptr_t data = node ? tree.ItemData(node) : 0;
        return data >= 1 && data <= result.folders.size() ? int64_t(data - 1) : -1;
    }
};

} // namespace salvor
