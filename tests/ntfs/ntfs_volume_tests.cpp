// The NTFS engine on real volumes: images made by mkntfs and ntfs-3g at test
// time, and third-party images checked against The Sleuth Kit.

#include "Volume.h"

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
    std::set<std::string> differing;
    std::vector<uint64_t> differing_records;
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
        if (salvor_test::sha256_hex(all) != e.sha) {
            differing.insert(path);
            differing_records.push_back(uint64_t(r->position));
        }
    }
    // The new format writes its $LogFile (2 MiB in the middle of the volume,
    // filled by mkntfs even in a quick format) over the one old cluster of
    // file00_000.bin; every other old file comes back byte for byte.
    const std::set<std::string> overwritten = { "set00/sub0/file00_000.bin" };
    EXPECT_EQ(differing, overwritten);
    // The new volume's $Bitmap confirms it: every file that reads differently
    // has a cluster the new file system uses (512-byte clusters, 8 per old
    // cluster).
    ASSERT_TRUE(Initi_Ntfs_InFo(vol.volume()));
    for (uint64_t position : differing_records) {
        std::vector<uint8_t> rec(1024);
        ASSERT_EQ(vol.reader()->read(vol.reader(), rec.data(), 1024, position), 1024u);
        fsprobe::ntfs::apply_fixup(rec.data(), 1024, 512);
        fsprobe::ntfs::ContextPtr data = fsprobe::ntfs::find_attribute(rec.data(), 0x80, u"", {});
        ASSERT_NE(data, nullptr) << position;
        bool taken = false;
        for (const auto& run : data->runs)
            for (uint64_t c = uint64_t(run.lcn) * 8; c < uint64_t(run.lcn + run.length) * 8 && !taken; ++c)
                taken = Ntfs_Fat_Cmp(vol.volume(), int32_t(c));
        EXPECT_TRUE(taken) << "data differs although the new volume left it alone: record at " << position;
    }
    NTFS_Free_Format_Info(head);
    NTFS_Free_Glod_Exit();
}

namespace {

// One old file as the volume held it just before the second format: where
// its MFT record lay and which byte ranges its data took.
struct OldFile {
    uint64_t record_pos = 0;
    std::vector<std::pair<uint64_t, uint64_t>> ranges; // [start, end) on the volume
    uint32_t runs = 0;
};

// Walks the intact old volume (before.img) record by record.
std::map<std::string, OldFile> old_files(const fs::path& before)
{
    using namespace fsprobe::ntfs;
    FileVolume vol(before.string(), BG_FS_NTFS);
    std::map<std::string, OldFile> files;
    Volume volume;
    if (!volume.open(vol.volume()))
        return files;
    const uint64_t c = volume.cluster_size(), rs = volume.record_size();
    const Context& mft = *volume.mft();
    struct Entry {
        std::string name;
        uint32_t parent;
        bool dir;
        OldFile file;
    };
    std::map<uint32_t, Entry> entries;
    std::vector<uint8_t> rec(rs);
    for (uint64_t n = 16; n < mft.data_size / rs; ++n) {
        if (!volume.read_mft_record(n, rec.data(), rec.size()) || !(rec[0x16] & 1)
            || fsprobe::load_le64(rec.data() + 0x20) != 0)
            continue;
        ContextPtr fn_ctx = volume.find_attribute(rec.data(), n, 0x30, u"");
        FileName fn;
        if (read_file_name(fn_ctx.get(), &fn)) {
            Entry e { fsprobe::utf16le_bytes_to_utf8(fn.name, fn.name_length), uint32_t(fn.parent), (rec[0x16] & 2) != 0, {} };
            // The record's place on the volume, through the MFT's runs.
            for (const Run& r : mft.runs) {
                if (n * rs / c >= r.vcn && n * rs / c < r.vcn + r.length)
                    e.file.record_pos = uint64_t(r.lcn) * c + n * rs - r.vcn * c;
            }
            if (ContextPtr data = volume.find_attribute(rec.data(), n, 0x80, u"")) {
                uint64_t left = data->data_size;
                for (size_t i = 0; data->non_resident && i < data->runs.size() && left; ++i) {
                    const Run& r = data->runs[i];
                    uint64_t bytes = std::min(left, r.length * c);
                    if (r.lcn >= 0)
                        e.file.ranges.push_back({ uint64_t(r.lcn) * c, uint64_t(r.lcn) * c + bytes });
                    left -= bytes;
                }
                e.file.runs = data->non_resident ? uint32_t(data->runs.size()) : 0;
            }
            entries[uint32_t(n)] = e;
        }
    }
    for (const auto& [n, e] : entries) {
        if (e.dir)
            continue;
        std::string path = e.name;
        uint32_t p = e.parent;
        for (int depth = 0; p != 5 && depth < 32 && entries.count(p); ++depth) {
            path = entries[p].name + "/" + path;
            p = entries[p].parent;
        }
        if (p == 5)
            files[path] = e.file;
    }
    return files;
}

bool same_bytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint64_t from, uint64_t to)
{
    return to <= a.size() && to <= b.size() && std::equal(a.begin() + long(from), a.begin() + long(to), b.begin() + long(from));
}

