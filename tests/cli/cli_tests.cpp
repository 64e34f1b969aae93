// salvor-cli end to end: every mode and file system on images made by the
// fixture tools, recovered through the tool and compared by SHA-256.
#include "test_support.h"

#include "hfsplus_image_builder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace salvor_test;

struct Expected {
    std::string path; // tree path below the target folder
    std::string sha;
};

std::string cli()
{
    return (bin_dir() / "salvor-cli").string();
}

std::string quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int run_cli(const std::string& args, std::string* output = nullptr)
{
    return run(cli() + " " + args + " 2>&1", output);
}

std::vector<std::vector<std::string>> read_rows(const fs::path& path, char sep)
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
        while (std::getline(ss, col, sep))
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

// Every regular file below `dir`, as relative path -> SHA-256.
std::map<std::string, std::string> recovered_files(const fs::path& dir)
{
    std::map<std::string, std::string> out;
    if (!fs::exists(dir))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out[fs::relative(e.path(), dir).string()] = sha256_file(e.path());
    return out;
}

// Bytes that salvor-cli read from the source for `args`, from blockgate's
// read log; -1 when the log is missing.
int64_t bytes_read_by(const std::string& args, std::string* output)
{
    TempDir t;
    const fs::path log = t / "reads.log";
    run("BLOCKGATE_READ_LOG=" + quote(log.string()) + " " + cli() + " " + args + " 2>&1", output);
    std::ifstream in(log);
    std::string key;
    int64_t n = -1;
    in >> key >> n;
    return key == "bytes_read" ? n : -1;
}

// The files and bytes of the summary line "recovered N files (B bytes)".
std::pair<uint64_t, uint64_t> recovered_counts(const std::string& output)
{
    const size_t at = output.find("recovered ");
    if (at == std::string::npos)
        return {0, 0};
    unsigned long long files = 0, bytes = 0;
    std::sscanf(output.c_str() + at, "recovered %llu files (%llu bytes)", &files, &bytes);
    return {files, bytes};
}

// What recovering costs the source beyond the scan: about what it writes,
// plus a page of metadata per file (an NTFS record, say). Reads that fill
// whole read-ahead windows for small files break this at once.
void expect_reads_in_proportion(const std::string& mode_args, const fs::path& source)
{
    TempDir out;
    std::string scan_out, rec_out;
    const int64_t scan = bytes_read_by("scan " + mode_args + " " + quote(source.string()), &scan_out);
    const int64_t recover = bytes_read_by(
        "recover " + mode_args + " " + quote(source.string()) + " --to " + quote((out / "r").string()), &rec_out);
    ASSERT_GE(scan, 0) << scan_out;
    ASSERT_GE(recover, 0) << rec_out;
    const auto [files, bytes] = recovered_counts(rec_out);
    const double allowed = 1.5 * double(bytes) + 4096.0 * double(files) + 65536.0;
    EXPECT_LE(double(recover - scan), allowed)
        << "scan read " << scan << ", recover read " << recover << " for " << files << " files of " << bytes
        << " bytes\n" << rec_out;
}

// Recovers `source` with `args` into a fresh folder and checks the expected
// files byte for byte (except the `overwritten` ones, which are recovered but
// must differ), the absence of `absent` names, the unchanged source, that a
// second run into the same folder skips everything, and that the recovery
// reads about what it writes.
void recover_and_check(const std::string& mode_args, const fs::path& source, const std::vector<Expected>& expected,
                       const std::vector<std::string>& absent, int expected_status = 0,
                       const std::set<std::string>& overwritten = {})
{
    TempDir out;
    const fs::path target = out / "recovered";
    const std::string before = sha256_file(source);
    std::string output;
    const int rc = run_cli("recover " + mode_args + " " + quote(source.string()) + " --to " + quote(target.string()),
                           &output);
    EXPECT_EQ(rc, expected_status) << output;
    EXPECT_NE(output.find("recovered "), std::string::npos) << output;
    const auto files = recovered_files(target);
    for (const auto& e : expected) {
        auto it = files.find(e.path);
        if (it == files.end()) {
            ADD_FAILURE() << "not recovered: " << e.path << "\n" << output;
            continue;
        }
        if (overwritten.count(e.path)) {
            EXPECT_NE(it->second, e.sha) << e.path << " was expected to be overwritten";
        } else {
            EXPECT_EQ(it->second, e.sha) << e.path;
        }
    }
    for (const auto& name : absent)
        for (const auto& [path, sha] : files)
            EXPECT_NE(fs::path(path).filename().string(), name) << "live file recovered: " << path;
    EXPECT_EQ(sha256_file(source), before) << "the source changed";

    // Nothing is overwritten: a second run skips every file.
    std::string again;
    EXPECT_EQ(run_cli("recover " + mode_args + " " + quote(source.string()) + " --to " + quote(target.string()),
                      &again),
              3)
        << again;
    EXPECT_NE(again.find("recovered 0 files"), std::string::npos) << again;
    EXPECT_EQ(recovered_files(target), files);
    expect_reads_in_proportion(mode_args, source);
}

std::string base_name(const std::string& path)
{
    return fs::path(path).filename().string();
}

// The sample disk of README command 1 (NTFS and FAT32 with deleted files);
// false, with the test failed, when a tool is missing or the build fails.
bool make_sample_disk(const fs::path& img)
{
    return require_tool("mkntfs", "ntfs-3g") && require_tool("mcopy", "mtools") && require_tool("sfdisk", "fdisk")
        && run_fixture("make-sample-disk.sh", {img.string()});
}

TEST(CliRecover, SampleDiskBothVolumes)
{
    TempDir tmp;
    const fs::path img = tmp / "sample.img";
    ASSERT_TRUE(make_sample_disk(img));

    std::string out;
    ASSERT_EQ(run_cli("devices --json " + quote(img.string()), &out), 0) << out;
    EXPECT_NE(out.find("\"volumes\":[{\"index\":0,\"start\":1048576,\"size\":8388608,\"fs_code\":4,\"fs\":\"NTFS\"},"
                       "{\"index\":1,\"start\":9437184,\"size\":41943040,\"fs_code\":3,\"fs\":\"FAT32\"}]"),
              std::string::npos)
        << out;

    auto sample = [](const std::string& name, size_t size, int seed, bool jpeg) {
        std::string text;
        while (text.size() < size)
            text += "salvor sample " + std::to_string(seed) + " " + name;
        text.resize(size);
        if (jpeg)
            text.replace(0, 4, "\xff\xd8\xff\xe0");
        return sha256_hex(text.data(), text.size());
    };
    recover_and_check("deleted --volume 0", img,
                      {{"notes.txt", sample("notes.txt", 1200, 3, false)},
                       {"Documents/report.txt", sample("report.txt", 3000, 1, false)},
                       {"Documents/Old/photo.jpg", sample("photo.jpg", 70000, 2, true)}},
                      {"keep.txt"});
    recover_and_check("deleted --volume 1", img,
                      {{"_etter.doc", sample("letter.doc", 5000, 6, false)},
                       {"Work/_udget.xls", sample("budget.xls", 20000, 5, false)}},
                      {"stay.txt", "STAY.TXT"});
}

TEST(CliRecover, NtfsDeleted)
{
    if (!require_tool("mkntfs", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_TRUE(run_fixture("ntfs-deleted.sh", {img.string(), "4096", tmp.path().string()}));
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "deleted.tsv", '\t'))
        expected.push_back({r.at(0), r.at(2)}); // whole names, 144 units among them
    std::vector<std::string> live;
    for (const auto& r : read_rows(tmp / "live.tsv", '\t'))
        live.push_back(base_name(r.at(0)));
    ASSERT_FALSE(expected.empty());
    recover_and_check("deleted", img, expected, live);
}

TEST(CliRecover, NtfsDeletedFilesWhoseFolderRecordWasReused)
{
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("ntfs-3g", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_TRUE(run_fixture("cli-ntfs-lost.sh", {img.string(), (tmp / "orphans.tsv").string()}));
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "orphans.tsv", '\t'))
        expected.push_back({"Lost files/Folder0/" + r.at(0), r.at(2)});
    ASSERT_EQ(expected.size(), 2u);
    recover_and_check("deleted", img, expected, {"new.txt"});
}

