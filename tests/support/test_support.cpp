#include "test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace salvor_test {

static fs::path env_path(const char* name, const fs::path& fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? fs::path(v) : fallback;
}

fs::path source_dir() { return env_path("SALVOR_SOURCE_DIR", fs::current_path()); }
fs::path build_dir() { return env_path("SALVOR_BUILD_DIR", fs::current_path()); }
fs::path bin_dir() { return env_path("SALVOR_BIN_DIR", build_dir() / "bin"); }

TempDir::TempDir()
{
    fs::path base = env_path("TMPDIR", "/tmp");
    std::string tmpl = (base / "salvor-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::optional<fs::path> shared_testdata_dir()
{
    fs::path dir = env_path("SALVOR_TESTDATA", source_dir() / ".." / "shared" / "testdata");
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return std::nullopt;
    return dir;
}

std::optional<fs::path> shared_image(const std::string& relative, const fs::path& into)
{
    auto dir = shared_testdata_dir();
    if (!dir)
        return std::nullopt;
    fs::path plain = *dir / relative;
    fs::path xz = *dir / (relative + ".xz");
    fs::path out = into / fs::path(relative).filename();
    std::error_code ec;
    if (fs::exists(out, ec))
        return out;
    if (fs::exists(xz, ec)) {
        std::string cmd = "xz -dc '" + xz.string() + "' > '" + out.string() + "'";
        if (run(cmd) != 0)
            return std::nullopt;
    } else if (fs::exists(plain, ec)) {
        fs::copy_file(plain, out, ec);
        if (ec)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    // Tests open the copy read-only; make that explicit.
    fs::permissions(out, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, ec);
    return out;
}

int run(const std::string& command, std::string* output)
{
    std::string cmd = command + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return 127;
    std::array<char, 4096> buf;
    std::string out;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    int status = pclose(p);
    if (output)
        *output = std::move(out);
    if (status == -1)
        return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool have_tool(const std::string& tool)
{
    return run("PATH=\"$PATH:/sbin:/usr/sbin\" command -v " + tool + " >/dev/null") == 0;
}

bool require_tool(const std::string& tool, const std::string& package)
{
    if (have_tool(tool))
        return true;
    ADD_FAILURE() << "the tool '" << tool << "' is missing: install the Debian package '" << package
                  << "' (tools/setup-deps.sh does)";
    return false;
}

bool run_fixture(const std::string& script, const std::vector<std::string>& args)
{
    std::string cmd = "PATH=\"$PATH:/sbin:/usr/sbin\" bash '" + (source_dir() / "tools" / "fixtures" / script).string() + "'";
    for (auto& a : args)
        cmd += " '" + a + "'";
    std::string out;
    int rc = run(cmd, &out);
    if (rc != 0) {
        ADD_FAILURE() << "fixture " << script << " failed (exit " << rc << "):\n" << out;
        return false;
    }
    return true;
}

std::vector<uint8_t> read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    std::vector<uint8_t> bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string sha256_hex(const void* data, size_t size)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data, size, md, &len, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < len; ++i) {
        s += hex[md[i] >> 4];
        s += hex[md[i] & 15];
    }
    return s;
}

std::string sha256_hex(const std::vector<uint8_t>& bytes) { return sha256_hex(bytes.data(), bytes.size()); }

std::string sha256_file(const fs::path& path)
{
    auto bytes = read_file(path);
    return sha256_hex(bytes);
}

std::vector<uint8_t> random_bytes(size_t size, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; i += 8) {
        uint64_t x = rng();
        for (size_t k = 0; k < 8 && i + k < size; ++k)
            v[i + k] = uint8_t(x >> (8 * k));
    }
    return v;
}

} // namespace salvor_test
