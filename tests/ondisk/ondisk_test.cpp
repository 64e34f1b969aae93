// The FAT and NTFS boot-sector parsers: fixtures from the test disk builder
// with one field changed at a time, the edges of the FAT type and NTFS cluster
// rules, and a real volume with 2 MiB clusters through blockgate, the NTFS
// engine and the lost-volume search.
#include <ondisk/ext_features.h>
#include <ondisk/fat_boot.h>
#include <ondisk/ntfs_boot.h>

#include <disk_builder.h>
#include <memory_volume.h>
#include <test_support.h>

#include <blockgate/blockgate.h>
#include <fsprobe/ntfs.h>
#include <fsprobe/partition.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

using namespace ondisk;
namespace fs = std::filesystem;

namespace {

using Sector = std::vector<uint8_t>;

ByteView view(const Sector& s) { return ByteView(s.data(), s.size()); }

// ---- FAT ----------------------------------------------------------------------

TEST(FatBoot, ReadsTheParameterBlockOfEachLayout)
{
    // FAT16: 40000 sectors, 4 per cluster, 1 reserved, two FATs of 40, 512 root entries.
    Sector s16 = salvor_test::fat_boot_sector(16, 40000, 0, 4, 1, 40);
    auto b = fat::parse_boot(view(s16));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->bytes_per_sector, 512u);
    EXPECT_EQ(b->cluster_bytes(), 2048u);
    EXPECT_EQ(b->total_sectors, 40000u);
    EXPECT_FALSE(b->fat32_layout());
    EXPECT_EQ(b->sectors_per_fat(), 40u);
    EXPECT_EQ(b->root_dir_sectors(), 32u);
    EXPECT_EQ(b->first_data_sector(), 1u + 2 * 40 + 32);
    EXPECT_EQ(b->cluster_count(), (40000u - 113) / 4);
    auto id = fat::identify(view(s16));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->type, fat::Type::fat16);

    // FAT32: the 32-bit FAT size, the root in cluster 2, no fixed root.
    Sector s32 = salvor_test::fat_boot_sector(32, 200000, 0, 8, 32, 200);
    b = fat::parse_boot(view(s32));
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->fat32_layout());
    EXPECT_EQ(b->sectors_per_fat(), 200u);
    EXPECT_EQ(b->root_cluster, 2u);
    EXPECT_EQ(b->root_dir_sectors(), 0u);
    EXPECT_EQ(b->first_data_sector(), 32u + 2 * 200);
    id = fat::identify(view(s32));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->type, fat::Type::fat32);
    // The top four bits of the root cluster field are not part of it.
    store_le32(&s32[fat::boot::fat32_root_cluster], 0xF0000005);
    EXPECT_EQ(fat::parse_boot(view(s32))->root_cluster, 5u);

    // Both sector counts set: the 16-bit one is the count, both stay readable.
    store_le16(&s16[fat::boot::total_sectors16], 30000);
    store_le32(&s16[fat::boot::total_sectors32], 50000);
    b = fat::parse_boot(view(s16));
    EXPECT_EQ(b->total_sectors, 30000u);
    EXPECT_EQ(b->total_sectors32, 50000u);
}

