// Times ext2_searchfile on an image through blockgate's image volume, beside
// "debugfs -R lsdel" on the same image in the same run.
//   bench_ext2_search IMAGE [ROUNDS] [pread]
// With "pread" the volume is a plain pread reader over the file instead of
// blockgate's image volume (to tell the engine's cost from the reader's).
#include <fsprobe/ext2.h>

#include <blockgate/blockgate.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

int g_fd = -1;
uint32_t pread_op(BgReader*, void* buf, uint32_t count, uint64_t offset)
{
    ssize_t n = ::pread(g_fd, buf, count, off_t(offset));
    return n > 0 ? uint32_t(n) : 0;
}

// Counts the reads the engine issues (and their bytes) around the real read op.
BgReadOp g_inner = nullptr;
uint64_t g_reads = 0, g_bytes = 0;
uint32_t counting_op(BgReader* self, void* buf, uint32_t count, uint64_t offset)
{
    uint32_t n = g_inner(self, buf, count, offset);
    ++g_reads;
    g_bytes += n;
    return n;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [ROUNDS]\n", argv[0]);
        return 2;
    }
    std::string image = argv[1];
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    bool plain = argc > 3 && std::strcmp(argv[3], "pread") == 0;
    BgVolume* volume = nullptr;
    static BgReader reader {};
    static BgVolume plain_volume {};
    if (plain) {
        g_fd = ::open(image.c_str(), O_RDONLY);
        if (g_fd < 0) {
            std::fprintf(stderr, "cannot open %s\n", image.c_str());
            return 1;
        }
        reader.read = pread_op;
        reader.handle = g_fd;
        plain_volume.reader = &reader;
        plain_volume.size = uint64_t(::lseek(g_fd, 0, SEEK_END));
        volume = &plain_volume;
    } else {
        bg_set_real_disks(0);
        if (bg_add_image(image.c_str()) != 0) {
            std::fprintf(stderr, "cannot open %s\n", image.c_str());
            return 1;
        }
        bg_scan_disks();
        bg_scan_volumes();
        if (!bg_volume_list || !bg_volume_list->volume) {
            std::fprintf(stderr, "no volume in %s\n", image.c_str());
            return 1;
        }
        volume = bg_volume_list->volume;
    }
    std::printf("reader: %s\n", plain ? "plain pread" : "blockgate image volume");
    g_inner = volume->reader->read;
    volume->reader->read = counting_op;

    std::vector<double> ours, peer;
    size_t found = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t = std::chrono::steady_clock::now();
        if (!ext2_init(volume)) {
            std::fprintf(stderr, "ext2_init failed\n");
            return 1;
        }
        Ext2Group* head = ext2_searchfile();
        found = 0;
        for (Ext2Group* g = head; g; g = ext2_get_next(g))
            found += g->file_count;
        ext2_exit();
        ours.push_back(seconds_since(t));

        t = std::chrono::steady_clock::now();
        std::string cmd = "debugfs -R lsdel '" + image + "' > /dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "debugfs failed\n");
            return 1;
        }
        peer.push_back(seconds_since(t));
    }
    std::string out;
    std::string cmd = "debugfs -R lsdel '" + image + "' 2>/dev/null | tail -1";
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p))
            out += line;
        pclose(p);
    }
    std::printf("ext2_searchfile: %zu deleted files, median %.3f s over %d rounds; %.0f reads, %.1f MiB requested per round\n",
                found, median(ours), rounds, double(g_reads) / rounds, double(g_bytes) / rounds / 1048576.0);
    std::printf("debugfs lsdel:   %s", out.c_str());
    std::printf("debugfs lsdel:   median %.3f s over %d rounds\n", median(peer), rounds);
    bg_release_devices();
    return 0;
}
