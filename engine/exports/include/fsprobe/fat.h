// fsprobe FAT family: deleted files and folders of an intact FAT12, FAT16 or
// FAT32 volume, and the folder trees of a FAT volume that was formatted again.
//
// One volume at a time: each half keeps process-wide state. Call order:
//   fat_init -> fat_searchfile -> fat_readfile ... -> fat_exit
// and for a formatted volume:
//   fat_fmtRec_init -> fat_fmtRec_search -> fat_fmtRec_readfile ... -> fat_fmtRec_exit
// (fat_fmtStop may be called from another thread between init and exit).
//
// Records crossing the boundary are packed and little-endian. Address fields
// are pointer-sized; every other field keeps its width and order. The sizes
// and offsets are checked below. Every record and array belongs to the engine
// and stays valid until the matching exit call.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// One directory entry kept by a search: a deleted file or folder, a live
// folder, or any entry of a deleted or lost folder. Allocated with
// sizeof(FatEntry) + 2 * (name units + 1) bytes, zero-filled.
struct [[gnu::packed]] FatEntry {
    // 0x00 0 in deleted-file search. Format recovery: the number (from 1) of
    // the old geometry the entry was found with; fat_fmtRec_readfile reads
    // with it. Not for the caller to change.
    uint32_t geometry;
    uint32_t first_cluster;  // 0x04 high word from entry offset 20 (FAT32 and lost trees), low word from offset 26
    uint32_t size;           // 0x08 entry offset 28, bytes
    uint16_t seconds2;       // 0x0C creation seconds / 2 (as FAT stores it); 0 in format recovery
    uint16_t minute;         // 0x0E 0 in format recovery
    uint16_t hour;           // 0x10 0 in format recovery
    uint16_t day;            // 0x12 1-31; 0 in format recovery
    uint16_t month;          // 0x14 1-12; 0 in format recovery
    uint16_t year;           // 0x16 year - 1980; 0 in format recovery
    uint8_t is_directory;    // 0x18 1 directory, 0 file
    uint8_t reserved;        // 0x19 0
    // 0x1A UTF-16 name, zero-terminated: the long name when one precedes the
    // entry, else the 8.3 name. A deleted entry's 8.3 name starts with the
    // unit 0x00E5 (the deletion mark); the caller may replace that unit.
    char16_t name[];
};
static_assert(offsetof(FatEntry, first_cluster) == 0x04);
static_assert(offsetof(FatEntry, size) == 0x08);
static_assert(offsetof(FatEntry, seconds2) == 0x0C);
static_assert(offsetof(FatEntry, year) == 0x16);
static_assert(offsetof(FatEntry, is_directory) == 0x18);
static_assert(offsetof(FatEntry, name) == 0x1A);
static_assert(sizeof(FatEntry) == 0x1A);

// One directory visited by fat_searchfile. Nodes are chained in creation
// order (depth first, in the order their directory entries are met) through
// `next`, from the root node. Every directory entry (is_directory 1) in an
// entry array has exactly one node, and the nodes of the entries of one
// directory follow its own node in the same order as the entries, each
// followed by the nodes below it. After the tree walked from the root come
// the lost folders: folders found in free clusters that no folder links to,
// each a node with no parent (and root 0) followed by the nodes below it in
// the same order.
struct [[gnu::packed]] FatDirNode {
    FatDirNode* prev;        // 0x00 previous node in creation order, null for the root
    FatDirNode* parent;      // 0x08 parent directory node, null for the root and lost folders (the caller may rewrite it)
    FatEntry** entries;      // 0x10 this directory's kept entries, ended by a null pointer
    uint32_t first_cluster;  // 0x18 the directory's first cluster (FAT32 root: the root cluster; FAT12/16 root: 0)
    void* tree_node;         // 0x1C left null by the engine; the caller stores its folder node here
    uint8_t deleted;         // 0x24 1 when the directory was reached through a deleted entry
    uint8_t root;            // 0x25 1 for the root directory
    uint8_t has_files;       // 0x26 1 when a deleted file (or a file of a deleted folder) was kept in it
    FatDirNode* next;        // 0x27 next node in creation order, null at the end
};
static_assert(offsetof(FatDirNode, parent) == 0x08);
static_assert(offsetof(FatDirNode, entries) == 0x10);
static_assert(offsetof(FatDirNode, first_cluster) == 0x18);
static_assert(offsetof(FatDirNode, tree_node) == 0x1C);
static_assert(offsetof(FatDirNode, deleted) == 0x24);
static_assert(offsetof(FatDirNode, root) == 0x25);
static_assert(offsetof(FatDirNode, has_files) == 0x26);
static_assert(offsetof(FatDirNode, next) == 0x27);
static_assert(sizeof(FatDirNode) == 0x2F);

