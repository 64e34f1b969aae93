#include "Volume.h"

#include <fsprobe/common/failure.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace fsprobe::ext {

namespace {
// Largest descriptor table accepted: a 16 TiB volume of 4 KiB blocks needs
// 4 MiB, 2^32 blocks of 1 KiB need 16 MiB.
constexpr u64 kMaxDescriptorTable = 64ull << 20;
// Largest single request handed to the reader.
constexpr u64 kMaxReadPiece = 1ull << 30;
} // namespace

std::optional<Geometry> parse_superblock(ByteView s, const char** why)
{
    auto reject = [&](const char* text) -> std::optional<Geometry> {
        if (why)
            *why = text;
        return std::nullopt;
    };
    if (!s.has(0, kSuperblockSize))
        return reject("is cut short");
    if (s.le16_or(sb::magic) != kMagic)
        return reject("magic is wrong");
    Geometry g;
    g.revision = s.le32_or(sb::rev_level);
    if (g.revision > 1)
        return reject("revision is not 0 or 1");
    g.incompat = s.le32_or(sb::feature_incompat);
    if (g.revision == 1 && (g.incompat & ~(kIncompatFiletype | kIncompatRecover)) != 0)
        return reject("names an incompatible feature this reader does not know");
    u32 log_block = s.le32_or(sb::log_block_size);
    if (log_block > 6)
        return reject("block size is too large");
    i32 log_frag = i32(s.le32_or(sb::log_frag_size));
    if (log_frag != i32(log_block))
        return reject("fragment size differs from the block size");
    g.block_size = 1024u << log_block;
    g.inode_size = g.revision == 1 ? s.le16_or(sb::inode_size) : 128;
    if (g.inode_size < kInodeCopySize || !is_power_of_two(g.inode_size) || g.inode_size > g.block_size)
        return reject("inode size is invalid");
    g.inodes_per_block = g.block_size / g.inode_size;
    g.inode_count = s.le32_or(sb::inode_count);
    g.block_count = s.le32_or(sb::block_count);
    g.first_data_block = s.le32_or(sb::first_data_block);
    g.blocks_per_group = s.le32_or(sb::blocks_per_group);
    g.inodes_per_group = s.le32_or(sb::inodes_per_group);
    u64 bits_per_block = u64(g.block_size) * 8;
    // One bitmap block describes a group, so neither count can exceed its bits.
    if (g.blocks_per_group < 8 || g.blocks_per_group > bits_per_block)
        return reject("blocks per group are invalid");
    if (g.inodes_per_group == 0 || g.inodes_per_group > bits_per_block)
        return reject("inodes per group are invalid");
    if (g.first_data_block >= g.block_count)
        return reject("first data block lies beyond the block count");
    u64 groups = (u64(g.block_count) - g.first_data_block + g.blocks_per_group - 1) / g.blocks_per_group;
    if (groups == 0 || groups * kGroupDescSize > kMaxDescriptorTable)
        return reject("gives an impossible number of groups");
    g.group_count = u32(groups);
    return g;
}

u64 Volume::read_bytes_partial(void* buffer, u64 offset, u64 count) const
{
    auto* out = static_cast<u8*>(buffer);
    u64 done = 0;
    while (done < count && m_reader && m_reader->read) {
        u64 piece = std::min(count - done, kMaxReadPiece);
        u32 got = m_reader->read(m_reader, out + done, u32(piece), offset + done);
        if (got > piece)
            got = u32(piece);
        done += got;
        if (got < piece)
            break;
    }
    if (done < count)
        std::memset(out + done, 0, count - done);
    return done;
}

bool Volume::read_bytes(void* buffer, u64 offset, u64 count) const
{
    return read_bytes_partial(buffer, offset, count) == count;
}

bool Volume::read_block(u64 block, u8* buffer) const
{
    if (!block_valid(block))
        return false;
    return read_bytes(buffer, block * m_geo.block_size, m_geo.block_size);
}

bool Volume::open(BgVolume* volume, const char* kind)
{
    m_reader = nullptr;
    m_groups.clear();
    m_inode_block.clear();
    m_inode_block_number = 0;
    if (!volume || !volume->reader || !volume->reader->read) {
        fail("no volume was given");
        return false;
    }
    const std::string name = kind;
    m_reader = volume->reader;
    std::vector<u8> super(kSuperblockSize);
    if (!read_bytes(super.data(), kSuperblockOffset, kSuperblockSize)) {
        fail(read_failure(m_reader, "the " + name + " superblock"));
        return false;
    }
    const char* why = "";
    auto geo = parse_superblock(ByteView(super.data(), super.size()), &why);
    if (!geo) {
        fail("the " + name + " superblock " + why);
        return false;
    }
    m_geo = *geo;

    u64 per_block = m_geo.block_size / kGroupDescSize;
    u64 table_blocks = (u64(m_geo.group_count) + per_block - 1) / per_block;
    u64 first = u64(m_geo.first_data_block) + 1;
    if (first + table_blocks > m_geo.block_count) {
        fail("the " + name + " group descriptors lie beyond the last block");
        return false;
    }
    std::vector<u8> table(table_blocks * m_geo.block_size);
    if (!read_bytes(table.data(), first * m_geo.block_size, table.size())) {
        fail(read_failure(m_reader, "the " + name + " group descriptors"));
        return false;
    }
    m_groups.resize(m_geo.group_count);
    for (u32 g = 0; g < m_geo.group_count; ++g) {
        const u8* d = table.data() + u64(g) * kGroupDescSize;
        m_groups[g].inode_bitmap = load_le32(d + gd::inode_bitmap);
        m_groups[g].inode_table = load_le32(d + gd::inode_table);
    }
    return true;
}

