// Benchmark of the carving scan on a large image densely filled with real
// files, and the byte-exact count against a manifest of what was placed.
//
//   carvex_bench make POOL_DIR IMAGE SIZE_MIB MANIFEST
//       lays the pool's files out on IMAGE at 512-byte boundaries (random
//       bytes in the small gaps) and writes "offset size sha256 name" lines.
//   carvex_bench scan IMAGE MANIFEST
//       times cx_scan_volume, reads every item back and counts the items
//       that are byte-exact copies of a placed file; prints peak memory.
//   carvex_bench check DIR MANIFEST
//       counts PhotoRec's output files (named f<sector>.<ext>) that are
//       byte-exact copies of the file placed at that sector.
#include <carvex/carvex.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Placed {
    uint64_t offset, size;
    std::string sha, name;
};

class Sha256 {
public:
    Sha256() : m_ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(m_ctx); }
    void update(const void* p, size_t n) { EVP_DigestUpdate(m_ctx, p, n); }
    std::string hex()
    {
        unsigned char d[32];
        unsigned int n = 0;
        EVP_DigestFinal_ex(m_ctx, d, &n);
        std::string s;
        char b[3];
        for (unsigned i = 0; i < n; ++i) {
            std::snprintf(b, sizeof b, "%02x", d[i]);
            s += b;
        }
        return s;
    }

private:
    EVP_MD_CTX* m_ctx;
};

std::vector<char> slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::map<uint64_t, Placed> load_manifest(const char* path)
{
    std::map<uint64_t, Placed> m;
    std::ifstream f(path);
    Placed p;
    while (f >> p.offset >> p.size >> p.sha >> p.name)
        m[p.offset] = p;
    return m;
}

long peak_kib()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int make(const char* pool, const char* image, uint64_t mib, const char* manifest)
{
    std::vector<fs::path> files;
    for (auto& e : fs::recursive_directory_iterator(pool))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    if (files.empty())
        return 1;
    std::mt19937_64 rng(2026);
    FILE* out = std::fopen(image, "wb");
    FILE* man = std::fopen(manifest, "w");
    if (!out || !man)
        return 1;
    const uint64_t size = mib << 20;
    uint64_t pos = 0, count = 0;
    std::vector<char> gap(4096);
    std::map<std::string, std::pair<std::vector<char>, std::string>> cache;
    while (true) {
        const fs::path& f = files[rng() % files.size()];
        auto it = cache.find(f.string());
        if (it == cache.end()) {
            auto data = slurp(f);
            Sha256 h;
            h.update(data.data(), data.size());
            it = cache.emplace(f.string(), std::make_pair(std::move(data), h.hex())).first;
        }
        const auto& data = it->second.first;
        // A short run of random bytes (0 to 3 sectors) before each file, and
        // random bytes up to the next sector boundary after it.
        uint64_t g = (rng() % 4) * 512;
        if (pos + g + data.size() + 512 > size)
            break;
        for (auto& c : gap)
            c = char(rng());
        std::fwrite(gap.data(), 1, g, out);
        pos += g;
        std::fprintf(man, "%" PRIu64 " %zu %s %s\n", pos, data.size(), it->second.second.c_str(),
                     (f.parent_path().filename() / f.filename()).string().c_str());
        std::fwrite(data.data(), 1, data.size(), out);
        pos += data.size();
        uint64_t pad = (512 - pos % 512) % 512;
        std::fwrite(gap.data(), 1, pad, out);
        pos += pad;
        ++count;
    }
    while (pos < size) {
        uint64_t n = std::min<uint64_t>(gap.size(), size - pos);
        std::fwrite(gap.data(), 1, n, out);
        pos += n;
    }
    std::fclose(out);
    std::fclose(man);
    std::printf("placed %" PRIu64 " files from a pool of %zu in %" PRIu64 " MiB\n", count, files.size(), mib);
    return 0;
}

// A read-only volume over the image file.
struct ImageVolume {
    int fd = -1;
    uint64_t size = 0;
    BgReader reader{};
    BgVolume volume{};
    static uint32_t read_op(BgReader* r, void* buf, uint32_t count, uint64_t off)
    {
        auto* s = static_cast<ImageVolume*>(r->impl);
        if (off >= s->size)
            return 0;
        uint64_t want = std::min<uint64_t>(count, s->size - off), done = 0;
        while (done < want) {
            ssize_t n = pread(s->fd, static_cast<char*>(buf) + done, want - done, off_t(off + done));
            if (n <= 0)
                break;
            done += uint64_t(n);
        }
        return uint32_t(done);
    }
    static uint64_t size_op(BgReader* r) { return static_cast<ImageVolume*>(r->impl)->size; }
    explicit ImageVolume(const char* path)
    {
        fd = open(path, O_RDONLY);
        size = fd >= 0 ? uint64_t(lseek(fd, 0, SEEK_END)) : 0;
        reader.name = path;
        reader.read = &read_op;
        reader.size = &size_op;
        reader.bytes_per_sector = 512;
        reader.handle = fd;
        reader.impl = this;
        volume.size = size;
        volume.drive_letter = '?';
        volume.reader = &reader;
    }
};

