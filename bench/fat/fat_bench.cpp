// Times the FAT engine on an image opened through blockgate, as the program
// opens it.
//
//   fat_bench format IMAGE    fat_fmtRec_search over the whole volume
//   fat_bench deleted IMAGE   fat_searchfile from the root, then the pass over
//                             the free clusters
//
// Prints the wall time, the throughput of the scan and what was found.
#include <blockgate/blockgate.h>
#include <fsprobe/fat.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s format|deleted IMAGE\n", argv[0]);
        return 64;
    }
    bg_set_real_disks(0);
    if (int e = bg_add_image(argv[2])) {
        std::fprintf(stderr, "cannot open %s: errno %d\n", argv[2], e);
        return 2;
    }
    bg_scan_disks();
    bg_scan_volumes();
    if (!bg_volume_list) {
        std::fprintf(stderr, "no volume\n");
        return 2;
    }
    BgVolume* volume = bg_volume_list->volume;
    auto t0 = std::chrono::steady_clock::now();
    if (std::strcmp(argv[1], "format") == 0) {
        if (!fat_fmtRec_init(volume)) {
            std::fprintf(stderr, "fat_fmtRec_init failed\n");
            return 1;
        }
        FatLostDir** tops = fat_fmtRec_search(volume->fs_code);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        size_t trees = 0, entries = 0;
        for (FatLostDir** t = tops; t && *t; ++t)
            ++trees;
        for (FatLostDir* n = tops && tops[0] ? tops[0] : nullptr; n; n = n->next)
            for (FatEntry** e = n->entries; e && *e; ++e)
                ++entries;
        std::printf("fat_fmtRec_search: %.3f s, %.1f MB/s over %llu bytes, %zu trees, %zu entries\n", s,
                    double(volume->size) / s / 1e6, (unsigned long long)volume->size, trees, entries);
        fat_fmtRec_exit();
    } else {
        if (!fat_init(volume)) {
            std::fprintf(stderr, "fat_init failed (code %d)\n", volume->fs_code);
            return 1;
        }
        uint32_t files = 0, dirs = 0;
        FatDirNode* root = fat_searchfile(1, &files, &dirs);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        size_t lost = 0;
        for (FatDirNode* n = root ? root->next : nullptr; n; n = n->next)
            lost += !n->parent && !n->root;
        std::printf("fat_searchfile: %.3f s, %.1f MB/s over %llu bytes, %s, %u deleted files, %u directories, %zu lost "
                    "folders\n",
                    s, double(volume->size) / s / 1e6, (unsigned long long)volume->size, root ? "root" : "null", files,
                    dirs, lost);
        fat_exit();
    }
    bg_release_devices();
    return 0;
}
