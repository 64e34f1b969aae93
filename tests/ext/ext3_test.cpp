// ext3 reader: the directory-tree walk through slack, tree and list modes and
// chunked reads, on a real mke2fs/debugfs volume and on staged volumes.
#include "ext_builder.h"

#include <fsprobe/ext3.h>

#include <file_volume.h>
#include <memory_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

using namespace salvor_test;
using ext_test::ExtBuilder;

namespace {

// Reads a list-mode file the way the recovery writer does.
std::vector<uint8_t> read_all(Ext3FoundFile* f, int* calls = nullptr)
{
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(EXT3_READ_CHUNK_MAX + 64, 0xEE);
    uint64_t position = 0, count = 0;
    int n = 0;
    bool more = true;
    while (more && n < 100000) {
        std::fill(buf.begin(), buf.end(), 0xEE);
        more = ext3_readfile2(f, &count, &position, buf.data());
        ++n;
        EXPECT_LE(count, EXT3_READ_CHUNK_MAX);
        EXPECT_EQ(buf[EXT3_READ_CHUNK_MAX], 0xEE);
        out.insert(out.end(), buf.begin(), buf.begin() + long(count));
    }
    if (calls)
        *calls = n;
    return out;
}

// path of a node: names up the parent chain.
std::string node_path(Ext3DirNode* n)
{
    std::string path;
    for (; n && n->name[0]; n = static_cast<Ext3DirNode*>(n->parent))
        path = std::string(n->name) + (path.empty() ? "" : "/" + path);
    return path;
}

// One image per block size, built once for the suite.
class Ext3RealVolume : public ::testing::TestWithParam<int> {
protected:
    static void TearDownTestSuite()
    {
        s_imgs.clear();
        delete s_tmp;
        s_tmp = nullptr;
    }
    void SetUp() override
    {
        if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
            GTEST_SKIP();
        int bs = GetParam();
        if (!s_tmp)
            s_tmp = new TempDir;
        if (!s_imgs.count(bs)) {
            std::string img = (*s_tmp / ("ext3-" + std::to_string(bs) + ".img")).string();
            s_imgs[bs] = run_fixture("ext-ext3.sh", { img, std::to_string(bs) }) ? img : std::string();
        }
        std::string s_img = s_imgs[bs];
        ASSERT_FALSE(s_img.empty());
        std::ifstream in(s_img + ".manifest");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            std::string kind, path;
            ls >> kind >> path;
            m_kind[path] = kind;
            ls >> m_size[path] >> m_hash[path];
        }
        m_vol = std::make_unique<FileVolume>(s_img, BG_FS_EXT3);
        ASSERT_TRUE(ext3_init(m_vol->volume()));
    }
    void TearDown() override { ext3_exit(); }

    static std::string base(const std::string& path) { return path.substr(path.rfind('/') + 1); }

    static TempDir* s_tmp;
    static std::map<int, std::string> s_imgs;
    std::map<std::string, std::string> m_kind, m_hash;
    std::map<std::string, uint64_t> m_size;
    std::unique_ptr<FileVolume> m_vol;
};
TempDir* Ext3RealVolume::s_tmp = nullptr;
std::map<int, std::string> Ext3RealVolume::s_imgs;

TEST_P(Ext3RealVolume, TreeModeFindsDeletedNamesInNestedFolders)
{
    Ext3DirNode* root = ext3_searchfile();
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->name, "");
    EXPECT_EQ(ext_test::field(root->inode_number), 2u);
    EXPECT_EQ(ext_test::field(root->parent), nullptr);

    std::set<std::string> nodes;
    std::set<std::string> deleted;
    for (Ext3DirNode* n = root; n; n = static_cast<Ext3DirNode*>(ext3_get_next(n))) {
        std::string dir = node_path(n);
        nodes.insert(dir);
        size_t subdirs = 0;
        for (uint32_t i = 0; Ext3Entry* e = ext3_get_file(n, i); ++i) {
            EXPECT_EQ(ext3_get_filelist(n)[i], e);
            std::string path = (dir.empty() ? "" : dir + "/") + ext3_get_filename(e);
            if (ext3_file_isdir(e))
                ++subdirs;
            else
                deleted.insert(path);
        }
        if (n->next) {
            EXPECT_EQ(ext_test::field(n->next->previous), n);
        }
        (void)subdirs;
    }
    // lost+found (the root's first entry) is passed over; "lonely" has one
    // link and is not descended; "gone" was deleted.
    EXPECT_EQ(nodes, (std::set<std::string> { "", "docs", "docs/sub", "pics", "big" }));
    std::set<std::string> expected;
    for (auto& [path, kind] : m_kind)
        if (kind == "deleted" || kind == "cleared")
            expected.insert(path);
    EXPECT_EQ(deleted, expected);
}

