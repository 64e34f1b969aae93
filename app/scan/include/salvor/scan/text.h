// Size, time and name texts of the listings.
#pragma once

#include <salvor/scan/engine.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace salvor {

// "%dB", "%.2fKB", "%.2fMB" or "%.2fGB".
std::string FormatSize(uint64_t size);

// "%02d-%02d %02d:%02d:%02d" of month, day, hour, minute, second in local
// time; fields that cannot be computed show -1 (month and day 0).
std::string FormatShortTime(int64_t seconds_since_epoch);

// An NTFS time stamp (100 ns units since 1601-01-01) through FormatShortTime,
// counted from local midnight of 2001-01-01 (400 years later, one whole
// Gregorian cycle, so month, day and time come out right).
std::string EngineTimeText(uint64_t ntfs_time);

// A FAT entry's broken-down time: month, day, hour, minute, two-second count.
std::string FatTimeText(int month, int day, int hour, int minute, int two_seconds);

// A file's own time as ISO 8601 with its year and UTC offset
// ("2024-05-01T14:03:07Z", "2024-05-01T14:03:07+02:00"); a time of an
// unknown zone without an offset ("2024-05-01T14:03:06").
std::string IsoTimeText(const FileTime& time);
// The current time as FormatShortTime shows it.
std::string CurrentTimeText();

// Cuts UTF-8 text to at most `max_bytes` bytes at a character boundary.
std::string TruncateUtf8(const std::string& text, size_t max_bytes);

// A name as the listings show it and as it is written to a target folder:
// UTF-8, at most 255 bytes. Separators and NUL become '_', and "." and ".."
// become "_" and "__", so a damaged name can never leave its folder.
std::string SafeName(const std::string& text);

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// its first byte does not begin one (a stray, overlong, surrogate or
// out-of-range sequence).
size_t Utf8SequenceLength(const char* text, size_t size);

// Whether `text` is valid UTF-8 throughout.
bool IsValidUtf8(const std::string& text);

// A found name (or any text taken from a disk or from a path) as a terminal
// shows it: one line, nothing the terminal interprets. A backslash becomes
// "\\", tab, newline and carriage return "\t", "\n", "\r", and every
// other control byte (below 0x20 and 0x7F), every C1 control (U+0080 to
// U+009F) and every byte that is not part of valid UTF-8 "\xNN" per byte.
// The escapes can be undone to the exact bytes.
std::string EscapedText(const std::string& text);

// A name as it is written to a target folder: the SafeName of the listing
// with every control character (below 0x20, 0x7F, and U+0080 to U+009F)
// replaced by '_'.
std::string TargetName(const std::string& text);

// UTF-16 (possibly unaligned little-endian bytes) to a SafeName.
std::string NameFromUtf16Bytes(const uint8_t* bytes, size_t units);
std::string NameFromUtf16(const char16_t* text, size_t max_units);

} // namespace salvor
