// salvor-cli on volumes whose metadata claims absurd sizes: block, cluster and
// file sizes far beyond the volume. Every mode must end with a status (no
// crash), stay within a bounded memory, and never write more than the volume
// can hold.
#include "test_support.h"

#include "hfsplus_image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>


namespace {

using namespace salvor_test;

constexpr long kPeakLimitKib = 128 * 1024;

struct Outcome {
    int status = -1; // exit status, or 128 + signal
    long peak_kib = 0;
};

std::string quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs salvor-cli with `args`, its output discarded, and returns its exit
// status and peak resident memory. A small python3 parent starts it: a child
// forked from this (large) test process would count the test's own pages in
// its peak.
Outcome run_measured(const std::vector<std::string>& args)
{
    std::string cmd = "ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=8 python3 -c '"
                      "import os,subprocess,sys\n"
                      "p=subprocess.Popen(sys.argv[1:],stdout=subprocess.DEVNULL,stderr=subprocess.DEVNULL)\n"
                      "_,st,ru=os.wait4(p.pid,0)\n"
                      "print(os.waitstatus_to_exitcode(st),ru.ru_maxrss)' ";
    cmd += quote((bin_dir() / "salvor-cli").string());
    for (const auto& a : args)
        cmd += " " + quote(a);
    std::string out;
    Outcome o;
    if (run(cmd, &out) != 0 || std::sscanf(out.c_str(), "%d %ld", &o.status, &o.peak_kib) != 2)
        ADD_FAILURE() << "cannot measure: " << out;
    if (o.status < 0)
        o.status = 128 - o.status; // killed by a signal
    return o;
}

uint64_t tree_bytes(const fs::path& dir)
{
    uint64_t total = 0;
    if (fs::exists(dir))
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file())
                total += e.file_size();
    return total;
}

// Every mode that applies to `image`: a status, bounded memory, and no more
// bytes written than the volume holds.
void check_all_modes(const fs::path& image, const std::vector<std::vector<std::string>>& modes)
{
    TempDir out;
    int n = 0;
    for (const auto& mode : modes) {
        const fs::path target = out / ("r" + std::to_string(n++));
        std::vector<std::string> args = {"recover"};
        args.insert(args.end(), mode.begin(), mode.end());
        args.insert(args.end(), {image.string(), "--to", target.string()});
        const Outcome o = run_measured(args);
        std::string what;
        for (const auto& a : mode)
            what += a + " ";
        SCOPED_TRACE(what + image.filename().string());
        EXPECT_TRUE(o.status == 0 || o.status == 2 || o.status == 3) << "status " << o.status;
        EXPECT_LT(o.peak_kib, kPeakLimitKib) << "peak memory in KiB";
        EXPECT_LE(tree_bytes(target), fs::file_size(image)) << "more written than the volume holds";
    }
}

void patch(std::vector<uint8_t>& bytes, size_t offset, std::initializer_list<uint8_t> values)
{
    ASSERT_LE(offset + values.size(), bytes.size());
    std::copy(values.begin(), values.end(), bytes.begin() + long(offset));
}

// Offset of the first occurrence of `needle`, or npos.
size_t find_bytes(const std::vector<uint8_t>& hay, const std::string& needle)
{
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : size_t(it - hay.begin());
}

// A FAT32 volume of 40 MiB holding the deleted file ABIG.BIN with `data`;
// its bytes, and the offset of the file's directory entry in them.
std::vector<uint8_t> fat_with_deleted_file(const TempDir& tmp, const std::vector<uint8_t>& data, size_t& entry)
{
    const fs::path img = tmp / "fat32.img";
    write_file(tmp / "a.bin", data);
    EXPECT_EQ(run("truncate -s 40M '" + img.string() + "' && mkfs.vfat -F 32 '" + img.string() +
                  "' >/dev/null && mcopy -i '" + img.string() + "' '" + (tmp / "a.bin").string() +
                  "' ::ABIG.BIN && mdel -i '" + img.string() + "' ::ABIG.BIN"),
              0);
    auto bytes = read_file(img);
    // The short entry with its first byte taken by the deletion mark.
    const size_t name = find_bytes(bytes, "BIG    BIN");
    entry = name == std::string::npos ? name : name - 1;
    return bytes;
}

} // namespace

TEST(CliLimits, HfsPlusHugeBlockSize)
{
    hfsplus_test::HfsPlusImageBuilder b;
    b.add_deleted_file(hfsplus_test::HfsPlusImageBuilder::kRootFolder, "photo.jpg", std::vector<uint8_t>(9000, 7),
                       hfsplus_test::DeletedPlace::NodeFreeSpace);
    auto bytes = b.build();
    TempDir tmp;
    for (uint32_t block : {0x80000000u, 0x40000000u, 1u << 21}) {
        auto mutant = bytes;
        patch(mutant, 1024 + 40, {uint8_t(block >> 24), uint8_t(block >> 16), uint8_t(block >> 8), uint8_t(block)});
        const fs::path img = tmp / ("hfs-" + std::to_string(block) + ".img");
        write_file(img, mutant);
        check_all_modes(img, {{"deleted"}, {"raw"}});
    }
}