TEST_P(Ext3RealVolume, ListModeReadsEveryFileWhosePointersSurvive)
{
    Ext3FoundFile* head = ext3_searchfile2();
    ASSERT_NE(head, nullptr);
    std::map<std::string, Ext3FoundFile*> by_name;
    for (Ext3FoundFile* f = head; f; f = static_cast<Ext3FoundFile*>(ext3_get_next(f))) {
        EXPECT_EQ(ext3_get_filename(f), std::string(f->name));
        EXPECT_EQ(by_name.count(f->name), 0u) << f->name;
        by_name[f->name] = f;
    }
    size_t expected = 0;
    for (auto& [path, kind] : m_kind) {
        if (kind != "deleted" && kind != "cleared") {
            EXPECT_EQ(by_name.count(base(path)), 0u) << path;
            continue;
        }
        ++expected;
        ASSERT_EQ(by_name.count(base(path)), 1u) << path;
        Ext3FoundFile* f = by_name[base(path)];
        EXPECT_EQ(ext3_get_filesize(f), m_size[path]) << path;
        auto data = read_all(f);
        if (kind == "cleared") {
            EXPECT_TRUE(data.empty());
            EXPECT_EQ(ext_test::field(f->position), 0u);
        } else {
            EXPECT_EQ(sha256_hex(data), m_hash[path]) << path;
        }
    }
    EXPECT_EQ(by_name.size(), expected);
}

// 8 KiB blocks are larger than one read chunk: each block comes in two calls.
INSTANTIATE_TEST_SUITE_P(BlockSizes, Ext3RealVolume, ::testing::Values(1024, 4096, 8192),
                         [](const auto& info) { return "b" + std::to_string(info.param); });

TEST(Ext3, SharedImagesWalkWithoutError)
{
    TempDir tmp;
    bool any = false;
    for (const char* name : { "ext/dfvfs-image.dd", "ext/dfvfs-ext2.raw" }) {
        auto img = shared_image(name, tmp.path());
        if (!img)
            continue;
        any = true;
        FileVolume vol(img->string(), BG_FS_EXT3);
        ASSERT_TRUE(ext3_init(vol.volume())) << name;
        Ext3DirNode* root = ext3_searchfile();
        ASSERT_NE(root, nullptr) << name;
        for (Ext3FoundFile* f = ext3_searchfile2(); f; f = f->next)
            read_all(f);
        ext3_exit();
    }
    if (!any)
        GTEST_SKIP() << "shared test images absent";
}

// ---------------------------------------------------------------- staged volumes

class Ext3Staged : public ::testing::Test {
protected:
    void TearDown() override { ext3_exit(); }
    bool open(ExtBuilder& b)
    {
        m_vol = std::make_unique<MemoryVolume>(b.bytes(), BG_FS_EXT3);
        return ext3_init(m_vol->volume());
    }
    // The root's first entry, which the walk passes over.
    static void add_lost_found(ExtBuilder& b)
    {
        uint32_t lf = b.make_dir_inode(11, 2);
        b.link(2, lf, "lost+found", 2);
    }
    std::unique_ptr<MemoryVolume> m_vol;
};

std::vector<std::string> entry_names(Ext3DirNode* n)
{
    std::vector<std::string> names;
    for (uint32_t i = 0; Ext3Entry* e = ext3_get_file(n, i); ++i)
        names.push_back(e->name);
    return names;
}

