// Builds the member files of a RAID array from a volume image: the volume is
// cut into stripes and laid out over the members the way a striped (level 0)
// or RAID 5 (level 1) array with the given layout code stores it. Written
// from the layout table without blockgate's arithmetic, to test it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace salvor_test {

struct RaidShape {
    int level = 0; // 0 striping, 1 striping with parity
    uint32_t layout = 6; // layout code (level 1: 0..5)
    uint32_t members = 2;
    uint32_t stripe = 128; // sectors
    uint32_t first = 0; // sector where the data starts on every member
    uint32_t sector = 512;
};

// The columns that hold the data blocks of stripe row `row`, in block order,
// and (level 1) the column that holds the row's parity (-1 for level 0).
std::vector<uint32_t> raid_row_columns(const RaidShape& shape, uint64_t row, int& parity);

// The members' bytes: the area before the first sector is filled with
// pseudo-random bytes (so a wrong first sector shows), the volume is padded
// with zeros to whole stripe rows.
std::vector<std::vector<uint8_t>> stripe_volume(const std::vector<uint8_t>& volume, const RaidShape& shape);

// The same for a volume file, written to DIR/member-K.img; returns the paths.
std::vector<std::filesystem::path> stripe_volume_file(
    const std::filesystem::path& volume, const RaidShape& shape, const std::filesystem::path& dir);

// "LEVEL:LAYOUT:STRIPE:FIRST" as salvor-cli --raid takes it.
std::string raid_spec(const RaidShape& shape);

} // namespace salvor_test
