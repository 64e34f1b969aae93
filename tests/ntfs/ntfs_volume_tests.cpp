// The NTFS engine on real volumes: images made by mkntfs and ntfs-3g at test
// time, and third-party images checked against The Sleuth Kit.

#include "Ntfs.h"

#include <file_volume.h>
#include <fsprobe/common/utf.h>
#include <fsprobe/ntfs.h>
#include <gtest/gtest.h>
#include <test_support.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using salvor_test::FileVolume;

namespace {

struct Expected {
    uint64_t size = 0;
    std::string sha;
};

std::map<std::string, Expected> read_manifest(const fs::path& path)
{
    std::map<std::string, Expected> m;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string p, size, sha;
        std::getline(row, p, '\t');
        std::getline(row, size, '\t');
        std::getline(row, sha, '\t');
        m[p] = { std::stoull(size), sha };
    }
    return m;
}

// A name as the engine keeps it: at most 128 UTF-16 units.
std::string stored_name(const uint8_t* name, unsigned length)
{
    return fsprobe::utf16le_bytes_to_utf8(name, std::min(length, 128u));
}

// Cuts every component of a path to what the engine can hold.
std::string cut_components(const std::string& path)
{
    std::string out, part;
    std::istringstream in(path);
    while (std::getline(in, part, '/')) {
        std::u16string u = fsprobe::utf8_to_utf16(part);
        if (u.size() > 128)
            u.resize(128);
        out += (out.empty() ? "" : "/") + fsprobe::utf16_to_utf8(u);
    }
    return out;
}

// The file's path, from its parents up to the root (record 5).
std::string deleted_path(const NtfsFileInfo* f)
{
    std::string path = stored_name(f->name, f->name_length);
    uint32_t ref = uint32_t(f->record_number);
    for (int depth = 0; depth < 64; ++depth) {
        NtfsNameParent np {};
        if (Ntfs_Get_NameParentID(ref, 0, &np) != 1)
            return "?/" + path;
        if (np.reference_low == 5)
            return path;
        path = stored_name(np.name, np.name_length) + "/" + path;
        ref = np.reference_low;
    }
    return "?loop/" + path;
}

std::string stream_sha(uint32_t record, uint64_t size, uint32_t chunk)
{
    std::vector<uint8_t> all, buf(chunk);
    uint64_t left = size;
    while (left) {
        uint32_t n = uint32_t(std::min<uint64_t>(chunk, left));
        if (Ntfs_Get_Data(record, 0, buf.data(), n) != 0)
            break;
        all.insert(all.end(), buf.begin(), buf.begin() + n);
        left -= n;
    }
    Ntfs_RWfile_Set(1);
    return salvor_test::sha256_hex(all);
}

class NtfsDeletedVolume : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { NTFS_Free_Glod_Exit(); }
    void TearDown() override { NTFS_Free_Glod_Exit(); }
};

} // namespace

