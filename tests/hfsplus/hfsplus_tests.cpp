// HFS+ reader on images made by the in-repo builder: the deleted-file list,
// names, sizes, byte-exact reads through extents, the chunk protocol, and
// damaged catalogs.
#include "hfsplus_test_util.h"

#include <fsprobe/common/bytes.h>

#include <gtest/gtest.h>

#include <map>

using namespace hfsplus_test;
using salvor_test::MemoryVolume;
using salvor_test::random_bytes;

namespace {

std::vector<uint8_t> block_data(size_t size, uint64_t seed) { return random_bytes(size, seed); }

} // namespace

TEST(HfsPlusExports, NullArgumentsAndStateBeforeInit)
{
    EngineGuard guard;
    EXPECT_FALSE(hfsp_init(nullptr));
    EXPECT_EQ(hfsp_get_blocksize(), 0u);
    EXPECT_EQ(hfsp_get_startsec(nullptr), ~uint64_t(0));
    EXPECT_EQ(hfsp_get_filesize(nullptr), 0u);
    EXPECT_EQ(hfsp_get_next(nullptr), nullptr);
    EXPECT_EQ(hfsp_get_pre(nullptr), nullptr);
    EXPECT_EQ(hfsp_get_filename(nullptr), nullptr);
    uint64_t len = 7, pos = 0;
    uint8_t buf[512];
    EXPECT_FALSE(hfsp_readfile(nullptr, &len, &pos, buf));
    // A search without a volume finishes and lists nothing.
    EXPECT_EQ(hfsp_searchfile(), nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
}

TEST(HfsPlusExports, RejectsVolumesThatAreNotHfsPlus)
{
    EngineGuard guard;
    MemoryVolume zeros(std::vector<uint8_t>(64 * 1024, 0), BG_FS_HFSPLUS);
    EXPECT_FALSE(hfsp_init(zeros.volume()));
    MemoryVolume tiny(std::vector<uint8_t>(1200, 0), BG_FS_HFSPLUS); // header cut short
    EXPECT_FALSE(hfsp_init(tiny.volume()));
    HfsPlusImageBuilder b;
    MemoryVolume good(b.build(), BG_FS_HFSPLUS);
    EXPECT_TRUE(hfsp_init(good.volume()));
    EXPECT_EQ(hfsp_get_blocksize(), 4096u);
    // Block sizes that are not powers of two from 512 bytes to 1 MiB.
    for (uint32_t bad : { 0u, 256u, 1000u, 4097u, 2u << 20 }) {
        auto img = b.build();
        fsprobe::store_be32(img.data() + 1024 + 40, bad);
        MemoryVolume v(img, BG_FS_HFSPLUS);
        EXPECT_FALSE(hfsp_init(v.volume())) << bad;
    }
    HfsPlusImageBuilder x(BuildOptions { .hfsx = true });
    MemoryVolume hfsx(x.build(), BG_FS_HFSPLUS);
    EXPECT_TRUE(hfsp_init(hfsx.volume()));
}

TEST(HfsPlusSearch, FindsDeletedRecordsInEveryPlaceAndReadsThemExactly)
{
    EngineGuard guard;
    HfsPlusImageBuilder b(BuildOptions { .total_blocks = 2048, .journal = true });
    uint32_t docs = b.add_folder(HfsPlusImageBuilder::kRootFolder, "Documents");
    uint32_t live = b.add_file(docs, "kept.txt", block_data(5000, 1));
    b.add_file(HfsPlusImageBuilder::kRootFolder, "also kept.bin", block_data(100, 2));
    b.add_deleted_file(docs, "in free space.doc", block_data(10000, 3), DeletedPlace::NodeFreeSpace);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "unlinked.jpg", block_data(4096, 4), DeletedPlace::UnlinkedNode);
    b.add_deleted_file(docs, "journal copy.pdf", block_data(9000, 5), DeletedPlace::Journal);
    b.add_stale_copy_of(live);
    MemoryVolume vol(b.build(), BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    HfspFileRecord* head = hfsp_searchfile();
    EXPECT_EQ(bg_progress.load(), 100);
    auto list = collect(head);
    ASSERT_EQ(list.size(), 3u) << names_of(list);

    std::map<std::string, const BuiltFile*> expected;
    for (const auto& f : b.files()) {
        if (f.deleted)
            expected[f.name] = &f;
    }
    std::map<std::string, uint8_t> place { { "in free space.doc", HFSP_FOUND_NODE_FREE_SPACE },
                                           { "unlinked.jpg", HFSP_FOUND_UNLINKED_NODE },
                                           { "journal copy.pdf", HFSP_FOUND_JOURNAL } };
    for (HfspFileRecord* r : list) {
        std::string name = hfsp_get_filename(r);
        ASSERT_TRUE(expected.count(name)) << name;
        const BuiltFile& f = *expected[name];
        EXPECT_EQ(hfsp_get_filesize(r), f.data.size());
        EXPECT_EQ(hfsp_get_startsec(r), uint64_t(f.extents[0].first) * 4096);
        EXPECT_EQ(r->file_id, f.id);
        EXPECT_EQ(r->parent_id, f.parent);
        EXPECT_EQ(r->found_in, place[name]) << name;
        EXPECT_EQ(read_whole(r), f.data) << name;
        EXPECT_EQ(hfsp_get_readerror(), 0);
    }
    // The list is doubly linked.
    EXPECT_EQ(hfsp_get_pre(list[0]), nullptr);
    EXPECT_EQ(hfsp_get_pre(list[1]), list[0]);
    EXPECT_EQ(hfsp_get_next(list[2]), nullptr);
}

TEST(HfsPlusSearch, FollowsFragmentedDataAndCatalogThroughOverflowExtents)
{
    EngineGuard guard;
    // A catalog in 10 pieces (two beyond the header's eight, in the live
    // overflow tree), small leaves so that the tree has index levels, and
    // deleted files in 3 and 11 extents (the last three only in an overflow
    // record that a node no longer linked still holds).
    HfsPlusImageBuilder b(BuildOptions { .block_size = 512, .total_blocks = 8192, .node_size = 512,
                                         .catalog_nodes = 80, .catalog_fragments = 10, .max_leaf_records = 3 });
    for (int i = 0; i < 40; ++i)
        b.add_file(HfsPlusImageBuilder::kRootFolder, "live " + std::to_string(i), block_data(700, 100 + i), 2);
    auto three = block_data(512 * 7 + 100, 7);
    auto eleven = block_data(512 * 20 + 3, 8);
    uint32_t id3 = b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "three pieces", three, DeletedPlace::UnlinkedNode, 3);
    uint32_t id11 = b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "eleven pieces", eleven, DeletedPlace::UnlinkedNode, 11);
    MemoryVolume vol(b.build(), BG_FS_HFSPLUS);
    ASSERT_GE(b.layout().catalog_index_nodes, 2u);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 2u) << names_of(list);
    for (HfspFileRecord* r : list) {
        const auto& data = r->file_id == id3 ? three : eleven;
        const BuiltFile* f = nullptr;
        for (const auto& bf : b.files())
            f = bf.id == r->file_id ? &bf : f;
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(r->extent_count, f->extents.size());
        for (uint32_t i = 0; i < r->extent_count; ++i) {
            EXPECT_EQ(r->extents[i].start_block, f->extents[i].first);
            EXPECT_EQ(r->extents[i].block_count, f->extents[i].second);
        }
        EXPECT_EQ(read_whole(r), data) << r->name;
    }
    (void)id11;
}

