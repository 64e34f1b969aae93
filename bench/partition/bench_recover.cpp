// Times the lost-volume search over a disk image beside a plain sequential
// read of the same image (cat IMAGE > /dev/null) in the same run, and prints
// the search's throughput over the bytes it scanned (the disk minus the
// volumes it jumps over).
//
//   bench_partition_recover IMAGE [passes]
//
// tools/fixtures/partition-bench-image.sh makes a 4 GiB image with three volumes.
#include <fsprobe/partition.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

static double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [passes]\n", argv[0]);
        return 64;
    }
    const std::string image = argv[1];
    int passes = argc > 2 ? std::atoi(argv[2]) : 3;
    bg_set_real_disks(0);
    if (int e = bg_add_image(image.c_str())) {
        std::fprintf(stderr, "cannot open %s: errno %d\n", image.c_str(), e);
        return 2;
    }
    bg_scan_disks();
    if (!bg_disk_list) {
        std::fprintf(stderr, "no disk\n");
        return 2;
    }
    BgReader* disk = bg_disk_list->disk;
    uint64_t size = bg_object_size(disk);
    const std::string cat = "cat '" + image + "' > /dev/null";
    if (std::system(cat.c_str()) != 0) // warm the page cache
        return 2;

    double best_cat = 0, best_search = 0;
    uint64_t scanned = 0;
    size_t volumes = 0;
    for (int i = 0; i < passes; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        if (std::system(cat.c_str()) != 0)
            return 2;
        double cat_rate = double(size) / seconds_since(t0) / 1e6;

        t0 = std::chrono::steady_clock::now();
        BgVolume* table = bs_recover(disk);
        double t = seconds_since(t0);
        if (!table) {
            std::fprintf(stderr, "search returned no table\n");
            return 2;
        }
        uint64_t skipped = 0;
        volumes = 0;
        while (volumes < FOUND_VOLUME_TABLE_SIZE && table[volumes].boot_sector)
            skipped += table[volumes++].size;
        scanned = size - skipped;
        double search_rate = double(scanned) / t / 1e6;
        bs_exit();
        best_cat = cat_rate > best_cat ? cat_rate : best_cat;
        best_search = search_rate > best_search ? search_rate : best_search;
    }
    std::printf("image %llu bytes, %zu volumes found, %llu bytes scanned\n", (unsigned long long)size, volumes,
                (unsigned long long)scanned);
    std::printf("cat:    %.0f MB/s\nsearch: %.0f MB/s\nratio:  %.1f%%\n", best_cat, best_search,
                100.0 * best_search / best_cat);
    bg_release_devices();
    return 0;
}
