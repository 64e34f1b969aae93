// fsprobe ext2 family: find deleted regular files and symbolic links on an
// ext2 (or ext3) volume by scanning every block group's inode table, and hand
// their data back block by block through the block numbers kept in the inodes.
//
// The names went with the directory entries, so files are reported per block
// group: "LostFile(%d)" under a group node "Group(%d)". Names are UTF-16.
//
// One volume at a time: the engine keeps process-wide state. Call order:
//   ext2_init -> ext2_searchfile -> ext2_get_next / ext2_get_file / ...
//   -> ext2_readfile (once per block of a file) -> ext2_exit
//
// Records crossing the boundary are packed and little-endian. Address fields
// are pointer-sized; every other field keeps its width and order. Everything
// returned stays valid until ext2_exit, the next ext2_init or the next search
// (a search frees the results of the one before).
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>
#include <fsprobe/times.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// Kinds of ext2_get_filename.
#define EXT2_NAME_GROUP 100 // the name of an Ext2Group ("Group(%d)")
#define EXT2_NAME_FILE 102  // the name of an Ext2LostFile ("LostFile(%d)")

// ext2_get_filesize of a null file.
#define EXT2_NO_SIZE 0xFFFFFFFFFFFFFFFFull

// One deleted file found in an inode table.
struct [[gnu::packed]] Ext2LostFile {
    uint64_t size;          // 0x00 size in bytes (inode size low, size high as the upper word; directories 0 high)
    uint32_t reserved0;     // 0x08 0
    uint32_t reserved1;     // 0x0C 0
    uint32_t* block_list;   // 0x10 one block number per block of the size rounded up, in file order;
                            //      0 entries are holes or pointers that were lost. Null for a fast
                            //      symbolic link (its target lies in the inode copy at offset 0x28)
                            //      and for an empty file.
    uint8_t* inode;         // 0x18 copy of the inode's first 128 bytes
    char16_t name[256];     // 0x20 "LostFile(%d)", numbered from 0 within its group; zero-terminated UTF-16
    uint8_t flag;           // 0x220 0
};
static_assert(offsetof(Ext2LostFile, block_list) == 0x10);
static_assert(offsetof(Ext2LostFile, inode) == 0x18);
static_assert(offsetof(Ext2LostFile, name) == 0x20);
static_assert(offsetof(Ext2LostFile, flag) == 0x220);
static_assert(sizeof(Ext2LostFile) == 0x221);

// One block group. The groups form a doubly linked list in group order; the
// first is what ext2_searchfile returns. Every group of the volume has a node,
// also those with no deleted file (file_count 0).
struct [[gnu::packed]] Ext2Group {
    Ext2Group* previous;    // 0x00 previous group, null for the first
    Ext2LostFile** files;   // 0x08 the group's files, file_count entries followed by at least one null
    uint32_t reserved;      // 0x10 0
    uint32_t file_count;    // 0x14 number of files
    char16_t name[128];     // 0x18 "Group(%d)" with the group index; zero-terminated UTF-16
    Ext2Group* next;        // 0x118 next group, null for the last
};
static_assert(offsetof(Ext2Group, files) == 0x08);
static_assert(offsetof(Ext2Group, file_count) == 0x14);
static_assert(offsetof(Ext2Group, name) == 0x18);
static_assert(offsetof(Ext2Group, next) == 0x118);
static_assert(sizeof(Ext2Group) == 0x120);

// Opens the volume: checks the superblock (magic 0xEF53, revision 0 or 1, no
// incompatible feature but "directory entries carry a file type", fragment
// size equal to block size, sane geometry) and reads the group descriptor
// table. The journal's "needs recovery" mark (set while an ext3 volume is
// mounted) is accepted. False for a null volume or a volume it cannot read. Replaces the
// state of an earlier ext2_init.
FSPROBE_API bool ext2_init(BgVolume* volume);

// Scans every group's inode table for inodes that carry a deletion time, are
// free in the inode bitmap, do not start with a directory block and are
// regular files or symbolic links. Moves bg_progress from 0 to 100 in steps
// of 5; bg_progress at 100 set from outside stops the scan early (the groups
// scanned so far are returned). Returns the first group, or null when the
// volume is not open. Damaged inodes are skipped.
FSPROBE_API Ext2Group* ext2_searchfile(void);

