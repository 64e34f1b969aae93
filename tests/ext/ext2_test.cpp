// ext2 reader: deleted-inode scan on real mke2fs/debugfs volumes and on staged
// in-memory volumes, block lists and block reads.
#include "ext_builder.h"

#include <fsprobe/ext2.h>

#include <file_volume.h>
#include <memory_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <fsprobe/common/utf.h>

#include <fstream>
#include <memory>
#include <set>
#include <map>
#include <sstream>
#include <string>

using namespace salvor_test;
using ext_test::ExtBuilder;

namespace {

struct ManifestLine {
    std::string kind;
    uint32_t inode = 0;
    uint64_t size = 0;
    std::string hash_or_target;
    std::string name;
};

std::vector<ManifestLine> read_manifest(const fs::path& path)
{
    std::vector<ManifestLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        ManifestLine m;
        ls >> m.kind >> m.inode;
        if (m.kind == "deleted")
            ls >> m.size >> m.hash_or_target >> m.name;
        else if (m.kind == "symlink")
            ls >> m.size >> m.hash_or_target;
        else
            ls >> m.name;
        lines.push_back(m);
    }
    return lines;
}

std::u16string u16(const char16_t* s) { return s ? std::u16string(s) : std::u16string(); }

// Reads a file the way the recovery writer does: full blocks along the block
// list, then the remainder of the last block.
bool read_like_writer(Ext2LostFile* file, std::vector<uint8_t>& out)
{
    uint32_t bs = ext2_get_blocksize();
    uint64_t size = ext2_get_filesize(file);
    uint32_t* list = ext2_get_fileblocklist(file);
    out.clear();
    if (size == 0)
        return true;
    if (!list || bs == 0)
        return false;
    std::vector<uint8_t> block(bs + 16, 0xEE);
    for (uint64_t k = 0; k * bs < size; ++k) {
        uint64_t len = std::min<uint64_t>(bs, size - k * bs);
        uint64_t got = 0;
        std::fill(block.begin(), block.end(), 0xEE);
        if (!ext2_readfile(1, uint32_t(len), 0, &got, list[k], 0, block.data()))
            return false;
        if (got != len || block[len] != 0xEE)
            return false;
        out.insert(out.end(), block.begin(), block.begin() + long(len));
    }
    return true;
}

std::vector<Ext2LostFile*> all_files(Ext2Group* head)
{
    std::vector<Ext2LostFile*> files;
    for (Ext2Group* g = head; g; g = ext2_get_next(g))
        for (uint32_t i = 0; Ext2LostFile* f = ext2_get_file(g, i); ++i)
            files.push_back(f);
    return files;
}

struct Geometry {
    int block_size;
    int inode_size;
    int blocks_per_group = 0; // 0: mke2fs's choice (one group)
};

class Ext2RealVolume : public ::testing::TestWithParam<Geometry> {
protected:
    void TearDown() override { ext2_exit(); }
};

TEST_P(Ext2RealVolume, ReportsExactlyTheDeletedFilesAndReadsThemByteExact)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    fs::path img = tmp / "ext2.img";
    auto [bs, isz, bpg] = GetParam();
    std::vector<std::string> args { img.string(), std::to_string(bs), std::to_string(isz) };
    if (bpg)
        args.push_back(std::to_string(bpg));
    ASSERT_TRUE(run_fixture("ext-ext2.sh", args));
    auto manifest = read_manifest(img.string() + ".manifest");
    ASSERT_FALSE(manifest.empty());

    FileVolume vol(img.string(), BG_FS_EXT2);
    ASSERT_TRUE(ext2_init(vol.volume()));
    EXPECT_EQ(ext2_get_blocksize(), uint32_t(bs));
    bg_progress = 0;
    Ext2Group* head = ext2_searchfile();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    EXPECT_EQ(u16(ext2_get_filename(head, EXT2_NAME_GROUP)), u"Group(0)");
    EXPECT_EQ(ext_test::field(head->previous), nullptr);

    // Every reported file: numbered names per group, and byte-exact content.
    std::map<std::string, int> by_hash;
    int fast_links = 0;
    for (Ext2Group* g = head; g; g = ext2_get_next(g)) {
        for (uint32_t i = 0; i < g->file_count; ++i) {
            Ext2LostFile* f = ext2_get_file(g, i);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(u16(ext2_get_filename(f, EXT2_NAME_FILE)), u"LostFile(" + fsprobe::utf8_to_utf16(std::to_string(i)) + u")");
            EXPECT_EQ(ext2_get_filelist(g)[i], f);
            if (!ext2_get_fileblocklist(f)) {
                // A fast symbolic link: its target is in the inode copy.
                for (auto& m : manifest)
                    if (m.kind == "symlink" && m.size == f->size
                        && std::string(reinterpret_cast<char*>(f->inode + 0x28), m.size) == m.hash_or_target)
                        ++fast_links;
                continue;
            }
            std::vector<uint8_t> data;
            ASSERT_TRUE(read_like_writer(f, data)) << "file " << i;
            ASSERT_EQ(data.size(), ext_test::field(f->size));
            by_hash[sha256_hex(data)]++;
        }
        EXPECT_EQ(ext2_get_file(g, ext_test::field(g->file_count)), nullptr);
        EXPECT_EQ(ext2_get_filelist(g)[ext_test::field(g->file_count)], nullptr);
    }
    size_t expected = 0;
    for (auto& m : manifest) {
        if (m.kind == "deleted") {
            ++expected;
            EXPECT_EQ(by_hash[m.hash_or_target], 1) << m.name << " not recovered byte-exact";
        } else if (m.kind == "symlink") {
            ++expected;
        }
    }
    EXPECT_EQ(fast_links, 1);
    if (bpg) {
        // The files were made after filling group 0's inodes.
        Ext2Group* second = ext2_get_next(head);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(ext_test::field(second->previous), head);
        EXPECT_EQ(u16(ext2_get_filename(second, EXT2_NAME_GROUP)), u"Group(1)");
        EXPECT_GT(ext_test::field(second->file_count), 0u);
    }
    // Live files, inodes freed without a deletion time and deleted directories
    // (also one whose mode was turned into a regular file) are not reported.
    EXPECT_EQ(all_files(head).size(), expected);
}

