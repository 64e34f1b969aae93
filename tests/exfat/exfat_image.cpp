#include "exfat_image.h"

#include <fsprobe/common/bytes.h>
#include <fsprobe/common/utf.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace exfat_test {

using fsprobe::load_le16;
using fsprobe::load_le32;
using fsprobe::load_le64;
using fsprobe::store_le16;
using fsprobe::store_le32;
using fsprobe::store_le64;

namespace {

uint16_t rotate_add(uint16_t sum, uint8_t byte) { return uint16_t(((sum & 1) ? 0x8000u : 0) + (sum >> 1) + byte); }

// A timestamp of 2023-05-17 10:20:30 and one a day later.
constexpr uint32_t create_stamp = (43u << 25) | (5u << 21) | (17u << 16) | (10u << 11) | (20u << 5) | 15u;
constexpr uint32_t modify_stamp = create_stamp + (1u << 16);

} // namespace

ExfatImage::ExfatImage(std::vector<uint8_t> image)
    : bytes(std::move(image))
{
    load();
}

ExfatImage::ExfatImage(uint8_t* data, size_t)
    : m_external(data)
{
    load();
}

void ExfatImage::load()
{
    const uint8_t* b = d();
    m_sector_shift = b[0x6C];
    m_cluster_bytes = 1u << (b[0x6C] + b[0x6D]);
    m_fat = uint64_t(load_le32(b + 0x50)) << m_sector_shift;
    m_heap = uint64_t(load_le32(b + 0x58)) << m_sector_shift;
    m_cluster_count = load_le32(b + 0x5C);
    Node root;
    root.dir = true;
    for (uint32_t n = load_le32(b + 0x60); n >= 2 && n < m_cluster_count + 2 && root.clusters.size() < 64; n = fat(n))
        root.clusters.push_back(n);
    // Entries in use up to the end mark; the bitmap and up-case table.
    uint32_t upcase_cluster = 0;
    uint64_t upcase_bytes = 0;
    for (;; ++root.used) {
        const uint64_t at = entry_offset(root, root.used);
        const uint8_t type = d()[at];
        if (type == 0)
            break;
        if (type == 0x81)
            m_bitmap_cluster = load_le32(&d()[at + 0x14]);
        if (type == 0x82) {
            upcase_cluster = load_le32(&d()[at + 0x14]);
            upcase_bytes = load_le64(&d()[at + 0x18]);
        }
    }
    m_upcase.resize(0x10000);
    for (uint32_t i = 0; i < 0x10000; ++i)
        m_upcase[i] = char16_t(i);
    const uint8_t* table = &d()[cluster_offset(upcase_cluster)];
    uint32_t to = 0;
    for (uint64_t i = 0; i + 1 < upcase_bytes && to < 0x10000; i += 2) {
        const uint16_t unit = load_le16(table + i);
        if (unit == 0xFFFF) {
            to += load_le16(table + i + 2);
            i += 2;
        } else {
            m_upcase[to++] = char16_t(unit);
        }
    }
    m_nodes[""] = root;
}

char16_t ExfatImage::upper(char16_t c) const { return m_upcase[c]; }

uint32_t ExfatImage::fat(uint32_t n) const { return load_le32(&d()[m_fat + uint64_t(n) * 4]); }
void ExfatImage::set_fat(uint32_t n, uint32_t value) { store_le32(&d()[m_fat + uint64_t(n) * 4], value); }

bool ExfatImage::allocated(uint32_t n) const
{
    const uint64_t bit = n - 2;
    return (d()[cluster_offset(m_bitmap_cluster) + bit / 8] >> (bit % 8)) & 1;
}

void ExfatImage::set_bit(uint32_t n, bool value)
{
    const uint64_t bit = n - 2;
    uint8_t& byte = d()[cluster_offset(m_bitmap_cluster) + bit / 8];
    byte = value ? uint8_t(byte | (1u << (bit % 8))) : uint8_t(byte & ~(1u << (bit % 8)));
}

std::vector<uint32_t> ExfatImage::free_run(uint32_t n, uint32_t from) const
{
    uint32_t start = std::max<uint32_t>(from, 2);
    for (uint32_t c = start; c < m_cluster_count + 2; ++c) {
        if (allocated(c)) {
            start = c + 1;
            continue;
        }
        if (c + 1 - start == n) {
            std::vector<uint32_t> run;
            for (uint32_t k = start; k <= c; ++k)
                run.push_back(k);
            return run;
        }
    }
    throw std::runtime_error("exfat test image full");
}

std::vector<uint32_t> ExfatImage::take(uint32_t n)
{
    auto run = free_run(n);
    for (uint32_t c : run)
        set_bit(c, true);
    return run;
}

void ExfatImage::chain(const std::vector<uint32_t>& clusters)
{
    for (size_t i = 0; i < clusters.size(); ++i)
        set_fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0xFFFFFFFFu);
}

