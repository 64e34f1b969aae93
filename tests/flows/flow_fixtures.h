// Fixture images for the whole-program flows, with what a recovery of each
// must write: every expected file by its name and SHA-256.
#pragma once

#include "test_support.h"

#include <map>
#include <string>
#include <vector>

namespace salvor_flow {

namespace fs = std::filesystem;

struct ExpectedFile {
    std::string name; // the file name ("" when files are named by the program)
    std::string sha256;
};

struct Fixture {
    fs::path image;
    std::vector<ExpectedFile> expected;
    // Content that must not be written (a category the user did not tick).
    std::vector<std::string> unwanted_sha256;
};

// FAT32 volume with deleted files in live and deleted folders.
bool MakeFatDeleted(const fs::path& dir, Fixture& out);
// ext2 volume with deleted files (named by group and number when recovered).
bool MakeExt2Deleted(const fs::path& dir, Fixture& out);
// FAT32 volume with a folder tree, formatted again.
bool MakeFat32Formatted(const fs::path& dir, Fixture& out);
// FAT32 volume that held a BMP, a PNG, a WAV and a ZIP, formatted again;
// the photo and music categories are wanted, OTHERS (the ZIP) is not.
bool MakeRawPhotoMusic(const fs::path& dir, Fixture& out);

// Every regular file below `dir`: relative path -> SHA-256.
std::map<std::string, std::string> FilesBelow(const fs::path& dir);

// Checks (gtest expectations) that every expected file is among `files`, by
// content and, where a name is expected, by file name; and that no unwanted
// content is.
void ExpectRecovered(const std::map<std::string, std::string>& files, const Fixture& fixture);

} // namespace salvor_flow