INSTANTIATE_TEST_SUITE_P(BlockAndInodeSizes, Ext2RealVolume,
                         ::testing::Values(Geometry { 1024, 128 }, Geometry { 4096, 256 }, Geometry { 1024, 256 },
                                           Geometry { 4096, 128 }, Geometry { 1024, 128, 1024 }),
                         [](const auto& info) {
                             return "b" + std::to_string(info.param.block_size) + "_i" + std::to_string(info.param.inode_size)
                                 + (info.param.blocks_per_group ? "_groups" : "");
                         });

TEST(Ext2, SharedImageWithDeletedFilesMatchesDebugfs)
{
    TempDir tmp;
    auto img = shared_image("ext/dfvfs-image.dd", tmp.path());
    if (!img)
        GTEST_SKIP() << "shared test images absent";
    FileVolume vol(img->string(), BG_FS_EXT2);
    ASSERT_TRUE(ext2_init(vol.volume()));
    Ext2Group* head = ext2_searchfile();
    ASSERT_NE(head, nullptr);
    // debugfs lists deleted inodes that still own blocks; every one of them
    // must be among ours with the same size.
    std::string out;
    ASSERT_EQ(run("debugfs -R lsdel '" + img->string() + "' 2>/dev/null", &out), 0);
    std::multiset<uint64_t> ours;
    for (auto* f : all_files(head)) {
        ours.insert(f->size);
        std::vector<uint8_t> data;
        if (ext2_get_fileblocklist(f)) {
            EXPECT_TRUE(read_like_writer(f, data));
        }
    }
    std::istringstream ls(out);
    std::string line;
    size_t listed = 0;
    while (std::getline(ls, line)) {
        std::istringstream fields(line);
        uint64_t inode = 0, owner = 0, size = 0;
        std::string mode;
        if (!(fields >> inode >> owner >> mode >> size))
            continue;
        if (mode.rfind("100", 0) != 0 && mode.rfind("120", 0) != 0)
            continue;
        ++listed;
        EXPECT_TRUE(ours.count(size)) << "inode " << inode << " of " << size << " bytes missing";
    }
    // The image's files were deleted by the kernel driver, which clears the
    // sizes and block pointers: debugfs lists none of them, and the one inode
    // that kept a deletion time (13, as "ils" shows) is reported empty.
    EXPECT_EQ(listed, 0u);
    auto files = all_files(head);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ext_test::field(files[0]->size), 0u);
    EXPECT_EQ(ext2_get_fileblocklist(files[0]), nullptr);
    ext2_exit();
}

TEST(Ext2, SharedPlainImageOpensAndScans)
{
    TempDir tmp;
    auto img = shared_image("ext/dfvfs-ext2.raw", tmp.path());
    if (!img)
        GTEST_SKIP() << "shared test images absent";
    FileVolume vol(img->string(), BG_FS_EXT2);
    ASSERT_TRUE(ext2_init(vol.volume()));
    EXPECT_NE(ext2_searchfile(), nullptr);
    ext2_exit();
}

// ---------------------------------------------------------------- staged volumes

