// Found files' own folders and time stamps (ext2_get_folder/realname/times,
// ext3_get_folder/times): on mke2fs/debugfs volumes checked against The Sleuth
// Kit's fls and istat and debugfs' raw inode fields, and on staged volumes for
// the inode time encodings and the cases with no surviving name.
#include "ext_builder.h"

#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include <file_volume.h>
#include <memory_volume.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

using namespace salvor_test;
using ext_test::ExtBuilder;

namespace {

std::string join(const char* folder, const std::string& name)
{
    return folder && *folder ? std::string(folder) + "/" + name : name;
}

std::string utc_text(int64_t seconds)
{
    time_t t = time_t(seconds);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// debugfs "stat <n>": each stamp's raw seconds word and extra word.
struct RawStamp {
    uint32_t seconds = 0;
    uint32_t extra = 0;
};
std::map<std::string, RawStamp> debugfs_stamps(const std::string& image, uint32_t inode)
{
    std::string out;
    run("debugfs -R 'stat <" + std::to_string(inode) + ">' '" + image + "' 2>/dev/null", &out);
    std::map<std::string, RawStamp> stamps;
    std::regex line(R"((ctime|atime|mtime|crtime|dtime): 0x([0-9a-f]+):\(?([0-9a-f]+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        stamps[(*it)[1]] = { uint32_t(std::stoul((*it)[2], nullptr, 16)), uint32_t(std::stoul((*it)[3], nullptr, 16)) };
    return stamps;
}

// The deleted regular files fls lists with their paths, by inode number,
// leaving out those inside deleted folders (whose names no live folder holds).
std::map<uint32_t, std::string> fls_deleted_in_live_folders(const std::string& image)
{
    std::string out;
    run("fls -r -d -p '" + image + "'", &out);
    std::map<uint32_t, std::string> files;
    std::set<std::string> gone;
    std::istringstream in(out);
    std::string l;
    std::regex entry(R"(^(\S)/\S \* (\d+)(?:\(realloc\))?:\t(.*)$)");
    std::smatch m;
    while (std::getline(in, l)) {
        if (!std::regex_match(l, m, entry))
            continue;
        if (m[1] == "d")
            gone.insert(m[3].str() + "/");
        else if (m[1] == "r")
            files[uint32_t(std::stoul(m[2]))] = m[3];
    }
    for (auto it = files.begin(); it != files.end();) {
        bool inside = false;
        for (const auto& g : gone)
            inside |= it->second.compare(0, g.size(), g) == 0;
        it = inside ? files.erase(it) : std::next(it);
    }
    return files;
}

void expect_stamp(const FsprobeTime& t, const RawStamp& raw, const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(t.present, 1);
    EXPECT_EQ(t.seconds, int64_t(int32_t(raw.seconds)) + (int64_t(raw.extra & 3) << 32));
    EXPECT_EQ(t.nanoseconds, raw.extra >> 2);
}

class ExtFoldersReal : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs")
            || !require_tool("fls", "sleuthkit") || !require_tool("istat", "sleuthkit"))
            GTEST_SKIP();
        m_img = (m_tmp / (GetParam() + ".img")).string();
        ASSERT_TRUE(run_fixture("ext-folders.sh", { m_img, GetParam() }));
        std::ifstream in(m_img + ".manifest");
        std::string kind, path;
        uint32_t inode = 0;
        while (in >> kind >> inode >> path)
            (kind == "named" ? m_named : m_orphans)[inode] = path;
        ASSERT_EQ(m_named.size(), 3u);
        ASSERT_EQ(m_orphans.size(), 1u);
        m_vol = std::make_unique<FileVolume>(m_img, GetParam() == "ext2" ? BG_FS_EXT2 : BG_FS_EXT3);
    }
    void TearDown() override
    {
        ext2_exit();
        ext3_exit();
    }
    // Every stamp against debugfs' raw fields, the modification time also
    // against istat's text.
    void check_times(const FsprobeTimes& t, uint32_t inode)
    {
        auto raw = debugfs_stamps(m_img, inode);
        ASSERT_EQ(raw.size(), 5u) << "debugfs stat output not understood";
        expect_stamp(t.modified, raw["mtime"], "mtime");
        expect_stamp(t.accessed, raw["atime"], "atime");
        expect_stamp(t.changed, raw["ctime"], "ctime");
        expect_stamp(t.created, raw["crtime"], "crtime");
        EXPECT_EQ(t.deleted.present, 1);
        EXPECT_EQ(t.deleted.seconds, int64_t(raw["dtime"].seconds));
        std::string istat;
        run("istat '" + m_img + "' " + std::to_string(inode), &istat);
        EXPECT_NE(istat.find("File Modified:\t" + utc_text(t.modified.seconds) + " (UTC)"), std::string::npos) << istat;
        EXPECT_NE(istat.find("Deleted:\t" + utc_text(t.deleted.seconds) + " (UTC)"), std::string::npos) << istat;
    }