struct InPlaceCase {
    int old_cluster;
    int new_cluster;
    bool mirror_survives; // the old MFT mirror lies where the new format left it alone
    std::set<std::string> overwritten; // old files whose clusters the new file system took
};

void PrintTo(const InPlaceCase& c, std::ostream* os) { *os << c.old_cluster << " -> " << c.new_cluster; }

class NtfsFormatInPlace : public ::testing::TestWithParam<InPlaceCase> {};

} // namespace

// A quick format of the same volume puts the new $MFT and its mirror over the
// old ones: no old $MFT record survives. Every old file that the new file
// system left alone comes back at its path, byte for byte; nothing the new
// format wrote is listed.
TEST_P(NtfsFormatInPlace, FindsEveryOldFileTheNewFormatLeftAlone)
{
    if (!salvor_test::require_tool("mkntfs", "ntfs-3g") || !salvor_test::require_tool("ntfs-3g", "ntfs-3g"))
        return;
    const InPlaceCase& param = GetParam();
    salvor_test::TempDir tmp;
    fs::path img = tmp / "vol.img";
    ASSERT_TRUE(salvor_test::run_fixture("ntfs-inplace.sh", { img.string(), std::to_string(param.old_cluster),
                                                               std::to_string(param.new_cluster), tmp.path().string() }));
    auto files = read_manifest(tmp / "files.tsv");
    ASSERT_EQ(files.size(), 41u);
    const auto before = salvor_test::read_file(tmp / "before.img");
    const auto after = salvor_test::read_file(img);
    auto old = old_files(tmp / "before.img");
    ASSERT_EQ(old.size(), files.size());
    EXPECT_GT(old["Photos/fragmented.bin"].runs, 1u) << "the fixture's fragmented file";

    // The new format wrote over the old $MFT record, and in some cases over
    // its mirror too (then no old $MFT record is left at all).
    const uint64_t old_mft = fsprobe::load_le64(before.data() + 0x30) * uint64_t(param.old_cluster);
    const uint64_t old_mirror = fsprobe::load_le64(before.data() + 0x38) * uint64_t(param.old_cluster);
    EXPECT_FALSE(same_bytes(before, after, old_mft, old_mft + 1024));
    EXPECT_EQ(same_bytes(before, after, old_mirror, old_mirror + 1024), param.mirror_survives);

    NTFS_Free_Glod_Exit();
    FileVolume vol(img.string(), BG_FS_NTFS);
    NtfsFormatInfo* head = Search_Ntfs_InFo(vol.volume());
    ASSERT_NE(head, nullptr);
    std::map<std::string, NtfsFormatInfo*> found;
    for (NtfsFormatInfo* r = head; r; r = r->next) {
        if (NTFS_FORMAT_FRAGMENT(r) == NTFS_FORMAT_UNATTRIBUTED)
            continue;
        // Whatever is listed predates the new format.
        EXPECT_TRUE(same_bytes(before, after, r->position, r->position + 1024))
            << "a record of the new file system at " << r->position << ": "
            << fsprobe::utf16le_bytes_to_utf8(r->name, r->name_length);
        if (r->kind & 1)
            continue;
        std::string path = fsprobe::utf16le_bytes_to_utf8(r->name, r->name_length);
        NtfsFormatInfo* at = r;
        NtfsNameParent np {};
        for (int depth = 0; depth < 64; ++depth) {
            np = {};
            NtfsFormatInfo* parent = Nfst_GetFormat_NameParentID(nullptr, at, &np);
            if (!parent)
                break;
            path = fsprobe::utf16le_bytes_to_utf8(parent->name, parent->name_length) + "/" + path;
            at = parent;
        }
        EXPECT_EQ(np.reference_low, 5u) << path << " does not reach the root";
        EXPECT_TRUE(files.count(path)) << "not an old file: " << path;
        found[path] = r;
    }

    std::set<std::string> overwritten;
    for (const auto& [path, e] : files) {
        const OldFile& o = old[path];
        bool untouched = same_bytes(before, after, o.record_pos, o.record_pos + 1024);
        for (const auto& [from, to] : o.ranges)
            untouched = untouched && same_bytes(before, after, from, to);
        auto it = found.find(path);
        std::string sha;
        if (it != found.end()) {
            NtfsFormatInfo* r = it->second;
            EXPECT_EQ(uint64_t(r->size), e.size) << path;
            int32_t chunk = Ntfs_Format_BlockSize(r);
            if (!o.ranges.empty()) {
                EXPECT_EQ(chunk, param.old_cluster) << path;
            }
            std::vector<uint8_t> all, buf(size_t(std::max(chunk, 1)));
            for (uint64_t left = e.size; left && chunk > 0;) {
                uint32_t n = uint32_t(std::min<uint64_t>(uint64_t(chunk), left));
                if (Ntfs_Read_ForMat_Data(r, buf.data(), n) != 0)
                    break;
                all.insert(all.end(), buf.begin(), buf.begin() + n);
                left -= n;
            }
            Ntfs_RWfile_Set(1);
            Ntfs_RWfile_Set(2);
            sha = salvor_test::sha256_hex(all);
        }
        if (sha == e.sha)
            continue;
        overwritten.insert(path);
        EXPECT_FALSE(untouched) << "lost although the new format left it alone: " << path;
    }
    EXPECT_EQ(overwritten, param.overwritten);
    EXPECT_EQ(found.size(), files.size());
    NTFS_Free_Format_Info(head);
    NTFS_Free_Glod_Exit();
}

INSTANTIATE_TEST_SUITE_P(
    ClusterSizes, NtfsFormatInPlace,
    ::testing::Values(InPlaceCase { 4096, 4096, false, {} },
                      InPlaceCase { 4096, 16384, false,
                                    { "Music/file26.bin", "Music/file27.bin", "Photos/Trip/file20.bin",
                                      "Photos/Trip/file21.bin", "Photos/Trip/file24.bin" } },
                      InPlaceCase { 8192, 4096, true, {} }, InPlaceCase { 4096, 512, true, { "Projects/file02.bin" } },
                      InPlaceCase { 512, 4096, false, { "Projects/2023/file05.bin" } }),
    [](const ::testing::TestParamInfo<InPlaceCase>& info) {
        return std::to_string(info.param.old_cluster) + "to" + std::to_string(info.param.new_cluster);
    });

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
    uint32_t chunk = bg_volume_cluster_size(vol.volume());
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
