// NTFS engine from byte arrays: run decoding, fix-up, attribute lookup, reads
// across sparse runs, attribute lists, the deleted-file scan on a synthetic
// volume, and damaged records.

#include "Volume.h"
#include "ntfs_builder.h"

#include <fsprobe/ntfs.h>
#include <gtest/gtest.h>
#include <memory_volume.h>

#include <string>

using namespace ntfs_test;
namespace nt = fsprobe::ntfs;

namespace {

struct EngineReset {
    EngineReset() { NTFS_Free_Glod_Exit(); }
    ~EngineReset() { NTFS_Free_Glod_Exit(); }
};

std::u16string name_of(const uint8_t* bytes, size_t units)
{
    std::u16string s;
    for (size_t i = 0; i < units; ++i)
        s += char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return s;
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7 + (i >> 9));
    return b;
}

// Streams a file with Ntfs_Get_Data in chunks; returns the statuses seen.
Bytes stream(uint32_t record, uint64_t size, uint32_t chunk, std::vector<uint32_t>* statuses = nullptr)
{
    Bytes out;
    Bytes buf(chunk);
    uint64_t left = size;
    while (left) {
        uint32_t n = uint32_t(std::min<uint64_t>(chunk, left));
        uint32_t st = Ntfs_Get_Data(record, 0, buf.data(), n);
        if (statuses)
            statuses->push_back(st);
        if (st != 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        left -= n;
    }
    Ntfs_RWfile_Set(1);
    return out;
}

} // namespace

TEST(NtfsRuns, DecodesTheUsualEntries)
{
    int64_t off;
    uint64_t len;
    const uint8_t a[] = { 0x21, 0x10, 0x00, 0x01 };
    EXPECT_EQ(Ntfs_Decode_Run(a, &off, &len), a + 4);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(off, 256);
    const uint8_t b[] = { 0x11, 0x05, 0xF0 };
    EXPECT_EQ(Ntfs_Decode_Run(b, &off, &len), b + 3);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(off, -16);
    const uint8_t c[] = { 0x01, 0x08 };
    EXPECT_EQ(Ntfs_Decode_Run(c, &off, &len), c + 2);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(off, -1);
    // A four-byte offset whose top byte has bit 7 set is negative.
    const uint8_t d[] = { 0x41, 0x01, 0x00, 0x00, 0x00, 0x80 };
    Ntfs_Decode_Run(d, &off, &len);
    EXPECT_EQ(off, int64_t(int32_t(0x80000000)));
    const uint8_t e[] = { 0x41, 0x01, 0xFF, 0xFF, 0xFF, 0x7F };
    Ntfs_Decode_Run(e, &off, &len);
    EXPECT_EQ(off, 0x7FFFFFFF);
}

TEST(NtfsRuns, WideFieldsDecodeInFullAndOversizedFieldsAreRefused)
{
    int64_t off;
    uint64_t len;
    // Six-byte length and five-byte offset: beyond 2^31 clusters.
    const uint8_t a[] = { 0x56, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02 };
    EXPECT_EQ(Ntfs_Decode_Run(a, &off, &len), a + 12);
    EXPECT_EQ(len, 1ull << 32);
    EXPECT_EQ(off, int64_t(2) << 32);
    const uint8_t bad[] = { 0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1 };
    EXPECT_EQ(Ntfs_Decode_Run(bad, &off, &len), nullptr);
    EXPECT_EQ(len, 0u);
    // The bounded decoder never reads past the run list.
    const uint8_t cut[] = { 0x33, 0x01, 0x00 };
    EXPECT_EQ(nt::decode_run(cut, cut + sizeof cut, &off, &len), nullptr);
}

TEST(NtfsFixup, RestoresSectorTailsAndRejectsMismatches)
{
    Bytes value = pattern(900, 3);
    Bytes rec = mft_record(40, 1, { resident_attr(0x80, value) });
    ASSERT_EQ(rec[510] | (rec[511] << 8), 0x0A0B);
    Bytes good = rec;
    ASSERT_TRUE(nt::apply_fixup(good.data(), good.size(), 512));
    EXPECT_NE(good[510] | (good[511] << 8), 0x0A0B);
    NtfsAttributeContext* ctx = Ntfs_Find_Attribute(good.data(), 0x80, u"");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(Bytes(ctx->value(), ctx->value() + 900), value);
    Ntfs_Release_Attribute_Context(ctx);

    Bytes torn = rec;
    torn[1022] ^= 0xFF; // the second sector was not written with the first
    EXPECT_FALSE(nt::apply_fixup(torn.data(), torn.size(), 512));

    Bytes outside = rec;
    put16(outside, 0x04, 1020); // the array would run past the record
    EXPECT_FALSE(nt::apply_fixup(outside.data(), outside.size(), 512));
    Bytes too_many = rec;
    put16(too_many, 0x06, 9); // more strides than the record holds
    EXPECT_FALSE(nt::apply_fixup(too_many.data(), too_many.size(), 512));
}