TEST(HfsPlusRead, ChunkProtocolAcrossExtents)
{
    EngineGuard guard;
    HfsPlusImageBuilder b(BuildOptions { .block_size = 1024, .total_blocks = 2048, .node_size = 1024 });
    auto one = block_data(1024, 9);
    auto two_and_half = block_data(2560, 10);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "one", one, DeletedPlace::UnlinkedNode);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "twohalf", two_and_half, DeletedPlace::UnlinkedNode, 3);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "empty", {}, DeletedPlace::UnlinkedNode);
    MemoryVolume vol(b.build(), BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 3u);
    std::map<std::string, HfspFileRecord*> by_name;
    for (auto* r : list)
        by_name[r->name] = r;
    std::vector<uint8_t> buf(1024);
    uint64_t len = 99, pos = 0;

    // Exactly one block: the first call delivers it with length 0 and ends.
    EXPECT_FALSE(hfsp_readfile(by_name["one"], &len, &pos, buf.data()));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(buf, one);
    EXPECT_EQ(pos, by_name["one"]->start);

    // 2.5 blocks in three extents: true, true, then the last half block.
    HfspFileRecord* r = by_name["twohalf"];
    ASSERT_EQ(r->extent_count, 3u);
    pos = 0;
    ASSERT_TRUE(hfsp_readfile(r, &len, &pos, buf.data()));
    EXPECT_EQ(len, 1024u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), two_and_half.begin()));
    // The position moves to the next extent, not to the next byte.
    EXPECT_EQ(pos, uint64_t(r->extents[1].start_block) * 1024);
    ASSERT_TRUE(hfsp_readfile(r, &len, &pos, buf.data()));
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), two_and_half.begin() + 1024));
    EXPECT_FALSE(hfsp_readfile(r, &len, &pos, buf.data()));
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, two_and_half.begin() + 2048));
    EXPECT_TRUE(std::all_of(buf.begin() + 512, buf.end(), [](uint8_t c) { return c == 0; }));

    // Switching records mid-file restarts cleanly; so does a null record.
    pos = 0;
    ASSERT_TRUE(hfsp_readfile(r, &len, &pos, buf.data()));
    pos = 0;
    EXPECT_FALSE(hfsp_readfile(by_name["one"], &len, &pos, buf.data()));
    EXPECT_EQ(buf, one);
    EXPECT_EQ(read_whole(r), two_and_half);
    EXPECT_TRUE(read_whole(by_name["empty"]).empty());
}

