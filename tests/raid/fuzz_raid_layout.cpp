// Fuzzes RAID layouts and member sizes: any record is either refused or reads
// within bounds, and a member rebuilt from parity reads as the member itself.
#include "memory_volume.h"

#include <blockgate/raid.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Input {
    const uint8_t* p;
    size_t n;
    uint32_t take(int bytes)
    {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v = v << 8 | (n ? *p : 0);
            if (n) {
                ++p;
                --n;
            }
        }
        return v;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in { data, size };
    RaidParams params {};
    params.level = uint8_t(in.take(1) % 3);
    params.layout = in.take(1) % 8;
    const uint32_t count = in.take(1) % 19;
    params.member_count = uint16_t(in.take(1) % 2 ? count : in.take(1) % 19);
    params.stripe_size = in.take(2) % 300; // 0 and more than a member included
    params.first_sector = in.take(1) % 40;
    const uint32_t missing = in.take(1);
    const bool big_sectors = in.take(1) % 7 == 0;
    const uint32_t sector = big_sectors ? 4096 : 512;
    const uint32_t common = 1 + in.take(1) % 64; // sectors per member
    const uint32_t odd = in.take(1); // one member of another size, when odd % 5 == 0

    // The last member is the XOR of the others at every offset, so every
    // column of every row is the XOR of the other columns, whatever the layout.
    const uint32_t members = std::min<uint32_t>(count, BG_RAID_MAX_MEMBERS + 1);
    std::vector<std::vector<uint8_t>> bytes(members, std::vector<uint8_t>(size_t(common) * sector));
    for (uint32_t m = 0; m + 1 < members; ++m)
        for (size_t i = 0; i < bytes[m].size(); ++i)
            bytes[m][i] = uint8_t(in.take(0) + m * 131 + i * 7 + (i >> 9));
    if (members) {
        for (uint32_t m = 0; m + 1 < members; ++m)
            for (size_t i = 0; i < bytes[m].size(); ++i)
                bytes[members - 1][i] ^= bytes[m][i];
        if (odd % 5 == 0)
            bytes[odd % members].resize(bytes[odd % members].size() / 2);
    }
    std::vector<std::unique_ptr<salvor_test::MemoryVolume>> volumes;
    for (uint32_t m = 0; m < members; ++m) {
        volumes.push_back(std::make_unique<salvor_test::MemoryVolume>(bytes[m], BG_FS_UNKNOWN, sector));
        params.members[m] = volumes.back()->reader();
    }
    if (members && missing % 3 == 0)
        params.members[missing % members] = BG_RAID_MISSING;

    (void)bg_raid_map_block(&params, in.take(4));
    char reason[128];
    const bool usable = bg_raid_check(&params, reason, sizeof reason) == 0;
    if (!usable && std::strlen(reason) == 0)
        std::abort(); // a refusal always says why

    BgRaidOpen how {};
    how.member = 0xFF;
    how.first_sector = params.first_sector;
    BgVolume* volume = bg_open_virtual_volume(params.members, &how);
    if (!volume)
        return 0;
    params.volume = volume;
    params.open = 1;
    bg_raid_context.store(&params);
    (void)bg_probe_volume(volume);
    BgReader* r = volume->reader;
    const uint64_t total = r->size(r);
    if (!usable && total != 0)
        std::abort(); // a refused layout reads nothing
    std::vector<uint8_t> a(70000), b(70000);
    for (int i = 0; i < 4 && usable; ++i) {
        const uint64_t off = total ? in.take(3) % (total + 1000) : 0;
        const uint32_t n = in.take(2) % 70000;
        const uint32_t got = r->read(r, a.data(), n, off);
        if (got > n || (off < total && got != std::min<uint64_t>(n, total - off)) || (off >= total && got))
            std::abort();
        // The same bytes with one present member rebuilt from the others.
        if (params.level == BG_RAID_LEVEL_PARITY && got) {
            int32_t gone = -1;
            for (uint32_t m = 0; m < params.member_count; ++m)
                gone = params.members[m] == BG_RAID_MISSING ? int32_t(m) : gone;
            if (gone < 0) {
                const uint32_t m = in.take(1) % params.member_count;
                BgReader* keep = params.members[m];
                params.members[m] = BG_RAID_MISSING;
                const uint32_t again = r->read(r, b.data(), n, off);
                params.members[m] = keep;
                if (again != got || std::memcmp(a.data(), b.data(), got) != 0)
                    std::abort();
            }
        }
    }
    bg_raid_context.store(nullptr);
    bg_close_volume(volume);
    return 0;
}