TEST_F(Ext3Staged, SlackEntriesResyncAndLinkCounts)
{
    ExtBuilder b;
    add_lost_found(b);
    auto a = random_bytes(100, 1), del = random_bytes(2600, 2);
    uint32_t live_file = b.make_file(a, 0);
    uint32_t gone = b.make_file(del, 77);
    // A live directory with one link: recorded nowhere, not walked.
    uint32_t one = b.make_dir_inode(b.new_inode_number(), 1);
    b.link(one, b.make_file(a, 5), "unseen.txt", 1);
    b.link(2, one, "onelink", 2);
    // A live subdirectory holding a deleted file behind junk bytes that are
    // no entry (file type 0x55): the walk steps over them 4 bytes at a time.
    uint32_t sub = b.make_dir_inode(b.new_inode_number(), 2);
    b.link(2, sub, "sub", 2);
    uint8_t* d = b.block(b.dir_block(sub));
    std::memset(d + 24, 0x55, 12);
    ExtBuilder::put16(d + 12 + 4, 1012);
    ExtBuilder::entry(d, 36, b.make_file(del, 3), 988, "inner.bin", 1);
    uint32_t at_live = b.link(2, live_file, "alive.txt", 1);
    b.link(2, gone, "removed.txt", 1);
    b.unlink_last(2, at_live); // "removed.txt" now sits in the slack of "alive.txt"

    ASSERT_TRUE(open(b));
    Ext3DirNode* root = ext3_searchfile();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(entry_names(root), (std::vector<std::string> { "sub", "removed.txt" }));
    Ext3Entry* removed = ext3_get_file(root, 1);
    EXPECT_EQ(ext3_file_isdir(removed), 0);
    EXPECT_EQ(ext3_get_filesize(removed), 2600u);
    EXPECT_EQ(ext3_file_isdir(ext3_get_file(root, 0)), 1);
    Ext3DirNode* child = static_cast<Ext3DirNode*>(ext3_get_next(root));
    ASSERT_NE(child, nullptr);
    EXPECT_STREQ(child->name, "sub");
    EXPECT_EQ(ext_test::field(child->parent), root);
    EXPECT_EQ(ext_test::field(child->previous), root);
    EXPECT_EQ(entry_names(child), (std::vector<std::string> { "inner.bin" }));
    EXPECT_EQ(ext3_get_next(child), nullptr);
    EXPECT_EQ(ext3_get_file(child, 1), nullptr);
}

TEST_F(Ext3Staged, LaterDirectoryBlocksAreWalkedToo)
{
    // A two-block directory: the first block ends in zeroed slack, the second
    // holds a deleted entry in slack. Both blocks are visited.
    ExtBuilder b;
    add_lost_found(b);
    uint32_t dir = b.make_dir_inode(b.new_inode_number(), 2);
    b.link(2, dir, "twoblocks", 2);
    uint32_t second = b.alloc_block();
    b.set_pointer(dir, 1, second);
    ExtBuilder::put32(b.inode(dir) + 4, 2048);
    uint32_t keep = b.make_file(random_bytes(10, 3), 0);
    uint32_t lost = b.make_file(random_bytes(10, 4), 9);
    uint8_t* d = b.block(second);
    ExtBuilder::entry(d, 0, keep, 1024, "keep", 1);
    ExtBuilder::entry(d, 12, lost, 1012, "lost-in-block-two", 1);

    ASSERT_TRUE(open(b));
    Ext3FoundFile* head = ext3_searchfile2();
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(ext3_get_filename(head), "lost-in-block-two");
    EXPECT_EQ(ext3_get_next(head), nullptr);
}

// The depth to which the walk enters folders (the root included).
constexpr size_t kMaxWalkDepthForTest = 256;