TEST(CliRecover, NtfsFormat)
{
    if (!require_tool("mkntfs", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_TRUE(run_fixture("ntfs-format.sh", {img.string(), tmp.path().string()}));
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t'))
        expected.push_back({r.at(0), r.at(2)});
    ASSERT_GT(expected.size(), 100u);
    // The fixture holds empty files too: each is created empty. Every file
    // comes back byte for byte but one: the new $LogFile (2 MiB in the middle
    // of the volume) ends inside the one old cluster of set00/sub0/file00_000.bin.
    recover_and_check("format --fs ntfs", img, expected, {}, 0, {"set00/sub0/file00_000.bin"});
}

// The NTFS Format Recovery listing of an image holds exactly `paths`.
void expect_ntfs_format_lists(const fs::path& img, const std::set<std::string>& paths)
{
    std::string listing;
    ASSERT_EQ(run(cli() + " scan format --fs ntfs " + quote(img.string()) + " 2>/dev/null", &listing), 0);
    std::stringstream ss(listing);
    size_t listed = 0;
    for (std::string line; std::getline(ss, line);) {
        if (line.find('\t') == std::string::npos)
            continue;
        ++listed;
        EXPECT_TRUE(paths.count(line.substr(0, line.find('\t')))) << "listed but not expected: " << line;
    }
    EXPECT_EQ(listed, paths.size()) << listing;
}

// A quick format in place with the same cluster size: the old $MFT record
// and its mirror are gone, yet every old file comes back at its path and
// nothing of the new file system is listed.
TEST(CliRecover, NtfsFormatInPlace)
{
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("ntfs-3g", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_TRUE(run_fixture("ntfs-inplace.sh", {img.string(), "4096", "4096", tmp.path().string()}));
    std::vector<Expected> expected;
    std::set<std::string> old_paths;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t')) {
        expected.push_back({r.at(0), r.at(2)});
        old_paths.insert(r.at(0));
    }
    ASSERT_EQ(expected.size(), 41u);
    expect_ntfs_format_lists(img, old_paths);
    recover_and_check("format --fs ntfs", img, expected, {});
}

// Format Recovery on an NTFS volume that was never formatted again: its
// files are all live, and every one comes back at its path; nothing of the
// file system's own metadata is listed.
TEST(CliRecover, NtfsFormatOnAnIntactVolume)
{
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("ntfs-3g", "ntfs-3g"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("ntfs-inplace.sh", {(tmp / "formatted.img").string(), "4096", "4096", tmp.path().string()}));
    const fs::path img = tmp / "before.img"; // the volume as filled, before the second format
    std::vector<Expected> expected;
    std::set<std::string> paths;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t')) {
        expected.push_back({r.at(0), r.at(2)});
        paths.insert(r.at(0));
    }
    ASSERT_EQ(expected.size(), 41u);
    expect_ntfs_format_lists(img, paths);
    recover_and_check("format --fs ntfs", img, expected, {});
}

// The metadata of a live volume below $Extend is left out at any depth: a
// folder moved there (as Windows keeps $Extend\$RmMetadata\$TxfLog) takes
// its whole tree out of the listing; every other file is still listed.
TEST(CliRecover, NtfsFormatLeavesTheExtendTreeOfALiveVolumeOut)
{
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("ntfs-3g", "ntfs-3g") || !require_tool("python3", "python3"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("ntfs-inplace.sh", {(tmp / "formatted.img").string(), "4096", "4096", tmp.path().string()}));
    const fs::path img = tmp / "before.img";
    // The $FILE_NAME of the "Projects" folder record names $Extend (11) as
    // its parent.
    const std::string patch = R"(
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
done = 0
for pos in range(0, len(data) - 1024, 1024):
    r = data[pos:pos + 1024]
    if r[:4] != b'FILE' or not struct.unpack_from('<H', r, 0x16)[0] & 2:
        continue
    a = struct.unpack_from('<H', r, 0x14)[0]
    while a + 8 <= 1024:
        kind, length = struct.unpack_from('<II', r, a)
        if kind == 0xFFFFFFFF or length < 8:
            break
        if kind == 0x30:
            c = a + struct.unpack_from('<H', r, a + 0x14)[0]
            n = r[c + 0x40]
            if r[c + 0x42:c + 0x42 + 2 * n].decode('utf-16-le') == 'Projects' and (pos + c) % 512 < 504:
                struct.pack_into('<Q', data, pos + c, 11 | (struct.unpack_from('<Q', r, c)[0] & (0xFFFF << 48)))
                done += 1
        a += length
open(sys.argv[1], 'wb').write(data)
sys.exit(0 if done == 1 else 1)
)";
    {
        std::ofstream(tmp / "patch.py") << patch;
    }
    ASSERT_EQ(run("python3 " + quote((tmp / "patch.py").string()) + " " + quote(img.string())), 0);
    std::vector<Expected> expected;
    std::set<std::string> paths;
    size_t under_projects = 0;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t')) {
        if (r.at(0).rfind("Projects/", 0) == 0) {
            ++under_projects;
            continue;
        }
        expected.push_back({r.at(0), r.at(2)});
        paths.insert(r.at(0));
    }
    ASSERT_GT(under_projects, 10u);
    expect_ntfs_format_lists(img, paths);
}

// The longest names each file system allows come through whole, in the
// listing and as recovered file names. A name longer than 255 bytes of UTF-8
// (255 units of two-byte characters) is cut to fit and keeps its extension.
std::string fitted(const std::string& path)
{
    std::string out;
    std::stringstream ss(path);
    for (std::string part; std::getline(ss, part, '/');) {
        if (part.size() > 255) {
            const std::string ext = part.substr(part.rfind('.'));
            std::string stem = part.substr(0, 255 - ext.size());
            while (!stem.empty() && (uint8_t(stem.back()) & 0xC0) == 0x80)
                stem.pop_back();
            if (!stem.empty() && uint8_t(stem.back()) >= 0xC0)
                stem.pop_back();
            part = stem + ext;
        }
        out += (out.empty() ? "" : "/") + part;
    }
    return out;
}

void long_names(const std::string& kind, const std::string& mode_args, const std::string& prefix)
{
    TempDir tmp;
    const fs::path img = tmp / "long.img";
    ASSERT_TRUE(run_fixture("cli-long-names.sh", {kind, img.string(), (tmp / "files.tsv").string()}));
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t')) {
        if (prefix.empty())
            expected.push_back({fitted(r.at(0)), r.at(2)});
        else
            expected.push_back({prefix + fitted(base_name(r.at(0))), r.at(2)});
    }
    ASSERT_FALSE(expected.empty());
    std::string listing;
    ASSERT_EQ(run(cli() + " scan " + mode_args + " " + quote(img.string()) + " 2>/dev/null", &listing), 0);
    for (const auto& e : expected)
        EXPECT_NE(listing.find(e.path + "\t"), std::string::npos) << e.path << "\n" << listing;
    recover_and_check(mode_args, img, expected, {});
}

TEST(CliLongNames, NtfsDeleted)
{
    if (require_tool("mkntfs", "ntfs-3g") && require_tool("ntfs-3g", "ntfs-3g"))
        long_names("ntfs-deleted", "deleted", "");
}

TEST(CliLongNames, NtfsFormat)
{
    if (require_tool("mkntfs", "ntfs-3g") && require_tool("ntfs-3g", "ntfs-3g"))
        long_names("ntfs-format", "format --fs ntfs", "");
}

TEST(CliLongNames, FatDeleted)
{
    if (require_tool("mkfs.vfat", "dosfstools") && require_tool("mcopy", "mtools"))
        long_names("fat", "deleted", "");
}

TEST(CliLongNames, Ext3Deleted)
{
    if (require_tool("mke2fs", "e2fsprogs") && require_tool("debugfs", "e2fsprogs"))
        long_names("ext3", "deleted", "");
}

TEST(CliLongNames, HfsPlusDeleted)
{
    hfsplus_test::HfsPlusImageBuilder builder;
    const std::string ascii = "Long-" + std::string(246, 'x') + ".txt";
    std::string accented;
    for (int i = 0; i < 251; ++i)
        accented += "\xC3\xA9";
    accented += ".pdf";
    const auto a = random_bytes(5000, 11);
    const auto b = random_bytes(3000, 12);
    builder.add_deleted_file(hfsplus_test::HfsPlusImageBuilder::kRootFolder, ascii, a,
                             hfsplus_test::DeletedPlace::NodeFreeSpace);
    builder.add_deleted_file(hfsplus_test::HfsPlusImageBuilder::kRootFolder, accented, b,
                             hfsplus_test::DeletedPlace::NodeFreeSpace);
    TempDir tmp;
    const fs::path img = tmp / "hfsplus.img";
    write_file(img, builder.build());
    ASSERT_EQ(fitted(accented).size(), 254u);
    recover_and_check("deleted", img,
                      {{ascii, sha256_hex(a)}, {fitted(accented), sha256_hex(b)}}, {});
}

