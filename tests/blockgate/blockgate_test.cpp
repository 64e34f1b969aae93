// The device layer on image files: enumeration, file-system detection,
// reader bounds, read-ahead, sector tests and the extended boot record list.
#include <blockgate/blockgate.h>

#include <disk_builder.h>
#include <fsprobe/common/bytes.h>
#include <gtest/gtest.h>
#include <test_support.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace salvor_test;

namespace {

struct VolumeView {
    uint64_t start;
    uint64_t size;
    int32_t fs;
};

// Scans only the given images and returns, per image path, its disk object
// and volumes.
class Devices {
public:
    explicit Devices(const std::vector<fs::path>& images)
    {
        bg_release_devices();
        bg_clear_images();
        bg_set_real_disks(0);
        for (auto& p : images)
            EXPECT_EQ(bg_add_image(p.c_str()), 0) << p;
        bg_scan_disks();
        bg_scan_volumes();
    }
    ~Devices()
    {
        bg_release_devices();
        bg_clear_images();
        bg_set_real_disks(1);
    }

    BgReader* disk(const fs::path& p)
    {
        for (auto* n = bg_disk_list; n; n = n->next)
            if (p == n->disk->name)
                return n->disk;
        return nullptr;
    }

    std::vector<BgVolume*> volumes(const fs::path& p)
    {
        std::vector<BgVolume*> out;
        BgReader* d = disk(p);
        if (!d)
            return out;
        for (auto* n = bg_volume_list; n; n = n->next)
            if (n->volume->disk_number == d->disk_number)
                out.push_back(n->volume);
        return out;
    }

    std::vector<VolumeView> view(const fs::path& p)
    {
        std::vector<VolumeView> out;
        for (auto* v : volumes(p))
            out.push_back({ v->start, v->size, v->fs_code });
        return out;
    }
};

bool operator==(const VolumeView& a, const VolumeView& b)
{
    return a.start == b.start && a.size == b.size && a.fs == b.fs;
}

std::ostream& operator<<(std::ostream& o, const VolumeView& v)
{
    return o << "{start " << v.start << ", size " << v.size << ", fs " << v.fs << "}";
}

class RealImages : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir();
        s_ok = require_tool("mkntfs", "ntfs-3g") && require_tool("mkfs.vfat", "dosfstools")
            && require_tool("mkfs.exfat", "exfatprogs") && require_tool("mke2fs", "e2fsprogs")
            && require_tool("sfdisk", "fdisk") && run_fixture("blockgate-images.sh", { s_dir->path().string() });
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_ok) << "the fixture images could not be built"; }
    static fs::path image(const std::string& name) { return s_dir->path() / name; }

    static inline TempDir* s_dir = nullptr;
    static inline bool s_ok = false;
};

constexpr uint64_t MiB = 1024 * 1024;

TEST_F(RealImages, BareFileSystemsBecomeOneVolumeWithTheirCode)
{
    std::map<std::string, int32_t> expected = {
        { "bare-fat12.img", BG_FS_FAT12 }, { "bare-fat16.img", BG_FS_FAT16 }, { "bare-fat32.img", BG_FS_FAT32 },
        { "bare-ntfs.img", BG_FS_NTFS },   { "bare-exfat.img", BG_FS_EXFAT }, { "bare-ext2.img", BG_FS_EXT2 },
        { "bare-ext3.img", BG_FS_EXT3 },   { "bare-ext4.img", BG_FS_EXT4 },
    };
    std::vector<fs::path> paths;
    for (auto& [name, code] : expected)
        paths.push_back(image(name));
    Devices devs(paths);
    for (auto& [name, code] : expected) {
        SCOPED_TRACE(name);
        auto vols = devs.view(image(name));
        ASSERT_EQ(vols.size(), 1u);
        EXPECT_EQ(vols[0], (VolumeView { 0, fs::file_size(image(name)), code }));
        BgVolume* v = devs.volumes(image(name))[0];
        EXPECT_EQ(v->drive_letter, '?');
        EXPECT_NE(bg_volume_cluster_size(v), 0u);
        // The boot-sector copy is the volume's first sector.
        auto bytes = read_file(image(name));
        EXPECT_EQ(std::memcmp(v->boot_sector, bytes.data(), 512), 0);
    }
}

