// salvor-cli --raid end to end: fixture volumes striped over member files by
// the test suite's builder, recovered through the assembled array with every
// layout and each member missing in turn; the real Windows dynamic disks of
// the shared test data; and the refusals.
#include "raid_builder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace salvor_test;

std::string quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int run_cli(const std::string& args, std::string* output = nullptr)
{
    return run(quote((bin_dir() / "salvor-cli").string()) + " " + args + " 2>&1", output);
}

std::vector<std::vector<std::string>> read_rows(const fs::path& path)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

std::map<std::string, std::string> recovered_files(const fs::path& dir)
{
    std::map<std::string, std::string> out;
    if (fs::exists(dir))
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file())
                out[fs::relative(e.path(), dir).string()] = sha256_file(e.path());
    return out;
}

// The member arguments, with member `missing` written "missing".
std::string member_args(const std::vector<fs::path>& members, int missing)
{
    std::string out;
    for (size_t i = 0; i < members.size(); ++i)
        out += " " + (int(i) == missing ? std::string("missing") : quote(members[i].string()));
    return out;
}

// Recovers `mode_args` through the array and checks every expected file
// (tree path -> SHA-256) byte for byte; the members stay unchanged.
void expect_recovered(const std::string& mode_args, const std::string& raid_args,
    const std::map<std::string, std::string>& expected, const std::vector<fs::path>& members, const std::string& what)
{
    TempDir out;
    std::vector<std::string> before;
    for (const auto& m : members)
        before.push_back(sha256_file(m));
    std::string output;
    const int rc = run_cli(
        "recover " + mode_args + " --raid " + raid_args + " --to " + quote((out / "recovered").string()), &output);
    EXPECT_EQ(rc, 0) << what << "\n" << output;
    const auto files = recovered_files(out / "recovered");
    for (const auto& [path, sha] : expected) {
        auto it = files.find(path);
        if (it == files.end())
            ADD_FAILURE() << what << ": not recovered: " << path << "\n" << output;
        else
            EXPECT_EQ(it->second, sha) << what << ": " << path;
    }
    for (size_t i = 0; i < members.size(); ++i)
        EXPECT_EQ(sha256_file(members[i]), before[i]) << what << ": member " << i << " changed";
}

// The arrays every fixture is striped over: level 0 over 2, 3 and 4 members,
// and level 1 with every layout code, over 2 to 4 members; stripe sizes from
// 8 to 128 sectors, first sectors other than 0.
std::vector<RaidShape> shapes()
{
    std::vector<RaidShape> out;
    const uint32_t stripes[] = { 8, 128, 16, 64 };
    for (uint32_t n = 2; n <= 4; ++n) {
        RaidShape s;
        s.level = 0;
        s.layout = 6;
        s.members = n;
        s.stripe = stripes[n % 4];
        s.first = n == 3 ? 2048 : 63;
        out.push_back(s);
    }
    for (uint32_t code = 0; code <= 5; ++code) {
        RaidShape s;
        s.level = 1;
        s.layout = code;
        s.members = 2 + (code + 1) % 3;
        s.stripe = stripes[code % 4];
        s.first = code % 2 ? 63 : 34;
        out.push_back(s);
    }
    return out;
}

// Stripes `volume` over every shape and recovers the deleted files through
// each array, for level 1 also with each member missing in turn.
void recover_through_arrays(const fs::path& volume, const std::map<std::string, std::string>& expected)
{
    for (const RaidShape& shape : shapes()) {
        TempDir dir;
        const auto members = stripe_volume_file(volume, shape, dir.path());
        for (int missing = -1; missing < int(shape.level ? shape.members : 0); ++missing) {
            const std::string what = "--raid " + raid_spec(shape) + " over " + std::to_string(shape.members)
                + " members, missing " + std::to_string(missing);
            expect_recovered("deleted", raid_spec(shape) + member_args(members, missing), expected, members, what);
        }
    }
}