TEST_F(Ext3Staged, DamagedEntriesLoopsAndDepthDoNotDerailTheWalk)
{
    ExtBuilder b(2048, 512);
    add_lost_found(b);
    // A chain of 300 nested directories, the deepest linking back to the root.
    uint32_t parent = 2;
    std::vector<uint32_t> chain;
    for (int i = 0; i < 300; ++i) {
        uint32_t dir = b.make_dir_inode(b.new_inode_number(), 2, parent);
        b.link(parent, dir, "d" + std::to_string(i), 2);
        chain.push_back(dir);
        parent = dir;
    }
    b.link(chain.back(), 2, "loop-to-root", 2);
    b.link(chain[5], chain[2], "loop-up", 2);
    // Entries whose name runs past the block, inode numbers out of range, a
    // name with a slash, and "..": skipped or made safe.
    uint8_t* d = b.block(b.dir_block(chain[0]));
    uint32_t last = b.link(chain[0], b.make_file(random_bytes(5, 5), 1), "a/b", 1);
    (void)last;
    b.link(chain[0], 60000, "out-of-range", 1);
    b.link(chain[0], 3, "..", 1);
    for (int i = 0; i < 4; ++i)
        b.link(chain[0], b.make_file(random_bytes(5, 7), 0), std::string(200, char('k' + i)), 1);
    uint32_t at = b.link(chain[0], b.make_file(random_bytes(5, 6), 1), "tail", 1);
    ASSERT_GT(at + 8 + 255, 1024u);
    d[at + 6] = 255; // the name would run past the block

    ASSERT_TRUE(open(b));
    Ext3DirNode* root = ext3_searchfile();
    ASSERT_NE(root, nullptr);
    std::vector<Ext3DirNode*> nodes;
    for (Ext3DirNode* n = root; n && nodes.size() <= 400; n = n->next)
        nodes.push_back(n);
    // Exactly the root and d0 .. d254, each once and in depth order: the walk
    // holds at most 256 folders open, so d255 is recorded in d254 but not
    // entered; the links back to the root and to d2 enter nothing again.
    ASSERT_EQ(nodes.size(), kMaxWalkDepthForTest);
    for (size_t i = 1; i < nodes.size(); ++i) {
        EXPECT_EQ(std::string(nodes[i]->name), "d" + std::to_string(i - 1));
        EXPECT_EQ(ext_test::field(nodes[i]->inode_number), chain[i - 1]);
        EXPECT_EQ(ext_test::field(nodes[i]->parent), nodes[i - 1]);
    }
    std::vector<std::string> deepest = entry_names(nodes.back());
    EXPECT_EQ(deepest, (std::vector<std::string> { "d255" }));
    Ext3DirNode* d0 = root->next;
    ASSERT_NE(d0, nullptr);
    EXPECT_STREQ(d0->name, "d0");
    std::vector<std::string> names = entry_names(d0);
    EXPECT_EQ(names, (std::vector<std::string> { "d1", "a_b" }));
}

TEST_F(Ext3Staged, ChunkedReadsHolesAndResets)
{
    ExtBuilder b;
    add_lost_found(b);
    auto data = random_bytes(2560, 7); // 2.5 blocks
    uint32_t f = b.make_file(data, 1);
    b.link(2, f, "two-and-a-half", 1);
    // A sparse file: its middle block is a hole.
    auto sparse = random_bytes(3000, 8);
    uint32_t s = b.make_file(sparse, 1);
    b.set_pointer(s, 1, 0);
    std::fill(sparse.begin() + 1024, sparse.begin() + 2048, 0);
    b.link(2, s, "sparse", 1);
    uint32_t cleared = b.make_file(random_bytes(500, 9), 1);
    b.set_pointer(cleared, 0, 0);
    b.link(2, cleared, "cleared", 1);
    uint32_t fast = b.new_inode_number();
    b.set_inode(fast, 0xA1FF, 11, 0, 1);
    std::memcpy(b.inode(fast) + 0x28, "target/path", 11);
    b.link(2, fast, "symlink", 7);
    uint32_t empty = b.make_file({}, 1);
    b.link(2, empty, "empty", 1);
    // A damaged size of 1 TiB: the read ends where the block map ends.
    uint32_t huge = b.make_file(random_bytes(1024, 10), 1);
    ExtBuilder::put32(b.inode(huge) + 0x6C, 0x100);
    b.link(2, huge, "huge", 1);

    ASSERT_TRUE(open(b));
    Ext3FoundFile* head = ext3_searchfile2();
    ASSERT_NE(head, nullptr);
    std::map<std::string, Ext3FoundFile*> files;
    for (Ext3FoundFile* r = head; r; r = r->next)
        files[r->name] = r;
    ASSERT_EQ(files.size(), 6u);

    // 2.5 blocks: true, true, then false with the last half block.
    Ext3FoundFile* r = files["two-and-a-half"];
    EXPECT_EQ(ext_test::field(r->position), uint64_t(ExtBuilder::get32(b.inode(f) + 0x28)) * 1024);
    std::vector<uint8_t> buf(EXT3_READ_CHUNK_MAX);
    uint64_t pos = 0, count = 0;
    EXPECT_TRUE(ext3_readfile2(r, &count, &pos, buf.data()));
    EXPECT_EQ(count, 1024u);
    EXPECT_TRUE(ext3_readfile2(r, &count, &pos, buf.data()));
    EXPECT_EQ(count, 1024u);
    EXPECT_FALSE(ext3_readfile2(r, &count, &pos, buf.data()));
    EXPECT_EQ(count, 512u);
    EXPECT_TRUE(std::equal(data.begin() + 2048, data.end(), buf.begin()));
    EXPECT_FALSE(ext3_readfile2(r, &count, &pos, buf.data()));
    EXPECT_EQ(count, 0u);
    int calls = 0;
    EXPECT_EQ(read_all(r, &calls), data);
    EXPECT_EQ(calls, 3);

    // A read abandoned halfway, a null reset, then a fresh read.
    pos = 0;
    EXPECT_TRUE(ext3_readfile2(files["sparse"], &count, &pos, buf.data()));
    EXPECT_FALSE(ext3_readfile2(nullptr, &count, &pos, buf.data()));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(read_all(files["sparse"]), sparse);

    EXPECT_TRUE(read_all(files["cleared"]).empty());
    EXPECT_EQ(ext_test::field(files["cleared"]->size), 500u);
    EXPECT_EQ(ext_test::field(files["cleared"]->position), 0u);
    auto link = read_all(files["symlink"]);
    EXPECT_EQ(std::string(link.begin(), link.end()), "target/path");
    EXPECT_TRUE(read_all(files["empty"]).empty());
    EXPECT_EQ(ext3_get_filesize(files["huge"]), (1ull << 40) + 1024);
    EXPECT_LE(read_all(files["huge"]).size(), 512u * 1024);
}