TEST(HfsPlusRead, UnreadableChunkIsReportedNotPassedOffAsData)
{
    EngineGuard guard;
    HfsPlusImageBuilder b(BuildOptions { .total_blocks = 512 });
    auto data = block_data(4096 * 3, 11);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "cut.bin", data, DeletedPlace::UnlinkedNode);
    auto img = b.build();
    uint64_t end_of_second_block = (uint64_t(b.files()[0].extents[0].first) + 2) * 4096;
    MemoryVolume vol(img, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 1u);
    // The device now ends inside the file's data.
    vol.bytes().resize(end_of_second_block - 100);
    std::vector<uint8_t> buf(4096);
    uint64_t len = 0, pos = 0;
    EXPECT_TRUE(hfsp_readfile(list[0], &len, &pos, buf.data()));
    EXPECT_EQ(hfsp_get_readerror(), 0);
    EXPECT_FALSE(hfsp_readfile(list[0], &len, &pos, buf.data()));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(hfsp_get_readerror(), 1);
    // The next file read starts afresh.
    pos = 0;
    EXPECT_TRUE(hfsp_readfile(list[0], &len, &pos, buf.data()));
    EXPECT_EQ(hfsp_get_readerror(), 0);
}

TEST(HfsPlusSearch, LongUnicodeNamesAreKeptWhole)
{
    EngineGuard guard;
    HfsPlusImageBuilder b;
    std::string long_name;
    for (int i = 0; i < 255; ++i)
        long_name += "\xE2\x82\xAC"; // U+20AC, three UTF-8 bytes per unit
    std::string other = long_name.substr(0, 3 * 254) + "x";
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, long_name, block_data(10, 12), DeletedPlace::UnlinkedNode);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, other, block_data(10, 13), DeletedPlace::UnlinkedNode);
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "a:b \xF0\x9F\x98\x80.txt", block_data(10, 14), DeletedPlace::UnlinkedNode);
    MemoryVolume vol(b.build(), BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 3u);
    std::set<std::string> names;
    for (auto* r : list)
        names.insert(r->name);
    EXPECT_TRUE(names.count(long_name));
    EXPECT_TRUE(names.count(other));
    EXPECT_TRUE(names.count("a:b \xF0\x9F\x98\x80.txt"));
}

TEST(HfsPlusSearch, ReinitReplacesThePreviousVolume)
{
    EngineGuard guard;
    HfsPlusImageBuilder a;
    a.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "from a", block_data(10, 15), DeletedPlace::UnlinkedNode);
    HfsPlusImageBuilder b(BuildOptions { .block_size = 2048 });
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "from b", block_data(10, 16), DeletedPlace::NodeFreeSpace);
    MemoryVolume va(a.build(), BG_FS_HFSPLUS), vb(b.build(), BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(va.volume()));
    ASSERT_EQ(collect(hfsp_searchfile()).size(), 1u);
    ASSERT_TRUE(hfsp_init(vb.volume()));
    EXPECT_EQ(hfsp_get_blocksize(), 2048u);
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0]->name, "from b");
    hfsp_exit();
    EXPECT_EQ(hfsp_get_blocksize(), 0u);
}

#include "CatalogScan.h"

