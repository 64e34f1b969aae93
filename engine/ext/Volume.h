// An open ext2/ext3 volume: checked superblock geometry, the group descriptor
// table, and bounds-checked reads of blocks and inodes.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>
#include <fsprobe/times.h>

#include <array>
#include <optional>
#include <vector>

namespace fsprobe::ext {

// The superblock fields the engine works with, after every check.
struct Geometry {
    u32 inode_count = 0;
    u32 block_count = 0;
    u32 first_data_block = 0;
    u32 block_size = 0;
    u32 blocks_per_group = 0;
    u32 inodes_per_group = 0;
    u32 inode_size = 0;
    u32 inodes_per_block = 0;
    u32 group_count = 0;
    u32 revision = 0;
    u32 incompat = 0;
};

// Decodes and checks a 1024-byte superblock. Rejects a wrong magic, a
// revision other than 0 or 1, an incompatible feature other than file types
// in directory entries (and the journal's "needs recovery" mark), a fragment size different from the block size and any
// geometry that cannot describe a real volume. `why` (when given) receives
// what was wrong, as the end of a sentence starting "the superblock".
std::optional<Geometry> parse_superblock(ByteView superblock, const char** why = nullptr);

struct GroupDesc {
    u32 inode_bitmap = 0;
    u32 inode_table = 0;
};

using InodeCopy = std::array<u8, kInodeCopySize>;

class Volume {
public:
    // Reads and checks the superblock and the descriptor table. `kind`
    // ("ext2", "ext3") names the volume in the failure reasons.
    bool open(BgVolume* volume, const char* kind = "ext2");

    const Geometry& geometry() const { return m_geo; }
    const BgReader* reader() const { return m_reader; }
    u32 block_size() const { return m_geo.block_size; }
    const std::vector<GroupDesc>& groups() const { return m_groups; }

    // A block number that may hold data: not 0 and below the block count.
    bool block_valid(u64 block) const { return block != 0 && block < m_geo.block_count; }

    // Reads exactly `count` bytes at a volume byte offset; false on a short read.
    bool read_bytes(void* buffer, u64 offset, u64 count) const;
    // Reads as much as the volume delivers and zero-fills the rest; returns the
    // number of bytes read.
    u64 read_bytes_partial(void* buffer, u64 offset, u64 count) const;
    // Reads one whole block; false for an invalid block number or a short read.
    bool read_block(u64 block, u8* buffer) const;

    // Copies the first 128 bytes of inode `number` (1 .. inode count); nullopt
    // when the number or its group's inode table is out of range or unreadable.
    std::optional<InodeCopy> read_inode(u32 number) const;
    // The time stamps of inode `number` (see inode_times); nullopt as for
    // read_inode.
    std::optional<FsprobeTimes> read_inode_times(u32 number) const;

    // The block numbers of the first `count` blocks of a file, in file order:
    // the twelve direct pointers, then the single, double and triple indirect
    // trees. An indirect pointer that is 0, outside the volume, unreadable or
    // already used by this file contributes 0 entries for the range it covers.
    // The list is never longer than the volume's block count.
    std::vector<u32> block_list(const u8* inode, u64 count) const;
    // The largest number of blocks the pointers of an inode can address.
    u64 addressable_blocks() const;

private:
    // The whole on-disk inode (inode size bytes) inside the cached
    // inode-table block; null as for read_inode.
    const u8* inode_bytes(u32 number) const;

    BgReader* m_reader = nullptr;
    Geometry m_geo;
    std::vector<GroupDesc> m_groups;
    // The inode-table block read last by read_inode.
    mutable std::vector<u8> m_inode_block;
    mutable u64 m_inode_block_number = 0;
};

// Inode fields.
inline u16 inode_mode(const u8* inode) { return load_le16(inode + ino::mode); }
inline u16 inode_class(const u8* inode) { return inode_mode(inode) & kModeClassMask; }
inline u32 inode_dtime(const u8* inode) { return load_le32(inode + ino::dtime); }
inline u16 inode_links(const u8* inode) { return load_le16(inode + ino::links); }
inline u32 inode_pointer(const u8* inode, u32 index) { return load_le32(inode + ino::block + 4 * index); }
// Size: the low word, plus the high word for everything but directories.
inline u64 inode_size(const u8* inode)
{
    u64 size = load_le32(inode + ino::size_lo);
    if (inode_class(inode) != kModeDirectory)
        size |= u64(load_le32(inode + ino::size_hi)) << 32;
    return size;
}
inline bool inode_is_fast_symlink(const u8* inode)
{
    return inode_class(inode) == kModeSymlink && inode_size(inode) < kFastSymlinkLimit;
}
inline bool inode_has_pointers(const u8* inode)
{
    for (u32 i = 0; i < kBlockPointers; ++i)
        if (inode_pointer(inode, i) != 0)
            return true;
    return false;
}

// Decodes the stamps of an inode from its first `length` bytes (128 for a
// classic inode, up to the inode size). A stamp of 0 is absent. Where the
// extra fields past byte 128 are in use (and cover the field), a stamp gains
// its nanoseconds and epoch bits, and the creation time is read.
FsprobeTimes inode_times(const u8* inode, u32 length);

} // namespace fsprobe::ext
