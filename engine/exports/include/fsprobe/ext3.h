// fsprobe ext3 family: walk an ext3 (or ext2) volume's directory tree from the
// root and, inside every directory block, also step through the slack that
// removed entries leave behind, so that deleted files are found with their
// names.
//
// Two result modes:
//   tree mode (ext3_searchfile): a chain of directory nodes (Ext3DirNode), one
//     per live directory visited, each holding its live subdirectories and
//     deleted files as Ext3Entry records;
//   list mode (ext3_searchfile2): a singly linked list of Ext3FoundFile
//     records, one per deleted regular file or symbolic link, read with
//     ext3_readfile2.
// ext3_get_next, ext3_get_filename and ext3_get_filesize work on nodes and
// entries in tree mode and on Ext3FoundFile records in list mode.
//
// Names are the bytes stored on disk (normally UTF-8), zero-terminated; a '/'
// in a damaged name is replaced by '_'.
//
// One volume at a time: the engine keeps process-wide state. Call order:
//   ext3_init -> ext3_searchfile or ext3_searchfile2 -> accessors,
//   ext3_readfile2 -> ext3_exit
//
// Records crossing the boundary are packed and little-endian. Address fields
// are pointer-sized; every other field keeps its width and order. Everything
// returned stays valid until ext3_exit, the next ext3_init or the next search
// (a search frees the results of the one before).
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>
#include <fsprobe/times.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// ext3_get_filesize of a null item.
#define EXT3_NO_SIZE 0xFFFFFFFFFFFFFFFFull

// The most ext3_readfile2 delivers per call: one block, or a 4096-byte piece of
// a block larger than that. Callers pass a buffer of at least this size.
#define EXT3_READ_CHUNK_MAX 4096u

// Longest name an ext directory entry can hold, plus the terminator.
#define EXT3_NAME_SIZE 256

// One entry of a directory node: a live subdirectory (isdir 1) or a deleted
// file, symbolic link or other non-directory (isdir 0).
struct [[gnu::packed]] Ext3Entry {
    uint64_t size;               // 0x00 size low, plus size high (upper word) for non-directories
    uint32_t reserved[3];        // 0x08 0
    uint8_t inode[128];          // 0x14 copy of the inode's first 128 bytes
    char name[EXT3_NAME_SIZE];   // 0x94 the entry's name, zero-terminated
    uint8_t isdir;               // 0x194 1 directory, 0 file
};
static_assert(offsetof(Ext3Entry, inode) == 0x14);
static_assert(offsetof(Ext3Entry, name) == 0x94);
static_assert(offsetof(Ext3Entry, isdir) == 0x194);
static_assert(sizeof(Ext3Entry) == 0x195);

// One live directory visited by the walk. The nodes form a chain in creation
// order (depth first, the root first).
struct [[gnu::packed]] Ext3DirNode {
    Ext3DirNode* previous;       // 0x00 previous node, null for the root
    uint32_t reserved;           // 0x08 0
    void* parent;                // 0x0C the enclosing directory's Ext3DirNode (null for the root);
                                 //      the caller may overwrite it (ext3_user_set_parantnode),
                                 //      the engine never reads it
    Ext3Entry** entries;         // 0x14 the directory's entries in walk order, followed by at least one null
    uint32_t inode_number;       // 0x1C the directory's inode number
    int32_t dirnum;              // 0x20 caller-owned slot (0 at first)
    void* treenode;              // 0x24 caller-owned slot (null at first)
    char name[EXT3_NAME_SIZE];   // 0x2C the directory's name from its entry in the parent; "" for the root
    Ext3DirNode* next;           // 0x12C next node, null for the last
};
static_assert(offsetof(Ext3DirNode, parent) == 0x0C);
static_assert(offsetof(Ext3DirNode, entries) == 0x14);
static_assert(offsetof(Ext3DirNode, inode_number) == 0x1C);
static_assert(offsetof(Ext3DirNode, dirnum) == 0x20);
static_assert(offsetof(Ext3DirNode, treenode) == 0x24);
static_assert(offsetof(Ext3DirNode, name) == 0x2C);
static_assert(offsetof(Ext3DirNode, next) == 0x12C);
static_assert(sizeof(Ext3DirNode) == 0x134);

// One deleted regular file or symbolic link (list mode). The list ends with
// its last file.
struct [[gnu::packed]] Ext3FoundFile {
    uint32_t reserved;           // 0x00 0
    char name[EXT3_NAME_SIZE];   // 0x04 the file's name, zero-terminated
    uint64_t size;               // 0x104 size in bytes
    uint64_t position;           // 0x10C byte offset of the file's first data block on the volume;
                                 //       0 when the file's block pointers were cleared (or it keeps
                                 //       its data inside the inode, a short symbolic link)
    Ext3FoundFile* next;         // 0x114 next record, null for the last
};
static_assert(offsetof(Ext3FoundFile, name) == 0x04);
static_assert(offsetof(Ext3FoundFile, size) == 0x104);
static_assert(offsetof(Ext3FoundFile, position) == 0x10C);
static_assert(offsetof(Ext3FoundFile, next) == 0x114);
static_assert(sizeof(Ext3FoundFile) == 0x11C);

