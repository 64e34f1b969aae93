// NTFS engine internals: on-disk constants, the attribute context, the
// process-wide engine state and the operations the scans and readers share.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/common/alloc.h>
#include <fsprobe/common/bytes.h>
#include <fsprobe/ntfs.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fsprobe::ntfs {

// MFT record header (offsets from the record start).
constexpr u32 kFileMagic = 0x454C4946; // "FILE"
constexpr u32 kIndxMagic = 0x58444E49; // "INDX"
constexpr size_t kRecUsaOffset = 0x04;
constexpr size_t kRecUsaCount = 0x06;
constexpr size_t kRecBaseRef = 0x20;
constexpr size_t kRecFirstAttr = 0x14;
constexpr size_t kRecFlags = 0x16;
constexpr size_t kRecNumber = 0x2C;
constexpr u16 kRecInUse = 0x0001;
constexpr u16 kRecDirectory = 0x0002;

// Attribute header.
constexpr size_t kAttrType = 0x00;
constexpr size_t kAttrLength = 0x04;
constexpr size_t kAttrNonResident = 0x08;
constexpr size_t kAttrNameLength = 0x09;
constexpr size_t kAttrNameOffset = 0x0A;
constexpr size_t kAttrValueLength = 0x10; // resident
constexpr size_t kAttrValueOffset = 0x14; // resident
constexpr size_t kAttrFirstVcn = 0x10;    // non-resident
constexpr size_t kAttrLastVcn = 0x18;
constexpr size_t kAttrRunsOffset = 0x20;
constexpr size_t kAttrAllocSize = 0x28;
constexpr size_t kAttrDataSize = 0x30;
constexpr size_t kAttrInitSize = 0x38;
constexpr size_t kAttrNonResidentHeader = 0x40;
constexpr u32 kAttrEnd = 0xFFFFFFFF;

// $FILE_NAME value.
constexpr size_t kFnParent = 0x00;
constexpr size_t kFnCreated = 0x08;
constexpr size_t kFnRealSize = 0x30;
constexpr size_t kFnFlags = 0x38;
constexpr size_t kFnNameLength = 0x40;
constexpr size_t kFnNamespace = 0x41;
constexpr size_t kFnName = 0x42;
constexpr u8 kNamespaceDos = 2;
constexpr u32 kFnFlagDirectory = 0x10000000;

constexpr u32 kRootRecord = 5;

// One run of a non-resident attribute, with its absolute LCN (-1: sparse).
struct Run {
    u64 vcn;
    u64 length;
    i64 lcn;
};

} // namespace fsprobe::ntfs

// An attribute found in an MFT record. The run list is decoded once into an
// array of absolute runs (joined in VCN order when the attribute is spread
// over extension records); the cursor fields follow the last read so that
// sequential reads do not search again.
struct NtfsAttributeContext {
    uint64_t position;    // byte position just after the last read
    int64_t lcn;          // LCN of the current run (-1 sparse)
    uint64_t run_length;  // current run length in clusters
    int64_t lcn_base;     // LCN of the last non-sparse run
    uint64_t run_start;   // byte offset in the value at which the current run begins
    uint32_t run_index;   // index of the current run in `runs`
    uint32_t run_count;
    fsprobe::ntfs::Run* runs;
    uint32_t type;
    bool non_resident;
    uint64_t data_size;   // non-resident real size, resident value length
    uint64_t init_size;   // non-resident initialized size
    uint64_t alloc_size;
    uint32_t value_offset; // resident: offset of the value in `attribute`
    uint32_t attr_length;
    uint8_t* attribute;   // copy of the attribute record (the first piece)
};

