#include "DirectorySet.h"

namespace fsprobe::exfat {

u16 set_checksum(const u8* entries, size_t count, bool as_in_use)
{
    u16 sum = 0;
    for (size_t i = 0; i < count * dirent::size; ++i) {
        if (i == dirent::set_checksum || i == dirent::set_checksum + 1)
            continue;
        u8 byte = entries[i];
        if (as_in_use && i % dirent::size == dirent::type)
            byte |= dirent::in_use;
        sum = u16(((sum & 1) ? 0x8000u : 0) + (sum >> 1) + byte);
    }
    return sum;
}

std::optional<FileSet> parse_file_set(const u8* dir, size_t count, size_t index)
{
    if (!dir || index + 1 >= count)
        return std::nullopt;
    const u8* file = dir + index * dirent::size;
    const u8 type = file[dirent::type];
    if ((type | dirent::in_use) != dirent::type_file)
        return std::nullopt;
    const u8 state = type & dirent::in_use;
    const u8* stream = file + dirent::size;
    if (stream[dirent::type] != (dirent::type_stream & ~dirent::in_use) + state)
        return std::nullopt;

    FileSet set;
    set.in_use = state != 0;
    const size_t secondaries = file[dirent::secondary_count];
    set.attributes = load_le16(file + dirent::attributes);
    set.create_time = load_le32(file + dirent::create_time);
    set.modify_time = load_le32(file + dirent::modify_time);
    set.access_time = load_le32(file + dirent::access_time);
    set.create_10ms = file[dirent::create_10ms];
    set.modify_10ms = file[dirent::modify_10ms];
    set.create_utc = file[dirent::create_utc];
    set.modify_utc = file[dirent::modify_utc];
    set.access_utc = file[dirent::access_utc];
    set.stream_flags = stream[dirent::stream_flags];
    set.name_length = stream[dirent::name_length];
    set.name_hash = load_le16(stream + dirent::name_hash);
    set.valid_length = load_le64(stream + dirent::valid_length);
    set.first_cluster = load_le32(stream + dirent::first_cluster);
    set.data_length = load_le64(stream + dirent::data_length);

    // Secondary entries in the same state follow; name entries carry the
    // name, 15 units each, in order.
    size_t taken = 1;
    bool name_ended = false;
    while (taken < secondaries && index + 1 + taken < count) {
        const u8* e = dir + (index + 1 + taken) * dirent::size;
        const u8 t = e[dirent::type];
        if ((t & dirent::in_use) != state || !(t & dirent::secondary))
            break;
        if ((t | dirent::in_use) == dirent::type_name) {
            for (size_t u = 0; u < dirent::units_per_name_entry && !name_ended; ++u) {
                if (set.name.size() >= set.name_length) {
                    name_ended = true;
                    break;
                }
                const char16_t c = char16_t(load_le16(e + dirent::name_units + 2 * u));
                if (c == 0) {
                    name_ended = true; // damage: a name holds no zero unit
                    break;
                }
                set.name.push_back(c);
            }
        }
        ++taken;
    }
    set.entries = 1 + taken;
    set.complete = taken == secondaries && secondaries >= dirent::min_secondaries;
    set.name_short = set.name.size() < set.name_length;
    if (set.complete) {
        const u16 stored = load_le16(file + dirent::set_checksum);
        set.checksum_ok = set_checksum(file, set.entries, !set.in_use) == stored;
    }
    return set;
}

} // namespace fsprobe::exfat
