// Times hfsp_searchfile on a large HFS+ volume built in place and counts the
// bytes it reads against the size of the catalog.
//
//   bench_hfsplus_search [files] [image path]
//
// The image (about 160 MiB for the default 100,000 files) is removed at the end.
#include "hfsplus_image_builder.h"

#include <file_volume.h>
#include <fsprobe/hfsplus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace hfsplus_test;

int main(int argc, char** argv)
{
    uint32_t files = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 100000;
    std::string path = argc > 2 ? argv[2] : "/tmp/bench_hfsplus.img";
    const uint32_t folders = std::max<uint32_t>(1, files / 1000);
    const uint32_t deleted_unlinked = files / 50, deleted_free = 5, deleted_journal = 5;

    auto t0 = std::chrono::steady_clock::now();
    BuildOptions opt;
    opt.block_size = 4096;
    opt.node_size = 4096;
    opt.catalog_nodes = files / 10 + deleted_unlinked / 10 + 64;
    opt.total_blocks = opt.catalog_nodes + files / 10 + deleted_unlinked + 4096;
    opt.journal = true;
    opt.journal_blocks = 2048; // 8 MiB
    HfsPlusImageBuilder b(opt);
    std::vector<uint32_t> dirs;
    for (uint32_t d = 0; d < folders; ++d)
        dirs.push_back(b.add_folder(HfsPlusImageBuilder::kRootFolder, "folder " + std::to_string(d)));
    std::vector<uint8_t> block(4096, 0x5A);
    for (uint32_t i = 0; i < files; ++i)
        b.add_file(dirs[i % folders], "document number " + std::to_string(i) + ".txt", i % 10 == 0 ? block : std::vector<uint8_t> {});
    for (uint32_t i = 0; i < deleted_unlinked; ++i)
        b.add_deleted_file(dirs[i % folders], "removed " + std::to_string(i) + ".jpg", block, DeletedPlace::UnlinkedNode);
    for (uint32_t i = 0; i < deleted_free; ++i)
        b.add_deleted_file(dirs[0], "freed " + std::to_string(i), block, DeletedPlace::NodeFreeSpace);
    for (uint32_t i = 0; i < deleted_journal; ++i)
        b.add_deleted_file(dirs[0], "journaled " + std::to_string(i), block, DeletedPlace::Journal);
    {
        auto img = b.build();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(img.data()), std::streamsize(img.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("image: %s, %.1f MiB, %u live files in %u folders, %u deleted records left behind\n", path.c_str(),
                    img.size() / 1048576.0, files, folders, deleted_unlinked + deleted_free + deleted_journal);
    }
    auto t1 = std::chrono::steady_clock::now();
    std::printf("built in %.2f s; catalog %llu bytes (%u nodes used of %u, 4 KiB each), journal %llu bytes\n",
                std::chrono::duration<double>(t1 - t0).count(), (unsigned long long)b.layout().catalog_bytes,
                b.layout().catalog_used_nodes, opt.catalog_nodes, (unsigned long long)b.layout().journal_bytes);

    int status = 0;
    for (int run = 0; run < 3; ++run) {
        salvor_test::FileVolume vol(path, BG_FS_HFSPLUS);
        auto s0 = std::chrono::steady_clock::now();
        if (!hfsp_init(vol.volume())) {
            std::fprintf(stderr, "hfsp_init failed\n");
            status = 1;
            break;
        }
        uint64_t before = vol.bytes_read(), reads_before = vol.reads();
        size_t found = 0;
        for (HfspFileRecord* r = hfsp_searchfile(); r; r = hfsp_get_next(r))
            ++found;
        auto s1 = std::chrono::steady_clock::now();
        uint64_t bytes = vol.bytes_read() - before;
        std::printf("run %d: hfsp_searchfile %.3f s, %zu deleted files found, %llu bytes read in %llu reads "
                    "(catalog %llu + journal %llu + rest %llu); bytes read / catalog size = %.3f\n",
                    run + 1, std::chrono::duration<double>(s1 - s0).count(), found, (unsigned long long)bytes,
                    (unsigned long long)(vol.reads() - reads_before), (unsigned long long)b.layout().catalog_bytes,
                    (unsigned long long)b.layout().journal_bytes,
                    (unsigned long long)(bytes - std::min<uint64_t>(bytes, b.layout().catalog_bytes + b.layout().journal_bytes)),
                    double(bytes) / double(b.layout().catalog_bytes));
        if (found != deleted_unlinked + deleted_free + deleted_journal)
            status = 1;
        hfsp_exit();
    }
    std::remove(path.c_str());
    return status;
}