uint64_t ExfatImage::entry_offset(const Node& dir, uint32_t index) const
{
    const uint64_t at = uint64_t(index) * 32;
    const size_t c = size_t(at / m_cluster_bytes);
    if (c >= dir.clusters.size())
        throw std::runtime_error("exfat test folder full");
    return cluster_offset(dir.clusters[c]) + at % m_cluster_bytes;
}

void ExfatImage::write_set(const std::string& path, bool dir, uint64_t size, uint32_t first, bool no_fat_chain)
{
    const size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    const std::u16string name = u16(slash == std::string::npos ? path : path.substr(slash + 1));
    Node& p = m_nodes.at(parent);
    const uint32_t name_entries = uint32_t((name.size() + 14) / 15);
    const uint32_t count = 2 + name_entries;
    std::vector<uint8_t> set(size_t(count) * 32, 0);
    uint8_t* f = set.data();
    f[0] = 0x85;
    f[1] = uint8_t(count - 1);
    store_le16(f + 4, dir ? 0x10 : 0x20);
    store_le32(f + 8, create_stamp);
    store_le32(f + 12, modify_stamp);
    store_le32(f + 16, modify_stamp);
    f[0x14] = 150;
    f[0x15] = 7;
    f[0x16] = 0x80 | 8; // UTC+2
    f[0x17] = 0x80 | 8;
    f[0x18] = 0x80 | 8;
    uint8_t* s = set.data() + 32;
    s[0] = 0xC0;
    s[1] = uint8_t(0x01 | (no_fat_chain ? 0x02 : 0));
    s[3] = uint8_t(name.size());
    uint16_t hash = 0;
    for (char16_t c : name) {
        const char16_t u = upper(c);
        hash = rotate_add(hash, uint8_t(u));
        hash = rotate_add(hash, uint8_t(u >> 8));
    }
    store_le16(s + 4, hash);
    store_le64(s + 8, size);
    store_le32(s + 0x14, first);
    store_le64(s + 0x18, size);
    for (uint32_t k = 0; k < name_entries; ++k) {
        uint8_t* n = set.data() + 64 + k * 32;
        n[0] = 0xC1;
        for (size_t u = 0; u < 15 && k * 15 + u < name.size(); ++u)
            store_le16(n + 2 + 2 * u, uint16_t(name[k * 15 + u]));
    }
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size(); ++i)
        if (i != 2 && i != 3)
            sum = rotate_add(sum, set[i]);
    store_le16(f + 2, sum);

    Node node;
    node.dir = dir;
    node.set_offset = entry_offset(p, p.used);
    node.set_entries = count;
    for (uint32_t k = 0; k < count; ++k)
        std::memcpy(&d()[entry_offset(p, p.used + k)], set.data() + k * 32, 32);
    p.used += count;
    p.children.push_back(path);
    m_nodes[path] = node;
}

void ExfatImage::mkdir(const std::string& path, uint32_t clusters)
{
    auto run = take(clusters);
    chain(run);
    for (uint32_t c : run)
        std::memset(&d()[cluster_offset(c)], 0, m_cluster_bytes);
    write_set(path, true, uint64_t(clusters) * m_cluster_bytes, run[0], false);
    m_nodes[path].clusters = run;
}

std::vector<uint32_t> ExfatImage::add_file(const std::string& path, const std::vector<uint8_t>& data, Place place,
                                           std::vector<uint32_t> clusters)
{
    const uint32_t n = uint32_t((data.size() + m_cluster_bytes - 1) / m_cluster_bytes);
    if (place == Place::explicit_clusters) {
        if (clusters.size() != n)
            throw std::runtime_error("exfat test: cluster count does not fit the data");
        for (uint32_t c : clusters)
            set_bit(c, true);
    } else if (n) {
        clusters = take(n);
    }
    if (place != Place::no_fat_chain && n)
        chain(clusters);
    for (uint32_t k = 0; k < n; ++k) {
        const size_t from = size_t(k) * m_cluster_bytes;
        const size_t len = std::min<size_t>(m_cluster_bytes, data.size() - from);
        std::memset(&d()[cluster_offset(clusters[k])], 0, m_cluster_bytes);
        std::memcpy(&d()[cluster_offset(clusters[k])], data.data() + from, len);
    }
    write_set(path, false, data.size(), n ? clusters[0] : 0, place == Place::no_fat_chain && n);
    m_nodes[path].clusters = clusters;
    return clusters;
}

void ExfatImage::remove(const std::string& path, bool clear_chain)
{
    Node node = m_nodes.at(path);
    if (node.dir)
        for (const std::string& child : node.children)
            if (m_nodes.count(child))
                remove(child, clear_chain);
    for (uint32_t k = 0; k < node.set_entries; ++k)
        d()[node.set_offset + uint64_t(k) * 32] &= 0x7F;
    for (uint32_t c : node.clusters) {
        set_bit(c, false);
        if (clear_chain)
            set_fat(c, 0);
    }
    m_nodes.erase(path);
}

std::u16string u16(const std::string& utf8) { return fsprobe::utf8_to_utf16(utf8); }

} // namespace exfat_test
