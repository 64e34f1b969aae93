// fsprobe exFAT family: deleted files of an exFAT volume (memory cards, USB
// sticks), found by a walk of its directory tree.
//
// One volume at a time, with process-wide state. Call order:
//   exfat_init -> exfat_search -> exfat_readfile ... -> exfat_exit
// Every call reports why it failed through exfat_last_failure. No call
// writes to the volume.
//
// Records crossing the boundary are packed and little-endian, with every
// field on its natural alignment (no hidden padding: the offsets and sizes
// are checked below). Every record and array belongs to the engine and stays
// valid until the next exfat_search, exfat_init or exfat_exit.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// ExfatEntry.flags
#define EXFAT_SET_CHECKSUM_BAD 0x01  // the set checksum does not match, or the set is cut short: some field may be damaged
#define EXFAT_NAME_HASH_BAD 0x02     // the name does not give the stream's name hash (checked when the up-case table could be read)
#define EXFAT_NAME_SHORT 0x04        // fewer name units survive than the stream extension counts
#define EXFAT_DATA_FAT_CHAIN 0x08    // the data is read along the FAT chain from the first cluster
#define EXFAT_DATA_GUESSED 0x10      // the FAT chain did not hold: the data is read from the clusters that follow the first
#define EXFAT_DATA_SKIPPED 0x80      // with EXFAT_DATA_GUESSED: clusters a live file holds were stepped over
#define EXFAT_DATA_IN_USE 0x20       // some cluster read for the data is in use now: that part was likely overwritten
#define EXFAT_DATA_CUT 0x40          // the data would run past the cluster heap: only what lies inside is read

// One file or folder of an entry set (file, stream extension and name
// entries). Allocated with sizeof(ExfatEntry) + 2 * (name_length + 1) bytes.
//
// Timestamps are as stored: bits 0-4 seconds / 2, 5-10 minute, 11-15 hour,
// 16-20 day, 21-24 month, 25-31 year - 1980, in the local time of the device
// that wrote them. A UTC offset byte has bit 7 set when valid; bits 0-6 are
// then the signed offset from UTC in quarter hours. The 10 ms fields (0-199)
// add to the even seconds of their timestamp. exfat_unix_time decodes them.
struct [[gnu::packed]] ExfatEntry {
    uint64_t size;                // 0x00 stream data length, bytes
    uint64_t valid_size;          // 0x08 stream valid data length: bytes past it read as zeros
    uint32_t first_cluster;       // 0x10 0 for an empty file
    uint16_t attributes;          // 0x14 0x01 read-only, 0x02 hidden, 0x04 system, 0x10 folder, 0x20 archive
    uint8_t no_fat_chain;         // 0x16 1 when the stream's no-FAT-chain flag is set (contiguous data)
    uint8_t is_directory;         // 0x17 1 folder, 0 file
    uint32_t create_time;         // 0x18
    uint32_t modify_time;         // 0x1C
    uint32_t access_time;         // 0x20
    uint8_t create_10ms;          // 0x24
    uint8_t modify_10ms;          // 0x25
    uint8_t create_utc_offset;    // 0x26
    uint8_t modify_utc_offset;    // 0x27
    uint8_t access_utc_offset;    // 0x28
    uint8_t deleted;              // 0x29 1 for a deleted set or any set inside a deleted folder, 0 for a live folder
    uint8_t set_in_use;           // 0x2A 1 when the set's own in-use bit is set (live folder, or inside a deleted folder)
    uint8_t flags;                // 0x2B EXFAT_* flags above
    uint16_t name_length;         // 0x2C UTF-16 units in name (at most 255)
    uint16_t reserved;            // 0x2E 0
    uint64_t entry_offset;        // 0x30 byte offset of the file entry on the volume
    // 0x38 UTF-16 name, zero-terminated, as stored (not up-cased). A set
    // whose name entries are all lost is named "noname-" and the entry
    // offset in 16 hex digits.
    char16_t name[];
};
static_assert(offsetof(ExfatEntry, valid_size) == 0x08);
static_assert(offsetof(ExfatEntry, first_cluster) == 0x10);
static_assert(offsetof(ExfatEntry, attributes) == 0x14);
static_assert(offsetof(ExfatEntry, no_fat_chain) == 0x16);
static_assert(offsetof(ExfatEntry, is_directory) == 0x17);
static_assert(offsetof(ExfatEntry, create_time) == 0x18);
static_assert(offsetof(ExfatEntry, access_time) == 0x20);
static_assert(offsetof(ExfatEntry, create_10ms) == 0x24);
static_assert(offsetof(ExfatEntry, access_utc_offset) == 0x28);
static_assert(offsetof(ExfatEntry, deleted) == 0x29);
static_assert(offsetof(ExfatEntry, set_in_use) == 0x2A);
static_assert(offsetof(ExfatEntry, flags) == 0x2B);
static_assert(offsetof(ExfatEntry, name_length) == 0x2C);
static_assert(offsetof(ExfatEntry, entry_offset) == 0x30);
static_assert(offsetof(ExfatEntry, name) == 0x38);
static_assert(sizeof(ExfatEntry) == 0x38);