TEST_P(NtfsDeletedVolume, FindsRebuildsAndReadsEveryDeletedFile)
{
    if (!salvor_test::require_tool("mkntfs", "ntfs-3g") || !salvor_test::require_tool("ntfs-3g", "ntfs-3g"))
        return;
    salvor_test::TempDir tmp;
    fs::path img = tmp / "vol.img";
    ASSERT_TRUE(salvor_test::run_fixture("ntfs-deleted.sh", { img.string(), std::to_string(GetParam()), tmp.path().string() }));
    auto deleted = read_manifest(tmp / "deleted.tsv");
    auto live = read_manifest(tmp / "live.tsv");
    ASSERT_EQ(deleted.size(), 21u);

    FileVolume vol(img.string(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    NtfsFileInfo* head = Ntfs_Get_Del_File();
    EXPECT_EQ(bg_progress.load(), 100);
    std::map<std::string, const NtfsFileInfo*> found;
    for (NtfsFileInfo* f = head; f; f = f->next) {
        EXPECT_EQ(f->state, 0);
        found[deleted_path(f)] = f;
    }
    std::set<std::string> want, got;
    for (const auto& [path, e] : deleted)
        want.insert(cut_components(path));
    for (const auto& [path, f] : found)
        got.insert(path);
    EXPECT_EQ(got, want);
    for (const auto& [path, e] : live)
        EXPECT_EQ(found.count(path), 0u) << path;

    uint32_t chunk = uint32_t(GetParam());
    for (const auto& [path, e] : deleted) {
        auto it = found.find(cut_components(path));
        if (it == found.end())
            continue;
        const NtfsFileInfo* f = it->second;
        EXPECT_EQ(uint64_t(f->size), e.size) << path;
        if (path.find(std::string(140, 'L')) != std::string::npos) {
            EXPECT_EQ(f->name_length, 144) << "the name length keeps the full length";
        }
        EXPECT_EQ(Ntfs_Get_FlieSize(uint32_t(f->record_number), 0, head), e.size);
        EXPECT_EQ(stream_sha(uint32_t(f->record_number), e.size, chunk), e.sha) << path;
    }

    // The root listing: the live folders, marked as directories; no system
    // files and not the deleted folder.
    _Set_ExternUse();
    ASSERT_TRUE(Shwo_Ntfs_Dir(5));
    NtfsFileInfo* listing = _Get_ExternUse();
    std::map<std::string, int> root;
    for (NtfsFileInfo* f = listing; f; f = f->next)
        root[stored_name(f->name, f->name_length)] = f->state;
    EXPECT_EQ(root, (std::map<std::string, int> { { "docs", 1 }, { "media", 1 } }));
    _Set_ExternUse();
    NTFS_Free_File_Info(listing);
    NTFS_Free_File_Info(head);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsDeletedVolume, ::testing::Values(4096, 512));

TEST(NtfsFormatRecovery, RebuildsFoldersAndReadsOldFilesAfterAReformat)
{
    if (!salvor_test::require_tool("mkntfs", "ntfs-3g") || !salvor_test::require_tool("ntfs-3g", "ntfs-3g"))
        return;
    NTFS_Free_Glod_Exit();
    salvor_test::TempDir tmp;
    fs::path img = tmp / "fmt.img";
    ASSERT_TRUE(salvor_test::run_fixture("ntfs-format.sh", { img.string(), tmp.path().string() }));
    auto files = read_manifest(tmp / "files.tsv");
    ASSERT_EQ(files.size(), 300u);

    FileVolume vol(img.string(), BG_FS_NTFS);
    NtfsFormatInfo* head = Search_Ntfs_InFo(vol.volume());
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(bg_progress.load(), 100);
    std::map<std::string, NtfsFormatInfo*> found;
    for (NtfsFormatInfo* r = head; r; r = r->next) {
        if (r->kind & 1)
            continue;
        std::string path = fsprobe::utf16le_bytes_to_utf8(r->name, r->name_length);
        NtfsFormatInfo* at = r;
        bool rooted = false;
        for (int depth = 0; depth < 64; ++depth) {
            NtfsNameParent np {};
            NtfsFormatInfo* parent = Nfst_GetFormat_NameParentID(nullptr, at, &np);
            if (!parent) {
                rooted = np.reference_low == 5;
                break;
            }
            EXPECT_EQ(np.flags, 1);
            path = fsprobe::utf16le_bytes_to_utf8(np.name, np.name_length) + "/" + path;
            at = parent;
        }
        if (rooted && files.count(path))
            found[path] = r;
    }
    EXPECT_EQ(found.size(), files.size());
    size_t exact = 0;
    std::vector<std::pair<std::string, uint64_t>> differing;
    for (const auto& [path, r] : found) {
        const Expected& e = files[path];
        EXPECT_EQ(uint64_t(r->size), e.size) << path;
        int32_t chunk = Ntfs_Format_BlockSize(r);
        EXPECT_EQ(chunk, 4096) << path;
        if (chunk <= 0)
            continue;
        std::vector<uint8_t> all, buf(static_cast<size_t>(chunk));
        uint64_t left = e.size;
        while (left) {
            uint32_t n = uint32_t(std::min<uint64_t>(uint64_t(chunk), left));
            if (Ntfs_Read_ForMat_Data(r, buf.data(), n) != 0)
                break;
            all.insert(all.end(), buf.begin(), buf.begin() + n);
            left -= n;
        }
        Ntfs_RWfile_Set(1);
        Ntfs_RWfile_Set(2);
        if (salvor_test::sha256_hex(all) == e.sha)
            ++exact;
        else
            differing.push_back({ path, uint64_t(r->position) });
    }
    // The new file system takes some old clusters for its own files; only a
    // file whose old clusters the new volume uses may read differently.
    // The new volume's $Bitmap tells (512-byte clusters, 8 per old cluster).
    EXPECT_GE(exact, files.size() * 9 / 10);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    for (const auto& [path, position] : differing) {
        std::vector<uint8_t> rec(1024);
        ASSERT_EQ(vol.reader()->read(vol.reader(), rec.data(), 1024, position), 1024u);
        fsprobe::ntfs::apply_fixup(rec.data(), 1024, 512);
        fsprobe::ntfs::FindOptions opts;
        opts.follow_lists = false;
        NtfsAttributeContext* data = fsprobe::ntfs::find_attribute(rec.data(), 0x80, u"", opts);
        ASSERT_NE(data, nullptr) << path;
        bool taken = false;
        for (uint32_t i = 0; i < data->run_count && !taken; ++i)
            for (uint64_t c = uint64_t(data->runs[i].lcn) * 8; c < uint64_t(data->runs[i].lcn + data->runs[i].length) * 8 && !taken; ++c)
                taken = Ntfs_Fat_Cmp(vol.volume(), int32_t(c));
        Ntfs_Release_Attribute_Context(data);
        EXPECT_TRUE(taken) << "data differs although the new volume left it alone: " << path;
    }
    NTFS_Free_Format_Info(head);
    NTFS_Free_Glod_Exit();
}

namespace {

struct TskFile {
    uint32_t inode;
    std::string path;
};

// Allocated regular files with their unnamed data stream, listed by fls.
std::vector<TskFile> tsk_files(const fs::path& img)
{
    std::string out;
    salvor_test::run("fls -r -p -F -u '" + img.string() + "' 2>/dev/null", &out);
    std::vector<TskFile> files;
    std::set<uint32_t> seen; // hard links name one record several times
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto tab = line.find('\t');
        if (line.rfind("r/r ", 0) != 0 || tab == std::string::npos)
            continue;
        std::string meta = line.substr(4, tab - 4);
        std::string path = line.substr(tab + 1);
        if (path.find(':') != std::string::npos || meta.find('-') == std::string::npos)
            continue; // named streams
        if (meta.substr(meta.find('-') + 1, 4) != "128-")
            continue;
        uint32_t inode = uint32_t(std::stoul(meta));
        if (seen.insert(inode).second)
            files.push_back({ inode, path });
    }
    return files;
}

void check_against_icat(const std::string& name, size_t min_files)
{
    if (!salvor_test::require_tool("icat", "sleuthkit"))
        return;
    salvor_test::TempDir tmp;
    auto img = salvor_test::shared_image("ntfs/" + name, tmp.path());
    if (!img)
        GTEST_SKIP() << "shared test images absent";
    NTFS_Free_Glod_Exit();
    FileVolume vol(img->string(), BG_FS_NTFS);
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    auto files = tsk_files(*img);
    EXPECT_GE(files.size(), min_files);
    uint32_t chunk = fsprobe::ntfs::state().cluster_size;
    for (const auto& f : files) {
        fs::path dump = tmp / "icat.bin";
        ASSERT_EQ(salvor_test::run("icat '" + img->string() + "' " + std::to_string(f.inode) + " > '" + dump.string() + "'"), 0);
        uint64_t size = fs::file_size(dump);
        EXPECT_EQ(Ntfs_Get_FlieSize(f.inode, 0, nullptr), size) << f.path;
        EXPECT_EQ(stream_sha(f.inode, size, chunk), salvor_test::sha256_file(dump)) << f.path << " (" << f.inode << ")";
    }
    NTFS_Free_Glod_Exit();
}

} // namespace

TEST(NtfsThirdParty, AttributeListImageReadsLikeIcat) { check_against_icat("ntfs3_attrlist.raw", 3); }

TEST(NtfsThirdParty, SparseAndManyFoldersImageReadsLikeIcat) { check_against_icat("testfs1.raw", 3); }

TEST(NtfsThirdParty, BareMftFilesParseWithoutFault)
{
    for (const char* name : { "deleted.mft", "orphan.mft" }) {
        salvor_test::TempDir tmp;
        auto path = salvor_test::shared_image(std::string("ntfs/") + name, tmp.path());
        if (!path)
            GTEST_SKIP() << "shared test images absent";
        NTFS_Free_Glod_Exit();
        auto bytes = salvor_test::read_file(*path);
        size_t named = 0, with_data = 0;
        for (size_t off = 0; off + 1024 <= bytes.size(); off += 1024) {
            uint8_t* rec = bytes.data() + off;
            if (Ntfs_Get_MFTID(rec) == 0xFFFFFFFF || !fsprobe::ntfs::apply_fixup(rec, 1024, 512))
                continue;
            NtfsAttributeContext* fn = Ntfs_Find_Attribute(rec, 0x30, u"");
            fsprobe::ntfs::FileName name;
            if (fsprobe::ntfs::read_file_name(fn, &name))
                ++named;
            Ntfs_Release_Attribute_Context(fn);
            for (uint32_t type : { 0x10u, 0x20u, 0x80u, 0x90u, 0xA0u, 0xB0u }) {
                NtfsAttributeContext* c = Ntfs_Find_Attribute(rec, type, type >= 0x90 ? u"$I30" : u"");
                if (c && type == 0x80)
                    ++with_data;
                Ntfs_Release_Attribute_Context(c);
            }
        }
        EXPECT_GT(named, 10u) << name;
        EXPECT_GT(with_data, 10u) << name;
    }
}
