// Cached random access to a volume for the scanner and the end-finders.
//
// The volume is read in aligned blocks kept in a handful of slots; a request
// for a few bytes near a block end is served from the same slot because each
// slot also holds the start of the following block. Nothing of a file is kept
// beyond these slots.
#pragma once

#include <blockgate/blockgate.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace carvex {

class Source {
public:
    static constexpr size_t kDefaultBlock = size_t(4) << 20;
    // Largest run get() can return in one piece.
    static constexpr size_t kOverlap = size_t(128) << 10;
    static constexpr int kSlots = 4;

    // `block` (a power of two, at least kOverlap) is the unit of reading.
    Source(BgReader* reader, uint64_t size, size_t block = kDefaultBlock);
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    uint64_t size() const { return m_size; }

    // `n` contiguous bytes at `off` (n <= kOverlap), or null when they lie
    // beyond the volume, cannot be read, or the scan was asked to stop.
    const uint8_t* get(uint64_t off, size_t n)
    {
        if (n > kOverlap || off > m_size || n > m_size - off)
            return nullptr;
        Slot* s = m_last;
        if (s && off >= s->base && off + n <= s->base + s->valid)
            return s->data.get() + (off - s->base);
        return get_slow(off, n);
    }

    // The bytes from `off` to the end of the cached window (at least one),
    // their count in `avail`; null at the end of the volume or on failure.
    const uint8_t* span(uint64_t off, size_t& avail);

    // True once bg_progress was set to 100 by someone else during the scan.
    bool stopped() const { return m_stopped; }
    // Whether loads watch bg_progress for a stop request.
    void watch_stop(bool on) { m_watch = on; }

private:
    struct Slot {
        std::unique_ptr<uint8_t[]> data;
        uint64_t base = 0;
        size_t valid = 0;
        uint64_t used = 0;
        bool loaded = false;
    };
    const uint8_t* get_slow(uint64_t off, size_t n);
    Slot* load(uint64_t base);

    BgReader* m_reader;
    uint64_t m_size;
    size_t m_block;
    Slot m_slots[kSlots];
    Slot* m_last = nullptr;
    uint64_t m_clock = 0;
    bool m_stopped = false;
    bool m_watch = false;
};

// Loads for the fields the end-finders decode.
inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
inline uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | (uint64_t(le32(p + 4)) << 32); }
inline uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
inline uint64_t be64(const uint8_t* p) { return (uint64_t(be32(p)) << 32) | be32(p + 4); }

} // namespace carvex
