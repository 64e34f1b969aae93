// Streams a file's data chunk by chunk in logical order through its inode's
// block map (direct, single, double and triple indirect pointers).
#pragma once

#include "Volume.h"

#include <algorithm>
#include <vector>

namespace fsprobe::ext {

// Largest chunk handed out per call.
inline constexpr u32 kStreamChunkMax = 4096;

struct ChunkResult {
    u64 count = 0;   // bytes placed in the buffer
    bool more = false; // true while further chunks follow
};

class FileStream {
public:
    // Forgets the cached block map.
    void reset()
    {
        m_key = nullptr;
        m_blocks.clear();
    }

    // Reads the chunk at file offset `position` of the file described by
    // `inode` (of `size` bytes) into `buffer` and advances `position`. `key`
    // identifies the file, so that its block map is built once.
    // A short symbolic link is read from the inode itself; holes read as
    // zeros; a file whose pointers were all cleared, an unreadable or invalid
    // block and a position at or past the end give count 0 and more false.
    ChunkResult read(const Volume& volume, const void* key, const u8* inode, u64 size, u64& position, u8* buffer);

    // The chunk length for this volume: one block, at most kStreamChunkMax.
    static u32 chunk_size(const Volume& volume) { return std::min<u32>(volume.block_size(), kStreamChunkMax); }

private:
    const void* m_key = nullptr;
    std::vector<u32> m_blocks;
};

} // namespace fsprobe::ext
