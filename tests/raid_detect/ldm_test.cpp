// The dynamic-disk side of the layout detection on the real Windows Server
// 2003 R2 and 2008 R2 dynamic disks of the shared test data: the member
// probe, the database parser and Smart_Mode's metadata method, checked
// against what the disks' own databases say (ldmtool read them the same way),
// and damaged copies of a database, one field changed at a time.
#include <ondisk/ldm.h>

#include <test_support.h>

#include <blockgate/blockgate.h>
#include <blockgate/member.h>
#include <blockgate/raid.h>
#include <fsprobe/ntfs.h>
#include <fsprobe/raid.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

using namespace ondisk;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t found = 0x80000000u;

// The disks of ldm-data.tar.xz, unpacked once for the whole suite.
class LdmDisks : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        auto shared = salvor_test::shared_testdata_dir();
        if (!shared || !fs::exists(*shared / "ldm/ldm-data.tar.xz"))
            return;
        s_dir = std::make_unique<salvor_test::TempDir>();
        const std::string cmd = "tar -xJf '" + (*shared / "ldm/ldm-data.tar.xz").string() + "' -C '"
                                + s_dir->path().string() + "'";
        if (salvor_test::run(cmd) != 0)
            s_dir.reset();
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    void SetUp() override
    {
        if (!s_dir)
            GTEST_SKIP() << "../shared/testdata/ldm/ldm-data.tar.xz is absent";
    }
    void TearDown() override
    {
        RAID_exit();
        bg_release_devices();
        bg_clear_images();
    }

    static fs::path disk(const std::string& name) { return s_dir->path() / ("ldm-" + name + ".img"); }

    // Opens the named disks (names like "2003r2-raid5-1", "missing" for a
    // missing member) and fills `params` with them in that order.
    void open_members(const std::vector<std::string>& names, uint8_t level)
    {
        bg_set_real_disks(0);
        bg_clear_images();
        for (const auto& n : names)
            if (n != "missing")
                ASSERT_EQ(bg_add_image(disk(n).c_str()), 0) << n;
        bg_scan_disks();
        bg_scan_volumes();
        std::memset(&params, 0, sizeof params);
        params.level = level;
        params.member_count = uint16_t(names.size());
        BgDiskNode* node = bg_disk_list;
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == "missing") {
                params.members[i] = BG_RAID_MISSING;
                continue;
            }
            ASSERT_NE(node, nullptr);
            params.members[i] = node->disk;
            node = node->next;
        }
    }

    // A candidate copied out of its packed record.
    struct Cand {
        std::vector<uint8_t> order;
        uint32_t layout, first_sector, stripe_size;
        const RaidJudgeInfo* node;
    };
    std::vector<Cand> candidates()
    {
        std::vector<Cand> out;
        for (RaidJudgeInfo* c = Get_RAID_Paramerers(); c && out.size() < 32; c = c->next)
            out.push_back({ std::vector<uint8_t>(c->order, c->order + 16), c->layout, c->first_sector, c->stripe_size, c });
        return out;
    }

    static std::vector<uint8_t> order_of(const Cand& c, size_t columns)
    {
        return std::vector<uint8_t>(c.order.begin(), c.order.begin() + columns);
    }

    static inline std::unique_ptr<salvor_test::TempDir> s_dir;
    RaidParams params {};
};

TEST_F(LdmDisks, ProbeFindsTheDatabaseOnMbrAndGptDynamicDisks)
{
    // 2008 R2 set: disk 1 is an MBR dynamic disk, disk 2 a GPT one.
    open_members({ "2008r2-striped-1", "2008r2-striped-2", "2003r2-simple-1" }, 0);
    BgMemberLocation mbr {}, gpt {}, old {};
    ASSERT_NE(bg_probe_member(params.members[0], &mbr), 0);
    EXPECT_EQ(mbr.scheme, BG_MEMBER_MBR);
    EXPECT_EQ(mbr.database_offset, 100352u * 512); // the last 2048 sectors of the disk
    EXPECT_EQ(mbr.data_offset, 63u * 512);
    EXPECT_STREQ(mbr.disk_guid, "06495a94-fbfd-11e1-8cf9-52540061f5db");
    ASSERT_NE(bg_probe_member(params.members[1], &gpt), 0);
    EXPECT_EQ(gpt.scheme, BG_MEMBER_GPT);
    EXPECT_EQ(gpt.database_offset, 34u * 512);     // the LDM metadata partition
    EXPECT_EQ(gpt.data_offset, 65570u * 512);      // the LDM data partition
    EXPECT_EQ(gpt.data_size, 36797u * 512);
    EXPECT_STREQ(gpt.disk_guid, "06495a98-fbfd-11e1-8cf9-52540061f5db");
    ASSERT_NE(bg_probe_member(params.members[2], &old), 0);
    EXPECT_EQ(old.data_offset, 63u * 512);

    // Not a member at all: a missing entry, a null reader, no out record.
    EXPECT_EQ(bg_probe_member(BG_RAID_MISSING, &old), 0);
    EXPECT_EQ(bg_probe_member(nullptr, &old), 0);
    EXPECT_EQ(bg_probe_member(params.members[0], nullptr), 0);
}

