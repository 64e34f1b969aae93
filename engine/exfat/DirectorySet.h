// Directory entry sets: a file entry, its stream extension and its name
// entries, live or deleted. Pure functions over a buffer of 32-byte entries.
#pragma once

#include "Definitions.h"

#include <optional>
#include <string>

namespace fsprobe::exfat {

struct FileSet {
    size_t entries = 0;        // entries the set takes in the directory
    bool in_use = false;       // the file entry's in-use bit
    bool complete = false;     // every secondary entry the file entry counts is there
    bool checksum_ok = false;  // the set checksum matches (complete sets only)
    bool name_short = false;   // fewer name units than the stream extension gives
    u16 attributes = 0;
    u32 create_time = 0;
    u32 modify_time = 0;
    u32 access_time = 0;
    u8 create_10ms = 0;
    u8 modify_10ms = 0;
    u8 create_utc = 0;
    u8 modify_utc = 0;
    u8 access_utc = 0;
    u8 stream_flags = 0;
    u8 name_length = 0;
    u16 name_hash = 0;
    u64 valid_length = 0;
    u32 first_cluster = 0;
    u64 data_length = 0;
    std::u16string name;

    bool is_directory() const { return attributes & dirent::attr_directory; }
    bool no_fat_chain() const { return stream_flags & dirent::flag_no_fat_chain; }
};

// The set checksum over `count` entries, skipping the checksum field of the
// first. With `as_in_use` the in-use bit of every type byte is counted as
// set: a deleted set keeps the checksum it had while in use.
u16 set_checksum(const u8* entries, size_t count, bool as_in_use);

// Decodes the set whose file entry is entry `index` of a buffer of `count`
// entries. The file entry must be 0x85 (live) or 0x05 (deleted) and be
// followed by a stream extension in the same state. Secondary entries are
// taken while their in-use bit agrees with the file entry's; a set cut
// short by a later one (or by the end of the buffer) keeps what it has.
// Nullopt when there is no set to decode here.
std::optional<FileSet> parse_file_set(const u8* dir, size_t count, size_t index);

} // namespace fsprobe::exfat