TEST(NtfsFixup, FourKibSectorsCheckEveryFourKib)
{
    Bytes value = pattern(3000, 9);
    Bytes rec = mft_record(41, 1, { resident_attr(0x80, value) }, 4096, 4096);
    // Only the last word of the 4096-byte stride carries the sequence number.
    EXPECT_EQ(rec[4094] | (rec[4095] << 8), 0x0A0B);
    Bytes fixed = rec;
    ASSERT_TRUE(nt::apply_fixup(fixed.data(), fixed.size(), 4096));
    EXPECT_EQ(rec[510], fixed[510]);
    // The same record checked with 512-byte strides fails.
    Bytes wrong = rec;
    EXPECT_FALSE(nt::apply_fixup(wrong.data(), wrong.size(), 512));
}

TEST(NtfsAttributes, WinNameIsPreferredOverDosOnlyName)
{
    auto dos = resident_attr(0x30, file_name_value(5, u"LONGNA~1.TXT", 2));
    auto win = resident_attr(0x30, file_name_value(5, u"long name.txt", 1));
    for (const auto& attrs : { std::vector<Bytes> { dos, win }, std::vector<Bytes> { win, dos } }) {
        Bytes rec = mft_record(50, 1, attrs);
        ASSERT_TRUE(nt::apply_fixup(rec.data(), rec.size(), 512));
        NtfsAttributeContext* ctx = Ntfs_Find_Attribute(rec.data(), 0x30, u"");
        nt::FileName fn;
        ASSERT_TRUE(nt::read_file_name(ctx, &fn));
        EXPECT_EQ(name_of(fn.name, fn.name_length), u"long name.txt");
        Ntfs_Release_Attribute_Context(ctx);
    }
    Bytes only_dos = mft_record(51, 1, { dos });
    ASSERT_TRUE(nt::apply_fixup(only_dos.data(), only_dos.size(), 512));
    NtfsAttributeContext* ctx = Ntfs_Find_Attribute(only_dos.data(), 0x30, u"");
    nt::FileName fn;
    ASSERT_TRUE(nt::read_file_name(ctx, &fn));
    EXPECT_EQ(name_of(fn.name, fn.name_length), u"LONGNA~1.TXT");
    Ntfs_Release_Attribute_Context(ctx);
}

TEST(NtfsAttributes, NamesMustMatchAndDamagedAttributesAreRefused)
{
    Bytes rec = mft_record(52, 1, { resident_attr(0x80, pattern(10, 1), u"Zone.Identifier"),
                                   resident_attr(0x90, pattern(40, 2), u"$I30") });
    ASSERT_TRUE(nt::apply_fixup(rec.data(), rec.size(), 512));
    EXPECT_EQ(Ntfs_Find_Attribute(rec.data(), 0x80, u""), nullptr);
    NtfsAttributeContext* i30 = Ntfs_Find_Attribute(rec.data(), 0x90, u"$I30");
    ASSERT_NE(i30, nullptr);
    Ntfs_Release_Attribute_Context(i30);

    // An attribute claiming to run past the record is not followed.
    Bytes longer = rec;
    size_t first = longer[0x14];
    put32(longer, first + 4, 0x10000);
    EXPECT_EQ(Ntfs_Find_Attribute(longer.data(), 0x90, u"$I30"), nullptr);
    // A resident value pointing outside its attribute yields nothing.
    Bytes value_out = rec;
    put32(value_out, first + 0x10, 5000);
    EXPECT_EQ(Ntfs_Find_Attribute(value_out.data(), 0x80, u"Zone.Identifier"), nullptr);
    // A zero attribute length ends the walk.
    Bytes zero = rec;
    put32(zero, first + 4, 0);
    EXPECT_EQ(Ntfs_Find_Attribute(zero.data(), 0x90, u"$I30"), nullptr);
    EXPECT_EQ(Ntfs_Get_MFTID(rec.data()), 52u);
    rec[0] = 'B';
    EXPECT_EQ(Ntfs_Get_MFTID(rec.data()), 0xFFFFFFFFu);
    EXPECT_EQ(Ntfs_Get_MFTID(nullptr), 0xFFFFFFFFu);
}