TEST_F(RealImages, MbrWithLogicalDrivesListsEveryVolumeInOrder)
{
    fs::path img = image("mbr-logical.img");
    Devices devs({ img });
    BgReader* d = devs.disk(img);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->bytes_per_sector, 512u);
    EXPECT_EQ(bg_object_size(d), 160 * MiB);
    EXPECT_GE(d->cylinders * d->tracks_per_cylinder * d->sectors_per_track, 160 * MiB / 512);
    EXPECT_LT((d->cylinders - 1) * 255 * 63, 160 * MiB / 512);
    std::vector<VolumeView> expected = {
        { 2048ull * 512, 16 * MiB, BG_FS_NTFS },
        { 36864ull * 512, 40 * MiB, BG_FS_FAT32 },
        { 120832ull * 512, 40 * MiB, BG_FS_FAT32 },
        { 204800ull * 512, 16 * MiB, BG_FS_FAT16 },
    };
    EXPECT_EQ(devs.view(img), expected);
    auto vols = devs.volumes(img);
    for (uint32_t i = 0; i < vols.size(); ++i)
        EXPECT_EQ(vols[i]->index, i);
    EXPECT_EQ(bg_volume_cluster_size(vols[0]), 4096u);
    EXPECT_EQ(bg_volume_cluster_size(vols[1]), 512u);
}

TEST_F(RealImages, ExtendedListFollowsTheChainOfTheDiskLastReadAtSectorZero)
{
    fs::path mbr = image("mbr-logical.img");
    fs::path gpt = image("gpt.img");
    Devices devs({ mbr, gpt });
    uint8_t sector[512];

    BgReader* d = devs.disk(mbr);
    ASSERT_EQ(d->read(d, sector, 512, 0), 512u);
    uint64_t* list = bg_extended_list();
    ASSERT_NE(list, nullptr);
    std::vector<uint64_t> got;
    for (size_t i = 0; list[i] && i < 25; ++i)
        got.push_back(list[i]);
    EXPECT_EQ(got, (std::vector<uint64_t> { 34816ull * 512, 118784ull * 512, 202752ull * 512 }));
    EXPECT_EQ(list[3], 0u);

    // A disk without an extended partition: just the ending 0.
    BgReader* g = devs.disk(gpt);
    ASSERT_EQ(g->read(g, sector, 512, 0), 512u);
    list = bg_extended_list();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], 0u);
}

TEST_F(RealImages, GptDiskListsItsPartitions)
{
    fs::path img = image("gpt.img");
    Devices devs({ img });
    std::vector<VolumeView> expected = {
        { 2048ull * 512, 8 * MiB, BG_FS_EXT4 },
        { 18432ull * 512, 16 * MiB, BG_FS_FAT16 },
    };
    EXPECT_EQ(devs.view(img), expected);
}

TEST_F(RealImages, VolumeReaderStopsAtItsEndAndNeverReadsTheNeighbour)
{
    fs::path img = image("mbr-logical.img");
    Devices devs({ img });
    auto vols = devs.volumes(img);
    ASSERT_EQ(vols.size(), 4u);
    BgReader* r = vols[0]->reader;
    uint64_t size = vols[0]->size;
    std::vector<uint8_t> buf(8192, 0xCC);
    EXPECT_EQ(r->read(r, buf.data(), 4096, size - 4096), 4096u); // at the end
    EXPECT_EQ(r->read(r, buf.data(), 8192, size - 512), 512u);    // across the end
    EXPECT_EQ(r->read(r, buf.data(), 512, size), 0u);             // beyond it
    EXPECT_EQ(r->read(r, buf.data(), 512, ~0ull - 100), 0u);
    // Large reads bypass the window and are bounded the same way.
    std::vector<uint8_t> big(3 * MiB);
    EXPECT_EQ(r->read(r, big.data(), uint32_t(big.size()), size - MiB), MiB);
    // Disk reads end at the end of the image.
    BgReader* d = devs.disk(img);
    EXPECT_EQ(d->read(d, buf.data(), 8192, 160 * MiB - 1024), 1024u);
    EXPECT_EQ(d->read(d, buf.data(), 512, 160 * MiB), 0u);
}