TEST_F(LdmDisks, DatabaseHoldsTheGroupsVolumesWithFragmentedRecordsJoined)
{
    // The 2003 R2 disk records span two VBLKs each.
    auto bytes = salvor_test::read_file(disk("2003r2-striped-1"));
    ASSERT_GE(bytes.size(), (100352u + 2048u) * 512);
    ByteView area(bytes.data() + 100352u * 512, ldm::database_size);
    auto db = ldm::parse_database(area);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->corrupt_records, 0u);
    EXPECT_EQ(db->volumes.size(), db->header.volume_count);
    EXPECT_EQ(db->volumes.size(), 6u);
    EXPECT_EQ(db->disks.size(), db->header.disk_count);
    EXPECT_EQ(db->disks.size(), 10u);
    std::map<std::string, const ldm::VolumeRecord*> by_name;
    for (const auto& v : db->volumes)
        by_name[v.name] = &v;
    ASSERT_TRUE(by_name.count("Stripe1") && by_name.count("Raid1") && by_name.count("Volume1"));
    EXPECT_EQ(by_name["Stripe1"]->type, "gen");
    EXPECT_EQ(by_name["Stripe1"]->size, 122880u);
    EXPECT_EQ(by_name["Raid1"]->type, "raid5");
    EXPECT_EQ(by_name["Raid1"]->size, 192512u);
    const ldm::DiskRecord* d4 = db->disk_with_guid("6c7ca470-6934-4dfd-9269-c3102b9ae158");
    ASSERT_NE(d4, nullptr);
    EXPECT_EQ(d4->name, "Disk4");
    // The striped volume's component and its two partitions.
    const ldm::ComponentRecord* stripe = nullptr;
    for (const auto& c : db->components)
        if (c.parent_id == by_name["Stripe1"]->id)
            stripe = &c;
    ASSERT_NE(stripe, nullptr);
    EXPECT_EQ(stripe->type, ldm::component_stripe);
    EXPECT_EQ(stripe->stripe_size, 128u);
    EXPECT_EQ(stripe->columns, 2u);
    int parts = 0;
    for (const auto& p : db->partitions)
        if (p.parent_id == stripe->id) {
            ++parts;
            EXPECT_EQ(p.size, 61440u);
            EXPECT_EQ(p.start, 0u);
            // Column 0 carries no index field.
            EXPECT_EQ(p.index.has_value(), p.disk_id != d4->id) << p.name;
            EXPECT_EQ(p.index.value_or(0), p.disk_id == d4->id ? 0u : 1u) << p.name;
        }
    EXPECT_EQ(parts, 2);
}

TEST_F(LdmDisks, StripedSetsGiveTheLayoutWindowsUsed)
{
    // 2003 R2: two MBR dynamic disks, 64 KiB stripes, data from sector 63.
    open_members({ "2003r2-striped-2", "2003r2-striped-1" }, BG_RAID_LEVEL_STRIPE);
    ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
    EXPECT_EQ(bg_raid_state.load(), -1);
    auto c = candidates();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(order_of(c[0], 3), (std::vector<uint8_t> { 1, 0, 0xFF })); // Disk4 (striped-1) holds column 0
    EXPECT_EQ(c[0].layout, uint32_t(BG_RAID_NO_PARITY));
    EXPECT_EQ(c[0].stripe_size, 128u);
    EXPECT_EQ(c[0].first_sector, 63u);
    EXPECT_EQ(uint32_t(params.first_sector), 63u);
    EXPECT_EQ(uint32_t(params.stripe_size), 128u);
    EXPECT_EQ(int32_t(params.missing_index), -1);

    // 2008 R2: an MBR and a GPT disk; the partitions start at 65 and 94 of
    // their data areas, so the members start the array at different sectors.
    RAID_exit();
    open_members({ "2008r2-striped-1", "2008r2-striped-2" }, BG_RAID_LEVEL_STRIPE);
    ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
    c = candidates();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(order_of(c[0], 2), (std::vector<uint8_t> { 0, 1 }));
    EXPECT_EQ(c[0].stripe_size, 128u);
    EXPECT_EQ(c[0].first_sector, UINT32_MAX);
    RaidJudgeInfo* head = Get_RAID_Paramerers();
    EXPECT_EQ(raid_member_first_sector(head, 0), 63u + 65u);
    EXPECT_EQ(raid_member_first_sector(head, 1), 65570u + 94u);
    EXPECT_EQ(raid_member_first_sector(head, 2), UINT64_MAX);
    RaidJudgeInfo copy = *head;
    EXPECT_EQ(raid_member_first_sector(&copy, 0), UINT64_MAX); // a copy is no candidate of the list
}

