// End-finders: each decodes one format from its header at a given volume
// offset and returns the exact size of the file there (and its type name), or
// nothing when the bytes do not hold a valid file of that format.
#pragma once

#include "source.h"

#include <cstdint>

namespace carvex {

struct Found {
    uint64_t size = 0;
    const char* type = nullptr;
    explicit operator bool() const { return size != 0 && type != nullptr; }
};

// Photo
Found find_jpg(Source& s, uint64_t off);
Found find_png(Source& s, uint64_t off);
Found find_gif(Source& s, uint64_t off);
Found find_bmp(Source& s, uint64_t off);
Found find_tif(Source& s, uint64_t off);
Found find_ico(Source& s, uint64_t off);
// Music
Found find_mp3(Source& s, uint64_t off);
Found find_flac(Source& s, uint64_t off);
Found find_ogg(Source& s, uint64_t off);
Found find_mid(Source& s, uint64_t off);
// RIFF (wav, avi), ASF (wma, wmv, asf), ISO boxes (mp4, mov, 3gp, m4a)
Found find_riff(Source& s, uint64_t off);
Found find_asf(Source& s, uint64_t off);
Found find_isobmff(Source& s, uint64_t off);
// Video
Found find_ebml(Source& s, uint64_t off);
Found find_flv(Source& s, uint64_t off);
Found find_mpg(Source& s, uint64_t off);
// Others
Found find_pdf(Source& s, uint64_t off);
Found find_zip(Source& s, uint64_t off);
Found find_ole(Source& s, uint64_t off);
Found find_rtf(Source& s, uint64_t off);
Found find_gz(Source& s, uint64_t off);
Found find_7z(Source& s, uint64_t off);
Found find_rar(Source& s, uint64_t off);
Found find_pe(Source& s, uint64_t off);
Found find_sqlite(Source& s, uint64_t off);
Found find_markup(Source& s, uint64_t off);

// Checksums the validators use.
uint32_t crc32_ieee(uint32_t crc, const uint8_t* p, size_t n); // zip, gzip, 7z, rar
uint32_t crc32_ogg(uint32_t crc, const uint8_t* p, size_t n);  // ogg pages
uint16_t crc16_flac(uint16_t crc, const uint8_t* p, size_t n);
uint8_t crc8_flac(const uint8_t* p, size_t n);

// First position of `pat` in [from, limit), or UINT64_MAX.
uint64_t find_bytes(Source& s, uint64_t from, uint64_t limit, const char* pat, size_t len);

// Caps on how far a bounded search goes.
constexpr uint64_t kMaxSearch = uint64_t(1) << 30;

inline uint64_t search_limit(const Source& s, uint64_t off, uint64_t cap = kMaxSearch)
{
    return s.size() - off > cap ? off + cap : s.size();
}

} // namespace carvex