// Deleted FAT files TEST.TXT and BEST.TXT both show as _EST.TXT: both are
// written, the second as "_EST (2).TXT"; a second run skips both.
TEST(CliRecover, FatNamesThatClashAreAllWritten)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "clash.img";
    ASSERT_TRUE(run_fixture("cli-name-clash.sh", {img.string(), (tmp / "files.tsv").string()}));
    const auto rows = read_rows(tmp / "files.tsv", '\t');
    ASSERT_EQ(rows.size(), 3u);
    recover_and_check("deleted", img,
                      {{"_EST.TXT", rows[0].at(2)}, {"_EST (2).TXT", rows[1].at(2)}, {"Docs/_OTE.TXT", rows[2].at(2)}},
                      {"KEEP.TXT"});
}

// Links planted in the target are never followed: a folder that is a link
// (out of the target or inside it) or a file fails its files with the
// reason, and nothing is written anywhere else.
TEST(CliRecover, NothingIsWrittenThroughPlantedLinks)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "clash.img";
    ASSERT_TRUE(run_fixture("cli-name-clash.sh", {img.string(), (tmp / "files.tsv").string()}));
    enum Plant { kLinkOut, kLinkIn, kFile };
    for (Plant plant : {kLinkOut, kLinkIn, kFile}) {
        TempDir out;
        const fs::path target = out / "target", outside = out / "outside";
        fs::create_directories(target / "Real");
        fs::create_directories(outside);
        if (plant == kLinkOut)
            fs::create_directory_symlink(outside, target / "Docs");
        else if (plant == kLinkIn)
            fs::create_directory_symlink(target / "Real", target / "Docs");
        else
            write_file(target / "Docs", {'x'});
        // A link at a file's own path is left alone: the file is skipped.
        fs::create_symlink(outside / "written.txt", target / "_EST.TXT");
        std::string output;
        EXPECT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote(target.string()), &output), 3)
            << output;
        EXPECT_NE(output.find("recovered 1 files"), std::string::npos) << output;
        EXPECT_NE(output.find("failed 1, skipped 1"), std::string::npos) << output;
        EXPECT_NE(output.find(plant == kFile ? "failed: 1 file: " + target.string() + "/Docs is not a folder"
                                             : "failed: 1 file: " + target.string() + "/Docs is a symbolic link"),
                  std::string::npos)
            << output;
        EXPECT_TRUE(fs::is_empty(outside)) << output;
        EXPECT_TRUE(fs::is_empty(target / "Real")) << output;
        EXPECT_TRUE(fs::is_regular_file(target / "_EST (2).TXT")) << output;
    }
}

// HFS+ names that the clean-up makes equal are all written: ".." and "__",
// and two names of 255 two-byte characters cut to the same 255 bytes (the
// numbered one also fits in 255 bytes and keeps its extension).
TEST(CliRecover, HfsPlusNamesThatClashAreAllWritten)
{
    std::string accented;
    for (int i = 0; i < 250; ++i)
        accented += "\xC3\xA9";
    const std::vector<std::string> names = {"..", "__", accented + "1.pdf", accented + "2.pdf"};
    hfsplus_test::HfsPlusImageBuilder builder;
    std::map<size_t, std::string> sha_by_size;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto data = random_bytes(1000 * (i + 1), 30 + i);
        sha_by_size[data.size()] = sha256_hex(data);
        builder.add_deleted_file(hfsplus_test::HfsPlusImageBuilder::kRootFolder, names[i], data,
                                 hfsplus_test::DeletedPlace::NodeFreeSpace);
    }
    TempDir tmp;
    const fs::path img = tmp / "hfsplus.img";
    write_file(img, builder.build());
    // The first of two clashing files listed keeps the name.
    std::string listing;
    ASSERT_EQ(run(cli() + " scan deleted " + quote(img.string()) + " 2>/dev/null", &listing), 0);
    auto listed_first = [&](size_t x, size_t y) {
        const size_t px = listing.find("\t" + std::to_string(x) + "\t"), py = listing.find("\t" + std::to_string(y) + "\t");
        EXPECT_NE(px, std::string::npos) << listing;
        EXPECT_NE(py, std::string::npos) << listing;
        return px < py;
    };
    const std::string cut = fitted(accented + "1.pdf");
    ASSERT_EQ(cut.size(), 254u);
    const std::string numbered = accented.substr(0, 246) + " (2).pdf";
    const bool dots_first = listed_first(1000, 2000), one_first = listed_first(3000, 4000);
    recover_and_check("deleted", img,
                      {{"__", sha_by_size[dots_first ? 1000 : 2000]},
                       {"__ (2)", sha_by_size[dots_first ? 2000 : 1000]},
                       {cut, sha_by_size[one_first ? 3000 : 4000]},
                       {numbered, sha_by_size[one_first ? 4000 : 3000]}},
                      {});
}

void fat_deleted(const std::string& type)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("fat-deleted.sh", {tmp.path().string(), type}));
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "deleted.tsv", '\t')) {
        std::string path = r.at(0);
        // A file without a long name loses its first character to the
        // deletion mark: it is shown with '_'.
        if (r.at(4) == "1") {
            const size_t slash = path.find_last_of('/');
            path[slash == std::string::npos ? 0 : slash + 1] = '_';
        }
        expected.push_back({path, r.at(2)});
    }
    std::vector<std::string> live;
    for (const auto& r : read_rows(tmp / "live.tsv", '\t'))
        live.push_back(base_name(r.at(0)));
    ASSERT_FALSE(expected.empty());
    recover_and_check("deleted", tmp / "volume.img", expected, live);
}

TEST(CliRecover, Fat12Deleted) { fat_deleted("12"); }
TEST(CliRecover, Fat16Deleted) { fat_deleted("16"); }
TEST(CliRecover, Fat32Deleted) { fat_deleted("32"); }

// A deleted folder whose clusters lie scattered: the files in clusters no
// folder links to come back under "Lost files/Folder%u" with their long names.
void fat_scattered(const std::string& type)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("fat-scattered.sh", {tmp.path().string(), type}));
    const fs::path img = tmp / "volume.img";
    std::string listing;
    ASSERT_EQ(run_cli("scan deleted " + quote(img.string()), &listing), 0) << listing;
    std::map<std::string, std::string> path_of; // name -> listed path
    size_t lost = 0;
    std::stringstream ss(listing);
    for (std::string line; std::getline(ss, line);) {
        if (line.find('\t') == std::string::npos)
            continue; // the count line
        const std::string path = line.substr(0, line.find('\t'));
        EXPECT_TRUE(path_of.emplace(base_name(path), path).second) << "listed twice: " << path;
        lost += path.rfind("Lost files/Folder", 0) == 0;
    }
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t')) {
        auto it = path_of.find(r.at(0));
        if (it == path_of.end()) {
            ADD_FAILURE() << "not listed with its long name: " << r.at(0);
            continue;
        }
        expected.push_back({it->second, r.at(2)});
    }
    ASSERT_EQ(expected.size(), 200u);
    EXPECT_GT(lost, 150u);
    recover_and_check("deleted", img, expected, {});
}

TEST(CliRecover, Fat16ScatteredDeletedFolder) { fat_scattered("16"); }
TEST(CliRecover, Fat32ScatteredDeletedFolder) { fat_scattered("32"); }

TEST(CliRecover, Fat32Format)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("fat-format.sh", {tmp.path().string(), "same"}));
    const fs::path img = tmp / "volume.img";
    // The old root's own entries are lost: each of its folders becomes a
    // "Dir%d" tree. Find which one by scanning, then expect the rest of the path.
    std::string listing;
    ASSERT_EQ(run_cli("scan format --fs fat32 " + quote(img.string()), &listing), 0) << listing;
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t')) {
        const std::string rest = r.at(0).substr(r.at(0).find('/') + 1);
        std::string found;
        std::stringstream ss(listing);
        for (std::string line; std::getline(ss, line);) {
            const std::string path = line.substr(0, line.find('\t'));
            if (path.rfind("Dir", 0) == 0 && path.substr(path.find('/') + 1) == rest)
                found = path;
        }
        EXPECT_FALSE(found.empty()) << "not listed: " << r.at(0) << "\n" << listing;
        if (!found.empty())
            expected.push_back({found, r.at(2)});
    }
    recover_and_check("format --fs fat32", img, expected, {});
}