TEST_F(RealImages, ReadAheadMatchesPread)
{
    fs::path img = image("mbr-logical.img");
    Devices devs({ img });
    BgVolume* v = devs.volumes(img)[0];
    BgReader* r = v->reader;
    int fd = ::open(img.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::mt19937_64 rng(7);
    std::vector<uint8_t> a(3 * MiB), b(3 * MiB);
    uint64_t pos = 0;
    for (int i = 0; i < 3000; ++i) {
        // Mix sequential small reads, random jumps and occasional big reads.
        uint32_t count;
        switch (rng() % 8) {
        case 0:
            pos = rng() % v->size;
            count = uint32_t(1 + rng() % 9000);
            break;
        case 1:
            count = uint32_t(512 * 1024 + rng() % (2 * MiB));
            break;
        default:
            count = (rng() % 2) ? 512 : 4096;
        }
        uint32_t got = r->read(r, a.data(), count, pos);
        uint64_t expect = pos >= v->size ? 0 : std::min<uint64_t>(count, v->size - pos);
        ASSERT_EQ(got, expect) << "read " << count << " at " << pos;
        ASSERT_EQ(::pread(fd, b.data(), got, off_t(v->start + pos)), ssize_t(got));
        ASSERT_EQ(std::memcmp(a.data(), b.data(), got), 0) << "read " << count << " at " << pos;
        pos += got;
        if (pos >= v->size)
            pos = 0;
    }
    ::close(fd);
}

TEST_F(RealImages, WritesGoOnlyThroughTheDiskObjectAndRefreshTheCache)
{
    TempDir t;
    fs::path img = t / "copy.img";
    fs::copy_file(image("mbr-logical.img"), img);
    Devices devs({ img });
    BgReader* d = devs.disk(img);
    BgVolume* v = devs.volumes(img)[1];
    uint8_t before[512], after[512];
    ASSERT_EQ(v->reader->read(v->reader, before, 512, 0), 512u); // fills the window

    // A volume reader refuses to write.
    uint8_t junk[512];
    std::memset(junk, 0xAB, sizeof junk);
    EXPECT_EQ(v->reader->write(v->reader, junk, 512, 0), 0u);
    ASSERT_EQ(v->reader->read(v->reader, after, 512, 0), 512u);
    EXPECT_EQ(std::memcmp(before, after, 512), 0);

    // The disk object writes, commits, and later reads see the new bytes.
    uint8_t table[66];
    std::memset(table, 0x11, 64);
    table[64] = 0x55, table[65] = 0xAA;
    EXPECT_EQ(d->write(d, table, 66, v->start + 446), 66u);
    EXPECT_EQ(d->commit(d), 1);
    ASSERT_EQ(v->reader->read(v->reader, after, 512, 0), 512u);
    EXPECT_EQ(after[446], 0x11);
    EXPECT_EQ(std::memcmp(after, before, 446), 0);
    auto bytes = read_file(img);
    EXPECT_EQ(bytes[v->start + 446], 0x11);
}

TEST_F(RealImages, SectorTestsAcceptRealBootSectorsAndRejectAlteredOnes)
{
    auto sector_of = [&](const std::string& name) {
        auto bytes = read_file(image(name));
        return std::vector<uint8_t>(bytes.begin(), bytes.begin() + 512);
    };
    BgVolume rec {};
    for (auto [name, code] : std::vector<std::pair<std::string, int32_t>> {
             { "bare-fat12.img", 1 }, { "bare-fat16.img", 2 }, { "bare-fat32.img", 3 } }) {
        SCOPED_TRACE(name);
        auto s = sector_of(name);
        std::memset(&rec, 0, sizeof rec);
        EXPECT_EQ(bg_test_fat_boot(nullptr, s.data(), &rec), 0);
        EXPECT_EQ(rec.fs_code, code);
        EXPECT_EQ(rec.size, fs::file_size(image(name)));
        EXPECT_NE(bg_test_ntfs_boot(nullptr, s.data(), &rec), 0);
        EXPECT_EQ(bg_test_other_boot(s.data(), &rec), 1);
        // One field broken at a time.
        struct Change {
            size_t offset;
            uint8_t value;
        };
        for (Change c : { Change { 0x00, 0x00 }, Change { 0x0B, 0x00 } /* 0 or odd bytes/sector */,
                          Change { 0x0D, 3 } /* not a power of two */, Change { 0x0E, 0 } /* reserved */,
                          Change { 0x10, 0 } /* no FAT */, Change { 0x15, 0x12 } /* media */ }) {
            auto bad = s;
            bad[c.offset] = c.value;
            if (c.offset == 0x0E)
                bad[0x0F] = 0;
            if (c.offset == 0x0B)
                bad[0x0C] = 0x03; // 0x0300 = 768 bytes
            EXPECT_NE(bg_test_fat_boot(nullptr, bad.data(), &rec), 0) << "offset " << c.offset;
        }
    }

    auto ntfs = sector_of("bare-ntfs.img");
    std::memset(&rec, 0, sizeof rec);
    EXPECT_EQ(bg_test_ntfs_boot(nullptr, ntfs.data(), &rec), 0);
    EXPECT_EQ(rec.fs_code, BG_FS_NTFS);
    EXPECT_EQ(rec.size, fs::file_size(image("bare-ntfs.img")));
    EXPECT_NE(bg_test_fat_boot(nullptr, ntfs.data(), &rec), 0);
    auto bad = ntfs;
    std::memcpy(&bad[3], "NTFX    ", 8);
    EXPECT_NE(bg_test_ntfs_boot(nullptr, bad.data(), &rec), 0);
    bad = ntfs;
    bad[0x0D] = 6;
    EXPECT_NE(bg_test_ntfs_boot(nullptr, bad.data(), &rec), 0);
    bad = ntfs;
    std::memset(&bad[0x28], 0, 8);
    EXPECT_NE(bg_test_ntfs_boot(nullptr, bad.data(), &rec), 0);

    auto exfat = sector_of("bare-exfat.img");
    EXPECT_NE(bg_test_fat_boot(nullptr, exfat.data(), &rec), 0);
    EXPECT_NE(bg_test_ntfs_boot(nullptr, exfat.data(), &rec), 0);
    EXPECT_EQ(bg_test_other_boot(exfat.data(), &rec), 0);

    // A partition table is none of these.
    auto mbr = sector_of("mbr-logical.img");
    EXPECT_NE(bg_test_fat_boot(nullptr, mbr.data(), &rec), 0);
    EXPECT_NE(bg_test_ntfs_boot(nullptr, mbr.data(), &rec), 0);
    EXPECT_EQ(bg_test_other_boot(mbr.data(), &rec), 1);
}

TEST(Images, MissingOrUnusableImagesAreRefusedWithTheirErrno)
{
    TempDir t;
    EXPECT_EQ(bg_add_image((t / "missing.img").c_str()), ENOENT);
    EXPECT_EQ(bg_add_image(t.path().c_str()), EISDIR);
    EXPECT_EQ(bg_add_image(""), EINVAL);
    EXPECT_EQ(bg_add_image(nullptr), EINVAL);
    // A FIFO would block a reader's open until a writer comes: refused at once.
    const fs::path fifo = t / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(bg_add_image(fifo.c_str()), EINVAL);
    EXPECT_EQ(bg_add_image("/dev/null"), EINVAL); // a character device
    bg_clear_images();
}

// A file shorter than one sector holds no volume, even when its bytes are
// the start of a FAT12 boot sector.
TEST(Images, AFileShorterThanABootSectorIsNoVolume)
{
    TempDir t;
    auto boot = salvor_test::fat_boot_sector(12, 720, 0, 1, 1);
    std::vector<uint8_t> floppy(720 * 512, 0);
    std::copy(boot.begin(), boot.end(), floppy.begin());
    salvor_test::write_file(t / "whole.img", floppy);
    salvor_test::write_file(t / "cut.img", std::vector<uint8_t>(floppy.begin(), floppy.begin() + 511));
    bg_set_real_disks(0);
    for (const char* name : {"whole.img", "cut.img"}) {
        bg_clear_images();
        ASSERT_EQ(bg_add_image((t / name).c_str()), 0);
        bg_scan_disks();
        bg_scan_volumes();
        ASSERT_NE(bg_volume_list, nullptr) << name;
        EXPECT_EQ(int32_t(bg_volume_list->volume->fs_code), std::string(name) == "whole.img" ? BG_FS_FAT12 : 0)
            << name;
        bg_release_devices();
    }
    bg_clear_images();
    bg_set_real_disks(1);
}

TEST(Images, SyntheticChainsWithLoopsAndFourPrimaries)
{
    TempDir t;
    // Four primaries, no extended partition.
    DiskBuilder four(4096);
    four.mbr({ { 0x80, 0x0C, 100, 100 }, { 0, 0x0C, 300, 100 }, { 0, 0x07, 500, 100 }, { 0, 0x06, 700, 100 } });
    four.put(100 * 512, fat_boot_sector(32, 100, 100, 1, 32, 1));
    write_file(t / "four.img", four.bytes());

    // An extended chain whose last link points back at its first record.
    DiskBuilder loop(8192);
    loop.mbr({ { 0, 0x0F, 1000, 4000 } });
    auto starts = loop.logical_chain(1000, { 100, 100, 100 }, 63);
    // Third record: add a link to the first one.
    uint64_t third = starts[2] - 63;
    std::vector<PartitionEntry> t3 = { { 0, 0x0C, 63, 100 }, { 0, 0x05, 0, 163 } };
    loop.write_table(third, t3);
    write_file(t / "loop.img", loop.bytes());

    Devices devs({ t / "four.img", t / "loop.img" });
    auto v4 = devs.view(t / "four.img");
    ASSERT_EQ(v4.size(), 4u);
    EXPECT_EQ(v4[0], (VolumeView { 100 * 512, 100 * 512, BG_FS_FAT32 }));
    EXPECT_EQ(v4[3].start, 700u * 512);

    BgReader* d4 = devs.disk(t / "four.img");
    uint8_t s[512];
    d4->read(d4, s, 512, 0);
    uint64_t* list = bg_extended_list();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], 0u);

    auto vl = devs.view(t / "loop.img");
    ASSERT_EQ(vl.size(), 3u);
    BgReader* dl = devs.disk(t / "loop.img");
    dl->read(dl, s, 512, 0);
    list = bg_extended_list();
    ASSERT_NE(list, nullptr);
    size_t n = 0;
    while (list[n])
        ++n;
    EXPECT_EQ(n, 3u);
}

