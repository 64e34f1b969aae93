// A tiny ext2 image writer for unit tests and fuzz harnesses: one block group,
// 1 KiB blocks by default, raw control over inodes, block pointers and
// directory entries (so that slack entries, loops and damage can be staged).
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace ext_test {

// Copies a field of a packed record, so that test macros, which bind
// references, never bind one to a misaligned member.
template<typename T>
T field(T value)
{
    return value;
}

class ExtBuilder {
public:
    // Layout (1 KiB blocks): 0 boot, 1 superblock, 2 descriptors, 3 block
    // bitmap, 4 inode bitmap, 5.. inode table, then data blocks.
    explicit ExtBuilder(uint32_t blocks = 512, uint32_t inodes = 64, uint32_t inode_size = 128)
        : m_blocks(blocks)
        , m_inodes(inodes)
        , m_inode_size(inode_size)
    {
        m_bytes.assign(size_t(blocks) * kBs, 0);
        uint8_t* s = m_bytes.data() + 1024;
        put32(s + 0x00, inodes);
        put32(s + 0x04, blocks);
        put32(s + 0x14, 1);       // first data block
        put32(s + 0x18, 0);       // 1 KiB blocks
        put32(s + 0x1C, 0);       // fragments as large
        put32(s + 0x20, 8192);    // blocks per group
        put32(s + 0x24, 8192);
        put32(s + 0x28, inodes);  // inodes per group
        put16(s + 0x38, 0xEF53);
        put32(s + 0x4C, 1);
        put16(s + 0x58, uint16_t(inode_size));
        put32(s + 0x60, 0x0002);
        uint8_t* d = block(2);
        put32(d + 0x00, 3);
        put32(d + 0x04, 4);
        put32(d + 0x08, 5);
        m_table_blocks = (inodes * inode_size + kBs - 1) / kBs;
        m_next_block = 5 + m_table_blocks;
        for (uint32_t i = 1; i <= 11; ++i)
            set_inode_used(i, true);
        // Root directory with "." and "..".
        root_dir = make_dir_inode(2, 3);
    }

    static constexpr uint32_t kBs = 1024;

    std::vector<uint8_t>& bytes() { return m_bytes; }
    uint8_t* block(uint32_t b) { return m_bytes.data() + size_t(b) * kBs; }
    uint32_t alloc_block() { return m_next_block++; }
    uint32_t table_block() const { return 5; }

    uint8_t* inode(uint32_t n) { return block(5) + size_t(n - 1) * m_inode_size; }
    void set_inode_used(uint32_t n, bool used)
    {
        uint8_t* bm = block(4);
        if (used)
            bm[(n - 1) / 8] |= uint8_t(1u << ((n - 1) % 8));
        else
            bm[(n - 1) / 8] &= uint8_t(~(1u << ((n - 1) % 8)));
    }
    uint32_t new_inode_number() { return m_next_inode++; }

    // Sets up inode n; returns n.
    uint32_t set_inode(uint32_t n, uint16_t mode, uint64_t size, uint16_t links, uint32_t dtime)
    {
        uint8_t* i = inode(n);
        put16(i + 0x00, mode);
        put32(i + 0x04, uint32_t(size));
        put32(i + 0x14, dtime);
        put16(i + 0x1A, links);
        if ((mode & 0xF000) != 0x4000)
            put32(i + 0x6C, uint32_t(size >> 32));
        set_inode_used(n, dtime == 0);
        return n;
    }
    void set_pointer(uint32_t n, uint32_t index, uint32_t b) { put32(inode(n) + 0x28 + 4 * index, b); }

    // A file whose data is `data`, stored in freshly allocated direct blocks
    // (at most 12). Returns its inode number.
    uint32_t make_file(const std::vector<uint8_t>& data, uint32_t dtime, uint16_t mode = 0x81A4)
    {
        uint32_t n = new_inode_number();
        set_inode(n, mode, data.size(), dtime ? 0 : 1, dtime);
        for (size_t off = 0, k = 0; off < data.size(); off += kBs, ++k) {
            uint32_t b = alloc_block();
            std::memcpy(block(b), data.data() + off, std::min<size_t>(kBs, data.size() - off));
            set_pointer(n, uint32_t(k), b);
        }
        return n;
    }

    // A directory inode with one block holding "." and ".."; returns its number
    // (use 2 for the root). The directory's block is dir_block(n).
    uint32_t make_dir_inode(uint32_t n, uint16_t links, uint32_t parent = 2)
    {
        set_inode(n, 0x41ED, kBs, links, 0);
        uint32_t b = alloc_block();
        set_pointer(n, 0, b);
        uint8_t* d = block(b);
        entry(d, 0, n, 12, ".", 2);
        entry(d, 12, parent, kBs - 12, "..", 2);
        m_dir_end[n] = 12;
        return n;
    }
    uint32_t dir_block(uint32_t n) { return get32(inode(n) + 0x28); }

    // Appends a live entry to directory `dir`: the previous last entry is cut
    // to its own length and the new one runs to the block's end.
    uint32_t link(uint32_t dir, uint32_t target, const std::string& name, uint8_t type)
    {
        uint8_t* d = block(dir_block(dir));
        uint32_t prev = m_dir_end[dir];
        uint32_t prev_len = 8 + ((d[prev + 6] + 3u) & ~3u);
        uint32_t at = prev + prev_len;
        put16(d + prev + 4, uint16_t(prev_len));
        entry(d, at, target, kBs - at, name, type);
        m_dir_end[dir] = at;
        return at;
    }
    // Removes the last entry of `dir` the way ext2 does: the previous entry's
    // record length swallows it, its bytes stay in the slack.
    void unlink_last(uint32_t dir, uint32_t previous_offset)
    {
        uint8_t* d = block(dir_block(dir));
        put16(d + previous_offset + 4, uint16_t(kBs - previous_offset));
        m_dir_end[dir] = previous_offset;
    }

    static void entry(uint8_t* d, uint32_t at, uint32_t ino, uint32_t rec_len, const std::string& name, uint8_t type)
    {
        put32(d + at, ino);
        put16(d + at + 4, uint16_t(rec_len));
        d[at + 6] = uint8_t(name.size());
        d[at + 7] = type;
        std::memcpy(d + at + 8, name.data(), name.size());
    }

    static void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
    static void put32(uint8_t* p, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            p[i] = uint8_t(v >> (8 * i));
    }
    static uint32_t get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

    uint32_t root_dir = 2;

private:
    uint32_t m_blocks;
    uint32_t m_inodes;
    uint32_t m_inode_size;
    uint32_t m_table_blocks = 0;
    uint32_t m_next_block = 0;
    uint32_t m_next_inode = 12;
    std::vector<uint8_t> m_bytes;
    std::map<uint32_t, uint32_t> m_dir_end;
};

} // namespace ext_test
