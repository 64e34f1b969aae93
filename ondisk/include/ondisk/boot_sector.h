// Fields every DOS-style volume boot sector (FAT, NTFS, exFAT) starts with.
// Offsets are from the start of the sector.
#pragma once

#include <ondisk/bytes.h>

namespace ondisk {

inline constexpr size_t boot_sector_size = 512;

namespace boot {
inline constexpr size_t jump = 0x00;              // 3 bytes: EB xx 90 or E9 xx xx
inline constexpr size_t oem_name = 0x03;          // 8 bytes: "NTFS    ", "EXFAT   ", "MSDOS5.0", ...
inline constexpr size_t oem_name_length = 8;
inline constexpr size_t bytes_per_sector = 0x0B;  // u16 (FAT, NTFS)
inline constexpr size_t sectors_per_cluster = 0x0D; // u8 (FAT, NTFS)
inline constexpr size_t signature = 0x1FE;        // 55 AA
} // namespace boot

// A short jump with a NOP after it, or a near jump, as every boot sector
// written by a formatter begins.
inline bool has_boot_jump(ByteView s)
{
    const u8 b0 = s.u8_or(boot::jump), b2 = s.u8_or(boot::jump + 2);
    return (b0 == 0xEB && b2 == 0x90) || b0 == 0xE9;
}

// The eight-byte OEM name at offset 3 equals `name` (space padded).
inline bool has_oem_name(ByteView s, const char (&name)[boot::oem_name_length + 1])
{
    return s.equals(boot::oem_name, name, boot::oem_name_length);
}

// Sector sizes a FAT or NTFS volume can have: 512 to 4096, a power of two.
constexpr bool valid_bytes_per_sector(u64 bps)
{
    return bps >= 512 && bps <= 4096 && is_power_of_two(bps);
}

} // namespace ondisk
