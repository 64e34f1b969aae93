// A builder of exFAT test volumes: adds files and folders to a formatted
// volume and deletes them as a driver does.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace exfat_test {

// An exFAT volume in memory. Files and folders are added with entry sets
// whose checksums and name hashes are right, clusters taken in the bitmap and
// chains written to the FAT; remove() deletes as the Linux driver does: the
// in-use bits of the sets are cleared and the clusters freed in the bitmap,
// the FAT is left as it was.
class ExfatImage {
public:
    explicit ExfatImage(std::vector<uint8_t> image);
    // Works on `size` bytes the caller keeps (a mapped file); `bytes` stays empty.
    ExfatImage(uint8_t* data, size_t size);

    // Where a file's data goes: contiguous with the no-FAT-chain flag,
    // contiguous with a FAT chain, or in the clusters given (a FAT chain).
    enum class Place { no_fat_chain, chain, explicit_clusters };

    // A folder with `clusters` clusters of entries (contiguous, FAT chain).
    void mkdir(const std::string& path, uint32_t clusters = 1);
    // A file; returns its clusters.
    std::vector<uint32_t> add_file(const std::string& path, const std::vector<uint8_t>& data,
                                   Place place = Place::no_fat_chain, std::vector<uint32_t> clusters = {});
    // Deletes a file, or a folder with everything in it (contents first).
    // With `clear_chain` the FAT entries of its clusters are zeroed too, as
    // exfat-fuse does.
    void remove(const std::string& path, bool clear_chain = false);

    // `n` free clusters, the first run found from `from` (not taken yet).
    std::vector<uint32_t> free_run(uint32_t n, uint32_t from = 2) const;
    uint32_t cluster_bytes() const { return m_cluster_bytes; }
    uint64_t cluster_offset(uint32_t n) const { return m_heap + uint64_t(n - 2) * m_cluster_bytes; }
    // Byte offset of the file entry of a path's set.
    uint64_t set_offset(const std::string& path) const { return m_nodes.at(path).set_offset; }
    const std::vector<uint32_t>& clusters_of(const std::string& path) const { return m_nodes.at(path).clusters; }
    void set_fat(uint32_t n, uint32_t value);
    uint32_t fat(uint32_t n) const;
    bool allocated(uint32_t n) const;

    std::vector<uint8_t> bytes;

private:
    uint8_t* d() { return m_external ? m_external : bytes.data(); }
    const uint8_t* d() const { return m_external ? m_external : bytes.data(); }
    void load();

    struct Node {
        bool dir = false;
        uint64_t set_offset = 0;
        uint32_t set_entries = 0;
        std::vector<uint32_t> clusters;
        uint32_t used = 0;  // folders: entries written
        std::vector<std::string> children;
    };
    void set_bit(uint32_t n, bool value);
    std::vector<uint32_t> take(uint32_t n);
    void chain(const std::vector<uint32_t>& clusters);
    uint64_t entry_offset(const Node& dir, uint32_t index) const;
    void write_set(const std::string& path, bool dir, uint64_t size, uint32_t first, bool no_fat_chain);
    char16_t upper(char16_t c) const;

    uint8_t* m_external = nullptr;
    uint32_t m_sector_shift = 9;
    uint32_t m_cluster_bytes = 0;
    uint64_t m_fat = 0;
    uint64_t m_heap = 0;
    uint32_t m_cluster_count = 0;
    uint32_t m_bitmap_cluster = 0;
    std::vector<char16_t> m_upcase;
    std::map<std::string, Node> m_nodes;
};

// UTF-8 to UTF-16.
std::u16string u16(const std::string& utf8);

} // namespace exfat_test
