// Backup and restore of partition tables on disk image files opened through
// blockgate (the extended boot records come from its chain list).
#include "Backup.h"
#include "partition_test_util.h"

#include <fsprobe/partition.h>

#include "memory_volume.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace partition_test;
using namespace salvor_test;
using fsprobe::load_le64;

namespace {

class PartitionBackup : public ::testing::Test {
protected:
    void SetUp() override { bg_set_real_disks(0); }
    void TearDown() override
    {
        bg_release_devices();
        bg_clear_images();
    }

    BgReader* open_image(const fs::path& path)
    {
        bg_release_devices();
        bg_clear_images();
        if (bg_add_image(path.c_str()) != 0)
            return nullptr;
        bg_scan_disks();
        return bg_disk_list ? bg_disk_list->disk : nullptr;
    }

    // Backs `image` up into a new file; returns the result and the file's bytes.
    int32_t backup(const fs::path& image, std::vector<uint8_t>& file, int32_t (*save)(BgReader*, int) = bs_backup)
    {
        BgReader* disk = open_image(image);
        EXPECT_NE(disk, nullptr);
        fs::path out = m_tmp / ("backup" + std::to_string(m_count++) + ".bin");
        int fd = ::open(out.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
        EXPECT_GE(fd, 0);
        int32_t result = save(disk, fd);
        ::close(fd);
        file = read_file(out);
        return result;
    }

    int32_t restore(const fs::path& image, const std::vector<uint8_t>& file)
    {
        BgReader* disk = open_image(image);
        EXPECT_NE(disk, nullptr);
        fs::path in = m_tmp / ("restore" + std::to_string(m_count++) + ".bin");
        write_file(in, file);
        int fd = ::open(in.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        int32_t result = bs_back(disk, fd);
        ::close(fd);
        bg_release_devices();
        return result;
    }

    fs::path image(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        fs::path p = m_tmp / name;
        write_file(p, bytes);
        return p;
    }

    TempDir m_tmp;
    int m_count = 0;
};

std::vector<uint8_t> record(uint64_t offset, const uint8_t* entries)
{
    std::vector<uint8_t> r(72, 0);
    fsprobe::store_le64(r.data(), offset);
    std::memcpy(r.data() + 8, entries, 64);
    return r;
}

} // namespace

TEST_F(PartitionBackup, FourPrimariesGiveOneRecord)
{
    DiskBuilder d(20000);
    d.mbr({ { 0x80, 0x07, 2048, 4000 }, { 0, 0x0C, 6048, 4000 }, { 0, 0x06, 10048, 4000 }, { 0, 0x83, 14048, 4000 } });
    auto path = image("four.img", d.bytes());
    std::vector<uint8_t> file;
    ASSERT_EQ(bs_backup(nullptr, -1), 2);
    ASSERT_EQ(backup(path, file), 0);
    ASSERT_EQ(file.size(), 72u);
    EXPECT_EQ(load_le64(file.data()), 0u);
    EXPECT_EQ(std::memcmp(file.data() + 8, d.bytes().data() + 446, 64), 0);
}

TEST_F(PartitionBackup, ExtendedChainRecordsFollowTheChainAndRestoreExactly)
{
    DiskBuilder d(20000);
    d.mbr({ { 0x80, 0x07, 63, 4000 }, { 0, 0x0F, 4063, 12000 } });
    auto starts = d.logical_chain(4063, { 3000, 3000, 3000 }, 63);
    const uint64_t ebrs[] = { 4063, starts[0] + 3000, starts[1] + 3000 };
    auto original = d.bytes();
    auto path = image("ext.img", original);
    std::vector<uint8_t> file;
    ASSERT_EQ(backup(path, file), 0);
    ASSERT_EQ(file.size(), 4u * 72);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(load_le64(file.data() + 72 * (k + 1)), ebrs[k] * 512);
        EXPECT_EQ(std::memcmp(file.data() + 72 * (k + 1) + 8, original.data() + ebrs[k] * 512 + 446, 64), 0);
    }