namespace {

constexpr uint32_t kCluster = 1024;

// A 1 MiB synthetic volume with 64 records at cluster 16.
VolumeImage base_volume() { return VolumeImage(1 << 20, kCluster, 16, 64); }

Bytes file_record(uint32_t number, uint16_t flags, const std::u16string& name, const Bytes& data_attr,
                  uint64_t parent = 5, uint8_t ns = 1)
{
    return mft_record(number, flags, { resident_attr(0x30, file_name_value(parent, name, ns)), data_attr });
}

} // namespace

TEST(NtfsVolume, RecordZeroRunListAcrossASectorEndNeedsTheFixup)
{
    EngineReset reset;
    // Record 0 padded so that its $DATA run list covers bytes 504-511: the
    // protected word holds the last length byte and the LCN byte.
    VolumeImage img(1 << 20, kCluster, 16, 64);
    Bytes runs = { 0x16, 0x40, 0, 0, 0, 0, 0, 0x10 }; // 64 clusters at LCN 16
    Bytes pad = resident_attr(0x10, Bytes(0x100, 0));
    Bytes rec0 = mft_record(0, 1, { pad, resident_attr(0x30, file_name_value(5, u"$MFT", 3)),
                                    nonresident_attr(0x80, runs, 0, 63, 64 * kCluster, 64 * 1024) });
    Bytes fixed = rec0;
    ASSERT_TRUE(nt::apply_fixup(fixed.data(), 1024, 512));
    ASSERT_EQ(Bytes(fixed.begin() + 504, fixed.begin() + 512), runs);
    ASSERT_NE(Bytes(rec0.begin() + 504, rec0.begin() + 512), runs);
    img.put_record(0, rec0);
    Bytes data = pattern(3000, 4);
    img.put(200 * kCluster, data);
    img.put_record(30, file_record(30, 1, u"a.bin", nonresident_attr(0x80, { 0x21, 3, 200, 0 }, 0, 2, 3 * kCluster, 3000)));
    salvor_test::MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    EXPECT_EQ(stream(30, 3000, 4096), data);
}

TEST(NtfsVolume, RefusesOtherFileSystemsAndBadGeometry)
{
    EngineReset reset;
    VolumeImage img = base_volume();
    salvor_test::MemoryVolume fat(img.bytes(), BG_FS_FAT32);
    EXPECT_FALSE(Initi_Ntfs_InFo(fat.volume()));
    EXPECT_EQ(Ntfs_Get_Del_File(), nullptr);
    img.bytes()[0x0D] = 3; // sectors per cluster must be a power of two
    salvor_test::MemoryVolume bad(img.bytes(), BG_FS_NTFS);
    EXPECT_FALSE(Initi_Ntfs_InFo(bad.volume()));
    uint8_t buf[16];
    EXPECT_EQ(Ntfs_Get_Data(30, 0, buf, 16), 1u);
}

