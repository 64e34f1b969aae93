// NTFS engine internals: on-disk constants, the attribute context and the
// parsing and reading operations the volume, the scans and the streams share.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/common/alloc.h>
#include <fsprobe/common/bytes.h>
#include <fsprobe/ntfs.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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
// sequential reads do not search again. The context owns its copies.
struct NtfsAttributeContext {
    uint64_t position = 0;   // byte position just after the last read
    int64_t lcn = 0;         // LCN of the current run (-1 sparse)
    uint64_t run_length = 0; // current run length in clusters
    int64_t lcn_base = 0;    // LCN of the last non-sparse run
    uint64_t run_start = 0;  // byte offset in the value at which the current run begins
    uint32_t run_index = 0;  // index of the current run in `runs`
    std::vector<fsprobe::ntfs::Run> runs;
    uint32_t type = 0;
    bool non_resident = false;
    uint64_t data_size = 0;   // non-resident real size, resident value length
    uint64_t init_size = 0;   // non-resident initialized size
    uint64_t alloc_size = 0;
    uint32_t value_offset = 0; // resident: offset of the value in `attribute`
    std::vector<uint8_t> attribute; // copy of the attribute record (the first piece)

    const uint8_t* value() const { return attribute.data() + value_offset; }
};

namespace fsprobe::ntfs {

using Context = NtfsAttributeContext;
using ContextPtr = std::unique_ptr<Context>;

class Volume;

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
ContextPtr make_context(const std::vector<AttrRef>& pieces);

// Options of the attribute lookup.
struct FindOptions {
    size_t record_size = 1024;
    // The open volume through which an attribute list is followed into
    // extension records; null: only the record itself is searched.
    Volume* volume = nullptr;
    // The record's own number when the caller knows it (older records do not
    // store it in their header); extension records must name it as base.
    u32 self_number = 0xFFFFFFFF;
};

ContextPtr find_attribute(const u8* record, u32 type, const char16_t* name, const FindOptions& opts);

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

// --- reads through a device ---

// Where the clusters of non-resident attributes lie: the device, its cluster
// size and the device offset of cluster 0 (not 0 for an old volume found
// inside a larger one).
struct ClusterMap {
    BgVolume* device = nullptr;
    u64 cluster_size = 0;
    u64 base = 0;
};

// Reads `count` bytes at a device byte offset; returns the bytes delivered.
u32 read_device(BgVolume* device, void* buf, u64 count, u64 offset);

// Reads an attribute's value at any byte offset: resident values from the
// copy, non-resident ones through `map`. Returns the bytes delivered.
u64 read_attribute(Context& ctx, u64 offset, void* buf, u64 length, const ClusterMap& map);

} // namespace fsprobe::ntfs

#include "Attributes.inl"
