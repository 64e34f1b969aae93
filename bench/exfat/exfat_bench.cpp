// Times the exFAT engine on an image opened through blockgate, as the program
// opens it.
//
//   exfat_bench fill IMAGE      adds 250 folders of 200 files to a volume
//                               made by mkfs.exfat (4 KiB clusters) and
//                               deletes 50 of the folders: 50,000 files,
//                               10,000 of them deleted
//   exfat_bench deleted IMAGE   exfat_search from the root, then a read of
//                               every deleted file found
//
// Prints the wall times and what was found.
#include "exfat_image.h"

#include <blockgate/blockgate.h>
#include <fsprobe/exfat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int fill(const char* path)
{
    int fd = ::open(path, O_RDWR);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        std::perror(path);
        return 2;
    }
    auto* data = static_cast<uint8_t*>(::mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (data == MAP_FAILED) {
        std::perror("mmap");
        return 2;
    }
    exfat_test::ExfatImage image(data, size_t(st.st_size));
    image.mkdir("tree", 6);
    std::vector<uint8_t> content(3000);
    for (int d = 1; d <= 250; ++d) {
        const std::string folder = "tree/folder " + std::to_string(d);
        image.mkdir(folder, 5);
        for (int f = 1; f <= 200; ++f) {
            for (size_t i = 0; i < content.size(); ++i)
                content[i] = uint8_t(d * 31 + f * 7 + i);
            image.add_file(folder + "/file_" + std::to_string(f) + ".txt", content);
        }
    }
    for (int d = 1; d <= 50; ++d)
        image.remove("tree/folder " + std::to_string(d));
    ::msync(data, size_t(st.st_size), MS_SYNC);
    ::munmap(data, size_t(st.st_size));
    ::close(fd);
    return 0;
}

int deleted(const char* path)
{
    bg_set_real_disks(0);
    if (int e = bg_add_image(path)) {
        std::fprintf(stderr, "cannot open %s: errno %d\n", path, e);
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
    if (!exfat_init(volume)) {
        std::fprintf(stderr, "exfat_init failed (code %d): %s\n", volume->fs_code, exfat_last_failure());
        return 1;
    }
    uint32_t files = 0, dirs = 0;
    ExfatDirNode* root = exfat_search(1, &files, &dirs);
    const double search = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("exfat_search: %.3f s, %s, %u deleted files, %u folders\n", search, root ? "root" : "null", files, dirs);

    auto t1 = std::chrono::steady_clock::now();
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t bytes = 0;
    size_t failed = 0;
    for (ExfatDirNode* n = root; n; n = n->next) {
        for (ExfatEntry** e = n->entries; *e; ++e) {
            if ((*e)->is_directory)
                continue;
            uint64_t position = 0;
            while (position < (*e)->size) {
                const uint64_t before = position;
                if (!exfat_readfile(*e, buffer.data(), uint32_t(buffer.size()), &position))
                    ++failed;
                bytes += position - before;
                if (position == before)
                    break;
            }
        }
    }
    const double read = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
    std::printf("exfat_readfile of every deleted file: %.3f s, %llu bytes, %zu failed reads\n", read,
                static_cast<unsigned long long>(bytes), failed);
    exfat_exit();
    bg_release_devices();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s fill|deleted IMAGE\n", argv[0]);
        return 64;
    }
    if (std::strcmp(argv[1], "fill") == 0)
        return fill(argv[2]);
    return deleted(argv[2]);
}