    // Lose every table (entries and signature), then restore from the file.
    auto damaged = original;
    for (uint64_t s : { uint64_t(0), ebrs[0], ebrs[1], ebrs[2] })
        std::memset(damaged.data() + s * 512 + 446, 0, 66);
    write_file(path, damaged);
    ASSERT_EQ(restore(path, file), 0);
    EXPECT_TRUE(read_file(path) == original);
}

TEST_F(PartitionBackup, RefusesDisksWithoutATable)
{
    std::vector<uint8_t> file;
    DiskBuilder card(8000);
    card.put(0, fat_boot_sector(16, 8000, 0, 1, 1));
    EXPECT_EQ(backup(image("card.img", card.bytes()), file), 1);
    EXPECT_TRUE(file.empty());

    DiskBuilder blank(8000);
    EXPECT_EQ(backup(image("blank.img", blank.bytes()), file), 1);
    EXPECT_TRUE(file.empty());

    DiskBuilder ntfs(8000);
    ntfs.put(0, ntfs_boot_sector(7999, 0));
    EXPECT_EQ(backup(image("ntfs.img", ntfs.bytes()), file), 1);
}

// Before a table write, the state it changes is saved whatever it is: a disk
// without a table gets sector 0 as it is, and restoring that undoes the write.
TEST_F(PartitionBackup, CurrentStateIsSavedEvenWithoutATable)
{
    std::vector<uint8_t> file;
    DiskBuilder card(8000);
    card.put(0, fat_boot_sector(16, 8000, 0, 1, 1));
    const auto original = card.bytes();
    const auto path = image("card.img", original);
    ASSERT_EQ(backup(path, file, bs_backup_current), 0);
    ASSERT_EQ(file.size(), 72u);
    EXPECT_EQ(load_le64(file.data()), 0u);
    EXPECT_EQ(std::memcmp(file.data() + 8, original.data() + 446, 64), 0);

    // A table written over the boot sector's tail, then undone from the file.
    DiskBuilder tabled(8000);
    tabled.put(0, fat_boot_sector(16, 8000, 0, 1, 1));
    tabled.mbr({ { 0x80, 0x06, 63, 7000 } });
    write_file(path, tabled.bytes());
    ASSERT_EQ(restore(path, file), 0);
    EXPECT_TRUE(read_file(path) == original);

    // All zeros: one record of zeros.
    DiskBuilder blank(8000);
    ASSERT_EQ(backup(image("blank.img", blank.bytes()), file, bs_backup_current), 0);
    EXPECT_EQ(file, std::vector<uint8_t>(72, 0));

    // A disk with a table is saved exactly as bs_backup saves it.
    DiskBuilder d(20000);
    d.mbr({ { 0x80, 0x07, 63, 4000 }, { 0, 0x0F, 4063, 12000 } });
    d.logical_chain(4063, { 3000, 3000 }, 63);
    const auto with_table = image("ext.img", d.bytes());
    std::vector<uint8_t> plain;
    ASSERT_EQ(backup(with_table, plain), 0);
    ASSERT_EQ(backup(with_table, file, bs_backup_current), 0);
    EXPECT_EQ(file, plain);

    // A GPT disk's tables do not fit the file: refused, nothing written.
    DiskBuilder gpt(8000);
    gpt.mbr({ { 0, 0xEE, 1, 7999 } });
    EXPECT_EQ(backup(image("gpt.img", gpt.bytes()), file, bs_backup_current), 1);
    EXPECT_TRUE(file.empty());
}

TEST_F(PartitionBackup, UnusableFilesLeaveTheDiskUntouched)
{
    DiskBuilder d(4000);
    d.mbr({ { 0x80, 0x0C, 2048, 1000 } });
    auto path = image("disk.img", d.bytes());
    const std::string hash = sha256_file(path);
    std::vector<uint8_t> good = record(0, d.bytes().data() + 446);

    EXPECT_EQ(restore(path, {}), 1);
    EXPECT_EQ(restore(path, std::vector<uint8_t>(73, 0)), 1);
    auto extra = good;
    extra.push_back(0);
    EXPECT_EQ(restore(path, extra), 1);
    // The first record must be the master boot record's; the others whole
    // sectors inside the disk.
    EXPECT_EQ(restore(path, record(512, good.data() + 8)), 1);
    auto beyond = good;
    auto far = record(4000ull * 512, good.data() + 8);
    beyond.insert(beyond.end(), far.begin(), far.end());
    EXPECT_EQ(restore(path, beyond), 1);
    auto unaligned = good;
    auto odd = record(1000, good.data() + 8);
    unaligned.insert(unaligned.end(), odd.begin(), odd.end());
    EXPECT_EQ(restore(path, unaligned), 1);
    EXPECT_EQ(sha256_file(path), hash);
}

// A backup file that cannot be written, and a disk that refuses the restore's
// writes, are reported as failures.
TEST_F(PartitionBackup, FailedWritesAreReported)
{
    DiskBuilder d(4000);
    d.mbr({ { 0x80, 0x0C, 2048, 1000 } });
    auto path = image("disk.img", d.bytes());
    BgReader* disk = open_image(path);
    ASSERT_NE(disk, nullptr);
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bs_backup(disk, fd), 2);
    ::close(fd);