    TempDir m_tmp;
    std::string m_img;
    std::map<uint32_t, std::string> m_named, m_orphans;
    std::unique_ptr<FileVolume> m_vol;
};

TEST_P(ExtFoldersReal, Ext3ListModePathsMatchFlsAndTimesMatchTheInode)
{
    ASSERT_TRUE(ext3_init(m_vol->volume()));
    std::map<std::string, Ext3FoundFile*> found;
    for (auto* f = ext3_searchfile2(); f; f = static_cast<Ext3FoundFile*>(ext3_get_next(f))) {
        const char* folder = ext3_get_folder(f);
        ASSERT_NE(folder, nullptr);
        found[join(folder, ext3_get_filename(f))] = f;
    }
    std::set<std::string> ours, theirs;
    for (auto& [path, f] : found)
        ours.insert(path);
    for (auto& [inode, path] : fls_deleted_in_live_folders(m_img))
        theirs.insert(path);
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(ours, (std::set<std::string> { "home/anna/letters/mum.odt", "home/anna/notes.txt", "top.txt" }));

    for (auto& [inode, path] : m_named) {
        ASSERT_TRUE(found.count(path)) << path;
        FsprobeTimes t {};
        ASSERT_TRUE(ext3_get_times(found[path], &t));
        check_times(t, inode);
    }
    FsprobeTimes mum {};
    ASSERT_TRUE(ext3_get_times(found["home/anna/letters/mum.odt"], &mum));
    EXPECT_EQ(mum.modified.seconds, 1577934245); // 2020-01-02 03:04:05 UTC
    EXPECT_EQ(mum.modified.nanoseconds, 0x12345678u >> 2);
    EXPECT_EQ(mum.accessed.seconds, 1614834367); // 2021-03-04 05:06:07 UTC
}

TEST_P(ExtFoldersReal, Ext2NamesInodesThatASurvivingEntryStillNames)
{
    ASSERT_TRUE(ext2_init(m_vol->volume()));
    // The fixture's files all differ in size: the size tells them apart.
    const std::map<uint64_t, std::string> by_size { { 3000, "home/anna/letters/mum.odt" },
                                                    { 500, "home/anna/notes.txt" },
                                                    { 700, "top.txt" },
                                                    { 1200, "" } };
    std::map<std::string, uint32_t> inode_of;
    for (auto& [inode, path] : m_named)
        inode_of[path] = inode;
    std::set<std::string> seen;
    for (Ext2Group* g = ext2_searchfile(); g; g = ext2_get_next(g)) {
        for (uint32_t i = 0; Ext2LostFile* f = ext2_get_file(g, i); ++i) {
            ASSERT_TRUE(by_size.count(ext2_get_filesize(f))) << ext2_get_filesize(f);
            std::string expected = by_size.at(ext2_get_filesize(f));
            const char* folder = ext2_get_folder(f);
            const char* name = ext2_get_realname(f);
            if (expected.empty()) {
                // Its folder was removed: no name, the caller keeps the grouping.
                EXPECT_EQ(folder, nullptr);
                EXPECT_EQ(name, nullptr);
                seen.insert("orphan");
                continue;
            }
            ASSERT_NE(folder, nullptr) << expected;
            ASSERT_NE(name, nullptr) << expected;
            EXPECT_EQ(join(folder, name), expected);
            seen.insert(expected);
            FsprobeTimes t {};
            ASSERT_TRUE(ext2_get_times(f, &t));
            check_times(t, inode_of[expected]);
        }
    }
    EXPECT_EQ(seen.size(), 4u);
    // fls names the same files the same way.
    std::set<std::string> theirs;
    for (auto& [inode, path] : fls_deleted_in_live_folders(m_img))
        theirs.insert(path);
    seen.erase("orphan");
    EXPECT_EQ(seen, theirs);
}

