#include "flow_fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

namespace salvor_flow {

using namespace salvor_test;

namespace {

std::vector<std::vector<std::string>> ReadRows(const fs::path& path, char sep)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        std::vector<std::string> cols;
        std::stringstream ss(line);
        for (std::string col; std::getline(ss, col, sep);)
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FatTools()
{
    return require_tool("mkfs.vfat", "dosfstools") && require_tool("mcopy", "mtools");
}

} // namespace

bool MakeFatDeleted(const fs::path& dir, Fixture& out)
{
    fs::create_directories(dir);
    if (!FatTools() || !run_fixture("fat-deleted.sh", {dir.string(), "32"}))
        return false;
    out.image = dir / "volume.img";
    for (const auto& r : ReadRows(dir / "deleted.tsv", '\t')) {
        if (r.size() < 5)
            continue;
        std::string name = BaseName(r[0]);
        // A name without a long form loses its first character to the
        // deletion mark: it is shown with '_'.
        if (r[4] == "1")
            name[0] = '_';
        out.expected.push_back({name, r[2]});
    }
    return !out.expected.empty();
}

bool MakeExt2Deleted(const fs::path& dir, Fixture& out)
{
    fs::create_directories(dir);
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return false;
    out.image = dir / "ext2.img";
    if (!run_fixture("ext-ext2.sh", {out.image.string(), "1024", "128"}))
        return false;
    // ext2 keeps no names for deleted inodes: the program numbers them.
    for (const auto& r : ReadRows(out.image.string() + ".manifest", ' '))
        if (r.size() >= 4 && r[0] == "deleted")
            out.expected.push_back({"", r[3]});
    return !out.expected.empty();
}

bool MakeFat32Formatted(const fs::path& dir, Fixture& out)
{
    fs::create_directories(dir);
    if (!FatTools() || !run_fixture("fat-format.sh", {dir.string(), "same"}))
        return false;
    out.image = dir / "volume.img";
    for (const auto& r : ReadRows(dir / "files.tsv", '\t'))
        if (r.size() >= 3)
            out.expected.push_back({BaseName(r[0]), r[2]});
    return !out.expected.empty();
}

bool MakeRawPhotoMusic(const fs::path& dir, Fixture& out)
{
    fs::create_directories(dir);
    if (!FatTools() || !require_tool("python3", "python3"))
        return false;
    out.image = dir / "raw.img";
    if (!run_fixture("cli-raw.sh", {out.image.string(), (dir / "files.tsv").string()}))
        return false;
    for (const auto& r : ReadRows(dir / "files.tsv", '\t')) {
        if (r.size() < 3)
            continue;
        if (r[0] == "bundle.zip")
            out.unwanted_sha256.push_back(r[2]);
        else
            out.expected.push_back({"", r[2]});
    }
    return out.expected.size() == 3 && out.unwanted_sha256.size() == 1;
}

std::map<std::string, std::string> FilesBelow(const fs::path& dir)
{
    std::map<std::string, std::string> out;
    if (!fs::exists(dir))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out[fs::relative(e.path(), dir).string()] = sha256_file(e.path());
    return out;
}

void ExpectRecovered(const std::map<std::string, std::string>& files, const Fixture& fixture)
{
    std::multimap<std::string, std::string> by_sha; // sha -> relative path
    for (const auto& [path, sha] : files)
        by_sha.emplace(sha, path);
    std::string listing;
    for (const auto& [path, sha] : files)
        listing += "  " + path + "\n";
    EXPECT_GE(files.size(), fixture.expected.size()) << "written:\n" << listing;
    for (const auto& want : fixture.expected) {
        const auto [first, last] = by_sha.equal_range(want.sha256);
        bool found = false;
        for (auto it = first; it != last && !found; ++it)
            found = want.name.empty() || BaseName(it->second) == want.name;
        EXPECT_TRUE(found) << "not recovered: " << (want.name.empty() ? "(unnamed)" : want.name) << " "
                           << want.sha256 << "\nwritten:\n"
                           << listing;
    }
    for (const auto& sha : fixture.unwanted_sha256)
        EXPECT_EQ(by_sha.count(sha), 0u) << "written although its category was not ticked: " << sha;
}

} // namespace salvor_flow
