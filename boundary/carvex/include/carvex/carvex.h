// carvex: finds files on a volume by their content and hands them out as items
// grouped by type.
//
// Calling order: cx_scan_volume once per raw scan; then cx_next_type until it
// returns null, and cx_get_item / cx_item_size for the listing; per file a run
// of cx_read_item calls that together cover exactly cx_item_size bytes, then one
// cx_end_read; finally cx_release. Calls come from one thread at a time.
//
// Items are (offset, size) records: the scan keeps no file contents in memory,
// and cx_read_item reads the bytes from the volume when asked.
#pragma once

#include <blockgate/blockgate.h>

#include <cstdint>

#define CX_API __attribute__((visibility("default")))

extern "C" {

// An item found by the scan. Opaque; valid until cx_release or the next scan.
typedef struct CxItem CxItem;

// Scans the whole volume. bg_progress is set to 0 at the start, rises in steps
// of 5 while the scan goes on and stands at 100 when the call returns. Setting
// bg_progress to 100 from another thread stops the scan soon after; what was
// found until then is kept. Replaces the results of an earlier scan.
// Returns the number of items found, or -1 when the volume cannot be read
// (null volume, no reader): bg_progress is 100 then too.
CX_API int32_t cx_scan_volume(BgVolume* volume);

// The lower-case type names found (file extensions such as "jpg", "docx"),
// each once, in a fixed order; null after the last. The call after the null
// starts the list again. The text stays valid until cx_release.
CX_API const char* cx_next_type(void);

// Item `index` (from 0, without gaps) of the type named `type` (compared
// without regard to case); null when there is no such item.
CX_API CxItem* cx_get_item(const char* type, int32_t index);

// Size of the item in bytes (0 for a null item).
CX_API uint64_t cx_item_size(CxItem* item);

// Byte offset of the item's first byte on the volume (0 for a null item).
CX_API uint64_t cx_item_offset(CxItem* item);

// Reads the item's next `length` bytes into `buffer`. The first call, and the
// first after cx_end_read or after a call for another item, starts at the
// item's first byte. Returns the number of bytes stored: `length`, or less at
// the item's end (0 once it is all read) or when the volume could not be read
// (the rest of the buffer is then left unchanged and the read position stays
// after the last byte stored).
CX_API uint32_t cx_read_item(BgVolume* volume, CxItem* item, void* buffer, uint32_t length);

// Ends the sequential read of the current item.
CX_API void cx_end_read(void);

// The kind of file a type name stands for (compared without regard to case):
// CX_CATEGORY_PHOTO, _MUSIC, _VIDEO or _OTHERS for every type cx_next_type can
// report, and for the other common extensions of photos, music and video
// ("jpeg", "tiff", "aiff", ...); -1 for any other name and for null. Each name
// has exactly one category. Needs no scan.
enum {
    CX_CATEGORY_PHOTO = 0,
    CX_CATEGORY_MUSIC = 1,
    CX_CATEGORY_VIDEO = 2,
    CX_CATEGORY_OTHERS = 3,
};
CX_API int32_t cx_type_category(const char* type);

// Frees everything the last scan found. Item handles and type names become
// invalid.
CX_API void cx_release(void);

} // extern "C"