TEST(FatBoot, ClusterCountDecidesBetweenFat12AndFat16)
{
    // One sector per cluster, 1 reserved, two FATs, 32 root sectors: the
    // metadata takes 1 + 2 × FAT size + 32 sectors.
    auto type_for = [](uint32_t clusters, uint32_t fat_size) -> std::optional<fat::Type> {
        Sector s = salvor_test::fat_boot_sector(16, clusters + 1 + 2 * fat_size + 32, 0, 1, 1, fat_size);
        auto id = fat::identify(view(s));
        if (id)
            EXPECT_EQ(id->clusters, clusters);
        return id ? std::optional(id->type) : std::nullopt;
    };
    EXPECT_EQ(type_for(4084, 12), fat::Type::fat12);
    EXPECT_EQ(type_for(4085, 12), fat::Type::fat16);
    EXPECT_EQ(type_for(65524, 256), fat::Type::fat16);
    EXPECT_EQ(type_for(65525, 256), std::nullopt); // too many for the 16-bit layout

    // The FAT32 layout stays FAT32 with few clusters, but has no root entries.
    Sector small32 = salvor_test::fat_boot_sector(32, 5000, 0, 1, 32, 40);
    ASSERT_TRUE(fat::identify(view(small32)));
    EXPECT_EQ(fat::identify(view(small32))->type, fat::Type::fat32);
    store_le16(&small32[fat::boot::root_entries], 512);
    EXPECT_FALSE(fat::identify(view(small32)));
}

TEST(FatBoot, EachDamagedFieldIsRefused)
{
    const Sector good = salvor_test::fat_boot_sector(16, 40000, 0, 4, 1, 40);
    ASSERT_TRUE(fat::identify(view(good)));

    // Fields every reader needs: the parse itself fails.
    struct Field {
        size_t offset;
        uint16_t value;
        bool wide;
        const char* what;
    };
    for (Field f : { Field { 0x0B, 0, true, "no sector size" }, Field { 0x0B, 256, true, "256-byte sectors" },
                     Field { 0x0B, 768, true, "768-byte sectors" }, Field { 0x0B, 8192, true, "8 KiB sectors" },
                     Field { 0x0D, 0, false, "no sectors per cluster" }, Field { 0x0D, 3, false, "3 per cluster" },
                     Field { 0x10, 0, false, "no FAT" } }) {
        Sector bad = good;
        if (f.wide)
            store_le16(&bad[f.offset], f.value);
        else
            bad[f.offset] = uint8_t(f.value);
        EXPECT_FALSE(fat::parse_boot(view(bad))) << f.what;
        EXPECT_FALSE(fat::identify(view(bad))) << f.what;
    }

    // Fields only the recognition checks: the parse still reads them.
    for (Field f : { Field { 0x0E, 0, true, "no reserved sector" }, Field { 0x10, 5, false, "five FATs" },
                     Field { 0x15, 0x12, false, "media byte" }, Field { 0x13, 0, true, "no sector count" },
                     Field { 0x16, 0, true, "FAT16 layout without FAT size" },
                     Field { 0x13, 100, true, "metadata larger than the volume" },
                     Field { 0x00, 0, false, "no jump" } }) {
        Sector bad = good;
        if (f.wide)
            store_le16(&bad[f.offset], f.value);
        else
            bad[f.offset] = uint8_t(f.value);
        EXPECT_TRUE(fat::parse_boot(view(bad))) << f.what;
        EXPECT_FALSE(fat::identify(view(bad))) << f.what;
    }
    for (const char* name : { "NTFS    ", "EXFAT   " }) {
        Sector bad = good;
        std::memcpy(&bad[3], name, 8);
        EXPECT_FALSE(fat::identify(view(bad))) << name;
    }
    // A buffer shorter than a sector is never read past its end.
    EXPECT_FALSE(fat::parse_boot(ByteView(good.data(), 511)));
    EXPECT_FALSE(fat::identify(ByteView(good.data(), 511)));
    EXPECT_FALSE(fat::parse_boot(ByteView()));
}

TEST(FatBoot, TypeNameIsReadAtItsPlaceInEachLayout)
{
    EXPECT_TRUE(fat::names_fat_type(view(salvor_test::fat_boot_sector(12, 2880, 0, 1, 1, 9))));
    EXPECT_TRUE(fat::names_fat_type(view(salvor_test::fat_boot_sector(32, 200000, 0))));
    Sector s = salvor_test::fat_boot_sector(16, 40000, 0);
    std::memcpy(&s[fat::boot::fat16_type_name], "FAT32   ", 8); // FAT32's name at FAT16's place
    EXPECT_FALSE(fat::names_fat_type(view(s)));
}