class Ext2Staged : public ::testing::Test {
protected:
    void TearDown() override { ext2_exit(); }
    Ext2Group* scan(ExtBuilder& b)
    {
        m_vol = std::make_unique<MemoryVolume>(b.bytes(), BG_FS_EXT2);
        if (!ext2_init(m_vol->volume()))
            return nullptr;
        return ext2_searchfile();
    }
    std::unique_ptr<MemoryVolume> m_vol;
};

TEST_F(Ext2Staged, TripleIndirectHolesAndRepeatedIndirectBlocks)
{
    // The superblock claims more blocks than the image holds, so that a file
    // can reach into its triple indirect tree.
    ExtBuilder b(1024);
    ExtBuilder::put32(b.bytes().data() + 1024 + 0x04, 200000);
    const uint64_t per = 256;
    const uint64_t blocks = 12 + per + per * per + 5;
    uint32_t n = b.new_inode_number();
    b.set_inode(n, 0x81A4, blocks * 1024 - 10, 0, 1000);
    for (uint32_t i = 0; i < 12; ++i)
        b.set_pointer(n, i, 100 + i);
    uint32_t single = b.alloc_block();
    for (uint32_t i = 0; i < per; ++i)
        ExtBuilder::put32(b.block(single) + 4 * i, 1000 + i);
    b.set_pointer(n, 12, single);
    b.set_pointer(n, 13, 0); // the double indirect tree is a hole
    uint32_t t = b.alloc_block(), d = b.alloc_block(), s = b.alloc_block();
    ExtBuilder::put32(b.block(t), d);
    ExtBuilder::put32(b.block(d), s);
    for (uint32_t i = 0; i < 5; ++i)
        ExtBuilder::put32(b.block(s) + 4 * i, 7001 + i);
    b.set_pointer(n, 14, t);

    // A second file whose single indirect block lists itself and whose triple
    // indirect block is its own single indirect block again.
    uint32_t m = b.new_inode_number();
    b.set_inode(m, 0x81A4, (12 + per + 3) * 1024, 0, 1000);
    uint32_t self = b.alloc_block();
    ExtBuilder::put32(b.block(self), self);
    ExtBuilder::put32(b.block(self) + 4, 4242);
    b.set_pointer(m, 12, self);
    b.set_pointer(m, 13, self);

    Ext2Group* head = scan(b);
    ASSERT_NE(head, nullptr);
    ASSERT_EQ(ext_test::field(head->file_count), 2u);
    Ext2LostFile* f = ext2_get_file(head, 0);
    uint32_t* list = ext2_get_fileblocklist(f);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], 100u);
    EXPECT_EQ(list[12], 1000u);
    EXPECT_EQ(list[12 + per - 1], 1000u + per - 1);
    for (uint64_t i = 12 + per; i < 12 + per + per * per; i += 997)
        ASSERT_EQ(list[i], 0u) << i;
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(list[12 + per + per * per + i], 7001u + i);

    Ext2LostFile* g = ext2_get_file(head, 1);
    uint32_t* l2 = ext2_get_fileblocklist(g);
    ASSERT_NE(l2, nullptr);
    EXPECT_EQ(l2[12], self);
    EXPECT_EQ(l2[13], 4242u);
    // The double indirect pointer repeats a block already used: a hole.
    EXPECT_EQ(l2[12 + per], 0u);
}

TEST_F(Ext2Staged, BitmapDeletionTimeAndClassDecideWhatIsReported)
{
    ExtBuilder b;
    auto data = random_bytes(1500, 1);
    uint32_t deleted = b.make_file(data, 1234);
    uint32_t live = b.make_file(data, 0);
    uint32_t no_dtime = b.make_file(data, 0);
    b.set_inode_used(no_dtime, false); // freed, but no deletion time
    uint32_t in_use = b.make_file(data, 1234);
    b.set_inode_used(in_use, true);    // deletion time, still in use
    uint32_t device = b.make_file(data, 1234, 0x21A4); // a character device
    uint32_t huge = b.make_file(data, 1234);
    ExtBuilder::put32(b.inode(huge) + 0x6C, 0x10); // size beyond the volume
    // A deleted regular file whose first block is a directory block.
    uint32_t dirlike = b.make_file(data, 1234);
    ExtBuilder::entry(b.block(ExtBuilder::get32(b.inode(dirlike) + 0x28)), 0, dirlike, 12, ".", 2);
    ExtBuilder::entry(b.block(ExtBuilder::get32(b.inode(dirlike) + 0x28)), 12, 2, 1012, "..", 2);
    (void)live;
    (void)device;

    Ext2Group* head = scan(b);
    ASSERT_NE(head, nullptr);
    ASSERT_EQ(ext_test::field(head->file_count), 1u);
    std::vector<uint8_t> out;
    ASSERT_TRUE(read_like_writer(ext2_get_file(head, 0), out));
    EXPECT_EQ(out, data);
    EXPECT_EQ(deleted, 12u);
}