// A card re-formatted with mkfs.vfat's default settings: the new boot
// sector keeps the old geometry, the root and the FATs are wiped. Every file
// of the old folders comes back at "Dir<n>/..." with its own entry time;
// the files of the old root lose their entries with it and are not listed.
void fat_reformat_default(const std::string& bits, const std::string& mib, const std::string& dirs,
                          const std::string& spc)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(run_fixture("fat-reformat-default.sh", {tmp.path().string(), bits, mib, dirs}));
    const fs::path img = tmp / "volume.img";
    {
        std::ifstream in(tmp / "spc.txt");
        std::string got;
        in >> got;
        ASSERT_EQ(got, spc) << "mkfs.vfat chose another cluster size";
    }
    std::string listing;
    ASSERT_EQ(run(cli() + " scan format --fs fat" + bits + " " + quote(img.string()) + " 2>/dev/null", &listing), 0);
    std::map<std::string, std::vector<std::string>> listed; // path below "Dir<n>/" -> columns
    std::set<std::string> tops;
    std::stringstream ss(listing);
    for (std::string line; std::getline(ss, line);) {
        std::vector<std::string> cols;
        std::stringstream ls(line);
        for (std::string col; std::getline(ls, col, '\t');)
            cols.push_back(col);
        if (cols.size() < 3)
            continue;
        ASSERT_EQ(cols[0].rfind("Dir", 0), 0u) << line;
        tops.insert(cols[0].substr(0, cols[0].find('/')));
        listed[cols[0].substr(cols[0].find('/') + 1)] = cols;
    }
    const auto rows = read_rows(tmp / "files.tsv", '\t');
    EXPECT_EQ(listed.size(), rows.size()) << listing;
    EXPECT_EQ(tops.size(), dirs == "one" ? 1u : 2u) << listing;
    std::vector<Expected> expected;
    for (const auto& r : rows) {
        const std::string rest = r.at(0).substr(r.at(0).find('/') + 1);
        auto it = listed.find(rest);
        if (it == listed.end()) {
            ADD_FAILURE() << "not listed: " << r.at(0) << "\n" << listing;
            continue;
        }
        EXPECT_EQ(it->second[1], r.at(1)) << r.at(0);
        // The entry's creation time, written in UTC by the fixture, to two
        // seconds (the ten-millisecond field is not used).
        std::tm tm{};
        ASSERT_EQ(std::sscanf(it->second[2].c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                              &tm.tm_hour, &tm.tm_min, &tm.tm_sec),
                  6)
            << it->second[2];
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        const int64_t at = int64_t(timegm(&tm));
        EXPECT_GE(at, std::stoll(r.at(3)) - 2) << r.at(0) << " " << it->second[2];
        EXPECT_LE(at, std::stoll(r.at(4))) << r.at(0) << " " << it->second[2];
        expected.push_back({it->second[0], r.at(2)});
    }
    std::vector<std::string> root_files;
    for (const auto& r : read_rows(tmp / "root.tsv", '\t'))
        root_files.push_back(base_name(r.at(0)));
    recover_and_check("format --fs fat" + bits, img, expected, root_files);
}

TEST(CliRecover, Fat16FormatDefaultOneFolder) { fat_reformat_default("16", "16", "one", "4"); }
TEST(CliRecover, Fat16FormatDefaultFolders) { fat_reformat_default("16", "16", "several", "4"); }
TEST(CliRecover, Fat32FormatDefaultHalfKilobyteClustersOneFolder) { fat_reformat_default("32", "64", "one", "1"); }
TEST(CliRecover, Fat32FormatDefaultHalfKilobyteClusters) { fat_reformat_default("32", "64", "several", "1"); }
TEST(CliRecover, Fat32FormatDefaultFourKilobyteClusters) { fat_reformat_default("32", "300", "several", "8"); }

TEST(CliRecover, Ext2Deleted)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext2.img";
    ASSERT_TRUE(run_fixture("ext-ext2.sh", {img.string(), "1024", "128"}));
    // ext2 keeps no names for deleted inodes: files are numbered per group.
    // Every deleted file must come back, byte for byte: under its own path
    // where a directory entry still names its inode, else under a group folder.
    std::multiset<std::string> want;
    std::set<std::string> named;
    std::string link_target;
    for (const auto& r : read_rows(img.string() + ".manifest", ' ')) {
        if (r.at(0) == "deleted") {
            want.insert(r.at(3));
            named.insert(base_name(r.at(4)));
        }
        if (r.at(0) == "symlink") {
            link_target = r.at(3);
            named.insert("fastlink"); // the fixture's name for it
        }
    }
    ASSERT_FALSE(want.empty());
    TempDir out;
    const std::string before = sha256_file(img);
    std::string output;
    EXPECT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote((out / "r").string()), &output), 0)
        << output;
    std::multiset<std::string> got;
    for (const auto& [path, sha] : recovered_files(out / "r")) {
        if (path.rfind("Group(", 0) == 0)
            EXPECT_NE(path.find("/LostFile("), std::string::npos) << path;
        else
            EXPECT_TRUE(named.count(base_name(path))) << path;
        got.insert(sha);
    }
    for (const auto& sha : want)
        EXPECT_TRUE(got.count(sha)) << "deleted file not recovered: " << sha;
    if (!link_target.empty()) {
        EXPECT_TRUE(got.count(sha256_hex(link_target.data(), link_target.size()))) << "fast symbolic link";
    }
    EXPECT_EQ(sha256_file(img), before);
    EXPECT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote((out / "r").string()), &output), 3);
}

TEST(CliRecover, Ext2LostBlockIsWrittenAsZeros)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext2.img";
    ASSERT_TRUE(run_fixture("cli-ext2-hole.sh", {img.string(), (tmp / "original.bin").string()}));
    std::string out;
    ASSERT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote((tmp / "r").string()), &out), 0)
        << out;
    // The file whose size and pointers the kernel cleared has nothing to
    // write: it is counted apart, not as a recovered file.
    EXPECT_NE(out.find("recovered 1 files (5000 bytes), empty 1, failed 0, skipped 0"), std::string::npos) << out;
    const auto original = read_file(tmp / "original.bin");
    std::vector<uint8_t> got;
    size_t empty_files = 0;
    for (const auto& e : fs::recursive_directory_iterator(tmp / "r")) {
        if (!e.is_regular_file())
            continue;
        if (fs::file_size(e.path()) == 0)
            ++empty_files;
        else
            got = read_file(e.path());
    }
    EXPECT_EQ(empty_files, 1u);
    ASSERT_EQ(got.size(), original.size());
    ASSERT_GE(original.size(), 2048u);
    // The second 1 KiB block is lost: zeros there, and the rest stays in place.
    std::vector<uint8_t> expected = original;
    for (size_t i = 1024; i < 2048; ++i)
        expected[i] = 0;
    EXPECT_TRUE(got == expected);
}

TEST(CliRecover, Ext3Deleted)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext3.img";
    ASSERT_TRUE(run_fixture("ext-ext3.sh", {img.string()}));
    std::vector<Expected> expected;
    std::vector<std::string> absent;
    for (const auto& r : read_rows(img.string() + ".manifest", ' ')) {
        if (r.at(0) == "deleted") {
            // Under the folder its name was found in.
            expected.push_back({r.at(1), r.at(3)});
        } else if (r.at(0) == "live" || r.at(0) == "cleared") {
            absent.push_back(base_name(r.at(1)));
        }
    }
    ASSERT_FALSE(expected.empty());
    // The file whose block pointers were cleared cannot be read: it counts as
    // failed and leaves no file behind.
    recover_and_check("deleted", img, expected, absent, 3);
}

TEST(CliRecover, HfsPlusDeleted)
{
    hfsplus_test::HfsPlusImageBuilder builder;
    const uint32_t docs = builder.add_folder(hfsplus_test::HfsPlusImageBuilder::kRootFolder, "Docs");
    const auto a = random_bytes(10000, 1);      // not a whole number of blocks
    const auto b = random_bytes(3 * 4096, 2);   // exactly three blocks
    const auto c = random_bytes(9000, 3);       // in two fragments
    const auto live = random_bytes(5000, 4);
    builder.add_file(docs, "live.txt", live);
    builder.add_deleted_file(docs, "gone-a.bin", a, hfsplus_test::DeletedPlace::NodeFreeSpace);
    builder.add_deleted_file(docs, "gone-b.bin", b, hfsplus_test::DeletedPlace::UnlinkedNode);
    builder.add_deleted_file(hfsplus_test::HfsPlusImageBuilder::kRootFolder, "gone-c.bin", c,
                             hfsplus_test::DeletedPlace::NodeFreeSpace, 2);
    TempDir tmp;
    const fs::path img = tmp / "hfsplus.img";
    write_file(img, builder.build());
    recover_and_check("deleted", img,
                      {{"Docs/gone-a.bin", sha256_hex(a)},
                       {"Docs/gone-b.bin", sha256_hex(b)},
                       {"gone-c.bin", sha256_hex(c)}},
                      {"live.txt"});
}