TEST_F(LdmDisks, RaidFiveSetsGiveTheLayoutWindowsUsedAlsoWithAMemberMissing)
{
    open_members({ "2003r2-raid5-1", "2003r2-raid5-2", "2003r2-raid5-3" }, BG_RAID_LEVEL_PARITY);
    ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
    auto c = candidates();
    ASSERT_EQ(c.size(), 1u);
    // Disk10 (raid5-3), Disk9 (raid5-2), Disk8 (raid5-1): left symmetric.
    EXPECT_EQ(order_of(c[0], 4), (std::vector<uint8_t> { 2, 1, 0, 0xFF }));
    EXPECT_EQ(c[0].layout, uint32_t(BG_RAID_LEFT_SYMMETRIC));
    EXPECT_EQ(c[0].stripe_size, 128u);
    EXPECT_EQ(c[0].first_sector, 63u);

    // Each member left out in turn (column 0's too: the layout comes from
    // the database, not from the boot sector on column 0).
    for (int gone = 0; gone < 3; ++gone) {
        RAID_exit();
        std::vector<std::string> names = { "2003r2-raid5-1", "2003r2-raid5-2", "2003r2-raid5-3" };
        names[gone] = "missing";
        open_members(names, BG_RAID_LEVEL_PARITY);
        ASSERT_EQ(Smart_Mode(&params, 1), found) << gone << ": " << raid_last_failure();
        EXPECT_EQ(int32_t(params.missing_index), gone);
        c = candidates();
        ASSERT_EQ(c.size(), 1u);
        EXPECT_EQ(order_of(c[0], 3), (std::vector<uint8_t> { 2, 1, 0 })) << gone;
        EXPECT_EQ(c[0].layout, uint32_t(BG_RAID_LEFT_SYMMETRIC));
        EXPECT_EQ(c[0].first_sector, 63u);
    }

    RAID_exit();
    open_members({ "2008r2-raid5-3", "2008r2-raid5-1", "2008r2-raid5-2" }, BG_RAID_LEVEL_PARITY);
    ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
    c = candidates();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(order_of(c[0], 3), (std::vector<uint8_t> { 1, 2, 0 }));
    EXPECT_EQ(c[0].stripe_size, 128u);
    RaidJudgeInfo* head = Get_RAID_Paramerers();
    EXPECT_EQ(raid_member_first_sector(head, 1), 63u + 65u);
    EXPECT_EQ(raid_member_first_sector(head, 2), 65570u + 94u);
    EXPECT_EQ(raid_member_first_sector(head, 0), 65570u + 94u);
}