TEST(HfsPlusCarve, FileRecordChecksEveryField)
{
    using namespace fsprobe;
    using namespace fsprobe::hfsplus;
    // Key (parent 20, name "ab") followed by a file record of id 30, 5000
    // bytes in two extents of a 4096-byte-block volume of 1000 blocks.
    auto make = [] {
        std::vector<uint8_t> r(2 + 10 + 248, 0);
        store_be16(r.data(), 10);
        store_be32(r.data() + 2, 20);
        store_be16(r.data() + 6, 2);
        store_be16(r.data() + 8, 'a');
        store_be16(r.data() + 10, '/');
        uint8_t* rec = r.data() + 12;
        store_be16(rec, 2);
        store_be32(rec + 8, 30);
        uint8_t* fork = rec + 88;
        store_be64(fork, 5000);
        store_be32(fork + 12, 2);
        store_be32(fork + 16, 100);
        store_be32(fork + 20, 1);
        store_be32(fork + 24, 300);
        store_be32(fork + 28, 1);
        return r;
    };
    CarveLimits limits { 4096, 1000, 100 };
    auto good = make();
    auto c = file_record_at(ByteView(good.data(), good.size()), 0, limits);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->file_id, 30u);
    EXPECT_EQ(c->parent_id, 20u);
    EXPECT_EQ(c->name, "a:"); // a stored '/' is the ':' the user typed
    EXPECT_EQ(c->logical_size, 5000u);
    ASSERT_EQ(c->extents.size(), 2u);
    EXPECT_EQ(c->extents[1].start_block, 300u);

    struct Case {
        const char* what;
        size_t offset;
        int width;
        uint64_t value;
    };
    const size_t rec = 12, fork = rec + 88;
    const Case cases[] = {
        { "odd key length", 0, 2, 11 },
        { "key length shorter than its name", 0, 2, 8 },
        { "key length past the longest name", 0, 2, 518 },
        { "empty name", 6, 2, 0 },
        { "parent below the root folder", 2, 4, 1 },
        { "not a file record", rec, 2, 1 },
        { "reserved file id", rec + 8, 4, 15 },
        { "file id not yet handed out", rec + 8, 4, 100 },
        { "name with a zero unit", 8, 2, 0 },
        { "size beyond the fork's blocks", fork, 8, 3 * 4096 },
        { "fork larger than the volume", fork + 12, 4, 1001 },
        { "extent past the last block", fork + 24, 4, 1000 },
        { "extent after an empty one", fork + 20, 4, 0 },
        { "data without extents", fork + 16, 8, 0 },
    };
    for (const auto& k : cases) {
        auto bad = make();
        if (k.width == 2)
            store_be16(bad.data() + k.offset, uint16_t(k.value));
        else if (k.width == 4)
            store_be32(bad.data() + k.offset, uint32_t(k.value));
        else
            store_be64(bad.data() + k.offset, k.value);
        if (std::string(k.what) == "data without extents")
            store_be64(bad.data() + fork + 24, 0);
        EXPECT_FALSE(file_record_at(ByteView(bad.data(), bad.size()), 0, limits).has_value()) << k.what;
    }
    // The record must lie wholly inside the buffer.
    EXPECT_FALSE(file_record_at(ByteView(good.data(), good.size() - 1), 0, limits).has_value());
    // Carving finds it at any even offset, and only once.
    std::vector<uint8_t> area(1000, 0xEE);
    std::copy(good.begin(), good.end(), area.begin() + 338);
    std::vector<Candidate> out;
    carve_file_records(ByteView(area.data(), area.size()), 0, area.size(), limits, 2, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].found_in, 2);
}

TEST(HfsPlusSearch, NextCatalogIdBoundsRecordsUnlessIdsWrapped)
{
    EngineGuard guard;
    HfsPlusImageBuilder b;
    for (int i = 0; i < 5; ++i)
        b.add_file(HfsPlusImageBuilder::kRootFolder, "live" + std::to_string(i), {});
    b.add_deleted_file(HfsPlusImageBuilder::kRootFolder, "old", block_data(100, 20), DeletedPlace::UnlinkedNode);
    auto img = b.build();
    // A next id at or below the record's id: the record cannot be a file of this volume...
    fsprobe::store_be32(img.data() + 1024 + 64, 18);
    {
        MemoryVolume vol(img, BG_FS_HFSPLUS);
        ASSERT_TRUE(hfsp_init(vol.volume()));
        EXPECT_TRUE(collect(hfsp_searchfile()).empty());
    }
    // ...unless the volume has wrapped its ids and reuses them.
    fsprobe::store_be32(img.data() + 1024 + 4, fsprobe::load_be32(img.data() + 1024 + 4) | (1u << 12));
    MemoryVolume vol(img, BG_FS_HFSPLUS);
    ASSERT_TRUE(hfsp_init(vol.volume()));
    auto list = collect(hfsp_searchfile());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0]->name, "old");
}