TEST_F(Ext2Staged, ReadfileRefusesBadBlocksAndNeverWritesPastTheCount)
{
    ExtBuilder b;
    auto data = random_bytes(1024, 2);
    b.make_file(data, 5);
    ASSERT_NE(scan(b), nullptr);
    uint32_t block = ExtBuilder::get32(b.inode(12) + 0x28);
    std::vector<uint8_t> buf(2048, 0xAA);
    uint64_t got = 99;
    EXPECT_FALSE(ext2_readfile(1, 100, 0, &got, 0, 0, buf.data()));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(ext2_readfile(1, 100, 0, &got, 512, 0, buf.data())); // == block count
    EXPECT_FALSE(ext2_readfile(1, 100, 0, &got, block, 1, buf.data()));
    EXPECT_FALSE(ext2_readfile(0, 100, 0, &got, block, 0, buf.data()));
    EXPECT_EQ(buf[0], 0xAA);
    ASSERT_TRUE(ext2_readfile(1, 100, 0, &got, block, 0, buf.data()));
    EXPECT_EQ(got, 100u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, buf.begin()));
    EXPECT_EQ(buf[100], 0xAA);
    // A count above the block size delivers one block.
    ASSERT_TRUE(ext2_readfile(1, 5000, 0, &got, block, 0, buf.data()));
    EXPECT_EQ(got, 1024u);
    EXPECT_EQ(buf[1024], 0xAA);
}

TEST_F(Ext2Staged, RejectsBadSuperblocksAndNullArguments)
{
    EXPECT_FALSE(ext2_init(nullptr));
    EXPECT_EQ(ext2_searchfile(), nullptr);
    EXPECT_EQ(ext2_get_blocksize(), 0u);
    EXPECT_EQ(ext2_get_next(nullptr), nullptr);
    EXPECT_EQ(ext2_get_filelist(nullptr), nullptr);
    EXPECT_EQ(ext2_get_file(nullptr, 0), nullptr);
    EXPECT_EQ(ext2_get_filename(nullptr, EXT2_NAME_FILE), nullptr);
    EXPECT_EQ(ext2_get_filesize(nullptr), EXT2_NO_SIZE);
    EXPECT_EQ(ext2_get_fileblocklist(nullptr), nullptr);

    struct Damage {
        uint32_t offset;
        uint32_t value;
        int width;
    };
    const Damage damages[] = {
        { 0x38, 0xEF54, 2 },       // magic
        { 0x4C, 2, 4 },            // revision
        { 0x60, 0x0042, 4 },       // extents (an incompatible feature)
        { 0x1C, 1, 4 },            // fragment size differs from block size
        { 0x18, 9, 4 },            // absurd block size
        { 0x58, 100, 2 },          // inode size not a power of two
        { 0x28, 0, 4 },            // no inodes per group
        { 0x28, 9000, 4 },         // more inodes than the bitmap can hold
        { 0x20, 0, 4 },            // no blocks per group
        { 0x14, 600, 4 },          // first data block beyond the volume
    };
    for (const Damage& dmg : damages) {
        ExtBuilder b;
        uint8_t* p = b.bytes().data() + 1024 + dmg.offset;
        if (dmg.width == 2)
            ExtBuilder::put16(p, uint16_t(dmg.value));
        else
            ExtBuilder::put32(p, dmg.value);
        MemoryVolume vol(b.bytes(), BG_FS_EXT2);
        EXPECT_FALSE(ext2_init(vol.volume())) << "offset " << dmg.offset;
    }
    // A group descriptor table beyond the end of a short image.
    ExtBuilder b;
    b.bytes().resize(2048);
    MemoryVolume vol(b.bytes(), BG_FS_EXT2);
    EXPECT_FALSE(ext2_init(vol.volume()));
}

TEST_F(Ext2Staged, FilenameKindsAndStopFromOutside)
{
    ExtBuilder b;
    b.make_file(random_bytes(10, 3), 9);
    Ext2Group* head = scan(b);
    ASSERT_NE(head, nullptr);
    Ext2LostFile* f = ext2_get_file(head, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ext2_get_filename(f, 101), nullptr);
    EXPECT_EQ(u16(ext2_get_filename(f, EXT2_NAME_FILE)), u"LostFile(0)");
    EXPECT_EQ(ext2_get_filesize(f), 10u);
    EXPECT_EQ(ext_test::field(head->next), nullptr);
}

} // namespace