TEST(CliRaid, NtfsDeletedFilesThroughEveryLayout)
{
    if (!require_tool("mkntfs", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_TRUE(run_fixture("ntfs-deleted.sh", { img.string(), "4096", tmp.path().string() }));
    std::map<std::string, std::string> expected;
    for (const auto& r : read_rows(tmp / "deleted.tsv"))
        expected[r.at(0)] = r.at(2);
    ASSERT_FALSE(expected.empty());
    recover_through_arrays(img, expected);
}

TEST(CliRaid, FatDeletedFilesThroughEveryLayout)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("fat-deleted.sh", { tmp.path().string(), "16" }));
    std::map<std::string, std::string> expected;
    for (const auto& r : read_rows(tmp / "deleted.tsv")) {
        std::string path = r.at(0);
        if (r.at(4) == "1") { // no long name: the first character is lost to the deletion mark
            const size_t slash = path.find_last_of('/');
            path[slash == std::string::npos ? 0 : slash + 1] = '_';
        }
        expected[path] = r.at(2);
    }
    ASSERT_FALSE(expected.empty());
    recover_through_arrays(tmp / "volume.img", expected);
}

TEST(CliRaid, VolumeInsideAnArrayWithAPartitionTable)
{
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("mcopy", "mtools") || !require_tool("sfdisk", "fdisk"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "sample.img";
    ASSERT_TRUE(run_fixture("make-sample-disk.sh", { img.string() }));
    RaidShape shape;
    shape.level = 1;
    shape.layout = 2;
    shape.members = 3;
    shape.stripe = 128;
    shape.first = 2048;
    const auto members = stripe_volume_file(img, shape, tmp.path());
    auto sample = [](const std::string& name, size_t size, int seed, bool jpeg) {
        std::string text;
        while (text.size() < size)
            text += "salvor sample " + std::to_string(seed) + " " + name;
        text.resize(size);
        if (jpeg)
            text.replace(0, 4, "\xff\xd8\xff\xe0");
        return sha256_hex(text.data(), text.size());
    };
    std::string out;
    EXPECT_EQ(run_cli("scan deleted --raid " + raid_spec(shape) + member_args(members, -1), &out), 2) << out;
    EXPECT_NE(out.find("holds 2 volumes: choose one with --volume N"), std::string::npos) << out;
    EXPECT_EQ(run_cli("scan deleted --volume 2 --raid " + raid_spec(shape) + member_args(members, -1), &out), 2) << out;
    EXPECT_NE(out.find("has no volume 2"), std::string::npos) << out;
    expect_recovered("deleted --volume 0", raid_spec(shape) + member_args(members, 1),
        { { "notes.txt", sample("notes.txt", 1200, 3, false) },
            { "Documents/Old/photo.jpg", sample("photo.jpg", 70000, 2, true) } },
        members, "NTFS partition, member 1 missing");
    expect_recovered("deleted --volume 1", raid_spec(shape) + member_args(members, 0),
        { { "Work/_udget.xls", sample("budget.xls", 20000, 5, false) } }, members, "FAT32 partition, member 0 missing");
}

TEST(CliRaid, UnusableArraysAreRefusedWithAReason)
{
    TempDir tmp;
    RaidShape shape;
    shape.level = 1;
    shape.layout = 0;
    shape.members = 3;
    shape.stripe = 8;
    const auto volume = random_bytes(64 * 1024, 4);
    write_file(tmp / "volume.img", volume);
    const auto members = stripe_volume_file(tmp / "volume.img", shape, tmp.path());
    const std::string m = member_args(members, -1);
    struct Case {
        std::string args;
        int status;
        std::string words;
    };
    std::vector<Case> cases = {
        { "--raid 1:0:0:0" + m, 2, "the stripe size is 0" },
        { "--raid 1:0:4294967295:0" + m, 2, "larger than the 65536" },
        { "--raid 1:6:8:0" + m, 2, "layout code 6 is not a parity layout" },
        { "--raid 0:6:8:0" + member_args(members, 1), 2, "cannot rebuild" },
        { "--raid 1:0:8:0 missing missing " + quote(members[2].string()), 2, "members 0 and 1 are missing" },
        { "--raid 1:0:8" + m, 64, "LEVEL:LAYOUT:STRIPE:FIRST" },
        { "--raid 2:0:8:0" + m, 64, "the level is 0" },
        { "--raid 1:9:8:0" + m, 64, "layout code is 0 to 5" },
        { "--raid 1:0:8:x" + m, 64, "first sector" },
        { "--raid auto" + m, 2, "--raid auto found no layout" },
        { "--raid 1:0:8:0 " + quote(members[0].string()), 2, "at least 2 members" },
        { "--raid 1:0:8:0" + m + " " + quote(members[0].string()), 2, "named twice" },
        { "--raid 1:0:8:0" + m + " " + quote((tmp / "absent.img").string()), 2, "cannot open" },
        { m, 64, "one SOURCE" },
        { "--raid 1:0:8:0" + m + " " + quote(members[0].string() + "@999999"), 2, "named twice" },
    };
    std::string many;
    for (int i = 0; i < 17; ++i)
        many += " " + quote(members[i % 3].string() + "@" + std::to_string(i));
    cases.push_back({ "--raid 1:0:8:0" + many, 2, "at most 16" });
    {
        // A member shorter than the others.
        auto bytes = read_file(members[1]);
        bytes.resize(bytes.size() - 4096);
        write_file(tmp / "short.img", bytes);
        cases.push_back({ "--raid 1:0:8:0 " + quote(members[0].string()) + " " + quote((tmp / "short.img").string())
                + " " + quote(members[2].string()),
            2, "member 1 is shorter than the others" });
        cases.push_back({ "--raid 1:0:8:0 " + quote(members[0].string()) + " "
                + quote((tmp / "short.img").string() + "@999999") + " " + quote(members[2].string()),
            2, "lies beyond its end" });
    }
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(run_cli("scan deleted " + c.args, &out), c.status) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.words), std::string::npos) << c.args << "\n" << out;
    }
}

