// Virtual volumes over RAID members: the layout table, reads of every layout
// (with each member missing in turn), the refusals, and the family's exports.
#include "disk_builder.h"
#include "memory_volume.h"
#include "raid_builder.h"
#include "test_support.h"

#include "ArraySession.h"

#include <fsprobe/raid.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

namespace {

using namespace salvor_test;

// Members held in memory and the record that describes them.
struct Array {
    std::vector<std::unique_ptr<MemoryVolume>> members;
    RaidParams params {};

    Array(const std::vector<std::vector<uint8_t>>& bytes, const RaidShape& shape, int missing = -1)
    {
        std::memset(&params, 0, sizeof params);
        params.level = uint8_t(shape.level);
        params.layout = shape.layout;
        params.stripe_size = shape.stripe;
        params.first_sector = shape.first;
        params.member_count = uint16_t(bytes.size());
        for (size_t i = 0; i < bytes.size(); ++i) {
            members.push_back(std::make_unique<MemoryVolume>(bytes[i], BG_FS_UNKNOWN, shape.sector));
            params.members[i] = int(i) == missing ? BG_RAID_MISSING : members[i]->reader();
        }
    }
    ~Array() { RAID_exit(); }
};

// Packed fields are compared by value.
template <typename T> T copy(T value) { return value; }

uint32_t place(uint32_t column, uint32_t parity) { return column | parity << 8; }

TEST(RaidLayout, MapBlockFollowsTheLayoutTable)
{
    RaidParams p {};
    p.member_count = 3;
    p.level = BG_RAID_LEVEL_PARITY;
    // Rows 0..2 of three members: data blocks 0..5 and where each row's parity is.
    struct Case {
        uint32_t code;
        uint32_t expected[6];
    };
    const Case cases[] = {
        { BG_RAID_LEFT_ASYMMETRIC, { place(0, 2), place(1, 2), place(0, 1), place(2, 1), place(1, 0), place(2, 0) } },
        { BG_RAID_RIGHT_ASYMMETRIC, { place(1, 0), place(2, 0), place(0, 1), place(2, 1), place(0, 2), place(1, 2) } },
        { BG_RAID_LEFT_SYMMETRIC, { place(0, 2), place(1, 2), place(2, 1), place(0, 1), place(1, 0), place(2, 0) } },
        { BG_RAID_RIGHT_SYMMETRIC, { place(1, 0), place(2, 0), place(2, 1), place(0, 1), place(0, 2), place(1, 2) } },
        { BG_RAID_PARITY_FIRST, { place(1, 0), place(2, 0), place(1, 0), place(2, 0), place(1, 0), place(2, 0) } },
        { BG_RAID_PARITY_LAST, { place(0, 2), place(1, 2), place(0, 2), place(1, 2), place(0, 2), place(1, 2) } },
    };
    for (const auto& c : cases) {
        p.layout = c.code;
        for (uint64_t b = 0; b < 6; ++b)
            EXPECT_EQ(bg_raid_map_block(&p, b), c.expected[b]) << "code " << c.code << " block " << b;
    }
    p.level = BG_RAID_LEVEL_STRIPE;
    p.layout = BG_RAID_NO_PARITY;
    p.member_count = 4;
    for (uint64_t b = 0; b < 9; ++b)
        EXPECT_EQ(bg_raid_map_block(&p, b), place(uint32_t(b % 4), 0xFF));
    // Records that describe no layout.
    p.level = BG_RAID_LEVEL_PARITY;
    p.layout = BG_RAID_NO_PARITY;
    EXPECT_EQ(bg_raid_map_block(&p, 0), 0xFFFFu);
    p.layout = 0;
    p.member_count = 0;
    EXPECT_EQ(bg_raid_map_block(&p, 0), 0xFFFFu);
    p.member_count = 17;
    EXPECT_EQ(bg_raid_map_block(&p, 0), 0xFFFFu);
    EXPECT_EQ(bg_raid_map_block(nullptr, 0), 0xFFFFu);
}

// Reads the whole volume in pieces of odd sizes at odd places and compares.
void expect_reads_volume(BgVolume* volume, const std::vector<uint8_t>& expected, uint64_t seed, const std::string& what)
{
    ASSERT_NE(volume, nullptr) << what;
    BgReader* r = volume->reader;
    ASSERT_GE(volume->size, expected.size()) << what;
    ASSERT_EQ(r->size(r), volume->size) << what;
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> buf;
    // Sequential, in pieces that cross stripe boundaries.
    uint64_t off = 0;
    while (off < volume->size) {
        const uint32_t n = uint32_t(1 + rng() % 70000);
        buf.assign(n, 0xCC);
        const uint32_t got = r->read(r, buf.data(), n, off);
        ASSERT_EQ(got, std::min<uint64_t>(n, volume->size - off)) << what << " at " << off;
        for (uint32_t i = 0; i < got; ++i) {
            const uint8_t want = off + i < expected.size() ? expected[off + i] : 0;
            if (buf[i] != want) {
                FAIL() << what << ": byte " << off + i << " is " << int(buf[i]) << ", not " << int(want);
            }
        }
        off += got;
    }
    // Nothing past the end.
    EXPECT_EQ(r->read(r, buf.data(), 1, volume->size), 0u) << what;
}

TEST(RaidVolume, EveryLayoutReadsBackTheVolumeWithEachMemberMissing)
{
    const auto volume = random_bytes(200 * 1024 + 333, 7);
    const uint32_t stripes[] = { 1, 8, 128 };
    int configurations = 0;
    for (uint32_t n = 2; n <= 4; ++n) {
        for (uint32_t code = 0; code <= 6; ++code) {
            for (uint32_t s = 0; s < 3; ++s) {
                RaidShape shape;
                shape.level = code == 6 ? 0 : 1;
                shape.layout = code;
                shape.members = n;
                shape.stripe = stripes[s];
                shape.first = (n + code + s) % 2 ? 63 : 2048;
                const auto bytes = stripe_volume(volume, shape);
                for (int missing = -1; missing < int(shape.level ? n : 0); ++missing) {
                    const std::string what = raid_spec(shape) + " over " + std::to_string(n) + " members, missing "
                        + std::to_string(missing);
                    Array a(bytes, shape, missing);
                    ASSERT_EQ(Professional_Mode(&a.params), 1) << what << ": " << raid_last_failure();
                    EXPECT_EQ(copy(a.params.missing_index), missing) << what;
                    EXPECT_EQ(copy(a.params.open), 1u) << what;
                    EXPECT_EQ(bg_raid_context.load(), &a.params) << what;
                    expect_reads_volume(a.params.volume, volume, n * 100 + code * 10 + s, what);
                    ++configurations;
                }
            }
        }
    }
    EXPECT_GT(configurations, 200);
}

TEST(RaidVolume, UnpublishedVolumeReadsItsMemberFromTheFirstSector)
{
    RaidShape shape;
    shape.level = 1;
    shape.layout = 0;
    shape.members = 3;
    shape.stripe = 8;
    shape.first = 63;
    const auto bytes = stripe_volume(random_bytes(64 * 1024, 3), shape);
    Array a(bytes, shape, 0);
    BgRaidOpen how {};
    how.member = 0xFF;
    how.first_sector = 63;
    // The first present member (column 0 is missing).
    BgVolume* v = bg_open_virtual_volume(a.params.members, &how);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->disk_number, 16);
    EXPECT_EQ(bg_is_virtual_volume(v), 1);
    EXPECT_EQ(v->size, bytes[1].size() - 63 * 512);
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(v->reader->read(v->reader, buf.data(), 4096, 512), 4096u);
    EXPECT_EQ(0, std::memcmp(buf.data(), bytes[1].data() + 64 * 512, 4096));
    bg_close_volume(v);
    EXPECT_EQ(bg_is_virtual_volume(v), 0);
    how.first_sector = uint32_t(bytes[1].size() / 512); // at the end: nothing to read
    EXPECT_EQ(bg_open_virtual_volume(a.params.members, &how), nullptr);
    how.first_sector = 0;
    how.member = 0; // the missing one
    EXPECT_EQ(bg_open_virtual_volume(a.params.members, &how), nullptr);
}

