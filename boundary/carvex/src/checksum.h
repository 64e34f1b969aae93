// Table-driven checksums of the formats the end-finders validate.
#pragma once

#include <array>
#include <cstdint>

namespace carvex {

// CRC-32 as zip, gzip, 7z and rar use it (reflected, polynomial 0xEDB88320).
inline constexpr std::array<uint32_t, 256> kCrc32Table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}();

// CRC-32 of Ogg pages (not reflected, polynomial 0x04C11DB7, start 0).
inline constexpr std::array<uint32_t, 256> kCrc32OggTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k)
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}();

// CRC-16 of FLAC frames (polynomial 0x8005, not reflected, start 0).
inline constexpr std::array<uint16_t, 256> kCrc16FlacTable = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t c = uint16_t(i << 8);
        for (int k = 0; k < 8; ++k)
            c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x8005) : uint16_t(c << 1);
        t[i] = c;
    }
    return t;
}();

inline uint16_t crc16_flac_byte(uint16_t crc, uint8_t b)
{
    return uint16_t((crc << 8) ^ kCrc16FlacTable[((crc >> 8) ^ b) & 0xFF]);
}

} // namespace carvex
