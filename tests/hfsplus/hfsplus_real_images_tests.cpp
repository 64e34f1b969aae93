// HFS+ reader on real volumes made by macOS and other tools, and on damaged
// catalogs built here.
#include "hfsplus_test_util.h"

#include "CatalogScan.h"

#include <fsprobe/common/bytes.h>
#include <file_volume.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

using namespace hfsplus_test;
using salvor_test::FileVolume;
using salvor_test::MemoryVolume;

namespace {

// Catalog node ids that The Sleuth Kit lists as allocated (regular files only
// when `files_only`).
std::set<uint32_t> live_ids_by_fls(const std::string& image, bool files_only = false)
{
    std::set<uint32_t> ids;
    std::string out;
    if (salvor_test::run("timeout 60 fls -r -f hfs '" + image + "' 2>/dev/null", &out) != 0)
        return ids;
    std::istringstream in(out);
    std::string line;
    std::regex entry(R"(^[+ ]*([a-z-])/[a-z-] (\*? ?)(\d+)(-\d+-\d+)?:)");
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, entry) && m[2].str().empty() && (!files_only || m[1].str() == "r"))
            ids.insert(uint32_t(std::stoul(m[3].str())));
    }
    return ids;
}

} // namespace

TEST(HfsPlusRealImages, OpenWalkAndReadWithoutError)
{
    const char* images[] = { "hfsplus/dfvfs-hfsplus.raw", "hfsplus/hfsp-small.img", "hfsplus/hfsp-many2.img",
                             "hfsplus/hfsp-blank.img", "hfsplus/hfsplus_go.raw", "hfsplus/hfs_plus_volume.bin",
                             "hfsplus/hfs_plus_nested.bin" };
    salvor_test::TempDir tmp;
    if (!salvor_test::shared_testdata_dir())
        GTEST_SKIP() << "the shared test images (../shared/testdata) are absent";
    bool have_fls = salvor_test::have_tool("fls");
    int opened = 0;
    for (const char* name : images) {
        SCOPED_TRACE(name);
        auto path = salvor_test::shared_image(name, tmp.path());
        if (!path)
            continue;
        EngineGuard guard;
        FileVolume vol(path->string(), BG_FS_HFSPLUS);
        ASSERT_TRUE(hfsp_init(vol.volume()));
        ++opened;
        uint64_t bs = hfsp_get_blocksize();
        EXPECT_TRUE(bs >= 512 && fsprobe::is_power_of_two(bs));
        auto list = collect(hfsp_searchfile());
        EXPECT_EQ(bg_progress.load(), 100);
        std::set<uint32_t> live = have_fls ? live_ids_by_fls(path->string()) : std::set<uint32_t> {};
        std::printf("%s: block size %llu, %zu deleted records, %zu live ids from fls\n", name, (unsigned long long)bs,
                    list.size(), live.size());
        std::set<uint32_t> ids;
        for (HfspFileRecord* r : list) {
            EXPECT_TRUE(ids.insert(r->file_id).second) << "listed twice: " << r->name;
            EXPECT_FALSE(live.count(r->file_id)) << "a live file reported as deleted: " << r->name;
            EXPECT_GT(std::strlen(r->name), 0u);
            auto data = read_whole(r);
            if (hfsp_get_readerror() == 0) {
                EXPECT_EQ(data.size(), r->size) << r->name;
            }
        }
        std::remove(path->c_str());
    }
    EXPECT_GT(opened, 0);
}