TEST(NtfsData, ResidentNonResidentAndSparseReads)
{
    EngineReset reset;
    VolumeImage img = base_volume();
    Bytes small = pattern(300, 1);
    img.put_record(24, file_record(24, 1, u"small.txt", resident_attr(0x80, small)));
    Bytes big = pattern(10000, 2);
    img.put(100 * kCluster, big);
    img.put_record(25, file_record(25, 1, u"big.bin", nonresident_attr(0x80, { 0x11, 10, 100, 0 }, 0, 9, 10 * kCluster, 10000)));
    // 2 clusters at LCN 300, 3 sparse clusters, 1 cluster at LCN 310.
    Bytes head = pattern(2 * kCluster, 5), tail = pattern(500, 6);
    img.put(300 * kCluster, head);
    img.put(310 * kCluster, tail);
    Bytes runs = { 0x21, 2, 0x2C, 0x01, 0x01, 3, 0x11, 1, 10 };
    img.put_record(26, file_record(26, 1, u"sparse.bin", nonresident_attr(0x80, runs, 0, 5, 6 * kCluster, 5 * kCluster + 500)));
    salvor_test::MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));

    // A resident file of 300 bytes with a 4096-byte chunk: data, then the end.
    uint8_t buf[4096];
    EXPECT_EQ(Ntfs_Get_Data(24, 0, buf, 4096), 0u);
    EXPECT_EQ(Bytes(buf, buf + 300), small);
    EXPECT_EQ(Ntfs_Get_Data(24, 0, buf, 4096), 0xFFFFFFFFu);
    Ntfs_RWfile_Set(1);

    std::vector<uint32_t> st;
    EXPECT_EQ(stream(25, 10000, 4096, &st), big);
    EXPECT_EQ(st, (std::vector<uint32_t> { 0, 0, 0 }));
    // Asking again after the end, without forgetting the key.
    Ntfs_Get_Data(25, 0, buf, 4096);
    Ntfs_Get_Data(25, 0, buf, 4096);
    Ntfs_Get_Data(25, 0, buf, 1808);
    EXPECT_EQ(Ntfs_Get_Data(25, 0, buf, 4096), 0xFFFFFFFFu);
    // The same key continues; only forgetting it starts again at byte 0.
    EXPECT_EQ(Ntfs_Get_Data(25, 0, buf, 4096), 0xFFFFFFFFu);
    Ntfs_RWfile_Set(1);
    EXPECT_EQ(Ntfs_Get_Data(25, 0, buf, 100), 0u);
    EXPECT_EQ(Bytes(buf, buf + 100), Bytes(big.begin(), big.begin() + 100));
    Ntfs_RWfile_Set(1);

    Bytes expect = head;
    expect.resize(5 * kCluster, 0);
    expect.insert(expect.end(), tail.begin(), tail.end());
    for (uint32_t chunk : { 512u, 1000u, 4096u })
        EXPECT_EQ(stream(26, expect.size(), chunk), expect) << chunk;
    EXPECT_EQ(Ntfs_Get_FlieSize(26, 0, nullptr), expect.size());
    NtfsFileInfo listed {};
    listed.record_number = 26;
    listed.size = 77;
    EXPECT_EQ(Ntfs_Get_FlieSize(26, 0, &listed), 77u);
}

// Every reset type rewinds the current file; only type 1 makes the same
// record a new file, and type 2 leaves a deleted file's key alone.
TEST(NtfsData, ResetTypesRewindTheCurrentFile)
{
    EngineReset reset;
    VolumeImage img = base_volume();
    Bytes big = pattern(3 * kCluster, 4);
    img.put(100 * kCluster, big);
    img.put_record(25, file_record(25, 1, u"big.bin", nonresident_attr(0x80, { 0x11, 3, 100, 0 }, 0, 2, 3 * kCluster, 3 * kCluster)));
    img.put_record(24, file_record(24, 1, u"small.txt", resident_attr(0x80, pattern(10, 9))));
    salvor_test::MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    uint8_t buf[kCluster];
    const Bytes first(big.begin(), big.begin() + kCluster), second(big.begin() + kCluster, big.begin() + 2 * kCluster);
    for (int32_t type : { 0, 2 }) {
        ASSERT_EQ(Ntfs_Get_Data(25, 0, buf, kCluster), 0u);
        ASSERT_EQ(Ntfs_Get_Data(25, 0, buf, kCluster), 0u);
        EXPECT_EQ(Bytes(buf, buf + kCluster), second);
        EXPECT_EQ(Ntfs_RWfile_Set(type), 0);
        ASSERT_EQ(Ntfs_Get_Data(25, 0, buf, kCluster), 0u) << type;
        EXPECT_EQ(Bytes(buf, buf + kCluster), first) << type;
        Ntfs_RWfile_Set(1);
    }
    // Another record replaces the current file; coming back starts at byte 0.
    ASSERT_EQ(Ntfs_Get_Data(25, 0, buf, kCluster), 0u);
    ASSERT_EQ(Ntfs_Get_Data(24, 0, buf, kCluster), 0u);
    ASSERT_EQ(Ntfs_Get_Data(25, 0, buf, kCluster), 0u);
    EXPECT_EQ(Bytes(buf, buf + kCluster), first);
}