TEST(CliRecover, RawCarving)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "raw.img";
    ASSERT_TRUE(run_fixture("cli-raw.sh", {img.string(), (tmp / "files.tsv").string()}));
    const std::map<std::string, std::string> where = {
        {"picture.bmp", "PHOTO/BMP(1)/0.bmp"},
        {"image.png", "PHOTO/PNG(1)/0.png"},
        {"sound.wav", "MUSIC/WAV(1)/0.wav"},
        {"bundle.zip", "OTHERS/ZIP(1)/0.zip"},
    };
    std::vector<Expected> expected;
    for (const auto& r : read_rows(tmp / "files.tsv", '\t'))
        expected.push_back({where.at(r.at(0)), r.at(2)});
    recover_and_check("raw", img, expected, {});

    // Only the photo category: music and others are not even looked at.
    TempDir out;
    std::string output;
    ASSERT_EQ(run_cli("recover raw --types photo " + quote(img.string()) + " --to " + quote((out / "r").string()),
                      &output),
              0)
        << output;
    const auto files = recovered_files(out / "r");
    EXPECT_EQ(files.size(), 2u) << output;
    EXPECT_TRUE(files.count("PHOTO/BMP(1)/0.bmp"));
}

// Every placed file of a cli-raw-bare.sh image, by SHA-256; the recovered
// files are named by type and number, so they are matched by content.
void raw_bare(const std::string& mode, const std::string& volume_args)
{
    TempDir tmp;
    const fs::path img = tmp / "bare.img";
    std::vector<std::string> args = {img.string(), (tmp / "files.tsv").string()};
    if (!mode.empty())
        args.push_back(mode);
    ASSERT_TRUE(run_fixture("cli-raw-bare.sh", args));
    const auto rows = read_rows(tmp / "files.tsv", '\t');
    ASSERT_GT(rows.size(), 20u);

    std::string listing;
    ASSERT_EQ(run_cli("scan raw" + volume_args + " " + quote(img.string()), &listing), 0) << listing;
    TempDir out;
    std::string output;
    ASSERT_EQ(run_cli("recover raw" + volume_args + " " + quote(img.string()) + " --to " + quote((out / "r").string()),
                      &output),
              0)
        << output;
    std::multiset<std::string> got;
    for (const auto& [path, sha] : recovered_files(out / "r"))
        got.insert(sha);
    for (const auto& r : rows) {
        auto it = got.find(r.at(2));
        if (it == got.end()) {
            ADD_FAILURE() << r.at(0) << " (" << r.at(1) << " bytes) not recovered byte-exact\n" << output;
            continue;
        }
        got.erase(it);
    }
    EXPECT_EQ(recovered_counts(output).first, rows.size() + got.size()) << output;
    expect_reads_in_proportion("raw" + volume_args, img);
}

// No file system at all: the volume has no cluster size, and the writers
// read in blocks of their own.
TEST(CliRecover, RawVolumeWithoutAnyBootSector)
{
    raw_bare("", "");
}

TEST(CliRecover, RawPartitionWhoseBootSectorIsZeroed)
{
    if (!require_tool("sfdisk", "fdisk"))
        return;
    raw_bare("mbr", " --volume 0");
}

TEST(CliRecover, SelectLimitsTheFiles)
{
    TempDir tmp;
    const fs::path img = tmp / "sample.img";
    ASSERT_TRUE(make_sample_disk(img));
    std::string out;
    ASSERT_EQ(run_cli("recover deleted --volume 0 " + quote(img.string()) + " --to " + quote((tmp / "r").string()) +
                          " --select Documents/Old",
                      &out),
              0)
        << out;
    const auto files = recovered_files(tmp / "r");
    ASSERT_EQ(files.size(), 1u) << out;
    EXPECT_TRUE(files.count("Documents/Old/photo.jpg"));
    EXPECT_NE(out.find("recovered 1 files"), std::string::npos) << out;
}

TEST(CliScan, JsonListing)
{
    TempDir tmp;
    const fs::path img = tmp / "sample.img";
    ASSERT_TRUE(make_sample_disk(img));
    std::string out;
    ASSERT_EQ(run(cli() + " scan deleted --volume 0 --json " + quote(img.string()) + " 2>/dev/null", &out), 0);
    EXPECT_EQ(out.rfind("{\"source\":" , 0), 0u) << out;
    EXPECT_NE(out.find("\"mode\":\"deleted\",\"fs_code\":4,\"files\":["), std::string::npos) << out;
    EXPECT_NE(out.find("{\"path\":\"Documents/Old/photo.jpg\",\"size\":70000,\"time\":\""), std::string::npos) << out;
    EXPECT_EQ(out.find("keep.txt"), std::string::npos) << out;
}

TEST(CliPartitions, SearchRebuildBackupRestore)
{
    TempDir tmp;
    const fs::path img = tmp / "sample.img";
    ASSERT_TRUE(make_sample_disk(img));
    const std::string original = sha256_file(img);
    const std::string in_tmp = "cd " + quote(tmp.path().string()) + " && ";
    std::string out;
    ASSERT_EQ(run(in_tmp + cli() + " partitions search --json sample.img", &out), 0) << out;
    EXPECT_NE(out.find("{\"name\":\"partition0\",\"start\":1048576,\"size\":8388608,\"fs_code\":4,\"fs\":\"NTFS\","
                       "\"state\":\"Primary partition\"}"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"name\":\"partition1\",\"start\":9437184"), std::string::npos) << out;
    EXPECT_EQ(sha256_file(img), original);

    ASSERT_EQ(run(in_tmp + cli() + " partitions backup sample.img tables.bin 2>&1", &out), 0) << out;
    EXPECT_EQ(fs::file_size(tmp / "tables.bin"), 72u); // one record: four primaries, no extended chain
    EXPECT_EQ(run(in_tmp + cli() + " partitions backup sample.img tables.bin 2>&1", &out), 2) << "never overwritten";

    // Lose the table, then rebuild it from the volumes found.
    ASSERT_EQ(run("dd if=/dev/zero of=" + quote(img.string()) + " bs=1 seek=446 count=64 conv=notrunc status=none"), 0);
    const std::string wiped = sha256_file(img);
    ASSERT_EQ(run(in_tmp + cli() + " partitions rebuild sample.img 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("nothing written"), std::string::npos) << out;
    EXPECT_EQ(sha256_file(img), wiped) << "no write without --yes";
    ASSERT_EQ(run(in_tmp + cli() + " partitions rebuild sample.img --yes 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("saved the current tables to salvor-tables-sample.img-"), std::string::npos) << out;
    ASSERT_EQ(run_cli("devices --json " + quote(img.string()), &out), 0);
    EXPECT_NE(out.find("{\"index\":0,\"start\":1048576,\"size\":8388608,\"fs_code\":4"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"index\":1,\"start\":9437184,\"size\":41943040,\"fs_code\":3"), std::string::npos) << out;

    // The saved file of the rebuild holds the wiped table; the backup made
    // first restores the original bytes exactly.
    ASSERT_EQ(run(in_tmp + cli() + " partitions restore sample.img tables.bin --yes 2>&1", &out), 0) << out;
    EXPECT_EQ(sha256_file(img), original);
    size_t saved = 0;
    for (const auto& e : fs::directory_iterator(tmp.path()))
        if (e.path().filename().string().rfind("salvor-tables-", 0) == 0)
            ++saved;
    EXPECT_EQ(saved, 2u);
}

// The partition lines of an `sfdisk --dump` text.
std::vector<std::string> partition_lines(const std::string& dump)
{
    std::vector<std::string> lines;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);)
        if (line.find("start=") != std::string::npos)
            lines.push_back(line);
    return lines;
}

// A table wiped with the whole of sector 0 (zeros, no signature): the rebuild
// saves the sector as it was, writes the table, and the saved file undoes it.
TEST(CliPartitions, RebuildWhenSectorZeroIsAllZeros)
{
    if (!require_tool("sfdisk", "fdisk") || !require_tool("mkntfs", "ntfs-3g") ||
        !require_tool("mkfs.vfat", "dosfstools"))
        return;
    for (const char* layout : {"track", "mib", "fat16"}) {
        SCOPED_TRACE(layout);
        TempDir tmp;
        const fs::path img = tmp / "disk.img";
        const fs::path dump = tmp / "before.dump";
        ASSERT_TRUE(run_fixture("partition-lost-tables.sh", {layout, img.string(), dump.string(), "sector"}));
        const auto bytes = read_file(img);
        ASSERT_TRUE(std::all_of(bytes.begin(), bytes.begin() + 512, [](uint8_t b) { return b == 0; }));
        const auto before = read_file(dump);
        const auto expected = partition_lines(std::string(before.begin(), before.end()));
        ASSERT_FALSE(expected.empty());

        const std::string in_tmp = "cd " + quote(tmp.path().string()) + " && ";
        std::string out;
        ASSERT_EQ(run(in_tmp + cli() + " partitions rebuild disk.img --yes 2>&1", &out), 0) << out;
        std::string dumped;
        ASSERT_EQ(run("sfdisk --dump " + quote(img.string()) + " 2>/dev/null", &dumped), 0) << out;
        EXPECT_EQ(partition_lines(dumped), expected) << out;

        // The file saved first holds sector 0 as it was: one record, all zeros.
        fs::path saved;
        for (const auto& e : fs::directory_iterator(tmp.path()))
            if (e.path().filename().string().rfind("salvor-tables-disk.img-", 0) == 0)
                saved = e.path();
        ASSERT_FALSE(saved.empty()) << out;
        EXPECT_NE(out.find("saved the current tables to " + saved.filename().string()), std::string::npos) << out;
        const auto record = read_file(saved);
        ASSERT_EQ(record.size(), 72u);
        EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](uint8_t b) { return b == 0; }));

        // Restoring it takes the table away again (the signature stays).
        ASSERT_EQ(run(in_tmp + cli() + " partitions restore disk.img " + quote(saved.filename().string()) +
                          " --yes 2>&1",
                      &out),
                  0)
            << out;
        const auto restored = read_file(img);
        EXPECT_TRUE(std::all_of(restored.begin() + 446, restored.begin() + 510, [](uint8_t b) { return b == 0; }));
    }
}