TEST(HfsPlusDamage, DamagedCatalogsNeverCrashOrLoop)
{
    HfsPlusImageBuilder b(BuildOptions { .block_size = 512, .total_blocks = 4096, .node_size = 512,
                                         .catalog_nodes = 64, .max_leaf_records = 4, .journal = true });
    for (int i = 0; i < 20; ++i)
        b.add_file(HfsPlusImageBuilder::kRootFolder, "f" + std::to_string(i), salvor_test::random_bytes(300, i));
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "gone", salvor_test::random_bytes(2000, 99), DeletedPlace::UnlinkedNode);
    const auto clean = b.build();
    const uint64_t cat = b.layout().catalog_offset;
    const uint32_t ns = 512;
    const uint32_t used = b.layout().catalog_used_nodes;

    struct Damage {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
    };
    std::vector<Damage> damages = {
        { "index node points at itself and at node 0",
          [&](std::vector<uint8_t>& img) {
              // The root is the last index node; make each of its children point to the root.
              uint32_t root = fsprobe::load_be32(img.data() + cat + 14 + 2);
              uint8_t* node = img.data() + cat + uint64_t(root) * ns;
              uint16_t n = fsprobe::load_be16(node + 10);
              for (uint16_t i = 0; i < n; ++i) {
                  uint16_t off = fsprobe::load_be16(node + ns - 2 * (i + 1));
                  uint16_t kl = fsprobe::load_be16(node + off);
                  fsprobe::store_be32(node + off + 2 + kl, i % 2 ? root : 0);
              }
          } },
        { "leaf chain loops",
          [&](std::vector<uint8_t>& img) {
              for (uint32_t n = 1; n < used; ++n)
                  fsprobe::store_be32(img.data() + cat + uint64_t(n) * ns, 1);
          } },
        { "record offsets outside the node and huge record counts",
          [&](std::vector<uint8_t>& img) {
              for (uint32_t n = 1; n < used; ++n) {
                  uint8_t* node = img.data() + cat + uint64_t(n) * ns;
                  fsprobe::store_be16(node + 10, uint16_t(n % 2 ? 0xFFFF : 3));
                  fsprobe::store_be16(node + ns - 4, 0xFFF0);
              }
          } },
        { "key lengths past the node",
          [&](std::vector<uint8_t>& img) {
              for (uint32_t n = 1; n < used; ++n) {
                  uint8_t* node = img.data() + cat + uint64_t(n) * ns;
                  uint16_t n_rec = fsprobe::load_be16(node + 10);
                  for (uint16_t i = 0; i < n_rec && i < 40; ++i) {
                      uint16_t off = fsprobe::load_be16(node + ns - 2 * (i + 1));
                      if (off + 2u <= ns)
                          fsprobe::store_be16(node + off, 0xFFFE);
                  }
              }
          } },
        { "header node: node size 0, total nodes huge",
          [&](std::vector<uint8_t>& img) {
              fsprobe::store_be16(img.data() + cat + 14 + 18, 0);
          } },
        { "header node: root and first leaf out of range",
          [&](std::vector<uint8_t>& img) {
              fsprobe::store_be32(img.data() + cat + 14 + 2, 0xFFFFFFF0);
              fsprobe::store_be32(img.data() + cat + 14 + 10, 0xFFFFFFF0);
              fsprobe::store_be32(img.data() + cat + 14 + 22, 0xFFFFFFFF);
          } },
        { "catalog extents beyond the volume, journal beyond the volume",
          [&](std::vector<uint8_t>& img) {
              fsprobe::store_be32(img.data() + 1024 + 272 + 16, 0xFFFFFF00);
              fsprobe::store_be32(img.data() + 1024 + 272 + 20, 0x200);
              uint32_t jib = fsprobe::load_be32(img.data() + 1024 + 12);
              fsprobe::store_be64(img.data() + uint64_t(jib) * 512 + 36, ~uint64_t(0) - 10);
          } },
        { "total blocks zero", [&](std::vector<uint8_t>& img) { fsprobe::store_be32(img.data() + 1024 + 44, 0); } },
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.what);
        EngineGuard guard;
        auto img = clean;
        d.apply(img);
        MemoryVolume vol(img, BG_FS_HFSPLUS);
        ASSERT_TRUE(hfsp_init(vol.volume()));
        auto list = collect(hfsp_searchfile());
        EXPECT_EQ(bg_progress.load(), 100);
        for (auto* r : list) {
            EXPECT_LE(read_whole(r).size(), r->size);
        }
    }
}

TEST(HfsPlusDamage, RecordsWithImpossibleExtentsOrSizesAreSkipped)
{
    EngineGuard guard;
    HfsPlusImageBuilder b;
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "good", salvor_test::random_bytes(5000, 1), DeletedPlace::UnlinkedNode);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "bad extent", salvor_test::random_bytes(5000, 2), DeletedPlace::UnlinkedNode);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "bad size", salvor_test::random_bytes(5000, 3), DeletedPlace::UnlinkedNode);
    auto img = b.build();
    // Find each stale record by its name and damage its data fork.
    auto patch = [&](const std::string& name, auto fn) {
        std::vector<uint8_t> key;
        for (char c : name) {
            key.push_back(0);
            key.push_back(uint8_t(c));
        }
        auto it = std::search(img.begin() + b.layout().catalog_offset, img.end(), key.begin(), key.end());
        ASSERT_NE(it, img.end());
        uint8_t* rec = &*it + key.size();
        fn(rec + 88);
    };
    patch("bad extent", [](uint8_t* fork) { fsprobe::store_be32(fork + 16, 0x7FFFFFFF); });
    patch("bad size", [](uint8_t* fork) { fsprobe::store_be64(fork, uint64_t(1) << 40); });
    MemoryVolume vol(img, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 1u) << names_of(list);
    EXPECT_STREQ(list[0]->name, "good");
}