// One lost directory rebuilt by fat_fmtRec_search. The nodes of all trees are
// chained in creation order through `next`; within a tree, as for FatDirNode,
// every directory entry has exactly one node and the nodes follow the entries
// depth first.
struct [[gnu::packed]] FatLostDir {
    FatLostDir* prev;          // 0x00 previous node in creation order
    uint32_t old_data_start;   // 0x08 estimated first data sector of the old file system (512-byte sectors)
    uint32_t first_cluster;    // 0x0C the directory's first cluster (old numbering)
    void* tree_node;           // 0x10 left null by the engine; the caller stores its folder node here
    char name[8];              // 0x18 "Dir%d" for the top node of a tree (numbered from 0), empty otherwise
    FatEntry** entries;        // 0x20 the directory's entries, ended by a null pointer
    FatLostDir* parent;        // 0x28 parent node; the top node is its own parent (the caller may rewrite it)
    uint32_t reserved;         // 0x30 0; free for the caller
    uint8_t top;               // 0x34 1 for the top node of a tree
    FatLostDir* next;          // 0x35 next node in creation order, null at the end
};
static_assert(offsetof(FatLostDir, old_data_start) == 0x08);
static_assert(offsetof(FatLostDir, first_cluster) == 0x0C);
static_assert(offsetof(FatLostDir, tree_node) == 0x10);
static_assert(offsetof(FatLostDir, name) == 0x18);
static_assert(offsetof(FatLostDir, entries) == 0x20);
static_assert(offsetof(FatLostDir, parent) == 0x28);
static_assert(offsetof(FatLostDir, reserved) == 0x30);
static_assert(offsetof(FatLostDir, top) == 0x34);
static_assert(offsetof(FatLostDir, next) == 0x35);
static_assert(sizeof(FatLostDir) == 0x3D);

// At most this many trees are returned by fat_fmtRec_search.
#define FAT_FMT_MAX_TREES 4096

// ---- Deleted-file search -------------------------------------------------

// Opens a FAT12, FAT16 or FAT32 volume (file-system code 1, 2 or 3) from its
// boot sector and allocates the buffers. Replaces an earlier volume (its
// results are freed). False for a null volume, another code, or a boot
// sector whose geometry cannot be used (bytes per sector not a power of two
// from 512 to 4096, sectors per cluster not a power of two, no FAT).
FSPROBE_API bool fat_init(BgVolume* volume);

// Walks the directory tree from the root and keeps every deleted file and
// folder, every folder and everything inside deleted folders. Then reads
// once, in disk order, every cluster that is free in the FAT and was not
// visited, and keeps the entries of those that plainly hold directory
// entries as lost folders (see FatDirNode); long names are checked against
// their short entry's checksum, also across two such clusters. Drives
// bg_progress (0, steps of 5, 100 at the end); a value of 100 set by someone
// else stops the walk. Returns the root node, or null when `start` is 0, no
// volume is open, or the root cannot be read. *file_count receives the files
// kept, *dir_count the directory nodes created (root included); both are
// counted afresh by each call and either pointer may be null. A second call
// frees the results of the first.
FSPROBE_API FatDirNode* fat_searchfile(int32_t start, uint32_t* file_count, uint32_t* dir_count);

// Reads `length` bytes of a file found by fat_searchfile, taken as a
// contiguous run of clusters from its first cluster, at the sector
// `*position` of that run; then advances *position by length / bytes per
// sector. Start *position at 0 and read the file in chunks that are
// multiples of the sector size (the last one may be shorter). The buffer is
// zero-filled first. False for a null record, buffer or position, a zero
// length, no open volume, a first cluster below 2, or a read that delivered
// fewer bytes than asked (past the end of the volume).
FSPROBE_API bool fat_readfile(FatEntry* entry, void* buffer, uint32_t length, uint64_t* position);

// Frees the buffers, every directory node and every entry record.
FSPROBE_API void fat_exit(void);

// ---- Format recovery -----------------------------------------------------

// Records the volume (any file-system code), clears the stop flag, allocates
// the result array and buffers and, for codes 1 to 3, reads the geometry of
// the current FAT file system. Replaces an earlier search (its results are
// freed). False for a null volume.
FSPROBE_API bool fat_fmtRec_init(BgVolume* volume);

// Scans every 512-byte sector of the volume for the first cluster of an old
// directory (one starting with the "." and ".." entries), estimates the old
// cluster size and data start, and rebuilds each lost directory tree.
// Returns a null-terminated array of at most FAT_FMT_MAX_TREES top nodes
// (possibly just the null), or null when fat_fmtRec_init did not succeed.
// `fs_code` is the caller's file-system code of the volume; the engine uses
// the code recorded by fat_fmtRec_init. Drives bg_progress (0, steps of 5,
// 100 when the array is returned). Candidates inside the current file
// system are skipped when the current file system is FAT (codes 1-3); none
// are skipped for NTFS (code 4); every one is skipped for any other code.
FSPROBE_API FatLostDir** fat_fmtRec_search(int32_t fs_code);

// Asks a running fat_fmtRec_search to stop: it returns the trees built so
// far. Safe to call from another thread.
FSPROBE_API void fat_fmtStop(void);

// As fat_readfile, for an entry of a tree returned by fat_fmtRec_search: it
// reads with the old geometry estimated for that tree (data start and
// cluster size), in 512-byte sectors: *position counts 512-byte sectors.
// False also for an entry not made by the current format search.
FSPROBE_API bool fat_fmtRec_readfile(FatEntry* entry, void* buffer, uint32_t length, uint64_t* position);

// Frees the buffers, the candidates, every tree and record; clears the seen
// table and the counters. Returns 0.
FSPROBE_API int32_t fat_fmtRec_exit(void);

// Why the last call of the FAT family failed: "" after a call that
// succeeded, else a short reason naming what failed. Valid until the
// family's next call.
FSPROBE_API const char* fat_last_failure(void);

} // extern "C"
