// Bounds-checked little- and big-endian field access over raw buffers.
//
// On-disk buffers are never cast to structures and trusted: every field is
// read through these helpers, which check that the field lies inside the
// buffer before touching it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace ondisk {

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using i8 = int8_t;
using i16 = int16_t;
using i32 = int32_t;
using i64 = int64_t;

// Unchecked loads for buffers whose size the caller has already verified.
inline u16 load_le16(const u8* p) { return u16(p[0] | (u16(p[1]) << 8)); }
inline u32 load_le32(const u8* p) { return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24); }
inline u64 load_le64(const u8* p) { return u64(load_le32(p)) | (u64(load_le32(p + 4)) << 32); }
inline u16 load_be16(const u8* p) { return u16((u16(p[0]) << 8) | p[1]); }
inline u32 load_be32(const u8* p) { return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]); }
inline u64 load_be64(const u8* p) { return (u64(load_be32(p)) << 32) | u64(load_be32(p + 4)); }

inline void store_le16(u8* p, u16 v) { p[0] = u8(v); p[1] = u8(v >> 8); }
inline void store_le32(u8* p, u32 v) { for (int i = 0; i < 4; ++i) p[i] = u8(v >> (8 * i)); }
inline void store_le64(u8* p, u64 v) { for (int i = 0; i < 8; ++i) p[i] = u8(v >> (8 * i)); }
inline void store_be16(u8* p, u16 v) { p[0] = u8(v >> 8); p[1] = u8(v); }
inline void store_be32(u8* p, u32 v) { for (int i = 0; i < 4; ++i) p[i] = u8(v >> (24 - 8 * i)); }
inline void store_be64(u8* p, u64 v) { for (int i = 0; i < 8; ++i) p[i] = u8(v >> (56 - 8 * i)); }

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// without overflowing.
constexpr bool in_bounds(u64 size, u64 offset, u64 length)
{
    return offset <= size && length <= size - offset;
}

// A read-only view of a buffer with checked field reads. A read that would
// leave the buffer yields std::nullopt (or the fallback of the *_or forms).
class ByteView {
public:
    ByteView() = default;
    ByteView(const u8* data, size_t size)
        : m_data(data)
        , m_size(size)
    {
    }
    explicit ByteView(std::span<const u8> s)
        : m_data(s.data())
        , m_size(s.size())
    {
    }

    const u8* data() const { return m_data; }
    size_t size() const { return m_size; }
    bool has(u64 offset, u64 length) const { return in_bounds(m_size, offset, length); }

    // A sub-view; empty when it would leave this view.
    ByteView slice(u64 offset, u64 length) const
    {
        if (!has(offset, length))
            return {};
        return ByteView(m_data + offset, size_t(length));
    }

    std::optional<u8> u8_at(u64 off) const { return has(off, 1) ? std::optional<u8>(m_data[off]) : std::nullopt; }
    std::optional<u16> le16(u64 off) const { return has(off, 2) ? std::optional<u16>(load_le16(m_data + off)) : std::nullopt; }
    std::optional<u32> le32(u64 off) const { return has(off, 4) ? std::optional<u32>(load_le32(m_data + off)) : std::nullopt; }
    std::optional<u64> le64(u64 off) const { return has(off, 8) ? std::optional<u64>(load_le64(m_data + off)) : std::nullopt; }
    std::optional<u16> be16(u64 off) const { return has(off, 2) ? std::optional<u16>(load_be16(m_data + off)) : std::nullopt; }
    std::optional<u32> be32(u64 off) const { return has(off, 4) ? std::optional<u32>(load_be32(m_data + off)) : std::nullopt; }
    std::optional<u64> be64(u64 off) const { return has(off, 8) ? std::optional<u64>(load_be64(m_data + off)) : std::nullopt; }

    u8 u8_or(u64 off, u8 fallback = 0) const { return u8_at(off).value_or(fallback); }
    u16 le16_or(u64 off, u16 fallback = 0) const { return le16(off).value_or(fallback); }
    u32 le32_or(u64 off, u32 fallback = 0) const { return le32(off).value_or(fallback); }
    u64 le64_or(u64 off, u64 fallback = 0) const { return le64(off).value_or(fallback); }
    u16 be16_or(u64 off, u16 fallback = 0) const { return be16(off).value_or(fallback); }
    u32 be32_or(u64 off, u32 fallback = 0) const { return be32(off).value_or(fallback); }
    u64 be64_or(u64 off, u64 fallback = 0) const { return be64(off).value_or(fallback); }

    bool equals(u64 off, const void* bytes, size_t length) const
    {
        return has(off, length) && std::memcmp(m_data + off, bytes, length) == 0;
    }

private:
    const u8* m_data = nullptr;
    size_t m_size = 0;
};

constexpr bool is_power_of_two(u64 v) { return v != 0 && (v & (v - 1)) == 0; }

} // namespace ondisk