// Volumes are objects: two open at once keep their own geometry and MFT, and
// a context outlives the volume it came from.
TEST(NtfsVolume, TwoVolumesOpenAtOnceReadEachTheirOwnRecords)
{
    VolumeImage small_clusters(1 << 20, 1024, 16, 64);
    VolumeImage large_clusters(1 << 20, 4096, 8, 64);
    Bytes a = pattern(3000, 21), b = pattern(3000, 22);
    small_clusters.put(200 * 1024, a);
    large_clusters.put(50 * 4096, b);
    small_clusters.put_record(30, file_record(30, 1, u"a.bin", nonresident_attr(0x80, { 0x21, 3, 200, 0, 0 }, 0, 2, 3 * 1024, 3000)));
    large_clusters.put_record(30, file_record(30, 1, u"b.bin", nonresident_attr(0x80, { 0x11, 1, 50, 0 }, 0, 0, 4096, 3000)));
    salvor_test::MemoryVolume dev_a(small_clusters.bytes(), BG_FS_NTFS), dev_b(large_clusters.bytes(), BG_FS_NTFS);
    nt::Volume va, vb;
    ASSERT_TRUE(va.open(dev_a.volume()));
    ASSERT_TRUE(vb.open(dev_b.volume()));
    EXPECT_EQ(va.cluster_size(), 1024u);
    EXPECT_EQ(vb.cluster_size(), 4096u);

    Bytes rec(1024);
    nt::ContextPtr data_a, data_b;
    ASSERT_TRUE(va.read_mft_record(30, rec.data(), rec.size()));
    data_a = va.find_attribute(rec.data(), 30, 0x80, u"");
    ASSERT_TRUE(vb.read_mft_record(30, rec.data(), rec.size()));
    data_b = vb.find_attribute(rec.data(), 30, 0x80, u"");
    ASSERT_TRUE(data_a && data_b);
    Bytes got(3000);
    // Interleaved reads: each through its own volume's clusters.
    EXPECT_EQ(va.read_attribute(*data_a, 1000, got.data(), 1000), 1000u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 1000), Bytes(a.begin() + 1000, a.begin() + 2000));
    EXPECT_EQ(vb.read_attribute(*data_b, 0, got.data(), 3000), 3000u);
    EXPECT_EQ(got, b);
    EXPECT_EQ(va.read_attribute(*data_a, 2000, got.data(), 1000), 1000u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 1000), Bytes(a.begin() + 2000, a.end()));

    // A record of `vb` asked of a closed `va` is not read; the context taken
    // from `vb` still holds its runs after `vb` closes.
    va.close();
    EXPECT_FALSE(va.is_open());
    EXPECT_FALSE(va.read_mft_record(30, rec.data(), rec.size()));
    vb.close();
    ASSERT_EQ(data_b->runs.size(), 1u);
    EXPECT_EQ(data_b->runs[0].lcn, 50);
    EXPECT_EQ(nt::read_attribute(*data_b, 0, got.data(), 3000, { dev_b.volume(), 4096, 0 }), 3000u);
    EXPECT_EQ(got, b);
}

