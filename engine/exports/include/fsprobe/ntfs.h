// fsprobe NTFS family: open a volume and its MFT, find deleted files, rebuild
// the tree of a formatted volume and stream file data.
//
// One volume at a time: the engine keeps process-wide state. Call order:
//   Initi_Ntfs_InFo -> Ntfs_Get_Del_File -> Ntfs_Get_NameParentID / Ntfs_Get_Data
//   -> NTFS_Free_File_Info -> NTFS_Free_Glod_Exit
// and for a formatted volume:
//   Search_Ntfs_InFo -> Nfst_GetFormat_NameParentID / Ntfs_Read_ForMat_Data
//   -> NTFS_Free_Format_Info -> NTFS_Free_Glod_Exit
//
// Records crossing the boundary are packed and little-endian. Address fields
// (the list `next` fields) are pointer-sized; every other field keeps its
// width and order. The sizes and offsets are checked below.
#pragma once

#include <blockgate/blockgate.h>
#include <fsprobe/fsprobe.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// Status codes of Ntfs_Get_Data and Ntfs_Read_ForMat_Data.
#define NTFS_DATA_OK 0u               // bytes delivered
#define NTFS_DATA_NO_RECORD 1u        // the MFT record could not be read (or failed its fix-up)
#define NTFS_DATA_NO_DATA 2u          // no unnamed $DATA, or the disk read delivered nothing
#define NTFS_DATA_END 0xFFFFFFFFu     // the read position was already at or past the end

// Attribute types used by the engine.
#define NTFS_AT_ATTRIBUTE_LIST 0x20u
#define NTFS_AT_FILE_NAME 0x30u
#define NTFS_AT_DATA 0x80u
#define NTFS_AT_INDEX_ROOT 0x90u
#define NTFS_AT_INDEX_ALLOCATION 0xA0u
#define NTFS_AT_BITMAP 0xB0u

// One file found by Ntfs_Get_Del_File, or one entry of a directory listing
// built by Shwo_Ntfs_Dir. Lists are singly linked through `next`; the caller
// owns a list and frees it with NTFS_Free_File_Info.
struct [[gnu::packed]] NtfsFileInfo {
    uint8_t state;              // 0x00 0: a file (deleted file from the scan); 1 in a listing: a sub-directory
    uint8_t reserved0;          // 0x01 always 0
    uint8_t name_length;        // 0x02 name length in UTF-16 units as stored (may exceed 128)
    uint8_t name[256];          // 0x03 UTF-16LE name, at most 128 units, not terminated when full
    NtfsFileInfo* next;         // 0x103 next record, null at the end
    uint32_t reserved1;         // 0x10B 0
    uint64_t created;           // 0x10F creation time from $FILE_NAME (100 ns units since 1601)
    uint64_t record_number;     // 0x117 MFT record number (listings: the whole 64-bit file reference)
    uint64_t parent_reference;  // 0x11F parent file reference (record in the low 48 bits, sequence in the high 16)
    uint64_t size;              // 0x127 size of the unnamed $DATA (0 in listings for directories)
};
static_assert(offsetof(NtfsFileInfo, name_length) == 0x02);
static_assert(offsetof(NtfsFileInfo, name) == 0x03);
static_assert(offsetof(NtfsFileInfo, next) == 0x103);
static_assert(offsetof(NtfsFileInfo, created) == 0x10F);
static_assert(offsetof(NtfsFileInfo, record_number) == 0x117);
static_assert(offsetof(NtfsFileInfo, parent_reference) == 0x11F);
static_assert(offsetof(NtfsFileInfo, size) == 0x127);
static_assert(sizeof(NtfsFileInfo) == 303);

// The name and reference of a parent directory, filled by
// Ntfs_Get_NameParentID and Nfst_GetFormat_NameParentID. The caller passes it
// zero-filled.
struct [[gnu::packed]] NtfsNameParent {
    uint32_t reference_low;   // 0x00 low 32 bits of the parent reference
    uint32_t reference_high;  // 0x04 high 32 bits of the parent reference
    uint8_t name_length;      // 0x08 parent's name length in UTF-16 units
    uint8_t fragment;         // 0x09 format recovery only: the parent's MFT fragment index
    uint8_t flags;            // 0x0A low byte of the parent's record flags (bit 0 in use, bit 1 directory)
    uint8_t name[256];        // 0x0B parent's UTF-16LE name, at most 128 units
};
static_assert(offsetof(NtfsNameParent, name_length) == 0x08);
static_assert(offsetof(NtfsNameParent, fragment) == 0x09);
static_assert(offsetof(NtfsNameParent, flags) == 0x0A);
static_assert(offsetof(NtfsNameParent, name) == 0x0B);
static_assert(sizeof(NtfsNameParent) == 267);

