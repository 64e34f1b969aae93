// The exFAT engine on real volumes: volumes made by mkfs.exfat and filled by
// the test image builder, and third-party images.
#include "exfat_test_util.h"

#include <file_volume.h>
#include <test_support.h>

#include <blockgate/blockgate.h>

#include <chrono>
#include <map>
#include <set>

using namespace exfat_test;
using salvor_test::FileVolume;
using salvor_test::TempDir;

namespace {

bool have_exfat_tools()
{
    return salvor_test::require_tool("mkfs.exfat", "exfatprogs") && salvor_test::require_tool("fsck.exfat", "exfatprogs")
        && salvor_test::require_tool("fls", "sleuthkit");
}

std::vector<uint8_t> pattern(size_t size, uint64_t seed) { return salvor_test::random_bytes(size, seed); }

// ---- Volumes made by mkfs.exfat and the image builder -----------------------------

// A card as a camera and a computer leave it: live and deleted files side by
// side, fragmented data, long and non-ASCII names, a deleted folder tree and
// a deleted file whose clusters a newer file partly took.
struct CardFixture {
    TempDir tmp;
    std::optional<ExfatImage> image;
    std::map<std::string, std::vector<uint8_t>> deleted;  // path -> content
    std::vector<std::string> deleted_dirs;
    std::vector<std::string> live_files;
    std::vector<uint32_t> reused_clusters;