// The real dynamic disks made by Windows (shared test data): striped and
// RAID 5 sets of Windows Server 2003 R2 (MBR dynamic disks) and 2008 R2 (MBR
// and GPT dynamic disks mixed, so the data starts at different sectors).
class CliRaidDynamicDisks : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto shared = shared_testdata_dir();
        if (!shared || !fs::exists(*shared / "ldm" / "ldm-data.tar.xz"))
            GTEST_SKIP() << "../shared/testdata/ldm is absent";
        ASSERT_EQ(run("tar -xJf " + quote((*shared / "ldm" / "ldm-data.tar.xz").string()) + " -C "
                      + quote(m_dir.path().string())),
            0);
    }
    std::string disk(const std::string& name) const { return quote((m_dir / ("ldm-" + name + ".img")).string()); }
    std::vector<fs::path> disks(const std::vector<std::string>& names) const
    {
        std::vector<fs::path> out;
        for (const auto& n : names)
            out.push_back(m_dir / ("ldm-" + n + ".img"));
        return out;
    }
    TempDir m_dir;
};

// The text Windows wrote into every test volume (read with The Sleuth Kit from
// the volumes assembled by hand).
const std::string kTestText = "Filesystem test";

TEST_F(CliRaidDynamicDisks, StripedVolumesGiveTestTxt)
{
    const std::string sha = sha256_hex(kTestText.data(), kTestText.size());
    // 2003 R2: both data areas start at sector 63, the partitions at 0 in them.
    expect_recovered("format --fs ntfs", "0:6:128:63 " + disk("2003r2-striped-1") + " " + disk("2003r2-striped-2"),
        { { "test.txt", sha } }, disks({ "2003r2-striped-1", "2003r2-striped-2" }), "2003 R2 striped");
    // 2008 R2: an MBR disk (data at 63, partition at 65) and a GPT disk (data
    // at 65570, partition at 94).
    expect_recovered("format --fs ntfs",
        "0:6:128:0 " + disk("2008r2-striped-1") + "@128 " + disk("2008r2-striped-2") + "@65664",
        { { "test.txt", sha } }, disks({ "2008r2-striped-1", "2008r2-striped-2" }), "2008 R2 striped");
}

TEST_F(CliRaidDynamicDisks, Raid5VolumesOpenWithEachMemberLeftOut)
{
    // Windows lays RAID 5 out left symmetric (code 2), columns in partition-index order.
    const std::vector<std::pair<std::string, std::vector<std::string>>> sets = {
        { "1:2:128:63", { disk("2003r2-raid5-3"), disk("2003r2-raid5-2"), disk("2003r2-raid5-1") } },
        { "1:2:128:0",
            { disk("2008r2-raid5-1") + "@128", disk("2008r2-raid5-2") + "@65664", disk("2008r2-raid5-3") + "@65664" } },
    };
    for (const auto& [option, members] : sets) {
        for (int missing = -1; missing < 3; ++missing) {
            std::string args = "scan deleted --json --raid " + option;
            for (int i = 0; i < 3; ++i)
                args += " " + (i == missing ? std::string("missing") : members[size_t(i)]);
            std::string out;
            EXPECT_EQ(run_cli(args, &out), 0) << args << "\n" << out;
            EXPECT_NE(out.find("\"fs_code\":4"), std::string::npos) << args << "\n" << out;
        }
    }
}

} // namespace
