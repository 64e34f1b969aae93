// Size, time and name texts.
#include <salvor/scan/text.h>

#include <fsprobe/common/utf.h>

#include <cstdio>

namespace salvor {

std::string FormatSize(uint64_t size)
{
    char buf[64];
    const double s = double(size);
    if (size >= (uint64_t(1) << 30))
        std::snprintf(buf, sizeof buf, "%.2fGB", s / double(uint64_t(1) << 30));
    else if (size < 1024)
        std::snprintf(buf, sizeof buf, "%dB", int(size));
    else if (size < (uint64_t(1) << 20))
        std::snprintf(buf, sizeof buf, "%.2fKB", s / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%.2fMB", s / double(uint64_t(1) << 20));
    return buf;
}

namespace {

struct CivilTime {
    int64_t year;
    int month, day, hour, minute, second;
};

// The UTC calendar date and time of seconds since 1970 (proleptic
// Gregorian), for any value: no year is out of its reach.
CivilTime civil_time(int64_t seconds)
{
    int64_t days = seconds / 86400;
    int64_t secs = seconds % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    CivilTime t;
    t.day = int(doy - (153 * mp + 2) / 5 + 1);
    t.month = int(mp < 10 ? mp + 3 : mp - 9);
    t.year = yoe + era * 400 + (t.month <= 2 ? 1 : 0);
    t.hour = int(secs / 3600);
    t.minute = int(secs / 60 % 60);
    t.second = int(secs % 60);
    return t;
}

} // namespace

std::string FormatShortTime(int64_t seconds_since_epoch)
{
    CivilTime c;
    time_t t = time_t(seconds_since_epoch);
    struct tm tm {};
    if (int64_t(t) == seconds_since_epoch && localtime_r(&t, &tm)) {
        c = CivilTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    } else {
        // Past what the local-time conversion takes (a damaged stamp): the
        // fields in UTC.
        c = civil_time(seconds_since_epoch);
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d %02d:%02d:%02d", c.month, c.day, c.hour, c.minute, c.second);
    return buf;
}

std::string EngineTimeText(uint64_t ntfs_time)
{
    struct tm base {};
    base.tm_year = 2001 - 1900;
    base.tm_mon = 0;
    base.tm_mday = 1;
    base.tm_isdst = -1;
    time_t b = mktime(&base);
    if (b == time_t(-1))
        return FormatShortTime(INT64_MIN);
    return FormatShortTime(int64_t(b) + int64_t(ntfs_time / 10000000u));
}

std::string FatTimeText(int month, int day, int hour, int minute, int two_seconds)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d %02d:%02d:%02d", month, day, hour, minute, 2 * two_seconds);
    return buf;
}

std::string IsoTimeText(const FileTime& time)
{
    const int64_t offset = time.zone_known ? int64_t(time.utc_offset_minutes) * 60 : 0;
    // A damaged stamp near the ends of the range is shown without the offset.
    const bool fits = offset >= 0 ? time.seconds <= INT64_MAX - offset : time.seconds >= INT64_MIN - offset;
    const CivilTime c = civil_time(fits ? time.seconds + offset : time.seconds);
    char text[80];
    int n = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d", (long long)c.year, c.month, c.day,
                          c.hour, c.minute, c.second);
    if (!time.zone_known)
        return std::string(text, size_t(n));
    if (time.utc_offset_minutes == 0 || !fits)
        return std::string(text, size_t(n)) + "Z";
    const int32_t minutes = time.utc_offset_minutes < 0 ? -time.utc_offset_minutes : time.utc_offset_minutes;
    std::snprintf(text + n, sizeof text - size_t(n), "%c%02d:%02d", time.utc_offset_minutes < 0 ? '-' : '+',
                  int(minutes / 60), int(minutes % 60));
    return text;
}

std::string CurrentTimeText()
{
    return FormatShortTime(int64_t(time(nullptr)));
}

std::string TruncateUtf8(const std::string& text, size_t max_bytes)
{
    if (text.size() <= max_bytes)
        return text;
    size_t cut = max_bytes;
    // Step back over continuation bytes so the cut lands before a lead byte.
    while (cut > 0 && (uint8_t(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

// Longest file name the target file systems take, in bytes.
constexpr size_t kMaxNameBytes = 255;

std::string SafeName(const std::string& text)
{
    std::string s = text;
    for (char& c : s)
        if (c == '/' || c == '\0')
            c = '_';
    if (s == ".")
        s = "_";
    else if (s == "..")
        s = "__";
    if (s.size() <= kMaxNameBytes)
        return s;
    // Too long for a file name here (a 255-unit name of non-ASCII
    // characters): cut the stem and keep the extension, so the file still
    // opens in its program.
    const size_t dot = s.rfind('.');
    const size_t ext = dot == std::string::npos || dot == 0 ? 0 : s.size() - dot;
    if (ext == 0 || ext > 32)
        return TruncateUtf8(s, kMaxNameBytes);
    return TruncateUtf8(s.substr(0, dot), kMaxNameBytes - ext) + s.substr(dot);
}

size_t Utf8SequenceLength(const char* text, size_t size)
{
    if (size == 0)
        return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    const uint8_t lead = p[0];
    if (lead < 0x80)
        return 1;
    size_t length;
    uint32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0; // a continuation byte, an overlong two-byte lead, or beyond U+10FFFF
    }
    if (size < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0; // overlong, or beyond Unicode
    if (cp >= 0xD800 && cp <= 0xDFFF)
        return 0; // a UTF-16 surrogate
    return length;
}

bool IsValidUtf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8SequenceLength(text.data() + i, text.size() - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

namespace {

// U+0080 to U+009F: the C1 controls, which some terminals act on.
bool is_c1_control(const char* seq, size_t length)
{
    return length == 2 && uint8_t(seq[0]) == 0xC2 && uint8_t(seq[1]) <= 0x9F;
}

bool is_c0_control(uint8_t c) { return c < 0x20 || c == 0x7F; }

void append_hex_escape(std::string& out, uint8_t byte)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

} // namespace

std::string EscapedText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8SequenceLength(text.data() + i, text.size() - i);
        if (n == 0) {
            append_hex_escape(out, uint8_t(text[i]));
            ++i;
            continue;
        }
        if (n == 1) {
            const uint8_t c = uint8_t(text[i]);
            if (c == '\\')
                out += "\\\\";
            else if (c == '\t')
                out += "\\t";
            else if (c == '\n')
                out += "\\n";
            else if (c == '\r')
                out += "\\r";
            else if (is_c0_control(c))
                append_hex_escape(out, c);
            else
                out += char(c);
        } else if (is_c1_control(text.data() + i, n)) {
            append_hex_escape(out, uint8_t(text[i]));
            append_hex_escape(out, uint8_t(text[i + 1]));
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string TargetName(const std::string& text)
{
    std::string s = SafeName(text);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = Utf8SequenceLength(s.data() + i, s.size() - i);
        if (n == 1 && is_c0_control(uint8_t(s[i]))) {
            out += '_';
        } else if (n == 2 && is_c1_control(s.data() + i, n)) {
            out += '_';
        } else {
            out.append(s, i, n ? n : 1);
        }
        i += n ? n : 1;
    }
    return out;
}

std::string NameFromUtf16Bytes(const uint8_t* bytes, size_t units)
{
    // Stop at a terminating zero unit inside the stored length.
    size_t n = 0;
    while (n < units && (bytes[2 * n] | bytes[2 * n + 1]))
        ++n;
    return SafeName(fsprobe::utf16le_bytes_to_utf8(bytes, n));
}

std::string NameFromUtf16(const char16_t* text, size_t max_units)
{
    if (!text)
        return {};
    size_t n = 0;
    while (n < max_units && text[n])
        ++n;
    return SafeName(fsprobe::utf16_to_utf8(text, n));
}

} // namespace salvor