    bool build()
    {
        image = format_image(tmp / "card.img", 48ull << 20, 4096);
        if (!image)
            return false;
        ExfatImage& im = *image;
        using Place = ExfatImage::Place;
        const std::string long_name(255, 'L');
        const std::string long_unicode = "Fotos f\xc3\xbcr Oma \xd0\x81\xd0\xb6\xd0\xb8\xd0\xba \xf0\x9f\x93\xb7 "
                                         "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e with a name longer than "
                                         "fifteen units.jpg";
        im.mkdir("DCIM");
        im.mkdir("DCIM/100CANON", 2);
        im.mkdir("Old Trip");
        im.mkdir("Old Trip/Day 1");
        im.mkdir("Old Trip/Day 2");

        auto add = [&](const std::string& path, size_t size, uint64_t seed, Place place = Place::no_fat_chain,
                       std::vector<uint32_t> clusters = {}) {
            auto data = pattern(size, seed);
            im.add_file(path, data, place, clusters);
            return data;
        };
        // Interleaved: a fragmented file whose pieces lie between live ones.
        add("DCIM/100CANON/IMG_0001.JPG", 10000, 1);
        const uint32_t base = im.free_run(9)[0];
        const std::vector<uint32_t> frag = { base, base + 1, base + 3, base + 4, base + 6, base + 7 };
        for (uint32_t piece = 0; piece < 3; ++piece)
            add("DCIM/100CANON/spacer" + std::to_string(piece) + ".bin", 100, 10 + piece, Place::explicit_clusters,
                { base + 3 * piece + 2 });
        deleted["DCIM/100CANON/MVI_0002.MP4"] = add("DCIM/100CANON/MVI_0002.MP4", 6 * 4096 - 100, 2,
                                                     Place::explicit_clusters, frag);
        // The same, deleted by a driver that clears the chain.
        const uint32_t base2 = im.free_run(9)[0];
        const std::vector<uint32_t> frag2 = { base2, base2 + 1, base2 + 3, base2 + 4, base2 + 6, base2 + 7 };
        for (uint32_t piece = 0; piece < 3; ++piece)
            add("DCIM/100CANON/spacer" + std::to_string(3 + piece) + ".bin", 100, 20 + piece, Place::explicit_clusters,
                { base2 + 3 * piece + 2 });
        deleted["DCIM/100CANON/MVI_0004.MP4"] = add("DCIM/100CANON/MVI_0004.MP4", 6 * 4096, 3,
                                                     Place::explicit_clusters, frag2);
        deleted["DCIM/100CANON/IMG_0003.JPG"] = add("DCIM/100CANON/IMG_0003.JPG", 9000, 3);
        deleted["DCIM/100CANON/chained.jpg"] = add("DCIM/100CANON/chained.jpg", 3 * 4096, 4, Place::chain);
        deleted[long_name] = add(long_name, 5000, 5);
        deleted[long_unicode] = add(long_unicode, 777, 6);
        deleted["empty.txt"] = add("empty.txt", 0, 7);
        deleted["Old Trip/Day 1/beach.jpg"] = add("Old Trip/Day 1/beach.jpg", 20000, 8, Place::chain);
        deleted["Old Trip/Day 1/sunset.jpg"] = add("Old Trip/Day 1/sunset.jpg", 4096, 9);
        deleted["Old Trip/Day 2/notes.txt"] = add("Old Trip/Day 2/notes.txt", 12, 10);
        deleted["Old Trip/readme.txt"] = add("Old Trip/readme.txt", 300, 11);
        // Many files: the live folder takes a second cluster of entries.
        for (int i = 0; i < 40; ++i) {
            const std::string path = "DCIM/100CANON/burst_" + std::to_string(i) + ".jpg";
            auto data = add(path, 100 + i, 100 + i);
            if (i % 3 == 0)
                deleted[path] = data;
            else
                live_files.push_back(path);
        }
        // A file deleted, and a newer one written over its last two clusters.
        add("reused.bin", 4 * 4096, 12);
        live_files.push_back("DCIM/100CANON/IMG_0001.JPG");
        for (int piece = 0; piece < 6; ++piece)
            live_files.push_back("DCIM/100CANON/spacer" + std::to_string(piece) + ".bin");

        std::string out;
        salvor_test::write_file(tmp / "live.img", im.bytes);
        if (salvor_test::run("fsck.exfat -n '" + (tmp / "live.img").string() + "' 2>&1", &out) != 0) {
            ADD_FAILURE() << "the builder made a volume fsck.exfat refuses: " << out;
            return false;
        }

        for (const auto& [path, data] : deleted)
            if (path.rfind("Old Trip", 0) != 0)
                im.remove(path, path == "DCIM/100CANON/MVI_0004.MP4");
        const auto old_clusters = im.clusters_of("reused.bin");
        im.remove("reused.bin");
        reused_clusters = { old_clusters[2], old_clusters[3] };
        add("newer.bin", 2 * 4096, 13, Place::explicit_clusters, reused_clusters);
        live_files.push_back("newer.bin");
        im.remove("Old Trip");
        deleted_dirs = { "Old Trip", "Old Trip/Day 1", "Old Trip/Day 2" };
        salvor_test::write_file(tmp / "card.img", im.bytes);
        return true;
    }
};

class ExfatCardTest : public ::testing::Test {
protected:
    void TearDown() override { exfat_exit(); }
};

TEST_F(ExfatCardTest, DeletedFilesComeBackByteExactWithTheirPathsAndNoLiveFile)
{
    if (!have_exfat_tools())
        return;
    CardFixture card;
    ASSERT_TRUE(card.build());
    FileVolume vol((card.tmp / "card.img").string(), BG_FS_EXFAT);
    ASSERT_TRUE(exfat_init(vol.volume())) << exfat_last_failure();
    EXPECT_STREQ(exfat_last_failure(), "");
    uint32_t files = 0, dirs = 0;
    ExfatDirNode* root = exfat_search(1, &files, &dirs);
    ASSERT_NE(root, nullptr) << exfat_last_failure();
    EXPECT_EQ(bg_progress.load(), 100);
    auto found = collect(root);

    // Root, DCIM, 100CANON and the three deleted folders.
    EXPECT_EQ(dirs, 6u);
    EXPECT_EQ(files, card.deleted.size() + 1); // and reused.bin
    EXPECT_EQ(root->files_below, files);
    for (const auto& [path, data] : card.deleted) {
        const Found* f = find(found, path);
        ASSERT_NE(f, nullptr) << "not found: " << path;
        EXPECT_EQ(+f->entry->deleted, 1) << path;
        EXPECT_EQ(+f->entry->is_directory, 0) << path;
        EXPECT_EQ(f->entry->size, data.size()) << path;
        const uint8_t guessed = path == "DCIM/100CANON/MVI_0004.MP4" ? EXFAT_DATA_GUESSED | EXFAT_DATA_SKIPPED : 0;
        EXPECT_EQ(f->entry->flags & (EXFAT_SET_CHECKSUM_BAD | EXFAT_NAME_HASH_BAD | EXFAT_NAME_SHORT
                                     | EXFAT_DATA_GUESSED | EXFAT_DATA_SKIPPED | EXFAT_DATA_IN_USE | EXFAT_DATA_CUT),
                  guessed)
            << path;
        EXPECT_EQ(f->entry->create_10ms, 150) << path;
        EXPECT_EQ(f->entry->create_utc_offset, 0x88) << path;
        // 2023-05-17 10:20:30.5 at UTC+2.
        uint32_t ns = 0;
        EXPECT_EQ(exfat_unix_time(f->entry->create_time, f->entry->create_10ms, f->entry->create_utc_offset, &ns),
                  1684311631)
            << path;
        EXPECT_EQ(ns, 500000000u);
        for (uint32_t chunk : { 512u, 4096u, 1u << 20 }) {
            bool ok = false;
            auto back = data.empty() ? std::vector<uint8_t>() : read_all(f->entry, chunk, &ok);
            EXPECT_TRUE(data.empty() || ok) << path << ": " << exfat_last_failure();
            EXPECT_EQ(salvor_test::sha256_hex(back), salvor_test::sha256_hex(data)) << path << " chunk " << chunk;
        }
    }
    // The fragmented files were read along their FAT chains.
    EXPECT_TRUE(find(found, "DCIM/100CANON/MVI_0002.MP4")->entry->flags & EXFAT_DATA_FAT_CHAIN);
    EXPECT_TRUE(find(found, "Old Trip/Day 1/beach.jpg")->entry->flags & EXFAT_DATA_FAT_CHAIN);
    EXPECT_EQ(+find(found, "DCIM/100CANON/IMG_0003.JPG")->entry->no_fat_chain, 1);

    for (const std::string& path : card.deleted_dirs) {
        const Found* f = find(found, path);
        ASSERT_NE(f, nullptr) << "folder not found: " << path;
        EXPECT_EQ(+f->entry->is_directory, 1);
        EXPECT_EQ(+f->entry->deleted, 1);
    }
    for (const std::string& path : card.live_files)
        EXPECT_EQ(find(found, path), nullptr) << "live file reported: " << path;
    const Found* dcim = find(found, "DCIM");
    ASSERT_NE(dcim, nullptr);
    EXPECT_EQ(+dcim->entry->deleted, 0);

    // The deleted file a newer one partly overwrote: found and flagged; its
    // first two clusters are still its own.
    const Found* reused = find(found, "reused.bin");
    ASSERT_NE(reused, nullptr);
    EXPECT_TRUE(reused->entry->flags & EXFAT_DATA_IN_USE);
    auto back = read_all(reused->entry, 4096);
    auto original = pattern(4 * 4096, 12);
    ASSERT_EQ(back.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 2 * 4096, back.begin()));
    EXPECT_FALSE(std::equal(original.begin() + 2 * 4096, original.end(), back.begin() + 2 * 4096));

