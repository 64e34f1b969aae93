// The content method end to end: an NTFS volume striped over member files
// the way an array that holds a GPT disk stores it (the protective MBR at the
// start of the first member, the volume past 100 MiB), found by
// `salvor-cli raid detect` and recovered through `--raid auto`, byte for
// byte, also with a member missing.
#include "raid_builder.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using salvor_test::RaidShape;

namespace {

// The volume sits this far into every member (sectors): past the 100 MiB
// where the content method starts looking, and not on a window boundary.
constexpr uint64_t volume_sector = (100ull << 20) / 512 + 3;

class ContentDetection : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<salvor_test::TempDir>();
        if (!salvor_test::run_fixture("raid-content-ntfs.sh",
                                      { (s_dir->path() / "volume.img").string(), s_dir->path().string() }))
            s_dir.reset();
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    void SetUp() override { ASSERT_TRUE(s_dir) << "the NTFS fixture could not be built"; }

    // Member files of `shape` in `dir`: sparse, the striped volume at
    // volume_sector, a protective MBR in sector 0 of member 0 (level 1: also
    // of member 1, so that the parity of the start of the disk holds).
    std::vector<fs::path> build(const RaidShape& shape, const fs::path& dir)
    {
        fs::create_directories(dir);
        const auto volume = salvor_test::read_file(s_dir->path() / "volume.img");
        const auto members = salvor_test::stripe_volume(volume, shape);
        std::vector<uint8_t> mbr(512, 0);
        mbr[446 + 4] = 0xEE;
        mbr[446 + 8] = 1;
        mbr[446 + 12] = 0xFF;
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        std::vector<fs::path> paths;
        for (size_t k = 0; k < members.size(); ++k) {
            fs::path p = dir / ("member-" + std::to_string(k) + ".img");
            int fd = ::open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
            EXPECT_GE(fd, 0);
            const off_t at = off_t(volume_sector * 512);
            EXPECT_EQ(::pwrite(fd, members[k].data(), members[k].size(), at), ssize_t(members[k].size()));
            if (k == 0 || (shape.level == 1 && k == 1))
                EXPECT_EQ(::pwrite(fd, mbr.data(), 512, 0), 512);
            ::close(fd);
            paths.push_back(p);
        }
        return paths;
    }

    static std::string cli(const std::vector<std::string>& args, int& status)
    {
        std::string cmd = (salvor_test::bin_dir() / "salvor-cli").string();
        for (const auto& a : args)
            cmd += " '" + a + "'";
        std::string out;
        status = salvor_test::run("(" + cmd + " 2>/dev/null)", &out);
        return out;
    }

    static std::map<std::string, std::string> deleted_files()
    {
        std::map<std::string, std::string> files;
        std::ifstream in(s_dir->path() / "deleted.tsv");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream row(line);
            std::string path, size, sha;
            std::getline(row, path, '\t');
            std::getline(row, size, '\t');
            std::getline(row, sha, '\t');
            files[path] = sha;
        }
        return files;
    }

    // The layouts `raid detect` lists for `members` (paths or "missing").
    static nlohmann::json detect(const std::vector<std::string>& members)
    {
        std::vector<std::string> args = { "raid", "detect", "--json" };
        args.insert(args.end(), members.begin(), members.end());
        int status = 0;
        const std::string out = cli(args, status);
        auto parsed = nlohmann::json::parse(out, nullptr, false);
        if (parsed.is_discarded())
            return nlohmann::json::object();
        return parsed;
    }

    // Recovers the deleted files through --raid auto and compares each.
    void recover_and_compare(const std::vector<std::string>& members, const fs::path& to)
    {
        std::vector<std::string> args = { "recover", "deleted", "--raid", "auto" };
        args.insert(args.end(), members.begin(), members.end());
        args.push_back("--to");
        args.push_back(to.string());
        int status = 0;
        cli(args, status);
        EXPECT_EQ(status, 0);
        for (const auto& [path, sha] : deleted_files()) {
            const fs::path got = to / path;
            ASSERT_TRUE(fs::exists(got)) << path;
            EXPECT_EQ(salvor_test::sha256_file(got), sha) << path;
        }
    }

    static inline std::unique_ptr<salvor_test::TempDir> s_dir;
    salvor_test::TempDir m_tmp;
};

std::vector<int> order_of(const nlohmann::json& layout)
{
    return layout["order"].get<std::vector<int>>();
}

