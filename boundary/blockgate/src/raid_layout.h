// The arithmetic of RAID layouts: a RaidParams record checked once and turned
// into a map from volume bytes to member bytes.
#pragma once

#include <blockgate/raid.h>

#include <cstdint>
#include <string>

namespace blockgate {

struct RaidLayout {
    uint8_t level = 0;
    uint32_t members = 0; // columns
    int32_t missing = -1; // column of the missing member, -1 when none
    uint32_t code = BG_RAID_NO_PARITY;
    uint32_t bytes_per_sector = 512;
    uint64_t stripe_bytes = 0; // one block
    uint64_t first_byte = 0; // where the data starts on every member
    uint64_t rows = 0; // whole stripe rows on every member
    BgReader* member[BG_RAID_MAX_MEMBERS] {};
    // Where a member can be read straight from a file (large pieces skip the
    // member's read-ahead window): its descriptor (-1: through its read
    // operation), the byte offset of the member in the file and its length.
    int fd[BG_RAID_MAX_MEMBERS] {};
    uint64_t base[BG_RAID_MAX_MEMBERS] {};
    uint64_t limit[BG_RAID_MAX_MEMBERS] {};

    uint32_t data_columns() const { return level == BG_RAID_LEVEL_PARITY ? members - 1 : members; }
    uint64_t size() const { return rows * data_columns() * stripe_bytes; }
    uint64_t row_bytes() const { return uint64_t(data_columns()) * stripe_bytes; }
};

// Where one data block lies.
struct BlockPlace {
    uint64_t row = 0;
    uint32_t column = 0;
    uint32_t parity = 0xFF; // parity column of the row, 0xFF without parity
};

// Parity column of row `row` for a level-1 layout code (0..5).
uint32_t parity_column(uint32_t code, uint32_t members, uint64_t row);
// Column of data block `d` (0..members-2) in a row whose parity is on `parity`.
uint32_t data_column(uint32_t code, uint32_t members, uint32_t parity, uint32_t d);

// Maps data block `block` of a layout with `members` columns. Level and code
// must have been checked (level 1: code 0..5, members >= 2; level 0: >= 1).
BlockPlace place_block(uint8_t level, uint32_t code, uint32_t members, uint64_t block);

// Checks `params` as a layout to read through and fills `out`. False with a
// sentence in `reason` when it is not one.
bool compile_layout(const RaidParams& params, RaidLayout& out, std::string& reason);

// Reads [offset, offset + count) of the assembled volume into `buffer`:
// stripe runs straight from each member, a missing member's run rebuilt by
// XOR of the same run of the others. Returns the bytes delivered (short at
// the end or where a member read comes back short).
uint32_t read_layout(const RaidLayout& layout, void* buffer, uint32_t count, uint64_t offset);

// buffer ^= other, `length` bytes.
void xor_into(uint8_t* buffer, const uint8_t* other, size_t length);

} // namespace blockgate