    // fls agrees on what is deleted.
    auto listed = fls_deleted(card.tmp / "card.img");
    EXPECT_EQ(listed.size(), card.deleted.size() + card.deleted_dirs.size() + 1);
    for (const FlsLine& l : listed)
        EXPECT_NE(find(found, l.path), nullptr) << "fls lists what the engine missed: " << l.path;
}

// ---- Third-party images ---------------------------------------------------------

class ExfatSharedImageTest : public ::testing::Test {
protected:
    void TearDown() override { exfat_exit(); }
};

// Every deleted file fls lists is found at the same path, and icat reads the
// same bytes. (bad_root.exfat.img is left out here: its root's clusters are
// free in the bitmap, so fls counts the live sets in it as deleted.)
TEST_F(ExfatSharedImageTest, EveryDeletedFileFlsListsIsFoundAndReadsAsIcatDoes)
{
    size_t checked = 0;
    for (const char* name : { "exfat_win.raw", "win_exfat_7.raw", "go-exfat-test.exfat" }) {
        TempDir tmp;
        auto img = salvor_test::shared_image(std::string("exfat/") + name, tmp.path());
        if (!img)
            GTEST_SKIP() << "shared test images absent";
        if (!salvor_test::require_tool("fls", "sleuthkit"))
            return;
        FileVolume vol(img->string(), BG_FS_EXFAT);
        ASSERT_TRUE(exfat_init(vol.volume())) << name << ": " << exfat_last_failure();
        uint32_t files = 0, dirs = 0;
        ExfatDirNode* root = exfat_search(1, &files, &dirs);
        ASSERT_NE(root, nullptr) << name << ": " << exfat_last_failure();
        EXPECT_EQ(bg_progress.load(), 100);
        auto found = collect(root);
        auto listed = fls_deleted(*img);
        EXPECT_FALSE(listed.empty()) << name;
        for (const FlsLine& l : listed) {
            const Found* f = find(found, l.path);
            ASSERT_NE(f, nullptr) << name << ": not found: " << l.path;
            EXPECT_EQ(+f->entry->deleted, 1) << l.path;
            EXPECT_EQ(+f->entry->is_directory, l.dir ? 1 : 0) << l.path;
            if (l.dir)
                continue;
            std::string icat;
            ASSERT_EQ(salvor_test::run("icat '" + img->string() + "' " + l.inode + " | sha256sum", &icat), 0);
            bool ok = false;
            auto data = read_all(f->entry, 4096, &ok);
            EXPECT_TRUE(ok) << name << ": " << l.path << ": " << exfat_last_failure();
            EXPECT_EQ(salvor_test::sha256_hex(data), icat.substr(0, 64)) << name << ": " << l.path;
            ++checked;
        }
        exfat_exit();
    }
    EXPECT_EQ(checked, 8u);
}