TEST_F(LdmDisks, NothingFoundWhereTheDatabaseHasNoSuchArrayOnTheMembers)
{
    // Level 0 over RAID-5 members: the group's striped volume lies elsewhere.
    open_members({ "2003r2-raid5-1", "2003r2-raid5-2", "2003r2-raid5-3" }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    EXPECT_NE(std::string(raid_last_failure()), "");
    EXPECT_EQ(Get_RAID_Paramerers(), nullptr);
    // A spanned volume is "gen" too, but no stripe.
    open_members({ "2003r2-spanned-1", "2003r2-spanned-2" }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    // Mirrors: two components.
    open_members({ "2003r2-mirrored-1", "2003r2-mirrored-2" }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    // One striped member and a disk of another set.
    open_members({ "2003r2-striped-1", "2003r2-simple-1" }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    // A striped array cannot do without a member.
    open_members({ "2003r2-striped-1", "missing" }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
}

TEST_F(LdmDisks, UnknownMethodOrLevelIsRefusedNotReportedAsFound)
{
    open_members({ "2003r2-striped-1", "2003r2-striped-2" }, BG_RAID_LEVEL_STRIPE);
    ASSERT_EQ(Smart_Mode(&params, 1), found);
    ASSERT_NE(Get_RAID_Paramerers(), nullptr);
    bg_raid_state.store(7);
    EXPECT_EQ(Smart_Mode(&params, 3), 0u);
    EXPECT_NE(std::string(raid_last_failure()).find("method"), std::string::npos);
    EXPECT_EQ(bg_raid_state.load(), -1);
    EXPECT_NE(Get_RAID_Paramerers(), nullptr); // untouched
    params.level = 2;
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    EXPECT_NE(std::string(raid_last_failure()).find("level"), std::string::npos);
    EXPECT_EQ(Smart_Mode(nullptr, 1), 0u);
}

// ---- the arrays themselves ------------------------------------------------------

// Every set the test data holds, as Windows built it.
struct Set {
    const char* name;
    uint8_t level;
    std::vector<std::string> disks;
};
const std::vector<Set> sets = {
    { "2003r2-striped", 0, { "2003r2-striped-1", "2003r2-striped-2" } },
    { "2003r2-raid5", 1, { "2003r2-raid5-1", "2003r2-raid5-2", "2003r2-raid5-3" } },
    { "2008r2-striped", 0, { "2008r2-striped-1", "2008r2-striped-2" } },
    { "2008r2-raid5", 1, { "2008r2-raid5-1", "2008r2-raid5-2", "2008r2-raid5-3" } },
};

// What every volume of the test data holds in test.txt.
const std::string test_txt = "Filesystem test";

TEST_F(LdmDisks, LayoutsAgreeWithLdmtool)
{
    // ldmtool (libldm) reads the same databases independently: the volume's
    // partitions in column order, their disks, starts and the chunk size.
    if (!salvor_test::require_tool("ldmtool", "ldmtool"))
        return;
    for (const Set& set : sets) {
        SCOPED_TRACE(set.name);
        std::string devices;
        for (const auto& d : set.disks)
            devices += " -d '" + disk(d).string() + "'";
        auto ldm = [&](const std::string& args) {
            std::string out;
            salvor_test::run("(ldmtool" + devices + " " + args + " 2>/dev/null)", &out);
            auto j = nlohmann::json::parse(out, nullptr, false);
            return j.is_discarded() ? nlohmann::json() : j;
        };
        const auto groups = ldm("scan");
        ASSERT_TRUE(groups.is_array() && groups.size() == 1) << groups.dump();
        const std::string group = groups[0];
        const auto group_info = ldm("show diskgroup " + group);
        nlohmann::json volume;
        for (const auto& name : group_info["volumes"]) {
            auto v = ldm("show volume " + group + " " + name.get<std::string>());
            const std::string type = v.value("type", "");
            if ((set.level == 0 && type == "striped") || (set.level == 1 && type == "RAID5")) {
                // The volume whose partitions lie on these disks.
                bool ours = true;
                for (const auto& p : v["partitions"]) {
                    auto part = ldm("show partition " + group + " " + p.get<std::string>());
                    auto d = ldm("show disk " + group + " " + part["disk"].get<std::string>());
                    ours &= d.value("present", false);
                }
                if (ours)
                    volume = v;
            }
        }
        ASSERT_TRUE(volume.is_object()) << "ldmtool shows no such volume";

        open_members(set.disks, set.level);
        ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
        RaidJudgeInfo* head = Get_RAID_Paramerers();
        ASSERT_NE(head, nullptr);
        EXPECT_EQ(uint32_t(head->stripe_size), volume["chunk-size"].get<uint32_t>());
        EXPECT_EQ(uint32_t(head->layout), set.level ? uint32_t(BG_RAID_LEFT_SYMMETRIC) : uint32_t(BG_RAID_NO_PARITY));
        size_t column = 0;
        for (const auto& p : volume["partitions"]) {
            auto part = ldm("show partition " + group + " " + p.get<std::string>());
            auto d = ldm("show disk " + group + " " + part["disk"].get<std::string>());
            const fs::path device = d["device"].get<std::string>();
            const uint8_t member = head->order[column];
            ASSERT_LT(member, set.disks.size());
            EXPECT_EQ(fs::path(disk(set.disks[member])).filename(), device.filename()) << "column " << column;
            EXPECT_EQ(raid_member_first_sector(head, member),
                      d["data-start"].get<uint64_t>() + part["start"].get<uint64_t>());
            ++column;
        }
        EXPECT_EQ(column, set.disks.size());
        RAID_exit();
    }
}

// Opens the array the detection found (members in its column order, each
// read from its own first sector) and reads test.txt from its NTFS root.
std::string read_test_txt(RaidParams& detected)
{
    RaidJudgeInfo* c = Get_RAID_Paramerers();
    if (!c)
        return "no candidate";
    static RaidParams array; // published while the volume is open
    std::memset(&array, 0, sizeof array);
    array.level = detected.level;
    array.member_count = detected.member_count;
    array.layout = c->layout;
    array.stripe_size = c->stripe_size;
    array.first_sector = 0;
    // Every member from its own first sector, all cut to the shortest.
    uint64_t common = UINT64_MAX;
    for (uint32_t k = 0; k < detected.member_count; ++k) {
        BgReader* m = detected.members[c->order[k]];
        if (m != BG_RAID_MISSING)
            common = std::min(common, bg_object_size(m) - raid_member_first_sector(c, c->order[k]) * 512);
    }
    for (uint32_t k = 0; k < detected.member_count; ++k) {
        BgReader* m = detected.members[c->order[k]];
        if (m == BG_RAID_MISSING) {
            array.members[k] = BG_RAID_MISSING;
            continue;
        }
        const uint64_t start = raid_member_first_sector(c, c->order[k]);
        array.members[k] = bg_open_window(m, start * 512, common);
        if (!array.members[k])
            return "no window";
    }
    RAID_exit(); // the candidates are read; the array replaces them
    if (Professional_Mode(&array) != 1)
        return std::string("cannot open: ") + raid_last_failure();
    NtfsFileInfo* root = Show_File_Info(&array, nullptr);
    if (!root)
        return std::string("no root: ") + raid_last_failure();
    _Set_ExternUse();
    std::string text = "no test.txt";
    for (NtfsFileInfo* f = root; f; f = f->next) {
        std::u16string name;
        for (uint32_t i = 0; i < f->name_length && i < 128; ++i)
            name += char16_t(f->name[2 * i] | f->name[2 * i + 1] << 8);
        if (name != u"test.txt")
            continue;
        const uint64_t size = f->size;
        const uint64_t ref = f->record_number;
        std::string data(size_t(size), '\0');
        Ntfs_RWfile_Set(2);
        if (Ntfs_Get_Data(uint32_t(ref & 0xFFFFFFFF), uint32_t(ref >> 32), data.data(), uint32_t(size)) != NTFS_DATA_OK)
            text = "unreadable test.txt";
        else
            text = data;
    }
    NTFS_Free_File_Info(root);
    RAID_exit();
    return text;
}

TEST_F(LdmDisks, TheDetectedArraysGiveTestTxtAlsoWithARaidFiveMemberMissing)
{
    for (const Set& set : sets) {
        SCOPED_TRACE(set.name);
        open_members(set.disks, set.level);
        ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
        EXPECT_EQ(read_test_txt(params), test_txt);
        if (!set.level)
            continue;
        for (size_t gone = 0; gone < set.disks.size(); ++gone) {
            SCOPED_TRACE("member " + std::to_string(gone) + " missing");
            auto names = set.disks;
            names[gone] = "missing";
            open_members(names, set.level);
            ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
            EXPECT_EQ(read_test_txt(params), test_txt);
        }
    }
}

TEST_F(LdmDisks, CliDetectsTheLayoutsAndRecoversThroughRaidAuto)
{
    const auto cli = [](const std::string& args, std::string& out) {
        return salvor_test::run("(" + (salvor_test::bin_dir() / "salvor-cli").string() + " " + args + " 2>/dev/null)", &out);
    };
    std::string out;
    // raid detect in the words a user reads, and as JSON.
    const std::string r5 = "'" + disk("2003r2-raid5-1").string() + "' '" + disk("2003r2-raid5-2").string() + "' '" +
                           disk("2003r2-raid5-3").string() + "'";
    ASSERT_EQ(cli("raid detect " + r5, out), 0) << out;
    EXPECT_NE(out.find("RAID-5 (level 1), layout 2 left symmetric, stripe 128 sectors, first sector 63"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("--raid 1:2:128:63"), std::string::npos) << out;
    ASSERT_EQ(cli("raid detect --json --missing 1 '" + disk("2003r2-raid5-1").string() + "' '" +
                      disk("2003r2-raid5-3").string() + "'",
                  out),
              0);
    auto j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    ASSERT_FALSE(j["layouts"].empty());
    EXPECT_EQ(j["layouts"][0]["order"], nlohmann::json({ 2, 1, 0 }));
    EXPECT_EQ(j["layouts"][0]["columns"][1]["path"], "missing");
    EXPECT_EQ(cli("raid detect '" + disk("2003r2-simple-1").string() + "' '" + disk("2003r2-spanned-1").string() + "'",
                  out),
              2);
    EXPECT_NE(out.find("no layout found"), std::string::npos) << out;

    // recover through --raid auto gives test.txt (the members of 2008 R2
    // start the array at different sectors); a RAID-5 set does so with each
    // of its members left out in turn as well.
    for (const Set& set : sets) {
        for (int left_out = -1; left_out < (set.level ? int(set.disks.size()) : 0); ++left_out) {
            SCOPED_TRACE(std::string(set.name) + (left_out < 0 ? "" : ", member " + std::to_string(left_out) + " missing"));
            salvor_test::TempDir to;
            std::string members;
            for (size_t i = 0; i < set.disks.size(); ++i)
                members += int(i) == left_out ? std::string(" missing") : " '" + disk(set.disks[i]).string() + "'";
            ASSERT_EQ(cli("recover format --raid auto" + members + " --to '" + (to / "out").string() + "'", out), 0)
                << out;
            const auto bytes = salvor_test::read_file(to / "out" / "test.txt");
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), test_txt);
        }
    }
}

// ---- damaged databases -------------------------------------------------------

// A copy of a member disk whose database bytes can be changed.
class DamagedDatabase : public LdmDisks {
protected:
    fs::path copy_of(const std::string& name)
    {
        fs::path to = m_dir / ("copy-" + name + ".img");
        fs::copy_file(disk(name), to, fs::copy_options::overwrite_existing);
        return to;
    }
    static void patch(const fs::path& file, uint64_t offset, const std::vector<uint8_t>& bytes)
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(offset));
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    // Byte offset in `file` of the first VBLK of `type` whose name is `name`.
    static uint64_t record_offset(const fs::path& file, uint64_t area, uint8_t type, const std::string& name)
    {
        auto bytes = salvor_test::read_file(file);
        for (uint64_t at = area + 17 * 512 + 512; at + 128 <= area + ldm::database_size; at += 128) {
            const uint8_t* r = &bytes[at];
            if (std::memcmp(r, "VBLK", 4) != 0 || r[0x13] != type)
                continue;
            const uint8_t id_len = r[0x18];
            const uint8_t name_len = r[0x19 + id_len];
            if (std::string(reinterpret_cast<const char*>(r + 0x1A + id_len), name_len) == name)
                return at;
        }
        return 0;
    }
    void open_files(const std::vector<fs::path>& files, uint8_t level)
    {
        bg_set_real_disks(0);
        bg_clear_images();
        for (const auto& f : files)
            ASSERT_EQ(bg_add_image(f.c_str()), 0);
        bg_scan_disks();
        std::memset(&params, 0, sizeof params);
        params.level = level;
        params.member_count = uint16_t(files.size());
        size_t i = 0;
        for (BgDiskNode* n = bg_disk_list; n; n = n->next)
            params.members[i++] = n->disk;
    }

    salvor_test::TempDir m_tmp;
    fs::path m_dir = m_tmp.path();
    static constexpr uint64_t area = 100352u * 512;
};

TEST_F(DamagedDatabase, PartitionIndexesAndCountsMustDescribeEveryColumnOnce)
{
    // Both partitions claiming column 0: no layout from this database.
    fs::path a = copy_of("2003r2-striped-1"), b = copy_of("2003r2-striped-2");
    for (const fs::path& f : { a, b }) {
        uint64_t p = record_offset(f, area, ldm::partition_v3, "Disk5-01");
        ASSERT_NE(p, 0u);
        auto bytes = salvor_test::read_file(f);
        ASSERT_TRUE(bytes[p + 0x12] & ldm::partition_flag_index);
        // The index is the last field: a length byte of 1 and the column.
        uint64_t last = p + 0x7F;
        while (bytes[last] == 0)
            --last;
        ASSERT_EQ(bytes[last], 1u);
        patch(f, last, { 0 });
    }
    open_files({ a, b }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);

    // A component naming three columns for its two partitions.
    a = copy_of("2003r2-striped-1");
    b = copy_of("2003r2-striped-2");
    for (const fs::path& f : { a, b }) {
        uint64_t c = record_offset(f, area, ldm::component_v3, "Stripe1-01");
        ASSERT_NE(c, 0u);
        auto bytes = salvor_test::read_file(f);
        uint64_t last = c + 0x7F;
        while (bytes[last] == 0)
            --last;
        ASSERT_EQ(bytes[last], 2u); // columns
        patch(f, last, { 3 });
    }
    open_files({ a, b }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    EXPECT_NE(std::string(raid_last_failure()), "");
}

TEST_F(DamagedDatabase, AMemberWithoutItsDatabaseIsJudgedFromTheOthersCopy)
{
    // The first member's private header and VMDB wiped: the second member's
    // copy of the group's database still places both disks.
    fs::path a = copy_of("2003r2-striped-1"), b = copy_of("2003r2-striped-2");
    patch(a, area + 17 * 512, std::vector<uint8_t>(512, 0));
    open_files({ a, b }, BG_RAID_LEVEL_STRIPE);
    ASSERT_EQ(Smart_Mode(&params, 1), found) << raid_last_failure();
    auto c = candidates();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(order_of(c[0], 2), (std::vector<uint8_t> { 0, 1 }));

    // Private headers gone on both: nothing to go by.
    for (const fs::path& f : { a, b }) {
        patch(f, 6 * 512, std::vector<uint8_t>(512, 0));
        patch(f, area + ldm::privhead_in_database, std::vector<uint8_t>(512, 0));
    }
    open_files({ a, b }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(Smart_Mode(&params, 1), 0u);
    EXPECT_NE(std::string(raid_last_failure()).find("dynamic-disk"), std::string::npos);
}

TEST_F(DamagedDatabase, ProbeTakesTheCopyAtTheEndWhenSectorSixIsDamagedAndRefusesHeadersPointingOutside)
{
    fs::path a = copy_of("2003r2-striped-1");
    // Sector 6's private header says the database lies past the disk's end.
    std::vector<uint8_t> far(8);
    store_be64(far.data(), 1ull << 40);
    patch(a, 6 * 512 + ldm::privhead::config_start, far);
    open_files({ a }, BG_RAID_LEVEL_STRIPE);
    BgMemberLocation loc {};
    ASSERT_NE(bg_probe_member(params.members[0], &loc), 0);
    EXPECT_EQ(loc.database_offset, area);
    EXPECT_EQ(loc.data_offset, 63u * 512);

    // The copy at the end says so too: no database, and nothing read outside.
    patch(a, area + ldm::privhead_in_database + ldm::privhead::config_start, far);
    open_files({ a }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(bg_probe_member(params.members[0], &loc), 0);
    EXPECT_EQ(loc.database_offset, 0u);

    // A GPT member whose metadata partition is shorter than a database.
    fs::path g = copy_of("2008r2-striped-2");
    auto bytes = salvor_test::read_file(g);
    const uint64_t entries = load_le64(&bytes[512 + 72]) * 512;
    const uint64_t first = load_le64(&bytes[entries + 32]);
    std::vector<uint8_t> last(8);
    store_le64(last.data(), first + 100); // 101 sectors
    patch(g, entries + 40, last);
    open_files({ g }, BG_RAID_LEVEL_STRIPE);
    EXPECT_EQ(bg_probe_member(params.members[0], &loc), 0);
}

// ---- the parser on single structures ------------------------------------------

TEST(LdmParse, VariableLengthFieldsAreBoundedByTheRecord)
{
    // A VMDB and one partition record whose size field claims more bytes
    // than the record holds.
    std::vector<uint8_t> area(ldm::database_size, 0);
    uint8_t* vmdb = &area[17 * 512];
    std::memcpy(vmdb, "VMDB", 4);
    store_be32(vmdb + ldm::vmdb::last_sequence, 10);
    store_be32(vmdb + ldm::vmdb::vblk_size, 128);
    store_be32(vmdb + ldm::vmdb::first_vblk, 512);
    uint8_t* r = vmdb + 512;
    std::memcpy(r, "VBLK", 4);
    store_be32(r + 4, 5);  // sequence
    store_be32(r + 8, 1);  // group
    store_be16(r + 14, 1); // one fragment
    r[0x13] = ldm::partition_v3;
    r[0x18] = 1;
    r[0x19] = 9;           // id 9
    r[0x1A] = 2;
    r[0x1B] = 'P';
    r[0x1C] = '1';         // name "P1"
    r[0x1D + 0x0C + 16] = 0x7F; // size: 127 bytes claimed
    auto db = ldm::parse_database(ByteView(area.data(), area.size()));
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->partitions.empty());
    EXPECT_EQ(db->corrupt_records, 1u);

    // The same with a one-byte size, parent and disk: parsed.
    r[0x1D + 0x0C + 16] = 1;
    r[0x1D + 0x0C + 17] = 40; // size
    r[0x1D + 0x0C + 18] = 1;
    r[0x1D + 0x0C + 19] = 7;  // parent
    r[0x1D + 0x0C + 20] = 1;
    r[0x1D + 0x0C + 21] = 3;  // disk
    store_be64(r + 0x1D + 0x0C, 2048); // start
    db = ldm::parse_database(ByteView(area.data(), area.size()));
    ASSERT_TRUE(db);
    ASSERT_EQ(db->partitions.size(), 1u);
    EXPECT_EQ(db->partitions[0].id, 9u);
    EXPECT_EQ(db->partitions[0].name, "P1");
    EXPECT_EQ(db->partitions[0].start, 2048u);
    EXPECT_EQ(db->partitions[0].size, 40u);
    EXPECT_EQ(db->partitions[0].parent_id, 7u);
    EXPECT_EQ(db->partitions[0].disk_id, 3u);
    EXPECT_FALSE(db->partitions[0].index);

    // Not committed (sequence past the VMDB's last): left out.
    store_be32(r + 4, 11);
    db = ldm::parse_database(ByteView(area.data(), area.size()));
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->partitions.empty());

    // A record that says it has two fragments with only one present.
    store_be32(r + 4, 5);
    store_be16(r + 14, 2);
    db = ldm::parse_database(ByteView(area.data(), area.size()));
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->partitions.empty());
    EXPECT_EQ(db->corrupt_records, 1u);

    // A VMDB whose record size is absurd is no database.
    store_be32(vmdb + ldm::vmdb::vblk_size, 0x10000000);
    EXPECT_FALSE(ldm::parse_database(ByteView(area.data(), area.size())));
}

TEST(LdmParse, GuidTextIsNormalisedAndCheckedAndVersion4DisksGiveTheirBinaryGuid)
{
    const std::string upper = "6C7CA470-6934-4DFD-9269-C3102B9AE158";
    EXPECT_EQ(ldm::normalise_guid(ByteView(reinterpret_cast<const uint8_t*>(upper.data()), upper.size())),
              "6c7ca470-6934-4dfd-9269-c3102b9ae158");
    const std::string bad = "6C7CA470x6934-4DFD-9269-C3102B9AE158";
    EXPECT_EQ(ldm::normalise_guid(ByteView(reinterpret_cast<const uint8_t*>(bad.data()), bad.size())), "");
    const std::string shorter = "6C7CA470-6934-4DFD-9269";
    EXPECT_EQ(ldm::normalise_guid(ByteView(reinterpret_cast<const uint8_t*>(shorter.data()), shorter.size())), "");

    std::vector<uint8_t> area(ldm::database_size, 0);
    uint8_t* vmdb = &area[17 * 512];
    std::memcpy(vmdb, "VMDB", 4);
    store_be32(vmdb + ldm::vmdb::last_sequence, 10);
    store_be32(vmdb + ldm::vmdb::vblk_size, 128);
    store_be32(vmdb + ldm::vmdb::first_vblk, 512);
    uint8_t* r = vmdb + 512;
    std::memcpy(r, "VBLK", 4);
    store_be32(r + 4, 1);
    store_be32(r + 8, 1);
    store_be16(r + 14, 1);
    r[0x13] = ldm::disk_v4;
    r[0x18] = 1;
    r[0x19] = 5;
    r[0x1A] = 5;
    std::memcpy(r + 0x1B, "Disk1", 5);
    for (int i = 0; i < 16; ++i)
        r[0x20 + i] = uint8_t(0x10 + i);
    auto db = ldm::parse_database(ByteView(area.data(), area.size()));
    ASSERT_TRUE(db);
    ASSERT_EQ(db->disks.size(), 1u);
    EXPECT_EQ(db->disks[0].guid, "10111213-1415-1617-1819-1a1b1c1d1e1f");
    EXPECT_EQ(db->disk_with_id(5), &db->disks[0]);
}

} // namespace