TEST(RaidVolume, WindowsReadOnlyTheirRange)
{
    const auto bytes = random_bytes(64 * 1024, 21);
    MemoryVolume m(bytes);
    EXPECT_EQ(bg_open_window(m.reader(), 64 * 1024, 1), nullptr) << "starts at the end";
    EXPECT_EQ(bg_open_window(m.reader(), 512, 64 * 1024), nullptr) << "ends beyond the end";
    EXPECT_EQ(bg_open_window(m.reader(), 0, 0), nullptr);
    EXPECT_EQ(bg_open_window(BG_RAID_MISSING, 0, 512), nullptr);
    BgReader* w = bg_open_window(m.reader(), 1024, 4096);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->size(w), 4096u);
    EXPECT_EQ(w->bytes_per_sector, 512u);
    std::vector<uint8_t> buf(8192, 0);
    EXPECT_EQ(w->read(w, buf.data(), 8192, 0), 4096u);
    EXPECT_EQ(0, std::memcmp(buf.data(), bytes.data() + 1024, 4096));
    EXPECT_EQ(w->read(w, buf.data(), 10, 4096), 0u);
    EXPECT_EQ(w->write(w, buf.data(), 10, 0), 0u) << "windows are read-only";
    EXPECT_EQ(m.writes(), 0u);
    // A window of a window.
    BgReader* inner = bg_open_window(w, 512, 512);
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(inner->read(inner, buf.data(), 4096, 0), 512u);
    EXPECT_EQ(0, std::memcmp(buf.data(), bytes.data() + 1536, 512));
    bg_release_devices();
}

