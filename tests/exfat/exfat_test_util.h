// Helpers of the exFAT tests: volumes made by mkfs.exfat, the walk of a
// result tree into paths, whole-file reads and fls listings.
#pragma once

#include "exfat_image.h"

#include <fsprobe/common/bytes.h>
#include <fsprobe/exfat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace exfat_test {

using fsprobe::load_le16;
using fsprobe::load_le32;
using fsprobe::load_le64;
using fsprobe::store_le16;
using fsprobe::store_le32;
using fsprobe::store_le64;

// Formats a file of `bytes` bytes with mkfs.exfat and loads it; nullopt
// (with a test failure) when the tool fails.
std::optional<ExfatImage> format_image(const std::filesystem::path& file, uint64_t bytes, uint32_t cluster_bytes);

std::string entry_name(const ExfatEntry* e);

struct Found {
    std::string path;
    ExfatEntry* entry;
};

// Walks a search tree as a caller does: every folder entry takes the next
// node in creation order, whose parent and self must match.
std::vector<Found> collect(ExfatDirNode* root);
const Found* find(const std::vector<Found>& found, const std::string& path);

// Reads a whole file through exfat_readfile in chunks of `chunk` bytes; the
// flag receives whether every read succeeded.
std::vector<uint8_t> read_all(ExfatEntry* entry, uint32_t chunk, bool* all_ok = nullptr);

// "fls -r -d" of an image: deleted paths (orphans left out) with their
// inode numbers and whether they are folders.
struct FlsLine {
    std::string path;
    std::string inode;
    bool dir = false;
};
std::vector<FlsLine> fls_deleted(const std::filesystem::path& image);

} // namespace exfat_test