// ---- NTFS ---------------------------------------------------------------------

TEST(NtfsBoot, ReadsTheGeometry)
{
    Sector s = salvor_test::ntfs_boot_sector(2000000, 0, 8, 4);
    auto b = ntfs::identify(view(s));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->bytes_per_sector, 512u);
    EXPECT_EQ(b->sectors_per_cluster, 8u);
    EXPECT_EQ(b->cluster_size, 4096u);
    EXPECT_EQ(b->mft_lcn, 4u);
    EXPECT_EQ(b->mft_mirror_lcn, 2000000u / 8 / 2);
    EXPECT_EQ(b->record_size, 1024u);      // 0xF6: 2^10 bytes
    EXPECT_EQ(b->index_record_size, 4096u); // 1: one cluster
    EXPECT_EQ(b->volume_bytes(), 2000001u * 512);
    // The backup boot sector's count makes no volume larger than 2^64 bytes.
    store_le64(&s[ntfs::boot::total_sectors], ~uint64_t(0));
    EXPECT_EQ(ntfs::parse_boot(view(s))->volume_bytes(), ~uint64_t(0));
    store_le64(&s[ntfs::boot::total_sectors], ~uint64_t(0) / 256);
    EXPECT_EQ(ntfs::parse_boot(view(s))->volume_bytes(), ~uint64_t(0));
}

TEST(NtfsBoot, SectorsPerClusterInBothForms)
{
    for (uint32_t v = 1; v <= 128; v *= 2)
        EXPECT_EQ(ntfs::sectors_per_cluster(uint8_t(v)), v);
    for (uint8_t v : { 0, 3, 6, 0x7F })
        EXPECT_EQ(ntfs::sectors_per_cluster(v), 0u) << int(v);
    // Above 0x80 the byte is a negative power of two of the sector count.
    EXPECT_EQ(ntfs::sectors_per_cluster(0xFF), 2u);
    EXPECT_EQ(ntfs::sectors_per_cluster(0xF9), 128u);
    EXPECT_EQ(ntfs::sectors_per_cluster(0xF8), 256u);
    EXPECT_EQ(ntfs::sectors_per_cluster(0xF4), 4096u);
    // Larger counts make clusters beyond 2 MiB on any sector size; the largest
    // exponents must not become shifts past 64 bits.
    for (uint8_t v : { 0xF3, 0xE0, 0xC1, 0x81 })
        EXPECT_EQ(ntfs::sectors_per_cluster(v), 0u) << int(v);

    Sector s = salvor_test::ntfs_boot_sector(2000000, 0, 0xF4, 1); // 2 MiB on 512-byte sectors
    auto b = ntfs::identify(view(s));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->cluster_size, 2u << 20);
    EXPECT_EQ(b->record_size, 1024u);
    store_le16(&s[ntfs::boot::bytes_per_sector], 1024); // 4 MiB
    EXPECT_FALSE(ntfs::parse_boot(view(s)));
    s[ntfs::boot::sectors_per_cluster] = 0xF5; // 2048 × 1024: 2 MiB again
    EXPECT_EQ(ntfs::parse_boot(view(s))->cluster_size, 2u << 20);
    s[ntfs::boot::sectors_per_cluster] = 128;
    store_le16(&s[ntfs::boot::bytes_per_sector], 4096); // 512 KiB
    EXPECT_EQ(ntfs::parse_boot(view(s))->cluster_size, 512u << 10);
}