TEST(NtfsData, AttributeListJoinsDataPiecesFromExtensionRecords)
{
    EngineReset reset;
    VolumeImage img = base_volume();
    Bytes p1 = pattern(2 * kCluster, 11), p2 = pattern(2 * kCluster, 12);
    img.put(400 * kCluster, p1);
    img.put(500 * kCluster, p2);
    uint64_t size = 4 * kCluster - 100;
    // The attribute list: $FILE_NAME in the base record, $DATA in two pieces.
    auto entry = [](uint32_t type, uint64_t vcn, uint32_t record, uint16_t id) {
        Bytes e(0x20, 0);
        put32(e, 0, type);
        put16(e, 4, 0x20);
        e[7] = 0x1A;
        put64(e, 8, vcn);
        put64(e, 0x10, record | (1ull << 48));
        put16(e, 0x18, id);
        return e;
    };
    Bytes list;
    for (const auto& e : { entry(0x30, 0, 40, 1), entry(0x80, 0, 41, 0), entry(0x80, 2, 42, 0) })
        list.insert(list.end(), e.begin(), e.end());
    img.put_record(40, mft_record(40, 1, { resident_attr(0x20, list), resident_attr(0x30, file_name_value(5, u"split.bin", 1), u"", 1) }));
    img.put_record(41, mft_record(41, 1, { nonresident_attr(0x80, { 0x21, 2, 0x90, 0x01 }, 0, 1, 4 * kCluster, size) }, 1024, 512, 40));
    img.put_record(42, mft_record(42, 1, { nonresident_attr(0x80, { 0x21, 2, 0xF4, 0x01 }, 2, 3, 0, 0) }, 1024, 512, 40));
    salvor_test::MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    Bytes expect = p1;
    expect.insert(expect.end(), p2.begin(), p2.end());
    expect.resize(size);
    EXPECT_EQ(Ntfs_Get_FlieSize(40, 0, nullptr), size);
    EXPECT_EQ(stream(40, size, 1536), expect);

    // An extension record that belongs to another file is not used.
    img.put_record(42, mft_record(42, 1, { nonresident_attr(0x80, { 0x21, 2, 0xF4, 0x01 }, 2, 3, 0, 0) }, 1024, 512, 39));
    salvor_test::MemoryVolume stale(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(stale.volume()));
    uint8_t buf[4096];
    ASSERT_EQ(Ntfs_Get_Data(40, 0, buf, 2 * kCluster), 0u);
    EXPECT_EQ(Ntfs_Get_Data(40, 0, buf, 1024), 2u);
}

TEST(NtfsDeleted, ReportsDeletedFilesOnlyWithTheirNamesAndNumbers)
{
    EngineReset reset;
    VolumeImage img = base_volume();
    Bytes data = resident_attr(0x80, pattern(123, 1));
    img.put_record(30, file_record(30, 0, u"gone.txt", data, 40));
    img.put_record(31, file_record(31, 1, u"live.txt", data));
    img.put_record(32, file_record(32, 2, u"olddir", data));        // deleted directory
    img.put_record(33, file_record(33, 0, u"ONLYDOS.TXT", data, 5, 2));
    std::u16string long_name(200, u'x');
    img.put_record(34, file_record(34, 0, long_name, data));
    img.put_record(35, mft_record(35, 0, { resident_attr(0x30, file_name_value(5, u"nodata", 1)) }));
    Bytes torn = file_record(36, 0, u"torn.txt", data);
    torn[1022] ^= 1;
    img.put_record(36, torn);
    // A free extension record holding a name and data is no file of its own.
    img.put_record(37, mft_record(37, 0, { resident_attr(0x30, file_name_value(5, u"ext.txt", 1)), data }, 1024, 512, 30));
    img.put_record(40, file_record(40, 3, u"parent", resident_attr(0x80, {})));
    salvor_test::MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    NtfsFileInfo* head = Ntfs_Get_Del_File();
    EXPECT_EQ(bg_progress.load(), 100);
    std::vector<std::pair<uint64_t, std::u16string>> found;
    for (NtfsFileInfo* f = head; f; f = f->next) {
        found.push_back({ uint64_t(f->record_number), name_of(f->name, std::min<int>(f->name_length, 128)) });
        EXPECT_EQ(f->state, 0);
        EXPECT_EQ(uint64_t(f->size), 123u);
        if (f->record_number == 34) {
            EXPECT_EQ(f->name_length, 200);
        }
    }
    std::vector<std::pair<uint64_t, std::u16string>> want = {
        { 30, u"gone.txt" }, { 33, u"ONLYDOS.TXT" }, { 34, std::u16string(128, u'x') }
    };
    EXPECT_EQ(found, want);

    NtfsNameParent np {};
    ASSERT_EQ(Ntfs_Get_NameParentID(30, 0, &np), 1);
    EXPECT_EQ(uint32_t(np.reference_low), 40u);
    EXPECT_EQ(np.flags, 3);
    EXPECT_EQ(name_of(np.name, np.name_length), u"parent");
    EXPECT_EQ(Ntfs_Get_NameParentID(36, 0, &np), 0); // torn record
    EXPECT_EQ(Ntfs_Get_NameParentID(9999, 0, &np), 0);
    NTFS_Free_File_Info(head);
}

TEST(NtfsDeleted, EmptyScanEndsAtOneHundred)
{
    EngineReset reset;
    VolumeImage img = base_volume();
    salvor_test::MemoryVolume vol(img.bytes(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    bg_progress = 42;
    EXPECT_EQ(Ntfs_Get_Del_File(), nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
}
