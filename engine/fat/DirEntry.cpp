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

u8 short_name_checksum(const u8* name11)
{
    u8 sum = 0;
    for (size_t i = 0; i < 11; ++i)
        sum = u8(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

u8 deleted_first_byte(const u8* entry, u8 checksum)
{
    // The checksum after the first byte is that byte itself, and each later
    // step is a bijection: undo the last ten steps.
    u8 sum = checksum;
    for (size_t i = 10; i >= 1; --i) {
        u8 before_add = u8(sum - entry[i]);
        sum = u8((before_add << 1) | (before_add >> 7)); // undo the rotate right
    }
    return sum;
}

namespace {

constexpr char kForbiddenShort[] = "\"*+,./:;<=>?[\\]|";

bool valid_short_char(u8 b)
{
    if (b < 0x20 || (b >= 'a' && b <= 'z') || b == 0x7F)
        return false;
    return !std::memchr(kForbiddenShort, b, sizeof kForbiddenShort - 1);
}

// Base (8) and extension (3), each padded with spaces only at its end; the
// base does not start with a space. The first byte may be a deletion mark.
bool valid_short_name(const u8* e)
{
    if (e[0] == ' ')
        return false;
    auto part = [&](size_t from, size_t count) {
        bool padding = false;
        for (size_t i = from; i < from + count; ++i) {
            u8 b = e[i];
            if (i == 0 && (b == dirent::mark_deleted || b == dirent::mark_kanji_e5))
                continue;
            if (b == ' ') {
                padding = true;
                continue;
            }
            if (padding || !valid_short_char(b))
                return false;
        }
        return true;
    };
    return part(0, 8) && part(8, 3);
}

bool valid_time(u16 t)
{
    return (t & 0x1F) < 30 && ((t >> 5) & 0x3F) < 60 && (t >> 11) < 24;
}

bool valid_date(u16 d)
{
    if (d == 0)
        return true;
    unsigned day = d & 0x1F, month = (d >> 5) & 0x0F;
    return day >= 1 && month >= 1 && month <= 12;
}

bool valid_slot(const u8* e)
{
    u8 seq = e[0];
    if (seq != dirent::mark_deleted && ((seq & 0xA0) != 0 || (seq & 0x1F) == 0 || (seq & 0x1F) > dirent::lfn_max_slots))
        return false;
    if (e[0x0C] != 0 || load_le16(e + dirent::cluster_low) != 0)
        return false;
    // Units: no control characters; after the ending 0 only 0xFFFF.
    static constexpr size_t offsets[13] = { 1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30 };
    bool ended = false;
    for (size_t off : offsets) {
        u16 c = load_le16(e + off);
        if (ended) {
            if (c != 0xFFFF)
                return false;
        } else if (c == 0) {
            ended = true;
        } else if (c < 0x20 || c == 0xFFFF) {
            return false;
        }
    }
    return true;
}

bool slot_has_end(const u8* e)
{
    static constexpr size_t offsets[13] = { 1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30 };
    for (size_t off : offsets)
        if (load_le16(e + off) == 0)
            return true;
    return false;
}

} // namespace

LostClusterKind judge_lost_cluster(const u8* cluster, size_t length, const LostClusterLimits& limits)
{
    if (length < dirent::size || cluster[0] == dirent::mark_end)
        return LostClusterKind::none;
    const bool starts_with_dots = starts_with_dot_entries(cluster, length);
    size_t good = 0;      // well-formed entries
    size_t named = 0;     // short entries other than "." and ".."
    size_t at = 0;
    for (; at + dirent::size <= length; at += dirent::size) {
        const u8* e = cluster + at;
        if (e[0] == dirent::mark_end)
            break;
        const u8 attr = e[dirent::attributes];
        if (attr == dirent::attr_long_name) {
            if (!valid_slot(e))
                return LostClusterKind::none;
            ++good;
            continue;
        }
        if (attr > dirent::attr_max_valid || (attr & dirent::attr_volume_label))
            return LostClusterKind::none;
        const size_t index = at / dirent::size;
        const bool dot_entry = starts_with_dots && index < 2;
        if (!dot_entry && !valid_short_name(e))
            return LostClusterKind::none;
        if ((e[dirent::case_flags] & ~0x18) != 0 || e[0x0D] > 199)
            return LostClusterKind::none;
        if (!valid_time(load_le16(e + dirent::create_time)) || !valid_date(load_le16(e + dirent::create_date))
            || !valid_date(load_le16(e + 0x12)) || !valid_time(load_le16(e + 0x16))
            || !valid_date(load_le16(e + 0x18)))
            return LostClusterKind::none;
        const u32 first = entry_cluster(e, true);
        const u32 size = load_le32(e + dirent::file_size);
        if (first == 1 || first >= limits.cluster_count)
            return LostClusterKind::none;
        if (attr & dirent::attr_directory) {
            // ".." of a folder in the root points at cluster 0.
            if (size != 0 || (first < 2 && !(dot_entry && index == 1)))
                return LostClusterKind::none;
        } else if (size > limits.volume_bytes || (size != 0 && first < 2)) {
            return LostClusterKind::none;
        }
        ++good;
        if (!dot_entry)
            ++named;
    }
    if (named == 0)
        return LostClusterKind::none;
    bool zero_rest = at + dirent::size <= length;
    for (size_t i = at; zero_rest && i < length; ++i)
        zero_rest = cluster[i] == 0;
    if (good < 3 && !zero_rest)
        return LostClusterKind::none;
    return starts_with_dots ? LostClusterKind::first : LostClusterKind::entries;
}

std::optional<std::u16string> checked_long_name(const u8* run, size_t slots, const u8* entry, bool run_may_be_cut)
{
    if (slots == 0 || slots > dirent::lfn_max_slots)
        return std::nullopt;
    const u8 checksum = run[13];
    for (size_t k = 1; k < slots; ++k)
        if (run[k * dirent::size + 13] != checksum)
            return std::nullopt;
    if (!slot_has_end(run) && run_may_be_cut)
        return std::nullopt;
    auto name = assemble_long_name(run, slots);
    if (!name)
        return std::nullopt;
    if (entry[0] != dirent::mark_deleted)
        return short_name_checksum(entry) == checksum ? name : std::nullopt;
    // The alias of a long name starts with its first character in upper
    // case (leading dots and spaces left out); other characters are
    // converted or replaced, so only a valid short-name byte is asked of them.
    const u8 first = deleted_first_byte(entry, checksum);
    if (!valid_short_char(first) || first == ' ')
        return std::nullopt;
    size_t i = 0;
    while (i < name->size() && ((*name)[i] == u'.' || (*name)[i] == u' '))
        ++i;
    if (i == name->size())
        return std::nullopt;
    char16_t c = (*name)[i];
    if (c >= u'a' && c <= u'z')
        c = char16_t(c - u'a' + u'A');
    if (c < 0x80 && valid_short_char(u8(c)) && first != u8(c))
        return std::nullopt;
    return name;
}

void EntryArray::push(FatEntry* entry)
{
    if (m_count + 1 >= m_capacity) {
        size_t capacity = m_capacity + step;
        FatEntry** items;
        try {
            items = static_cast<FatEntry**>(engine_alloc(capacity * sizeof(FatEntry*)));
        } catch (...) {
            // The array cannot take the entry: it goes rather than leaks.
            free_entry(entry);
            throw;
        }
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