// Professional_Mode refuses the record with a reason naming the fault, and
// leaves the published record and the record's volume as they were.
void expect_refused(RaidParams& p, const std::string& words)
{
    RaidParams* before = bg_raid_context.load();
    BgVolume* volume = p.volume;
    EXPECT_EQ(Professional_Mode(&p), 0) << words;
    EXPECT_NE(std::string(raid_last_failure()).find(words), std::string::npos)
        << "reason: " << raid_last_failure() << "\nexpected: " << words;
    EXPECT_EQ(bg_raid_context.load(), before);
    EXPECT_EQ(copy(p.volume), volume);
}

TEST(RaidVolume, UnusableLayoutsAreRefusedWithAReason)
{
    RaidShape shape;
    shape.level = 1;
    shape.layout = 2;
    shape.members = 3;
    shape.stripe = 16;
    shape.first = 0;
    const auto bytes = stripe_volume(random_bytes(100 * 1024, 5), shape);
    {
        auto shorter = bytes;
        shorter[2].resize(shorter[2].size() - 512);
        Array a(shorter, shape);
        expect_refused(a.params, "member 2 is shorter than the others");
    }
    {
        Array a(bytes, shape);
        a.params.stripe_size = 0;
        expect_refused(a.params, "stripe size is 0");
        a.params.stripe_size = 1u << 31;
        expect_refused(a.params, "larger than the 65536");
        a.params.stripe_size = 4096; // larger than a member
        expect_refused(a.params, "no whole stripe");
    }
    {
        Array a(bytes, shape);
        a.params.members[2] = nullptr; // the list ends early
        expect_refused(a.params, "ends after 2 of the 3 members");
        a.params.member_count = 0;
        a.params.members[0] = nullptr;
        expect_refused(a.params, "no members");
    }
    {
        Array a(bytes, shape);
        a.params.member_count = 17;
        expect_refused(a.params, "at most 16");
        a.params.member_count = 2; // three listed
        expect_refused(a.params, "more members than the 2");
    }
    {
        // Every slot filled: the record cannot end its list.
        Array a(bytes, shape);
        for (int i = 3; i <= BG_RAID_MAX_MEMBERS; ++i)
            a.params.members[i] = a.members[0]->reader();
        a.params.member_count = BG_RAID_MAX_MEMBERS;
        expect_refused(a.params, "more members than the 16");
    }
    {
        Array a(bytes, shape);
        a.params.level = 2;
        expect_refused(a.params, "level 2");
        a.params.level = 1;
        a.params.layout = 6;
        expect_refused(a.params, "layout code 6 is not a parity layout");
        a.params.layout = 2;
        a.params.members[0] = BG_RAID_MISSING;
        a.params.members[1] = BG_RAID_MISSING;
        expect_refused(a.params, "members 0 and 1 are missing");
        a.params.level = 0;
        a.params.members[1] = a.members[1]->reader();
        expect_refused(a.params, "cannot rebuild");
    }
    {
        Array a(bytes, shape);
        a.params.first_sector = uint32_t(bytes[0].size() / 512);
        expect_refused(a.params, "beyond the members' end");
    }
    {
        Array a(bytes, shape);
        MemoryVolume odd(bytes[1], BG_FS_UNKNOWN, 4096);
        a.params.members[1] = odd.reader();
        expect_refused(a.params, "4096-byte sectors");
    }
    EXPECT_EQ(Professional_Mode(nullptr), 0);
}