TEST(NtfsBoot, RecordSizesInBothForms)
{
    EXPECT_EQ(ntfs::record_size_from(int8_t(0xF6), 4096), 1024u);
    EXPECT_EQ(ntfs::record_size_from(2, 4096), 8192u);
    EXPECT_EQ(ntfs::record_size_from(int8_t(0xE1), 4096), 1u << 31);
    EXPECT_EQ(ntfs::record_size_from(int8_t(0xE0), 4096), 0u); // 2^32 bytes cannot be a size here
    EXPECT_EQ(ntfs::record_size_from(int8_t(0x80), 4096), 0u);

    Sector s = salvor_test::ntfs_boot_sector(2000000, 0, 1, 4);
    auto record_of = [&](uint8_t field) {
        Sector t = s;
        t[ntfs::boot::clusters_per_record] = field;
        return ntfs::parse_boot(view(t))->record_size;
    };
    EXPECT_EQ(record_of(0xF6), 1024u);
    EXPECT_EQ(record_of(2), 1024u);     // two 512-byte clusters
    EXPECT_EQ(record_of(3), 0u);        // not a power of two
    EXPECT_EQ(record_of(0xF8), 0u);     // 256 bytes: below the sector size
    EXPECT_EQ(record_of(0xF0), 65536u); // the largest
    EXPECT_EQ(record_of(0xEF), 0u);     // 128 KiB
    EXPECT_EQ(record_of(0), 0u);        // one byte

    // Index records: up to 1 MiB, else none; an unusable index size does not
    // make the volume unreadable.
    s[ntfs::boot::clusters_per_index] = 0xEC; // 1 MiB
    EXPECT_EQ(ntfs::parse_boot(view(s))->index_record_size, 1u << 20);
    s[ntfs::boot::clusters_per_index] = 0xEB; // 2 MiB
    EXPECT_EQ(ntfs::parse_boot(view(s))->index_record_size, 0u);
    EXPECT_TRUE(ntfs::identify(view(s)));
}

TEST(NtfsBoot, EachDamagedFieldIsRefused)
{
    const Sector good = salvor_test::ntfs_boot_sector(2000000, 0, 8, 4);
    ASSERT_TRUE(ntfs::identify(view(good)));
    Sector bad = good;
    std::memcpy(&bad[3], "NTFX    ", 8);
    EXPECT_FALSE(ntfs::identify(view(bad)));
    EXPECT_TRUE(ntfs::parse_boot(view(bad))); // the geometry alone does not need the name
    bad = good;
    bad[0] = 0;
    EXPECT_FALSE(ntfs::identify(view(bad)));
    bad = good;
    store_le64(&bad[ntfs::boot::total_sectors], 0);
    EXPECT_FALSE(ntfs::identify(view(bad)));
    bad = good;
    store_le64(&bad[ntfs::boot::mft_lcn], 0);
    EXPECT_FALSE(ntfs::identify(view(bad)));
    for (uint16_t bps : { 0, 256, 768, 8192 }) {
        bad = good;
        store_le16(&bad[ntfs::boot::bytes_per_sector], bps);
        EXPECT_FALSE(ntfs::parse_boot(view(bad))) << bps;
    }
    for (uint8_t spc : { 0, 6, 0x81 }) {
        bad = good;
        bad[ntfs::boot::sectors_per_cluster] = spc;
        EXPECT_FALSE(ntfs::parse_boot(view(bad))) << int(spc);
    }
    EXPECT_FALSE(ntfs::identify(ByteView(good.data(), 100)));
}

// The NTFS engine refuses the boot sectors the parser refuses, without
// shifting past 64 bits on the largest negative exponents.
TEST(NtfsBoot, EngineRefusesImpossibleClusterSizes)
{
    for (uint8_t spc : { 0x81, 0xA0, 0xC1, 0xE0, 0xF3 }) {
        Sector bytes(64 * 1024, 0);
        Sector s = salvor_test::ntfs_boot_sector(127, 0, spc, 4);
        std::copy(s.begin(), s.end(), bytes.begin());
        salvor_test::MemoryVolume volume(bytes, BG_FS_NTFS);
        EXPECT_FALSE(Initi_Ntfs_InFo(volume.volume())) << int(spc);
    }
    NTFS_Free_Glod_Exit();
}

