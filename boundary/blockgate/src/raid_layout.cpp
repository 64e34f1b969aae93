// RAID layout arithmetic and the assembled read.
#include "raid_layout.h"

#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace blockgate {

extern thread_local int g_read_errno;

uint32_t parity_column(uint32_t code, uint32_t members, uint64_t row)
{
    const auto turn = uint32_t(row % members);
    switch (code) {
    case BG_RAID_LEFT_ASYMMETRIC:
    case BG_RAID_LEFT_SYMMETRIC:
        return members - 1 - turn;
    case BG_RAID_RIGHT_ASYMMETRIC:
    case BG_RAID_RIGHT_SYMMETRIC:
        return turn;
    case BG_RAID_PARITY_FIRST:
        return 0;
    default:
        return members - 1;
    }
}

uint32_t data_column(uint32_t code, uint32_t members, uint32_t parity, uint32_t d)
{
    switch (code) {
    case BG_RAID_LEFT_SYMMETRIC:
    case BG_RAID_RIGHT_SYMMETRIC:
        return (parity + 1 + d) % members;
    case BG_RAID_PARITY_FIRST:
        return d + 1;
    case BG_RAID_PARITY_LAST:
        return d;
    default: // asymmetric: the data fills the columns in order around the parity
        return d < parity ? d : d + 1;
    }
}

BlockPlace place_block(uint8_t level, uint32_t code, uint32_t members, uint64_t block)
{
    BlockPlace place;
    if (level != BG_RAID_LEVEL_PARITY) {
        place.row = block / members;
        place.column = uint32_t(block % members);
        return place;
    }
    const uint32_t per_row = members - 1;
    place.row = block / per_row;
    place.parity = parity_column(code, members, place.row);
    place.column = data_column(code, members, place.parity, uint32_t(block % per_row));
    return place;
}

namespace {

    std::string number(uint64_t n) { return std::to_string(n); }

    bool valid_sector_size(uint32_t bps) { return bps >= 512 && bps <= 65536 && (bps & (bps - 1)) == 0; }

} // namespace

bool compile_layout(const RaidParams& params, RaidLayout& out, std::string& reason)
{
    out = RaidLayout {};
    if (params.level != BG_RAID_LEVEL_STRIPE && params.level != BG_RAID_LEVEL_PARITY) {
        reason = "RAID level " + number(params.level) + " is neither 0 (striping) nor 1 (striping with parity)";
        return false;
    }
    const uint32_t count = params.member_count;
    if (count == 0) {
        reason = "the array has no members";
        return false;
    }
    if (count > BG_RAID_MAX_MEMBERS) {
        reason = "the array names " + number(count) + " members; at most " + number(BG_RAID_MAX_MEMBERS)
            + " are supported";
        return false;
    }
    uint32_t listed = 0;
    while (listed < BG_RAID_MAX_MEMBERS + 1 && params.members[listed])
        ++listed;
    if (listed < count) {
        reason = "the member list ends after " + number(listed) + " of the " + number(count) + " members";
        return false;
    }
    if (listed > count) {
        reason = "the member list holds more members than the " + number(count) + " the array names";
        return false;
    }
    const bool parity = params.level == BG_RAID_LEVEL_PARITY;
    if (count < 2) {
        reason = "an array needs at least 2 members";
        return false;
    }
    int32_t missing = -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (params.members[i] != BG_RAID_MISSING)
            continue;
        if (!parity) {
            reason = "member " + number(i) + " is missing: a striped array without parity cannot rebuild it";
            return false;
        }
        if (missing >= 0) {
            reason = "members " + number(uint32_t(missing)) + " and " + number(i)
                + " are missing: parity rebuilds only one";
            return false;
        }
        missing = int32_t(i);
    }
    if (parity && params.layout > BG_RAID_PARITY_LAST) {
        reason = "layout code " + number(params.layout) + " is not a parity layout (0 to 5)";
        return false;
    }
    if (params.stripe_size == 0) {
        reason = "the stripe size is 0";
        return false;
    }
    if (params.stripe_size > BG_RAID_MAX_STRIPE_SECTORS) {
        reason = "the stripe size of " + number(params.stripe_size) + " sectors is larger than the "
            + number(BG_RAID_MAX_STRIPE_SECTORS) + " supported";
        return false;
    }

    uint32_t bps = 0;
    uint64_t size = 0;
    int32_t sized = -1; // the member whose size `size` is
    for (uint32_t i = 0; i < count; ++i) {
        BgReader* m = params.members[i];
        if (m == BG_RAID_MISSING)
            continue;
        if (!m->read || !m->size) {
            reason = "member " + number(i) + " cannot be read";
            return false;
        }
        if (!valid_sector_size(m->bytes_per_sector)) {
            reason = "member " + number(i) + " has an unusable sector size of " + number(m->bytes_per_sector);
            return false;
        }
        if (bps && m->bytes_per_sector != bps) {
            reason = "member " + number(i) + " has " + number(m->bytes_per_sector) + "-byte sectors, the others "
                + number(bps);
            return false;
        }
        bps = m->bytes_per_sector;
        const uint64_t s = m->size(m);
        if (sized < 0) {
            size = s;
            sized = int32_t(i);
        } else if (s != size) {
            const uint32_t shorter = s < size ? i : uint32_t(sized);
            reason = "member " + number(shorter) + " is shorter than the others (" + number(std::min(s, size))
                + " bytes, not " + number(std::max(s, size)) + ")";
            return false;
        }
    }
    out.level = params.level;
    out.members = count;
    out.missing = missing;
    out.code = parity ? params.layout : uint32_t(BG_RAID_NO_PARITY);
    out.bytes_per_sector = bps;
    out.stripe_bytes = uint64_t(params.stripe_size) * bps;
    out.first_byte = uint64_t(params.first_sector) * bps;
    if (out.first_byte >= size) {
        reason = "the first sector " + number(params.first_sector) + " lies beyond the members' end";
        return false;
    }
    out.rows = (size - out.first_byte) / out.stripe_bytes;
    if (out.rows == 0) {
        reason = "the members hold no whole stripe after the first sector";
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        out.member[i] = params.members[i];
        out.fd[i] = -1;
    }
    return true;
}

