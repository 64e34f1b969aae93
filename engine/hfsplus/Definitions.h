// HFS+ on-disk layouts and constants (all on-disk fields are big-endian).
#pragma once

#include <fsprobe/common/bytes.h>

#include <cstddef>
#include <cstdint>

namespace fsprobe::hfsplus {

constexpr u64 kVolumeHeaderOffset = 1024;
constexpr u32 kVolumeHeaderSize = 512;
constexpr u16 kSignatureHfsPlus = 0x482B; // "H+"
constexpr u16 kSignatureHfsx = 0x4858;    // "HX"

// Volume header attributes.
constexpr u32 kVolumeJournaledBit = 1u << 13;
constexpr u32 kCatalogNodeIdsReusedBit = 1u << 12; // ids wrapped: the next id no longer bounds the used ones

// Reserved catalog node ids.
constexpr u32 kRootParentId = 1;
constexpr u32 kRootFolderId = 2;
constexpr u32 kExtentsFileId = 3;
constexpr u32 kCatalogFileId = 4;
constexpr u32 kFirstUserCatalogNodeId = 16;

// B-tree node descriptor (14 bytes at the start of every node).
constexpr u32 kNodeDescriptorSize = 14;
constexpr i8 kLeafNode = -1;
constexpr i8 kIndexNode = 0;
constexpr i8 kHeaderNode = 1;
constexpr i8 kMapNode = 2;

// B-tree header record (record 0 of node 0), offsets from the record start.
constexpr u32 kHdrTreeDepth = 0;      // u16
constexpr u32 kHdrRootNode = 2;       // u32
constexpr u32 kHdrLeafRecords = 6;    // u32
constexpr u32 kHdrFirstLeafNode = 10; // u32
constexpr u32 kHdrLastLeafNode = 14;  // u32
constexpr u32 kHdrNodeSize = 18;      // u16
constexpr u32 kHdrMaxKeyLength = 20;  // u16
constexpr u32 kHdrTotalNodes = 22;    // u32
constexpr u32 kHdrFreeNodes = 26;     // u32
constexpr u32 kHdrAttributes = 39;    // u32
constexpr u32 kHeaderRecordSize = 106;
constexpr u32 kBTBigKeysMask = 2;
constexpr u32 kBTVariableIndexKeysMask = 4;

// Catalog record types.
constexpr u16 kFolderRecord = 1;
constexpr u16 kFileRecord = 2;
constexpr u16 kFolderThreadRecord = 3;
constexpr u16 kFileThreadRecord = 4;

// Catalog key: key length u16 (not counting itself), parent id u32, name length u16, UTF-16BE name.
constexpr u32 kCatalogKeyMinLength = 6;
constexpr u32 kMaxNameUnits = 255;
constexpr u32 kCatalogKeyMaxLength = kCatalogKeyMinLength + 2 * kMaxNameUnits; // 516

// File record (248 bytes), offsets from the record start.
constexpr u32 kFileRecordSize = 248;
constexpr u32 kFileRecFileId = 8;    // u32
constexpr u32 kFileRecCreateDate = 12;     // u32 dates: seconds since 1904-01-01 UTC, 0 unset
constexpr u32 kFileRecContentModDate = 16; // u32
constexpr u32 kFileRecAttrModDate = 20;    // u32
constexpr u32 kFileRecAccessDate = 24;     // u32
constexpr u32 kFileRecDataFork = 88; // fork data, 80 bytes
constexpr u32 kFileRecRsrcFork = 168;

// Folder record: folder id at offset 8 (u32). Thread record: reserved u16,
// parent id u32 at offset 4, name length u16 at 8, UTF-16BE name at 10; its
// key holds the folder's own id and an empty name.
constexpr u32 kFolderRecFolderId = 8;
constexpr u32 kThreadRecParentId = 4;
constexpr u32 kThreadRecNameLength = 8;
constexpr u32 kThreadRecName = 10;

// HFS+ dates count from 1904-01-01 00:00:00; Unix time from 1970.
constexpr i64 kSecondsFrom1904To1970 = 2082844800;

// Extents overflow key: key length u16 (10), fork type u8, pad u8, file id u32, start block u32.
constexpr u32 kExtentKeyLength = 10;
constexpr u8 kDataForkType = 0x00;
constexpr u8 kResourceForkType = 0xFF;
constexpr u32 kExtentRecordSize = 64; // eight extent descriptors

// Journal info block.
constexpr u32 kJournalInFsMask = 1;
constexpr u32 kJournalOnOtherDeviceMask = 2;
constexpr u32 kJibOffset = 36; // u64 byte offset of the journal on the volume
constexpr u32 kJibSize = 44;   // u64 journal size in bytes

struct [[gnu::packed]] ExtentDescriptor {
    u32 start_block;
    u32 block_count;
};
static_assert(sizeof(ExtentDescriptor) == 8);

struct [[gnu::packed]] ForkData {
    u64 logical_size;             // 0x00
    u32 clump_size;               // 0x08
    u32 total_blocks;             // 0x0C
    ExtentDescriptor extents[8];  // 0x10
};
static_assert(sizeof(ForkData) == 80);

// The volume header in machine byte order.
struct [[gnu::packed]] VolumeHeader {
    u16 signature;              // 0x00
    u16 version;                // 0x02
    u32 attributes;             // 0x04
    u32 last_mounted_version;   // 0x08
    u32 journal_info_block;     // 0x0C
    u32 create_date;            // 0x10
    u32 modify_date;            // 0x14
    u32 backup_date;            // 0x18
    u32 checked_date;           // 0x1C
    u32 file_count;             // 0x20
    u32 folder_count;           // 0x24
    u32 block_size;             // 0x28
    u32 total_blocks;           // 0x2C
    u32 free_blocks;            // 0x30
    u32 next_allocation;        // 0x34
    u32 rsrc_clump_size;        // 0x38
    u32 data_clump_size;        // 0x3C
    u32 next_catalog_id;        // 0x40
    u32 write_count;            // 0x44
    u64 encodings_bitmap;       // 0x48
    u8 finder_info[32];         // 0x50
    ForkData allocation_file;   // 0x70
    ForkData extents_file;      // 0xC0
    ForkData catalog_file;      // 0x110
    ForkData attributes_file;   // 0x160
    ForkData startup_file;      // 0x1B0
};
static_assert(offsetof(VolumeHeader, block_size) == 0x28);
static_assert(offsetof(VolumeHeader, total_blocks) == 0x2C);
static_assert(offsetof(VolumeHeader, encodings_bitmap) == 0x48);
static_assert(offsetof(VolumeHeader, allocation_file) == 112);
static_assert(offsetof(VolumeHeader, catalog_file) == 112 + 2 * 80);
static_assert(sizeof(VolumeHeader) == 512);

// Converts the raw 512-byte header: two u16, seventeen u32, one u64, the
// finder information as one reversed 32-byte unit, then the five fork records.
VolumeHeader convert_volume_header(const u8* raw);

// A fork record read from a big-endian buffer (80 bytes at p).
ForkData read_fork_data(const u8* p);

} // namespace fsprobe::hfsplus
