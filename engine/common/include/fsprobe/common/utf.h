// Text conversion between the engines' UTF-16 names and the UTF-8 used on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fsprobe {

// Appends the UTF-8 form of code point cp (U+FFFD for an invalid one).
inline void append_utf8(std::string& out, uint32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
inline std::string utf16_to_utf8(const char16_t* s, size_t units)
{
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
        }
        append_utf8(out, c);
    }
    return out;
}

inline std::string utf16_to_utf8(std::u16string_view s) { return utf16_to_utf8(s.data(), s.size()); }

// UTF-16 little-endian bytes (possibly unaligned) to UTF-8.
inline std::string utf16le_bytes_to_utf8(const uint8_t* p, size_t units)
{
    std::u16string tmp(units, u'\0');
    for (size_t i = 0; i < units; ++i)
        tmp[i] = char16_t(p[2 * i] | (p[2 * i + 1] << 8));
    return utf16_to_utf8(tmp);
}

// UTF-16 big-endian bytes (HFS+ names) to UTF-8.
inline std::string utf16be_bytes_to_utf8(const uint8_t* p, size_t units)
{
    std::u16string tmp(units, u'\0');
    for (size_t i = 0; i < units; ++i)
        tmp[i] = char16_t((p[2 * i] << 8) | p[2 * i + 1]);
    return utf16_to_utf8(tmp);
}

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
inline std::u16string utf8_to_utf16(std::string_view s)
{
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        uint8_t b = uint8_t(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                cp = b & (0xFF >> (len + 1));
                bool ok = true;
                for (size_t k = 1; k < len; ++k) {
                    uint8_t c = uint8_t(s[i + k]);
                    if ((c & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    cp = (cp << 6) | (c & 0x3F);
                }
                static constexpr uint32_t min_for_len[5] = { 0, 0, 0x80, 0x800, 0x10000 };
                if (!ok || cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                    cp = 0xFFFD;
                    len = 1;
                }
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += len;
    }
    return out;
}

// Cuts a UTF-8 string to at most max_bytes without splitting a character.
inline std::string utf8_truncate(std::string_view s, size_t max_bytes)
{
    if (s.size() <= max_bytes)
        return std::string(s);
    size_t end = max_bytes;
    while (end > 0 && (uint8_t(s[end]) & 0xC0) == 0x80)
        --end;
    return std::string(s.substr(0, end));
}

} // namespace fsprobe