// One folder visited by exfat_search. Nodes are chained in creation order
// (depth first, in the order their entries are met) through `next`, from the
// root node. Every folder entry (is_directory 1) in an entry array has
// exactly one node, whose `self` is that entry; the nodes of the folders of
// one directory follow its own node in the order of their entries, each
// followed by the nodes below it.
struct [[gnu::packed]] ExfatDirNode {
    ExfatDirNode* prev;       // 0x00 previous node in creation order, null for the root
    ExfatDirNode* parent;     // 0x08 null for the root
    ExfatEntry** entries;     // 0x10 the folder's kept entries, ended by a null pointer (never null itself)
    ExfatEntry* self;         // 0x18 the entry naming this folder in its parent, null for the root
    void* tree_node;          // 0x20 left null by the engine; the caller stores its folder node here
    uint32_t first_cluster;   // 0x28 the folder's first cluster (the root cluster for the root)
    uint32_t files_below;     // 0x2C deleted files kept in this folder and every folder below it
    uint8_t deleted;          // 0x30 1 when the folder was reached through a deleted entry
    uint8_t root;             // 0x31 1 for the root directory
    uint8_t walked;           // 0x32 1 when its entries were read; 0 when its clusters are in use by
                              //      another object, outside the heap, already walked (a loop or
                              //      a cross link) or nested more than 512 folders deep
    uint8_t reserved[5];      // 0x33 0
    ExfatDirNode* next;       // 0x38 next node in creation order, null at the end
};
static_assert(offsetof(ExfatDirNode, parent) == 0x08);
static_assert(offsetof(ExfatDirNode, entries) == 0x10);
static_assert(offsetof(ExfatDirNode, self) == 0x18);
static_assert(offsetof(ExfatDirNode, tree_node) == 0x20);
static_assert(offsetof(ExfatDirNode, first_cluster) == 0x28);
static_assert(offsetof(ExfatDirNode, files_below) == 0x2C);
static_assert(offsetof(ExfatDirNode, deleted) == 0x30);
static_assert(offsetof(ExfatDirNode, root) == 0x31);
static_assert(offsetof(ExfatDirNode, walked) == 0x32);
static_assert(offsetof(ExfatDirNode, next) == 0x38);
static_assert(sizeof(ExfatDirNode) == 0x40);

// Opens an exFAT volume (file-system code 5): checks the boot sector
// (name "EXFAT   ", bytes-per-sector shift 9-12, cluster at most 32 MiB, one
// or two FATs placed after both boot regions and before the cluster heap,
// a cluster count and a heap inside the volume length, a root cluster in
// the heap) and the boot checksum; when the main boot region fails, the
// backup region (sectors 12-23) is used if it passes. A boot region that
// fails only its checksum is still used. Then finds the allocation bitmap
// and the up-case table in the root directory (the search goes on without
// them when they are damaged). Replaces an earlier volume and frees its
// results. False for a null volume, another code or an unusable boot sector.
FSPROBE_API bool exfat_init(BgVolume* volume);

// Walks the folder tree from the root. Keeps every deleted file and folder
// (entry sets whose file entry type is 0x05, with a stream extension 0x40
// and name entries 0x41), every live folder (so that deleted files keep
// their paths), and every set inside a deleted folder; live files are not
// kept. A folder is walked when its first cluster was not walked before,
// a deleted one only when that cluster is also free in the bitmap. A set whose
// checksum fails is kept and flagged. Drives bg_progress (0, steps of 5 with
// the root's entries, 100 at the end); a value of 100 set by someone else
// stops the walk, which returns what it found so far. Returns the root node,
// or null when `start` is 0, no volume is open or the root cannot be read.
// *file_count receives the deleted files kept, *dir_count the folder nodes
// (root included); either may be null. A second call frees the results of
// the first.
FSPROBE_API ExfatDirNode* exfat_search(int32_t start, uint32_t* file_count, uint32_t* dir_count);

// Reads up to `length` bytes of a file found by exfat_search from the byte
// offset *position of its data, then advances *position by the bytes that
// belong to the file (at most size - *position). Only those bytes of the
// buffer are written (zero where they cannot be read and past the valid
// size); the rest of the buffer is left as it was. The data lies in contiguous
// clusters from the first cluster when no_fat_chain is set; else along the
// FAT chain while it runs through clusters free in the bitmap (any
// clusters for a set still in use). When that chain ends too soon, a deleted
// set's data is read from the first cluster and the clusters free in the
// bitmap after it (clusters a live file holds are stepped over: they were
// written between the file's pieces); a set still in use, or a volume
// without a bitmap, is read from contiguous clusters (see the EXFAT_DATA_*
// flags). True when every byte
// asked for that belongs to the file was read. False for a null record,
// buffer or position, a zero length, a position at or past the size, no
// open volume, an entry of a folder, or a read that fell short.
FSPROBE_API bool exfat_readfile(ExfatEntry* entry, void* buffer, uint32_t length, uint64_t* position);

// Frees every node and record and closes the volume.
FSPROBE_API void exfat_exit(void);

// Why the last exfat_init, exfat_search or exfat_readfile of this process
// failed, or "" when it succeeded. The text stays valid until the next call.
FSPROBE_API const char* exfat_last_failure(void);

// Seconds since 1970-01-01 UTC of an entry's timestamp, with its 10 ms
// field (0 when it has none) and UTC offset byte. A timestamp without a valid
// offset is taken as UTC. *nanoseconds (may be null) receives the fraction
// of the second. INT64_MIN for a timestamp whose fields are out of range
// (month 0 or above 12, day 0, hour above 23, minute above 59, seconds / 2
// above 29, 10 ms above 199).
FSPROBE_API int64_t exfat_unix_time(uint32_t timestamp, uint8_t ten_ms, uint8_t utc_offset, uint32_t* nanoseconds);

} // extern "C"
