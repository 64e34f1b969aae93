// CHS addresses, type ids and entry encoding.
#include "Definitions.h"

namespace fsprobe::partition {

std::array<u8, 3> chs_address(u64 x, u32 sectors_per_track)
{
    if (sectors_per_track == 0)
        return { 0xFE, 0xFF, 0xFF };
    u64 track = x / sectors_per_track;
    u64 sector = x % sectors_per_track + 1;
    u64 head = track % 255;
    u64 cylinder = track / 255;
    if (cylinder > 1023)
        return { 0xFE, 0xFF, 0xFF };
    return { u8(head), u8((sector & 0x3F) | ((cylinder >> 2) & 0xC0)), u8(cylinder & 0xFF) };
}

u8 type_id_for_code(i32 code)
{
    switch (code) {
    case 1:
        return 0x01;
    case 2:
        return 0x06;
    case 3:
        return 0x0C;
    case 4:
        return 0x07;
    default:
        return 0;
    }
}

i32 code_for_type_id(u8 type)
{
    switch (type) {
    case 0x01:
    case 0x11:
        return 1;
    case 0x06:
    case 0x0E:
    case 0x14:
    case 0x16:
        return 2;
    case 0x0B:
    case 0x0C:
    case 0x1B:
    case 0x1C:
        return 3;
    case 0x07:
    case 0x17:
        return 4;
    default:
        return 0;
    }
}

std::array<u8, 16> encode_entry(u8 status, u8 type, u32 first_field, u32 count, u64 first_abs,
                                u32 sectors_per_track)
{
    std::array<u8, 16> e {};
    e[0] = status;
    auto first_chs = chs_address(first_abs, sectors_per_track);
    // An empty area has no last sector; its CHS end repeats the start.
    u64 last_abs = count ? sat_add(first_abs, count - 1) : first_abs;
    auto last_chs = chs_address(last_abs, sectors_per_track);
    for (int i = 0; i < 3; ++i) {
        e[1 + i] = first_chs[i];
        e[5 + i] = last_chs[i];
    }
    e[4] = type;
    store_le32(&e[8], first_field);
    store_le32(&e[12], count);
    return e;
}

u32 fat_total_sectors(const u8* boot_sector)
{
    u32 t16 = load_le16(boot_sector + boot::total_sectors16);
    return t16 ? t16 : load_le32(boot_sector + boot::total_sectors32);
}

} // namespace fsprobe::partition