TEST(Images, ADiskThatCannotBeOpenedIsStillListedWithItsReason)
{
    TempDir t;
    fs::path img = t / "gone.img";
    write_file(img, std::vector<uint8_t>(4096, 0));
    bg_release_devices();
    bg_clear_images();
    bg_set_real_disks(0);
    ASSERT_EQ(bg_add_image(img.c_str()), 0);
    fs::remove(img); // vanishes between the choice and the scan
    bg_scan_disks();
    bg_scan_volumes();
    ASSERT_NE(bg_disk_list, nullptr);
    BgReader* d = bg_disk_list->disk;
    EXPECT_EQ(img, d->name);
    EXPECT_EQ(bg_last_error(d), ENOENT);
    EXPECT_EQ(d->handle, -1);
    uint8_t buf[512];
    EXPECT_EQ(d->read(d, buf, 512, 0), 0u);
    EXPECT_EQ(bg_volume_list, nullptr);
    EXPECT_EQ(bg_extended_list(), nullptr);
    bg_release_devices();
    bg_clear_images();
    bg_set_real_disks(1);
}

TEST(Images, ExtendedListRefusesAChainLongerThanABackupHolds)
{
    TempDir t;
    for (size_t logicals : { 24u, 25u }) {
        DiskBuilder disk(20000);
        disk.mbr({ { 0, 0x0F, 100, 19000 } });
        disk.logical_chain(100, std::vector<uint32_t>(logicals, 100), 63);
        fs::path img = t / ("chain" + std::to_string(logicals) + ".img");
        write_file(img, disk.bytes());
        Devices devs({ img });
        EXPECT_EQ(devs.view(img).size(), logicals);
        BgReader* d = devs.disk(img);
        uint8_t s[512];
        d->read(d, s, 512, 0);
        uint64_t* list = bg_extended_list();
        if (logicals == 24) {
            ASSERT_NE(list, nullptr);
            EXPECT_NE(list[23], 0u);
            EXPECT_EQ(list[24], 0u);
        } else {
            EXPECT_EQ(list, nullptr);
        }
    }
}

