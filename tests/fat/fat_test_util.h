// Helpers of the FAT tests: a small hand-built FAT16 volume, and the walk of
// a result tree into paths the way the result view does it.
#pragma once

#include <fsprobe/common/bytes.h>
#include <fsprobe/common/utf.h>
#include <fsprobe/fat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace fat_test {

using fsprobe::load_le16;
using fsprobe::store_le16;
using fsprobe::store_le32;

// FAT16, 512-byte sectors, 1 sector per cluster, 1 reserved sector, two FATs
// of 16 sectors, 512 root entries (32 sectors): the root starts at sector 33,
// cluster 2 at sector 65. 4096 sectors in all (16-bit total field).
struct MiniFat16 {
    static constexpr uint32_t total_sectors = 4096;
    static constexpr uint32_t fat_sectors = 16;
    static constexpr uint32_t root_sector = 33;
    static constexpr uint32_t data_sector = 65;
    std::vector<uint8_t> bytes;

    MiniFat16();
    void set_fat(uint32_t n, uint16_t value);
    uint64_t root_entry(size_t index) const { return uint64_t(root_sector) * 512 + index * 32; }
    uint64_t cluster_offset(uint32_t n) const { return (uint64_t(data_sector) + n - 2) * 512; }
    uint64_t cluster_entry(uint32_t n, size_t index) const { return cluster_offset(n) + index * 32; }
    // A short entry; `name11` is the 11-byte padded name (first byte as stored).
    void entry(uint64_t at, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size,
               uint16_t date = 0, uint16_t time = 0);
    // The "." and ".." entries of directory cluster n.
    void dot_entries(uint32_t n, uint32_t parent);
    // One long-name slot holding units [13 * (seq - 1), 13 * seq) of `name`
    // (0 then 0xFFFF padding after its end); first byte `first` (seq | 0x40
    // for the last, 0xE5 when deleted).
    void lfn(uint64_t at, const std::u16string& name, unsigned seq, uint8_t first);
    void fill(uint32_t n, uint8_t value) { std::memset(&bytes[cluster_offset(n)], value, 512); }
};

struct Found {
    std::string path;   // "/"-separated; a first unit 0xE5 shown as "_"
    FatEntry* entry;
};

std::string entry_name(const FatEntry* e);

// Walks a deleted-search tree as the result view does: every directory entry
// takes the next node in creation order, whose parent must be the directory.
std::vector<Found> collect(FatDirNode* root);
// The same for the trees of format recovery (each from its top node).
std::vector<Found> collect(FatLostDir** tops);

const Found* find(const std::vector<Found>& found, const std::string& path);

// Reads a whole file through the given read export in chunks of `chunk` bytes.
using ReadFn = bool (*)(FatEntry*, void*, uint32_t, uint64_t*);
std::vector<uint8_t> read_all(ReadFn fn, FatEntry* entry, uint32_t chunk);

} // namespace fat_test
