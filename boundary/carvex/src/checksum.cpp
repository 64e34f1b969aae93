#include "checksum.h"
#include "formats.h"

#include <cstring>

namespace carvex {

uint32_t crc32_ieee(uint32_t crc, const uint8_t* p, size_t n)
{
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = kCrc32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t crc32_ogg(uint32_t crc, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        crc = (crc << 8) ^ kCrc32OggTable[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

uint16_t crc16_flac(uint16_t crc, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        crc = crc16_flac_byte(crc, p[i]);
    return crc;
}

uint8_t crc8_flac(const uint8_t* p, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x80) ? uint8_t((crc << 1) ^ 0x07) : uint8_t(crc << 1);
    }
    return crc;
}

uint64_t find_bytes(Source& s, uint64_t from, uint64_t limit, const char* pat, size_t len)
{
    uint64_t pos = from;
    while (pos < limit && limit - pos >= len) {
        size_t avail = 0;
        const uint8_t* d = s.span(pos, avail);
        if (!d)
            return UINT64_MAX;
        avail = size_t(std::min<uint64_t>(avail, limit - pos));
        if (avail < len) {
            // The window ends inside a possible match: fetch it whole.
            const uint8_t* w = s.get(pos, len);
            if (!w)
                return UINT64_MAX;
            if (std::memcmp(w, pat, len) == 0)
                return pos;
            ++pos;
            continue;
        }
        const uint8_t* hit = static_cast<const uint8_t*>(memmem(d, avail, pat, len));
        if (hit)
            return pos + uint64_t(hit - d);
        // A long run of zeros is an erased area, not the rest of a file:
        // give up there instead of searching to the limit.
        static const uint8_t kZeros[65536] = {};
        if (avail >= sizeof kZeros && std::memcmp(d + avail - sizeof kZeros, kZeros, sizeof kZeros) == 0)
            return UINT64_MAX;
        pos += avail - len + 1;
    }
    return UINT64_MAX;
}

} // namespace carvex