int scan(const char* image, const char* manifest)
{
    auto placed = load_manifest(manifest);
    ImageVolume iv(image);
    if (iv.fd < 0)
        return 1;
    long before = peak_kib();
    auto t0 = std::chrono::steady_clock::now();
    int32_t items = cx_scan_volume(&iv.volume);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long after = peak_kib();
    std::printf("cx_scan_volume: %d items in %.2f s, %.0f MiB/s; peak RSS %ld KiB (%ld KiB before the scan)\n", items,
                secs, double(iv.size) / (1 << 20) / secs, after, before);
    uint64_t exact = 0, wrong = 0, extra = 0;
    std::map<std::string, std::pair<uint64_t, uint64_t>> per_type;
    std::vector<uint8_t> buf(1 << 20);
    while (const char* t = cx_next_type()) {
        for (int32_t i = 0; CxItem* item = cx_get_item(t, i); ++i) {
            auto it = placed.find(cx_item_offset(item));
            auto& pt = per_type[t];
            ++pt.second;
            if (it == placed.end()) {
                ++extra;
                continue;
            }
            Sha256 h;
            for (;;) {
                uint32_t n = cx_read_item(&iv.volume, item, buf.data(), uint32_t(buf.size()));
                if (!n)
                    break;
                h.update(buf.data(), n);
            }
            cx_end_read();
            if (h.hex() == it->second.sha && cx_item_size(item) == it->second.size) {
                ++exact;
                ++pt.first;
            } else {
                ++wrong;
                std::printf("  not exact: %s at %" PRIu64 " (%" PRIu64 " bytes, placed %" PRIu64 ": %s)\n", t,
                            cx_item_offset(item), cx_item_size(item), it->second.size, it->second.name.c_str());
            }
        }
    }
    for (auto& [t, c] : per_type)
        std::printf("  %-6s %6" PRIu64 " exact of %6" PRIu64 "\n", t.c_str(), c.first, c.second);
    std::printf("carvex: %" PRIu64 " of %zu placed files byte-exact; %" PRIu64 " wrong ends, %" PRIu64
                " items not at a placed file\n",
                exact, placed.size(), wrong, extra);
    // Placed files that were missed, by kind.
    std::map<std::string, uint64_t> missed;
    std::map<uint64_t, bool> hit;
    while (const char* t = cx_next_type())
        for (int32_t i = 0; CxItem* item = cx_get_item(t, i); ++i)
            hit[cx_item_offset(item)] = true;
    for (auto& [off, p] : placed)
        if (!hit.count(off))
            ++missed[fs::path(p.name).filename().string()];
    for (auto& [n, c] : missed)
        std::printf("  missed %" PRIu64 " x %s\n", c, n.c_str());
    cx_release();
    return 0;
}

int check(const char* dir, const char* manifest)
{
    auto placed = load_manifest(manifest);
    uint64_t files = 0, exact = 0;
    std::map<std::string, std::pair<uint64_t, uint64_t>> per_ext;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file())
            continue;
        std::string name = e.path().filename().string();
        if (name.size() < 2 || name[0] != 'f' || !std::isdigit(uint8_t(name[1])))
            continue;
        ++files;
        std::string ext = e.path().extension().string();
        auto& pe = per_ext[ext];
        ++pe.second;
        uint64_t sector = std::strtoull(name.c_str() + 1, nullptr, 10);
        auto it = placed.find(sector * 512);
        if (it == placed.end())
            continue;
        auto data = slurp(e.path());
        Sha256 h;
        h.update(data.data(), data.size());
        if (h.hex() == it->second.sha) {
            ++exact;
            ++pe.first;
        }
    }
    for (auto& [x, c] : per_ext)
        std::printf("  %-6s %6" PRIu64 " exact of %6" PRIu64 "\n", x.c_str(), c.first, c.second);
    std::printf("photorec: %" PRIu64 " of %zu placed files byte-exact (%" PRIu64 " files written)\n", exact,
                placed.size(), files);
    return 0;
}

// Files recovered by salvor-cli: named by type and number, so they are
// matched to the placed files by content.
int check_salvor(const char* dir, const char* manifest)
{
    auto placed = load_manifest(manifest);
    std::multimap<std::string, uint64_t> by_sha;
    for (auto& [off, p] : placed)
        by_sha.emplace(p.sha, off);
    uint64_t files = 0, exact = 0, bytes = 0;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file())
            continue;
        ++files;
        auto data = slurp(e.path());
        bytes += data.size();
        Sha256 h;
        h.update(data.data(), data.size());
        auto it = by_sha.find(h.hex());
        if (it != by_sha.end()) {
            ++exact;
            by_sha.erase(it);
        }
    }
    std::printf("salvor-cli: %" PRIu64 " of %zu placed files byte-exact (%" PRIu64 " files, %" PRIu64
                " bytes written)\n",
                exact, placed.size(), files, bytes);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10), argv[5]);
    if (argc == 4 && std::strcmp(argv[1], "scan") == 0)
        return scan(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "check") == 0)
        return check(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "check-salvor") == 0)
        return check_salvor(argv[2], argv[3]);
    std::fprintf(stderr, "usage: carvex_bench make POOL IMAGE MIB MANIFEST | scan IMAGE MANIFEST | check DIR MANIFEST | check-salvor DIR MANIFEST\n");
    return 2;
}