namespace fsprobe::ntfs {

using Context = NtfsAttributeContext;

// One old MFT met by the format scan.
struct Extent {
    u64 disk_start;
    u64 disk_end;
    u64 clusters;
    u32 first_record;
    u32 records;
};

struct DirSlot {
    u32 record;
    NtfsFormatInfo* dir;
};

struct MftFragment {
    u8* record;             // copy of its $MFT record (1024 bytes)
    Context* context;       // its $DATA
    u64 cluster_size;       // C; 0: entry free
    u64 found;              // F: where the old MFT itself lay
    u64 mirror;             // where its mirror copy lies
    u64 base;               // B: volume offset of the old cluster 0
    i64 first_lcn;          // L
    std::vector<Extent> extents;
    u32 dir_count;          // record count of the old MFT
    std::vector<DirSlot> dirs; // directories by record number (sorted)
    // No $MFT record of this old file system survives: its records are
    // grouped by their own cluster size, read from cluster 0 of the volume
    // and linked by the record numbers in their own headers.
    bool self_anchored = false;
};

constexpr int kFragments = 16;
constexpr u64 kNoKey = ~u64(0);

struct VolumeState {
    BgVolume* volume = nullptr;
    u8 boot[512] {};
    u32 bytes_per_sector = 512;
    u32 cluster_size = 0; // 0: no volume open
    u32 record_size = 0;
    u32 index_record_size = 0;
    u8* record0 = nullptr;
    Context* mft = nullptr;

    // Geometry used by non-resident reads (the open volume's, or the old
    // MFT's in format mode).
    u64 read_cluster_size = 0;
    u64 read_base = 0;

    // File data streaming.
    u32 key_low = 0xFFFFFFFF;
    u32 key_high = 0xFFFFFFFF;
    Context* file = nullptr;
    u64 position = 0;
    u64 format_key = kNoKey;
    bool format_mode = false;
    NtfsFormatInfo* format_record = nullptr;

    MftFragment fragments[kFragments];
    int first_attributed = -1;

    NtfsFileInfo* listing = nullptr;
};

VolumeState& state();

// --- parsing over byte buffers (no I/O) ---

// Decodes one run entry inside [p, end). Returns the next entry, or null for
// the end marker, a field wider than 8 bytes or an entry leaving the buffer.
const u8* decode_run(const u8* p, const u8* end, i64* delta, u64* length);

// Applies the update-sequence fix-up to a record of `size` bytes with sector
// stride `sector`. False on a mismatch or an array outside the record.
bool apply_fixup(u8* record, size_t size, u32 sector);

// Validated view of one attribute inside a record.
struct AttrRef {
    const u8* p = nullptr;
    u32 length = 0;
    u32 type = 0;
    bool non_resident = false;
};

// Walks the attributes of a record of `size` bytes; calls fn(AttrRef) until it
// returns false. Stops at the end marker or a damaged header.
template<typename Fn>
void for_each_attribute(const u8* record, size_t size, Fn&& fn);

// Resident value of an attribute (null when it does not fit).
const u8* resident_value(const AttrRef& a, u32* length);

// Name comparison of an attribute with a UTF-16 name of `units` units.
bool attribute_name_is(const AttrRef& a, const char16_t* name, size_t units);

// Builds a context from one or more pieces of the same attribute (sorted by
// first VCN by the caller). Null when the pieces are unusable.
Context* make_context(const std::vector<AttrRef>& pieces);

// Options of the attribute lookup.
struct FindOptions {
    size_t record_size = 1024;
    bool follow_lists = true;
    // The record's own number when the caller knows it (older records do not
    // store it in their header); extension records must name it as base.
    u32 self_number = 0xFFFFFFFF;
};

Context* find_attribute(const u8* record, u32 type, const char16_t* name, const FindOptions& opts);

// $FILE_NAME fields read from a context (resident value).
struct FileName {
    u64 parent = 0;
    u64 created = 0;
    u64 real_size = 0;
    u32 flags = 0;
    u8 name_length = 0;
    u8 name_space = 0;
    const u8* name = nullptr; // name_length UTF-16LE units
};
bool read_file_name(const Context* ctx, FileName* out);

u64 attribute_size(const Context* ctx);

// --- I/O on the current volume ---

u32 volume_read(void* buf, u64 count, u64 offset);
u64 read_attribute(Context* ctx, u64 offset, void* buf, u64 length);
bool read_mft_record(u64 number, u8* buf, size_t size);

void release_context(Context* ctx);
void free_fragments();
void reset_listing();

bool open_volume(BgVolume* volume);
int32_t free_engine();

} // namespace fsprobe::ntfs

#include "Attributes.inl"