TEST_F(ContentDetection, StripedAndRaidFiveArraysGiveTheirLayoutAndTheirFiles)
{
    struct Case {
        RaidShape shape;
        std::vector<int> given; // the member files in the order given to the tool
    };
    const std::vector<Case> cases = {
        { { 0, 6, 2, 16 }, { 0, 1 } },
        { { 0, 6, 3, 128 }, { 2, 0, 1 } },
        { { 0, 6, 4, 64 }, { 3, 1, 0, 2 } },
        { { 1, 0, 4, 16 }, { 0, 1, 2, 3 } },
        { { 1, 1, 3, 64 }, { 1, 2, 0 } },
        { { 1, 2, 3, 32 }, { 0, 1, 2 } },
        { { 1, 3, 3, 128 }, { 0, 2, 1 } },
        { { 1, 4, 4, 32 }, { 0, 1, 2, 3 } },
        { { 1, 5, 3, 16 }, { 2, 1, 0 } },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.shape.level) + " layout " + std::to_string(c.shape.layout) +
                     ", " + std::to_string(c.shape.members) + " members, stripe " + std::to_string(c.shape.stripe));
        const fs::path dir = m_tmp / ("array" + std::to_string(n++));
        const auto files = build(c.shape, dir);
        std::vector<std::string> given;
        for (int k : c.given)
            given.push_back(files[size_t(k)].string());
        const auto found = detect(given);
        ASSERT_TRUE(found.contains("layouts")) << found.dump();
        ASSERT_FALSE(found["layouts"].empty()) << found.dump();
        const auto& best = found["layouts"][0];
        EXPECT_EQ(best["method"], "content");
        EXPECT_EQ(best["level"].get<int>(), c.shape.level);
        EXPECT_EQ(best["stripe_sectors"].get<uint32_t>(), c.shape.stripe);
        EXPECT_EQ(best["first_sector"].get<uint64_t>(), volume_sector);
        // Column k is member file k, wherever it was given.
        std::vector<int> expected;
        for (size_t k = 0; k < c.given.size(); ++k)
            expected.push_back(int(std::find(c.given.begin(), c.given.end(), int(k)) - c.given.begin()));
        // Parity first over columns (P, A, B) is parity last over (A, B, P).
        uint32_t layout = best["layout"].get<uint32_t>();
        std::vector<int> order = order_of(best);
        if (c.shape.layout == 5 && layout == 4) {
            std::rotate(order.begin(), order.begin() + 1, order.end());
            layout = 5;
        } else if (c.shape.layout == 4 && layout == 5) {
            std::rotate(order.rbegin(), order.rbegin() + 1, order.rend());
            layout = 4;
        }
        EXPECT_EQ(layout, c.shape.layout);
        EXPECT_EQ(order, expected) << best.dump();
        recover_and_compare(given, dir / "out");
    }
}

TEST_F(ContentDetection, RaidFiveWithEachMemberMissingInTurn)
{
    const RaidShape shape { 1, 2, 3, 32 };
    const auto files = build(shape, m_tmp / "array");
    for (size_t gone = 0; gone < 3; ++gone) {
        SCOPED_TRACE("member " + std::to_string(gone) + " missing");
        std::vector<std::string> given;
        for (size_t k = 0; k < 3; ++k)
            given.push_back(k == gone ? std::string("missing") : files[k].string());
        const auto found = detect(given);
        ASSERT_TRUE(found.contains("layouts") && !found["layouts"].empty()) << found.dump();
        const auto& best = found["layouts"][0];
        EXPECT_EQ(best["level"].get<int>(), 1);
        EXPECT_EQ(best["layout"].get<uint32_t>(), 2u);
        EXPECT_EQ(best["stripe_sectors"].get<uint32_t>(), 32u);
        EXPECT_EQ(order_of(best), (std::vector<int> { 0, 1, 2 }));
        recover_and_compare(given, m_tmp / ("out" + std::to_string(gone)));
    }
}

TEST_F(ContentDetection, NothingWithoutAProtectiveMbrOrAVolume)
{
    const RaidShape shape { 0, 6, 2, 64 };
    const auto files = build(shape, m_tmp / "array");
    // Member 0 starts with an MBR whose first entry is NTFS (0x07).
    {
        std::fstream f(files[0], std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(446 + 4);
        f.put(char(0x07));
    }
    auto found = detect({ files[0].string(), files[1].string() });
    ASSERT_TRUE(found.contains("layouts"));
    EXPECT_TRUE(found["layouts"].empty());
    bool said = false;
    for (const auto& r : found["not_found"])
        said |= r.get<std::string>().find("protective MBR") != std::string::npos;
    EXPECT_TRUE(said) << found.dump();

    // Protective MBR, but members that end before the volume would start.
    const fs::path small = m_tmp / "small";
    fs::create_directories(small);
    std::vector<std::string> given;
    for (int k = 0; k < 2; ++k) {
        fs::path p = small / ("m" + std::to_string(k));
        std::vector<uint8_t> bytes(1 << 20, 0);
        bytes[446 + 4] = 0xEE;
        bytes[510] = 0x55;
        bytes[511] = 0xAA;
        salvor_test::write_file(p, bytes);
        given.push_back(p.string());
    }
    found = detect(given);
    ASSERT_TRUE(found.contains("layouts"));
    EXPECT_TRUE(found["layouts"].empty());
}

} // namespace