TEST(ExtFeatures, Ext4FeaturesWinOverTheJournal)
{
    using ext::Kind;
    EXPECT_EQ(ext::kind_of(0, ext::incompat::filetype, 0), Kind::ext2);
    EXPECT_EQ(ext::kind_of(ext::compat::has_journal, ext::incompat::filetype | ext::incompat::recover, 0), Kind::ext3);
    EXPECT_EQ(ext::kind_of(ext::compat::has_journal, ext::incompat::extents, 0), Kind::ext4);
    EXPECT_EQ(ext::kind_of(0, 0, ext::ro_compat::metadata_csum), Kind::ext4);
    EXPECT_EQ(ext::kind_of(0, 0, 0x0001 | 0x0002), Kind::ext2); // sparse_super, large_file: ext2 has them too
}

// ---- A real volume with 2 MiB clusters --------------------------------------------

class TwoMegabyteClusters : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!salvor_test::require_tool("mkntfs", "ntfs-3g"))
            GTEST_SKIP();
        // 1 MiB of an empty partition table, then a 1 GiB NTFS volume (sparse).
        m_volume = m_dir / "volume.img";
        ASSERT_EQ(salvor_test::run("truncate -s 1G '" + m_volume.string() + "' && mkntfs -F -Q -q -c 2097152 '"
                                   + m_volume.string() + "' >/dev/null 2>&1"),
                  0);
    }
    void TearDown() override
    {
        bg_release_devices();
        bg_clear_images();
        bg_set_real_disks(1);
    }
    void open(const fs::path& image)
    {
        bg_set_real_disks(0);
        bg_clear_images();
        ASSERT_EQ(bg_add_image(image.c_str()), 0);
        bg_scan_disks();
        bg_scan_volumes();
    }

    salvor_test::TempDir m_dir;
    fs::path m_volume;
};

TEST_F(TwoMegabyteClusters, BlockgateAndTheEngineAgreeOnTheClusterSize)
{
    Sector boot(512);
    {
        int fd = ::open(m_volume.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pread(fd, boot.data(), boot.size(), 0), 512);
        ::close(fd);
    }
    ASSERT_EQ(boot[ntfs::boot::sectors_per_cluster], 0xF4); // how mkntfs writes 4096 sectors
    BgVolume record {};
    EXPECT_EQ(bg_test_ntfs_boot(nullptr, boot.data(), &record), 0);
    EXPECT_EQ(record.size, uint64_t(1) << 30);

    open(m_volume);
    ASSERT_NE(bg_volume_list, nullptr);
    BgVolume* volume = bg_volume_list->volume;
    ASSERT_EQ(volume->fs_code, BG_FS_NTFS);
    EXPECT_EQ(bg_volume_cluster_size(volume), 2u << 20);
    // The engine finds $MFT two megabytes per cluster in.
    EXPECT_TRUE(Initi_Ntfs_InFo(volume));
    NTFS_Free_Glod_Exit();
}

TEST_F(TwoMegabyteClusters, TheLostVolumeSearchFindsIt)
{
    // The volume at 1 MiB of a disk whose partition table was wiped.
    fs::path disk = m_dir / "disk.img";
    ASSERT_EQ(salvor_test::run("truncate -s 1100M '" + disk.string() + "' && dd if='" + m_volume.string() + "' of='"
                               + disk.string() + "' bs=1M seek=1 conv=notrunc,sparse status=none"),
              0);
    open(disk);
    ASSERT_NE(bg_disk_list, nullptr);
    BgVolume* found = bs_recover(bg_disk_list->disk);
    ASSERT_NE(found, nullptr);
    ASSERT_NE(found[0].boot_sector, nullptr);
    EXPECT_EQ(found[0].fs_code, BG_FS_NTFS);
    EXPECT_EQ(found[0].start, 1u << 20);
    EXPECT_EQ(found[1].boot_sector, nullptr);
    bs_exit();
}

} // namespace