INSTANTIATE_TEST_SUITE_P(Types, ExtFoldersReal, ::testing::Values("ext2", "ext3"),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------- staged volumes

class ExtFoldersStaged : public ::testing::Test {
protected:
    void TearDown() override
    {
        ext2_exit();
        ext3_exit();
    }
    void open(ExtBuilder& b)
    {
        m_vol = std::make_unique<MemoryVolume>(b.bytes(), BG_FS_EXT3);
        ASSERT_TRUE(ext3_init(m_vol->volume()));
        ASSERT_TRUE(ext2_init(m_vol->volume()));
    }
    static void lost_found(ExtBuilder& b) { b.link(2, b.make_dir_inode(11, 2), "lost+found", 2); }
    std::unique_ptr<MemoryVolume> m_vol;
};

TEST_F(ExtFoldersStaged, InodeTimeEncodings)
{
    ExtBuilder b(512, 64, 256);
    lost_found(b);
    auto stamp = [&](uint32_t n, uint32_t offset, uint32_t value) { ExtBuilder::put32(b.inode(n) + offset, value); };
    // Extra fields in full use: nanoseconds, epoch bits past 2038, a creation time.
    uint32_t full = b.make_file(random_bytes(10, 1), 1000);
    ExtBuilder::put16(b.inode(full) + 0x80, 32);
    stamp(full, 0x10, 0x7FFFFFFF);
    stamp(full, 0x88, (999999999u << 2) | 1); // mtime: epoch 1, last nanosecond
    stamp(full, 0x08, 0xFFFFFFFF);             // atime: one second before 1970
    stamp(full, 0x8C, 0);
    stamp(full, 0x0C, 1234);
    stamp(full, 0x84, 0xFFFFFFFC);             // ctime: nanoseconds out of range
    stamp(full, 0x90, 5000);
    stamp(full, 0x94, 7u << 2);
    b.link(2, full, "full", 1);
    // Extra fields only as far as ctime_extra: mtime keeps whole seconds and
    // there is no creation time, whatever the bytes past the extra size say.
    uint32_t part = b.make_file(random_bytes(10, 2), 2000);
    ExtBuilder::put16(b.inode(part) + 0x80, 8);
    stamp(part, 0x10, 100);
    stamp(part, 0x84, 3u << 2);
    stamp(part, 0x88, 9u << 2);
    stamp(part, 0x90, 6000);
    b.link(2, part, "part", 1);

    ASSERT_NO_FATAL_FAILURE(open(b));
    std::map<std::string, FsprobeTimes> times;
    for (auto* f = ext3_searchfile2(); f; f = static_cast<Ext3FoundFile*>(ext3_get_next(f)))
        ASSERT_TRUE(ext3_get_times(f, &times[ext3_get_filename(f)]));
    ASSERT_EQ(times.size(), 2u);
    const FsprobeTimes& t = times["full"];
    EXPECT_EQ(t.modified.seconds, 0x7FFFFFFFll + (1ll << 32));
    EXPECT_EQ(t.modified.nanoseconds, 999999999u);
    EXPECT_EQ(t.accessed.present, 1);
    EXPECT_EQ(t.accessed.seconds, -1);
    EXPECT_EQ(t.changed.seconds, 1234);
    EXPECT_EQ(t.changed.nanoseconds, 0u);
    EXPECT_EQ(t.created.present, 1);
    EXPECT_EQ(t.created.seconds, 5000);
    EXPECT_EQ(t.created.nanoseconds, 7u);
    EXPECT_EQ(t.deleted.seconds, 1000);
    const FsprobeTimes& p = times["part"];
    EXPECT_EQ(p.modified.seconds, 100);
    EXPECT_EQ(p.modified.nanoseconds, 0u);
    EXPECT_EQ(p.changed.present, 0); // ctime 0 with only nanoseconds: none
    EXPECT_EQ(p.accessed.present, 0);
    EXPECT_EQ(p.created.present, 0);
    EXPECT_EQ(p.created.seconds, 0);
    EXPECT_EQ(p.deleted.seconds, 2000);

    // The ext2 scan reads the same inodes from the table.
    Ext2Group* g = ext2_searchfile();
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(g->file_count, 2u);
    FsprobeTimes e {};
    ASSERT_TRUE(ext2_get_times(ext2_get_file(g, 0), &e));
    EXPECT_EQ(e.modified.seconds, t.modified.seconds);
    EXPECT_EQ(e.created.nanoseconds, 7u);
}

TEST_F(ExtFoldersStaged, ClassicInodesAndRecordsNotOfTheLastSearch)
{
    ExtBuilder b; // 128-byte inodes: no extra fields
    lost_found(b);
    uint32_t f = b.make_file(random_bytes(10, 3), 77);
    ExtBuilder::put32(b.inode(f) + 0x10, 4242);
    b.link(2, f, "plain", 1);
    ASSERT_NO_FATAL_FAILURE(open(b));
    Ext3FoundFile* r = ext3_searchfile2();
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(ext3_get_folder(r), "");
    FsprobeTimes t {};
    ASSERT_TRUE(ext3_get_times(r, &t));
    EXPECT_EQ(t.modified.seconds, 4242);
    EXPECT_EQ(t.created.present, 0);

    // Null, foreign and stale records give nothing and zero the record.
    FsprobeTimes junk;
    std::memset(&junk, 0xAB, sizeof junk);
    EXPECT_FALSE(ext3_get_times(nullptr, &junk));
    EXPECT_EQ(junk.modified.present, 0);
    EXPECT_FALSE(ext3_get_times(r, nullptr));
    Ext3FoundFile foreign {};
    EXPECT_EQ(ext3_get_folder(&foreign), nullptr);
    EXPECT_FALSE(ext3_get_times(&foreign, &junk));
    Ext2LostFile other {};
    EXPECT_EQ(ext2_get_folder(&other), nullptr);
    EXPECT_EQ(ext2_get_realname(&other), nullptr);
    EXPECT_FALSE(ext2_get_times(&other, &junk));
    ASSERT_NE(ext3_searchfile2(), nullptr);
    ext3_exit();
    EXPECT_EQ(ext3_get_folder(r), nullptr);
    EXPECT_FALSE(ext3_get_times(r, &junk));
}

TEST_F(ExtFoldersStaged, Ext2TakesTheFirstEntryWhoseTypeAgrees)
{
    ExtBuilder b;
    lost_found(b);
    uint32_t dir = b.make_dir_inode(b.new_inode_number(), 2);
    b.link(2, dir, "letters", 2);
    uint32_t f = b.make_file(random_bytes(1500, 4), 50);
    // A stale entry naming the inode as a symbolic link comes first: its
    // type does not agree with the regular file, so the next entry names it.
    b.link(dir, f, "wrong-type", 7);
    b.link(dir, f, "mum.odt", 1);
    b.link(2, f, "second-name", 1);
    uint32_t nameless = b.make_file(random_bytes(700, 5), 60);
    ASSERT_NE(nameless, 0u);
    ASSERT_NO_FATAL_FAILURE(open(b));
    Ext2Group* g = ext2_searchfile();
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(g->file_count, 2u);
    Ext2LostFile* named = ext2_get_file(g, 0);
    ASSERT_EQ(ext2_get_filesize(named), 1500u);
    EXPECT_STREQ(ext2_get_folder(named), "letters");
    EXPECT_STREQ(ext2_get_realname(named), "mum.odt");
    EXPECT_EQ(ext2_get_folder(ext2_get_file(g, 1)), nullptr);
    EXPECT_EQ(ext2_get_realname(ext2_get_file(g, 1)), nullptr);
    // A new search forgets the names of the one before and finds them again.
    g = ext2_searchfile();
    EXPECT_STREQ(ext2_get_folder(ext2_get_file(g, 0)), "letters");
}

} // namespace