TEST(HfsPlusSearch, ProgressRisesInStepsAndAStopFromOutsideEndsTheWalk)
{
    HfsPlusImageBuilder b(BuildOptions { .block_size = 512, .total_blocks = 8192, .node_size = 512,
                                         .catalog_nodes = 400, .max_leaf_records = 2 });
    for (int i = 0; i < 150; ++i)
        b.add_file(HfsPlusImageBuilder::kRootFolder, "f" + std::to_string(i), {});
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "gone", salvor_test::random_bytes(100, 1), DeletedPlace::UnlinkedNode);
    MemoryVolume vol(b.build(), BG_FS_HFSPLUS);

    // Watch every value bg_progress takes through the reader's read operation.
    static std::vector<int32_t> seen;
    static BgReadOp original;
    static int reads_until_stop;
    original = vol.reader()->read;
    vol.reader()->read = [](BgReader* r, void* buf, uint32_t count, uint64_t offset) -> uint32_t {
        seen.push_back(bg_progress.load());
        if (reads_until_stop > 0 && --reads_until_stop == 0)
            bg_progress.store(100);
        return original(r, buf, count, offset);
    };
    {
        EngineGuard guard;
        seen.clear();
        reads_until_stop = 0;
        ASSERT_TRUE(hfsp_init(vol.volume()));
        ASSERT_EQ(collect(hfsp_searchfile()).size(), 1u);
        EXPECT_EQ(bg_progress.load(), 100);
        int32_t last = 0;
        for (int32_t v : seen) {
            EXPECT_EQ(v % 5, 0);
            EXPECT_GE(v, last);
            EXPECT_LT(v, 100);
            last = v;
        }
        EXPECT_GE(last, 50);
    }
    {
        EngineGuard guard;
        reads_until_stop = 20;
        ASSERT_TRUE(hfsp_init(vol.volume()));
        EXPECT_EQ(hfsp_searchfile(), nullptr);
        EXPECT_EQ(bg_progress.load(), 100);
    }
}

TEST(HfsPlusRealImages, LiveWalkSeesTheSameFilesAsTheSleuthKit)
{
    salvor_test::TempDir tmp;
    if (!salvor_test::shared_testdata_dir())
        GTEST_SKIP() << "the shared test images (../shared/testdata) are absent";
    if (!salvor_test::require_tool("fls", "sleuthkit"))
        return;
    for (const char* name : { "hfsplus/hfsp-many2.img", "hfsplus/dfvfs-hfsplus.raw", "hfsplus/hfsplus_go.raw" }) {
        SCOPED_TRACE(name);
        auto path = salvor_test::shared_image(name, tmp.path());
        if (!path)
            continue;
        FileVolume vol(path->string(), BG_FS_HFSPLUS);
        uint8_t raw[512];
        ASSERT_EQ(vol.reader()->read(vol.reader(), raw, 512, 1024), 512u);
        auto header = fsprobe::hfsplus::convert_volume_header(raw);
        fsprobe::hfsplus::VolumeAccess access { vol.reader(), vol.volume()->size, header.block_size, header.total_blocks };
        auto result = fsprobe::hfsplus::scan_catalog(access, header, {});
        ASSERT_TRUE(result.has_value());
        std::set<uint32_t> ours(result->live_files.begin(), result->live_files.end());
        std::set<uint32_t> theirs = live_ids_by_fls(path->string(), true);
        ASSERT_FALSE(theirs.empty());
        // Every regular file The Sleuth Kit lists is a live file record of the walk.
        for (uint32_t id : theirs) {
            if (id >= 16) { // below 16: the volume's own special files
                EXPECT_TRUE(ours.count(id)) << "file id " << id << " missed by the live walk";
            }
        }
        // Every catalog node is read exactly once.
        EXPECT_EQ(result->stats.catalog_nodes_read, result->stats.catalog_nodes - 1);
        std::remove(path->c_str());
    }
}