    MemoryVolume refusing(d.bytes()); // writes refused
    fs::path file = m_tmp / "one.bin";
    write_file(file, record(0, d.bytes().data() + 446));
    fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bs_back(refusing.reader(), fd), 1);
    EXPECT_EQ(refusing.writes(), 1u);
    refusing.allow_writes(true);
    EXPECT_EQ(bs_back(refusing.reader(), fd), 0);
    ::close(fd);
}

TEST_F(PartitionBackup, RestoresAtMostTwentyFiveRecordsAndOnlyTableBytes)
{
    auto original = random_bytes(64 * 512, 7);
    for (uint64_t k = 1; k < 26; ++k) { // the extended boot records' signatures
        original[k * 2 * 512 + 510] = 0x55;
        original[k * 2 * 512 + 511] = 0xAA;
    }
    auto path = image("rand.img", original);
    // One chain of 25 extended boot records (and a 26th) at every second
    // sector, each with a one-sector logical drive in the sector after it.
    std::vector<uint8_t> file;
    for (uint64_t k = 0; k < 26; ++k) {
        uint8_t entries[64] {};
        if (k == 0) {
            entries[4] = 0x0F; // extended partition from sector 2
            fsprobe::store_le32(entries + 8, 2);
            fsprobe::store_le32(entries + 12, 60);
        } else {
            entries[1] = uint8_t(k); // a mark of the record in the unused CHS bytes
            entries[4] = 0x83;
            fsprobe::store_le32(entries + 8, 1);
            fsprobe::store_le32(entries + 12, 1);
            entries[16 + 4] = 0x05; // link to the next record, from the extended start
            fsprobe::store_le32(entries + 16 + 8, uint32_t(2 * k));
            fsprobe::store_le32(entries + 16 + 12, 2);
        }
        auto r = record(k * 2 * 512, entries);
        file.insert(file.end(), r.begin(), r.end());
    }
    ASSERT_EQ(file.size(), 1872u);
    ASSERT_EQ(restore(path, file), 0);
    auto after = read_file(path);
    for (uint64_t k = 0; k < 26; ++k) {
        const uint8_t* s = after.data() + k * 2 * 512;
        const uint8_t* o = original.data() + k * 2 * 512;
        EXPECT_EQ(std::memcmp(s, o, 446), 0) << "record " << k;
        if (k < 25) {
            EXPECT_EQ(std::memcmp(s + 446, file.data() + 72 * k + 8, 64), 0) << "record " << k;
            EXPECT_EQ(s[510], 0x55);
            EXPECT_EQ(s[511], 0xAA);
        } else {
            EXPECT_EQ(std::memcmp(s, o, 512), 0) << "the 26th record was written";
        }
        // The sector between two records is untouched.
        EXPECT_EQ(std::memcmp(s + 512, o + 512, 512), 0);
    }
}