void xor_into(uint8_t* buffer, const uint8_t* other, size_t length)
{
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, buffer + i, 8);
        std::memcpy(&b, other + i, 8);
        a ^= b;
        std::memcpy(buffer + i, &a, 8);
    }
    for (; i < length; ++i)
        buffer[i] ^= other[i];
}

namespace {

    // A piece of member `column`: straight from its file when it can be and the
    // piece is not small, else through its read operation (whose read-ahead
    // serves small sequential reads).
    uint32_t read_member(const RaidLayout& layout, uint32_t column, uint8_t* out, uint32_t n, uint64_t at)
    {
        const int fd = layout.fd[column];
        if (fd >= 0 && n >= 16384) {
            if (at >= layout.limit[column])
                return 0;
            const uint64_t want = std::min<uint64_t>(n, layout.limit[column] - at);
            return uint32_t(read_fully(fd, out, want, layout.base[column] + at));
        }
        BgReader* m = layout.member[column];
        return m->read(m, out, n, at);
    }

} // namespace

uint32_t read_layout(const RaidLayout& layout, void* buffer, uint32_t count, uint64_t offset)
{
    g_read_errno = 0;
    const uint64_t size = layout.size();
    if (offset >= size || count == 0)
        return 0;
    const uint64_t want = std::min<uint64_t>(count, size - offset);
    const uint64_t stripe = layout.stripe_bytes;
    auto* out = static_cast<uint8_t*>(buffer);
    // The others' pieces of a missing member's piece: page-aligned, since the
    // kernel copies into an unaligned buffer several times slower.
    struct Scratch {
        std::unique_ptr<uint8_t, decltype(&std::free)> bytes { nullptr, &std::free };
        size_t size = 0;
        uint8_t* data() { return bytes.get(); }
        bool reserve(size_t n)
        {
            if (n <= size)
                return true;
            const size_t rounded = (n + 4095) & ~size_t(4095);
            bytes.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, rounded)));
            size = bytes ? rounded : 0;
            return size != 0;
        }
    };
    thread_local Scratch scratch;
    uint64_t done = 0;
    while (done < want) {
        const uint64_t pos = offset + done;
        const uint64_t within = pos % stripe;
        // One piece: the rest of this block, at most what is still wanted.
        const auto n = uint32_t(std::min(stripe - within, want - done));
        const BlockPlace place = place_block(layout.level, layout.code, layout.members, pos / stripe);
        const uint64_t at = layout.first_byte + place.row * stripe + within;
        if (int32_t(place.column) != layout.missing) {
            const uint32_t got = read_member(layout, place.column, out + done, n, at);
            done += got;
            if (got < n) {
                if (!g_read_errno)
                    g_read_errno = EIO;
                break;
            }
            continue;
        }
        // The missing member's piece: the XOR of the same piece of every other
        // member of the row (its data and its parity).
        uint8_t* piece = out + done;
        std::memset(piece, 0, n);
        if (!scratch.reserve(n)) {
            g_read_errno = ENOMEM; // no exception leaves a read operation
            return uint32_t(done);
        }
        for (uint32_t c = 0; c < layout.members; ++c) {
            if (int32_t(c) == layout.missing)
                continue;
            if (read_member(layout, c, scratch.data(), n, at) != n) {
                if (!g_read_errno)
                    g_read_errno = EIO;
                return uint32_t(done);
            }
            xor_into(piece, scratch.data(), n);
        }
        done += n;
    }
    return uint32_t(done);
}

} // namespace blockgate