// The next group, or null (also for null).
FSPROBE_API Ext2Group* ext2_get_next(Ext2Group* group);
// The group's file array (file_count entries, then null), or null.
FSPROBE_API Ext2LostFile** ext2_get_filelist(Ext2Group* group);
// The index-th file of the group, or null when index >= file_count.
FSPROBE_API Ext2LostFile* ext2_get_file(Ext2Group* group, uint32_t index);
// The name of a group (kind EXT2_NAME_GROUP, item an Ext2Group) or of a file
// (kind EXT2_NAME_FILE, item an Ext2LostFile); null for any other kind or a
// null item.
FSPROBE_API const char16_t* ext2_get_filename(const void* item, int32_t kind);
// The file's size, EXT2_NO_SIZE for null.
FSPROBE_API uint64_t ext2_get_filesize(const Ext2LostFile* file);
// The file's block list (see Ext2LostFile::block_list), null for null.
FSPROBE_API uint32_t* ext2_get_fileblocklist(Ext2LostFile* file);
// The volume's block size in bytes, 0 when no volume is open.
FSPROBE_API uint32_t ext2_get_blocksize(void);

// Reads one block of a file. When `flag` is non-zero and the block number
// (block_low, block_high) names a block of the volume (not 0, below the block
// count, high word 0): the first `count` bytes of the block (count = count_low
// + count_high << 32, at most the block size) are copied to `buffer`, *out
// receives that count and the result is true. Otherwise *out is 0 and the
// result false. Nothing beyond `count` bytes is written to `buffer`, so a
// caller may read the last, shorter piece of a file straight into the end of
// a staging buffer. `out` may be null.
FSPROBE_API bool ext2_readfile(uintptr_t flag, uint32_t count_low, uint32_t count_high, uint64_t* out,
                               uint32_t block_low, uint32_t block_high, void* buffer);

// Frees every group, file, block list and inode copy and closes the volume.
FSPROBE_API void ext2_exit(void);

// ---- Where a found file was, and its times (beyond the grouping above).
// For callers that show a file under its own folder and name where a
// directory entry still tells them. `file` must be a record of the last
// ext2_searchfile; any other pointer (also one of an earlier search) gives
// null / false. The texts stay valid until the next search, ext2_init or
// ext2_exit.

// The folder of a directory entry that still names the file's inode: the
// path of a live folder from the root, components joined by '/', without a
// leading or trailing '/' ("" when the entry lies in the root folder itself,
// "home/anna/letters" below it). The entry may be live or left in the slack
// of a folder block; its file type must agree with the inode (regular file or
// symbolic link); the first such entry of a depth-first walk from the root
// wins. Null when no entry names the inode (its folder was removed too, or
// the entry was overwritten): the caller keeps the "Group(%d)" /
// "LostFile(%d)" grouping then. Names are the bytes stored on disk (normally
// UTF-8), '/' and NUL replaced by '_'; each is at most 255 bytes, and the
// walk goes at most 256 folders deep and enters each folder once.
// The first call of ext2_get_folder or ext2_get_realname after a search walks
// the directory tree once (it reads every live folder); later calls only
// look up.
FSPROBE_API const char* ext2_get_folder(const Ext2LostFile* file);

// The name that same directory entry gives the file (never empty, never "."
// or ".."); null exactly when ext2_get_folder is null.
FSPROBE_API const char* ext2_get_realname(const Ext2LostFile* file);

// Fills *times from the file's inode (the whole on-disk inode, so inodes of
// more than 128 bytes give nanoseconds and the creation time where their
// extra fields hold them): modified, accessed, changed, created, deleted
// (see fsprobe/times.h). True when filled; false (and *times zeroed, when
// `times` is not null) for a null or unknown record or a null `times`.
FSPROBE_API bool ext2_get_times(const Ext2LostFile* file, FsprobeTimes* times);

// Why the last call of the ext2 family failed: "" after a call that
// succeeded, else a short reason naming what failed. Valid until the
// family's next call.
FSPROBE_API const char* ext2_last_failure(void);

} // extern "C"