TEST(CliLimits, FatHugeClustersAndFileSizes)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    size_t entry = 0;
    const auto bytes = fat_with_deleted_file(tmp, std::vector<uint8_t>(70000, 0x41), entry);
    ASSERT_NE(entry, std::string::npos);
    // A deleted entry claiming 4 GiB - 1.
    auto huge_file = bytes;
    patch(huge_file, entry + 28, {0xFF, 0xFF, 0xFF, 0xFF});
    write_file(tmp / "fat-size.img", huge_file);
    check_all_modes(tmp / "fat-size.img", {{"deleted"}, {"format", "--fs", "fat32"}, {"raw"}});
    // The largest clusters a boot sector can claim (128 sectors of 4096 bytes).
    auto huge_cluster = huge_file;
    patch(huge_cluster, 11, {0x00, 0x10});
    patch(huge_cluster, 13, {128});
    write_file(tmp / "fat-cluster.img", huge_cluster);
    check_all_modes(tmp / "fat-cluster.img", {{"deleted"}, {"format", "--fs", "fat32"}, {"raw"}});
}

TEST(CliLimits, NtfsHugeClusters)
{
    if (!require_tool("mkntfs", "ntfs-3g"))
        return;
    TempDir tmp;
    const fs::path base = tmp / "ntfs.img";
    ASSERT_EQ(run("truncate -s 16M '" + base.string() + "' && mkntfs -q -F -f '" + base.string() + "' >/dev/null"),
              0);
    const auto bytes = read_file(base);
    for (uint8_t code : {uint8_t(0x80), uint8_t(0xF4), uint8_t(0xE0)}) {
        auto mutant = bytes;
        patch(mutant, 13, {code});
        const fs::path img = tmp / ("ntfs-" + std::to_string(code) + ".img");
        write_file(img, mutant);
        check_all_modes(img, {{"deleted"}, {"format", "--fs", "ntfs"}, {"raw"}});
    }
}

TEST(CliLimits, ExtHugeBlocksAndFileSizes)
{
    if (!require_tool("mke2fs", "e2fsprogs") || !require_tool("debugfs", "e2fsprogs"))
        return;
    TempDir tmp;
    const fs::path base = tmp / "ext3.img";
    write_file(tmp / "a.bin", std::vector<uint8_t>(30000, 0x42));
    ASSERT_EQ(run("PATH=\"$PATH:/sbin:/usr/sbin\"; mke2fs -q -F -t ext3 -b 1024 '" + base.string() +
                  "' 8M >/dev/null && debugfs -w -R 'write " + (tmp / "a.bin").string() + " big.bin' '" +
                  base.string() + "' >/dev/null && debugfs -w -R 'sif big.bin size 0x7fffffffffffffff' '" +
                  base.string() + "' >/dev/null && debugfs -w -R 'rm big.bin' '" + base.string() + "' >/dev/null"),
              0);
    check_all_modes(base, {{"deleted"}, {"raw"}});
    const auto bytes = read_file(base);
    for (uint8_t log : {uint8_t(6), uint8_t(16), uint8_t(30)}) {
        auto mutant = bytes;
        patch(mutant, 1024 + 24, {log, 0, 0, 0}); // s_log_block_size
        const fs::path img = tmp / ("ext-" + std::to_string(log) + ".img");
        write_file(img, mutant);
        check_all_modes(img, {{"deleted"}, {"raw"}});
    }
}

// A deleted FAT entry that claims 4 GiB on a 40 MiB volume: listed as damaged,
// written only as far as the volume can be read, counted apart, exit 3.
TEST(CliLimits, SizesBeyondTheVolumeAreCutAndCountedAsDamaged)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    const fs::path img = tmp / "fat32.img";
    std::vector<uint8_t> data(300000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + i / 251);
    size_t entry = 0;
    auto bytes = fat_with_deleted_file(tmp, data, entry);
    ASSERT_NE(entry, std::string::npos);
    patch(bytes, entry + 28, {0xFF, 0xFF, 0xFF, 0x7F}); // 2 GiB
    write_file(img, bytes);

    std::string out;
    const std::string cli = (bin_dir() / "salvor-cli").string();
    ASSERT_EQ(run(cli + " scan deleted '" + img.string() + "'", &out), 0) << out;
    EXPECT_NE(out.find("_BIG.BIN\t2147483647\t"), std::string::npos) << out;
    EXPECT_NE(out.find("\tdamaged\n"), std::string::npos) << out;
    ASSERT_EQ(run(cli + " scan deleted --json '" + img.string() + "'", &out), 0) << out;
    EXPECT_NE(out.find("\"size\":2147483647,"), std::string::npos) << out;
    EXPECT_NE(out.find("\"damaged\":true"), std::string::npos) << out;

    EXPECT_EQ(run(cli + " recover deleted '" + img.string() + "' --to '" + (tmp / "r").string() + "'", &out), 3)
        << out;
    EXPECT_NE(out.find("recovered 0 files"), std::string::npos) << out;
    EXPECT_NE(out.find("damaged 1 files"), std::string::npos) << out;
    const fs::path got = tmp / "r" / "_BIG.BIN";
    ASSERT_TRUE(fs::is_regular_file(got)) << out;
    // The real data is there, and nothing beyond what the volume holds.
    const auto written = read_file(got);
    EXPECT_LE(written.size(), fs::file_size(img));
    ASSERT_GE(written.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), written.begin()));
}
