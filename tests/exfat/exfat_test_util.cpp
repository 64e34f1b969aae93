#include "exfat_test_util.h"

#include <test_support.h>

#include <fsprobe/common/utf.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace exfat_test {

std::optional<ExfatImage> format_image(const std::filesystem::path& file, uint64_t bytes, uint32_t cluster_bytes)
{
    {
        std::vector<uint8_t> none;
        salvor_test::write_file(file, none);
    }
    std::filesystem::resize_file(file, bytes);
    std::string out;
    const int rc = salvor_test::run("mkfs.exfat -c " + std::to_string(cluster_bytes) + " -L TESTCARD '" + file.string()
                                        + "' 2>&1",
                                    &out);
    if (rc != 0) {
        ADD_FAILURE() << "mkfs.exfat failed: " << out;
        return std::nullopt;
    }
    return ExfatImage(salvor_test::read_file(file));
}

std::string entry_name(const ExfatEntry* e)
{
    const char16_t* name = reinterpret_cast<const char16_t*>(reinterpret_cast<const uint8_t*>(e) + sizeof(ExfatEntry));
    return fsprobe::utf16_to_utf8(name, e->name_length);
}

namespace {

void walk(ExfatDirNode*& cursor, ExfatDirNode* dir, const std::string& prefix, std::vector<Found>& out, int depth)
{
    ASSERT_NE(dir->entries, nullptr);
    ASSERT_LT(depth, 600);
    for (ExfatEntry** e = dir->entries; *e; ++e) {
        const std::string path = prefix + entry_name(*e);
        out.push_back({ path, *e });
        if (!(*e)->is_directory)
            continue;
        ASSERT_NE(cursor->next, nullptr) << "no node for " << path;
        cursor = cursor->next;
        ExfatDirNode* child = cursor;
        EXPECT_EQ(child->parent, dir) << path;
        EXPECT_EQ(child->self, *e) << path;
        EXPECT_EQ(child->first_cluster, (*e)->first_cluster) << path;
        walk(cursor, child, path + "/", out, depth + 1);
    }
}

} // namespace

std::vector<Found> collect(ExfatDirNode* root)
{
    std::vector<Found> out;
    if (!root)
        return out;
    EXPECT_EQ(+root->root, 1);
    ExfatDirNode* cursor = root;
    walk(cursor, root, "", out, 0);
    EXPECT_EQ(cursor->next, nullptr) << "a node no entry accounts for";
    return out;
}

const Found* find(const std::vector<Found>& found, const std::string& path)
{
    for (const Found& f : found)
        if (f.path == path)
            return &f;
    return nullptr;
}

std::vector<uint8_t> read_all(ExfatEntry* entry, uint32_t chunk, bool* all_ok)
{
    std::vector<uint8_t> data;
    std::vector<uint8_t> buffer(chunk);
    uint64_t position = 0;
    bool ok = true;
    while (position < entry->size) {
        const uint64_t before = position;
        ok = exfat_readfile(entry, buffer.data(), chunk, &position) && ok;
        if (position <= before) {
            ADD_FAILURE() << "exfat_readfile did not advance";
            break;
        }
        data.insert(data.end(), buffer.begin(), buffer.begin() + (position - before));
    }
    if (all_ok)
        *all_ok = ok;
    return data;
}

std::vector<FlsLine> fls_deleted(const std::filesystem::path& image)
{
    std::string out;
    salvor_test::run("timeout 60 fls -r -d '" + image.string() + "' 2>/dev/null", &out);
    std::vector<FlsLine> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        // "r/r * 254:\t1.bin", "d/d * 251:\t0"; realloc'd and orphan entries are left out.
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line.find("(realloc)") != std::string::npos
            || line.find("$OrphanFiles") != std::string::npos)
            continue;
        FlsLine l;
        l.dir = line.compare(0, 3, "d/d") == 0;
        const size_t star = line.find("* ");
        const size_t colon = line.find(':', star);
        if (star == std::string::npos || colon == std::string::npos)
            continue;
        l.inode = line.substr(star + 2, colon - star - 2);
        l.path = line.substr(tab + 1);
        lines.push_back(l);
    }
    return lines;
}

} // namespace exfat_test
