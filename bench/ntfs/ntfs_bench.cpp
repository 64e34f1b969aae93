// Timing of the two NTFS scans on an image file, with the peak memory.
//   ntfs_bench deleted IMAGE   Initi_Ntfs_InFo + Ntfs_Get_Del_File
//   ntfs_bench format IMAGE    Search_Ntfs_InFo
// Prints: seconds, records found, MiB/s of the volume, peak RSS in KiB.

#include <file_volume.h>
#include <fsprobe/ntfs.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

static long peak_kib()
{
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "deleted") && std::strcmp(argv[1], "format"))) {
        std::fprintf(stderr, "usage: %s deleted|format IMAGE\n", argv[0]);
        return 2;
    }
    salvor_test::FileVolume vol(argv[2], BG_FS_NTFS);
    long before = peak_kib();
    auto t0 = std::chrono::steady_clock::now();
    size_t found = 0;
    if (!std::strcmp(argv[1], "deleted")) {
        if (!Initi_Ntfs_InFo(vol.volume())) {
            std::fprintf(stderr, "not an NTFS volume\n");
            return 1;
        }
        NtfsFileInfo* head = Ntfs_Get_Del_File();
        for (NtfsFileInfo* f = head; f; f = f->next)
            ++found;
        auto t1 = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(t1 - t0).count();
        std::printf("deleted: %.3f s, %zu files, peak RSS %ld KiB (before scan %ld KiB)\n", s, found, peak_kib(), before);
        NTFS_Free_File_Info(head);
    } else {
        NtfsFormatInfo* head = Search_Ntfs_InFo(vol.volume());
        for (NtfsFormatInfo* r = head; r; r = r->next)
            ++found;
        auto t1 = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(t1 - t0).count();
        double mib = double(vol.volume()->size) / (1 << 20);
        std::printf("format: %.3f s, %zu records, %.0f MiB/s, peak RSS %ld KiB (before scan %ld KiB)\n", s, found, mib / s,
                    peak_kib(), before);
        NTFS_Free_Format_Info(head);
    }
    NTFS_Free_Glod_Exit();
    return 0;
}
