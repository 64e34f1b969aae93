// Method 2 of the layout detection: an NTFS file system striped over the
// members. Its boot sector gives the array's first sector and the member
// that holds the first stripe; where consecutive MFT records lie on the
// members gives the stripe size, the order of the other members and (level 1)
// the rotation of the parity.
#include "Detection.h"

#include <fsprobe/common/failure.h>

#include <ondisk/bytes.h>
#include <ondisk/ntfs_boot.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace fsprobe::raid {

namespace {

using ondisk::ByteView;

constexpr uint32_t window = 64u << 10;
constexpr uint64_t first_window = 100ull << 20; // past the partition table and its reserved area
constexpr uint64_t last_window = 1ull << 30;
constexpr uint32_t stripe_sizes[] = { 16, 32, 64, 128, 256, 512, 1024, 2048 }; // sectors
// MFT records judged: enough to cross several stripes of the largest size
// on a small array, little enough to read quickly.
constexpr uint32_t records_judged = 2048;
constexpr size_t max_candidates = 8;

class Members {
public:
    explicit Members(const MemberSet& set)
        : m_set(set)
    {
    }

    size_t count() const { return m_set.members.size(); }
    bool present(size_t i) const { return m_set.members[i] != nullptr; }

    // `length` bytes at `offset` of every member; a missing member's share is
    // rebuilt by XOR of the others' (level 1). False when a present member
    // reads short.
    bool read_all(uint64_t offset, uint32_t length, std::vector<std::vector<uint8_t>>& out) const
    {
        out.assign(count(), std::vector<uint8_t>(length, 0));
        int missing = -1;
        for (size_t i = 0; i < count(); ++i) {
            if (!present(i)) {
                missing = int(i);
                continue;
            }
            BgReader* r = m_set.members[i];
            if (r->read(r, out[i].data(), length, offset) != length)
                return false;
        }
        if (missing >= 0 && m_set.level == BG_RAID_LEVEL_PARITY && m_set.missing_count() == 1)
            for (size_t i = 0; i < count(); ++i)
                if (int(i) != missing)
                    for (uint32_t b = 0; b < length; ++b)
                        out[missing][b] ^= out[i][b];
        return true;
    }

private:
    const MemberSet& m_set;
};

struct BootFind {
    uint64_t first_sector = 0;     // on every member
    // The members whose share held a boot sector there (at most two) and
    // what each says: the parity of a row whose other blocks start alike
    // can pass for a boot sector with wrong fields.
    std::vector<size_t> holders;
    std::vector<ondisk::ntfs::BootSector> boots;
};

// The window scan: the first window in which one or two members show an NTFS
// boot sector at the same position. Three or more: the window does not count.
std::optional<BootFind> find_boot_sector(const Members& members, uint32_t bps)
{
    std::vector<std::vector<uint8_t>> slots;
    for (uint64_t offset = first_window; offset + window <= last_window; offset += window) {
        if (!members.read_all(offset, window, slots))
            return std::nullopt; // the members end here
        for (uint32_t j = 0; j < window / bps; ++j) {
            BootFind found;
            for (size_t m = 0; m < members.count(); ++m) {
                auto boot = ondisk::ntfs::identify(ByteView(slots[m].data() + j * bps, bps));
                if (!boot)
                    continue;
                found.holders.push_back(m);
                found.boots.push_back(*boot);
            }
            if (found.holders.empty() || found.holders.size() > 2)
                continue;
            found.first_sector = offset / bps + j;
            return found;
        }
        if (bg_stop_requested())
            return std::nullopt;
    }
    return std::nullopt;
}

// Where a data block of the volume lies: its column (the layout table is
// blockgate's) and stripe row.
struct Place {
    uint32_t column;
    uint64_t row;
};

std::optional<Place> place_block(uint64_t block, uint8_t level, uint32_t n, uint32_t layout)
{
    RaidParams params {};
    params.level = level;
    params.member_count = uint16_t(n);
    params.layout = layout;
    const uint32_t mapped = bg_raid_map_block(&params, block);
    if (mapped == 0xFFFF || (mapped & 0xFF) >= n)
        return std::nullopt;
    const uint32_t data_columns = level == BG_RAID_LEVEL_PARITY ? n - 1 : n;
    return Place { mapped & 0xFF, block / data_columns };
}

struct Judged {
    Candidate candidate;
    int64_t score = 0;
};

// The MFT records found in every member's share of the rows that hold the
// first records_judged records, by byte offset from the first sector.
struct RecordMap {
    uint64_t base = 0; // byte offset (from the first sector) of the first byte read
    std::vector<std::vector<uint8_t>> shares;
};

// The record number at `offset` of member m, -1 when no MFT record is there.
int64_t record_at(const RecordMap& map, size_t m, uint64_t offset)
{
    if (offset < map.base)
        return -1;
    ByteView share(map.shares[m].data(), map.shares[m].size());
    const uint64_t at = offset - map.base;
    if (!share.equals(at, "FILE", 4))
        return -1;
    auto number = share.le32(at + 0x2C);
    return number ? int64_t(*number) : -1;
}

// Judges one stripe size with the geometry of one boot sector; column of the
// first stripe given to `choices` (the member that held that boot sector, and
// the missing member).
void judge_stripe(const Members& members, const MemberSet& set, uint64_t first_sector,
                  const ondisk::ntfs::BootSector& boot, const std::vector<uint32_t>& first_choices, uint32_t bps,
                  uint32_t stripe, std::vector<Judged>& out)
{
    const uint32_t n = uint32_t(members.count());
    const uint64_t stripe_bytes = uint64_t(stripe) * bps;
    const uint64_t record = boot.record_size;
    const uint64_t mft = boot.mft_lcn * boot.cluster_size;
    if (!record || mft / boot.cluster_size != boot.mft_lcn)
        return;
    const uint32_t data_columns = set.level == BG_RAID_LEVEL_PARITY ? n - 1 : n;
    const uint64_t first_block = mft / stripe_bytes;
    const uint64_t last_block = (mft + records_judged * record - 1) / stripe_bytes;
    const uint64_t first_row = first_block / data_columns;
    const uint64_t last_row = last_block / data_columns;
    const uint64_t start = first_sector * bps;
    RecordMap map;
    map.base = first_row * stripe_bytes;
    const uint64_t length = (last_row - first_row + 1) * stripe_bytes;
    // Every member's share is held at once: 256 MiB at most together (an
    // MFT record size far above the usual 1 KiB can ask for more).
    if (length > (256u << 20) / n)
        return;
    if (!members.read_all(start + map.base, uint32_t(length), map.shares))
        return; // the members end before the rows
    const std::vector<uint32_t> layouts = set.level == BG_RAID_LEVEL_PARITY
                                              ? std::vector<uint32_t> { 0, 1, 2, 3, 4, 5 }
                                              : std::vector<uint32_t> { BG_RAID_NO_PARITY };
    for (uint32_t layout : layouts) {
        // score[c][m]: records predicted on column c that member m holds where
        // predicted (+1) or where it holds another record (-4).
        std::vector<std::vector<int64_t>> score(n, std::vector<int64_t>(n, 0));
        std::vector<std::vector<int64_t>> hits(n, std::vector<int64_t>(n, 0));
        std::vector<std::vector<int64_t>> misses(n, std::vector<int64_t>(n, 0));
        for (uint32_t k = 0; k < records_judged; ++k) {
            const uint64_t v = mft + k * record;
            const uint64_t block = v / stripe_bytes;
            const auto place = place_block(block, set.level, n, layout);
            if (!place)
                break;
            const Place p = *place;
            const uint64_t offset = p.row * stripe_bytes + v % stripe_bytes;
            for (uint32_t m = 0; m < n; ++m) {
                if (!members.present(m))
                    continue;
                const int64_t number = record_at(map, m, offset);
                if (number == int64_t(k)) {
                    score[p.column][m] += 1;
                    ++hits[p.column][m];
                } else if (number >= 0) {
                    score[p.column][m] -= 4;
                    ++misses[p.column][m];
                }
            }
        }
        // The column of the volume's first stripe holds the boot sector: it
        // is a member that showed one (the other may hold the parity copy of
        // it), or the missing member.
        const auto first_place = place_block(0, set.level, n, layout);
        if (!first_place)
            continue;
        const uint32_t first_column = first_place->column;
        for (uint32_t first : first_choices) {
            Judged j;
            j.candidate.order.fill(0xFF);
            j.candidate.order[first_column] = uint8_t(first);
            std::vector<bool> used(n, false);
            used[first] = true;
            int64_t total_hits = members.present(first) ? hits[first_column][first] : 0;
            int64_t total_misses = members.present(first) ? misses[first_column][first] : 0;
            bool confirmed_beyond_first = false;
            bool usable = true;
            // Every other column goes to the unused member that scores best on
            // it; the missing member (scoring nothing) takes what is left.
            for (uint32_t c = 0; c < n && usable; ++c) {
                if (c == first_column)
                    continue;
                int best = -1;
                for (uint32_t m = 0; m < n; ++m)
                    if (!used[m] && members.present(m) && (best < 0 || score[c][m] > score[c][best]))
                        best = int(m);
                if (best >= 0 && hits[c][best] > 0 && score[c][best] > 0) {
                    confirmed_beyond_first = true;
                } else if (set.missing_index() >= 0 && !used[set.missing_index()]) {
                    best = set.missing_index();
                } else if (best < 0) {
                    usable = false;
                    break;
                }
                used[best] = true;
                j.candidate.order[c] = uint8_t(best);
                if (members.present(best)) {
                    total_hits += hits[c][best];
                    total_misses += misses[c][best];
                }
            }
            // A layout is only judged when records were found where it says
            // beyond the first column, and hardly any record contradicts it
            // (the copies of the first records in $MFTMirr may).
            if (!usable || !confirmed_beyond_first || total_misses * 20 > total_hits)
                continue;
            j.score = total_hits - 4 * total_misses;
            j.candidate.layout = layout;
            j.candidate.stripe_size = stripe;
            j.candidate.member_start.assign(n, first_sector);
            for (uint32_t m = 0; m < n; ++m)
                if (!members.present(m))
                    j.candidate.member_start[m] = no_start;
            out.push_back(std::move(j));
        }
    }
}

} // namespace