// One MFT record found by the format scan. Allocated with
// sizeof(NtfsFormatInfo) + 2 * name_length + 2 bytes, zero-filled, so the
// name is followed by a zero unit.
struct [[gnu::packed]] NtfsFormatInfo {
    uint8_t kind;             // 0x00 bit 0 directory; bit 1 0; bits 2-7 fragment index 0-15, 63 unattributed
    uint8_t name_length;      // 0x01 UTF-16 units
    NtfsFormatInfo* next;     // 0x02 next record, null at the end
    uint32_t reserved;        // 0x0A 0
    uint32_t parent;          // 0x0E low 32 bits of the $FILE_NAME parent reference
    uint64_t created;         // 0x12 creation time from $FILE_NAME
    uint64_t size;            // 0x1A files: size of the unnamed $DATA; directories: 0
    uint64_t position;        // 0x22 byte offset of the record on the volume
    uint8_t name[];           // 0x2A UTF-16LE name, name_length units
};
static_assert(offsetof(NtfsFormatInfo, name_length) == 0x01);
static_assert(offsetof(NtfsFormatInfo, next) == 0x02);
static_assert(offsetof(NtfsFormatInfo, parent) == 0x0E);
static_assert(offsetof(NtfsFormatInfo, created) == 0x12);
static_assert(offsetof(NtfsFormatInfo, size) == 0x1A);
static_assert(offsetof(NtfsFormatInfo, position) == 0x22);
static_assert(sizeof(NtfsFormatInfo) == 0x2A);

// Fragment index of a format record (bits 2-7 of kind); 63 while unattributed.
#define NTFS_FORMAT_FRAGMENT(rec) (((rec)->kind >> 2) & 0x3F)
#define NTFS_FORMAT_UNATTRIBUTED 63

// An attribute found in an MFT record: made by Ntfs_Find_Attribute, owned by
// whoever received it, released with Ntfs_Release_Attribute_Context. Its
// layout is the engine's own.
struct NtfsAttributeContext;

// Opens the NTFS volume (file-system code 4) and the map of its MFT. Must be
// called before the other NTFS exports for that volume; replaces an earlier
// volume. False for another file system, an unreadable record 0 or no $DATA.
FSPROBE_API bool Initi_Ntfs_InFo(BgVolume* volume);

// Finds an attribute in an MFT record buffer (already fixed up) of the open
// volume's record size (1024 bytes when no volume is open). `name` is a
// zero-terminated UTF-16 string: u"" for the unnamed attribute, u"$I30" for
// directory indexes; null counts as empty. For $FILE_NAME a POSIX, Win32 or
// Win32-and-DOS name is preferred over a DOS-only one. Attributes moved to
// extension records through an attribute list are followed there (this needs
// the open volume); a $DATA spread over several extension records comes back
// as one attribute. Null when absent or damaged.
FSPROBE_API NtfsAttributeContext* Ntfs_Find_Attribute(const uint8_t* record, uint32_t type, const char16_t* name);

// Frees a context (null is ignored).
FSPROBE_API void Ntfs_Release_Attribute_Context(NtfsAttributeContext* context);

// Decodes one run-list entry at `entry`: *offset receives the signed LCN delta
// (-1 for a sparse run), *length the run length in clusters. Returns the
// address of the following entry. The caller tests for the ending 0 header
// byte first and must own 1 + both field sizes (at most 16) bytes at `entry`.
// Fields of up to 8 bytes are decoded in full; a header naming a wider field
// is invalid: both outputs 0 and the result null.
FSPROBE_API const uint8_t* Ntfs_Decode_Run(const uint8_t* entry, int64_t* offset, uint64_t* length);

// The record number stored in an MFT record buffer (offset 0x2C);
// 0xFFFFFFFF for null or a buffer not starting with "FILE".
FSPROBE_API uint32_t Ntfs_Get_MFTID(const uint8_t* record);

// The head of the listing last built by Shwo_Ntfs_Dir, or null.
FSPROBE_API NtfsFileInfo* _Get_ExternUse(void);
// Forgets that head without freeing it (its taker frees it with NTFS_Free_File_Info).
FSPROBE_API void _Set_ExternUse(void);

// Scans the whole MFT of the open volume for deleted files (record flags
// exactly 0) with a name and an unnamed $DATA. Drives bg_progress (0, steps of
// 5, 100); a value of 100 set by someone else stops the scan after the current
// step. Null when nothing was found or no volume is open.
FSPROBE_API NtfsFileInfo* Ntfs_Get_Del_File(void);