TEST(CliErrors, UsageSourceAndTarget)
{
    TempDir tmp;
    std::string out;
    // Missing source.
    EXPECT_EQ(run_cli("recover deleted " + quote((tmp / "missing.img").string()) + " --to " +
                          quote((tmp / "out").string()),
                      &out),
              2)
        << out;
    EXPECT_FALSE(fs::exists(tmp / "out")) << "a failed start must not create the target";
    EXPECT_EQ(run_cli("scan deleted " + quote((tmp / "missing.img").string()), &out), 2) << out;
    EXPECT_EQ(run_cli("devices " + quote((tmp / "missing.img").string()), &out), 2) << out;
    // Unknown mode and usage errors.
    write_file(tmp / "blank.img", std::vector<uint8_t>(1 << 20, 0));
    EXPECT_EQ(run_cli("scan undelete " + quote((tmp / "blank.img").string()), &out), 64) << out;
    EXPECT_NE(out.find("unknown mode"), std::string::npos) << out;
    EXPECT_EQ(run_cli("recover deleted " + quote((tmp / "blank.img").string()), &out), 64) << out;
    EXPECT_EQ(run_cli("scan format --fs ext9 " + quote((tmp / "blank.img").string()), &out), 64) << out;
    EXPECT_EQ(run_cli("bogus", &out), 64) << out;
    // A volume nobody can scan.
    EXPECT_EQ(run_cli("scan deleted " + quote((tmp / "blank.img").string()), &out), 2) << out;

    // A target that is not writable (a file in the way of the folder).
    if (!require_tool("mkntfs", "ntfs-3g"))
        return;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_EQ(run("truncate -s 8M " + quote(img.string()) + " && mkntfs -q -F -f " + quote(img.string()) +
                  " >/dev/null 2>&1"),
              0);
    write_file(tmp / "afile", {1, 2, 3});
    EXPECT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote((tmp / "afile" / "sub").string()),
                      &out),
              2)
        << out;
    fs::create_directory(tmp / "ro");
    fs::permissions(tmp / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    if (geteuid() != 0) {
        EXPECT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote((tmp / "ro").string()), &out),
                  2)
            << out;
    }
    fs::permissions(tmp / "ro", fs::perms::owner_all);
}

// A volume the engine cannot read is reported as such (exit 2 with what could
// not be read), never as a scan that found nothing.
TEST(CliErrors, UnreadableVolumesAreReportedNotEmpty)
{
    TempDir tmp;
    std::string out;
    if (require_tool("mkntfs", "ntfs-3g")) {
        const fs::path img = tmp / "ntfs.img";
        ASSERT_EQ(run("truncate -s 8M " + quote(img.string()) + " && mkntfs -q -F -f " + quote(img.string()) +
                      " >/dev/null 2>&1"),
                  0);
        auto bytes = read_file(img);
        const uint64_t cluster = uint64_t(bytes[0x0B] | bytes[0x0C] << 8) * bytes[0x0D];
        uint64_t mft = 0;
        for (int i = 7; i >= 0; --i)
            mft = mft << 8 | bytes[0x30 + i];
        ASSERT_LT(mft * cluster + 1024, bytes.size());
        std::fill_n(bytes.begin() + long(mft * cluster), 1024, 0); // the $MFT record is gone
        write_file(img, bytes);
        EXPECT_EQ(run_cli("scan deleted " + quote(img.string()), &out), 2) << out;
        EXPECT_NE(out.find("MFT record 0"), std::string::npos) << out; // the reason, in the engine's words
        EXPECT_EQ(out.find("0 files"), std::string::npos) << out;
        EXPECT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote((tmp / "r1").string()), &out),
                  2)
            << out;
    }
    if (require_tool("mkfs.vfat", "dosfstools")) {
        const fs::path img = tmp / "fat32.img";
        ASSERT_EQ(run("truncate -s 40M " + quote(img.string()) + " && mkfs.vfat -F 32 " + quote(img.string()) +
                      " >/dev/null 2>&1"),
                  0);
        auto bytes = read_file(img);
        // Root folder cluster (offset 44) far beyond the volume.
        bytes[44] = 0xF0, bytes[45] = 0xFF, bytes[46] = 0xFF, bytes[47] = 0x0F;
        write_file(img, bytes);
        EXPECT_EQ(run_cli("scan deleted " + quote(img.string()), &out), 2) << out;
        EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
        EXPECT_EQ(out.find("0 files"), std::string::npos) << out;
    }
}

// recover --json ends with one summary object and nothing else on stdout.
TEST(CliRecover, JsonSummary)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext2.img";
    ASSERT_TRUE(run_fixture("cli-ext2-hole.sh", {img.string(), (tmp / "original.bin").string()}));
    std::string out;
    ASSERT_EQ(run(cli() + " recover deleted --json " + quote(img.string()) + " --to " + quote((tmp / "r").string()) +
                      " 2>/dev/null",
                  &out),
              0);
    EXPECT_EQ(out, "{\"source\":" + nlohmann::json(img.string()).dump() +
                       ",\"mode\":\"deleted\",\"target\":" + nlohmann::json((tmp / "r").string()).dump() +
                       ",\"recovered\":1,\"bytes\":5000,\"empty\":1,\"failed\":0,\"skipped\":0,"
                       "\"damaged\":0,\"cancelled\":false,\"failures\":[]}\n");
}

std::string hex_of(const std::string& bytes)
{
    std::string out;
    char buf[3];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

// Replaces every occurrence of `from` in the file by `to` (same length).
void patch_bytes(const fs::path& path, const std::string& from, const std::string& to)
{
    ASSERT_EQ(from.size(), to.size());
    auto bytes = read_file(path);
    size_t hits = 0;
    for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), from.begin(), from.end())) != bytes.end();) {
        std::copy(to.begin(), to.end(), it);
        ++hits;
    }
    ASSERT_GT(hits, 0u) << from;
    write_file(path, bytes);
}

