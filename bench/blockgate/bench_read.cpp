// Reads an image through a volume reader in 4 KiB sequential reads and in
// 1 MiB reads, in the same run, and prints both throughputs.
//
//   bench_blockgate_read IMAGE [passes]
//
// Run it twice or pre-read the image (cat IMAGE > /dev/null) so the page
// cache is hot for both figures.
#include <blockgate/blockgate.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

static double read_all(BgReader* r, uint64_t size, uint32_t chunk)
{
    std::vector<uint8_t> buf(chunk);
    auto t0 = std::chrono::steady_clock::now();
    uint64_t total = 0, sum = 0;
    for (uint64_t off = 0; off < size; off += chunk) {
        uint32_t n = r->read(r, buf.data(), chunk, off);
        if (n == 0)
            break;
        total += n;
        sum += buf[0];
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (sum == 42)
        std::puts("");
    return double(total) / s / 1e6;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [passes]\n", argv[0]);
        return 64;
    }
    int passes = argc > 2 ? std::atoi(argv[2]) : 3;
    bg_set_real_disks(0);
    if (int e = bg_add_image(argv[1])) {
        std::fprintf(stderr, "cannot open %s: errno %d\n", argv[1], e);
        return 2;
    }
    bg_scan_disks();
    bg_scan_volumes();
    if (!bg_volume_list) {
        std::fprintf(stderr, "no volume\n");
        return 2;
    }
    BgVolume* v = bg_volume_list->volume;
    read_all(v->reader, v->size, 1 << 20); // warm the page cache
    double best4k = 0, best1m = 0;
    for (int i = 0; i < passes; ++i) {
        double a = read_all(v->reader, v->size, 4096);
        double b = read_all(v->reader, v->size, 1 << 20);
        best4k = a > best4k ? a : best4k;
        best1m = b > best1m ? b : best1m;
    }
    std::printf("volume %llu bytes\n4 KiB reads: %.0f MB/s\n1 MiB reads: %.0f MB/s\nratio: %.1f%%\n",
                (unsigned long long)v->size, best4k, best1m, 100.0 * best4k / best1m);
    bg_release_devices();
    return 0;
}