// Parent of record `low` (the high word is ignored): its reference and the
// parent's flags and name. 1 on success, 0 when either record cannot be read
// or has no $FILE_NAME.
FSPROBE_API int32_t Ntfs_Get_NameParentID(uint32_t low, uint32_t high, NtfsNameParent* out);

// The whole name of record `low` of the open volume (the high word is
// ignored), the same $FILE_NAME the scan and Ntfs_Get_NameParentID take:
// up to 255 UTF-16 units, where the records above keep only the first 128.
// Writes at most `capacity` units to `out` (not terminated) and returns the
// name's length in units; 0 when the record cannot be read or has no name.
FSPROBE_API uint32_t Ntfs_Get_FullName(uint32_t low, uint32_t high, char16_t* out, uint32_t capacity);

// Lists directory `record` (5 is the root) from its $I30 index; the head is
// then returned by _Get_ExternUse. System files (records 0-23) and DOS-only
// names are left out; sub-directories have state 1. True with an empty list
// when the record cannot be read; false when it has no $I30 index root or a
// large index lacks its allocation or bitmap (the root entries stay listed).
FSPROBE_API bool Shwo_Ntfs_Dir(uint32_t record);

// Frees every record of a list and forgets the listing head. Returns 1.
FSPROBE_API int32_t NTFS_Free_File_Info(NtfsFileInfo* head);

// Releases everything the engine holds (the lists handed out are the
// caller's). Afterwards only Initi_Ntfs_InFo or Search_Ntfs_InFo may follow.
// Returns 1.
FSPROBE_API int32_t NTFS_Free_Glod_Exit(void);

// Format recovery: reads the whole volume for MFT records of old NTFS file
// systems (up to 16 old MFTs) and lists every file and directory record
// found. Drives bg_progress. Null when nothing was found. The list is the
// caller's until NTFS_Free_Format_Info.
FSPROBE_API NtfsFormatInfo* Search_Ntfs_InFo(BgVolume* volume);

// The parent directory of a format record: fills `out` (fragment byte
// included) and returns the parent's format record, or null at the root
// (reference_low 5) or when the parent is unknown (reference_low 0). Climb by
// passing the returned record back in. The first argument is ignored.
FSPROBE_API NtfsFormatInfo* Nfst_GetFormat_NameParentID(void* unused, NtfsFormatInfo* record, NtfsNameParent* out);

// Streams the data of a format record chunk by chunk, with the statuses of
// Ntfs_Get_Data; the file key is the record's position.
FSPROBE_API uint32_t Ntfs_Read_ForMat_Data(NtfsFormatInfo* record, void* buffer, uint32_t length);

// Whether cluster n is marked in use in the $Bitmap of the NTFS volume
// (the engine is reopened on `volume`). False on any failure and when no
// NTFS volume is open.
FSPROBE_API bool Ntfs_Fat_Cmp(BgVolume* volume, int32_t n);

// Frees every format record of a list. Returns 1.
FSPROBE_API int32_t NTFS_Free_Format_Info(NtfsFormatInfo* head);

// Fills `buffer` with the next `length` bytes of the unnamed $DATA of record
// `low` (high word: part of the key only). A new key starts at byte 0. Returns
// an NTFS_DATA_* status; the buffer is untouched on a non-zero status.
FSPROBE_API uint32_t Ntfs_Get_Data(uint32_t low, uint32_t high, void* buffer, uint32_t length);

// type 1: forget the current file (the next read starts at byte 0);
// type 2: forget the format-mode file key. Every type resets the read
// position. Returns 0.
FSPROBE_API int32_t Ntfs_RWfile_Set(int32_t type);

// Size of record (low, high): from the first matching state-0 record of the
// list, else from the record's unnamed $DATA in the MFT; 0 on failure.
FSPROBE_API uint64_t Ntfs_Get_FlieSize(uint32_t low, uint32_t high, NtfsFileInfo* head);

// Cluster size of the old MFT a format record belongs to (the chunk size for
// Ntfs_Read_ForMat_Data); 0 for null or when no old MFT geometry is known.
FSPROBE_API int32_t Ntfs_Format_BlockSize(const NtfsFormatInfo* record);

// Why the last call of the NTFS family failed: "" after a call that
// succeeded, else a short reason naming what failed. Valid until the
// family's next call.
FSPROBE_API const char* ntfs_last_failure(void);

} // extern "C"
