// Feeds arbitrary bytes to the device scan as a disk image (through a memory
// file): partition-table parsing, file-system detection, the extended list.
#include <blockgate/blockgate.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int fd = memfd_create("fuzz-disk", 0);
    if (fd < 0)
        return 0;
    // Spread the input over a larger sparse disk so tables can point far.
    if (write(fd, data, size) != ssize_t(size) || ftruncate(fd, off_t(size < 65536 ? 65536 : size)) != 0) {
        close(fd);
        return 0;
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    bg_set_real_disks(0);
    bg_clear_images();
    bg_add_image(path.c_str());
    bg_scan_disks();
    bg_scan_volumes();
    uint8_t buf[4096];
    for (auto* n = bg_disk_list; n; n = n->next)
        n->disk->read(n->disk, buf, 512, 0);
    if (uint64_t* list = bg_extended_list())
        for (int i = 0; list[i] && i < 25; ++i)
            (void)list[i];
    for (auto* v = bg_volume_list; v; v = v->next) {
        bg_volume_cluster_size(v->volume);
        v->volume->reader->read(v->volume->reader, buf, sizeof buf, v->volume->size - 100);
    }
    // The sector tests take a whole 512-byte sector.
    uint8_t sector[512] {};
    for (size_t i = 0; i < size && i < sizeof sector; ++i)
        sector[i] = data[i];
    BgVolume rec {};
    bg_test_fat_boot(nullptr, sector, &rec);
    bg_test_ntfs_boot(nullptr, sector, &rec);
    bg_test_other_boot(sector, &rec);
    bg_release_devices();
    bg_clear_images();
    close(fd);
    return 0;
}