TEST_F(Ext3Staged, OpensAVolumeWhoseJournalNeedsRecovery)
{
    // A mounted ext3 volume (or one not cleanly unmounted) carries the
    // "needs recovery" mark; its on-disk tree is still walked.
    ExtBuilder b;
    add_lost_found(b);
    b.link(2, b.make_file(random_bytes(10, 11), 1), "x", 1);
    ExtBuilder::put32(b.bytes().data() + 1024 + 0x60, 0x0006);
    ASSERT_TRUE(open(b));
    Ext3FoundFile* head = ext3_searchfile2();
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->name, "x");
}

TEST_F(Ext3Staged, AccessorsOnNullAndUserSlots)
{
    EXPECT_FALSE(ext3_init(nullptr));
    EXPECT_EQ(ext3_searchfile(), nullptr);
    EXPECT_EQ(ext3_searchfile2(), nullptr);
    EXPECT_EQ(ext3_get_next(nullptr), nullptr);
    EXPECT_EQ(ext3_get_filelist(nullptr), nullptr);
    EXPECT_EQ(ext3_get_file(nullptr, 0), nullptr);
    EXPECT_EQ(ext3_get_filename(nullptr), nullptr);
    EXPECT_EQ(ext3_get_filesize(nullptr), EXT3_NO_SIZE);
    EXPECT_EQ(ext3_file_isdir(nullptr), 0);
    EXPECT_FALSE(ext3_user_set_dirnum(nullptr, 3));
    EXPECT_EQ(ext3_user_get_dirnum(nullptr), -1);
    EXPECT_FALSE(ext3_user_set_treenode(nullptr, this));
    EXPECT_EQ(ext3_user_get_treenode(nullptr), nullptr);
    EXPECT_FALSE(ext3_user_set_parantnode(nullptr, this));
    EXPECT_EQ(ext3_user_get_parantnode(nullptr), nullptr);
    uint64_t count = 7, pos = 0;
    EXPECT_FALSE(ext3_readfile2(nullptr, &count, &pos, &count));
    EXPECT_EQ(count, 0u);

    ExtBuilder b;
    add_lost_found(b);
    ASSERT_TRUE(open(b));
    Ext3DirNode* root = ext3_searchfile();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(ext3_user_get_dirnum(root), 0);
    EXPECT_TRUE(ext3_user_set_dirnum(root, 42));
    EXPECT_TRUE(ext3_user_set_treenode(root, &count));
    EXPECT_TRUE(ext3_user_set_parantnode(root, &pos));
    EXPECT_EQ(ext3_user_get_dirnum(root), 42);
    EXPECT_EQ(ext3_user_get_treenode(root), &count);
    EXPECT_EQ(ext3_user_get_parantnode(root), &pos);
    // An unreadable root fails the walk.
    ExtBuilder::put32(b.inode(2) + 0x28, 0);
    ASSERT_TRUE(open(b));
    EXPECT_EQ(ext3_searchfile(), nullptr);
}

} // namespace
