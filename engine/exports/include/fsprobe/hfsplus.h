// fsprobe HFS+ family: deleted files that an HFS+ catalog still remembers.
//
// One volume at a time (process-wide state). Calling order:
//   hfsp_init(volume) -> hfsp_searchfile() -> accessors / hfsp_readfile -> hfsp_exit().
// The search walks the catalog B-tree (and its extents overflow file) and
// lists the file records that no live catalog entry names any more: records
// left in the free space of leaf nodes, in nodes no longer linked into the
// tree, and, on a journaled volume, in the journal's copies of catalog nodes.
// All records belong to the engine and stay valid until hfsp_exit (or the next
// hfsp_init, which replaces the previous volume).
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>
#include <fsprobe/times.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// Room for the longest HFS+ name (255 UTF-16 units) as UTF-8, plus the ending zero.
#define HFSP_NAME_BYTES 768

// Where a deleted record was found (HfspFileRecord::found_in).
#define HFSP_FOUND_NODE_FREE_SPACE 1 // free space after the records of a live leaf node
#define HFSP_FOUND_UNLINKED_NODE 2   // a catalog node that the tree no longer reaches
#define HFSP_FOUND_JOURNAL 3         // a copy of a catalog node in the journal

// One run of allocation blocks of a file's data fork.
struct [[gnu::packed]] HfspExtent {
    uint32_t start_block; // first allocation block
    uint32_t block_count; // number of blocks (never 0 in a record's list)
};
static_assert(sizeof(HfspExtent) == 8);

// One deleted file (list element). The first five fields are the list record
// proper; the fields after `next` describe where the data lies.
struct [[gnu::packed]] HfspFileRecord {
    HfspFileRecord* pre;        // 0x000 previous record, null for the first
    char name[HFSP_NAME_BYTES]; // 0x008 UTF-8, zero-terminated ('/' shown as ':')
    uint64_t size;              // 0x308 logical size of the data fork in bytes
    uint64_t start;             // 0x310 byte offset of the first extent from the start of the volume
    HfspFileRecord* next;       // 0x318 next record, null for the last
    uint32_t file_id;           // 0x320 catalog node id of the file
    uint32_t parent_id;         // 0x324 catalog node id of the folder it was in
    uint8_t found_in;           // 0x328 HFSP_FOUND_*
    uint8_t reserved[3];        // 0x329 zero
    uint32_t extent_count;      // 0x32C entries in `extents`
    HfspExtent* extents;        // 0x330 the data fork's extents in file order (null when none)
};
static_assert(offsetof(HfspFileRecord, name) == 0x008);
static_assert(offsetof(HfspFileRecord, size) == 0x308);
static_assert(offsetof(HfspFileRecord, start) == 0x310);
static_assert(offsetof(HfspFileRecord, next) == 0x318);
static_assert(offsetof(HfspFileRecord, file_id) == 0x320);
static_assert(offsetof(HfspFileRecord, found_in) == 0x328);
static_assert(offsetof(HfspFileRecord, extent_count) == 0x32C);
static_assert(offsetof(HfspFileRecord, extents) == 0x330);
static_assert(sizeof(HfspFileRecord) == 0x338);

// Opens `volume`: reads the 512-byte volume header at byte 1024 and converts it
// to machine byte order. False for a null volume, a header that cannot be read,
// a signature that is neither "H+" nor "HX", or a block size that is not a
// power of two from 512 bytes to 1 MiB. Replaces (frees) any earlier volume's
// state and records.
FSPROBE_API bool hfsp_init(BgVolume* volume);

// Walks the catalog and returns the first deleted-file record, or null when
// none was found, the catalog is unusable, or the walk was stopped (bg_progress
// set to 100 from outside before the live tree was walked). Sets bg_progress
// from 0 to 100 in steps of 5 as catalog nodes are walked. Never reads past the
// volume and never loops on damaged trees.
FSPROBE_API HfspFileRecord* hfsp_searchfile(void);

// List links; null for a null record.
FSPROBE_API HfspFileRecord* hfsp_get_next(HfspFileRecord* record);
FSPROBE_API HfspFileRecord* hfsp_get_pre(HfspFileRecord* record);

// The record's name (UTF-8), null for a null record.
FSPROBE_API char* hfsp_get_filename(HfspFileRecord* record);

// The data fork's logical size in bytes; 0 for a null record.
FSPROBE_API uint64_t hfsp_get_filesize(HfspFileRecord* record);

// Byte offset of the file's first extent on the volume; all ones for a null record.
FSPROBE_API uint64_t hfsp_get_startsec(HfspFileRecord* record);

// The volume's allocation block size in bytes (0 before hfsp_init).
FSPROBE_API uint64_t hfsp_get_blocksize(void);

// Reads one chunk of `record`'s data, following its extents. `buffer` must hold
// hfsp_get_blocksize() bytes; `length` and `position` must not be null.
// The first call for a file starts at its first byte (pass *position = 0).
// While more than one block remains: the buffer receives one block, *length is
// set to the block size, *position to the volume byte offset of the next
// chunk, and the call returns true. The call that meets the last block (1 to
// block size bytes) puts those bytes at the start of the buffer (the rest
// zero), sets *length to 0 and returns false: the caller takes the final count
// from hfsp_get_filesize(). A null record resets the reader and returns false.
// Starting another record also restarts the reader. When a chunk cannot be
// read (outside the volume, not mapped by the extents, or a short read) the
// call returns false with *length 0, ends the file, and hfsp_get_readerror()
// returns 1 until the next file is started.
FSPROBE_API bool hfsp_readfile(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer);

// 1 when the current (or just ended) file read hit a chunk that could not be
// read, else 0. Callers check it after hfsp_readfile returns false.
FSPROBE_API int32_t hfsp_get_readerror(void);

// Frees the header and every record (with its extent list) and forgets the volume.
FSPROBE_API void hfsp_exit(void);

// ---- Where a record's file was, and its dates.
// `record` must be a record of the last hfsp_searchfile; any other pointer
// (also one of an earlier search) gives null / false. The texts stay valid
// until the next search, hfsp_init or hfsp_exit.

// The path of the folder the file was in (its parent_id), resolved through
// the folder thread records of the live catalog (folder records stand in
// where a thread is missing): names from the root folder down, joined by '/',
// without a leading or trailing '/', the volume's own name left out ("" for
// a file of the root folder, "Users/anna/Letters" below it). "" as well when
// the folder cannot be resolved: it was deleted too, a folder on the way is
// unknown, the chain of parents loops or runs more than 256 folders deep, or
// a name on the way is empty, "." or "..". Names are UTF-8 converted from
// the catalog's UTF-16, a '/' in a name shown as ':' (as in
// hfsp_get_filename) and NUL characters as '_'; each is at most 255 UTF-16
// units. Resolved folders are remembered, so each is walked once.
FSPROBE_API const char* hfsp_get_folder(const HfspFileRecord* record);

// Fills *times from the record's catalog dates (seconds since 1904, UTC,
// converted to seconds since 1970): created (create date), modified (content
// modify date), changed (attribute modify date), accessed (access date); a
// date of 0 is absent, and `deleted` is always absent (see fsprobe/times.h).
// True when filled; false (and *times zeroed, when `times` is not null) for
// a null or unknown record or a null `times`.
FSPROBE_API bool hfsp_get_times(const HfspFileRecord* record, FsprobeTimes* times);

// Why the last call of the HFS+ family failed: "" after a call that
// succeeded, else a short reason naming what failed. Valid until the
// family's next call.
FSPROBE_API const char* hfsp_last_failure(void);

} // extern "C"
