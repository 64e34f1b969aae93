// Member files of RAID arrays for the tests.
#include "raid_builder.h"

#include "test_support.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace salvor_test {

std::vector<uint32_t> raid_row_columns(const RaidShape& shape, uint64_t row, int& parity)
{
    const uint32_t n = shape.members;
    std::vector<uint32_t> columns;
    if (shape.level == 0) {
        parity = -1;
        for (uint32_t c = 0; c < n; ++c)
            columns.push_back(c);
        return columns;
    }
    const auto turn = uint32_t(row % n);
    switch (shape.layout) {
    case 0: // left asymmetric: parity walks from the last column down, data in column order
        parity = int(n - 1 - turn);
        break;
    case 1: // right asymmetric: parity walks up from the first column
        parity = int(turn);
        break;
    case 2: // left symmetric: as 0, the data starts after the parity and wraps
        parity = int(n - 1 - turn);
        break;
    case 3: // right symmetric
        parity = int(turn);
        break;
    case 4: // parity on the first column
        parity = 0;
        break;
    case 5: // parity on the last column
        parity = int(n - 1);
        break;
    default:
        throw std::invalid_argument("no parity layout code " + std::to_string(shape.layout));
    }
    if (shape.layout == 2 || shape.layout == 3) {
        for (uint32_t k = 1; k < n; ++k)
            columns.push_back((uint32_t(parity) + k) % n);
    } else {
        for (uint32_t c = 0; c < n; ++c)
            if (int(c) != parity)
                columns.push_back(c);
    }
    return columns;
}

std::vector<std::vector<uint8_t>> stripe_volume(const std::vector<uint8_t>& volume, const RaidShape& shape)
{
    const uint64_t stripe = uint64_t(shape.stripe) * shape.sector;
    const uint64_t first = uint64_t(shape.first) * shape.sector;
    const uint32_t per_row = shape.level == 0 ? shape.members : shape.members - 1;
    const uint64_t row_bytes = stripe * per_row;
    const uint64_t rows = (volume.size() + row_bytes - 1) / row_bytes;
    std::vector<std::vector<uint8_t>> members(shape.members);
    for (uint32_t m = 0; m < shape.members; ++m) {
        members[m] = random_bytes(first, 1000 + m);
        members[m].resize(first + rows * stripe, 0);
    }
    for (uint64_t r = 0; r < rows; ++r) {
        int parity = -1;
        const auto columns = raid_row_columns(shape, r, parity);
        for (uint32_t d = 0; d < per_row; ++d) {
            const uint64_t from = (r * per_row + d) * stripe;
            if (from >= volume.size())
                continue;
            const uint64_t n = std::min<uint64_t>(stripe, volume.size() - from);
            std::memcpy(members[columns[d]].data() + first + r * stripe, volume.data() + from, n);
        }
        if (parity >= 0) {
            uint8_t* p = members[uint32_t(parity)].data() + first + r * stripe;
            for (uint32_t d = 0; d < per_row; ++d) {
                const uint8_t* q = members[columns[d]].data() + first + r * stripe;
                for (uint64_t i = 0; i < stripe; ++i)
                    p[i] ^= q[i];
            }
        }
    }
    return members;
}

std::vector<std::filesystem::path> stripe_volume_file(
    const std::filesystem::path& volume, const RaidShape& shape, const std::filesystem::path& dir)
{
    const auto members = stripe_volume(read_file(volume), shape);
    std::vector<std::filesystem::path> paths;
    for (size_t i = 0; i < members.size(); ++i) {
        paths.push_back(dir / ("member-" + std::to_string(i) + ".img"));
        write_file(paths.back(), members[i]);
    }
    return paths;
}

std::string raid_spec(const RaidShape& shape)
{
    return std::to_string(shape.level) + ":" + std::to_string(shape.layout) + ":" + std::to_string(shape.stripe) + ":"
        + std::to_string(shape.first);
}

} // namespace salvor_test
