#include "DirEntry.h"

#include <fsprobe/common/alloc.h>

#include <cstring>

namespace fsprobe::fat {

// Code page 437, bytes 0x80-0xFF.
static constexpr char16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

static char16_t oem_unit(u8 b, bool lower)
{
    if (b >= 0x80)
        return cp437_high[b - 0x80];
    if (lower && b >= 'A' && b <= 'Z')
        return char16_t(b + ('a' - 'A'));
    return char16_t(b);
}

std::u16string short_name(const u8* entry)
{
    std::u16string out;
    u8 flags = entry[dirent::case_flags];
    bool lower_base = flags & 0x08;
    bool lower_ext = flags & 0x10;
    for (size_t i = 0; i < 8; ++i) {
        u8 b = entry[i];
        if (b == ' ')
            break;
        if (i == 0 && b == dirent::mark_kanji_e5)
            out += oem_unit(0xE5, false);
        else if (i == 0 && b == dirent::mark_deleted)
            out += char16_t(0x00E5);
        else
            out += oem_unit(b, lower_base);
    }
    if (entry[8] != ' ') {
        out += u'.';
        for (size_t i = 8; i < 11; ++i) {
            if (entry[i] == ' ')
                break;
            out += oem_unit(entry[i], lower_ext);
        }
    }
    return out;
}

size_t long_name_run(const u8* dir, size_t count, size_t first)
{
    size_t n = 0;
    for (size_t i = first; i < count; ++i) {
        const u8* e = dir + i * dirent::size;
        if (e[0] == dirent::mark_end || e[dirent::attributes] != dirent::attr_long_name)
            break;
        ++n;
    }
    return n;
}

std::optional<std::u16string> assemble_long_name(const u8* run, size_t slots)
{
    if (slots == 0 || slots > dirent::lfn_max_slots)
        return std::nullopt;
    std::u16string name(slots * dirent::lfn_units, u'\0');
    size_t units = 0;
    // Slot k of the name comes from the (slots - 1 - k)-th entry of the run.
    for (size_t k = 0; k < slots; ++k) {
        const u8* e = run + (slots - 1 - k) * dirent::size;
        auto take = [&](size_t offset, size_t count) {
            for (size_t i = 0; i < count; ++i) {
                char16_t c = char16_t(load_le16(e + offset + 2 * i));
                if (c != 0xFFFF)
                    name[units++] = c;
            }
        };
        take(dirent::lfn_part1, 5);
        take(dirent::lfn_part2, 6);
        take(dirent::lfn_part3, 2);
    }
    name.resize(units);
    size_t zero = name.find(u'\0');
    if (zero != std::u16string::npos)
        name.resize(zero);
    if (name.empty())
        return std::nullopt;
    return name;
}

u32 entry_cluster(const u8* entry, bool use_high_word)
{
    u32 low = load_le16(entry + dirent::cluster_low);
    u32 high = use_high_word ? load_le16(entry + dirent::cluster_high) : 0;
    return (high << 16) | low;
}

FatEntry* make_entry(const u8* entry, const std::u16string& name, bool fat32, bool with_times, bool is_directory)
{
    auto* rec = static_cast<FatEntry*>(engine_alloc(sizeof(FatEntry) + 2 * (name.size() + 1)));
    rec->first_cluster = entry_cluster(entry, fat32);
    rec->size = load_le32(entry + dirent::file_size);
    if (with_times) {
        u16 time = load_le16(entry + dirent::create_time);
        u16 date = load_le16(entry + dirent::create_date);
        rec->seconds2 = time & 0x1F;
        rec->minute = (time >> 5) & 0x3F;
        rec->hour = time >> 11;
        rec->day = date & 0x1F;
        rec->month = (date >> 5) & 0x0F;
        rec->year = date >> 9;
    }
    rec->is_directory = is_directory ? 1 : 0;
    std::memcpy(rec->name, name.data(), 2 * name.size());
    return rec;
}

void free_entry(FatEntry* entry) { engine_free(entry); }

bool starts_with_dot_entries(const u8* cluster, size_t length)
{
    return length >= 2 * dirent::size && std::memcmp(cluster, dot_name, 11) == 0
        && std::memcmp(cluster + dirent::size, dotdot_name, 11) == 0;
}

bool plausible_directory_cluster(const u8* cluster, size_t length)
{
    if (length < dirent::size || cluster[0] == dirent::mark_end)
        return false;
    static constexpr char forbidden[] = "\"*+,./:;<=>?[\\]|";
    for (size_t at = 0; at + dirent::size <= length; at += dirent::size) {
        const u8* e = cluster + at;
        if (e[0] == dirent::mark_end)
            break;
        u8 attr = e[dirent::attributes];
        if (attr > dirent::attr_max_valid)
            return false;
        if (attr == dirent::attr_long_name) {
            if (load_le16(e + dirent::cluster_low) != 0)
                return false;
            continue;
        }
        for (size_t i = 0; i < 11; ++i) {
            u8 b = e[i];
            if (i == 0 && (b == dirent::mark_deleted || b == dirent::mark_kanji_e5))
                continue;
            if (b < 0x20 || std::memchr(forbidden, b, sizeof forbidden - 1))
                return false;
        }
    }
    return true;
}

bool directory_cluster_full(const u8* cluster, size_t length)
{
    for (size_t at = 0; at + dirent::size <= length; at += dirent::size)
        if (cluster[at] == dirent::mark_end)
            return false;
    return true;
}

void EntryArray::push(FatEntry* entry)
{
    if (m_count + 1 >= m_capacity) {
        size_t capacity = m_capacity + step;
        auto** items = static_cast<FatEntry**>(engine_alloc(capacity * sizeof(FatEntry*)));
        if (m_items) {
            std::memcpy(items, m_items, m_count * sizeof(FatEntry*));
            engine_free(m_items);
        }
        m_items = items;
        m_capacity = capacity;
    }
    m_items[m_count++] = entry;
    m_items[m_count] = nullptr;
}

void EntryArray::drop_last()
{
    if (!m_count)
        return;
    free_entry(m_items[--m_count]);
    m_items[m_count] = nullptr;
}

FatEntry** EntryArray::data()
{
    if (!m_items) {
        m_items = static_cast<FatEntry**>(engine_alloc(step * sizeof(FatEntry*)));
        m_capacity = step;
    }
    return m_items;
}

void free_entry_array(FatEntry** entries)
{
    if (!entries)
        return;
    for (FatEntry** p = entries; *p; ++p)
        free_entry(*p);
    engine_free(entries);
}

} // namespace fsprobe::fat