// The images damaged on purpose open (or are refused with a reason) and are
// walked to the end in little time; every kept file reads without a fault.
TEST_F(ExfatSharedImageTest, DamagedImagesAreWalkedToTheEnd)
{
    for (const char* name : { "bad_bitmap", "bad_dentries", "bad_file_size", "bad_first_clu", "bad_num_chain", "bad_root",
                              "bs_bad_csum", "de_bad_csum", "duplicate_clu", "file_invalid_clus", "loop_chain" }) {
        TempDir tmp;
        auto img = salvor_test::shared_image(std::string("exfat/") + name + ".exfat.img", tmp.path());
        if (!img)
            GTEST_SKIP() << "shared test images absent";
        FileVolume vol(img->string(), BG_FS_EXFAT);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(exfat_init(vol.volume())) << name << ": " << exfat_last_failure();
        uint32_t files = 0, dirs = 0;
        ExfatDirNode* root = exfat_search(1, &files, &dirs);
        ASSERT_NE(root, nullptr) << name << ": " << exfat_last_failure();
        EXPECT_EQ(bg_progress.load(), 100);
        auto found = collect(root);
        for (const Found& f : found)
            if (!f.entry->is_directory && f.entry->size)
                read_all(f.entry, 64 * 1024);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20)) << name;
        // None holds a deleted file; the live folders lead nowhere.
        EXPECT_EQ(files, 0u) << name;
        EXPECT_EQ(root->files_below, 0u) << name;
        const std::string n = name;
        if (n == "bad_root") {
            // The root's clusters are free in the bitmap, its sets in use:
            // still live, so only its folders are kept.
            EXPECT_NE(find(found, "dir_01"), nullptr);
            EXPECT_NE(find(found, "dir_02"), nullptr);
        }
        if (n == "de_bad_csum") {
            const Found* f = find(found, "l0_dir_00");
            ASSERT_NE(f, nullptr);
            EXPECT_TRUE(f->entry->flags & EXFAT_SET_CHECKSUM_BAD);
        }
        if (n == "bad_dentries")
            EXPECT_EQ(dirs, 14u);
        exfat_exit();
    }
}

} // namespace