// Deleted ext3 names holding a newline, an ESC sequence, a backslash and
// bytes that are not UTF-8: one escaped line each in the listing, valid JSON
// with the exact bytes, and '_' for the control characters on the target.
TEST(CliNames, ControlCharactersAndInvalidBytesInExt3Names)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext3.img";
    const std::vector<std::pair<std::string, std::string>> names = {
        {"oddQ1.txt", std::string("odd\n1.txt")},
        {"escQQQQQred.txt", std::string("esc\x1b[31mred.txt")},
        {"badQQ.bin", std::string("bad\xff\xfe.bin")},
        {"slashQ.txt", std::string("slash\\.txt")},
    };
    ASSERT_EQ(run("mke2fs -q -F -t ext3 -b 1024 -N 64 " + quote(img.string()) + " 4096K 2>/dev/null"), 0);
    std::string script = "mkdir d\n";
    std::map<std::string, std::string> sha; // by final name
    for (size_t i = 0; i < names.size(); ++i) {
        const auto data = random_bytes(1500 + 700 * i, 40 + i);
        write_file(tmp / ("f" + std::to_string(i)), data);
        script += "write " + (tmp / ("f" + std::to_string(i))).string() + " d/" + names[i].first + "\n";
        sha[names[i].second] = sha256_hex(data);
    }
    for (const auto& n : names)
        script += "rm d/" + n.first + "\n";
    write_file(tmp / "cmds", std::vector<uint8_t>(script.begin(), script.end()));
    ASSERT_EQ(run("debugfs -w -f " + quote((tmp / "cmds").string()) + " " + quote(img.string()) + " >/dev/null 2>&1"),
              0);
    for (const auto& n : names)
        patch_bytes(img, n.first, n.second);

    std::string listing;
    ASSERT_EQ(run(cli() + " scan deleted " + quote(img.string()) + " 2>/dev/null", &listing), 0);
    EXPECT_EQ(listing.find('\x1b'), std::string::npos) << "an escape sequence reached the terminal";
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), long(names.size() + 1)) << listing;
    // Each under the folder its name was found in.
    for (const char* shown : {"d/odd\\n1.txt\t", "d/esc\\x1b[31mred.txt\t", "d/bad\\xff\\xfe.bin\t",
                              "d/slash\\\\.txt\t"})
        EXPECT_NE(listing.find(shown), std::string::npos) << shown << "\n" << listing;

    std::string json;
    ASSERT_EQ(run(cli() + " scan deleted --json " + quote(img.string()) + " 2>/dev/null", &json), 0);
    const auto doc = nlohmann::json::parse(json); // throws on anything but valid JSON
    std::set<std::string> exact;
    for (const auto& f : doc.at("files")) {
        const std::string path = f.at("path").get<std::string>();
        if (f.contains("path_hex")) {
            EXPECT_NE(path.find("\xef\xbf\xbd"), std::string::npos) << path; // U+FFFD in place of the bytes
            const std::string hex = f.at("path_hex").get<std::string>();
            std::string raw;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                raw += char(std::stoi(hex.substr(i, 2), nullptr, 16));
            exact.insert(raw);
        } else {
            exact.insert(path);
        }
    }
    for (const auto& n : names)
        EXPECT_TRUE(exact.count("d/" + n.second)) << hex_of(n.second) << "\n" << json;

    std::vector<Expected> expected;
    for (const auto& [name, hash] : sha) {
        std::string written = name;
        for (char& c : written)
            if (uint8_t(c) < 0x20)
                c = '_';
        expected.push_back({"d/" + written, hash});
    }
    recover_and_check("deleted", img, expected, {});
}

// An image path that is not UTF-8: devices --json stays valid and keeps the
// exact bytes; the text listing shows them escaped.
TEST(CliNames, DevicesJsonWithAnImagePathThatIsNotUtf8)
{
    TempDir tmp;
    const std::string name = std::string("disk\xff\x1b[2J.img");
    const fs::path img = tmp / name;
    write_file(img, std::vector<uint8_t>(1 << 20, 0));
    std::string out;
    ASSERT_EQ(run(cli() + " devices --json " + quote(img.string()) + " 2>/dev/null", &out), 0) << out;
    const auto doc = nlohmann::json::parse(out);
    bool found = false;
    for (const auto& d : doc.at("disks"))
        if (d.contains("name_hex") && d.at("name_hex").get<std::string>() == hex_of(img.string()))
            found = true;
    EXPECT_TRUE(found) << out;
    ASSERT_EQ(run(cli() + " devices " + quote(img.string()) + " 2>/dev/null", &out), 0) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(out.find("disk\\xff\\x1b[2J.img"), std::string::npos) << out;
}