// The restore writes only where the file's own table chain says: a file that
// describes another layout, points a record into a volume it describes, or
// holds random entries is refused before the first write.
TEST_F(PartitionBackup, RestoreRefusesRecordsOutsideTheirOwnChain)
{
    DiskBuilder d(20000);
    d.mbr({ { 0x80, 0x07, 63, 4000 }, { 0, 0x0F, 4063, 12000 } });
    d.logical_chain(4063, { 3000, 3000, 3000 }, 63);
    auto path = image("ext.img", d.bytes());
    std::vector<uint8_t> good;
    ASSERT_EQ(backup(path, good), 0);
    ASSERT_EQ(good.size(), 4u * 72);
    const std::string hash = sha256_file(path);
    const auto check = [&](const std::vector<uint8_t>& file, uint32_t* at) {
        BgReader* disk = open_image(path);
        fs::path in = m_tmp / ("check" + std::to_string(m_count++) + ".bin");
        write_file(in, file);
        int fd = ::open(in.c_str(), O_RDONLY);
        const int32_t rc = bs_check_backup(disk, fd, at);
        ::close(fd);
        return rc;
    };
    uint32_t at = 99;
    EXPECT_EQ(check(good, &at), BS_CHECK_OK);
    EXPECT_EQ(at, 0u);

    // The second record moved by one sector: no longer where the first EBR links.
    auto moved = good;
    fsprobe::store_le64(moved.data() + 2 * 72, load_le64(moved.data() + 2 * 72) + 512);
    EXPECT_EQ(check(moved, &at), BS_CHECK_NOT_IN_CHAIN);
    EXPECT_EQ(at, 2u);
    // Two records swapped, a record dropped from the middle, one too many.
    auto swapped = good;
    std::swap_ranges(swapped.begin() + 72, swapped.begin() + 144, swapped.begin() + 144);
    EXPECT_EQ(check(swapped, &at), BS_CHECK_NOT_IN_CHAIN);
    auto dropped = good;
    dropped.erase(dropped.begin() + 72, dropped.begin() + 144);
    EXPECT_EQ(check(dropped, &at), BS_CHECK_NOT_IN_CHAIN);
    EXPECT_EQ(at, 1u);
    auto extra = good;
    extra.insert(extra.end(), good.begin() + 72, good.begin() + 144);
    EXPECT_EQ(check(extra, &at), BS_CHECK_NOT_IN_CHAIN);
    EXPECT_EQ(at, 4u);

    // A chain that leads into the primary volume the file describes.
    uint8_t into[64] {};
    into[4] = 0x07;
    fsprobe::store_le32(into + 8, 63);
    fsprobe::store_le32(into + 12, 4000);
    into[16 + 4] = 0x0F;
    fsprobe::store_le32(into + 16 + 8, 1000); // inside sectors 63..4062
    fsprobe::store_le32(into + 16 + 12, 100);
    auto inside = record(0, into);
    uint8_t ebr[64] {};
    auto second = record(1000 * 512, ebr);
    inside.insert(inside.end(), second.begin(), second.end());
    EXPECT_EQ(check(inside, &at), BS_CHECK_INSIDE_VOLUME);
    EXPECT_EQ(at, 1u);

    // Random entries behind a good master boot record.
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        auto noise = random_bytes(3 * 72, seed);
        auto file = record(0, d.bytes().data() + 446);
        for (int k = 0; k < 3; ++k)
            fsprobe::store_le64(noise.data() + 72 * k, (load_le64(noise.data() + 72 * k) % 20000) * 512);
        file.insert(file.end(), noise.begin(), noise.end());
        EXPECT_NE(check(file, nullptr), BS_CHECK_OK) << "seed " << seed;
        EXPECT_EQ(restore(path, file), 1) << "seed " << seed;
    }
    EXPECT_EQ(restore(path, moved), 1);
    EXPECT_EQ(restore(path, inside), 1);
    EXPECT_EQ(sha256_file(path), hash) << "a refused file wrote to the disk";

    // A backup of another disk: its chain starts where this disk has a
    // volume's boot sector.
    DiskBuilder other(20000);
    other.mbr({ { 0x80, 0x0C, 4063, 8000 } });
    put_fat(other, 32, 4063, 8000, 4063);
    auto other_path = image("other.img", other.bytes());
    const std::string other_hash = sha256_file(other_path);
    BgReader* disk = open_image(other_path);
    fs::path in = m_tmp / "foreign.bin";
    write_file(in, good);
    int fd = ::open(in.c_str(), O_RDONLY);
    EXPECT_EQ(bs_check_backup(disk, fd, &at), BS_CHECK_NOT_TABLE_SECTOR);
    EXPECT_EQ(at, 1u);
    ::close(fd);
    EXPECT_EQ(restore(other_path, good), 1);
    EXPECT_EQ(sha256_file(other_path), other_hash);

    // Where the second record goes this disk holds data now: refused. A
    // wiped table there (zeros) is what a restore is for.
    auto bytes = d.bytes();
    const uint64_t second_at = load_le64(good.data() + 2 * 72);
    auto data = random_bytes(512, 3);
    std::copy(data.begin(), data.end(), bytes.begin() + long(second_at));
    write_file(path, bytes);
    EXPECT_EQ(check(good, &at), BS_CHECK_NOT_TABLE_SECTOR);
    EXPECT_EQ(at, 2u);
    std::fill_n(bytes.begin() + long(second_at), 512, 0);
    write_file(path, bytes);
    EXPECT_EQ(check(good, &at), BS_CHECK_OK);
    ASSERT_EQ(restore(path, good), 0);
    EXPECT_TRUE(read_file(path) == d.bytes());
}