TEST(RaidVolume, MemberReadFailureEndsTheReadShort)
{
    RaidShape shape;
    shape.level = 1;
    shape.layout = 3;
    shape.members = 3;
    shape.stripe = 8;
    const auto volume = random_bytes(96 * 1024, 9);
    const auto bytes = stripe_volume(volume, shape);
    for (int missing : { -1, 0 }) {
        Array a(bytes, shape, missing);
        ASSERT_EQ(Professional_Mode(&a.params), 1) << raid_last_failure();
        BgReader* r = a.params.volume->reader;
        // Member 2 loses its second half after the open (a failing disk).
        a.members[2]->bytes().resize(bytes[2].size() / 2);
        std::vector<uint8_t> buf(a.params.volume->size);
        const uint32_t got = r->read(r, buf.data(), uint32_t(buf.size()), 0);
        EXPECT_LT(got, buf.size());
        EXPECT_EQ(bg_read_error(), EIO);
        EXPECT_EQ(0, std::memcmp(buf.data(), volume.data(), got)) << "what was delivered is right";
    }
}

TEST(RaidVolume, PartitionTableInsideTheArrayListsItsVolumes)
{
    DiskBuilder disk(8192);
    disk.mbr({ { 0, 0x0C, 2048, 2048 }, { 0, 0x07, 4096, 4000 } });
    disk.put(2048 * 512, fat_boot_sector(32, 2048, 2048, 1));
    disk.put(4096 * 512, ntfs_boot_sector(4000, 4096));
    RaidShape shape;
    shape.level = 0;
    shape.members = 3;
    shape.stripe = 32;
    shape.first = 63;
    Array a(stripe_volume(disk.bytes(), shape), shape);
    ASSERT_EQ(Professional_Mode(&a.params), 1) << raid_last_failure();
    BgVolume* array = a.params.volume;
    EXPECT_EQ(array->fs_code, BG_FS_UNKNOWN);
    BgVolume* parts[4] {};
    ASSERT_EQ(bg_virtual_partitions(array, parts, 4), 2u);
    EXPECT_EQ(parts[0]->start, 2048u * 512);
    EXPECT_EQ(parts[0]->size, 2048u * 512);
    EXPECT_EQ(parts[0]->fs_code, BG_FS_FAT32);
    EXPECT_EQ(parts[1]->fs_code, BG_FS_NTFS);
    EXPECT_EQ(parts[0]->disk_number, 16);
    std::vector<uint8_t> boot(512);
    ASSERT_EQ(parts[1]->reader->read(parts[1]->reader, boot.data(), 512, 0), 512u);
    EXPECT_EQ(0, std::memcmp(boot.data(), disk.bytes().data() + 4096 * 512, 512));
    int listed = 0;
    for (BgVolumeNode* n = bg_volume_list; n; n = n->next)
        listed += n->volume == parts[0] || n->volume == parts[1];
    EXPECT_EQ(listed, 2);
    RAID_exit();
    for (BgVolumeNode* n = bg_volume_list; n; n = n->next)
        EXPECT_NE(n->volume->disk_number, 16) << "a closed array's volume is still listed";
}

