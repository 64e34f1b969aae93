#include "Volume.h"

#include <algorithm>
#include <cstring>

namespace fsprobe::hfsplus {

VolumeHeader convert_volume_header(const u8* raw)
{
    VolumeHeader h {};
    auto* out = reinterpret_cast<u8*>(&h);
    // Bytes 0-3: signature and version.
    for (u32 i = 0; i < 2; ++i) {
        u16 v = load_be16(raw + 2 * i);
        std::memcpy(out + 2 * i, &v, 2);
    }
    // Bytes 4-71: attributes through write count.
    for (u32 i = 0; i < 17; ++i) {
        u32 v = load_be32(raw + 4 + 4 * i);
        std::memcpy(out + 4 + 4 * i, &v, 4);
    }
    // Bytes 72-79: encodings bitmap.
    u64 enc = load_be64(raw + 72);
    std::memcpy(out + 72, &enc, 8);
    // Bytes 80-111: finder information, one 32-byte unit.
    for (u32 i = 0; i < 32; ++i)
        out[80 + i] = raw[111 - i];
    // The five fork records.
    ForkData* forks[5] = { &h.allocation_file, &h.extents_file, &h.catalog_file, &h.attributes_file, &h.startup_file };
    for (u32 k = 0; k < 5; ++k)
        *forks[k] = read_fork_data(raw + 112 + 80 * k);
    return h;
}

ForkData read_fork_data(const u8* p)
{
    ForkData f {};
    f.logical_size = load_be64(p);
    f.clump_size = load_be32(p + 8);
    f.total_blocks = load_be32(p + 12);
    for (u32 i = 0; i < 8; ++i) {
        f.extents[i].start_block = load_be32(p + 16 + 8 * i);
        f.extents[i].block_count = load_be32(p + 20 + 8 * i);
    }
    return f;
}

bool VolumeAccess::read(void* buffer, u64 count, u64 offset, u64* bytes_read) const
{
    auto* out = static_cast<u8*>(buffer);
    u64 done = 0;
    bool ok = reader && reader->read && in_bounds(size, offset, count);
    while (ok && done < count) {
        u32 want = u32(std::min<u64>(count - done, 1u << 30));
        u32 got = reader->read(reader, out + done, want, offset + done);
        done += std::min(got, want);
        if (got < want)
            ok = false;
    }
    if (done < count)
        std::memset(out + done, 0, size_t(count - done));
    if (bytes_read)
        *bytes_read = done;
    return ok && done == count;
}

bool VolumeAccess::extent_fits(u32 start_block, u32 block_count) const
{
    return u64(start_block) + block_count <= total_blocks;
}

void ForkMap::append(u32 start_block, u32 block_count)
{
    if (block_count == 0)
        return;
    m_extents.push_back({ start_block, block_count });
    m_first_block.push_back(m_blocks);
    m_blocks += block_count;
}

std::optional<ForkMap::Piece> ForkMap::map(u64 logical) const
{
    if (m_block_size == 0)
        return std::nullopt;
    u64 block = logical / m_block_size;
    if (block >= m_blocks)
        return std::nullopt;
    // The extent whose first logical block is the last one not above `block`.
    auto it = std::upper_bound(m_first_block.begin(), m_first_block.end(), block);
    size_t i = size_t(it - m_first_block.begin()) - 1;
    const auto& e = m_extents[i];
    u64 into = logical - m_first_block[i] * m_block_size;
    u64 extent_bytes = u64(e.block_count) * m_block_size;
    return Piece { u64(e.start_block) * m_block_size + into, extent_bytes - into };
}

bool ForkMap::read(const VolumeAccess& volume, void* buffer, u64 count, u64 logical, u64* bytes_read) const
{
    auto* out = static_cast<u8*>(buffer);
    u64 done = 0;
    bool ok = true;
    while (done < count) {
        auto piece = map(logical + done);
        if (!piece) {
            ok = false;
            break;
        }
        u64 n = std::min(piece->contiguous, count - done);
        u64 got = 0;
        bool piece_ok = volume.read(out + done, n, piece->volume_offset, &got);
        done += got;
        if (!piece_ok) {
            ok = false;
            break;
        }
    }
    if (done < count)
        std::memset(out + done, 0, size_t(count - done));
    if (bytes_read)
        *bytes_read = done;
    return ok;
}

} // namespace fsprobe::hfsplus
