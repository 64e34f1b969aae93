// The deleted-file search over an HFS+ catalog: live tree walk, free space of
// live leaves, unlinked nodes and the journal.
#pragma once

#include "BTree.h"

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace fsprobe::hfsplus {

// A catalog file record found outside the live tree.
struct Candidate {
    u32 file_id = 0;
    u32 parent_id = 0;
    std::string name; // UTF-8, '/' shown as ':'
    u64 logical_size = 0;
    u32 fork_blocks = 0;                    // total blocks of the data fork
    std::vector<ExtentDescriptor> extents;  // non-empty extents of the record itself
    u8 found_in = 0;
    // The record's dates (seconds since 1904, UTC; 0 when unset).
    u32 create_date = 0;
    u32 content_mod_date = 0;
    u32 attribute_mod_date = 0;
    u32 access_date = 0;
};

// A live folder's place in the tree: its parent's id and its name (UTF-8,
// '/' shown as ':' as in file names).
struct FolderLink {
    u32 parent_id = 0;
    std::string name;
};
using FolderLinks = std::unordered_map<u32, FolderLink>;

// The folder a live leaf record describes: a folder thread record (keyed by
// the folder's id, holding its parent and name) or a folder record (keyed by
// parent and name, holding the folder's id). nullopt for any other record or
// one whose name runs past the record.
struct LiveFolder {
    u32 folder_id = 0;
    FolderLink link;
    bool from_thread = false;
};
std::optional<LiveFolder> live_folder_link(ByteView node, const NodeRecord& record);

// Folders deeper than this below the root are not resolved.
constexpr u32 kMaxFolderDepth = 256;

// The path of folder `folder_id` from the root folder (id 2): names joined by
// '/', "" for the root itself. nullopt when a folder on the way is unknown,
// the chain loops or runs deeper than kMaxFolderDepth, or a name is empty,
// "." or "..". NUL characters in names become '_'.
std::optional<std::string> folder_path(const FolderLinks& folders, u32 folder_id);

// What a record must agree with to be taken as a file record.
struct CarveLimits {
    u32 block_size = 0;
    u32 total_blocks = 0;
    u32 next_catalog_id = 0; // 0 when the header's value is unusable
};

// The longest key plus a file record: the overlap needed between chunks.
constexpr u32 kMaxKeyedFileRecord = 2 + kCatalogKeyMaxLength + kFileRecordSize;

// Tries to read a catalog key followed by a file record at `offset`; every
// field is checked (key and name lengths, record type, ids, fork sizes and
// extents against the volume).
std::optional<Candidate> file_record_at(ByteView buffer, u64 offset, const CarveLimits& limits);

// Looks for file records starting at every even offset of [begin, end).
void carve_file_records(ByteView buffer, u64 begin, u64 end, const CarveLimits& limits, u8 found_in,
                        std::vector<Candidate>& out);

// The file id of a live leaf record when it is a file record.
std::optional<u32> live_file_id(ByteView node, const NodeRecord& record);

// Extents overflow records: (fork type, file id, first file block) -> eight
// extents. `live` holds the records of the live tree; `stale` the records a
// deleted file left in the overflow file's free node space and unlinked
// nodes, used only where no live record continues a fork.
using ExtentRecordMap = std::map<std::tuple<u8, u32, u32>, std::array<ExtentDescriptor, 8>>;
struct OverflowMap {
    ExtentRecordMap live;
    ExtentRecordMap stale;
    const std::array<ExtentDescriptor, 8>* find(u8 fork_type, u32 file_id, u32 start_block) const;
};

// Looks for extents overflow records (key length 10) at every even offset of
// [begin, end); each must name a user file, start past block 0 and list
// extents inside the volume.
void carve_extent_records(ByteView buffer, u64 begin, u64 end, const CarveLimits& limits, ExtentRecordMap& out);

// Completes a fork's extents from the overflow records until `needed_blocks`
// are mapped (or no record continues the fork), then trims the list to
// `needed_blocks`. Extents outside the volume end the list.
std::vector<ExtentDescriptor> complete_extents(const VolumeAccess& volume, const OverflowMap& overflow, u8 fork_type,
                                               u32 file_id, std::vector<ExtentDescriptor> extents, u64 needed_blocks);

struct ScanStats {
    u64 catalog_nodes = 0;     // nodes in the catalog tree
    u64 catalog_bytes = 0;     // catalog fork bytes in those nodes
    u64 catalog_nodes_read = 0;
    u64 journal_bytes_read = 0;
};

struct ScanResult {
    std::vector<Candidate> deleted; // unique file ids, none of a live file
    std::vector<u32> live_files;    // ids of the file records in the live tree
    FolderLinks folders;            // the live tree's folders by id
    ScanStats stats;
};

struct ScanHooks {
    std::function<void(double)> progress; // fraction of the work done, 0 to 1
    std::function<bool()> cancel;         // true: stop
};

// The whole search. nullopt when the catalog cannot be opened or the walk of
// the live tree was stopped (its result could not tell live from deleted).
std::optional<ScanResult> scan_catalog(const VolumeAccess& volume, const VolumeHeader& header, const ScanHooks& hooks);

} // namespace fsprobe::hfsplus