TEST(RaidExports, ManualOpenAndRelease)
{
    RaidShape shape;
    shape.level = 1;
    shape.layout = 0;
    shape.members = 3;
    shape.stripe = 8;
    const auto bytes = stripe_volume(random_bytes(64 * 1024, 11), shape);
    {
        // The second member missing: the volume opens over the first.
        Array a(bytes, shape, 1);
        ASSERT_EQ(Professional_Mode(&a.params), 1) << raid_last_failure();
        EXPECT_EQ(copy(a.params.missing_index), 1);
        // A second open of the family closes the first volume.
        BgVolume* first = a.params.volume;
        Array b(bytes, shape);
        ASSERT_EQ(Professional_Mode(&b.params), 1);
        EXPECT_EQ(bg_is_virtual_volume(first), 0);
        EXPECT_EQ(bg_raid_context.load(), &b.params);
        EXPECT_EQ(copy(b.params.missing_index), -1);
        // Level 0 is opened with layout code 6 whatever the record said.
        RaidShape striped = shape;
        striped.level = 0;
        striped.layout = 6;
        Array c(stripe_volume(random_bytes(64 * 1024, 12), striped), striped);
        c.params.layout = 3;
        ASSERT_EQ(Professional_Mode(&c.params), 1);
        EXPECT_EQ(copy(c.params.layout), 6u);
    }
    {
        Array a(bytes, shape);
        a.params.members[0] = nullptr;
        EXPECT_EQ(Professional_Mode(&a.params), 0);
    }
    // Nothing open and no list.
    RaidParams dummy {};
    bg_raid_context.store(&dummy);
    EXPECT_EQ(RAID_exit(), 0);
    EXPECT_EQ(bg_raid_context.load(), nullptr);
    EXPECT_EQ(RAID_Free_JUDGE_INFO(nullptr) & 0xFF, 1);
    EXPECT_EQ(Get_RAID_Paramerers(), nullptr);
    // A candidate list of the family is freed by RAID_exit (and only once).
    RaidParams p {};
    p.first_sector = 63;
    p.stripe_size = 128;
    RaidJudgeInfo* head = fsprobe::raid::new_candidate(p);
    head->next = fsprobe::raid::new_candidate(p);
    EXPECT_EQ(head->order[0], 0xFF);
    EXPECT_EQ(copy(head->layout), 0xFFFFFFFFu);
    EXPECT_EQ(copy(head->first_sector), 63u);
    EXPECT_EQ(copy(head->stripe_size), 128u);
    head->next->next = head; // a damaged list that loops
    fsprobe::raid::session().replace_candidates(head);
    EXPECT_EQ(Get_RAID_Paramerers(), head);
    EXPECT_EQ(RAID_exit(), 1);
    EXPECT_EQ(Get_RAID_Paramerers(), nullptr);
    EXPECT_EQ(RAID_exit(), 0);
    // Listing without an open array, or of one that holds no NTFS.
    EXPECT_EQ(Show_File_Info(&p, nullptr), nullptr);
    EXPECT_NE(std::string(raid_last_failure()), "");
    Array a(bytes, shape);
    ASSERT_EQ(Professional_Mode(&a.params), 1);
    EXPECT_EQ(Show_File_Info(&a.params, nullptr), nullptr);
    EXPECT_NE(std::string(raid_last_failure()).find("no NTFS"), std::string::npos) << raid_last_failure();
}

TEST(RaidExports, FillRebuildsTheMissingBuffer)
{
    const size_t length = 4096 + 3;
    std::vector<std::vector<uint8_t>> bufs = { random_bytes(length, 1), random_bytes(length, 2),
        random_bytes(length, 3), std::vector<uint8_t>(length, 0xAA) };
    std::vector<uint8_t> parity(length, 0);
    for (int i = 0; i < 3; ++i)
        for (size_t k = 0; k < length; ++k)
            parity[k] ^= bufs[i][k];
    const auto lost = bufs[1];
    bufs[1].assign(length, 0x55);
    bufs[3] = parity;
    MemoryVolume m(std::vector<uint8_t>(4096));
    RaidParams p {};
    p.level = 1;
    p.member_count = 4;
    p.members[0] = m.reader();
    p.members[1] = BG_RAID_MISSING;
    p.members[2] = m.reader();
    p.members[3] = m.reader();
    uint8_t* ptrs[4] = { bufs[0].data(), bufs[1].data(), bufs[2].data(), bufs[3].data() };
    EXPECT_EQ(bg_raid_fill(&p, ptrs, uint32_t(length)), 1);
    EXPECT_EQ(bufs[1], lost);
    p.members[1] = m.reader();
    EXPECT_EQ(bg_raid_fill(&p, ptrs, uint32_t(length)), 0) << "no member missing";
    p.members[1] = BG_RAID_MISSING;
    p.members[2] = BG_RAID_MISSING;
    EXPECT_EQ(bg_raid_fill(&p, ptrs, uint32_t(length)), 0) << "two missing";
    p.level = 0;
    EXPECT_EQ(bg_raid_fill(&p, ptrs, uint32_t(length)), 0);
}

