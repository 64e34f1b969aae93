// RAID benchmark helper:
//   raid_bench make DIR MIB         writes DIR/member-0..3.img: a 4-member RAID 5
//                                   (left symmetric, 128-sector stripes) of MIB MiB of data
//   raid_bench read DIR [MISSING]   reads the assembled volume from start to end in
//                                   1 MiB pieces (member MISSING left out, rebuilt
//                                   from parity) and prints the time and the rate
#include <fsprobe/raid.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMembers = 4;
constexpr uint32_t kStripeSectors = 128;
constexpr uint64_t kStripe = kStripeSectors * 512;

int make(const std::string& dir, uint64_t mib)
{
    const uint64_t rows = (mib << 20) / (kStripe * (kMembers - 1));
    std::vector<FILE*> files;
    for (uint32_t m = 0; m < kMembers; ++m) {
        const std::string path = dir + "/member-" + std::to_string(m) + ".img";
        FILE* f = std::fopen(path.c_str(), "wbx");
        if (!f) {
            std::perror(path.c_str());
            return 1;
        }
        files.push_back(f);
    }
    std::mt19937_64 rng(1);
    std::vector<std::vector<uint64_t>> chunk(kMembers, std::vector<uint64_t>(kStripe / 8));
    for (uint64_t r = 0; r < rows; ++r) {
        // Left symmetric: parity walks down from the last column, the data
        // starts after it.
        const uint32_t parity = kMembers - 1 - uint32_t(r % kMembers);
        std::fill(chunk[parity].begin(), chunk[parity].end(), 0);
        for (uint32_t d = 0; d + 1 < kMembers; ++d) {
            auto& c = chunk[(parity + 1 + d) % kMembers];
            for (auto& w : c)
                w = rng();
            for (size_t i = 0; i < c.size(); ++i)
                chunk[parity][i] ^= c[i];
        }
        for (uint32_t m = 0; m < kMembers; ++m)
            if (std::fwrite(chunk[m].data(), 1, kStripe, files[m]) != kStripe)
                return 1;
    }
    for (FILE* f : files)
        std::fclose(f);
    return 0;
}

int read(const std::string& dir, int missing)
{
    bg_set_real_disks(0);
    for (uint32_t m = 0; m < kMembers; ++m)
        if (bg_add_image((dir + "/member-" + std::to_string(m) + ".img").c_str()) != 0)
            return 1;
    bg_scan_disks();
    bg_scan_volumes();
    RaidParams p {};
    p.level = BG_RAID_LEVEL_PARITY;
    p.layout = BG_RAID_LEFT_SYMMETRIC;
    p.stripe_size = kStripeSectors;
    p.member_count = kMembers;
    int i = 0;
    for (BgDiskNode* d = bg_disk_list; d; d = d->next, ++i)
        p.members[i] = i == missing ? BG_RAID_MISSING : d->disk;
    if (Professional_Mode(&p) != 1) {
        std::fprintf(stderr, "raid_bench: %s\n", raid_last_failure());
        return 1;
    }
    BgVolume* v = p.volume;
    BgReader* r = v->reader;
    // The piece size and alignment of cat's buffer (128 KiB, page-aligned): the
    // kernel's copy into an unaligned buffer alone costs three times as much.
    constexpr size_t kPiece = 128 << 10;
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer(
        static_cast<uint8_t*>(std::aligned_alloc(4096, kPiece)), &std::free);
    uint8_t* buf = buffer.get();
    uint64_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    uint64_t off = 0;
    while (off < v->size) {
        const uint32_t got = r->read(r, buf, uint32_t(kPiece), off);
        if (got == 0)
            break;
        sum += buf[got - 1];
        off += got;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("virtual volume%s: %llu bytes in %.3f s, %.0f MiB/s (check %llu)\n",
        missing >= 0 ? (", member " + std::to_string(missing) + " missing").c_str() : "",
        static_cast<unsigned long long>(off), s, double(off) / s / (1 << 20), static_cast<unsigned long long>(sum));
    RAID_exit();
    bg_release_devices();
    return off == v->size ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (argc >= 3 && std::strcmp(argv[1], "read") == 0)
        return read(argv[2], argc >= 4 ? std::atoi(argv[3]) : -1);
    std::fprintf(stderr, "usage: raid_bench make DIR MIB | read DIR [MISSING]\n");
    return 64;
}
