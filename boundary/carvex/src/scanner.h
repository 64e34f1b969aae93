// The scan: every 512-byte boundary of the volume is tested for the headers
// the end-finders know; a file found there is recorded as an (offset, size)
// item and the scan goes on after its end, so nothing inside a file's extent
// is reported again.
#pragma once

#include "formats.h"
#include "source.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

struct CxItem {
    uint64_t offset;
    uint64_t size;
    uint32_t type;
};

namespace carvex {

constexpr uint64_t kSector = 512;

// The kind of file a type is: the values of cx_type_category.
enum class Category : int32_t {
    photo = 0,
    music = 1,
    video = 2,
    others = 3,
};

struct TypeInfo {
    const char* name; // lower case, as cx_next_type reports it
    Category category;
};

// The types the scan reports, in the order cx_next_type reports them.
extern const TypeInfo kTypes[];
extern const uint32_t kTypeCount;
// Index of a type name in kTypes (case-insensitive), or -1.
int type_index(const char* name);
// Category of a type name (case-insensitive): the reported types and the
// other extensions of photos, music and video; -1 for any other name.
int type_category(const char* name);

// Tests the header at `off` (p: the first `n` bytes there) against every
// format whose signature matches and returns the first file found.
Found probe(Source& s, uint64_t off, const uint8_t* p, size_t n);

struct ScanResult {
    std::deque<CxItem> items;
    std::vector<std::vector<CxItem*>> by_type;
    bool stopped = false;
};

// Scans the whole source. `progress` is called with each new percentage
// step (5, 10, ... 95) and returns false when the scan must stop.
void scan(Source& s, ScanResult& out, const std::function<bool(int32_t)>& progress);

} // namespace carvex