std::vector<Candidate> detect_from_content(const MemberSet& set)
{
    const size_t n = set.members.size();
    if (n < 2 || n > BG_RAID_MAX_MEMBERS) {
        fail("an array needs 2 to 16 members");
        return {};
    }
    if (set.missing_count() > (set.level == BG_RAID_LEVEL_PARITY ? 1 : 0)) {
        fail(set.level ? "a RAID-5 array can do without one member only" : "a striped array cannot do without a member");
        return {};
    }
    Members members(set);
    uint32_t bps = 512;
    for (BgReader* r : set.members)
        if (r) {
            bps = r->bytes_per_sector >= 512 && r->bytes_per_sector <= 4096 ? r->bytes_per_sector : 512;
            break;
        }
    // The array is a GPT disk: the first entry of its protective MBR is of
    // type 0xEE. It lies on the member that holds the first column, which
    // need not be the member given first.
    std::vector<std::vector<uint8_t>> sector0;
    bool protective = false;
    if (members.read_all(0, 512, sector0))
        for (const auto& s : sector0)
            protective |= s[0x1C2] == 0xEE && s[510] == 0x55 && s[511] == 0xAA;
    if (!protective) {
        fail("no member starts with a GPT protective MBR");
        return {};
    }
    auto found = find_boot_sector(members, bps);
    if (!found) {
        fail("no NTFS boot sector found on the members between 100 MiB and 1 GiB");
        return {};
    }
    std::vector<Judged> judged;
    for (size_t h = 0; h < found->holders.size(); ++h) {
        std::vector<uint32_t> choices { uint32_t(found->holders[h]) };
        if (set.missing_index() >= 0)
            choices.push_back(uint32_t(set.missing_index()));
        for (uint32_t stripe : stripe_sizes)
            judge_stripe(members, set, found->first_sector, found->boots[h], choices, bps, stripe, judged);
    }
    if (judged.empty()) {
        fail("the MFT records of the NTFS volume fit no stripe size and member order");
        return {};
    }
    // Best first; on equal scores the smaller stripe (listed first) stays first.
    std::stable_sort(judged.begin(), judged.end(), [](const Judged& a, const Judged& b) { return a.score > b.score; });
    std::vector<Candidate> out;
    for (const Judged& j : judged) {
        if (out.size() == max_candidates || j.score < judged.front().score)
            break;
        out.push_back(j.candidate);
    }
    return out;
}

} // namespace fsprobe::raid