// A backup of another disk, a record pointing into a volume, random entries:
// refused with the reason, with and without --yes, and nothing written.
TEST(CliPartitions, RestoreRefusesFilesThatAreNotThisDisksChain)
{
    if (!require_tool("sfdisk", "fdisk"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "sample.img";
    ASSERT_TRUE(make_sample_disk(img));
    const std::string original = sha256_file(img);
    // Another disk: an extended partition whose first EBR lies at 3 MiB,
    // inside the sample disk's NTFS volume (1 MiB to 9 MiB).
    const fs::path other = tmp / "other.img";
    ASSERT_EQ(run("truncate -s 64M " + quote(other.string()) + " && printf 'start=2048,size=2048,type=83\\n"
                  "start=6144,size=40960,type=5\\nstart=8192,size=4096,type=83\\n' | sfdisk -q " +
                  quote(other.string()) + " >/dev/null 2>&1"),
              0);
    const std::string in_tmp = "cd " + quote(tmp.path().string()) + " && ";
    std::string out;
    ASSERT_EQ(run(in_tmp + cli() + " partitions backup other.img other.bin 2>&1", &out), 0) << out;
    ASSERT_GE(fs::file_size(tmp / "other.bin"), 144u) << "no extended boot record in the backup";
    for (const char* yes : {"", " --yes"}) {
        EXPECT_EQ(run(in_tmp + cli() + " partitions restore sample.img other.bin" + yes + " 2>&1", &out), 2) << out;
        EXPECT_NE(out.find("refused to restore other.bin: record 1 lies inside a volume of this disk"),
                  std::string::npos)
            << out;
    }
    // The extended entry moved into the primary volume of the same file.
    auto bad = read_file(tmp / "other.bin");
    auto inside = bad;
    for (int i = 0; i < 4; ++i)
        if (inside[8 + 16 * i + 4] == 0x05)
            inside[8 + 16 * i + 8] = 0x00, inside[8 + 16 * i + 9] = 0x0C; // sector 3072, inside 2048..4095
    const uint64_t at = 3072 * 512;
    for (int b = 0; b < 8; ++b)
        inside[72 + b] = uint8_t(at >> (8 * b));
    write_file(tmp / "inside.bin", inside);
    EXPECT_EQ(run(in_tmp + cli() + " partitions restore sample.img inside.bin --yes 2>&1", &out), 2) << out;
    EXPECT_NE(out.find("record 1 lies inside a volume that the file itself describes"), std::string::npos) << out;
    // Random entries and offsets behind the sample's own master boot record.
    ASSERT_EQ(run(in_tmp + cli() + " partitions backup sample.img own.bin 2>&1", &out), 0) << out;
    auto noisy = read_file(tmp / "own.bin");
    auto noise = random_bytes(2 * 72, 5);
    for (int k = 0; k < 2; ++k)
        for (int b = 0; b < 8; ++b)
            noise[72 * k + b] = b == 2 ? uint8_t(k + 1) : 0; // offsets 64 KiB and 128 KiB: sector-aligned
    noisy.insert(noisy.end(), noise.begin(), noise.end());
    write_file(tmp / "noisy.bin", noisy);
    EXPECT_EQ(run(in_tmp + cli() + " partitions restore sample.img noisy.bin --yes 2>&1", &out), 2) << out;
    EXPECT_NE(out.find("is not where the extended entries before it point"), std::string::npos) << out;
    EXPECT_EQ(sha256_file(img), original) << "a refused restore wrote to the disk";
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_NE(e.path().filename().string().rfind("salvor-tables-", 0), 0u) << "saved before refusing";
    // The disk's own backup is still taken.
    EXPECT_EQ(run(in_tmp + cli() + " partitions restore sample.img own.bin --yes 2>&1", &out), 0) << out;
    EXPECT_EQ(sha256_file(img), original);
}

// Sources that are no disk or file, and refusals that say what is wrong.
TEST(CliErrors, NonSeekableSourcesAndNamedRefusals)
{
    TempDir tmp;
    const fs::path fifo = tmp / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write_file(tmp / "blank.img", std::vector<uint8_t>(1 << 20, 0));
    std::string out;
    // Each would block for ever in open(); `timeout` turns a hang into 124.
    const std::string t = "timeout 20 " + cli() + " ";
    for (const std::string& args :
         {"scan deleted " + quote(fifo.string()), "recover deleted " + quote(fifo.string()) + " --to " +
                                                      quote((tmp / "r").string()),
          "devices " + quote(fifo.string()), "partitions search " + quote(fifo.string()),
          "partitions restore " + quote((tmp / "blank.img").string()) + " " + quote(fifo.string()) + " --yes"}) {
        EXPECT_EQ(run(t + args + " 2>&1", &out), 2) << args << "\n" << out;
        EXPECT_NE(out.find("a FIFO"), std::string::npos) << args << "\n" << out;
    }
    EXPECT_EQ(run_cli("bogus", &out), 64);
    EXPECT_NE(out.find("unknown command 'bogus' (commands: devices, scan, recover, partitions, raid)"),
              std::string::npos)
        << out;
    EXPECT_EQ(run_cli("raid guess " + quote((tmp / "blank.img").string()), &out), 64);
    EXPECT_NE(out.find("unknown raid command 'guess' (commands: detect)"), std::string::npos) << out;
    EXPECT_EQ(run_cli("raid detect --missing x " + quote((tmp / "blank.img").string()), &out), 64);
    EXPECT_NE(out.find("--missing takes a member number from 0"), std::string::npos) << out;
    EXPECT_EQ(run_cli("partitions fix " + quote((tmp / "blank.img").string()), &out), 64);
    EXPECT_NE(out.find("(commands: search, rebuild, backup, restore)"), std::string::npos) << out;
    EXPECT_EQ(run_cli("scan deleted --volume -1 " + quote((tmp / "blank.img").string()), &out), 64);
    EXPECT_NE(out.find("salvor-cli: --volume takes a number from 0"), std::string::npos) << out;

    // The first 511 bytes of a FAT12 floppy are no FAT12 volume.
    if (require_tool("mkfs.vfat", "dosfstools")) {
        ASSERT_EQ(run("mkfs.vfat -C " + quote((tmp / "floppy.img").string()) + " 360 >/dev/null 2>&1 && head -c 511 " +
                      quote((tmp / "floppy.img").string()) + " > " + quote((tmp / "cut.img").string())),
                  0);
        EXPECT_EQ(run_cli("devices --json " + quote((tmp / "cut.img").string()), &out), 0);
        EXPECT_NE(out.find("\"size\":511,\"fs_code\":0"), std::string::npos) << out;
    }
    // A GPT disk is named as such.
    if (require_tool("sfdisk", "fdisk")) {
        const fs::path gpt = tmp / "gpt.img";
        ASSERT_EQ(run("truncate -s 8M " + quote(gpt.string()) + " && printf 'label: gpt\\nstart=2048,size=4096\\n' | "
                      "sfdisk -q " + quote(gpt.string()) + " >/dev/null 2>&1"),
                  0);
        EXPECT_EQ(run_cli("partitions search " + quote(gpt.string()), &out), 2);
        EXPECT_NE(out.find("GPT disks are not supported by the partition rebuild"), std::string::npos) << out;
    }
}

// A target that fills up: every failed file is counted under its reason.
TEST(CliRecover, AFullTargetSaysWhyFilesFailed)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext3.img";
    ASSERT_TRUE(run_fixture("ext-ext3.sh", {img.string()}));
    const fs::path small = tmp / "small";
    fs::create_directory(small);
    if (run("mount -t tmpfs -o size=8k tmpfs " + quote(small.string()) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (not root?)";
    std::string out, json;
    const int rc = run_cli("recover deleted " + quote(img.string()) + " --to " + quote((small / "r").string()), &out);
    run(cli() + " recover deleted --json " + quote(img.string()) + " --to " + quote((small / "j").string()) +
            " 2>/dev/null",
        &json);
    run("umount " + quote(small.string()));
    EXPECT_EQ(rc, 3) << out;
    EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
    EXPECT_NE(out.find("failed: "), std::string::npos) << out;
    const auto doc = nlohmann::json::parse(json);
    bool full = false;
    for (const auto& f : doc.at("failures"))
        full = full || f.at("reason").get<std::string>().find("No space left on device") != std::string::npos;
    EXPECT_TRUE(full) << json;
}

TEST(CliErrors, TargetOnTheSourceVolume)
{
    if (!require_tool("mkntfs", "ntfs-3g") || !require_tool("ntfs-3g", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ntfs.img";
    ASSERT_EQ(run("truncate -s 8M " + quote(img.string()) + " && mkntfs -q -F -f " + quote(img.string()) +
                  " >/dev/null 2>&1"),
              0);
    const fs::path mnt = tmp / "mnt";
    fs::create_directory(mnt);
    if (run("ntfs-3g " + quote(img.string()) + " " + quote(mnt.string()) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount with ntfs-3g (no FUSE here)";
    std::string out;
    const int rc = run_cli("recover deleted " + quote(img.string()) + " --to " + quote((mnt / "out").string()), &out);
    // The same image through a hard link: another name, the same file.
    const fs::path link = tmp / "link.img";
    fs::create_hard_link(img, link);
    std::string linked;
    const int rc_link =
        run_cli("recover deleted " + quote(link.string()) + " --to " + quote((mnt / "out").string()), &linked);
    run("umount " + quote(mnt.string()));
    EXPECT_EQ(rc, 2) << out;
    EXPECT_NE(out.find("lies on the source volume"), std::string::npos) << out;
    EXPECT_EQ(rc_link, 2) << linked;
    EXPECT_NE(linked.find("lies on the source volume"), std::string::npos) << linked;
}

// A loop-mounted image, named through a hard link.
TEST(CliErrors, TargetOnALoopMountOfTheSourceThroughAHardLink)
{
    if (!require_tool("mke2fs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "ext2.img";
    ASSERT_EQ(run("mke2fs -q -F -t ext2 " + quote(img.string()) + " 8M 2>/dev/null"), 0);
    const fs::path link = tmp / "other-name.img";
    fs::create_hard_link(img, link);
    const fs::path mnt = tmp / "mnt";
    fs::create_directory(mnt);
    if (run("mount -o loop " + quote(img.string()) + " " + quote(mnt.string()) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot loop-mount here (not root, or no loop devices)";
    std::string out;
    const int rc = run_cli("recover deleted " + quote(link.string()) + " --to " + quote((mnt / "out").string()), &out);
    run("umount " + quote(mnt.string()));
    EXPECT_EQ(rc, 2) << out;
    EXPECT_NE(out.find("lies on the source volume"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(mnt / "out"));
}

} // namespace

namespace {

// Deleted files that the peer lists: "r/r * INODE: PATH" lines of fls -r -d -p.
std::vector<std::pair<std::string, std::string>> peer_deleted_files(const fs::path& img)
{
    std::string listing;
    std::vector<std::pair<std::string, std::string>> files;
    if (run("fls -r -d -p " + quote(img.string()), &listing) != 0)
        return files;
    std::stringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("r/r * ", 0) != 0)
            continue;
        const size_t colon = line.find(":\t");
        if (colon == std::string::npos)
            continue;
        files.emplace_back(line.substr(6, colon - 6), line.substr(colon + 2));
    }
    return files;
}

} // namespace

TEST(CliRecover, ExfatCardsAgreeWithThePeer)
{
    if (!require_tool("fls", "sleuthkit") || !require_tool("icat", "sleuthkit"))
        return;
    size_t checked = 0;
    for (const char* name : {"exfat_win.raw", "win_exfat_7.raw", "go-exfat-test.exfat"}) {
        TempDir tmp;
        const auto img = shared_image(std::string("exfat/") + name, tmp.path());
        if (!img)
            GTEST_SKIP() << "the shared exFAT images are not here";
        const fs::path target = tmp / "out";
        std::string out;
        ASSERT_EQ(run_cli("recover deleted " + quote(img->string()) + " --to " + quote(target.string()), &out), 0)
            << out;
        // Every deleted file the peer lists comes back under its path, with
        // the bytes the peer reads.
        for (const auto& [inode, path] : peer_deleted_files(*img)) {
            const fs::path peer = tmp / "peer.bin";
            ASSERT_EQ(run("icat " + quote(img->string()) + " " + inode + " > " + quote(peer.string())), 0);
            ASSERT_TRUE(fs::exists(target / path)) << name << ": " << path << "\n" << out;
            EXPECT_EQ(sha256_file(target / path), sha256_file(peer)) << name << ": " << path;
            ++checked;
        }
        // Own times with their UTC offsets.
        ASSERT_EQ(run_cli("scan deleted " + quote(img->string()), &out), 0) << out;
        if (std::string(name) == "exfat_win.raw")
            EXPECT_NE(out.find("1.bin\t1\t2022-01-23T20:35:24+03:00\n"), std::string::npos) << out;
    }
    EXPECT_EQ(checked, 8u);
}

TEST(CliScan, ExtDeletedFilesKeepTheirFoldersAndTimes)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    for (const char* type : {"ext2", "ext3"}) {
        TempDir tmp;
        const fs::path img = tmp / "folders.img";
        ASSERT_TRUE(run_fixture("ext-folders.sh", {img.string(), type}));
        std::string out;
        ASSERT_EQ(run_cli("scan deleted " + quote(img.string()), &out), 0) << out;
        // The folder the name was in, and the inode's modification time.
        EXPECT_NE(out.find("home/anna/letters/mum.odt\t3000\t2020-01-02T03:04:05Z\n"), std::string::npos)
            << type << "\n" << out;
        const fs::path target = tmp / "out";
        ASSERT_EQ(run_cli("recover deleted " + quote(img.string()) + " --to " + quote(target.string()), &out), 0)
            << out;
        EXPECT_EQ(fs::file_size(target / "home/anna/letters/mum.odt"), 3000u) << type;
    }
}