// Opens the volume with the superblock checks of ext2_init and reads the
// group descriptor table. False for a null volume or one it cannot read.
// Replaces the state of an earlier ext3_init and leaves list mode.
FSPROBE_API bool ext3_init(BgVolume* volume);

// Tree mode: walks the tree from the root (inode 2) and returns the root
// node, or null when the root cannot be read. The root's first entry after
// "." and ".." (lost+found) is passed over; live directories with fewer than
// two links are not descended into; every directory is walked once.
// Does not move bg_progress.
FSPROBE_API Ext3DirNode* ext3_searchfile(void);

// List mode: runs the same walk and returns the first Ext3FoundFile, or null
// when nothing was found or the root cannot be read. Switches the accessors to
// list mode until ext3_exit.
FSPROBE_API Ext3FoundFile* ext3_searchfile2(void);

// Tree mode: the next node (item an Ext3DirNode). List mode: the next record
// (item an Ext3FoundFile). Null for null.
FSPROBE_API void* ext3_get_next(void* item);
// The node's entry array, null for null.
FSPROBE_API Ext3Entry** ext3_get_filelist(Ext3DirNode* node);
// The index-th entry of the node, null when there is none.
FSPROBE_API Ext3Entry* ext3_get_file(Ext3DirNode* node, uint32_t index);
// The name of an Ext3Entry (tree mode) or Ext3FoundFile (list mode); null for null.
FSPROBE_API const char* ext3_get_filename(const void* item);
// The size of an Ext3Entry (tree mode) or Ext3FoundFile (list mode);
// EXT3_NO_SIZE for null.
FSPROBE_API uint64_t ext3_get_filesize(const void* item);
// The entry's directory flag (1 directory, 0 file); 0 for null.
FSPROBE_API uint8_t ext3_file_isdir(const Ext3Entry* entry);

// The caller's three slots of a node. A set on null returns false; a get on
// null returns -1 (dirnum) or null (treenode, parent).
FSPROBE_API bool ext3_user_set_dirnum(Ext3DirNode* node, int32_t value);
FSPROBE_API int32_t ext3_user_get_dirnum(const Ext3DirNode* node);
FSPROBE_API bool ext3_user_set_treenode(Ext3DirNode* node, void* value);
FSPROBE_API void* ext3_user_get_treenode(const Ext3DirNode* node);
FSPROBE_API bool ext3_user_set_parantnode(Ext3DirNode* node, void* value);
FSPROBE_API void* ext3_user_get_parantnode(const Ext3DirNode* node);

// Streams a list-mode file in logical order through its inode's block map,
// one chunk per call (one block, at most EXT3_READ_CHUNK_MAX bytes), into
// `buffer`. *position is the file offset of the next chunk: start a file with
// *position 0 and pass the same variable back on every call; the engine
// advances it.
//   - While more than one chunk remains: fills the buffer with one chunk,
//     *out_count = its length, returns true.
//   - The call that meets the last chunk (or less): fills the buffer with the
//     final bytes, *out_count = their number, returns false; the file is done.
//   - A file whose block pointers were cleared, an empty file, a position at
//     or past the end, or a chunk that cannot be read: *out_count = 0,
//     returns false.
//   - A null record: resets the reader, *out_count = 0, returns false.
// Holes of a sparse file read as zeros. A caller writes *out_count bytes after
// every call and stops after the first false.
FSPROBE_API bool ext3_readfile2(Ext3FoundFile* file, uint64_t* out_count, uint64_t* position, void* buffer);

// Frees every node, entry and list record, closes the volume and leaves list mode.
FSPROBE_API void ext3_exit(void);

// ---- Where a list-mode file was, and its times.
// `file` must be an Ext3FoundFile of the last search (ext3_searchfile2, or
// the records ext3_searchfile makes alongside its tree); any other pointer
// gives null / false. The texts stay valid until the next search, ext3_init
// or ext3_exit.

// The path of the live folder whose block held the file's name, from the
// root, components joined by '/', without a leading or trailing '/': "" for
// the root folder itself, "home/anna/letters" below it. Never null for a
// record of the last search (every found name lies in a folder the walk
// entered). Components are the folder names as stored on disk (normally
// UTF-8), '/' and NUL replaced by '_', each at most 255 bytes; the walk goes
// at most 256 folders deep and enters each folder once, so a path is bounded
// and loop-free.
FSPROBE_API const char* ext3_get_folder(const Ext3FoundFile* file);

// Fills *times from the file's inode, read whole from the inode table (so
// inodes of more than 128 bytes give nanoseconds and the creation time where
// their extra fields hold them): modified, accessed, changed, created,
// deleted (see fsprobe/times.h). True when filled; false (and *times zeroed,
// when `times` is not null) for a null or unknown record or a null `times`.
FSPROBE_API bool ext3_get_times(const Ext3FoundFile* file, FsprobeTimes* times);

// Why the last call of the ext3 family failed: "" after a call that
// succeeded, else a short reason naming what failed. Valid until the
// family's next call.
FSPROBE_API const char* ext3_last_failure(void);

} // extern "C"
