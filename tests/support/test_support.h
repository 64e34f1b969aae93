// Helpers shared by the test suites: paths, temporary folders, the shared
// third-party images, external tools and hashes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace salvor_test {

namespace fs = std::filesystem;

// The project's source folder, build folder and the build's bin folder
// (from the environment ctest sets, else relative to the working directory).
fs::path source_dir();
fs::path build_dir();
fs::path bin_dir();

// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

// The folder of third-party images beside the project, or nullopt when it is
// absent (a plain clone): tests then GTEST_SKIP with a message.
std::optional<fs::path> shared_testdata_dir();

// Makes the third-party image `relative` (for example "ntfs/testfs1.raw")
// available as a plain file in `into`, decompressing NAME.xz when that is how
// it is stored. Returns nullopt when the shared folder or file is absent.
std::optional<fs::path> shared_image(const std::string& relative, const fs::path& into);

// Runs a shell command; returns its exit status (127 when it could not start).
int run(const std::string& command, std::string* output = nullptr);

// True when `tool` is on PATH (or in /sbin, /usr/sbin).
bool have_tool(const std::string& tool);

// Fails the current test (ADD_FAILURE) naming the missing tool and the package
// that provides it; returns false then. Use: if (!require_tool(...)) return;
bool require_tool(const std::string& tool, const std::string& package);

// Builds a fixture with a script of tools/fixtures: runs
// "bash tools/fixtures/SCRIPT ARGS..." and fails the test with its output when
// it exits non-zero.
bool run_fixture(const std::string& script, const std::vector<std::string>& args);

std::vector<uint8_t> read_file(const fs::path& path);
void write_file(const fs::path& path, const std::vector<uint8_t>& bytes);

std::string sha256_hex(const void* data, size_t size);
std::string sha256_hex(const std::vector<uint8_t>& bytes);
std::string sha256_file(const fs::path& path);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t size, uint64_t seed);

} // namespace salvor_test