TEST(Progress, ReadsClampAndDone)
{
    bg_progress = 0;
    EXPECT_EQ(bg_get_progress(), 0);
    EXPECT_EQ(bg_progress_done(), 0);
    bg_progress = 55;
    EXPECT_EQ(bg_get_progress(), 55);
    bg_progress = 105;
    EXPECT_EQ(bg_get_progress(), 100);
    EXPECT_EQ(bg_progress_done(), 1);
    bg_progress = 0;
}

// The third-party images: every one is listed with the file systems it holds.
TEST(SharedImages, EveryImageIsListedWithItsFileSystems)
{
    if (!shared_testdata_dir())
        GTEST_SKIP() << "../shared/testdata is absent: third-party images not checked";
    TempDir t;
    // image -> (sector size, file-system codes of its volumes in order)
    std::map<std::string, std::pair<uint32_t, std::vector<int32_t>>> expected = {
        { "fat/fat12.raw", { 512, { 1 } } },
        { "fat/fat16_moved.raw", { 512, { 2 } } },
        { "fat/fat_noloop.raw", { 512, { 2 } } },
        { "fat/fat_deleted_dir_2.raw", { 512, { 2 } } },
        { "fat/fat_unusual_cluster.raw", { 512, { 1 } } },
        { "fat/fat_unusual_label.raw", { 512, { 1 } } },
        { "fat/fat32_small.raw", { 512, { 3 } } },
        { "fat/fatcat-deleted.img", { 512, { 3 } } },
        { "fat/fatcat-directory-loop.img", { 512, { 3 } } },
        { "fat/fatcat-infinite-file.img", { 512, { 3 } } },
        { "fat/fatcat-two-file-same-cluster.img", { 512, { 3 } } },
        { "ntfs/ntfs3_attrlist.raw", { 512, { 4 } } },
        { "ntfs/ntfs_index.raw", { 512, { 4 } } },
        { "ntfs/testfs1.raw", { 512, { 4 } } },
        { "ntfs/windows_volume_ntfs.raw", { 512, { 4 } } },
        { "ntfs/deleted.mft", { 512, { 0 } } },
        { "exfat/exfat_win.raw", { 512, { 5 } } },
        { "exfat/win_exfat_7.raw", { 512, { 5 } } },
        { "exfat/go-exfat-test.exfat", { 512, { 5 } } },
        { "exfat/loop_chain.exfat.img", { 512, { 5 } } },
        { "ext/dfvfs-ext2.raw", { 512, { 6 } } },
        { "ext/dfvfs-image.dd", { 512, { 6 } } },
        { "hfsplus/dfvfs-hfsplus.raw", { 512, { 10 } } },
        { "hfsplus/hfs_plus_volume.bin", { 512, { 10 } } },
        { "hfsplus/hfs_plus_nested.bin", { 512, { 10 } } },
        { "partitions/dfvfs-mbr.raw", { 512, { 6, 8 } } },
        { "partitions/dfvfs-mbr_old.raw", { 512, { 0, 6 } } },
        { "partitions/gpt-512-0p.raw", { 512, {} } },
        { "partitions/gpt-512-3p.raw", { 512, { 0, 0, 0 } } },
        { "partitions/mbr-512-p0.bin", { 512, {} } },
        { "partitions/mbr-512-p1.bin", { 512, { 0 } } },
        { "partitions/mbr-512-p4.bin", { 512, { 0 } } },
        { "partitions/mbr-512-p1e2.bin", { 512, { 0, 0, 0 } } },
        { "partitions/mbr-512-p1e2_2.bin", { 512, { 0, 0, 0 } } },
        { "partitions/mbr-4096-p1e0.bin", { 4096, { 0 } } },
        { "partitions/mbr-4096-p1e1.bin", { 4096, { 0, 0 } } },
    };
    std::vector<fs::path> paths;
    std::map<std::string, fs::path> local;
    for (auto& [rel, e] : expected) {
        auto p = shared_image(rel, t.path());
        if (!p) {
            ADD_FAILURE() << rel << " is missing from the shared test data";
            continue;
        }
        local[rel] = *p;
        paths.push_back(*p);
    }
    Devices devs(paths);
    for (auto& [rel, e] : expected) {
        if (!local.count(rel))
            continue;
        SCOPED_TRACE(rel);
        BgReader* d = devs.disk(local[rel]);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->bytes_per_sector, e.first);
        std::vector<int32_t> codes;
        for (auto& v : devs.view(local[rel]))
            codes.push_back(v.fs);
        EXPECT_EQ(codes, e.second);
    }
    // The 4096-byte-sector chain: the logical drive lies one sector after its record.
    auto v = devs.view(local["partitions/mbr-4096-p1e1.bin"]);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].start, 3u * 4096);
    EXPECT_EQ(v[1].start, 9u * 4096);
}

} // namespace

