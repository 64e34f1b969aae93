#include "FileStream.h"

#include <algorithm>
#include <cstring>

namespace fsprobe::ext {

ChunkResult FileStream::read(const Volume& volume, const void* key, const u8* inode, u64 size, u64& position,
                             u8* buffer)
{
    if (position >= size)
        return {};
    if (inode_is_fast_symlink(inode)) {
        // The target is stored in the block pointers.
        u64 n = size - position;
        std::memcpy(buffer, inode + ino::block + position, size_t(n));
        position = size;
        return { n, false };
    }
    if (!inode_has_pointers(inode))
        return {};
    const u32 bs = volume.block_size();
    const u64 total_blocks = size / bs + (size % bs ? 1 : 0);
    if (key != m_key) {
        m_key = key;
        m_blocks = volume.block_list(inode, total_blocks);
    }
    const u64 chunk = chunk_size(volume);
    u64 index = position / bs;
    // A size beyond what the block map can hold ends where the map ends.
    if (index >= m_blocks.size())
        return {};
    u64 n = std::min<u64>(chunk - position % chunk, size - position);
    u32 block = m_blocks[size_t(index)];
    if (block == 0) {
        std::memset(buffer, 0, size_t(n));
    } else if (!volume.block_valid(block)
               || !volume.read_bytes(buffer, u64(block) * bs + position % bs, n)) {
        return {};
    }
    position += n;
    return { n, position < size };
}

} // namespace fsprobe::ext