const u8* Volume::inode_bytes(u32 number) const
{
    if (number == 0 || number > m_geo.inode_count)
        return nullptr;
    u32 group = (number - 1) / m_geo.inodes_per_group;
    if (group >= m_groups.size())
        return nullptr;
    u32 index = (number - 1) % m_geo.inodes_per_group;
    u64 block = u64(m_groups[group].inode_table) + index / m_geo.inodes_per_block;
    u32 slot = index % m_geo.inodes_per_block;
    if (!block_valid(block))
        return nullptr;
    if (m_inode_block.empty() || m_inode_block_number != block) {
        m_inode_block.resize(m_geo.block_size);
        if (!read_block(block, m_inode_block.data())) {
            m_inode_block.clear();
            return nullptr;
        }
        m_inode_block_number = block;
    }
    // slot < inodes per block, so the inode lies inside the block.
    return m_inode_block.data() + u64(slot) * m_geo.inode_size;
}

std::optional<InodeCopy> Volume::read_inode(u32 number) const
{
    const u8* bytes = inode_bytes(number);
    if (!bytes)
        return std::nullopt;
    InodeCopy copy;
    std::memcpy(copy.data(), bytes, kInodeCopySize);
    return copy;
}

std::optional<FsprobeTimes> Volume::read_inode_times(u32 number) const
{
    const u8* bytes = inode_bytes(number);
    if (!bytes)
        return std::nullopt;
    return inode_times(bytes, m_geo.inode_size);
}

namespace {

// One stamp: the signed 32-bit seconds, widened by the extra field's epoch
// bits, with its nanoseconds. `extra` is null where the inode has none.
FsprobeTime decode_stamp(const u8* seconds, const u8* extra)
{
    FsprobeTime t {};
    u32 lo = load_le32(seconds);
    u32 ex = extra ? load_le32(extra) : 0;
    // A seconds word of 0 (in the first epoch) is an unset stamp, whatever
    // its nanoseconds say.
    if (lo == 0 && (ex & kExtraTimeEpochMask) == 0)
        return t;
    t.present = 1;
    t.seconds = i64(i32(lo)) + (i64(ex & kExtraTimeEpochMask) << 32);
    u32 ns = ex >> kExtraTimeEpochBits;
    t.nanoseconds = ns < 1000000000u ? ns : 0;
    return t;
}

} // namespace

FsprobeTimes inode_times(const u8* inode, u32 length)
{
    FsprobeTimes t {};
    if (!inode || length < kInodeCopySize)
        return t;
    // The extra fields in use end at 0x80 + extra_isize; a field counts only
    // when it lies wholly inside both that and the inode.
    u32 extra_end = kInodeCopySize;
    if (length >= ino::extra_isize + 2)
        extra_end = std::min<u32>(length, kInodeCopySize + load_le16(inode + ino::extra_isize));
    auto extra = [&](u32 offset) -> const u8* { return offset + 4 <= extra_end ? inode + offset : nullptr; };

    t.modified = decode_stamp(inode + ino::mtime, extra(ino::mtime_extra));
    t.accessed = decode_stamp(inode + ino::atime, extra(ino::atime_extra));
    t.changed = decode_stamp(inode + ino::ctime, extra(ino::ctime_extra));
    if (extra(ino::crtime))
        t.created = decode_stamp(inode + ino::crtime, extra(ino::crtime_extra));
    // The deletion time is a plain count of seconds.
    if (u32 d = inode_dtime(inode)) {
        t.deleted.present = 1;
        t.deleted.seconds = d;
    }
    return t;
}

u64 Volume::addressable_blocks() const
{
    u64 p = m_geo.block_size / 4;
    return kDirectPointers + p + p * p + p * p * p;
}

std::vector<u32> Volume::block_list(const u8* inode, u64 count) const
{
    std::vector<u32> out;
    // No file of this volume can own more blocks than the volume has (nor
    // more than its pointers address): a larger count is a damaged size.
    count = std::min({ count, addressable_blocks(), u64(m_geo.block_count) });
    out.reserve(size_t(count));
    for (u32 i = 0; i < kDirectPointers && out.size() < count; ++i)
        out.push_back(inode_pointer(inode, i));

    const u64 per_block = m_geo.block_size / 4;
    std::unordered_set<u32> used;
    std::vector<std::vector<u8>> buffers(3, std::vector<u8>(m_geo.block_size));

    // Appends the entries of an indirect tree of `depth` levels rooted at `block`.
    auto fill = [&](auto& self, u32 block, int depth) -> void {
        u64 span = per_block;
        for (int d = 1; d < depth; ++d)
            span *= per_block;
        u8* buf = buffers[size_t(depth - 1)].data();
        if (!block_valid(block) || !used.insert(block).second || !read_block(block, buf)) {
            u64 zeros = std::min<u64>(span, count - out.size());
            out.insert(out.end(), size_t(zeros), 0u);
            return;
        }
        for (u64 i = 0; i < per_block && out.size() < count; ++i) {
            u32 entry = load_le32(buf + 4 * i);
            if (depth == 1)
                out.push_back(entry);
            else
                self(self, entry, depth - 1);
        }
    };
    for (int depth = 1; depth <= 3 && out.size() < count; ++depth)
        fill(fill, inode_pointer(inode, kDirectPointers + u32(depth - 1)), depth);
    return out;
}

} // namespace fsprobe::ext