// Reads that cost the source about what they use: the pattern of a recovery
// (a 1 KiB record, then a file's data in 4 KiB chunks, file after file at
// scattered places) and of a long sequential scan, counted by bg_bytes_read.
TEST(ReadCost, SmallFilesAndLongScansReadAboutWhatTheyUse)
{
    TempDir t;
    const fs::path img = t / "data.img";
    const uint64_t size = 64 * MiB;
    write_file(img, random_bytes(size_t(size), 5));
    bg_release_devices();
    bg_clear_images();
    bg_set_real_disks(0);
    ASSERT_EQ(bg_add_image(img.c_str()), 0);
    bg_scan_disks();
    ASSERT_NE(bg_disk_list, nullptr);
    BgReader* d = bg_disk_list->disk;
    const std::vector<uint8_t> truth = read_file(img);
    std::vector<uint8_t> buf(4096);
    std::mt19937_64 rng(9);

    uint64_t used = 0;
    const uint64_t files = 400;
    uint64_t before = bg_bytes_read();
    for (uint64_t f = 0; f < files; ++f) {
        const uint64_t record = 1 * MiB + f * 1024; // records one after another
        ASSERT_EQ(d->read(d, buf.data(), 1024, record), 1024u);
        ASSERT_EQ(std::memcmp(buf.data(), truth.data() + record, 1024), 0);
        const uint64_t start = (8 * MiB + rng() % (48 * MiB)) & ~uint64_t(4095);
        const uint64_t length = 4096 * (1 + rng() % 24);
        for (uint64_t p = 0; p < length; p += 4096) {
            ASSERT_EQ(d->read(d, buf.data(), 4096, start + p), 4096u);
            ASSERT_EQ(std::memcmp(buf.data(), truth.data() + start + p, 4096), 0) << start + p;
        }
        used += length;
    }
    const uint64_t records = files * 1024;
    const uint64_t small = bg_bytes_read() - before;
    EXPECT_LE(double(small), 1.5 * double(used) + 2.0 * double(records)) << "used " << used;

    // One long run of 4 KiB reads: read ahead, but not much past its end.
    before = bg_bytes_read();
    const uint64_t run_start = 8 * MiB + 512, run_length = 24 * MiB;
    for (uint64_t p = 0; p < run_length; p += 4096) {
        ASSERT_EQ(d->read(d, buf.data(), 4096, run_start + p), 4096u);
        ASSERT_EQ(std::memcmp(buf.data(), truth.data() + run_start + p, 4096), 0) << p;
    }
    const uint64_t scan = bg_bytes_read() - before;
    EXPECT_GE(scan, run_length);
    EXPECT_LE(scan, run_length + 1 * MiB) << "a run read twice?";

    // A read larger than half a window goes straight through, exactly.
    before = bg_bytes_read();
    std::vector<uint8_t> big(700 * 1024);
    ASSERT_EQ(d->read(d, big.data(), uint32_t(big.size()), 3 * MiB + 7), big.size());
    EXPECT_EQ(bg_bytes_read() - before, big.size());
    EXPECT_EQ(std::memcmp(big.data(), truth.data() + 3 * MiB + 7, big.size()), 0);
    bg_release_devices();
    bg_clear_images();
    bg_set_real_disks(1);
}
