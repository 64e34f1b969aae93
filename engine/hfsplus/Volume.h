// Byte-level access to an HFS+ volume: bounded reads and fork (extent) mapping.
#pragma once

#include "Definitions.h"

#include <blockgate/blockgate.h>

#include <optional>
#include <vector>

namespace fsprobe::hfsplus {

// A volume being read: its reader, byte size and allocation geometry.
struct VolumeAccess {
    BgReader* reader = nullptr;
    u64 size = 0;         // bytes readable through the reader
    u32 block_size = 0;   // allocation block size
    u32 total_blocks = 0; // allocation blocks of the volume

    // Reads exactly `count` bytes at `offset`; false (buffer zero-filled from
    // the first byte not read) when the range leaves the volume or reads short.
    bool read(void* buffer, u64 count, u64 offset, u64* bytes_read = nullptr) const;
    // Whether the extent lies inside the volume's allocation blocks.
    bool extent_fits(u32 start_block, u32 block_count) const;
};

// The extents of one fork in file order, with logical-to-volume mapping.
class ForkMap {
public:
    ForkMap() = default;
    explicit ForkMap(u32 block_size)
        : m_block_size(block_size)
    {
    }

    // Appends an extent; an empty one is ignored.
    void append(u32 start_block, u32 block_count);
    const std::vector<ExtentDescriptor>& extents() const { return m_extents; }
    u64 mapped_blocks() const { return m_blocks; }
    u64 mapped_bytes() const { return m_blocks * m_block_size; }

    // Volume byte offset of logical byte `logical`, and the bytes that follow
    // it contiguously; nullopt when the offset is not mapped.
    struct Piece {
        u64 volume_offset;
        u64 contiguous;
    };
    std::optional<Piece> map(u64 logical) const;

    // Reads `count` logical bytes from `logical`, piece by piece.
    bool read(const VolumeAccess& volume, void* buffer, u64 count, u64 logical, u64* bytes_read = nullptr) const;

private:
    u32 m_block_size = 0;
    u64 m_blocks = 0;
    std::vector<ExtentDescriptor> m_extents;
    std::vector<u64> m_first_block; // logical first block of each extent
};

} // namespace fsprobe::hfsplus
