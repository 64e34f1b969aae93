// The scan workers, the per-file-system drivers, the listings and the engine
// clean-up.
#pragma once

#include <salvor/scan/session.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace salvor {

// Deleted Recovery: empties the views, inserts the root node and runs the
// driver of the chosen volume's own file-system code. Returns the driver's
// result (1 tree built, 0 nothing), -1 when no driver handles the code.
int RunDeletedScan(ScanSession& session, LoadingState& loading, ProgressSink& progress);
// Format Recovery: as above with the session's file-system code (the user's choice).
int RunFormatScan(ScanSession& session, LoadingState& loading, ProgressSink& progress);
// Raw Recovery: root and category nodes, then the carving scan and the type
// nodes. Returns the number of items shown, -1 when carving is not built in
// or the volume cannot be read.
int RunRawScan(ScanSession& session, ProgressSink& progress);

// Whether a driver exists for the mode and file-system code in this build.
bool ScanSupported(RecoveryMode mode, int32_t fs_code);

// Appends the rows of the current folder to the list.
void FillResultList(ScanSession& session);

// Releases the engine state of the last scan when the scan-state flag is set.
void EngineCleanup(ScanSession& session);

// Individual drivers (root node) -> 1 when the tree was built, else 0.
int NtfsDeletedDriver(ScanSession& session, NodeId root, LoadingState& loading);
int NtfsFormatDriver(ScanSession& session, NodeId root, LoadingState& loading);
int FatDeletedDriver(ScanSession& session, NodeId root, LoadingState& loading);
int FatFormatDriver(ScanSession& session, NodeId root, LoadingState& loading);
int Ext2Driver(ScanSession& session, NodeId root, LoadingState& loading);
int Ext3Driver(ScanSession& session, NodeId root, LoadingState& loading, ProgressSink& progress);
int HfsPlusDriver(ScanSession& session, NodeId root, LoadingState& loading);

// Listings of the current folder.
void NtfsDeletedListing(ScanSession& session);
void NtfsFormatListing(ScanSession& session);
void FatListing(ScanSession& session);
void Ext2Listing(ScanSession& session);
void Ext3Listing(ScanSession& session);
void HfsPlusListing(ScanSession& session);
void RawListing(ScanSession& session);

// Names the listings show for an engine's file (item data of a row).
std::string Ext2RowName(void* file);
// A FAT entry's name as shown: first unit 0xE5 (the deletion mark) as '_'.
std::string FatEntryName(const void* entry);
std::string Ext3RowName(void* file);
std::string HfsPlusRowName(void* file);
// Raw Recovery: the type a type node stands for ("JPG(12)" -> "jpg").
std::string RawTypeOfNode(const std::string& text);

// Raw Recovery: fills the category nodes with the found types; returns the
// total item count.
uint64_t FillTypeNodes(ScanSession& session);

// Files per group node of the ext3 and HFS+ trees.
constexpr int kFilesPerGroup = 100;
// Bound on any engine chain walked, so a damaged (looping) chain ends.
constexpr size_t kMaxChain = size_t(1) << 24;

// The ext3 and HFS+ trees: the found files of a chain go into "Folder %d"
// nodes of kFilesPerGroup files each, every node carrying the first file of its
// group as item data; `next` steps along the chain.
template<typename File, typename Next>
void InsertFileGroups(ResultTree& tree, NodeId root, File* first, Next next)
{
    int group = 0;
    size_t in_group = 0;
    size_t guard = 0;
    for (File* f = first; f && guard < kMaxChain; f = next(f), ++guard) {
        if (in_group == 0) {
            char name[32];
            std::snprintf(name, sizeof name, "Folder %d", group++);
            NodeId node = tree.InsertNode(root, name, kImageFolder, kImageFolderSelected);
            if (!node)
                break;
            tree.SetItemData(node, reinterpret_cast<uintptr_t>(f));
        }
        in_group = (in_group + 1) % kFilesPerGroup;
    }
}

} // namespace salvor