// The RAID 5 sets of real Windows dynamic disks (shared test data): the root
// listed through Show_File_Info holds test.txt, and its data read through
// the NTFS engine is what Windows wrote, with each member left out in turn.
TEST(RaidExports, DynamicDiskRaid5ListsAndReadsTestTxt)
{
    auto shared = shared_testdata_dir();
    if (!shared || !fs::exists(*shared / "ldm" / "ldm-data.tar.xz"))
        GTEST_SKIP() << "../shared/testdata/ldm is absent";
    TempDir dir;
    ASSERT_EQ(
        run("tar -xJf '" + (*shared / "ldm" / "ldm-data.tar.xz").string() + "' -C '" + dir.path().string() + "'"), 0);
    struct Set {
        std::vector<std::string> files; // in column order
        std::vector<uint64_t> sectors; // where each member's array data starts
    };
    // Left symmetric (code 2), columns in partition-index order; 2008 R2 mixes
    // an MBR dynamic disk (data area at 63) and GPT ones (at 65570).
    const Set sets[] = {
        { { "2003r2-raid5-3", "2003r2-raid5-2", "2003r2-raid5-1" }, { 63, 63, 63 } },
        { { "2008r2-raid5-1", "2008r2-raid5-2", "2008r2-raid5-3" }, { 128, 65664, 65664 } },
    };
    const std::string expected = "Filesystem test";
    for (const auto& set : sets) {
        for (int missing = -1; missing < 3; ++missing) {
            const std::string what = set.files[0] + " missing " + std::to_string(missing);
            bg_set_real_disks(0);
            bg_clear_images();
            for (const auto& f : set.files)
                ASSERT_EQ(bg_add_image((dir / ("ldm-" + f + ".img")).string().c_str()), 0);
            bg_scan_disks();
            bg_scan_volumes();
            RaidParams p {};
            p.level = 1;
            p.layout = BG_RAID_LEFT_SYMMETRIC;
            p.stripe_size = 128;
            p.member_count = 3;
            // Every member from its data on, cut to the shortest.
            uint64_t common = UINT64_MAX;
            int i = 0;
            for (BgDiskNode* d = bg_disk_list; d; d = d->next, ++i)
                common = std::min(common, bg_object_size(d->disk) - set.sectors[size_t(i)] * 512);
            i = 0;
            for (BgDiskNode* d = bg_disk_list; d; d = d->next, ++i) {
                const uint64_t offset = set.sectors[size_t(i)] * 512;
                BgReader* window = bg_open_window(d->disk, offset, common);
                ASSERT_NE(window, nullptr);
                p.members[i] = i == missing ? BG_RAID_MISSING : window;
            }
            ASSERT_EQ(i, 3);
            ASSERT_EQ(Professional_Mode(&p), 1) << what << ": " << raid_last_failure();
            ASSERT_EQ(p.volume->fs_code, BG_FS_NTFS) << what;
            NtfsFileInfo* head = Show_File_Info(&p, nullptr);
            ASSERT_NE(head, nullptr) << what << ": " << raid_last_failure();
            const NtfsFileInfo* found = nullptr;
            for (const NtfsFileInfo* f = head; f; f = f->next) {
                std::string name;
                for (int k = 0; k < f->name_length && k < 128; ++k)
                    name += char(f->name[2 * k]);
                if (name == "test.txt")
                    found = f;
            }
            ASSERT_NE(found, nullptr) << what << ": no test.txt in the root";
            const uint64_t record = found->record_number;
            EXPECT_EQ(Ntfs_Get_FlieSize(uint32_t(record & 0xFFFFFFFFFFFFull), 0, nullptr), expected.size()) << what;
            std::string data(expected.size(), '\0');
            Ntfs_RWfile_Set(1);
            ASSERT_EQ(Ntfs_Get_Data(uint32_t(record & 0xFFFFFFFFFFFFull), 0, data.data(), uint32_t(data.size())),
                NTFS_DATA_OK)
                << what;
            EXPECT_EQ(data, expected) << what;
            NTFS_Free_File_Info(head);
            EXPECT_EQ(RAID_exit(), 0);
            bg_release_devices();
        }
    }
    bg_clear_images();
    bg_set_real_disks(1);
}

} // namespace
