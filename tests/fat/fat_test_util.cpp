#include "fat_test_util.h"

#include <disk_builder.h>

namespace fat_test {

MiniFat16::MiniFat16()
    : bytes(size_t(total_sectors) * 512, 0)
{
    auto boot = salvor_test::fat_boot_sector(16, total_sectors, 0, 1, 1, fat_sectors);
    std::memcpy(bytes.data(), boot.data(), 512);
    set_fat(0, 0xFFF8);
    set_fat(1, 0xFFFF);
}

void MiniFat16::set_fat(uint32_t n, uint16_t value)
{
    for (uint32_t f = 0; f < 2; ++f)
        store_le16(&bytes[(1 + f * fat_sectors) * 512 + n * 2], value);
}

void MiniFat16::entry(uint64_t at, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size, uint16_t date,
                      uint16_t time)
{
    uint8_t* e = &bytes[at];
    std::memcpy(e, name11, 11);
    e[11] = attr;
    store_le16(e + 14, time);
    store_le16(e + 16, date);
    store_le16(e + 20, uint16_t(cluster >> 16));
    store_le16(e + 26, uint16_t(cluster));
    store_le32(e + 28, size);
}

void MiniFat16::dot_entries(uint32_t n, uint32_t parent)
{
    entry(cluster_entry(n, 0), ".          ", 0x10, n, 0);
    entry(cluster_entry(n, 1), "..         ", 0x10, parent, 0);
}

void MiniFat16::lfn(uint64_t at, const std::u16string& name, unsigned seq, uint8_t first)
{
    uint8_t* e = &bytes[at];
    std::memset(e, 0, 32);
    e[0] = first;
    e[11] = 0x0F;
    static const size_t offsets[13] = { 1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30 };
    for (size_t k = 0; k < 13; ++k) {
        size_t i = (seq - 1) * 13 + k;
        uint16_t unit = i < name.size() ? uint16_t(name[i]) : i == name.size() ? 0 : 0xFFFF;
        store_le16(e + offsets[k], unit);
    }
}

std::string entry_name(const FatEntry* e)
{
    // The name follows the packed record: read its units byte-wise.
    std::u16string name;
    const auto* p = reinterpret_cast<const uint8_t*>(e) + offsetof(FatEntry, name);
    for (; p[0] | p[1]; p += 2)
        name += char16_t(p[0] | (p[1] << 8));
    if (!name.empty() && name[0] == 0xE5)
        name[0] = u'_';
    return fsprobe::utf16_to_utf8(name);
}

namespace {

template<typename Node>
void walk(Node*& cursor, Node* dir, const std::string& prefix, std::vector<Found>& out, int depth)
{
    ASSERT_LT(depth, 600) << "result tree deeper than any walk can make it";
    ASSERT_NE(dir->entries, nullptr);
    for (FatEntry** p = dir->entries; *p; ++p) {
        std::string path = prefix + entry_name(*p);
        out.push_back(Found { path, *p });
        if (!(*p)->is_directory)
            continue;
        // Packed records: fields are copied out before they are compared.
        Node* next = cursor->next;
        ASSERT_NE(next, nullptr) << "no node for directory " << path;
        cursor = next;
        Node* parent = cursor->parent;
        uint32_t cluster = cursor->first_cluster;
        ASSERT_EQ(parent, dir) << "node order broken at " << path;
        ASSERT_EQ(cluster, (*p)->first_cluster) << path;
        walk(cursor, cursor, path + "/", out, depth + 1);
    }
}

} // namespace

std::vector<Found> collect(FatDirNode* root)
{
    std::vector<Found> out;
    FatDirNode* cursor = root;
    walk(cursor, root, "", out, 0);
    // Lost folders follow, each without a parent, as "Lost files/Folder%u".
    unsigned number = 0;
    while (cursor->next) {
        cursor = cursor->next;
        FatDirNode* parent = cursor->parent;
        EXPECT_EQ(parent, nullptr) << "a node no entry accounts for";
        EXPECT_EQ(+cursor->root, 0);
        EXPECT_EQ(+cursor->deleted, 1);
        const std::string prefix = "Lost files/Folder" + std::to_string(number++) + "/";
        walk(cursor, cursor, prefix, out, 0);
    }
    return out;
}

std::vector<Found> collect(FatLostDir** tops)
{
    std::vector<Found> out;
    for (FatLostDir** t = tops; *t; ++t) {
        FatLostDir* cursor = *t;
        FatLostDir* parent = (*t)->parent;
        EXPECT_EQ(parent, *t);
        EXPECT_EQ(+(*t)->top, 1);
        walk(cursor, *t, std::string((*t)->name) + "/", out, 0);
    }
    return out;
}

const Found* find(const std::vector<Found>& found, const std::string& path)
{
    for (const Found& f : found)
        if (f.path == path)
            return &f;
    return nullptr;
}

std::vector<uint8_t> read_all(ReadFn fn, FatEntry* entry, uint32_t chunk)
{
    std::vector<uint8_t> data;
    std::vector<uint8_t> buffer(chunk);
    uint64_t position = 0;
    uint32_t size = entry->size;
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(chunk, size - done);
        if (!fn(entry, buffer.data(), n, &position))
            break;
        data.insert(data.end(), buffer.begin(), buffer.begin() + n);
        done += n;
    }
    return data;
}

} // namespace fat_test