// Sector 0 saved as it was (zeros, or a volume boot sector's code) is one
// record at offset 0 and stays restorable whatever its bytes say.
TEST_F(PartitionBackup, ASingleRecordOfSectorZeroIsAlwaysRestorable)
{
    const auto sizes = std::vector<uint32_t>{ 512, 4096 };
    for (uint64_t seed = 0; seed < 50; ++seed) {
        auto file = seed == 0 ? std::vector<uint8_t>(72, 0) : random_bytes(72, seed);
        std::fill_n(file.begin(), 8, 0);
        EXPECT_EQ(fsprobe::partition::check_records(file.data(), 1, 20000 * 512, sizes.data(), 2).result, 0)
            << "seed " << seed;
    }
    uint8_t ext[64] {};
    ext[4] = 0x0F;
    fsprobe::store_le32(ext + 8, 100);
    fsprobe::store_le32(ext + 12, 100);
    auto file = record(0, ext);
    uint8_t link[64] {};
    auto r = record(100 * 4096, link);
    file.insert(file.end(), r.begin(), r.end());
    // Counted in 4096-byte sectors the chain holds; in 512-byte ones it does not.
    EXPECT_EQ(fsprobe::partition::check_records(file.data(), 2, 0, sizes.data(), 2).result, 0);
    EXPECT_EQ(fsprobe::partition::check_records(file.data(), 2, 0, sizes.data(), 1).result, 4);
}

// Third-party samples: backed up with the table sectors mmls (The Sleuth Kit)
// lists, or refused; a backup restored onto the same disk changes nothing.
TEST_F(PartitionBackup, SharedSamples)
{
    struct Sample {
        const char* name;
        std::vector<uint64_t> offsets; // empty: refused
    };
    const Sample samples[] = {
        { "partitions/mbr-512-p0.bin", { 0 } },
        { "partitions/mbr-512-p1.bin", { 0 } },
        { "partitions/mbr-512-p4.bin", { 0 } },
        { "partitions/mbr-512-p1e2.bin", { 0, 1 * 512, 513 * 512 } },
        { "partitions/mbr-512-p1e2_2.bin", { 0, 65 * 512, 101 * 512 } },
        { "partitions/mbr-4096-p1e0.bin", { 0, 126 * 4096 } },
        { "partitions/mbr-4096-p1e1.bin", { 0, 8 * 4096 } },
        { "partitions/dfvfs-mbr.raw", { 0, 130 * 512 } },
        { "partitions/dfvfs-mbr_old.raw", { 0, 351 * 512 } },
        { "partitions/gpt-512-0p.raw", {} }, // a GPT is not what these records can hold
        { "partitions/gpt-512-3p.raw", {} },
    };
    int seen = 0;
    for (const Sample& sample : samples) {
        auto path = shared_image(sample.name, m_tmp.path());
        if (!path)
            continue;
        ++seen;
        SCOPED_TRACE(sample.name);
        fs::permissions(*path, fs::perms::owner_read | fs::perms::owner_write);
        const std::string hash = sha256_file(*path);
        std::vector<uint8_t> file;
        int32_t result = backup(*path, file);
        if (sample.offsets.empty()) {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(file.empty());
            continue;
        }
        ASSERT_EQ(result, 0);
        ASSERT_EQ(file.size(), sample.offsets.size() * 72);
        for (size_t k = 0; k < sample.offsets.size(); ++k)
            EXPECT_EQ(load_le64(file.data() + 72 * k), sample.offsets[k]) << "record " << k;
        EXPECT_EQ(restore(*path, file), 0);
        EXPECT_EQ(sha256_file(*path), hash);
    }
    if (seen == 0)
        GTEST_SKIP() << "the shared test images are absent";
}
